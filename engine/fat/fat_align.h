// Data alignment for a change to larger clusters: with new clusters r times
// the old ones, every old cluster group that will become one new cluster
// must hold consecutive clusters of one chain, in order, starting on a group
// boundary. The phase (0..63 old clusters) shifts the new cluster grid so
// that as much data as possible already lies aligned.
//
// The planning functions fill the volume's move map (FAT_FILESYSTEM's
// GetMoveMap); AlignClusters plans, executes the map through the FAT move
// executor and verifies the result.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

// The phase in old clusters that keeps the most chain clusters in place.
uint32_t ChooseAlignmentShift(FAT_FILESYSTEM* fs, uint32_t newSpc);

// Plans the moves that align every chain to groups of the new cluster size
// with the given phase; groups below firstCluster or above lastCluster are
// not used. Fills the volume's move map.
kwRet BuildAlignmentMap(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                        uint32_t lastCluster);

// Plans, executes and verifies the alignment for a new layout whose data
// area starts at newFirstDataSector and ends before newEndSector. A root
// cluster passed in is replaced by its planned target.
kwRet AlignClusters(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase,
                    uint32_t newFirstDataSector, uint32_t newEndSector, uint32_t* rootCluster);

// True when every chain is aligned and the vacated region is free; logs
// each fault found.
bool IsDataAligned(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                   uint32_t lastCluster);

} // namespace kw::fat
