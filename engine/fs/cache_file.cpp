// KWCACHE_FILE: a whole file in memory in front of the file object that
// kwFileOpen makes for the same path.
#include "engine/core/dbgmgr.h"
#include "engine/fs/file_base.h"

#include <cstring>
#include <new>

KWCACHE_FILE::~KWCACHE_FILE() {
    delete[] buffer_;
}

kwRet KWCACHE_FILE::Init(const char* path, uint32_t flags, PARTITION_INFO* pi,
                         const char* streamName) {
    return capacity_ == 0 ? ERR_BAD_ARGUMENT : FILE_BASE::Init(path, flags, pi, streamName);
}

// Reads the file into a new buffer (an empty buffer for a file made anew).
kwRet KWCACHE_FILE::load(uint32_t mode) {
    uint64_t size = 0;
    FILE_BASE* inner = nullptr;
    if ((mode & FILE_MODE_MASK) != FILE_MODE_CREATE_ALWAYS) {
        kwRet rc = kwFileOpen(&inner, path_, mode, pi_, nullptr, 0);
        if (rc == KW_OK)
            rc = kwFileGetSize(inner, &size);
        if (rc == KW_OK && size > capacity_)
            rc = ERR_FILE_OPEN;
        if (rc != KW_OK) {
            if (inner != nullptr)
                kwFileClose(inner, 0, nullptr);
            return rc;
        }
    }
    buffer_ = new (std::nothrow) uint8_t[capacity_];
    kwRet rc = buffer_ == nullptr ? ERR_NO_MEMORY : KW_OK;
    if (rc == KW_OK && size != 0) {
        rc = kwFileSeek(inner, 0, 0, FILE_SEEK_SET);
        if (rc != KW_OK)
            DbgPrintf("KWCACHE_FILE::Open: Unable to seek to beginning of the file to be able to "
                      "read file (kwRet == %lu)\n",
                      static_cast<unsigned long>(rc));
        uint32_t done = 0;
        if (rc == KW_OK)
            rc = kwFileRead(inner, buffer_, static_cast<uint32_t>(size), &done);
        if (rc == KW_OK && done != size)
            rc = ERR_FILE_READ;
    }
    if (inner != nullptr)
        kwFileClose(inner, 0, nullptr);
    size_ = static_cast<uint32_t>(size);
    position_ = 0;
    return rc;
}

kwRet KWCACHE_FILE::Open() {
    if ((flags_ & FILE_MODE_TEXT) && (flags_ & FILE_MODE_BINARY))
        return ERR_BAD_ARGUMENT;
    uint32_t mode = flags_ & 0xFF;
    uint32_t kind = mode & FILE_MODE_MASK;
    if (kind != FILE_MODE_READ && kind != FILE_MODE_READWRITE && kind != FILE_MODE_APPEND &&
        kind != FILE_MODE_OPEN_APPEND && kind != FILE_MODE_CREATE_NEW &&
        kind != FILE_MODE_CREATE_ALWAYS)
        return ERR_BAD_ARGUMENT;
    // An existing file to append to is loaded as one to read.
    uint32_t loadMode = kind == FILE_MODE_APPEND ? (mode & ~FILE_MODE_MASK) | FILE_MODE_READ : mode;
    kwRet rc = load(loadMode | (flags_ & (FILE_MODE_BINARY | FILE_MODE_TEXT)));
    if (rc != KW_OK) {
        delete[] buffer_;
        buffer_ = nullptr;
        return rc;
    }
    state_ = (flags_ & FILE_MODE_TEXT) ? FILE_STATE_TEXT : FILE_STATE_BINARY;
    state_ |= kind == FILE_MODE_READ ? FILE_STATE_READ : FILE_STATE_WRITE;
    if (kind == FILE_MODE_CREATE_ALWAYS)
        state_ |= FILE_STATE_MODIFIED; // Close writes the (empty) file even unwritten
    if (kind == FILE_MODE_APPEND || kind == FILE_MODE_OPEN_APPEND)
        position_ = size_;
    return KW_OK;
}

// The file written whole through a new inner file; any failure is 303.
kwRet KWCACHE_FILE::writeBack() {
    PARTITION_INFO* pi = pi_;
    FILE_BASE* inner = nullptr;
    kwRet rc =
        kwFileOpen(&inner, path_,
                   FILE_MODE_CREATE_ALWAYS | (flags_ & (FILE_MODE_NO_HOST_IO | FILE_MODE_BINARY)),
                   pi, nullptr, 0);
    uint32_t done = 0;
    if (rc == KW_OK && size_ != 0)
        rc = kwFileWrite(inner, buffer_, size_, &done);
    if (rc == KW_OK)
        rc = kwFileSetSize(inner, size_, 0);
    kwRet closed = inner != nullptr ? kwFileClose(inner, 0, nullptr) : KW_OK;
    return rc != KW_OK || closed != KW_OK ? ERR_FILE_CLOSE : KW_OK;
}

kwRet KWCACHE_FILE::Close(uint32_t closeFlags, void** buffer) {
    kwRet rc = KW_OK;
    if (buffer_ != nullptr && (state_ & FILE_STATE_MODIFIED) &&
        (closeFlags & ~FILE_CLOSE_KEEP) != 0)
        rc = writeBack();
    if (rc != KW_OK && buffer != nullptr)
        *buffer = buffer_;
    else
        delete[] buffer_;
    buffer_ = nullptr;
    state_ = 0;
    return rc;
}

kwRet KWCACHE_FILE::Read(void* buffer, uint32_t count, uint32_t* done) {
    if (buffer_ == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    *done = 0;
    if (position_ + count > 0xFFFFFFFFull)
        return ERR_FILE_SEEK;
    kwRet rc = KW_OK;
    if (position_ + count > size_) {
        count = position_ < size_ ? static_cast<uint32_t>(size_ - position_) : 0;
        rc = ERR_FILE_SHORT_READ;
    }
    std::memcpy(buffer, buffer_ + position_, count);
    position_ += count;
    *done = count;
    return rc;
}

kwRet KWCACHE_FILE::Write(const void* buffer, uint32_t count, uint32_t* done) {
    if (buffer_ == nullptr || buffer == nullptr || done == nullptr ||
        (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    if (position_ + count > capacity_)
        return ERR_FILE_WRITE;
    std::memcpy(buffer_ + position_, buffer, count);
    position_ += count;
    if (position_ > size_)
        size_ = static_cast<uint32_t>(position_);
    state_ |= FILE_STATE_MODIFIED;
    *done = count;
    return KW_OK;
}

kwRet KWCACHE_FILE::Seek(uint32_t low, uint32_t high, uint32_t origin) {
    if (origin != FILE_SEEK_SET && origin != FILE_SEEK_CUR && origin != FILE_SEEK_END)
        return ERR_BAD_ARGUMENT;
    if (high != 0)
        return ERR_FILE_SEEK;
    uint64_t target = origin == FILE_SEEK_SET   ? low
                      : origin == FILE_SEEK_CUR ? position_ + low
                                                : uint64_t{size_} + low;
    if (target > size_)
        return ERR_FILE_SEEK;
    position_ = target;
    return KW_OK;
}

kwRet KWCACHE_FILE::Tell(uint64_t* position) {
    if (position == nullptr)
        return ERR_BAD_ARGUMENT;
    *position = position_;
    return KW_OK;
}

kwRet KWCACHE_FILE::Size(uint64_t* size) {
    if (size == nullptr)
        return ERR_BAD_ARGUMENT;
    *size = size_;
    return KW_OK;
}

kwRet KWCACHE_FILE::SetSize(uint32_t low, uint32_t high) {
    if (high != 0 || low >= capacity_)
        return ERR_BAD_ARGUMENT;
    if (low != size_) {
        if (low > size_ && buffer_ != nullptr)
            std::memset(buffer_ + size_, 0, low - size_); // a longer file reads zeros
        size_ = low;
        if (position_ > size_)
            position_ = size_;
        state_ |= FILE_STATE_MODIFIED;
    }
    return KW_OK;
}
