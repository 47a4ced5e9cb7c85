#include "engine/fat/kwfat_file.h"

#include "engine/core/dbgmgr.h"

#include <cstring>

KWFAT_FILE::~KWFAT_FILE() {
    commit();
    delete handle_;
    handle_ = nullptr;
    CloseFileSystem(&fs_);
    hold_.Release();
}

kwRet KWFAT_FILE::AttachVolume() {
    if (fs_ != nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = hold_.Take(pi_);
    if (rc != KW_OK)
        return rc;
    rc = OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0);
    if (rc == KW_OK && dynamic_cast<FAT_FILESYSTEM*>(fs_) == nullptr)
        rc = ERR_NO_FILE_IO;
    if (rc != KW_OK)
        return rc;
    // A FAT read before this lock was taken may be older than the disk (another
    // process may have written it): a writer reads it again under the lock.
    uint32_t mode = flags_ & FILE_MODE_MASK;
    bool writes = mode != FILE_MODE_READ; // FILE_MODE_NO_OPEN serves delete and mkdir
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs_);
    return writes && !hold_.shared && fat->IsInitialised() ? fs_->Init() : fs_->InitFull();
}

// The entry of a written file goes to the disk after its data.
kwRet KWFAT_FILE::commit() {
    if (handle_ == nullptr || fs_ == nullptr)
        return KW_OK;
    return static_cast<FAT_FILESYSTEM*>(fs_)->CommitFile(handle_);
}

const char* KWFAT_FILE::volumePath() const {
    return FatVolumePath(path_);
}

kwRet KWFAT_FILE::Open() {
    if (flags_ & FILE_MODE_TEXT)
        return ERR_BAD_ARGUMENT;
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs_);
    if (fat == nullptr)
        return ERR_NOT_OPEN;
    uint32_t mode = flags_ & FILE_MODE_MASK;
    kwRet rc = KW_OK;
    bool create = mode == FILE_MODE_OPEN_APPEND || mode == FILE_MODE_CREATE_NEW ||
                  mode == FILE_MODE_CREATE_ALWAYS;
    if (mode != FILE_MODE_READ && mode != FILE_MODE_READWRITE && mode != FILE_MODE_APPEND &&
        !create) {
        DbgPrintf("Unsupported open mode: 0x%lX\n", static_cast<unsigned long>(mode));
        return ERR_BAD_ARGUMENT;
    }
    if (create) {
        rc = fat->FileCreate(volumePath(), FAT_ATTR_ARCHIVE);
        if (rc == ERR_FILE_EXISTS && mode != FILE_MODE_CREATE_NEW)
            rc = KW_OK;
        if (rc != KW_OK) {
            DbgPrintf("KWFAT_FILE::Open: ERROR! FileCreate failed. Flag == %lu, kwRet == %lu\n",
                      static_cast<unsigned long>(mode), static_cast<unsigned long>(rc));
            return rc;
        }
    }
    rc = fat->OpenFile(volumePath(), &handle_, 0);
    if (rc == KW_OK && !handle_->IsFile())
        rc = ERR_FILE_NOT_FOUND;
    if (rc != KW_OK) {
        delete handle_;
        handle_ = nullptr;
        return rc;
    }
    state_ = (mode == FILE_MODE_READ ? FILE_STATE_READ : FILE_STATE_WRITE) | FILE_STATE_BINARY;
    position_ = 0;
    if (mode == FILE_MODE_APPEND || mode == FILE_MODE_OPEN_APPEND)
        return Seek(0, 0, FILE_SEEK_END);
    return KW_OK;
}

kwRet KWFAT_FILE::Close(uint32_t, void**) {
    kwRet rc = commit();
    delete handle_;
    handle_ = nullptr;
    hold_.Release();
    return rc;
}

kwRet KWFAT_FILE::Delete() {
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs_);
    if (fat == nullptr)
        return ERR_NOT_OPEN;
    kwRet rc = fat->FileDelete(volumePath(), 0);
    if (rc != KW_OK)
        DbgPrintf("KWFAT_FILE::Delete: ERROR! FileDelete failed. kwRet == %lu\n",
                  static_cast<unsigned long>(rc));
    return rc;
}

kwRet KWFAT_FILE::CreateDir() {
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs_);
    if (fat == nullptr)
        return ERR_NOT_OPEN;
    kwRet rc = fat->MkDir(volumePath());
    if (rc != KW_OK)
        DbgPrintf("KWFAT_FILE::CreateDir: ERROR! MkDir failed. kwRet == %lu\n",
                  static_cast<unsigned long>(rc));
    return rc;
}

kwRet KWFAT_FILE::Rename(const char* newPath) {
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs_);
    if (fat == nullptr)
        return ERR_NOT_OPEN;
    return fat->FileRename(volumePath(), FatVolumePath(newPath), 0);
}

kwRet KWFAT_FILE::SetTime(uint64_t fileTime) {
    if (handle_ == nullptr || (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    return static_cast<FAT_FILESYSTEM*>(fs_)->SetFileTime(handle_, fileTime);
}

kwRet KWFAT_FILE::Read(void* buffer, uint32_t count, uint32_t* done) {
    if (handle_ == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    uint32_t size = handle_->GetSize(), at = handle_->GetPosition();
    kwRet result = KW_OK;
    if (uint64_t{at} + count > size) {
        count = size - at;
        result = ERR_FILE_SHORT_READ;
    }
    *done = 0;
    if (count == 0)
        return result;
    kwRet rc = static_cast<FAT_FILESYSTEM*>(fs_)->Read(handle_, buffer, count);
    if (rc != KW_OK) {
        DbgPrintf("KWFAT_FILE::Read - Error %lu,%lu reading from file %s.\n",
                  static_cast<unsigned long>(ERR_FILE_READ), static_cast<unsigned long>(rc),
                  fullPath_);
        return ERR_FILE_READ;
    }
    *done = count;
    position_ = handle_->GetPosition();
    return result;
}

kwRet KWFAT_FILE::Write(const void* buffer, uint32_t count, uint32_t* done) {
    if (handle_ == nullptr || buffer == nullptr || done == nullptr ||
        (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    kwRet rc = static_cast<FAT_FILESYSTEM*>(fs_)->Write(handle_, buffer, count);
    if (rc != KW_OK)
        return rc == ERR_FILE_TOO_BIG || rc == ERR_FAT_NO_SPACE || rc == ERR_WRITE_PROTECTED ||
                       rc == ERR_FAT_INVALID_ENTRIES
                   ? rc
                   : ERR_FILE_WRITE;
    *done = count;
    position_ = handle_->GetPosition();
    return KW_OK;
}

kwRet KWFAT_FILE::Seek(uint32_t low, uint32_t high, uint32_t origin) {
    if (handle_ == nullptr)
        return ERR_BAD_ARGUMENT;
    if (high > 0)
        return ERR_FILE_SEEK;
    uint64_t target;
    if (origin == FILE_SEEK_SET)
        target = low;
    else if (origin == FILE_SEEK_CUR)
        target = uint64_t{handle_->GetPosition()} + low;
    else if (origin == FILE_SEEK_END)
        target = uint64_t{handle_->GetSize()} + low;
    else
        return ERR_BAD_ARGUMENT;
    if (target > handle_->GetSize())
        return ERR_FILE_SEEK;
    kwRet rc = handle_->Seek(static_cast<uint32_t>(target));
    if (rc == KW_OK)
        position_ = target;
    return rc == KW_OK ? KW_OK : ERR_FILE_SEEK;
}

kwRet KWFAT_FILE::Tell(uint64_t* position) {
    if (handle_ == nullptr || position == nullptr)
        return ERR_BAD_ARGUMENT;
    *position = handle_->GetPosition();
    return KW_OK;
}

kwRet KWFAT_FILE::Size(uint64_t* size) {
    if (handle_ == nullptr || size == nullptr)
        return ERR_BAD_ARGUMENT;
    *size = handle_->GetSize();
    return KW_OK;
}

kwRet KWFAT_FILE::SetSize(uint32_t low, uint32_t high) {
    if (handle_ == nullptr || (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    if (high != 0)
        return ERR_FILE_TOO_BIG;
    return static_cast<FAT_FILESYSTEM*>(fs_)->SetFileSize(handle_, low);
}

kwRet KWFAT_FILE::GetAttributes(uint32_t*) {
    return KW_OK;
}

kwRet KWFAT_FILE::SetAttributes(uint32_t) {
    return KW_OK;
}
