// Size limits of partitions, how far they may move and grow, and alignment to
// a partition's cylinder grid.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Alignment modes.
inline constexpr std::uint32_t EN_ALIGN_UP = 0;
inline constexpr std::uint32_t EN_ALIGN_DOWN = 1;
inline constexpr std::uint32_t EN_ALIGN_NEAREST = 2;

// The sector aligned to the partition's cylinder grid (origin: the sectors to
// its next cylinder; unit: its cylinder size).
std::uint32_t enGetCylinderBoundary(const PARTITION_INFO* pi, std::uint32_t sector,
                                    std::uint32_t mode);

// The minimum-size rule of most file systems: the used sectors and a reserve
// of a sixteenth of them, at most the free sectors and at most cap, at least
// `reserve`; no larger than the partition, aligned up to its
// cylinder grid.
std::uint32_t enMinimumWithReserve(const PARTITION_INFO* pi, std::uint32_t reserve,
                                   std::uint32_t cap);
// That rule with a reserve of at least 2048 sectors and no cap (NTFS, ext2).
std::uint32_t enMinimumWithCommonReserve(const PARTITION_INFO* pi);

struct EN_SIZE_LIMITS {
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
};
// The size limits of partitions whose file system gives none of its own: the
// room up to the next record (cut to what CHS addresses) and a minimum by
// kind (its rules' minimum-size rule). 1 for kinds without one (FAT, NetWare:
// their file systems know), 4 for null arguments.
kwRet enGetDefaultLimits(const PARTITION_INFO* pi, EN_SIZE_LIMITS* limits);

// How a partition may move and grow: the sectors its start may move towards
// the disk's start (the free run before it, aligned), its size, and the
// sectors its end may grow. 4 for null arguments.
struct EN_MOVE_INFO {
    std::uint32_t left = 0;
    std::uint32_t size = 0;
    std::uint32_t right = 0;
};
kwRet enGetMoveInfo(const PARTITION_INFO* pi, EN_MOVE_INFO* info);
