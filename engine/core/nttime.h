// NT time: 100-ns units since 1 January 1601 (UTC), the time stamps of NTFS
// and of host file times.
#pragma once

#include <cstdint>

// Seconds since 1 January 1970 as NT time. The offset is the one stored times
// were written with, a fraction of a second below the epoch; readers round to
// the nearest second.
inline constexpr uint64_t SecondsToNtTime(uint32_t seconds) {
    return uint64_t{seconds} * 10000000u + 0x019DB1DED538EF35ull;
}
