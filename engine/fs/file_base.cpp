// FILE_BASE and the engine's file API: the one place that picks a file
// object's class and runs its life from open to close.
#include "engine/fs/file_base.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/partition_info.h"

#include <cstring>
#include <new>

namespace {

char* CopyText(const char* text) {
    size_t n = std::strlen(text);
    char* out = new (std::nothrow) char[n + 1];
    if (out != nullptr)
        std::memcpy(out, text, n + 1);
    return out;
}

} // namespace

FILE_BASE::~FILE_BASE() {
    delete[] path_;
    delete[] fullPath_;
}

kwRet FILE_BASE::Init(const char* path, uint32_t flags, PARTITION_INFO* pi,
                      const char* streamName) {
    if (path == nullptr)
        return ERR_BAD_ARGUMENT;
    if (streamName != nullptr) {
        DbgPrintf("FILE_BASE::Init: ERROR - Opening named data streams not currently supported.\n");
        return ERR_NOT_SUPPORTED_BY_FILE;
    }
    delete[] path_;
    delete[] fullPath_;
    path_ = CopyText(path);
    fullPath_ = CopyText(path);
    if (path_ == nullptr || fullPath_ == nullptr)
        return ERR_NO_MEMORY;
    flags_ = flags;
    pi_ = pi;
    return KW_OK;
}

kwRet kwFileOpen(FILE_BASE** file, const char* path, uint32_t flags, PARTITION_INFO* pi,
                 const char* streamName, uint32_t cacheCapacity) {
    if (file == nullptr)
        return ERR_BAD_ARGUMENT;
    *file = nullptr;
    if (path == nullptr)
        return ERR_BAD_ARGUMENT;
    bool host = pi == nullptr;
    if (host && (flags & FILE_MODE_NO_HOST_IO))
        return ERR_NO_FILE_IO;
    FILE_BASE* object = cacheCapacity != 0 ? new KWCACHE_FILE(cacheCapacity)
                        : host             ? new DOS_FILE
                                           : CreatePartitionFile(pi->ucFsKind);
    if (object == nullptr && cacheCapacity != 0)
        return ERR_NO_MEMORY;
    if (object == nullptr)
        return host ? ERR_NO_MEMORY : ERR_NO_FILE_IO;
    kwRet rc = object->Init(path, flags, pi, streamName);
    if (rc != KW_OK)
        DbgPrintf("InitFileAccess: ERROR - Unable to init file object (kwRet == %lu)\n",
                  static_cast<unsigned long>(rc));
    if (rc == KW_OK)
        rc = object->AttachVolume();
    if (rc == KW_OK && (flags & FILE_MODE_NO_OPEN) == 0) {
        rc = object->Open();
        DbgPrintf("kwFileOpen - File: %s. Used %s I/O. Flags 0x%lx. %s.\n", object->GetPath(),
                  host ? "OS" : "KW", static_cast<unsigned long>(flags),
                  rc == KW_OK ? "Open succeeded" : "Open failed");
    }
    if (rc != KW_OK) {
        delete object;
        return rc;
    }
    *file = object;
    return KW_OK;
}

kwRet kwFileClose(FILE_BASE* file, uint32_t closeFlags, void** buffer) {
    if (file == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = file->Close(closeFlags, buffer);
    delete file;
    return rc;
}

kwRet kwFileRead(FILE_BASE* file, void* buffer, uint32_t count, uint32_t* done) {
    if (file == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = file->Read(buffer, count, done);
    if (rc != KW_OK && rc != ERR_FILE_SHORT_READ)
        *done = 0;
    return rc;
}

kwRet kwFileWrite(FILE_BASE* file, const void* buffer, uint32_t count, uint32_t* done) {
    if (file == nullptr || buffer == nullptr || done == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = file->Write(buffer, count, done);
    if (rc != KW_OK)
        *done = 0;
    return rc;
}

kwRet kwFileSeek(FILE_BASE* file, uint32_t low, uint32_t high, uint32_t origin) {
    return file == nullptr ? ERR_BAD_ARGUMENT : file->Seek(low, high, origin);
}

kwRet kwFileGetSize(FILE_BASE* file, uint64_t* size) {
    if (file == nullptr || size == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = file->Size(size);
    if (rc != KW_OK)
        *size = 0;
    return rc;
}

kwRet kwFileSetSize(FILE_BASE* file, uint32_t low, uint32_t high) {
    return file == nullptr ? ERR_BAD_ARGUMENT : file->SetSize(low, high);
}
