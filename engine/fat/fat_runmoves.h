// Clusters a caller has copied, sector run by sector run, to other places
// of the volume (the data already lies at the destinations, and still at
// the sources): the chains, the directory entries, the folders' dot entries
// and the FAT32 root cluster are relinked to the copies, and the sources
// are freed.
//
// Order on the disk, under the marks of a move (FAT_MARK_MOVING, so that
// the recovery of the next scan completes a run that was cut off): first
// the FAT with every copy linked (nothing reaches them yet), then the
// folders naming the copies, then the FAT with the links before the copies
// switched and the sources freed. A cut leaves every file whole on its old
// clusters or on its copies, and clusters no entry reaches, which the
// recovery frees. A destination that is itself a source can only be linked
// in the last step (its old link is still in use until then).
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class FAT_FILESYSTEM;
struct SECTOR_RUN;

namespace kw::fat {

// Relinks the clusters of the source runs to the destination runs, paired
// cluster by cluster (runs of whole clusters in the data area). A
// destination must be free or a cluster that moves itself, and no two
// sources may share one: else ERR_MOVE_STALLED (713) before anything is
// written. ERR_BAD_ARGUMENT for runs that are not whole clusters of the
// data area or lists of different lengths. Free or bad sources are left.
kwRet RelinkCopiedRuns(FAT_FILESYSTEM* fs, const SECTOR_RUN* sources,
                       const SECTOR_RUN* destinations);

} // namespace kw::fat
