// The row of NTFS.
#include "engine/disk/part_limits.h"
#include "engine/fs/fs_module.h"
#include "engine/ntfs/kwntfs_file.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_services.h"

namespace {

// free = clusters clear in $Bitmap x sectors per cluster.
kwRet EstimateNtfsFree(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    std::uint32_t files = 0;
    return ntfsEstimateFilesAndFreeSects(pi, freeSects, &files);
}

} // namespace

extern const FS_MODULE kNtfsModule = {
    .kind = FS_KIND_NTFS,
    .disk = {.logName = "NTFS",
             .legalGroup = FS_LEGAL_GROUP::FS,
             .minimumSize = enMinimumWithCommonReserve},
    .createFs = FsMake<NTFS_FILESYSTEM>,
    .createFile = FsMakeFile<KWNTFS_FILE>,
    .estimateFree = EstimateNtfsFree,
    .diskHooks = {.ntfsVolumeLabel = ntfsGetVolumeLabel},
};
