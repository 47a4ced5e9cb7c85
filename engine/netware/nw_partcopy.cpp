// The copy-side operations of NETWPART_VOLUME: bad sectors of a copy target,
// the fix-up after a copy, new identities, segment entries deleted and
// renamed across a mirror group, the estimates and the mirror group itself.
#include "engine/core/dbgmgr.h"
#include "engine/disk/pi_find.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "engine/netware/nw_vtable.h"
#include "kwbytes.h"

#include <cstring>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

// Record flags the copy code of the engine sets on the two records of a copy.
constexpr uint32_t kPiCopyTarget = 0x20;
constexpr uint32_t kPiCopySource = 0x100;
constexpr uint32_t kDiskRemovesVolumes = 0x80;
constexpr kwRet kBadMirrorGroup = 1458;

// A partition's NetWare file system, opened and initialised for one use.
class OpenedNetWare {
public:
    explicit OpenedNetWare(PARTITION_INFO* pi) {
        if (OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, FS_KIND_NETWARE) != KW_OK)
            return;
        volume_ = dynamic_cast<NETWPART_VOLUME*>(fs_);
        rc_ = volume_ != nullptr ? volume_->Init() : ERR_FS_NOT_SUPPORTED;
    }
    ~OpenedNetWare() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
    }
    OpenedNetWare(const OpenedNetWare&) = delete;
    OpenedNetWare& operator=(const OpenedNetWare&) = delete;
    kwRet Result() const { return fs_ == nullptr ? ERR_NO_MEMORY : rc_; }
    NETWPART_VOLUME* operator->() const { return volume_; }

private:
    FILESYSTEM* fs_ = nullptr;
    NETWPART_VOLUME* volume_ = nullptr;
    kwRet rc_ = KW_OK;
};

// A NetWare partition keeps no bad-sector list of its own (its redirection
// area stands in for bad blocks): it is copied only to areas without bad
// sectors, so a list with any is refused.
kwRet NoBadSectors(SECT_LIST* list) {
    return list != nullptr && list->GetCount() != 0 ? ERR_TOO_MANY_BAD_SECTORS : KW_OK;
}

bool IsMirrorPrimary(const PARTITION_INFO* pi) {
    return (pi->ulFlags2 & PI2_HAS_MIRROR) != 0;
}

} // namespace

kwRet NETWPART_VOLUME::PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* other) {
    segmentsReattached_ = false;
    PARTITION_INFO* pi = GetPI();
    if (other != nullptr && (pi->ulFlags & kPiCopyTarget) && (other->ulFlags & kPiCopySource)) {
        for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition) {
            PARTITION_INFO* before = s->SetPartition(pi);
            if (before != other && before != pi) {
                DbgPrintf("Unexpected Pi structure for volume segment.");
                return ERR_NW_UNEXPECTED_PI;
            }
        }
        segmentsReattached_ = true;
    }
    if (list != nullptr && list->GetCount() != 0)
        return ERR_TOO_MANY_BAD_SECTORS;
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet NETWPART_VOLUME::CheckBadSectors(STATE_MAP** map, SECT_LIST* list) {
    if (list != nullptr && list->GetCount() != 0)
        return ERR_TOO_MANY_BAD_SECTORS;
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet NETWPART_VOLUME::SetBadSectors(SECT_LIST* list) {
    kwRet rc = NoBadSectors(list);
    if (rc == KW_OK && segmentsReattached_)
        SetSegmentListPartition(SegmentsOf(GetPI()), GetPI());
    return rc;
}

kwRet NETWPART_VOLUME::FixupAfterCopy(PARTITION_INFO* source) {
    return FixupAfterCopyEx(nullptr, source, 0);
}

// The distinct names of the copy's segments, registered with the manager.
kwRet NETWPART_VOLUME::RegisterCopiedNames(char (*names)[kMaxNameLength + 1], uint32_t* count) {
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr; s = s->nextInPartition) {
        char name[kMaxNameLength + 1];
        GetSegmentVolumeName(s, name);
        bool seen = false;
        for (uint32_t i = 0; i < *count && !seen; ++i)
            seen = std::strcmp(names[i], name) == 0;
        if (seen || *count >= kMaxTableEntries)
            continue;
        std::memcpy(names[(*count)++], name, sizeof name);
        if (kwRet rc = nwRegisterVolume(name, DiskAddressOf(GetPI())); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The copy takes the source's place: its identity, its segments, its mirror
// flags; the source's entries go.
kwRet NETWPART_VOLUME::ReplaceSource(PARTITION_INFO* source) {
    PARTITION_INFO* pi = GetPI();
    pi->ulLDABeginSector = source->ulLDABeginSector;
    pi->ulSerial = source->ulSerial;
    SetSegmentListPartition(SegmentsOf(pi), pi);
    const uint32_t mirrorFlags = PI2_PART_MIRROR | PI2_HAS_MIRROR;
    pi->ulFlags2 = (pi->ulFlags2 & ~mirrorFlags) | (source->ulFlags2 & mirrorFlags);
    source->ulFlags2 &= ~mirrorFlags;
    if (SegmentsOf(source) != nullptr) {
        OpenedNetWare old(source);
        kwRet rc = old.Result();
        // Entry 0 goes until none is left; a delete that fails ends it.
        while (rc == KW_OK && SegmentsOf(source) != nullptr)
            rc = old->DeleteSegmentEntry(0);
        if (rc != KW_OK)
            return rc;
    }
    NetW_Segment* first = SegmentsOf(pi);
    const bool removes = (pi->disk != nullptr && (pi->disk->ulFlags & kDiskRemovesVolumes)) ||
                         (source->disk != nullptr && (source->disk->ulFlags & kDiskRemovesVolumes));
    if (!removes || first == nullptr)
        return KW_OK;
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(first, name);
    const char* address =
        first->Volume() != nullptr ? first->Volume()->DiskAddress() : DiskAddressOf(pi);
    kwRet rc = nwDeleteVolumeNode(name, address);
    NWVolume* volume = nullptr;
    if (rc == KW_OK && (rc = nwOpenVolume(&volume, first, pi->ulSerial, false)) == KW_OK)
        rc = nwReleaseVolume(&volume);
    return rc;
}

kwRet NETWPART_VOLUME::FixupAfterCopyEx(SECT_LIST* bad, PARTITION_INFO* source,
                                        uint32_t copyFlags) {
    char names[kMaxTableEntries][kMaxNameLength + 1] = {};
    uint32_t named = 0;
    kwRet rc = NoBadSectors(bad);
    if (rc == KW_OK && (copyFlags & kCopyReplacesSource) == 0) {
        if ((rc = Init()) == KW_OK && (rc = RegisterCopiedNames(names, &named)) == KW_OK)
            rc = AssignNewIdentity(source);
    } else if (rc == KW_OK) {
        rc = source == nullptr ? ERR_BAD_ARGUMENT : ReplaceSource(source);
        if (rc == KW_OK && area_ == nullptr && !signatureForm_)
            rc = Init();
    }
    if (rc == KW_OK && area_ != nullptr && (rc = area_->LoadTables()) == KW_OK &&
        area_->Redirects()->RedirectedBlocks() != 0) {
        const uint32_t data = GetDataAreaSectors();
        rc = area_->CopyBack(0, data != 0 ? data - 1 : 0, true);
    }
    if (rc == KW_OK && (copyFlags & kCopyJoinsMirror)) {
        rc = source == nullptr ? ERR_BAD_ARGUMENT : nwAddMirrorMember(source, GetPI());
        if (rc == KW_OK)
            GetPI()->ulFlags &= ~(kCopyReplacesSource | kCopyJoinsMirror);
    }
    if (rc != KW_OK)
        for (uint32_t i = 0; i < named; ++i)
            nwDeleteVolumeNode(names[i], DiskAddressOf(GetPI()));
    kwPartitionChanged(KW_OP_MOVED, GetPI(), 0);
    return rc;
}

kwRet NETWPART_VOLUME::AssignNewIdentity(PARTITION_INFO* /*source*/) {
    const uint32_t id = nwNewPartitionId(0);
    SetPartitionId(id);
    PARTITION_INFO* pi = GetPI();
    pi->ulSerial = id;
    pi->ulLDABeginSector = GetVolumeTableOrigin();
    DbgPrintf("\n\n");
    kwRet rc = WritePartitionDefinition();
    if (rc != KW_OK || area_ == nullptr)
        return rc;
    uint8_t mirror[kMirrorHeadBytes];
    if ((rc = nwReadMirrorHeaderBytes(pi, mirror)) != KW_OK)
        return rc;
    if (std::memcmp(mirror, kMirrorMagic, sizeof kMirrorMagic) != 0)
        return KW_OK;
    StoreLe32(mirror + MF_PARTITION_ID, id);
    StoreLe32(mirror + MF_ID_PLUS_9, id + 9);
    std::memset(mirror + MF_MEMBERS, 0, 4 * kMirrorMembers);
    StoreLe32(mirror + MF_MEMBERS, id);
    if ((rc = nwWriteMirrorHeader(pi, mirror)) != KW_OK)
        return rc;
    std::memcpy(mirror_, mirror, sizeof mirror_);
    pi->ulFlags2 &= ~(PI2_PART_MIRROR | PI2_HAS_MIRROR);
    return KW_OK;
}

kwRet NETWPART_VOLUME::DeleteSegmentEntry(int32_t index) {
    PARTITION_INFO* pi = GetPI();
    NetW_Segment* s = FindSegmentByIndex(SegmentsOf(pi), index);
    if (s == nullptr)
        return ERR_NW_NO_SEGMENT;
    delete s; // leaves the partition's list and its volume
    RenumberSegments();
    if (!IsMirrorPrimary(pi)) {
        kwRet rc = WriteVolumeTables(true);
        return rc != KW_OK ? rc : nwEstimateFreeSects(this);
    }
    PARTITION_INFO* member = nullptr;
    uint32_t at = 1;
    while (GetNextVolumePi(pi, &member, &at) == KW_OK && member != nullptr) {
        if (member == pi)
            continue;
        OpenedNetWare other(member);
        kwRet rc = other.Result();
        if (rc == KW_OK)
            rc = other->DeleteSegmentEntry(index);
        if (rc != KW_OK)
            return rc;
    }
    kwRet rc = WriteVolumeTables(false);
    return rc != KW_OK ? rc : nwEstimateFreeSects(this);
}

kwRet NETWPART_VOLUME::RenameSegmentVolume(int32_t index, const char* name) {
    PARTITION_INFO* pi = GetPI();
    NetW_Segment* s = FindSegmentByIndex(SegmentsOf(pi), index);
    if (s == nullptr)
        return ERR_NW_NO_SEGMENT;
    SetSegmentVolumeName(s, name);
    if ((pi->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR)) == 0)
        return KW_OK;
    uint8_t mirror[kMirrorHeadBytes];
    kwRet rc = nwReadMirrorHeaderBytes(pi, mirror);
    for (uint32_t k = 0; rc == KW_OK && k < kMirrorMembers; ++k) {
        PARTITION_INFO* member = nullptr;
        uint32_t id = LoadLe32(mirror + MF_MEMBERS + 4 * k);
        if (id == 0 || !FindPiBySerial(&member, id, nullptr, nullptr) || member == nullptr ||
            member == pi)
            continue;
        NetW_Segment* other = FindSegmentByIndex(SegmentsOf(member), index);
        if (other == nullptr)
            return ERR_NW_NO_SEGMENT;
        SetSegmentVolumeName(other, name);
    }
    return rc;
}

namespace {

void FillRecord(NETWPART_VOLUME* v) {
    PARTITION_INFO* pi = v->GetPI();
    std::strcpy(pi->volumeLabel, "NETWARE");
    pi->ulLDABeginSector = v->GetVolumeTableOrigin();
    pi->ulSerial = v->GetPartitionId();
    pi->ulFreeSects = v->CalcFreeSectors();
    pi->ulUsedSects = pi->NumSects - pi->ulFreeSects;
}

} // namespace

kwRet nwEstimateFreeSects(NETWPART_VOLUME* v) {
    FillRecord(v);
    PARTITION_INFO* pi = v->GetPI();
    if (!IsMirrorPrimary(pi))
        return KW_OK;
    PARTITION_INFO* member = nullptr;
    uint32_t at = 1;
    while (GetNextVolumePi(pi, &member, &at) == KW_OK && member != nullptr) {
        if (member == pi)
            continue;
        OpenedNetWare other(member);
        if (kwRet rc = other.Result(); rc != KW_OK)
            return rc;
        FillRecord(other.operator->());
    }
    return KW_OK;
}

kwRet nwCheckPartitionVolumes(NETWPART_VOLUME* v, bool* usable) {
    *usable = false;
    for (NetW_Segment* s = SegmentsOf(v->GetPI()); s != nullptr; s = s->nextInPartition) {
        NWVolume* volume = nullptr;
        kwRet rc = nwOpenVolume(&volume, s, v->GetPI()->ulSerial, false);
        if (rc != KW_OK)
            return rc;
        if (volume->Check(nullptr) == KW_OK)
            *usable = true;
        if ((rc = nwReleaseVolume(&volume)) != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet nwAddMirrorMember(PARTITION_INFO* source, PARTITION_INFO* member) {
    uint8_t list[kMirrorHeadBytes];
    uint8_t own[kMirrorHeadBytes];
    kwRet rc = nwReadMirrorHeaderBytes(source, list);
    if (rc == KW_OK)
        rc = nwReadMirrorHeaderBytes(member, own);
    if (rc != KW_OK)
        return rc;
    if (std::memcmp(list, kMirrorMagic, 8) != 0 || std::memcmp(own, kMirrorMagic, 8) != 0)
        return ERR_NW_NO_MIRROR_HEADER;
    uint32_t slot = 0;
    while (slot < kMirrorMembers && LoadLe32(list + MF_MEMBERS + 4 * slot) != 0)
        ++slot;
    if (slot == kMirrorMembers)
        return kBadMirrorGroup; // all 16 slots are taken
    StoreLe32(list + MF_MEMBERS + 4 * slot, LoadLe32(own + MF_PARTITION_ID));
    for (uint32_t k = 0; k <= slot; ++k) {
        const uint32_t id = LoadLe32(list + MF_MEMBERS + 4 * k);
        PARTITION_INFO* pi = nullptr;
        if (!FindPiBySerial(&pi, id, nullptr, nullptr) || pi == nullptr)
            continue;
        uint8_t header[kMirrorHeadBytes];
        if ((rc = nwReadMirrorHeaderBytes(pi, header)) != KW_OK)
            return rc;
        if (std::memcmp(header, kMirrorMagic, 8) != 0)
            return ERR_NW_NO_MIRROR_HEADER;
        std::memcpy(header + MF_MEMBERS, list + MF_MEMBERS, 4 * kMirrorMembers);
        if ((rc = nwWriteMirrorHeader(pi, header)) != KW_OK)
            return rc;
        const bool primary = k == 0 && id == LoadLe32(header + MF_PARTITION_ID);
        pi->ulFlags2 |= primary ? PI2_HAS_MIRROR : PI2_PART_MIRROR;
    }
    return KW_OK;
}

} // namespace kw::netware
