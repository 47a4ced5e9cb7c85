// Small services shared by the engine's layers: the assertion routine, bit
// counting, DOS dates as second counts, new volume serial numbers and the
// estimate of used and free sectors that engine start makes per partition.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Ends the process with "ASSERT: '<expression>' file: <file>, line #<line>"
// on standard error when the condition is false; nothing otherwise.
void AssertFailed(bool condition, const char* expression, const char* file, int line);
#define KW_ASSERT(cond) AssertFailed((cond), #cond, __FILE__, __LINE__)

// Set bits among `count` bits from bit `firstBit` (bit 0 is bit 0 of byte 0).
std::uint32_t CountSetBits(const std::uint8_t* bytes, std::uint32_t firstBit, std::uint32_t count);

// Seconds since 1970-01-01 00:00 (local time, as the DOS fields give it) of a
// DOS date ((year - 1980) << 9 | month << 5 | day) and time (hour << 11 |
// minute << 5 | seconds / 2). An impossible date or time gives 0; dates
// past 2106-02-07 06:28:15 give 0xFFFFFFFF.
std::uint32_t DosDateTimeToSeconds(std::uint16_t dosDate, std::uint16_t dosTime);
// The present local date and time through DosDateTimeToSeconds.
std::uint32_t GetCurrentSeconds();
// A new volume serial number: differs from the previous one even within one second.
std::uint32_t GenerateSerialNumber();

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
