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

// "Data in the disk is not aligned as expected": the check after the moves
// found a chain off the grid.
inline constexpr kwRet ERR_FAT_NOT_ALIGNED = 2021;

// newSpc must be a power-of-two multiple (2 to 128 times) of the volume's
// sectors per cluster and the phase below 64; otherwise the planners answer
// ERR_BAD_ARGUMENT, ChooseAlignmentShift 0 and IsDataAligned false.
// Group g holds the old clusters phase + 2 + g * r .. + r - 1 (r the ratio);
// only whole groups at or below the last usable cluster (and the volume's
// last cluster) count.

// The phase in old clusters that keeps the most chain clusters in place
// (the lowest phase of those that keep as many). Nothing is written.
uint32_t ChooseAlignmentShift(FAT_FILESYSTEM* fs, uint32_t newSpc);

// Plans the moves that align every chain: each piece of r clusters of a
// chain, from its head, fills one group in order. A piece that starts an
// usable group keeps it; every other piece goes to the first group still
// free. Groups holding a bad cluster, groups reaching below firstCluster
// and groups past lastCluster are never used, so the data leaves them.
// The volume's move map is replaced by the plan; on failure the volume has
// no move map. ERR_BAD_SECTOR_IN_FS for a bad cluster below firstCluster;
// ERR_FAT_NO_SPACE when the groups run out; ERR_FAT_INVALID_ENTRIES for a
// chain that loops, joins another or runs into a free cluster. Nothing is
// written.
kwRet BuildAlignmentMap(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                        uint32_t lastCluster);

// Plans, executes (the FAT move executor in safe mode, so a cut at any
// write leaves every file whole) and verifies the alignment for a new
// layout whose data area starts at newFirstDataSector and ends before
// newEndSector (sectors of the partition). Old clusters not wholly inside
// that area are vacated. The new data area must start on a group boundary
// (newFirstDataSector - first data sector - phase * old sectors per
// cluster a multiple of newSpc), else ERR_BAD_ARGUMENT before anything is
// done. Equal cluster sizes: 0, nothing done. A root cluster passed in is
// replaced by its planned target. ERR_FAT_NOT_ALIGNED when the check after
// the moves fails; the planners' and the executor's codes otherwise.
kwRet AlignClusters(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase,
                    uint32_t newFirstDataSector, uint32_t newEndSector, uint32_t* rootCluster);

// True when every chain is aligned (each piece of r clusters fills one
// usable group from its start, in order), no cluster below firstCluster is
// used and every group holding a bad cluster is free of data; logs each
// fault found. Nothing is written.
bool IsDataAligned(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                   uint32_t lastCluster);

} // namespace kw::fat
