// The estimate of used and free sectors that engine start makes per partition.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Fills the record's used and free sector counts through its kind's row. A
// result of 500 or more marks the record unreadable (free 0, used all);
// below that the counts stay as they were. 101 for a kind without a row (or
// switched off), ERR_FS_NOT_SUPPORTED for one whose row has no estimate yet.
kwRet EstimateUsedSectors(PARTITION_INFO* pi);
