#include "engine/ntfs/ntfs_services.h"

#include "engine/disk/kwlib.h"

// The NTFS volume is not part of this build yet: its queries answer
// "File system not supported (yet)".

kwRet ntfsGetVolumeLabel(PARTITION_INFO*, uint8_t*) {
    return ERR_FS_NOT_SUPPORTED;
}

kwRet ntfsEstimateFilesAndFreeSects(PARTITION_INFO*, uint32_t* freeSects, uint32_t* fileCount) {
    *freeSects = 0;
    *fileCount = 0;
    return ERR_FS_NOT_SUPPORTED;
}

void ntfsAddDiskHooks(KW_FS_HOOKS* hooks) {
    hooks->ntfsVolumeLabel = ntfsGetVolumeLabel;
}
