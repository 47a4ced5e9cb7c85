// What the engine core asks of the NTFS file system: the volume label and
// free-space estimate of a partition record, and NT time conversion.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Copies the volume name of an NTFS partition as UTF-16LE text (at most 256
// units) into the 512-byte buffer. Non-zero when the label cannot be had.
kwRet ntfsGetVolumeLabel(PARTITION_INFO* pi, uint8_t* buffer);

// Estimates the free sectors and the file count of an NTFS partition; a
// result of 500 or more counts as a read error.
kwRet ntfsEstimateFilesAndFreeSects(PARTITION_INFO* pi, uint32_t* freeSects, uint32_t* fileCount);

// Seconds since 1 January 1970 as NT time (100-ns units since 1601).
uint64_t SecondsToNtTime(uint32_t seconds);
