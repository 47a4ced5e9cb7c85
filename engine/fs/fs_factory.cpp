// The one table of file-system classes by partition kind, and the shared,
// counted objects that OpenFileSystem hands out. Only this file names the
// concrete classes.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/kwfat_file.h"
#include "engine/fs/filesystem.h"
#include "engine/ntfs/kwntfs_file.h"
#include "engine/ntfs/ntfs_filesystem.h"

namespace {

using Creator = FILESYSTEM* (*)(PARTITION_INFO*);
using FileCreator = FILE_BASE* (*)();

template <class T> FILESYSTEM* Make(PARTITION_INFO* pi) {
    return new T(pi);
}

template <class T> FILE_BASE* MakeFile() {
    return new T;
}

// A kind's file system and the class of its files (null: no file I/O).
struct FS_ROW {
    uint8_t kind;
    Creator create;
    FileCreator createFile;
};

// Kinds without a row (and NetWare while its support is off) get the plain
// base: every sector used, no directories.
constexpr FS_ROW kRows[] = {
    {FS_KIND_FAT, Make<FAT_FILESYSTEM>, MakeFile<KWFAT_FILE>},
    {FS_KIND_FAT32, Make<FAT_FILESYSTEM>, MakeFile<KWFAT_FILE>},
    {FS_KIND_NTFS, Make<NTFS_FILESYSTEM>, MakeFile<KWNTFS_FILE>},
};

FILESYSTEM* Create(uint8_t kind, PARTITION_INFO* pi) {
    for (const FS_ROW& row : kRows) {
        if (row.kind == kind)
            return row.create(pi);
    }
    return new FILESYSTEM(pi);
}

} // namespace

FILE_BASE* CreatePartitionFile(uint8_t kind) {
    for (const FS_ROW& row : kRows) {
        if (row.kind == kind)
            return row.createFile != nullptr ? row.createFile() : nullptr;
    }
    return nullptr;
}

kwRet OpenFileSystem(PARTITION_INFO* pi, FILESYSTEM** fs, uint32_t mode, uint8_t kind) {
    if (fs == nullptr)
        return ERR_BAD_ARGUMENT;
    *fs = nullptr;
    if (pi == nullptr)
        return ERR_BAD_ARGUMENT;
    if (kind == FS_KIND_NONE)
        kind = pi->ucFsKind;
    if (kind == FS_KIND_NETWARE && !kwNetWareSupport())
        kind = FS_KIND_NONE;
    FILESYSTEM* object = pi->fileSystem;
    if (object != nullptr && object->openMode_ == FS_OPEN_EXCLUSIVE)
        return ERR_LOCK_VIOLATION;
    if (object == nullptr) {
        object = Create(kind, pi);
        if (object == nullptr)
            return ERR_NO_MEMORY;
        pi->fileSystem = object;
    }
    ++object->openCount_;
    object->openMode_ = mode;
    *fs = object;
    return KW_OK;
}

void CloseFileSystem(FILESYSTEM** fs) {
    if (fs == nullptr || *fs == nullptr)
        return;
    FILESYSTEM* object = *fs;
    *fs = nullptr;
    if (object->openCount_ == 0) {
        DbgPrintf("CloseFileSystem: Closed more than opened\n");
        return;
    }
    if (--object->openCount_ > 0)
        return;
    PARTITION_INFO* pi = object->GetPI();
    if (pi != nullptr && pi->fileSystem == object)
        pi->fileSystem = nullptr;
    delete object;
}
