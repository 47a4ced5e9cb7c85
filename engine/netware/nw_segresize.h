// Segment resize: a NetWare segment changes size inside its partition's
// volume area by whole blocks. Shrinking first moves every used block out of
// the blocks that go (nw_reloc.h), then commits the new size; growing
// commits the new size, the new blocks being free. The commit point is the
// write of the volume's segment entries: nothing is written before it that
// the old state would read differently, and a failure before it leaves the
// segment, the volume and the disk as they were.
//
// Positions and sizes are in sectors, positions counted from the partition's
// volume-table origin (startingDiskSector).
//
// What is built: a segment's limits, and growing or shrinking at the end of
// the volume's last segment while the volume keeps its number of FAT blocks
// (no block is renumbered, so the FAT itself never changes shape). Moving a
// segment's start, and sizes that add or drop FAT blocks, are refused with 1
// before anything is written.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

namespace kw::netware {

class NetW_Segment;

// Mode bits of a segment's limits.
inline constexpr uint32_t kSegmentStartStays = 1;
inline constexpr uint32_t kSegmentEndStays = 2;

struct SegmentLimitValues {
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t minStart = 0;
    uint32_t maxStart = 0;
    uint32_t minSize = 0;
    uint32_t maxSize = 0;
};

// The limits of one segment from its neighbours in the partition (or the
// volume area's first sector 160 and its end, areaEnd) and its minimum size.
kwRet GetSegmentLimits(NetW_Segment* segment, uint32_t mode, uint32_t areaEnd,
                       SegmentLimitValues* out);
// The sectors a segment must keep: its used sectors, one block more at
// position 0 of its volume.
uint32_t GetSegmentKeepSectors(NetW_Segment* segment);

// Applies a new start and size: 1481 for a change that is not whole blocks,
// 511 when the used blocks do not fit the new size (the segment shrinks as
// far as it can keep), 1436 when the volume's FAT is held, 1 for what is not
// built (see above); the codes of the volume, the relocation and the disk.
// messageId 0: no progress text.
kwRet ResizeSegment(NetW_Segment* segment, uint32_t newStart, uint32_t newSize, uint32_t mode,
                    uint32_t messageId, bool testNewSectors);
kwRet GrowSegment(NetW_Segment* segment, uint32_t newSize, uint32_t newStart);
kwRet ShrinkSegment(NetW_Segment* segment, uint32_t newSize, uint32_t newStart);

} // namespace kw::netware
