// Helpers over a disk's chain of partition records: finding records of some
// classes in a range of sectors, a free slot of the master boot record, and
// aligning sectors to a grid.
#pragma once

#include "engine/disk/partition_info.h"

#include <cstdint>

// Record classes for FindPiInRange.
inline constexpr uint32_t PI_CLASS_PRIMARY = 0x1;
inline constexpr uint32_t PI_CLASS_EXTENDED = 0x2;
inline constexpr uint32_t PI_CLASS_LINK = 0x4;
inline constexpr uint32_t PI_CLASS_LOGICAL = 0x8;
inline constexpr uint32_t PI_CLASS_FREE = 0x10;
// With this bit the first record of a class in the mask is taken, whatever
// the range.
inline constexpr uint32_t PI_CLASS_ANY_RANGE = 0x80000000;

uint32_t PiClass(const PARTITION_INFO* pi);

// From `first` on, the first record of a class in the mask that overlaps
// [from, to] (starts inside it or contains `from`); null when none or when
// from > to without PI_CLASS_ANY_RANGE.
PARTITION_INFO* FindPiInRange(PARTITION_INFO* first, uint32_t from, uint32_t to, uint32_t mask);

// The wanted slot of the master boot record when no primary uses it, else
// the lowest unused one; 0xFF when all four are used.
uint8_t FindFreeEntryIndex(const DISK_RECORD* disk, uint8_t wanted);

// Aligns value to the grid origin + k x unit: mode 0 up, 1 down, 2 to the
// nearest (down below half a unit). A value below origin gives origin.
uint32_t AlignToBoundary(uint32_t origin, uint32_t unit, uint32_t value, uint32_t mode);
// The same on the grid shifted by unit - origin (for end sectors).
uint32_t AlignToBoundaryEnd(uint32_t origin, uint32_t unit, uint32_t value, uint32_t mode);
