// Small services shared by the engine's layers: the assertion routine, bit
// counting, DOS dates as second counts and new volume serial numbers.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

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
