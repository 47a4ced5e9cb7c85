#include "engine/netware/nw_services.h"

#include "engine/disk/kwlib.h"

// NetWare volumes are not part of this build yet: nothing is registered and
// the partition queries answer "File system not supported (yet)".

kwRet nwRegisterAllVolumes() {
    return KW_OK;
}

kwRet nwReadHotfixHeader(PARTITION_INFO*, uint8_t*, uint32_t) {
    return ERR_FS_NOT_SUPPORTED;
}

kwRet nwGetPartitionSector(PARTITION_INFO*, uint8_t*) {
    return ERR_FS_NOT_SUPPORTED;
}

kwRet nwReadMirrorHeader(PARTITION_INFO*, uint8_t*) {
    return ERR_FS_NOT_SUPPORTED;
}

kwRet CreateSegmentList(PARTITION_INFO*, void** list) {
    *list = nullptr;
    return ERR_FS_NOT_SUPPORTED;
}

void DeleteSegmentList(void** list) {
    *list = nullptr;
}
