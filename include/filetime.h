// Windows file times (100-ns units since 1601-01-01 00:00 UTC, the time
// stamps of NTFS, of images and of the file layer) and Unix times: the one
// place that converts between them.
#pragma once

#include <cstdint>

namespace kwtime {

inline constexpr int64_t kTicksPerSecond = 10000000;
// 1970-01-01 00:00 UTC as a file time.
inline constexpr uint64_t kUnixEpoch = 116444736000000000ULL;

// Seconds and nanoseconds since 1970 as a file time: 0 before 1601,
// UINT64_MAX past what a file time holds.
inline constexpr uint64_t FromUnix(int64_t seconds, long nanoseconds = 0) {
    constexpr int64_t kEpochSeconds = static_cast<int64_t>(kUnixEpoch / kTicksPerSecond);
    if (seconds < -kEpochSeconds)
        return 0;
    if (seconds > INT64_MAX / kTicksPerSecond - 1)
        return UINT64_MAX;
    int64_t ticks = seconds * kTicksPerSecond + nanoseconds / 100;
    if (ticks < -static_cast<int64_t>(kUnixEpoch))
        return 0;
    return kUnixEpoch + static_cast<uint64_t>(ticks);
}

// A file time as seconds and nanoseconds since 1970 (negative before it).
inline constexpr void ToUnix(uint64_t filetime, int64_t* seconds, long* nanoseconds) {
    int64_t ticks = filetime >= kUnixEpoch ? static_cast<int64_t>(filetime - kUnixEpoch)
                                           : -static_cast<int64_t>(kUnixEpoch - filetime);
    int64_t sec = ticks / kTicksPerSecond;
    int64_t rem = ticks % kTicksPerSecond;
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    *seconds = sec;
    *nanoseconds = static_cast<long>(rem * 100);
}

// A file time as whole seconds since 1970, rounded to the nearest.
inline constexpr int64_t ToUnixRounded(uint64_t filetime) {
    int64_t seconds = 0;
    long nanoseconds = 0;
    ToUnix(filetime, &seconds, &nanoseconds);
    return seconds + (nanoseconds >= 500000000 ? 1 : 0);
}

} // namespace kwtime
