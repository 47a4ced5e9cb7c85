// Resize limits of NetWare partitions and their segments.
//
// NETWPART_LIMITS splits a partition's new size into the redirection
// (hot-fix) area at its start, the logical data area ("LDA", from the
// volume-table origin, whole 8-sector units) that holds the segments, and the
// trailing sectors behind it; it owns the limits of up to eight segments by
// entry index. NETWSI_LIMITS holds one segment's range of starts and sizes
// and the new start and size chosen within it. Sizes and starts of segments
// count from the volume-table origin, as the segment entries do.
#pragma once

#include "engine/disk/part_limits.h"
#include "engine/netware/nw_layout.h"

#include <cstdint>

namespace kw::netware {

class NetW_Segment;
class NETWPART_VOLUME;

inline constexpr int32_t NW_MAX_VOL_SEGMENTS = 8;

class NETWSI_LIMITS : public KwEngineAlloc {
public:
    // How a planned segment changes.
    enum Disposition : uint32_t { KEEP = 0, IN_PLACE_START = 1, IN_PLACE_END = 2, MOVE = 3 };
    // Flag: the start stays when the size changes.
    static constexpr uint32_t START_STAYS = 0x2;

    // The segment must not be null; every value starts as the segment lies.
    explicit NETWSI_LIMITS(NetW_Segment* segment);
    virtual ~NETWSI_LIMITS() = default;
    NETWSI_LIMITS(const NETWSI_LIMITS&) = delete;
    NETWSI_LIMITS& operator=(const NETWSI_LIMITS&) = delete;

    // Clamped to [lowestSize, highestSize] and rounded to the nearest whole
    // block; unless the start stays, the highest start follows the change.
    void SetSize(uint32_t size);
    // The start nearest above `low` on the segment's block grid shifted by
    // `shift`, clamped to [lowestStart, highestStart].
    void SetStart(uint32_t low, int64_t shift);

    NetW_Segment* segment;
    uint32_t oldSize, oldStart;
    uint32_t lowestStart, highestStart, lowestSize, highestSize;
    uint32_t newSize, newStart;
    uint32_t flags = 0;
    uint32_t disposition = KEEP;
};

class NETWPART_LIMITS : public PARTITION_LIMITS {
public:
    NETWPART_LIMITS() = default;
    ~NETWPART_LIMITS() override;

    // Fills the limits of the partition of an initialised volume: the size
    // range (the segments' minimum sizes behind the area and the volume-table
    // zone; at most the room to the next record and the mirror members'
    // maxima, on the cylinder grid), and the area and LDA as they are.
    kwRet Init(NETWPART_VOLUME* volume);

    void AnchorEnd() override;
    // The base range, and for a mirror member the smallest left distance of
    // the whole group.
    void SetMoveLimits(uint32_t left, uint32_t right) override;
    // Chooses the size and splits it; the result is in GetResult(). On a
    // failure the old split stays and every segment limit is dropped.
    void SetSize(uint32_t size, bool align) override;
    kwRet GetResult() const { return result_; }

    // The partition holds the area and the LDA and fits the disk (1480);
    // every segment limit lies between its neighbours and inside the LDA
    // (1481).
    kwRet Validate() const;

    // Takes ownership; deletes limits set before at that entry index.
    void SetSegmentLimits(int32_t position, NETWSI_LIMITS* limits);
    NETWSI_LIMITS* GetSegmentLimits(int32_t position) const;
    void DeleteSegmentLimits();

    uint32_t getLDASize() const { return ldaSize_; }
    uint32_t getLDABlocks() const { return ldaSize_ / 8; }
    uint32_t getOldLDASize() const { return oldLdaSize_; }
    uint32_t getTrailingSectors() const { return trailing_; }
    uint32_t GetRedirectionSize() const { return redirSize_; }
    uint32_t GetOldRedirectionSize() const { return oldRedirSize_; }
    bool FromMirror() const { return fromMirror_; }

    // The plan of the segments needs a larger data area than the split gave
    // (whole 8-sector units).
    void SetLDASize(uint32_t sectors) { ldaSize_ = sectors; }

    // For a mirror member taking over its primary's split.
    void TakeSplit(const NETWPART_LIMITS& primary);

private:
    kwRet Split(uint32_t size, bool align);
    kwRet AreaSize(uint32_t newSize, uint32_t* area) const;
    kwRet FollowMirror(uint32_t* ldaBlocks);
    kwRet RaiseForSegments(uint32_t* ldaBlocks, uint32_t area);
    kwRet PlanSegments(uint32_t area);
    uint32_t TrailingFor(uint32_t newSize, uint32_t area) const;
    bool FirstSegment(uint32_t* sectorsPerBlock) const;

    uint32_t ldaSize_ = 0;
    uint32_t redirSize_ = 0;
    uint32_t oldLdaSize_ = 0;
    uint32_t oldRedirSize_ = 0;
    uint32_t trailing_ = 0;
    bool fromMirror_ = false;
    kwRet result_ = KW_OK;
    NETWSI_LIMITS* segments_[NW_MAX_VOL_SEGMENTS] = {};
};

// The LDA sectors the segments of a partition need at least, packed in their
// order from the volume-table zone with each start kept on its block grid
// and each at its minimum size.
kwRet nwNeededLdaSectors(PARTITION_INFO* pi, uint32_t* sectors);

// Anchors a mirror member's limits like its primary's (mode of
// PARTITION_LIMITS): with the end kept, the start's range is the free run
// before the member.
kwRet nwAnchorLike(NETWPART_LIMITS* limits, uint32_t mode);

// The resize limits of a NetWare partition (the file-system row's query).
kwRet nwGetResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** limits);

} // namespace kw::netware
