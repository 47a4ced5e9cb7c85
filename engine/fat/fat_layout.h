// FAT layout: where the areas of a FAT volume lie for a given size, cluster
// size and FAT kind (reserved sectors, FAT copies, the FAT12/16 root area,
// the data area) and how many clusters it holds. Pure arithmetic; the
// resize and cluster-size change lay a volume out afresh with it, and the
// partition limits ask it for the FAT size of a cluster count.
//
// Kinds follow the cluster count as every reader decides them: at most
// FAT12_MAX_CLUSTERS clusters is FAT12, up to FAT16_MAX_CLUSTERS FAT16, and
// a FAT32 layout holds more than FAT16_MAX_CLUSTERS. A layout never has a
// FAT that cannot describe its clusters.
#pragma once

#include "engine/core/kwret.h"
#include "engine/fat/fat_boot.h"

#include <cstdint>

namespace kw::fat {

// The most clusters a FAT32 layout of this engine holds: 2M, or 8M with
// 64-sector clusters.
inline constexpr uint32_t kFat32MaxClusters = 0x200000;
inline constexpr uint32_t kFat32MaxClusters64 = 0x800000;
// FAT12/16 root areas hold at most this many entries.
inline constexpr uint32_t kMaxRootEntries = 1536;
// FAT12/16 layouts get at least this many root entries.
inline constexpr uint32_t kMinRootEntries = 512;

// What a layout is asked for.
struct FAT_LAYOUT_PLAN {
    uint32_t reservedSectors = 1;
    uint32_t bytesPerSector = FAT_SECTOR_SIZE;
    uint32_t totalSectors = 0;
    uint32_t sectorsPerCluster = 1;
    // 0, or a sector the first data sector keeps a whole number of clusters
    // away from (so old clusters begin on new cluster boundaries).
    uint32_t alignTarget = 0;
    uint32_t fatCount = 2;
    uint32_t rootEntries = 512; // FAT12/16 only
    bool fat32 = false;
};

// A computed layout. totalSectors is what the areas use, which may be less
// than the plan's total (the rest lies unused after the last cluster).
struct FAT_LAYOUT {
    uint32_t totalSectors = 0;
    uint32_t sectorsPerFat = 0;
    uint32_t rootEntries = 0; // 0 for FAT32
    uint32_t rootSectors = 0; // 0 for FAT32
    uint32_t firstDataSector = 0;
    uint32_t dataSectors = 0; // clusters x sectors per cluster
    uint32_t sectorsPerCluster = 0;
    uint32_t clusters = 0;
    uint32_t reservedSectors = 0;
};

// Sectors one FAT copy needs for `clusters` data clusters: 32-bit entries
// (and one spare sector) for FAT32, 12-bit entries up to FAT12_MAX_CLUSTERS,
// 16-bit entries above.
uint32_t SectorsPerFat(uint32_t clusters, uint32_t bytesPerSector, bool fat32);

// The most data clusters a FAT of `sectorsPerFat` sectors describes within
// its kind's range (FAT12/16 from the count itself; FAT32 capped at the
// engine's limit for the cluster size, or with sectorsPerCluster 0 at what
// its entries can name).
uint32_t MaxClustersOfFat(uint32_t sectorsPerFat, uint32_t bytesPerSector, bool fat32,
                          uint32_t sectorsPerCluster);

// Sectors to add to `position` so that its distance from `target` is a
// multiple of `unit` (0 when it already is, or unit is 0).
uint32_t AlignGap(uint32_t target, uint32_t position, uint32_t unit);

// Lays a volume out. A plan too small for any cluster gives a layout of 0
// clusters.
void ComputeLayout(const FAT_LAYOUT_PLAN& plan, FAT_LAYOUT* out);

// Fills a boot record from a fresh layout (root entries below 512 raised to
// 512 on FAT12/16; FAT32 records 0). The record is filled in every case;
// ERR_FAT_TOO_MANY_CLUSTERS for more clusters than FAT16 holds,
// ERR_FAT_TOO_MANY_ROOT_ENTRIES for a root of more than 1536 entries,
// ERR_FAT_INVALID_PARAMETERS when the cluster count is outside its kind's
// range.
kwRet BuildBootRecord(FAT_BOOT_RECORD* boot, const FAT_LAYOUT_PLAN& plan,
                      FAT_LAYOUT* layout = nullptr);

// Writes a boot record's layout into a boot-sector image in place: the
// geometry fields, and for a change of kind the extended fields (drive,
// signature, serial, label, type name) moved to where the new kind keeps
// them. Bytes the record does not describe (boot code, OEM name, disk
// geometry, hidden sectors) stay. A sector that was never written (first
// byte F6h or 0) gets a jump instruction.
void StoreBootRecord(const FAT_BOOT_RECORD& boot, uint8_t* sector);

// The partition type for a FAT volume of layout `b` in a partition of type
// `current`: FAT12 01h; FAT16 below 65,536 sectors 04h; FAT16 06h, FAT32
// 0Bh, or their LBA forms 0Eh and 0Ch when the partition had an LBA type
// already or `pastBiosLimit` (it ends past the disk's BIOS-addressable
// limit and is no logical partition). The hidden form when `current` is
// hidden; the utility types 12h and DEh stay.
uint8_t FatPartitionType(const FAT_BOOT_RECORD& b, uint8_t current, bool pastBiosLimit);

} // namespace kw::fat
