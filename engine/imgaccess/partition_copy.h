// Partition copy: one partition of an image copied into another image as it
// is stored (its record values, used-block bitmap and used blocks), without
// decoding its file system. The destination's compression, password and
// volume splitting apply as it writes.
#pragma once

#include "engine/core/kwret.h"
#include "kwvaults.h"

#include <cstdint>

// Flag of CopyPartition: report progress in finer steps (about one per cent).
inline constexpr uint32_t COPY_FINE_PROGRESS = 0x10000;

// Copies part `number` (1-based) of source into a new part of destination
// (opened for writing), with progress and cancel through the engine's
// Progress. On any failure, cancel (7) included, the new part is removed
// again and the destination reads as it did before. 1802 when the source's
// bitmap, used-block count and data size disagree or its sectors are not 512
// bytes; 1811 / 1815 for a short / empty read of the source; 3 without
// memory; codes of the stores are passed on.
kwRet CopyPartition(PART_STORE* destination, PART_STORE* source, uint32_t number, uint32_t flags);

struct PARTITION_INFO;

// Copies a partition of the machine's disks (one the engine has a file
// system for) into a new part of destination: the sectors its file system
// uses, in blocks of 8 sectors (a last block past the partition's end
// filled with zeros), with its type, file-system kind and label (as the
// part's name). Progress and cancel as CopyPartition, and on any failure the
// new part is removed again. Codes of the file system's map, of the disk
// reads and of the store are passed on.
kwRet CopyLivePartition(PART_STORE* destination, PARTITION_INFO* pi);
