// The rows of FAT (FAT12 and FAT16) and FAT32.
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/kwfat_file.h"
#include "engine/fs/fs_module.h"

namespace {

// free = total sectors - (used clusters x sectors per cluster + first data
// sector): the sectors past the last whole cluster count as free.
kwRet EstimateFatFree(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NONE);
    if (rc != KW_OK)
        return rc;
    auto* fat = dynamic_cast<FAT_FILESYSTEM*>(fs);
    rc = fat != nullptr ? fat->InitFull() : ERR_UNKNOWN_FS;
    if (rc == KW_OK) {
        const FAT_BOOT_RECORD& boot = *fat->GetBootRecord();
        std::uint64_t used =
            std::uint64_t{fat->GetFat()->CountUsedClusters()} * boot.sectorsPerCluster +
            boot.FirstDataSector();
        *freeSects =
            used < boot.totalSectors ? static_cast<std::uint32_t>(boot.totalSectors - used) : 0;
        pi->ulLimitBase = 1;
    }
    CloseFileSystem(&fs);
    return rc;
}

constexpr FS_DISK_RULES kFatRules = {
    .logName = "FAT",
    .legalGroup = FS_LEGAL_GROUP::FAT,
    .smallClusterBit = true,
};

constexpr FS_DISK_RULES kFat32Rules = {
    .logName = "FAT32",
    .legalGroup = FS_LEGAL_GROUP::FAT,
};

} // namespace

extern const FS_MODULE kFatModule = {
    .kind = FS_KIND_FAT,
    .disk = kFatRules,
    .createFs = FsMake<FAT_FILESYSTEM>,
    .createFile = FsMakeFile<KWFAT_FILE>,
    .estimateFree = EstimateFatFree,
};

extern const FS_MODULE kFat32Module = {
    .kind = FS_KIND_FAT32,
    .disk = kFat32Rules,
    .createFs = FsMake<FAT_FILESYSTEM>,
    .createFile = FsMakeFile<KWFAT_FILE>,
    .estimateFree = EstimateFatFree,
};
