// NETWPART_VOLUME: resizing the partition (see nw_partresize.h).
#include "engine/netware/nw_partresize.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/kwerror.h"
#include "engine/core/progress.h"
#include "engine/disk/pt_write.h"
#include "engine/netware/nw_partopen.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_redir_resize.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_segresize.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kw::netware {

namespace {

// The lowest partition sector of the partition's segments (UINT32_MAX
// without any).
uint32_t FirstSegmentSector(const PARTITION_INFO* pi) {
    uint32_t first = UINT32_MAX;
    uint32_t guard = 0;
    for (const NetW_Segment* s = SegmentsOf(pi); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition)
        first = std::min(first, s->GetStartSector());
    return first;
}

// Before anything is written: the volume-table zone behind the origin the
// new redirection area gives must end at or before the first segment. The
// area keeps its start, and the segments keep their partition sectors while
// it is resized (they move only afterwards).
// (A resize that moves the start builds its area elsewhere: its own checks.)
kwRet CheckAreaFits(const NETWPART_LIMITS* limits) {
    const uint32_t oldArea = limits->GetOldRedirectionSize();
    const uint32_t newArea = limits->GetRedirectionSize();
    if (newArea == oldArea || limits->GetMode() != PARTITION_LIMITS::ANCHOR_START)
        return KW_OK;
    const PARTITION_INFO* pi = limits->Partition();
    const uint64_t areaStart = oldArea != 0 ? pi->ulLDABeginSector - oldArea : 0;
    const uint64_t origin = areaStart + (newArea != 0 ? newArea : kSignatureOrigin);
    return origin + kVolumeTableZone <= FirstSegmentSector(pi) ? KW_OK : ERR_NW_SEGMENT_LIMITS;
}

// Every segment ends inside the new data area: what a shrink cuts off holds
// no segment (511 when one did not shrink as far as planned).
kwRet CheckSegmentsFit(const NETWPART_LIMITS* limits) {
    uint32_t guard = 0;
    for (const NetW_Segment* s = SegmentsOf(limits->Partition());
         s != nullptr && guard++ < kMaxTableEntries; s = s->nextInPartition)
        if (uint64_t{s->getStartingDiskSector()} + s->getSectorsInSegment() > limits->getLDASize())
            return ERR_NO_ROOM_TO_RESIZE;
    return KW_OK;
}

// The limits of every other member of a mirror group, owned.
struct MemberLimits {
    PARTITION_INFO* member[kMirrorMembers] = {};
    NETWPART_LIMITS* limits[kMirrorMembers] = {};
    uint32_t count = 0;
    ~MemberLimits() {
        for (uint32_t i = 0; i < count; ++i)
            delete limits[i];
    }
};

// A member's limits set up like the primary's: anchored the same way, the
// same size, the same split and the same segment plan (by entry index).
kwRet FollowPrimary(const NETWPART_LIMITS* primary, PARTITION_INFO* member, NETWPART_LIMITS** out) {
    if (kwRet rc = nwCheckWritable(member); rc != KW_OK)
        return rc;
    PARTITION_LIMITS* base = nullptr;
    if (kwRet rc = nwGetResizeLimits(member, &base); rc != KW_OK)
        return rc;
    auto* limits = static_cast<NETWPART_LIMITS*>(base);
    *out = limits;
    if (kwRet rc = nwAnchorLike(limits, primary->GetMode()); rc != KW_OK)
        return rc;
    limits->SetSize(primary->GetSize(), false);
    if (limits->GetResult() != KW_OK)
        return limits->GetResult();
    if (limits->getLDABlocks() < primary->getLDABlocks())
        return ERR_NO_ROOM_TO_RESIZE;
    limits->TakeSplit(*primary);
    for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i) {
        const NETWSI_LIMITS* plan = primary->GetSegmentLimits(i);
        NETWSI_LIMITS* copy = nullptr;
        if (plan != nullptr) {
            NetW_Segment* s = FindSegmentByIndex(SegmentsOf(member), i);
            if (s == nullptr)
                return ERR_NW_SEGMENT_LIMITS;
            copy = new NETWSI_LIMITS(s);
            if (copy == nullptr)
                return ERR_NO_MEMORY;
            copy->newSize = plan->newSize;
            copy->newStart = plan->newStart;
            copy->disposition = plan->disposition;
        }
        limits->SetSegmentLimits(i, copy);
    }
    if (kwRet rc = limits->Validate(); rc != KW_OK)
        return rc;
    return CheckAreaFits(limits);
}

kwRet PrepareMembers(const NETWPART_LIMITS* primary, MemberLimits* members) {
    return ForEachMirrorMember(primary->Partition(), [&](PARTITION_INFO* member) {
        if (members->count >= kMirrorMembers)
            return KW_OK;
        const uint32_t at = members->count++;
        members->member[at] = member;
        return FollowPrimary(primary, member, &members->limits[at]);
    });
}

} // namespace

kwRet nwCheckSegmentVolume(NetW_Segment* s, KWERRORMGR* errors) {
    NWVolume* volume = nullptr;
    kwRet rc = nwOpenVolume(&volume, s, s->GetPartition()->ulSerial, false);
    if (rc != KW_OK)
        return rc;
    rc = volume->Check(errors);
    const kwRet released = nwReleaseVolume(&volume);
    return rc != KW_OK ? rc : released;
}

kwRet NETWPART_VOLUME::GetResizeLimits(NETWPART_LIMITS* limits) {
    return limits != nullptr ? limits->Init(this) : ERR_BAD_ARGUMENT;
}

kwRet NETWPART_VOLUME::Resize(uint32_t, uint32_t newSize, void* sourceRuns, void* destinationRuns) {
    if (sourceRuns != nullptr || destinationRuns != nullptr)
        return ERR_NOT_SUPPORTED;
    std::unique_ptr<NETWPART_LIMITS> limits(new NETWPART_LIMITS);
    if (limits == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = GetResizeLimits(limits.get());
    if (rc == KW_OK) {
        limits->SetSize(newSize, true);
        rc = limits->GetResult();
    }
    return rc != KW_OK ? rc : ResizeWithLimits(limits.get(), false, gErrorMgr);
}

kwRet NETWPART_VOLUME::ResizeWithLimits(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors) {
    if (limits == nullptr || limits->Partition() != GetPI())
        return ERR_BAD_ARGUMENT;
    kwRet rc = limits->GetResult();
    if (rc == KW_OK)
        rc = nwCheckWritable(GetPI());
    if (rc == KW_OK)
        rc = limits->Validate();
    if (rc == KW_OK)
        rc = CheckAreaFits(limits);
    const bool primary = (GetPI()->ulFlags2 & PI2_HAS_MIRROR) != 0;
    MemberLimits members;
    // Every member is checked before the primary writes anything.
    if (rc == KW_OK && primary && (rc = nwCheckNestingRoom(1)) == KW_OK)
        rc = PrepareMembers(limits, &members);
    if (rc != KW_OK)
        return rc;
    std::unique_ptr<Progress> outer(primary ? new Progress : nullptr);
    std::unique_ptr<Progress> inner;
    if (primary) {
        outer->SetRange(1, 50);
        inner.reset(new Progress);
        inner->SetTextId(kMsgResizingPrimary);
    }
    if (limits->GetMode() == PARTITION_LIMITS::ANCHOR_START)
        rc = ResizeAnchorLeft(limits, test, errors);
    else if (limits->GetMode() == PARTITION_LIMITS::ANCHOR_END)
        rc = ResizeAnchorRight(limits, test, errors);
    if (rc != KW_OK || !primary)
        return rc;
    inner->Done();
    inner.reset(); // levels go in nested order: the old one before the new
    outer->SetRange(51, 100);
    inner.reset(new Progress);
    inner->SetTextId(kMsgResizingMirror);
    for (uint32_t i = 0; i < members.count && rc == KW_OK; ++i) {
        if ((rc = nwCheckNestingRoom(1)) != KW_OK)
            break;
        OpenPartitionVolume member(members.member[i]);
        rc = member.Result();
        if (rc == KW_OK)
            rc = member->ResizeWithLimits(members.limits[i], test, errors);
    }
    return rc;
}

// The last segment of the list (the one nearest the data area's end) is
// cut to whole blocks: its tail is no block of the volume.
kwRet NETWPART_VOLUME::RoundLastSegment() {
    NetW_Segment* last = nullptr;
    uint32_t guard = 0;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition)
        last = s;
    if (last == nullptr)
        return KW_OK;
    const uint32_t spb = last->GetSectorsPerBlock();
    const uint32_t size = last->getSectorsInSegment();
    if (size % spb == 0)
        return KW_OK;
    last->SetSectorCount(size - size % spb);
    return WriteVolumeTables(true);
}

kwRet NETWPART_VOLUME::ApplySegmentPlan(NETWPART_LIMITS* limits, int32_t index, bool test,
                                        KWERRORMGR* errors) {
    NETWSI_LIMITS* plan = limits->GetSegmentLimits(index);
    NetW_Segment* s = plan->segment;
    kwRet rc = KW_OK;
    if (plan->disposition == NETWSI_LIMITS::MOVE) {
        FreeSpace target(GetPI(), GetPI()->ulLDABeginSector + plan->newStart, plan->newSize);
        rc = MoveSegment(s, &target, test, false);
    } else if (plan->disposition != NETWSI_LIMITS::KEEP) {
        const uint32_t mode = plan->disposition == NETWSI_LIMITS::IN_PLACE_START
                                  ? kSegmentStartStays
                                  : kSegmentEndStays;
        rc = ResizeSegment(s, plan->newStart, plan->newSize, mode, kMsgResizingSegment, test);
    }
    return rc != KW_OK ? rc : nwCheckSegmentVolume(s, errors);
}

// The planned segments, in list order (the plans are taken first: a move
// renumbers the entries).
kwRet NETWPART_VOLUME::ShrinkSegments(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors) {
    int32_t order[NW_MAX_VOL_SEGMENTS];
    uint32_t count = 0;
    uint64_t sumOld = 0, sumNew = 0, sumUsed = 0;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr && count < NW_MAX_VOL_SEGMENTS;
         s = s->nextInPartition) {
        const uint32_t spb = s->GetSectorsPerBlock();
        if (s->getSectorsInSegment() % spb != 0) {
            s->SetSectorCount(s->getSectorsInSegment() / spb * spb);
            if (kwRet rc = WriteVolumeTables(true); rc != KW_OK)
                return rc;
        }
        const int32_t index = s->EntryIndex();
        const NETWSI_LIMITS* plan =
            index >= 0 && index < NW_MAX_VOL_SEGMENTS ? limits->GetSegmentLimits(index) : nullptr;
        if (plan == nullptr || plan->segment != s)
            continue;
        order[count++] = index;
        sumOld += plan->oldSize;
        sumNew += plan->newSize;
        sumUsed += GetSegmentUsedSectors(s);
    }
    Progress progress;
    uint64_t share = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const NETWSI_LIMITS* plan = limits->GetSegmentLimits(order[i]);
        const uint64_t before = share;
        if (sumOld != sumNew && plan->oldSize > plan->newSize)
            share += (plan->oldSize - plan->newSize) * 100 / (sumOld - sumNew);
        else if (sumOld == sumNew && sumUsed != 0)
            share += GetSegmentUsedSectors(plan->segment) * 100 / sumUsed;
        progress.SetRange(std::max<uint32_t>(1, uint32_t(before)),
                          std::max<uint32_t>(1, uint32_t(std::min<uint64_t>(share, 100))));
        if (kwRet rc = ApplySegmentPlan(limits, order[i], test, errors); rc != KW_OK)
            return rc;
        progress.Update(100);
    }
    return KW_OK;
}

// The data area's new size in the partition's definition: the hot-fix
// header's data sectors, or the signature sector's partition size.
kwRet NETWPART_VOLUME::WriteDataAreaSize(NETWPART_LIMITS* limits) {
    if (area_ != nullptr) {
        uint8_t header[kSectorBytes];
        std::memcpy(header, area_->Header(), kSectorBytes);
        kwbytes::StoreLe32(header + HF_DATA_SECTORS, limits->getLDASize());
        area_->ReplaceHeader(header);
    } else {
        kwbytes::StoreLe32(signature_ + SG_PARTITION_SECTORS, limits->GetSize());
    }
    kwRet rc = WritePartitionDefinition();
    return rc != KW_OK ? rc : phyFlush(GetPI()->disk);
}

kwRet NETWPART_VOLUME::ResizeAnchorLeft(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors) {
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    PARTITION_INFO* pi = GetPI();
    kwRet rc = KW_OK;
    const uint32_t newArea = limits->GetRedirectionSize();
    if (area_ != nullptr && newArea != area_->GetSectorCount())
        rc = nwResizeRedirectionArea(this, newArea);
    else if (area_ == nullptr && newArea != 0)
        rc = ERR_NOT_SUPPORTED; // a new area comes with a resize that moves the start
    // Planned segments change whenever there are plans: a data area that
    // gains the area's sectors at its front may still end before a segment.
    bool shrinking = limits->getLDABlocks() < limits->getOldLDASize() / 8;
    for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i)
        shrinking = shrinking || limits->GetSegmentLimits(i) != nullptr;
    if (rc == KW_OK)
        rc = shrinking ? ShrinkSegments(limits, test, errors) : RoundLastSegment();
    if (rc == KW_OK)
        rc = CheckSegmentsFit(limits);
    if (rc == KW_OK)
        rc = ResizeDefinition(limits);
    if (rc == KW_OK)
        rc = phyFlush(pi->disk);
    progress->Done();
    return rc;
}

// The data-area size and the partition-table entry, in the order that never
// lets the data area claim sectors past the partition: cut before the
// partition shrinks, grown after it grows. Redirections of data sectors cut
// off go last.
kwRet NETWPART_VOLUME::ResizeDefinition(NETWPART_LIMITS* limits) {
    PARTITION_INFO* pi = GetPI();
    const uint32_t oldData = GetDataAreaSectors();
    const uint32_t size = limits->GetSize();
    kwRet rc = KW_OK;
    if (size < pi->NumSects) {
        if ((rc = WriteDataAreaSize(limits)) == KW_OK)
            rc = ResizePartition(pi, size);
    } else {
        if (size != pi->NumSects)
            rc = ResizePartition(pi, size);
        if (rc == KW_OK && (rc = phyFlush(pi->disk)) == KW_OK)
            rc = WriteDataAreaSize(limits);
    }
    if (rc == KW_OK && area_ != nullptr && limits->getLDASize() < oldData)
        rc = area_->DeleteDataRange(limits->getLDASize(), oldData - limits->getLDASize());
    return rc;
}

kwRet NETWPART_VOLUME::ShiftSegmentStarts(int64_t change) {
    uint32_t guard = 0;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition) {
        const int64_t start = int64_t{s->getStartingDiskSector()} + change;
        if (start < 0 || start > UINT32_MAX)
            return ERR_NW_SEGMENT_LIMITS;
    }
    guard = 0;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition)
        s->SetField(SE_START, static_cast<uint32_t>(int64_t{s->getStartingDiskSector()} + change));
    return KW_OK;
}

} // namespace kw::netware
