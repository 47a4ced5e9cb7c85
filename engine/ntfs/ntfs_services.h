// What the engine core asks of the NTFS file system: the volume label and
// free-space estimate of a partition record. The disk layer reaches the label
// through the hooks of NTFS's row (ntfs_module.cpp), never through this header.
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
