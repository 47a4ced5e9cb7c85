// What the disk layer asks of a FAT volume while it repairs partition tables:
// whether the clusters past a proposed end are free.
#include "engine/fat/fat_blocks.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"

kwRet FatClustersFree(PARTITION_INFO* pi, uint32_t from, uint32_t to, bool* free) {
    *free = false;
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NONE);
    if (rc != KW_OK)
        return rc;
    auto* fat = dynamic_cast<FAT_FILESYSTEM*>(fs);
    rc = fat != nullptr ? fat->InitFull() : ERR_UNKNOWN_FS;
    if (rc == KW_OK) {
        const FAT_BOOT_RECORD& boot = *fat->GetBootRecord();
        uint32_t first = boot.SectorToCluster(from), end = boot.SectorToCluster(to);
        if (first < 2)
            first = 2; // a cut inside the reserved area, the FATs or the root loses them all
        if (end > boot.LastCluster() + 1)
            end = boot.LastCluster() + 1;
        *free = true;
        for (uint32_t c = first; c < end && *free; ++c)
            *free = fat->GetFat()->GetNextCluster(c) == 0;
    }
    CloseFileSystem(&fs);
    return rc;
}
