// The root folder of a FAT16 volume moved between its fixed area and a
// cluster chain, and packed; the FAT32 root chain packed (CompactRootChain,
// below, with its own order of writes). These are steps of a change of cluster size or
// kind (the root of a FAT32 volume is a chain), each safe against a cut at
// any of its writes:
//
// While the root lies in a chain, the fixed area's first sector holds one
// folder entry "DYN_ROOT" that names the chain's first cluster, the
// partition's table entry has type 3Ch and the first FAT copy carries the
// "root in a chain" mark: the recovery of the next disk scan copies the
// chain back into the fixed area and frees it. The writes go in an order in
// which that recovery, run after a cut at any of them, finds the old root
// or the new one: the chain's sectors are written where nothing lives, then
// the marks and the type, then the DYN_ROOT sector, then the chain's FAT
// entries in one write of the first copy (its clusters are taken from one
// FAT sector for that), then the other copies.
//
// Only FAT16: the recovery brings a chained root back on FAT16 volumes
// alone. A volume without a table entry has no type to switch and no
// recovery; it is changed in the same order.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <vector>

class FAT_FILESYSTEM;

namespace kw::fat {

// Copies the fixed root (the sectors up to its end mark) into a new chain
// of free clusters and leaves the DYN_ROOT entry in the fixed area; the
// volume stays marked and typed 3Ch (ConvertRootToStatic, or the next
// scan, ends that). *rootCluster: the chain's first cluster.
// ERR_NOT_SUPPORTED on FAT12 and FAT32; ERR_BAD_ARGUMENT when the root
// lies in a chain already; ERR_FAT_NO_SPACE when no FAT sector covers
// enough free clusters; ERR_WRITE_PROTECTED.
kwRet ConvertRootToDynamic(FAT_FILESYSTEM* fs, uint32_t* rootCluster);

// Copies the chained root back into the fixed area, frees the chain and
// takes the marks and the type off. ERR_BAD_ARGUMENT when the fixed area
// holds no DYN_ROOT entry or its chain is broken; ERR_NOT_SUPPORTED as
// above.
kwRet ConvertRootToStatic(FAT_FILESYSTEM* fs);

// Packs the live entries of the fixed root (deleted ones dropped, the
// order kept) behind its first sector, the rest of the area zeroed; the
// first sector keeps its slots (at a cut while the root lies in its chain,
// the recovery may have only the chain's first sector left to put back).
// Without `write` only the volume's folder cache changes (read first when
// needed); with it the root goes into a chain as it is
// (ConvertRootToDynamic), the packed entries into the fixed area behind its
// DYN_ROOT sector, and the chain is freed as ConvertRootToStatic does.
// ERR_FAT_INVALID_PARAMETERS on FAT32; with `write`, ERR_NOT_SUPPORTED on
// FAT12.
kwRet CompactStaticRoot(FAT_FILESYSTEM* fs, bool write);

// Packs the live entries of the FAT32 root chain (deleted ones dropped, the
// order kept) to its front, zeros behind them; the chain keeps its length.
// Without `write` only the volume's folder cache changes (read first when
// needed). With it the change is copy-on-write, so that a cut at any write
// leaves the root whole, old or packed, and each live entry in it once:
// the packed root is written into as many free clusters as the chain has
// and flushed; then, the partition's entry marked as a move under way
// (type 3Ch, FAT_MARK_MOVING), the new chain's FAT entries (no entry
// reaches them yet), the boot sector's root cluster (the backup first: the
// boot sector itself is the switch), and the old chain freed; then the
// marks come off. A cut leaves at most clusters that no entry reaches,
// which the start-up recovery frees (a volume without a table entry keeps
// them until a check of the volume). Nothing is written when nothing would
// move. ERR_FAT_INVALID_PARAMETERS on FAT12/16; ERR_FAT_INVALID_ENTRIES for
// a broken or looping root chain; ERR_FAT_NO_SPACE when too few clusters
// are free for the copy; ERR_WRITE_PROTECTED.
kwRet CompactRootChain(FAT_FILESYSTEM* fs, bool write);

// Packs `count` directory entries in place: the live ones up to the end
// mark (the first entry that starts with 0) move to the front in their
// order, after the first `keep` slots, which stay as they are; deleted ones
// are dropped and zeros fill the rest. False when nothing would move.
bool PackDirEntries(uint8_t* entries, uint32_t count, uint32_t keep);

// The same packing over the given sectors of the volume's folder cache
// (read first when needed), in their order; the list of starting clusters
// is rebuilt. Nothing is written.
kwRet PackCachedSectors(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& sectors, uint32_t keep);

} // namespace kw::fat
