// The row of Linux ext2: its disk rules only, until its file system is built.
#include "engine/disk/part_limits.h"
#include "engine/fs/fs_module.h"

extern const FS_MODULE kExt2Module = {
    .kind = FS_KIND_EXT2,
    .disk = {.logName = "Linux Ext2",
             .legalGroup = FS_LEGAL_GROUP::FS,
             .minimumSize = enMinimumWithCommonReserve},
};
