// Assertion, bit counting, DOS dates and serial numbers.
#include "engine/core/engine_util.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr std::uint32_t kSecondsPerDay = 86400;
constexpr std::uint32_t kDaysBeforeMonth[13] = {0,   0,   31,  59,  90,  120, 151,
                                                181, 212, 243, 273, 304, 334};
constexpr std::uint8_t kDaysInMonth[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeapYear(std::uint32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Leap days from 1970 up to the start of `year`.
std::uint32_t LeapDaysBefore(std::uint32_t year) {
    auto upTo = [](std::uint32_t y) { return y / 4 - y / 100 + y / 400; };
    return upTo(year - 1) - upTo(1969);
}

} // namespace

void AssertFailed(bool condition, const char* expression, const char* file, int line) {
    if (condition)
        return;
    std::fprintf(stderr, "\nASSERT: '%s' file: %s, line #%d\n",
                 expression != nullptr ? expression : "", file != nullptr ? file : "", line);
    std::fflush(stderr);
    std::abort();
}

std::uint32_t CountSetBits(const std::uint8_t* bytes, std::uint32_t firstBit, std::uint32_t count) {
    if (bytes == nullptr || count == 0)
        return 0;
    std::uint32_t total = 0;
    const std::uint8_t* p = bytes + firstBit / 8;
    std::uint32_t shift = firstBit % 8;
    if (shift != 0) {
        std::uint32_t take = count < 8 - shift ? count : 8 - shift;
        total +=
            static_cast<std::uint32_t>(__builtin_popcount((*p++ >> shift) & ((1u << take) - 1)));
        count -= take;
    }
    for (; count >= 8; count -= 8)
        total += static_cast<std::uint32_t>(__builtin_popcount(*p++));
    if (count != 0)
        total += static_cast<std::uint32_t>(__builtin_popcount(*p & ((1u << count) - 1)));
    return total;
}

std::uint32_t DosDateTimeToSeconds(std::uint16_t dosDate, std::uint16_t dosTime) {
    std::uint32_t day = dosDate & 0x1F;
    std::uint32_t month = (dosDate >> 5) & 0x0F;
    std::uint32_t year = 1980u + (dosDate >> 9);
    std::uint32_t hour = dosTime >> 11;
    std::uint32_t minute = (dosTime >> 5) & 0x3F;
    std::uint32_t twoSeconds = dosTime & 0x1F;
    if (month < 1 || month > 12 || day < 1 || day > kDaysInMonth[month] ||
        (month == 2 && day == 29 && !IsLeapYear(year)) || hour > 23 || minute > 59 ||
        twoSeconds > 29)
        return 0;
    std::uint64_t days =
        std::uint64_t{year - 1970} * 365 + LeapDaysBefore(year) + kDaysBeforeMonth[month] + day - 1;
    if (month > 2 && IsLeapYear(year))
        ++days;
    std::uint64_t seconds = days * kSecondsPerDay + hour * 3600u + minute * 60u + twoSeconds * 2u;
    return seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(seconds);
}

std::uint32_t GetCurrentSeconds() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    int year = t.tm_year + 1900;
    if (year < 1980)
        year = 1980;
    if (year > 2107)
        year = 2107;
    auto date =
        static_cast<std::uint16_t>(((year - 1980) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    int second = t.tm_sec > 59 ? 59 : t.tm_sec;
    auto time = static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (second / 2));
    return DosDateTimeToSeconds(date, time);
}

std::uint32_t GenerateSerialNumber() {
    static std::uint32_t counter = 0;
    ++counter;
    std::uint32_t v = GetCurrentSeconds() * counter + counter;
    return v != 0 ? v : GetCurrentSeconds();
}
