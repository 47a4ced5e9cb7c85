// Emptying a range of clusters: every used cluster of [first, last] moves to
// a free cluster outside it, through the FAT move executor in safe mode (so
// a cut at any write leaves every file whole on its old or its new clusters,
// and the recovery at the next disk scan completes the run). The
// cluster-size change uses it for the clusters a new layout no longer
// covers, and the bad-sector preparation for a cluster about to be marked.
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/statemap.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

// Moves the data of every used cluster in [first, last] (first raised to 2,
// last cut to the volume's last cluster) to free clusters outside the
// range; the directory entries, folders and the FAT32 root cluster follow.
// The volume must be initialised and writable. ERR_FAT_BAD_CLUSTER (2004) for first
// above last and ERR_FAT_NO_SPACE (2008) when the used clusters of the range
// outnumber the free ones outside it, both before anything is written; a
// failure of the executor is returned as ERR_MOVE_STALLED (713), what it
// committed staying whole. Bad clusters in the range stay.
kwRet EvacuateClusterRange(FAT_FILESYSTEM* fs, uint32_t first, uint32_t last);

// As above for every cluster set in `vacate` (one bit per cluster, at
// least the volume's last cluster + 1 bits): they are all emptied in one
// run, and no data is moved into any of them.
kwRet EvacuateClusters(FAT_FILESYSTEM* fs, const STATE_MAP& vacate);

} // namespace kw::fat
