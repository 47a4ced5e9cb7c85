#include "engine/netware/nw_services.h"

#include "engine/fs/filesystem.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_vtable.h"

using namespace kw::netware;

kwRet nwRegisterAllVolumes() {
    return kw::netware::nwRegisterAllVolumes();
}

kwRet nwReadHotfixHeader(PARTITION_INFO* pi, uint8_t* buffer, uint32_t length) {
    return nwReadHotfixHeaderBytes(pi, buffer, length);
}

kwRet nwGetPartitionSector(PARTITION_INFO* pi, uint8_t* record) {
    return kw::netware::nwGetPartitionSector(pi, record);
}

kwRet nwReadMirrorHeader(PARTITION_INFO* pi, uint8_t* header) {
    return nwReadMirrorHeaderBytes(pi, header);
}

kwRet CreateSegmentList(PARTITION_INFO* pi, void** list) {
    if (list == nullptr || *list != nullptr)
        return ERR_BAD_ARGUMENT;
    NetW_Segment* head = nullptr;
    kwRet rc = kw::netware::CreateSegmentList(pi, &head);
    *list = rc == KW_OK ? head : nullptr;
    return rc;
}

void DeleteSegmentList(void** list) {
    auto* head = static_cast<NetW_Segment*>(*list);
    kw::netware::DeleteSegmentList(&head);
    *list = nullptr;
}

kwRet nwVolumeState(PARTITION_INFO* pi, bool* firstEntryEmpty, bool* volumesUsable) {
    *firstEntryEmpty = SegmentsOf(pi) == nullptr || SegmentsOf(pi)->GetSegEntryHead() == 0;
    *volumesUsable = false;
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NETWARE);
    if (rc != KW_OK)
        return rc;
    auto* volume = dynamic_cast<NETWPART_VOLUME*>(fs);
    rc = volume == nullptr ? ERR_FS_NOT_SUPPORTED : volume->Init();
    if (rc == KW_OK)
        rc = nwCheckPartitionVolumes(volume, volumesUsable);
    CloseFileSystem(&fs);
    return rc;
}
