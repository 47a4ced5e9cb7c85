// The installed rows of the file-system kinds, and the shared, counted
// objects that OpenFileSystem hands out.
#include "engine/core/dbgmgr.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/fs_module.h"

namespace {

const FS_MODULE* const* gRows = nullptr;
std::size_t gRowCount = 0;

// Kinds without a row (and NetWare while its support is off) get the plain
// base: every sector used, no directories.
FILESYSTEM* Create(uint8_t kind, PARTITION_INFO* pi) {
    const FS_MODULE* row = fsModuleOf(kind);
    if (row != nullptr && row->createFs != nullptr)
        return row->createFs(pi);
    return new FILESYSTEM(pi);
}

} // namespace

void fsInstallModules(const FS_MODULE* const* rows, std::size_t count) {
    gRows = count != 0 ? rows : nullptr;
    gRowCount = gRows != nullptr ? count : 0;
}

const FS_MODULE* fsModuleAt(std::size_t index) {
    return index < gRowCount ? gRows[index] : nullptr;
}

const FS_MODULE* fsModuleOf(uint8_t kind) {
    for (std::size_t i = 0; i < gRowCount; ++i) {
        const FS_MODULE* row = gRows[i];
        if (row->kind == kind)
            return row->enabled == nullptr || row->enabled() ? row : nullptr;
    }
    return nullptr;
}

FILE_BASE* CreatePartitionFile(uint8_t kind) {
    const FS_MODULE* row = fsModuleOf(kind);
    return row != nullptr && row->createFile != nullptr ? row->createFile() : nullptr;
}

kwRet OpenFileSystem(PARTITION_INFO* pi, FILESYSTEM** fs, uint32_t mode, uint8_t kind) {
    if (fs == nullptr)
        return ERR_BAD_ARGUMENT;
    *fs = nullptr;
    if (pi == nullptr)
        return ERR_BAD_ARGUMENT;
    if (kind == FS_KIND_NONE)
        kind = pi->ucFsKind;
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
