// A segment step that renumbers: a segment grows or shrinks by whole blocks
// at its front or at its end, where the volume's block numbers after the
// change point move or its FAT gains or loses FAT blocks. Block numbers are
// in the FAT's links, in the directory and in the system block numbers of
// every segment entry, so all of them change at once:
//
// 1. The blocks the new layout needs empty (the places its FAT takes by the
//    placement rule, and the blocks a shrink gives up) are emptied by the
//    block relocation (nw_reloc.h) in the old numbering; each of its passes
//    is safe against a cut and leaves the volume as it was, file by file.
// 2. The new FAT (renumbered, its own chains on its new places) and a copy
//    of the directory with the new numbers (on blocks that are free in the
//    old state, or new ones) are written and flushed. The old state reads
//    none of these blocks. A planned FAT place the old state still reads
//    (its own FAT block there) or that holds data is stood in for by a free
//    block of the same segment, or of another, low enough for a read of the
//    FAT along its chain.
// 3. The segment entries take the new start, size, block count and system
//    block numbers: the commit point. The old FAT and directory blocks are
//    free in the new state.
// 4. FAT blocks on stand-ins move to their planned places: data on those
//    places through the relocation, then the FAT blocks with the table
//    written to both places before the first FAT blocks switch (put back on
//    a failed write). Without room they stay where they are, in a state the
//    FAT's reads and checks accept.
//
// A failure before the commit leaves the segment's and the volume's values
// as they were and the disk holding the old state (step 1 may have moved
// blocks inside it). The volume's FAT must not be held by anyone.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

namespace kw::netware {

class NetW_Segment;
class NWVolume;

// newStart and newSize as in nw_segresize.h: a growth at the front lowers
// the start by the blocks it adds, a shrink at the front raises it by the
// blocks it drops; otherwise the start stays. 1481 for a change that is not
// one of these, 511 when the blocks to empty or the directory's copy find no
// room, 1469 without memory; the codes of the relocation and the disk.
kwRet RenumberSegment(NWVolume* volume, NetW_Segment* segment, uint32_t newStart, uint32_t newSize);

} // namespace kw::netware
