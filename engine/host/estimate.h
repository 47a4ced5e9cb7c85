// The estimate of used and free sectors that engine start makes per partition.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Fills the record's used and free sector counts. A result of 500 or more
// marks the record unreadable (free 0, used all); below that the counts stay
// as they were. 101 for kinds without an estimate.
kwRet EstimateUsedSectors(PARTITION_INFO* pi);

// The estimate of a file-system kind whose layer is outside the engine core
// (FAT, NTFS, ext2, swap, NetWare): installed by that layer; without one the
// kind has no estimate. The function stores the free sectors; it may also set
// the record's limit base and file count.
using KW_ESTIMATE_FN = kwRet (*)(PARTITION_INFO* pi, std::uint32_t* freeSects);
void kwSetEstimateHook(std::uint8_t fsKind, KW_ESTIMATE_FN fn);
