// FAT_FILESYSTEM: copying a file inside the volume and writing a file that
// grows in large steps.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Copies the source's bytes to the destination through the volume's file
// writes, so that the copy reaches the disk in the order every write keeps.
kwRet CopyBytes(FAT_FILESYSTEM* fs, FAT_FILE_HANDLE* from, FAT_FILE_HANDLE* to, uint32_t chunk) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[chunk]);
    if (!buffer)
        return ERR_NO_MEMORY;
    kwRet rc = KW_OK;
    for (uint32_t left = from->GetSize(); rc == KW_OK && left > 0;) {
        uint32_t n = left < chunk ? left : chunk;
        rc = fs->Read(from, buffer.get(), n); // both positions advance
        if (rc == KW_OK)
            rc = fs->Write(to, buffer.get(), n);
        left -= n;
    }
    return rc;
}

} // namespace

kwRet FAT_FILESYSTEM::FileCopy(const char* source, const char* destination, uint8_t attribute) {
    if (source == nullptr || destination == nullptr)
        return ERR_BAD_ARGUMENT;
    FAT_FILE_HANDLE* from = nullptr;
    kwRet rc = OpenFile(source, &from, attribute);
    if (rc != KW_OK)
        return rc;
    if (!from->IsFile()) {
        delete from;
        return ERR_NOT_SUPPORTED;
    }
    rc = FileCreate(destination, from->GetAttribute());
    if (rc != KW_OK) {
        delete from;
        return rc; // an existing destination stays as it is
    }
    FAT_FILE_HANDLE* to = nullptr;
    rc = OpenFile(destination, &to, 0);
    if (rc == KW_OK)
        rc = CopyBytes(this, from, to, 16 * boot_.BytesPerCluster());
    if (rc == KW_OK) {
        std::memcpy(to->entry + FDE_WTIME, from->entry + FDE_WTIME, 4); // write time and date
        to->entry[FDE_ATTR] = from->GetAttribute();
        to->entryChanged = true;
        rc = CommitFile(to);
    }
    if (rc != KW_OK && to != nullptr && to->FirstCluster() != 0) {
        // The clusters taken so far are named by this handle only (the
        // entry on disk has none yet): they go back before the entry goes.
        freeChain(to->FirstCluster());
        FlushFat();
    }
    delete to;
    delete from;
    if (rc != KW_OK) {
        DbgPrintf("FileCopy: copy of %s to %s failed (kwRet == %lu), removed\n", source,
                  destination, static_cast<unsigned long>(rc));
        FileDelete(destination, 0);
    }
    return rc;
}

kwRet FAT_FILESYSTEM::WriteGrowing(FAT_FILE_HANDLE* h, const void* buffer, uint32_t count) {
    if (h == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!h->IsFile())
        return ERR_NOT_SUPPORTED;
    uint64_t end = uint64_t{h->position} + count;
    if (end > 0xFFFFFFFFull)
        return ERR_FILE_TOO_BIG;
    if (end > h->GetSize()) {
        uint64_t grown = (end / FAT_GROW_STEP + 1) * FAT_GROW_STEP;
        uint32_t position = h->position;
        kwRet rc =
            SetFileSize(h, grown > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(grown));
        if (rc == KW_OK)
            rc = h->Seek(position);
        if (rc != KW_OK)
            return rc;
    }
    kwRet rc = Write(h, buffer, count);
    if (rc == KW_OK)
        rc = CommitFile(h);
    DbgPrintf("=> %lu \n", static_cast<unsigned long>(h->position));
    return rc;
}
