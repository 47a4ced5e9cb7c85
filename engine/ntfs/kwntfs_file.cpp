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

kwRet KWNTFS_FILE::Open() {
    if (flags_ & FILE_MODE_TEXT)
        return ERR_BAD_ARGUMENT;
    auto* ntfs = static_cast<NTFS_FILESYSTEM*>(fs_);
    if (ntfs == nullptr)
        return ERR_NOT_OPEN;
    uint32_t mode = flags_ & FILE_MODE_MASK;
    if (mode != FILE_MODE_READ) {
        DbgPrintf("Unsupported open mode: 0x%lX\n", static_cast<unsigned long>(mode));
        return ERR_WRITE_PROTECTED;
    }
    kwRet rc = ntfs->OpenFile(volumePath(), &handle_);
    if (rc != KW_OK) {
        DbgPrintf("KWNTFS_FILE::Open: ERROR! OpenFile failed. Flag == %lu, kwRet == %lu\n",
                  static_cast<unsigned long>(mode), static_cast<unsigned long>(rc));
        return rc;
    }
    state_ = FILE_STATE_READ | FILE_STATE_BINARY;
    position_ = 0;
    return KW_OK;
}

kwRet KWNTFS_FILE::Close(uint32_t, void**) {
    if (handle_ != nullptr && fs_ != nullptr)
        static_cast<NTFS_FILESYSTEM*>(fs_)->CloseFile(handle_);
    handle_ = nullptr;
    hold_.Release();
    return KW_OK;
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

kwRet KWNTFS_FILE::Write(const void*, uint32_t, uint32_t*) {
    return ERR_WRITE_PROTECTED;
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

kwRet KWNTFS_FILE::SetSize(uint32_t, uint32_t) {
    return ERR_WRITE_PROTECTED;
}

kwRet KWNTFS_FILE::GetAttributes(uint32_t*) {
    return KW_OK;
}

kwRet KWNTFS_FILE::SetAttributes(uint32_t) {
    return KW_OK;
}
