// What the engine core asks of the NTFS file system, through the partition's
// shared file system (OpenFileSystem).
#include "engine/ntfs/ntfs_services.h"

#include "engine/disk/kwlib.h"
#include "engine/fs/filesystem.h"
#include "engine/ntfs/ntfs_filesystem.h"

namespace {

// Runs `use` on the partition's NTFS volume, opened (and read) for the call.
template <class Use> kwRet WithVolume(PARTITION_INFO* pi, Use use) {
    if (pi == nullptr)
        return ERR_BAD_ARGUMENT;
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NTFS);
    if (rc != KW_OK)
        return rc;
    auto* ntfs = dynamic_cast<NTFS_FILESYSTEM*>(fs);
    if (ntfs == nullptr)
        rc = ERR_FS_NOT_SUPPORTED;
    else if (!ntfs->IsOpen())
        rc = ntfs->Init();
    if (rc == KW_OK)
        rc = use(ntfs);
    CloseFileSystem(&fs);
    return rc;
}

} // namespace

kwRet ntfsGetVolumeLabel(PARTITION_INFO* pi, uint8_t* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    return WithVolume(pi, [&](NTFS_FILESYSTEM* ntfs) { return ntfs->GetVolumeLabelUtf16(buffer); });
}

kwRet ntfsEstimateFilesAndFreeSects(PARTITION_INFO* pi, uint32_t* freeSects, uint32_t* fileCount) {
    if (freeSects == nullptr || fileCount == nullptr)
        return ERR_BAD_ARGUMENT;
    *freeSects = 0;
    *fileCount = 0;
    return WithVolume(pi, [&](NTFS_FILESYSTEM* ntfs) {
        STATE_MAP* used = nullptr;
        kwRet rc = ntfs->GenerateBitmap(&used, FS_MAP_METADATA | FS_MAP_FILE_DATA);
        if (rc != KW_OK)
            return rc;
        uint32_t bits = used->GetBitCount();
        uint32_t clear = bits == 0 ? 0 : used->CountClear(0, bits - 1, bits);
        *freeSects = clear * ntfs->GetGeometry().sectorsPerCluster;
        delete used;
        return ntfs->CountRecordsInUse(fileCount);
    });
}
