// The rows of FAT (FAT12 and FAT16) and FAT32.
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_limits.h"
#include "engine/fat/kwfat_file.h"
#include "engine/fs/fs_module.h"

kwRet FatClustersFree(PARTITION_INFO* pi, uint32_t from, uint32_t to, bool* free);
kwRet FatCompleteMove(PARTITION_INFO* pi);

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

// Opens the partition's volume for a measurement; the caller closes it.
kwRet OpenVolume(PARTITION_INFO* pi, FILESYSTEM** fs, FAT_FILESYSTEM** fat) {
    kwRet rc = OpenFileSystem(pi, fs, FS_OPEN_SHARED, FS_KIND_NONE);
    if (rc != KW_OK)
        return rc;
    *fat = dynamic_cast<FAT_FILESYSTEM*>(*fs);
    return *fat != nullptr ? (*fat)->InitFull() : ERR_UNKNOWN_FS;
}

kwRet FatResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** out, const FS_LIMITS_QUERY& query) {
    FILESYSTEM* fs = nullptr;
    FAT_FILESYSTEM* fat = nullptr;
    kwRet rc = OpenVolume(pi, &fs, &fat);
    auto* limits = rc == KW_OK ? new kw::fat::FAT_LIMITS : nullptr;
    if (rc == KW_OK && limits == nullptr)
        rc = ERR_NO_MEMORY;
    if (rc == KW_OK) {
        kw::fat::FAT_GEOMETRY_OPTIONS opt;
        opt.exact = query.exact;
        opt.largeClusters = query.largeClusters;
        rc = kw::fat::GetGeometryLimits(fat, limits, opt);
    }
    if (fs != nullptr)
        CloseFileSystem(&fs);
    if (rc != KW_OK) {
        delete limits;
        limits = nullptr;
    }
    *out = limits;
    return rc;
}

uint32_t FatMinimum(PARTITION_INFO* pi) {
    FILESYSTEM* fs = nullptr;
    FAT_FILESYSTEM* fat = nullptr;
    uint32_t minimum = OpenVolume(pi, &fs, &fat) == KW_OK ? kw::fat::FatMinimumSize(fat) : 0;
    if (fs != nullptr)
        CloseFileSystem(&fs);
    return minimum;
}

constexpr FS_DISK_RULES kFatRules = {
    .logName = "FAT",
    .legalGroup = FS_LEGAL_GROUP::FAT,
    .smallClusterBit = true,
    .fsMinimumSize = FatMinimum,
};

constexpr FS_DISK_RULES kFat32Rules = {
    .logName = "FAT32",
    .legalGroup = FS_LEGAL_GROUP::FAT,
    .fsMinimumSize = FatMinimum,
};

} // namespace

extern const FS_MODULE kFatModule = {
    .kind = FS_KIND_FAT,
    .disk = kFatRules,
    .createFs = FsMake<FAT_FILESYSTEM>,
    .createFile = FsMakeFile<KWFAT_FILE>,
    .estimateFree = EstimateFatFree,
    .diskHooks = {.fatClustersFree = FatClustersFree, .completeFatMove = FatCompleteMove},
    .getResizeLimits = FatResizeLimits,
};

extern const FS_MODULE kFat32Module = {
    .kind = FS_KIND_FAT32,
    .disk = kFat32Rules,
    .createFs = FsMake<FAT_FILESYSTEM>,
    .createFile = FsMakeFile<KWFAT_FILE>,
    .estimateFree = EstimateFatFree,
    .diskHooks = {.fatClustersFree = FatClustersFree, .completeFatMove = FatCompleteMove},
    .getResizeLimits = FatResizeLimits,
};
