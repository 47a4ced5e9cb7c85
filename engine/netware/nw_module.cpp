// The row of NetWare: switched on and off with its support.
#include "engine/core/globals_mgr.h"
#include "engine/fs/fs_module.h"
#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_services.h"

namespace {

using kw::netware::NETWPART_VOLUME;

// The partition's file system computes and stores its counts (and those of
// its mirror members); the free count goes back for the record.
kwRet EstimateNetWare(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NETWARE);
    if (rc != KW_OK)
        return rc;
    auto* volume = dynamic_cast<NETWPART_VOLUME*>(fs);
    rc = volume == nullptr ? ERR_FS_NOT_SUPPORTED : volume->Init();
    if (rc == KW_OK)
        rc = kw::netware::nwEstimateFreeSects(volume);
    if (rc == KW_OK)
        *freeSects = pi->ulFreeSects;
    CloseFileSystem(&fs);
    return rc;
}

kwRet NetWareResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** out, const FS_LIMITS_QUERY&) {
    return kw::netware::nwGetResizeLimits(pi, out);
}

} // namespace

extern const FS_MODULE kNetWareModule = {
    .kind = FS_KIND_NETWARE,
    .disk = {.logName = "NetWare", .legalGroup = FS_LEGAL_GROUP::NETWARE, .neverActive = true},
    .createFs = FsMake<NETWPART_VOLUME>,
    .estimateFree = EstimateNetWare,
    .diskHooks = {.registerNetWareVolumes = nwRegisterAllVolumes,
                  .createSegmentList = CreateSegmentList,
                  .deleteSegmentList = DeleteSegmentList,
                  .readMirrorHeader = nwReadMirrorHeader,
                  .readHotfixHeader = nwReadHotfixHeader,
                  .getPartitionSector = nwGetPartitionSector,
                  .netWareVolumeState = nwVolumeState},
    .getResizeLimits = NetWareResizeLimits,
    .enabled = kwNetWareSupport,
};
