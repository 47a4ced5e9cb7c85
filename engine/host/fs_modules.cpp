// The list of file-system kinds: one row each, defined in the kind's own
// folder. A new kind adds its row here.
#include "engine/host/fs_modules.h"

#include "engine/fs/file_base.h"
#include "engine/fs/fs_module.h"

#include <iterator>

extern const FS_MODULE kFatModule;
extern const FS_MODULE kFat32Module;
extern const FS_MODULE kHpfsModule;
extern const FS_MODULE kNtfsModule;
extern const FS_MODULE kExt2Module;
extern const FS_MODULE kSwapModule;
extern const FS_MODULE kNetWareModule;

namespace {

const FS_MODULE* const kModules[] = {
    &kFatModule,  &kFat32Module, &kHpfsModule,    &kNtfsModule,
    &kExt2Module, &kSwapModule,  &kNetWareModule,
};

// Each non-null slot of the row's hooks over the merged table.
void MergeHooks(const KW_FS_HOOKS& from, KW_FS_HOOKS* into) {
    if (from.ntfsVolumeLabel != nullptr)
        into->ntfsVolumeLabel = from.ntfsVolumeLabel;
    if (from.ext2VolumeLabel != nullptr)
        into->ext2VolumeLabel = from.ext2VolumeLabel;
    if (from.registerNetWareVolumes != nullptr)
        into->registerNetWareVolumes = from.registerNetWareVolumes;
    if (from.createSegmentList != nullptr)
        into->createSegmentList = from.createSegmentList;
    if (from.deleteSegmentList != nullptr)
        into->deleteSegmentList = from.deleteSegmentList;
    if (from.readMirrorHeader != nullptr)
        into->readMirrorHeader = from.readMirrorHeader;
    if (from.readHotfixHeader != nullptr)
        into->readHotfixHeader = from.readHotfixHeader;
    if (from.getPartitionSector != nullptr)
        into->getPartitionSector = from.getPartitionSector;
    if (from.netWareVolumeState != nullptr)
        into->netWareVolumeState = from.netWareVolumeState;
    if (from.fatClustersFree != nullptr)
        into->fatClustersFree = from.fatClustersFree;
    if (from.completeFatMove != nullptr)
        into->completeFatMove = from.completeFatMove;
}

} // namespace

const FS_MODULE* enFsModuleAt(std::size_t index) {
    return index < std::size(kModules) ? kModules[index] : nullptr;
}

void enInstallFsModules() {
    fsInstallModules(kModules, std::size(kModules));
    KW_FS_HOOKS hooks{};
    for (const FS_MODULE* row : kModules) {
        kwSetKindRules(row->kind, &row->disk);
        MergeHooks(row->diskHooks, &hooks);
    }
    hooks.readPartitionFile = enReadPartitionFile;
    kwSetFsHooks(hooks);
}

kwRet enReadPartitionFile(PARTITION_INFO* pi, const char* path, std::uint32_t maxBytes,
                          std::string* bytes) {
    bytes->clear();
    FILE_BASE* file = nullptr;
    kwRet rc = kwFileOpen(&file, path, FILE_MODE_READ | FILE_MODE_BINARY | FILE_MODE_NO_HOST_IO, pi,
                          nullptr, 0);
    if (rc != KW_OK)
        return rc;
    std::uint64_t size = 0;
    rc = kwFileGetSize(file, &size);
    if (rc == KW_OK) {
        bytes->resize(size < maxBytes ? static_cast<std::size_t>(size) : maxBytes);
        std::uint32_t done = 0;
        rc = kwFileRead(file, bytes->data(), static_cast<std::uint32_t>(bytes->size()), &done);
        bytes->resize(rc == KW_OK ? done : 0);
    }
    kwFileClose(file, 0, nullptr);
    return rc;
}
