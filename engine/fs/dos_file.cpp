// DOS_FILE: a host file through the C runtime's buffered streams.
#include "engine/core/dbgmgr.h"
#include "engine/fs/file_base.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FILE* Stream(void* s) {
    return static_cast<FILE*>(s);
}

void LogErrno() {
    DbgPrintf("ERROR: errno = %i. %s", errno, std::strerror(errno));
}

bool Exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

} // namespace

DOS_FILE::~DOS_FILE() {
    if (stream_ != nullptr)
        std::fclose(Stream(stream_));
}

kwRet DOS_FILE::Open() {
    bool text = (flags_ & FILE_MODE_TEXT) != 0;
    if (text && (flags_ & FILE_MODE_BINARY))
        return ERR_BAD_ARGUMENT;
    struct Mode {
        uint32_t mode;
        const char* open;
        kwRet failure;
        bool mustExist;
        bool mustNotExist;
        bool write;
    };
    static const Mode modes[] = {
        {FILE_MODE_READ, "rb", ERR_FILE_OPEN, false, false, false},
        {FILE_MODE_READWRITE, "r+b", ERR_FILE_OPEN, false, false, true},
        {FILE_MODE_APPEND, "a+b", ERR_FILE_CREATE, true, false, true},
        {FILE_MODE_OPEN_APPEND, "a+b", ERR_FILE_CREATE, false, false, true},
        {FILE_MODE_CREATE_NEW, "w+b", ERR_FILE_CREATE, false, true, true},
        {FILE_MODE_CREATE_ALWAYS, "w+b", ERR_FILE_CREATE, false, false, true},
    };
    uint32_t mode = flags_ & FILE_MODE_MASK;
    for (const Mode& m : modes) {
        if (m.mode != mode)
            continue;
        if (m.mustExist && !Exists(path_))
            return ERR_FILE_OPEN;
        if (m.mustNotExist && Exists(path_))
            return ERR_FILE_EXISTS;
        stream_ = std::fopen(path_, m.open);
        if (stream_ == nullptr) {
            LogErrno();
            return m.failure;
        }
        state_ = (m.write ? FILE_STATE_WRITE : FILE_STATE_READ) |
                 (text ? FILE_STATE_TEXT : FILE_STATE_BINARY);
        position_ = 0;
        if (mode == FILE_MODE_APPEND || mode == FILE_MODE_OPEN_APPEND)
            return Seek(0, 0, FILE_SEEK_END);
        return KW_OK;
    }
    DbgPrintf("Unsupported mode: 0x%lX\n", static_cast<unsigned long>(mode));
    return ERR_BAD_ARGUMENT;
}

kwRet DOS_FILE::Close(uint32_t, void**) {
    if (stream_ == nullptr)
        return KW_OK;
    int rc = std::fclose(Stream(stream_));
    stream_ = nullptr;
    return rc == 0 ? KW_OK : ERR_FILE_CLOSE;
}

kwRet DOS_FILE::Read(void* buffer, uint32_t count, uint32_t* done) {
    if (stream_ == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    size_t n = std::fread(buffer, 1, count, Stream(stream_));
    *done = static_cast<uint32_t>(n);
    if (n < count && std::ferror(Stream(stream_)))
        return ERR_FILE_READ;
    position_ += n;
    return KW_OK;
}

kwRet DOS_FILE::Write(const void* buffer, uint32_t count, uint32_t* done) {
    if (stream_ == nullptr || buffer == nullptr || done == nullptr ||
        (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    size_t n = std::fwrite(buffer, 1, count, Stream(stream_));
    *done = static_cast<uint32_t>(n);
    position_ += n;
    return n == count ? KW_OK : ERR_FILE_WRITE;
}

kwRet DOS_FILE::Seek(uint32_t low, uint32_t high, uint32_t origin) {
    if (stream_ == nullptr)
        return ERR_BAD_ARGUMENT;
    int whence = origin == FILE_SEEK_SET   ? SEEK_SET
                 : origin == FILE_SEEK_CUR ? SEEK_CUR
                 : origin == FILE_SEEK_END ? SEEK_END
                                           : -1;
    if (whence < 0)
        return ERR_BAD_ARGUMENT;
    off_t offset = static_cast<off_t>((uint64_t{high} << 32) | low);
    if (fseeko(Stream(stream_), offset, whence) != 0)
        return ERR_FILE_SEEK;
    off_t at = ftello(Stream(stream_));
    if (at < 0)
        return ERR_FILE_TELL;
    position_ = static_cast<uint64_t>(at);
    return KW_OK;
}

kwRet DOS_FILE::Tell(uint64_t* position) {
    if (stream_ == nullptr || position == nullptr)
        return ERR_BAD_ARGUMENT;
    *position = position_;
    return KW_OK;
}

kwRet DOS_FILE::Size(uint64_t* size) {
    if (stream_ == nullptr || size == nullptr)
        return ERR_BAD_ARGUMENT;
    std::fflush(Stream(stream_));
    struct stat st;
    if (fstat(fileno(Stream(stream_)), &st) != 0)
        return ERR_FILE_SIZE;
    *size = static_cast<uint64_t>(st.st_size);
    return KW_OK;
}

kwRet DOS_FILE::SetSize(uint32_t low, uint32_t high) {
    if (stream_ == nullptr || (state_ & FILE_STATE_WRITE) == 0)
        return ERR_BAD_ARGUMENT;
    std::fflush(Stream(stream_));
    off_t size = static_cast<off_t>((uint64_t{high} << 32) | low);
    return ftruncate(fileno(Stream(stream_)), size) == 0 ? KW_OK : ERR_FILE_WRITE;
}

kwRet DOS_FILE::GetAttributes(uint32_t* attributes) {
    if (attributes == nullptr)
        return ERR_BAD_ARGUMENT;
    struct stat st;
    if (stat(path_, &st) != 0)
        return ERR_FILE_GET_ATTR;
    *attributes = (S_ISDIR(st.st_mode) ? FILE_ATTR_DIRECTORY : FILE_ATTR_NORMAL) |
                  ((st.st_mode & 0222) == 0 ? FILE_ATTR_READONLY : 0);
    return KW_OK;
}

kwRet DOS_FILE::SetAttributes(uint32_t attributes) {
    struct stat st;
    if (stat(path_, &st) != 0)
        return ERR_FILE_SET_ATTR;
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTR_READONLY) ? mode & ~0222 : mode | S_IWUSR;
    return chmod(path_, mode) == 0 ? KW_OK : ERR_FILE_SET_ATTR;
}
