// NETWPART_VOLUME::PlanSegmentSizes: how the segments of a partition whose
// data area shrinks share the cut. The free space outside the segments (the
// gaps between them and the tail) goes first; what it cannot give (the
// deficit) is taken from the segments in proportion to their free sectors,
// each keeping at least its minimum and changing by whole blocks; with room
// to spare, segments keep their places and only gaps that must close are
// closed. Segments that change get a NETWSI_LIMITS at their entry index:
// resized in place, or moved whole when the size stays and the new run does
// not touch the old one.
//
// The start stays (a resize that moves the start places the segments in
// its way itself, nw_partfront.cpp): the segments are visited from the
// first, each pulled toward the start only as far as the cut needs.
// Positions are counted from the volume-table origin as it is; a planned
// new start also carries the start shift (the redirection area's change),
// so that it counts from the origin the resize leaves.
#include "engine/core/dbgmgr.h"
#include "engine/netware/nw_partresize.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_segresize.h"

#include <algorithm>
#include <cmath>

namespace kw::netware {

namespace {

int64_t RoundDown(int64_t value, int64_t unit) {
    return unit > 0 && value > 0 ? value - value % unit : std::max<int64_t>(value, 0);
}

// One segment as the plan sees it.
struct PlanSegment {
    NetW_Segment* segment = nullptr;
    int64_t start = 0;
    int64_t rounded = 0; // size in whole blocks
    int64_t spb = 1;
    int64_t free = 0;
    int64_t minimum = 0;
};

// The state of one planning pass.
struct PlanState {
    PlanSegment seg[NW_MAX_VOL_SEGMENTS];
    int32_t count = 0;
    int64_t outsideFree = 0;
    int64_t insideFree = 0;
    int64_t trailing8 = 0;
    int64_t shift = 0;
    // Running values.
    double deficit = 0, running = 0;
    int64_t carry = 0, leftover = 0, remainingInside = 0, position = 0;
};

kwRet Collect(NETWPART_VOLUME* volume, const NETWPART_LIMITS* limits, PlanState* p) {
    int64_t previousEnd = kVolumeTableZone;
    for (NetW_Segment* s = SegmentsOf(volume->GetPI());
         s != nullptr && p->count < NW_MAX_VOL_SEGMENTS; s = s->nextInPartition) {
        PlanSegment& g = p->seg[p->count];
        g.segment = s;
        g.start = s->getStartingDiskSector();
        g.spb = s->GetSectorsPerBlock();
        g.rounded = RoundDown(s->getSectorsInSegment(), g.spb);
        uint32_t free = 0, minimum = 0;
        if (kwRet rc = GetSegmentFreeSectors(s, &free); rc != KW_OK)
            return rc;
        if (kwRet rc = GetSegmentMinimumSize(s, &minimum); rc != KW_OK)
            return rc;
        g.free = free;
        g.minimum = minimum;
        int64_t gap = std::max<int64_t>(0, g.start - previousEnd);
        if (p->count == 0)
            gap = RoundDown(gap, g.spb);
        p->outsideFree += gap;
        p->insideFree += g.free;
        previousEnd = g.start + g.rounded;
        ++p->count;
    }
    p->trailing8 = RoundDown(limits->getTrailingSectors(), 8);
    int64_t tail = std::max<int64_t>(0, int64_t{volume->GetDataAreaSectors()} - previousEnd);
    tail += p->trailing8;
    p->outsideFree += tail;
    return KW_OK;
}

// The segment's share of the deficit.
void TakeShare(PlanState* p, const PlanSegment& g, bool more, int64_t* newSize, int64_t* rounded,
               int64_t* attempted) {
    const double remaining = double(p->remainingInside) - (p->carry < 0 ? double(p->carry) : 0.0);
    const double ratio = remaining > 0 ? double(g.free) / remaining : 0.0;
    const double base = p->deficit < 0 ? p->running : p->deficit;
    const double exact = base * ratio;
    int64_t share = int64_t(std::trunc(exact));
    if (exact - std::trunc(exact) > 0.5)
        ++share;
    *attempted = g.rounded - share;
    if (share == 0 && !more)
        return;
    *newSize = std::max(RoundDown(*attempted, g.spb), RoundDown(g.minimum, g.spb));
    *rounded = *newSize;
    const int64_t extra = *attempted - *newSize + p->carry;
    const int64_t extraBlocks = extra < 1 ? 0 : RoundDown(extra, g.spb);
    if (extraBlocks >= g.spb && *newSize + extraBlocks <= g.rounded &&
        *newSize + extraBlocks > g.minimum) {
        *newSize += extraBlocks;
        p->carry = extra - extraBlocks;
    } else {
        p->carry += *attempted - *newSize;
    }
}

// With room to spare the segment keeps its size; only as much of
// the gap before it closes as the cut needs.
void PlacePlan(PlanState* p, const PlanSegment& g) {
    const int64_t room = g.start - p->position;
    if (-p->running > double(room)) {
        p->running += double(room);
        p->position += room;
    } else if (double(room) + p->running > double(g.spb)) {
        const int64_t x = int64_t(std::trunc(double(room) + p->running));
        const int64_t adj = x % g.spb == 0 ? 0 : g.spb - x % g.spb;
        p->carry += adj;
        const int64_t move = int64_t(std::trunc(-p->running)) - adj;
        p->position += move;
        p->running = double(adj);
    }
}

// Sectors of the gap to the next segment that the next one
// cannot close by whole blocks of its own go to this segment.
int64_t AbsorbGap(PlanState* p, const PlanSegment& g, const PlanSegment* next, int64_t rounded,
                  int64_t* newSize) {
    if (next == nullptr)
        return 0;
    int64_t gap = next->start - (p->position + *newSize);
    gap = std::max<int64_t>(gap, 0);
    if (p->running < 0 && -p->running >= double(next->spb))
        return 0;
    int64_t kept = gap % next->spb;
    int64_t add = RoundDown(kept, g.spb);
    if (add <= 0)
        return kept;
    if (*newSize + add > rounded)
        add = -((next->spb - add) / g.spb) * g.spb;
    if (*newSize + add < RoundDown(g.minimum, g.spb))
        return kept;
    *newSize += add;
    gap -= add;
    p->carry -= add;
    kept = gap % next->spb;
    p->carry += kept;
    return kept;
}

kwRet StorePlan(NETWPART_LIMITS* limits, const PlanState* p, const PlanSegment& g, int64_t newSize,
                int64_t newStart) {
    auto* plan = new NETWSI_LIMITS(g.segment);
    if (plan == nullptr)
        return ERR_NO_MEMORY;
    SegmentLimitValues values;
    if (GetSegmentLimits(g.segment, 0, limits->getOldLDASize(), &values) == KW_OK) {
        plan->lowestStart = values.minStart;
        plan->highestStart = values.maxStart;
        plan->lowestSize = values.minSize;
        plan->highestSize = values.maxSize;
    }
    plan->newSize = uint32_t(newSize);
    plan->newStart = uint32_t(newStart);
    const int64_t oldStart = g.start + p->shift;
    const bool apart = newStart + newSize < oldStart || newStart > oldStart + g.rounded;
    if (newSize == g.rounded && apart)
        plan->disposition = NETWSI_LIMITS::MOVE;
    else
        plan->disposition = NETWSI_LIMITS::IN_PLACE_START;
    limits->SetSegmentLimits(g.segment->EntryIndex(), plan);
    return KW_OK;
}

void LogPlan(const PlanSegment& g, int64_t newSize, int64_t rounded, int64_t attempted,
             int64_t newStart) {
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(g.segment, name);
    DbgPrintf("SEGMENT %d OF VOLUME '%s'\r\n", int(g.segment->getMySegmentPosition()), name);
    DbgPrintf("\t Original segment size: %d\r\n", int(g.rounded));
    DbgPrintf("\t      New segment size: %10d\t          Deleted sectors: %10d\r\n", int(newSize),
              int(g.rounded - newSize));
    DbgPrintf("\t  Rounded segment size: %10d\r\n", int(rounded));
    DbgPrintf("\tAttempted segment size: %10d\tAttempted deleted sectors: %10d\r\n", int(attempted),
              int(g.rounded - attempted));
    DbgPrintf("\tNew start sector: %d\r\n", int(newStart));
    DbgPrintf("\r\n");
}

// The plan of segment i, in list order.
kwRet PlanOne(NETWPART_LIMITS* limits, PlanState* p, int32_t i) {
    const PlanSegment& g = p->seg[i];
    const PlanSegment* next = i + 1 < p->count ? &p->seg[i + 1] : nullptr;
    int64_t newSize = g.rounded, rounded = g.rounded, attempted = g.rounded;
    if (p->running > 0 || p->carry < 0)
        TakeShare(p, g, next != nullptr, &newSize, &rounded, &attempted);
    if (p->running < 0 && p->carry >= 0)
        PlacePlan(p, g);
    const int64_t kept = AbsorbGap(p, g, next, rounded, &newSize);
    const bool first = i == 0;
    if (p->position == g.start && newSize == g.rounded && (p->shift == 0 || !first)) {
        p->remainingInside -= g.free;
    } else if (kwRet rc = StorePlan(limits, p, g, newSize, p->position + p->shift); rc != KW_OK) {
        return rc;
    }
    LogPlan(g, newSize, rounded, attempted, p->position + p->shift);
    p->position += newSize + kept;
    p->leftover += kept;
    p->running -= double(g.rounded - newSize);
    return KW_OK;
}

kwRet Plan(NETWPART_VOLUME* volume, NETWPART_LIMITS* limits, uint32_t outside, uint32_t depth) {
    PlanState p;
    if (kwRet rc = Collect(volume, limits, &p); rc != KW_OK)
        return rc;
    if (p.count == 0)
        return KW_OK;
    // Planned starts count from the origin the redirection area's resize
    // leaves, whatever the deficit; the segments keep their partition
    // sectors while it is resized, so the new data area ends `shift`
    // sectors earlier in the positions counted here.
    p.shift = int64_t{limits->GetOldRedirectionSize()} - int64_t{limits->GetRedirectionSize()};
    const int64_t oldLda = limits->getOldLDASize(), newLda = limits->getLDASize();
    const int64_t reachable = newLda - p.shift;
    if (int64_t{outside} > p.outsideFree)
        return ERR_NW_SEGMENT_LIMITS;
    if (oldLda - reachable > p.outsideFree + p.insideFree)
        return ERR_NO_ROOM_TO_RESIZE;
    limits->DeleteSegmentLimits();
    p.deficit = double(oldLda + p.trailing8 - reachable) - double(p.outsideFree - outside);
    p.running = p.deficit;
    p.remainingInside = p.insideFree;
    const PlanSegment& first = p.seg[0];
    p.position = kVolumeTableZone + (first.start - kVolumeTableZone) % first.spb;
    for (int32_t i = 0; i < p.count; ++i)
        if (kwRet rc = PlanOne(limits, &p, i); rc != KW_OK)
            return rc;
    const int64_t end = p.position + p.shift;
    if (end <= newLda)
        return KW_OK;
    const int64_t outsideLeft = p.outsideFree - outside;
    if (p.leftover > 0 && outsideLeft > 0 && depth < kMaxReplans) {
        const int64_t again = p.outsideFree < p.leftover ? p.leftover - p.outsideFree : p.leftover;
        if (again != int64_t{outside})
            return Plan(volume, limits, uint32_t(again), depth + 1);
    }
    // Whole 8-sector units that hold every planned segment.
    limits->SetLDASize(uint32_t((end + 7) / 8 * 8));
    return KW_OK;
}

} // namespace

kwRet NETWPART_VOLUME::PlanSegmentSizes(NETWPART_LIMITS* limits, uint32_t outside) {
    if (limits == nullptr || limits->Partition() != GetPI())
        return ERR_BAD_ARGUMENT;
    // A start that moves up takes the segments in its way whole to free runs
    // of its own choosing (nw_partfront.cpp): nothing is planned here.
    if (limits->GetMode() == PARTITION_LIMITS::ANCHOR_END)
        return KW_OK;
    // The data area as it will lie behind the resized redirection area.
    const int64_t data = int64_t{GetDataAreaSectors()} + limits->GetOldRedirectionSize() -
                         int64_t{limits->GetRedirectionSize()};
    if (int64_t{limits->getLDASize()} >= data)
        return KW_OK;
    return Plan(this, limits, outside, 0);
}

} // namespace kw::netware
