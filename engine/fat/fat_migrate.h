// Chain migration: translating a FAT volume's chains and directory entries
// from its present layout into a new one (another cluster size, FAT kind or
// data start) without moving any data. Every old cluster keeps its sectors;
// it becomes the new cluster that holds its first sector. That needs the
// data moved beforehand so that old clusters begin on new cluster
// boundaries, merged clusters belong to one chain in order, and no live
// cluster lies in the new layout's system area; a chain that breaks these
// rules is refused, never half-translated.
//
// CHAIN_MIGRATION builds the new FAT in memory (one 32-bit value per entry,
// in the engine's form: 0 free, FAT_BAD, FAT_EOC and above end of chain);
// nothing is written.
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/statemap.h"
#include "engine/fat/fat_blocks.h"
#include "engine/fat/fat_boot.h"

#include <cstdint>

namespace kw::fat {

// With old sectors per cluster s and new n: split = s / n when s > n (an old
// cluster becomes split new ones), merge = n / s when s < n; 0 otherwise.
struct CLUSTER_FACTORS {
    uint32_t split = 0;
    uint32_t merge = 0;
};
CLUSTER_FACTORS ClusterFactors(uint32_t oldSectorsPerCluster, uint32_t newSectorsPerCluster);

// The new cluster holding an old cluster's first sector. 0 stays 0; values
// below 2 and from FAT_BAD up are returned unchanged; a cluster whose first
// sector lies outside the new data area maps to 0.
uint32_t MapCluster(const FAT_BOOT_RECORD& oldLayout, const FAT_BOOT_RECORD& newLayout,
                    uint32_t cluster);

class CHAIN_MIGRATION {
public:
    CHAIN_MIGRATION(const FAT_BOOT_RECORD& oldLayout, const FAT_BLOCKS& oldFat,
                    const FAT_BOOT_RECORD& newLayout);
    ~CHAIN_MIGRATION();
    CHAIN_MIGRATION(const CHAIN_MIGRATION&) = delete;
    CHAIN_MIGRATION& operator=(const CHAIN_MIGRATION&) = delete;

    // Makes the new FAT (entries 0 and 1 set) and marks in it the clusters
    // that hold old bad clusters (those past the new data area are left
    // out). ERR_NO_MEMORY; ERR_FAT_BAD_CLUSTER_IN_USE when
    // merging would put a bad old cluster and data into one new cluster;
    // ERR_FAT_INVALID_PARAMETERS when a bad cluster has no place in the
    // new data area or the layouts differ in sector size.
    kwRet Start();

    // Translates the chain that starts at old cluster `oldStart` and gives
    // its new first cluster. tailSectors: sectors of the chain's last old
    // cluster that hold data (0 or at least a cluster: all of it); a split
    // chain keeps only the new clusters that these need. The walk is bounded
    // by the old cluster count; a loop, a link out of range, a cluster with
    // no place in the new layout or one claimed twice gives
    // ERR_FAT_INVALID_ENTRIES and leaves the new FAT unusable.
    kwRet MigrateChain(uint32_t oldStart, uint32_t tailSectors, uint32_t* newStart);

    // Enters a partition-relative sector as bad in the new layout (its new
    // cluster; nothing when that is bad already). ERR_BAD_SECTOR_IN_FS below
    // the new data area, ERR_BAD_ARGUMENT past its last cluster,
    // ERR_FAT_BAD_CLUSTER_IN_USE when a chain has taken the cluster.
    kwRet MarkBadSector(uint32_t sector);

    // Tail sectors for a file of `size` bytes.
    uint32_t FileTailSectors(uint32_t size) const;

    // The new FAT: entries 0 .. the new last cluster (null before Start).
    const uint32_t* Entries() const { return entries_; }
    uint32_t EntryCount() const { return new_.clusterCount + 2; }
    // A new cluster no chain has taken and no bad cluster covers, from
    // `from` up; 0 when none is left. The caller links it (SetEntry).
    uint32_t FindUnclaimed(uint32_t from) const;
    kwRet SetEntry(uint32_t cluster, uint32_t value);
    CLUSTER_FACTORS Factors() const { return factors_; }
    const FAT_BOOT_RECORD& OldLayout() const { return old_; }
    const FAT_BOOT_RECORD& NewLayout() const { return new_; }

private:
    kwRet claim(uint32_t cluster);
    kwRet link(uint32_t from, uint32_t to);
    kwRet markBad(uint32_t oldCluster);

    const FAT_BOOT_RECORD& old_;
    const FAT_BLOCKS& oldFat_;
    const FAT_BOOT_RECORD& new_;
    CLUSTER_FACTORS factors_;
    uint32_t* entries_ = nullptr;
    STATE_MAP claimed_; // new clusters given to a chain or marked bad
};

// Sector `index` of a FAT of `kind` holding `entries` (values in the
// engine's form), 512 bytes; entries past the table are 0.
void EncodeFatSector(uint8_t kind, const uint32_t* entries, uint32_t count, uint32_t index,
                     uint8_t* out);

} // namespace kw::fat
