// NETWPART_LIMITS and NETWSI_LIMITS: a NetWare partition's size range and
// the split of a chosen size into redirection area, LDA and trailing sectors.
#include "engine/netware/nw_limits.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/engine_util.h"
#include "engine/disk/partition_info.h"
#include "engine/disk/pi_chain.h"
#include "engine/disk/pi_find.h"
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_partopen.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"

#include <algorithm>

namespace kw::netware {

namespace {

uint32_t RoundDown(uint32_t value, uint32_t unit) {
    return unit != 0 ? value - value % unit : value;
}

uint32_t AlignUp(const PARTITION_INFO* pi, uint32_t value) {
    if (pi->ulCylSize == 0)
        return value;
    return AlignToBoundary(pi->ulSectsToNextCyl, pi->ulCylSize, value, 0);
}

} // namespace

NETWSI_LIMITS::NETWSI_LIMITS(NetW_Segment* s) : segment(s) {
    KW_ASSERT(segment != nullptr);
    oldSize = lowestSize = highestSize = newSize = s->getSectorsInSegment();
    oldStart = lowestStart = highestStart = newStart = s->getStartingDiskSector();
}

void NETWSI_LIMITS::SetSize(uint32_t size) {
    auto clamp = [this](uint32_t v) {
        return std::clamp(v, lowestSize, std::max(lowestSize, highestSize));
    };
    const uint32_t unit = segment->GetSectorsPerBlock();
    uint64_t v = clamp(size);
    if (unit != 0) {
        const uint32_t r = static_cast<uint32_t>(v % unit);
        v -= r;
        if (r >= unit / 2)
            v += unit;
    }
    newSize = clamp(static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)));
    if (!(flags & START_STAYS) && oldSize > newSize)
        highestStart += oldSize - newSize;
}

void NETWSI_LIMITS::SetStart(uint32_t low, int64_t shift) {
    const uint32_t unit = std::max(1u, segment->GetSectorsPerBlock());
    const int64_t from = int64_t{oldStart} + shift - low;
    const int64_t residue = ((from % unit) + unit) % unit;
    const int64_t start = int64_t{low} + residue;
    newStart = static_cast<uint32_t>(
        std::clamp<int64_t>(start, lowestStart, std::max(lowestStart, highestStart)));
}

NETWPART_LIMITS::~NETWPART_LIMITS() {
    DeleteSegmentLimits();
}

void NETWPART_LIMITS::SetSegmentLimits(int32_t iMySegPos, NETWSI_LIMITS* limits) {
    KW_ASSERT(iMySegPos >= 0 && iMySegPos < NW_MAX_VOL_SEGMENTS);
    delete segments_[iMySegPos];
    segments_[iMySegPos] = limits;
}

NETWSI_LIMITS* NETWPART_LIMITS::GetSegmentLimits(int32_t iMySegPos) const {
    KW_ASSERT(iMySegPos >= 0 && iMySegPos < NW_MAX_VOL_SEGMENTS);
    return segments_[iMySegPos];
}

void NETWPART_LIMITS::DeleteSegmentLimits() {
    for (NETWSI_LIMITS*& s : segments_) {
        delete s;
        s = nullptr;
    }
}

kwRet NETWPART_LIMITS::Init(NETWPART_VOLUME* volume) {
    PARTITION_INFO* pi = volume->GetPI();
    uint32_t maximum = pi->ulRoom != 0 ? pi->ulRoom : pi->NumSects;
    const uint32_t origin = volume->GetVolumeTableOrigin();
    uint64_t minimum = uint64_t{origin} + kVolumeTableZone;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition) {
        uint32_t least = 0;
        if (kwRet rc = GetSegmentMinimumSize(s, &least); rc != KW_OK)
            return rc;
        minimum += least;
    }
    if (IsMirrored(pi)) {
        kwRet rc = ForEachMirrorMember(pi, [&](PARTITION_INFO* member) {
            const uint32_t most = member->ulRoom != 0 ? member->ulRoom : member->NumSects;
            maximum = std::min(maximum, most);
            if (most - std::min(most, member->NumSects) < member->ulCylSize)
                maximum = std::min(maximum, member->NumSects);
            return KW_OK;
        });
        if (rc != KW_OK)
            return rc;
    }
    const uint32_t low =
        AlignUp(pi, static_cast<uint32_t>(std::min<uint64_t>(minimum, UINT32_MAX)));
    const uint32_t high = std::max(low, AlignUp(pi, maximum));
    PARTITION_LIMITS::Init(pi, low, high, pi->NumSects);
    oldRedirSize_ = redirSize_ = volume->Area() != nullptr ? volume->Area()->GetSectorCount() : 0;
    oldLdaSize_ = ldaSize_ = RoundDown(volume->GetDataAreaSectors(), 8);
    const uint64_t used = uint64_t{origin} + volume->GetDataAreaSectors();
    trailing_ = pi->NumSects > used ? static_cast<uint32_t>(pi->NumSects - used) : 0;
    return KW_OK;
}

void NETWPART_LIMITS::AnchorEnd() {
    const uint32_t keepMinimum = minimum_;
    PARTITION_LIMITS::AnchorEnd();
    minimum_ = keepMinimum;
    maximum_ = start_ - std::min(start_, lowestStart_) + oldSize_;
}

void NETWPART_LIMITS::SetMoveLimits(uint32_t left, uint32_t right) {
    PARTITION_LIMITS::SetMoveLimits(left, right);
    PARTITION_INFO* pi = Partition();
    if (pi == nullptr || !IsMirrored(pi))
        return;
    uint32_t leftMost = left;
    ForEachMirrorMember(pi, [&](PARTITION_INFO* member) {
        EN_MOVE_INFO info;
        if (enGetMoveInfo(member, &info) == KW_OK)
            leftMost = std::min(leftMost, info.left);
        return KW_OK;
    });
    const uint32_t lowest = newStart_ - std::min(newStart_, leftMost);
    lowestStart_ = pi->ulCylSize != 0
                       ? AlignToBoundaryEnd(pi->ulSectsToNextCyl, pi->ulCylSize, lowest, 0)
                       : lowest;
    if (mode_ == ANCHOR_END)
        AnchorEnd();
}

void NETWPART_LIMITS::SetSize(uint32_t size, bool align) {
    const uint32_t oldLda = ldaSize_, oldRedir = redirSize_;
    result_ = Split(size, align);
    if (result_ != KW_OK) {
        StoreSize(oldSize_);
        ldaSize_ = oldLda;
        redirSize_ = oldRedir;
        DeleteSegmentLimits();
    }
}

bool NETWPART_LIMITS::FirstSegment(uint32_t* sectorsPerBlock) const {
    const NetW_Segment* first = SegmentsOf(Partition());
    if (first == nullptr)
        return false;
    *sectorsPerBlock = std::max(1u, first->GetSectorsPerBlock());
    return true;
}

// The new area size: the old one, or on a shrink the default for the new
// size, never below the entries in use + 1 block nor above the old size;
// then moved so that the data area stays on the segments' block grid.
kwRet NETWPART_LIMITS::AreaSize(uint32_t newSize, uint32_t* area) const {
    PARTITION_INFO* pi = Partition();
    KW_ASSERT(!((pi->ulFlags2 & PI2_PART_MIRROR) && (pi->ulFlags2 & PI2_HAS_MIRROR)));
    uint32_t h = RoundDown(oldRedirSize_, 8);
    if (newSize < oldSize_)
        h = std::min(DefaultAreaSectors(newSize), h);
    if (oldRedirSize_ != 0) {
        RedirectionArea current(pi);
        kwRet rc = current.Initialise();
        if (rc == KW_OK)
            rc = current.LoadTables();
        if (rc != KW_OK)
            return rc;
        RedirectTable* table = current.Redirects();
        const uint64_t used = uint64_t{table->SystemBlocks()} + table->RedirectedBlocks() + 1;
        h = static_cast<uint32_t>(std::max<uint64_t>(h, used * current.GetSectorsPerBlock()));
        h = std::min(h, RoundDown(oldRedirSize_, 8));
    }
    uint32_t unit = 0;
    if (mode_ == ANCHOR_START && h != 0 && FirstSegment(&unit)) {
        // The data area start moves by a whole number of segment blocks.
        if (h <= oldRedirSize_)
            h += (oldRedirSize_ - h) % unit;
        else
            h += (unit - (h - oldRedirSize_) % unit) % unit;
        if (h > oldRedirSize_)
            h = oldRedirSize_;
        // The volume tables of the old and the new origin must not share a
        // sector: the area keeps a block or more of what it would give.
        auto clash = [this](uint32_t v) {
            const uint32_t d = oldRedirSize_ - v;
            return d != 0 && d % kVolumeTableStride == 0 &&
                   d < kVolumeTableCopies * kVolumeTableStride;
        };
        while (h < oldRedirSize_ && clash(h))
            h = std::min(oldRedirSize_, h + std::max(8u, unit));
    } else if (mode_ == ANCHOR_END && FirstSegment(&unit)) {
        const uint32_t t = trailing_ % 8;
        const uint32_t a = (newSize - t) % 8;
        if (oldRedirSize_ == 0 && a != 0)
            h = 200;
        h += a;
    }
    *area = h;
    return KW_OK;
}

uint32_t NETWPART_LIMITS::TrailingFor(uint32_t newSize, uint32_t area) const {
    if (mode_ == ANCHOR_END)
        return newSize > oldSize_ ? trailing_ : trailing_ % 8;
    return newSize > area ? (newSize - area) % 8 : 0;
}

kwRet NETWPART_LIMITS::Split(uint32_t size, bool align) {
    if (Partition() == nullptr)
        return ERR_BAD_ARGUMENT;
    PARTITION_LIMITS::SetSize(size, align);
    uint32_t h = 0;
    if (kwRet rc = AreaSize(newSize_, &h); rc != KW_OK)
        return rc;
    const uint32_t area = h != 0 ? h : kSignatureOrigin;
    const uint32_t trailing = TrailingFor(newSize_, area);
    if (uint64_t{area} + trailing > newSize_)
        return ERR_NW_PART_LIMITS;
    uint32_t blocks = (newSize_ - trailing - area) / 8;
    fromMirror_ = false;
    if ((Partition()->ulFlags2 & PI2_HAS_MIRROR) != 0)
        if (kwRet rc = FollowMirror(&blocks); rc != KW_OK)
            return rc;
    redirSize_ = h;
    if (blocks * 8 < oldLdaSize_ && !fromMirror_) {
        if (kwRet rc = RaiseForSegments(&blocks, area); rc != KW_OK)
            return rc;
        ldaSize_ = blocks * 8;
        return PlanSegments(area);
    }
    ldaSize_ = blocks * 8;
    return KW_OK;
}

// The segments' plan for the new data area; a plan that needs more of it
// takes the size up by what it misses, on the cylinder grid (511 above the
// maximum size).
kwRet NETWPART_LIMITS::PlanSegments(uint32_t area) {
    const uint32_t planned = ldaSize_;
    OpenPartitionVolume volume(Partition());
    kwRet rc = volume.Result();
    if (rc == KW_OK)
        rc = volume->PlanSegmentSizes(this, 0);
    if (rc != KW_OK || ldaSize_ <= planned)
        return rc;
    const uint64_t raised = uint64_t{newSize_} + (ldaSize_ - planned);
    if (raised > maximum_)
        return ERR_NO_ROOM_TO_RESIZE;
    const uint32_t size = std::min(maximum_, AlignUp(Partition(), static_cast<uint32_t>(raised)));
    if (uint64_t{area} + TrailingFor(size, area) + ldaSize_ > size)
        return ERR_NO_ROOM_TO_RESIZE;
    StoreSize(size);
    return KW_OK;
}

// Every member of the group is split the same way; a member with fewer LDA
// blocks sets the LDA (with its segment limits), or with the end anchored
// makes the limits invalid.
kwRet NETWPART_LIMITS::FollowMirror(uint32_t* ldaBlocks) {
    return ForEachMirrorMember(Partition(), [&](PARTITION_INFO* member) {
        PARTITION_LIMITS* base = nullptr;
        kwRet rc = nwGetResizeLimits(member, &base);
        auto* other = static_cast<NETWPART_LIMITS*>(base);
        if (rc == KW_OK)
            rc = nwAnchorLike(other, mode_);
        if (rc == KW_OK) {
            other->SetSize(newSize_, false);
            rc = other->GetResult();
        }
        if (rc == KW_OK && other->getLDABlocks() < *ldaBlocks) {
            if (mode_ == ANCHOR_END) {
                rc = ERR_NW_PART_LIMITS;
            } else {
                *ldaBlocks = other->getLDABlocks();
                for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i) {
                    SetSegmentLimits(i, other->segments_[i]);
                    other->segments_[i] = nullptr;
                }
                fromMirror_ = true;
            }
        }
        delete other;
        return rc;
    });
}

// A shrink the segments cannot follow takes the size up by what they need
// more, on the cylinder grid; 511 above the maximum size.
kwRet NETWPART_LIMITS::RaiseForSegments(uint32_t* ldaBlocks, uint32_t area) {
    uint32_t needed = 0;
    if (kwRet rc = nwNeededLdaSectors(Partition(), &needed); rc != KW_OK)
        return rc;
    const uint32_t neededBlocks = (needed + 7) / 8;
    if (neededBlocks <= *ldaBlocks)
        return KW_OK;
    const uint64_t raised = uint64_t{newSize_} + uint64_t{neededBlocks - *ldaBlocks} * 8;
    if (raised > maximum_)
        return ERR_NO_ROOM_TO_RESIZE;
    const uint32_t size = std::min(maximum_, AlignUp(Partition(), static_cast<uint32_t>(raised)));
    StoreSize(size);
    const uint32_t trailing = TrailingFor(size, area);
    *ldaBlocks = (size - trailing - area) / 8;
    return KW_OK;
}

void NETWPART_LIMITS::TakeSplit(const NETWPART_LIMITS& primary) {
    ldaSize_ = primary.ldaSize_;
    redirSize_ = primary.redirSize_;
}

kwRet NETWPART_LIMITS::Validate() const {
    const PARTITION_INFO* pi = Partition();
    if (pi == nullptr || uint64_t{redirSize_} + ldaSize_ > newSize_)
        return ERR_NW_PART_LIMITS;
    const DISK_RECORD* disk = pi->disk;
    const uint64_t diskSectors =
        disk != nullptr ? uint64_t{disk->cylinders} * disk->CylinderSize() : 0;
    if (diskSectors != 0 && uint64_t{newStart_} + newSize_ > diskSectors)
        return ERR_NW_PART_LIMITS;
    const uint64_t ldaEnd =
        mode_ == ANCHOR_END ? uint64_t{oldLdaSize_} + trailing_ : uint64_t{ldaSize_};
    for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i) {
        const NETWSI_LIMITS* s = segments_[i];
        if (s == nullptr)
            continue;
        const NetW_Segment* seg = s->segment;
        uint64_t before = kVolumeTableZone;
        if (i > 0 && segments_[i - 1] != nullptr)
            before = uint64_t{segments_[i - 1]->newStart} + segments_[i - 1]->newSize;
        else if (seg->previousInPartition != nullptr)
            before = uint64_t{seg->previousInPartition->getStartingDiskSector()} +
                     seg->previousInPartition->getSectorsInSegment();
        uint64_t next = ldaEnd;
        if (i + 1 < NW_MAX_VOL_SEGMENTS && segments_[i + 1] != nullptr)
            next = segments_[i + 1]->newStart;
        else if (seg->nextInPartition != nullptr)
            next = seg->nextInPartition->getStartingDiskSector();
        const uint64_t end = uint64_t{s->newStart} + s->newSize;
        if (s->newStart < before || next <= s->newStart || next < end)
            return ERR_NW_SEGMENT_LIMITS;
    }
    return KW_OK;
}

kwRet nwAnchorLike(NETWPART_LIMITS* limits, uint32_t mode) {
    if (mode != PARTITION_LIMITS::ANCHOR_END) {
        limits->AnchorStart();
        return KW_OK;
    }
    // The start moves within the free run before the partition.
    EN_MOVE_INFO room;
    if (kwRet rc = enGetMoveInfo(limits->Partition(), &room); rc != KW_OK)
        return rc;
    limits->SetMoveLimits(room.left, room.right);
    limits->AnchorEnd();
    return KW_OK;
}

kwRet nwNeededLdaSectors(PARTITION_INFO* pi, uint32_t* sectors) {
    uint64_t position = kVolumeTableZone;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition) {
        uint32_t least = 0;
        if (kwRet rc = GetSegmentMinimumSize(s, &least); rc != KW_OK)
            return rc;
        const uint32_t unit = std::max(1u, s->GetSectorsPerBlock());
        const uint64_t start = s->getStartingDiskSector();
        // The lowest start from here on that keeps the segment's block grid.
        const uint64_t shift = start >= position ? (start - position) % unit
                                                 : (unit - (position - start) % unit) % unit;
        position += shift + (uint64_t{least} + unit - 1) / unit * unit;
    }
    *sectors = static_cast<uint32_t>(std::min<uint64_t>(position, UINT32_MAX));
    return KW_OK;
}

kwRet nwGetResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** out) {
    *out = nullptr;
    OpenPartitionVolume volume(pi);
    if (volume.Result() != KW_OK)
        return volume.Result();
    auto* limits = new NETWPART_LIMITS;
    if (limits == nullptr)
        return ERR_NO_MEMORY;
    if (kwRet rc = limits->Init(volume.Get()); rc != KW_OK) {
        delete limits;
        return rc;
    }
    *out = limits;
    return KW_OK;
}

} // namespace kw::netware
