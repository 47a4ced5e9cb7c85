// The row of Linux ext2.
#include "engine/disk/part_limits.h"
#include "engine/ext2/ext2_filesystem.h"
#include "engine/fs/fs_module.h"

extern const FS_MODULE kExt2Module = {
    .kind = FS_KIND_EXT2,
    .disk = {.logName = "Linux Ext2",
             .legalGroup = FS_LEGAL_GROUP::FS,
             .minimumSize = enMinimumWithCommonReserve},
    .createFs = FsMake<EXT2_FILESYSTEM>,
    .estimateFree = ext2EstimateFreeSects,
    .diskHooks = {.ext2VolumeLabel = ext2GetVolumeLabel},
};
