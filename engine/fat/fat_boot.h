// FAT_BOOT_RECORD: the parsed boot sector of a FAT12, FAT16 or FAT32 volume
// and the layout derived from it (FAT copies, fixed root, data area,
// cluster numbering). Parsing is a pure function of the sector's bytes and
// the partition's size: a sector that does not describe a sound volume is
// refused, never half-accepted.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <span>

inline constexpr uint8_t FAT_KIND_12 = 1;
inline constexpr uint8_t FAT_KIND_16 = 2;
inline constexpr uint8_t FAT_KIND_32 = 3;

// Cluster-count limits of the kinds (what every reader uses): fewer than
// FAT12_MAX_CLUSTERS + 1 clusters is FAT12, up to FAT16_MAX_CLUSTERS FAT16.
inline constexpr uint32_t FAT12_MAX_CLUSTERS = 4084;
inline constexpr uint32_t FAT16_MAX_CLUSTERS = 65524;

inline constexpr uint32_t FAT_SECTOR_SIZE = 512;

// Byte offsets of the boot-sector fields this engine reads or rewrites.
enum FAT_BOOT_OFFSET : uint32_t {
    FBO_JUMP = 0,
    FBO_OEM_NAME = 3,
    FBO_BYTES_PER_SECTOR = 11,
    FBO_SECTORS_PER_CLUSTER = 13,
    FBO_RESERVED_SECTORS = 14,
    FBO_FAT_COUNT = 16,
    FBO_ROOT_ENTRIES = 17,
    FBO_TOTAL_SECTORS_16 = 19,
    FBO_MEDIA = 21,
    FBO_SECTORS_PER_FAT_16 = 22,
    FBO_SECTORS_PER_TRACK = 24,
    FBO_HEADS = 26,
    FBO_HIDDEN_SECTORS = 28,
    FBO_TOTAL_SECTORS_32 = 32,
    FBO_SERIAL_16 = 39,
    FBO_LABEL_16 = 43,
    FBO_FS_TYPE_16 = 54,
    FBO_SECTORS_PER_FAT_32 = 36,
    FBO_EXT_FLAGS = 40,
    FBO_VERSION = 42,
    FBO_ROOT_CLUSTER = 44,
    FBO_FSINFO_SECTOR = 48,
    FBO_BACKUP_BOOT = 50,
    FBO_SERIAL_32 = 67,
    FBO_LABEL_32 = 71,
    FBO_FS_TYPE_32 = 82,
    FBO_SIGNATURE_32 = 508,
    FBO_SIGNATURE = 510,
};

// FSInfo sector offsets.
enum FAT_FSINFO_OFFSET : uint32_t {
    FSI_LEAD_SIGNATURE = 0,
    FSI_STRUCT_SIGNATURE = 484,
    FSI_FREE_COUNT = 488,
    FSI_NEXT_FREE = 492,
    FSI_TRAIL_SIGNATURE = 508,
};
inline constexpr uint32_t FSI_LEAD_VALUE = 0x41615252;   // "RRaA"
inline constexpr uint32_t FSI_STRUCT_VALUE = 0x61417272; // "rrAa"

struct FAT_BOOT_RECORD {
    uint16_t bytesPerSector = 0;
    uint16_t sectorsPerCluster = 0;
    uint8_t fatKind = FAT_KIND_16;
    uint8_t fatCount = 0;
    uint16_t rootEntries = 0;
    uint16_t reservedSectors = 0;
    uint32_t rootCluster = 0;
    uint32_t totalSectors = 0;
    uint32_t clusterCount = 0;
    uint32_t sectorsPerFat = 0;
    uint32_t hiddenSectors = 0;
    bool mirroring = true;
    uint16_t activeFat = 0;
    uint16_t version = 0;
    uint32_t serial = 0;
    uint16_t extFlags = 0;
    uint16_t fsInfoSector = 1;
    uint16_t backupBootSector = 6;
    uint8_t media = 0;

    // Parses and checks one boot sector of a partition of partitionSectors
    // sectors. ERR_BAD_BOOT_SECTOR for anything that is not a sound FAT
    // volume; ERR_FS_VERSION for a FAT32 version other than 0.
    kwRet Parse(std::span<const uint8_t> sector, uint32_t partitionSectors);

    bool IsFat32() const { return fatKind == FAT_KIND_32; }
    uint32_t RootDirSectors() const {
        return (uint32_t{rootEntries} * 32 + FAT_SECTOR_SIZE - 1) / FAT_SECTOR_SIZE;
    }
    uint32_t FirstFatSector() const { return reservedSectors; }
    uint32_t FirstRootSector() const { return reservedSectors + fatCount * sectorsPerFat; }
    uint32_t FirstDataSector() const { return FirstRootSector() + RootDirSectors(); }
    uint32_t LastCluster() const { return clusterCount + 1; }
    uint32_t BytesPerCluster() const { return uint32_t{sectorsPerCluster} * FAT_SECTOR_SIZE; }
    uint32_t ClusterToSector(uint32_t cluster) const {
        return FirstDataSector() + (cluster - 2) * sectorsPerCluster;
    }
    // 0 for sectors before the data area.
    uint32_t SectorToCluster(uint32_t sector) const {
        return sector < FirstDataSector() ? 0
                                          : (sector - FirstDataSector()) / sectorsPerCluster + 2;
    }
    bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
};
