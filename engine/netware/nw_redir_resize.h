// Planning a resize of a NetWare redirection area, all in memory: which
// replacement blocks must leave the blocks the area loses, which must leave
// the blocks a new table layout takes as system blocks, and whether the
// resize may start at all. Nothing here writes to the disk.
//
// A remap array has one 32-bit word per area block: 0 = the block stays,
// any other value = the area block it moves to.
#pragma once

#include "engine/core/kwret.h"
#include "engine/netware/nw_codes.h"

#include <cstdint>

namespace kw::netware {

class NETWPART_VOLUME;
class NetW_Segment;
class RedirectTable;
class RedirectionArea;

// Gives every redirected entry of [first, last] a free entry outside the
// range (lowest first), reserving it in the table (0xFFFFFFFE), and reserves
// the free entries inside the range. 712 when first > last; 1431 when the
// range holds more redirected entries than there are free ones outside it
// (then nothing is changed). first and last are clamped to the table.
kwRet nwEvacuateRange(RedirectTable* table, uint32_t first, uint32_t last, uint32_t* remap);
// Every reservation inside [first, last] becomes free again.
void nwReleaseRange(RedirectTable* table, uint32_t first, uint32_t last);

// For a new table layout (the new hot-fix header): every redirected entry
// whose block the layout takes as a system block gets the first entry that
// is free, below `entries` and no system block of the layout, searched
// upward from the last one taken; that entry is reserved. 1431 when none is
// left. Only remap words of moving blocks are left set.
kwRet nwPlanLayoutMoves(RedirectTable* table, const uint8_t* newHeader, uint32_t* remap,
                        uint32_t entries);

// Before an area is resized: the new size holds whole blocks and the header
// copies, its entries hold the system blocks of a layout and every
// redirected entry (1431), and the volume-table zone behind the new origin
// ends at or before the first segment of the partition (1481). newSize is
// in sectors; the first segment may be null.
kwRet nwCheckAreaResize(RedirectionArea* area, uint32_t newSize, const NetW_Segment* first);

// Resizes the redirection area of an initialised hot-fix partition to
// newSize sectors, its start staying: the data area gains or loses the
// difference at its front, and every segment, redirected block and volume
// table keeps its partition sectors (their data-area numbers follow).
// Replacement blocks the area loses move to free blocks first (their
// entries copied in the tables as they are), the new tables and volume
// tables go to places the area as it is does not use, and the hot-fix
// header, written last, makes the new area current: a cut at any point
// leaves the old area or the new one. Volume-table copies of the old and the
// new origin must not share a sector (1481).
kwRet nwResizeRedirectionArea(NETWPART_VOLUME* volume, uint32_t newSize);

} // namespace kw::netware
