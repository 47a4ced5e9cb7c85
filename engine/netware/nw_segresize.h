// Segment resize: a NetWare segment changes size and place inside its
// partition's volume area by whole blocks, in steps that each grow or shrink
// it at one end (a move is a growth on the side it goes to and a shrink on
// the side it leaves; growths come first, so that the blocks to empty find
// room). Each step ends with a commit point, the write of the volume's
// segment entries, and leaves the volume consistent on disk.
//
// A step at the end of the volume's last segment that keeps the FAT's
// number of blocks renumbers nothing: shrinking first moves every used block
// out of the blocks that go (nw_reloc.h); growing writes nothing before the
// commit that the old state reads. Every other step renumbers blocks or
// changes the FAT's shape and goes through nw_segstep.h: the data where the
// new layout needs room is moved, then the new FAT and a renumbered copy of
// the directory are written where the old state reads nothing, then the
// commit switches to them.
//
// A step that fails before its commit leaves the segment's and the volume's
// values as they were and the disk holding the old state (blocks it moved
// inside the old state stay moved, each relocation pass being whole or put
// back); the in-memory FAT is dropped and read again. Steps already
// committed stay done.
//
// Positions and sizes are in sectors, positions counted from the partition's
// volume-table origin (startingDiskSector).
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

// Applies a new start and size: 1481 for a change that is not whole blocks
// or a range that leaves the room between the segment's neighbours (or the
// volume area); a size below what the segment must keep becomes that (with
// mode kSegmentEndStays the start moves down by the difference); 511 when
// the blocks to empty find no room, 1436 when the volume's FAT is held; with
// testNewSectors the sectors that are to take data are read first and one
// that cannot be read ends it with 1035 before anything is written; the
// codes of the volume, the relocation and the disk. messageId: the progress
// text ("%1": the segment's display name), 0 for none.
kwRet ResizeSegment(NetW_Segment* segment, uint32_t newStart, uint32_t newSize, uint32_t mode,
                    uint32_t messageId, bool testNewSectors);
// One step: growing at the front lowers the start by the sectors it adds,
// else the start stays; shrinking at the front raises the start by the
// sectors it drops, else the start stays. 1481 for another change.
kwRet GrowSegment(NetW_Segment* segment, uint32_t newSize, uint32_t newStart);
kwRet ShrinkSegment(NetW_Segment* segment, uint32_t newSize, uint32_t newStart);

} // namespace kw::netware
