// The row of NetWare: switched on and off with its support.
#include "engine/core/globals_mgr.h"
#include "engine/fs/fs_module.h"
#include "engine/netware/nw_services.h"

extern const FS_MODULE kNetWareModule = {
    .kind = FS_KIND_NETWARE,
    .disk = {.logName = "NetWare", .legalGroup = FS_LEGAL_GROUP::NETWARE, .neverActive = true},
    .diskHooks = {.registerNetWareVolumes = nwRegisterAllVolumes,
                  .createSegmentList = CreateSegmentList,
                  .deleteSegmentList = DeleteSegmentList,
                  .readMirrorHeader = nwReadMirrorHeader},
    .enabled = kwNetWareSupport,
};
