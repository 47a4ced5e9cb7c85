// FAT_LIMITS: the resize limits of a FAT volume. For each of the eight
// cluster sizes from one sector to 128 sectors it holds the smallest and
// largest volume a FAT12/16 and a FAT32 layout could have with the data now
// on the volume, and it keeps the chosen size, cluster size, FAT kind and
// root-entry count consistent with each other. GetGeometryLimits measures a
// volume and fills one.
//
// A cluster size the tables have no place for (not a power-of-two multiple
// of the sector up to 128 sectors) has no layout: it is refused like any
// other size without one, never looked up.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/part_limits.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

inline constexpr uint32_t kClusterSizeSlots = 8;
// ClusterSizeIndex of a size that has no slot.
inline constexpr uint32_t kNoClusterSlot = 9;

// What a measurement found, per cluster-size index (cluster = 2^i sectors).
// A size of 0 means no layout.
struct FAT_LIMIT_TABLES {
    uint32_t fatMin[kClusterSizeSlots] = {};
    uint32_t fatMax[kClusterSizeSlots] = {};
    uint32_t fat32Min[kClusterSizeSlots] = {};
    uint32_t fat32Max[kClusterSizeSlots] = {};
    uint32_t clustersNeeded[kClusterSizeSlots] = {};
    uint64_t slackBytes[kClusterSizeSlots] = {}; // exact measurement only
    uint64_t dataBytes[kClusterSizeSlots] = {};  // exact measurement only
};

// The volume the limits describe.
struct FAT_LIMITS_VOLUME {
    uint32_t size = 0; // sectors now
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 512;
    uint32_t rootEntriesInUse = 0;
    uint32_t rootEntries = 0;
    uint32_t firstDataSector = 0;
    uint32_t reservedSectors = 0;
    // Lower the maximum to the partition's room.
    bool cap = false;
    // Offer 64 KB clusters (the engine preference); a volume that has them
    // keeps them anyway.
    bool largeClusters = false;
};

class FAT_LIMITS : public PARTITION_LIMITS {
public:
    FAT_LIMITS() = default;
    ~FAT_LIMITS() override = default;

    // Fills the limits; ERR_BAD_ARGUMENT without tables or partition.
    kwRet Init(const FAT_LIMIT_TABLES* tables, const FAT_LIMITS_VOLUME& volume, PARTITION_INFO* pi);

    void SetSize(uint32_t size, bool align) override;
    bool IsChanged() const override;

    // Chooses a cluster size (bytes) and keeps the size inside its range; a
    // size without a layout keeps the previous choice.
    void SetClusterSize(uint32_t bytes);
    // Chooses FAT12/16 (1 or 2) or FAT32 (3) and a cluster size that fits
    // the size; a type without a layout keeps the previous choice.
    void SetFatType(uint8_t type);
    void SetRootEntries(uint32_t entries);

    uint32_t GetClusterSize() const { return clusterBytes_; }
    uint32_t GetRootEntries() const { return fatType_ == 3 ? 0 : rootEntries_; }
    uint8_t GetFatType() const { return fatType_; }
    uint32_t GetRootEntryStep() const;
    uint32_t GetMinRootEntries() const { return RootEntriesAtLeast(512); }
    uint32_t GetMaxRootEntries() const { return RootEntriesAtLeast(1024); }
    // The i in 0..8 with bytes per sector x 2^i = bytes; kNoClusterSlot
    // when none (index 8 is a size without a slot too).
    uint32_t ClusterSizeIndex(uint32_t bytes) const;
    uint32_t GetSmallestClusterSize() const;
    const FAT_LIMIT_TABLES& Tables() const { return tables_; }
    uint32_t GetOldClusterSize() const { return oldClusterBytes_; }
    uint8_t GetOldFatType() const { return oldFatType_; }

    // The range of a type's tables at a cluster size; false when it has no
    // layout there.
    bool RangeAt(uint8_t type, uint32_t bytes, uint32_t* minimum, uint32_t* maximum) const;

private:
    uint32_t RootEntriesAtLeast(uint32_t floor) const;
    bool Holds(uint8_t type, uint32_t bytes, uint32_t size) const;
    // The size aligned inside [low, high] (base rounding rules).
    uint32_t AlignInside(uint32_t size, uint32_t low, uint32_t high) const;
    void ApplySize(uint32_t size);
    void ApplyClusterSize(uint32_t bytes);
    bool TypeRange(uint8_t type, uint32_t* minimum, uint32_t* maximum) const;
    bool FirstHolding(uint8_t type, const uint32_t* sizes, uint32_t count);

    FAT_LIMIT_TABLES tables_;
    uint32_t requestedSize_ = 0;
    uint32_t oldClusterBytes_ = 0;
    uint32_t clusterBytes_ = 0;
    uint32_t preferredClusterBytes_ = 0;
    uint32_t oldRootEntries_ = 0;
    uint32_t rootEntries_ = 0;
    uint32_t requestedRootEntries_ = 0;
    uint8_t oldFatType_ = 2;
    uint8_t fatType_ = 2;
    uint8_t requestedFatType_ = 2;
    uint32_t rootEntriesInUse_ = 0;
    uint32_t bytesPerSector_ = 512;
    uint32_t firstDataSector_ = 0;
    uint32_t reservedSectors_ = 0;
    uint32_t clusterIndex_ = kNoClusterSlot;
};

// How GetGeometryLimits measures.
struct FAT_GEOMETRY_OPTIONS {
    // Walk the directory tree for the bytes of every file (else count the
    // chains of the FAT).
    bool exact = false;
    // Lower the maximum to the partition's room.
    bool cap = true;
    // Round minimums up and maximums down to the cylinder grid.
    bool align = true;
    bool largeClusters = false;
    // The volume's fixed system-area budget (16,384 sectors, 65,536 with
    // 64-sector clusters) in place of its free space; also taken whenever
    // the volume's own fixed-budget flag is set.
    bool fixedBudget = false;
};

// Measures an initialised FAT volume and fills the limits.
// ERR_FAT_INVALID_ENTRIES for a chain with a link below 2; a cancel's code.
kwRet GetGeometryLimits(FAT_FILESYSTEM* fs, FAT_LIMITS* limits, const FAT_GEOMETRY_OPTIONS& opt);

// The smallest size an initialised FAT volume may shrink to (fast
// measurement, aligned); 0 when it cannot be measured.
uint32_t FatMinimumSize(FAT_FILESYSTEM* fs);

} // namespace kw::fat
