// Resizing a NetWare partition: NETWPART_VOLUME's Resize, ResizeWithLimits,
// ResizeAnchorLeft and ResizeAnchorRight (nw_partresize.cpp), the plan of
// the segments' new sizes and places (PlanSegmentSizes, nw_partplan.cpp),
// and moving a segment's data to a free run (MoveSegment, nw_segmove.cpp).
//
// A resize with the start kept (anchor left) runs, each step safe against a
// cut between any two of its writes:
//   1. every check that can fail before anything is written: the plan lies
//      inside the new data area, the volume-table zone behind a resized
//      redirection area ends at or before the first segment (1481), the
//      handle table can take the mirror members (21), and each member can
//      take the new data area (511);
//   2. the redirection area takes its new size (nw_redir_resize.h);
//   3. on a shrink the segments shrink in place or move whole to a free run
//      (the data is copied and flushed before the volume table names the
//      new run); on a grow the last segment is rounded to whole blocks;
//   4. the data-area size and the partition-table entry: on a shrink the
//      data area is cut first, on a grow the entry grows first, so that the
//      data area never claims sectors past the partition;
//   5. the mirror members follow, each resized the same way.
// A failed step leaves the steps before it done and the partition sound.
//
// A resize with the end kept (anchor right, nw_partfront.cpp) moves the
// start; the segments keep their sectors on the disk. The new system
// structures (a new redirection area carrying the old one's replacement
// blocks and mirror member list, or a signature sector, or a new hot-fix
// area for a partition that had none, and the volume tables) are built
// whole where the partition as it is keeps nothing: in the free run before
// it when it grows to the front, in the front it gives up (behind the old
// system zone, after the segments in the way moved whole to free runs
// behind the new zone) when it shrinks. The partition-table entry then
// commits. The new zone must fit there (1481), the segments must find room
// (511); mirror members follow. Every refusal comes before anything is
// written.
#pragma once

#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_partvol.h"

namespace kw::netware {

// Engine messages of the resize's progress.
inline constexpr uint32_t kMsgCheckingBadSectors = 414;
inline constexpr uint32_t kMsgResizingMirror = 444;
inline constexpr uint32_t kMsgResizingPrimary = 445;
inline constexpr uint32_t kMsgResizingSegment = 446;

// The most re-plans PlanSegmentSizes makes when gaps it could not close
// remain; a plan that still does not fit then raises the data area.
inline constexpr uint32_t kMaxReplans = 4;

// The volume of a segment passes its consistency test (the error manager
// may be null); the volume manager's codes.
kwRet nwCheckSegmentVolume(NetW_Segment* segment, KWERRORMGR* errors);

} // namespace kw::netware
