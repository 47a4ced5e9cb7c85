#include "engine/ntfs/kwntfs_file.h"

#include "engine/core/dbgmgr.h"

#include <cstring>

KWNTFS_FILE::~KWNTFS_FILE() {
    if (handle_ != nullptr && fs_ != nullptr)
        static_cast<NTFS_FILESYSTEM*>(fs_)->CloseFile(handle_);
    handle_ = nullptr;
    CloseFileSystem(&fs_);
    hold_.Release();
}

kwRet KWNTFS_FILE::AttachVolume() {
    if (fs_ != nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = hold_.Take(pi_);
    if (rc != KW_OK)
        return rc;
    rc = OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0);
    if (rc == KW_OK && dynamic_cast<NTFS_FILESYSTEM*>(fs_) == nullptr)
        rc = ERR_NO_FILE_IO;
    if (rc == KW_OK && !static_cast<NTFS_FILESYSTEM*>(fs_)->IsOpen())
        rc = fs_->Init();
    return rc;
}

// The path inside the volume: after the first ':' when there is one.
const char* KWNTFS_FILE::volumePath() const {
    const char* colon = std::strchr(path_, ':');
    return colon != nullptr ? colon + 1 : path_;
}

// A missing file for the creating modes, created and opened for writing in
// one: the new file is durable with what is written into it, at Close.
kwRet KWNTFS_FILE::createMissing(NTFS_FILESYSTEM* ntfs) {
    return ntfs->CreateFileForWriting(volumePath(), &handle_);
}

kwRet KWNTFS_FILE::CreateDir() {
    if (fs_ == nullptr)
        return ERR_NOT_OPEN;
    uint64_t record = 0, parent = 0;
    kwRet rc =
        static_cast<NTFS_FILESYSTEM*>(fs_)->CreateDirectory(volumePath(), 0, &record, &parent);
    if (rc != KW_OK)
        DbgPrintf("KWNTFS_FILE::CreateDir: ERROR! CreateDirectory failed. kwRet == %lu\n",
                  static_cast<unsigned long>(rc));
    return rc;
}

kwRet KWNTFS_FILE::Open() {
    if (flags_ & FILE_MODE_TEXT)
        return ERR_BAD_ARGUMENT;
    auto* ntfs = static_cast<NTFS_FILESYSTEM*>(fs_);
    if (ntfs == nullptr)
        return ERR_NOT_OPEN;
    uint32_t mode = flags_ & FILE_MODE_MASK;
    bool creates = mode == FILE_MODE_OPEN_APPEND || mode == FILE_MODE_CREATE_NEW ||
                   mode == FILE_MODE_CREATE_ALWAYS;
    if (mode != FILE_MODE_READ && mode != FILE_MODE_READWRITE && mode != FILE_MODE_APPEND &&
        !creates) {
        DbgPrintf("Unsupported open mode: 0x%lX\n", static_cast<unsigned long>(mode));
        return ERR_BAD_ARGUMENT;
    }
    kwRet rc = KW_OK;
    if (creates) {
        uint64_t record = 0, parent = 0;
        rc = ntfs->FindFile(volumePath(), &record, &parent);
        if (rc == KW_OK && mode == FILE_MODE_CREATE_NEW) {
            DbgPrintf("KWNTFS_FILE::Open: ERROR! FindFile found existing file. Flag == %lu, "
                      "kwRet == %lu\n",
                      static_cast<unsigned long>(mode),
                      static_cast<unsigned long>(ERR_FILE_EXISTS));
            return ERR_FILE_EXISTS;
        }
        if (rc == ERR_FILE_NOT_FOUND)
            rc = createMissing(ntfs);
        else if (rc != KW_OK)
            DbgPrintf("KWNTFS_FILE::Open: ERROR! FindFile failed. Flag == %lu, kwRet == %lu\n",
                      static_cast<unsigned long>(mode), static_cast<unsigned long>(rc));
    }
    bool writes = mode != FILE_MODE_READ;
    if (rc == KW_OK && handle_ == nullptr)
        rc = ntfs->OpenFile(volumePath(), &handle_, writes);
    if (rc != KW_OK) {
        DbgPrintf("KWNTFS_FILE::Open: ERROR! OpenFile failed. Flag == %lu, kwRet == %lu\n",
                  static_cast<unsigned long>(mode), static_cast<unsigned long>(rc));
        return rc;
    }
    state_ = FILE_STATE_READ | FILE_STATE_BINARY | (writes ? FILE_STATE_WRITE : 0);
    position_ = 0;
    if (mode == FILE_MODE_APPEND || mode == FILE_MODE_OPEN_APPEND) {
        handle_->position = position_ = handle_->data.Size();
    }
    return KW_OK;
}

// A written file stores its sizes here; a failure gives 303.
kwRet KWNTFS_FILE::Close(uint32_t, void**) {
    kwRet rc = KW_OK;
    if (handle_ != nullptr && fs_ != nullptr &&
        static_cast<NTFS_FILESYSTEM*>(fs_)->CloseFile(handle_) != KW_OK)
        rc = ERR_FILE_CLOSE;
    handle_ = nullptr;
    hold_.Release();
    return rc;
}

// A read past the end gives the bytes up to it and 305. A failure keeps the
// file system's code (722 for a sparse run, for instance).
kwRet KWNTFS_FILE::Read(void* buffer, uint32_t count, uint32_t* done) {
    if (handle_ == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    uint64_t size = handle_->data.Size(), at = handle_->position;
    kwRet result = KW_OK;
    if (at + count > size) {
        count = static_cast<uint32_t>(at < size ? size - at : 0);
        result = ERR_FILE_SHORT_READ;
    }
    *done = 0;
    if (count == 0)
        return result;
    kwRet rc = static_cast<NTFS_FILESYSTEM*>(fs_)->ReadFile(handle_, buffer, count);
    if (rc != KW_OK) {
        DbgPrintf("KWNTFS_FILE::Read - Error %lu,%lu reading from file %s.\n",
                  static_cast<unsigned long>(ERR_FILE_READ), static_cast<unsigned long>(rc),
                  fullPath_);
        return rc;
    }
    *done = count;
    position_ = handle_->position;
    return result;
}

kwRet KWNTFS_FILE::Write(const void* buffer, uint32_t count, uint32_t* done) {
    if (handle_ == nullptr || done == nullptr || !(state_ & FILE_STATE_WRITE))
        return ERR_BAD_ARGUMENT;
    *done = 0;
    kwRet rc = static_cast<NTFS_FILESYSTEM*>(fs_)->WriteFile(handle_, buffer, count);
    if (rc != KW_OK) {
        DbgPrintf("KWNTFS_FILE::Write: error %lu writing to file %s\n",
                  static_cast<unsigned long>(rc), fullPath_);
        return ERR_FILE_WRITE;
    }
    *done = count;
    position_ = handle_->position;
    state_ |= FILE_STATE_MODIFIED;
    return KW_OK;
}

kwRet KWNTFS_FILE::Seek(uint32_t low, uint32_t high, uint32_t origin) {
    if (handle_ == nullptr)
        return ERR_BAD_ARGUMENT;
    uint64_t offset = (uint64_t{high} << 32) | low, size = handle_->data.Size(), target;
    if (origin == FILE_SEEK_SET)
        target = offset;
    else if (origin == FILE_SEEK_CUR)
        target = handle_->position + offset;
    else if (origin == FILE_SEEK_END)
        target = size + offset;
    else
        return ERR_BAD_ARGUMENT;
    if (target > size || target < offset)
        return ERR_FILE_SEEK;
    handle_->position = position_ = target;
    return KW_OK;
}

kwRet KWNTFS_FILE::Tell(uint64_t* position) {
    if (handle_ == nullptr || position == nullptr)
        return ERR_BAD_ARGUMENT;
    *position = handle_->position;
    return KW_OK;
}

kwRet KWNTFS_FILE::Size(uint64_t* size) {
    if (handle_ == nullptr || size == nullptr)
        return ERR_BAD_ARGUMENT;
    *size = handle_->data.Size();
    return KW_OK;
}

kwRet KWNTFS_FILE::SetSize(uint32_t low, uint32_t high) {
    if (handle_ == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!(state_ & FILE_STATE_WRITE))
        return ERR_WRITE_PROTECTED;
    uint64_t size = (uint64_t{high} << 32) | low;
    kwRet rc = static_cast<NTFS_FILESYSTEM*>(fs_)->SetFileSize(handle_, size);
    if (rc == KW_OK && handle_->position > size)
        handle_->position = position_ = size;
    return rc;
}

kwRet KWNTFS_FILE::GetAttributes(uint32_t*) {
    return KW_OK;
}

kwRet KWNTFS_FILE::SetAttributes(uint32_t) {
    return KW_OK;
}
