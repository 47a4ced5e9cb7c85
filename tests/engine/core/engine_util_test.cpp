// Engine utilities: bit counting, DOS dates, serial numbers, the assertion.
#include "engine/core/engine_util.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t DosDate(int year, int month, int day) {
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr std::uint16_t DosTime(int hour, int minute, int second) {
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

TEST(EngineUtil, CountSetBits) {
    const std::uint8_t bytes[] = {0x18, 0xFF, 0x81, 0x0F};
    struct Case {
        std::uint32_t first, count, expected;
    };
    const Case cases[] = {
        {0, 0, 0}, {3, 2, 2}, {0, 8, 2},  {5, 3, 0},  {4, 1, 1},  {0, 32, 16},
        {7, 9, 8}, {8, 8, 8}, {9, 14, 8}, {16, 1, 1}, {23, 9, 5}, {24, 3, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CountSetBits(bytes, c.first, c.count), c.expected)
            << "from " << c.first << " over " << c.count;
    EXPECT_EQ(CountSetBits(nullptr, 0, 8), 0u);
}

TEST(EngineUtil, DosDatesAsSeconds) {
    struct Case {
        std::uint16_t date, time;
        std::uint32_t seconds;
    };
    const Case cases[] = {
        {0x0021, 0, 315532800u},                                 // 1980-01-01
        {DosDate(2000, 3, 1), 0, 951868800u},                    // after 29 Feb 2000
        {DosDate(2000, 2, 29), DosTime(23, 59, 58), 951868798u}, // its leap day
        {DosDate(2038, 1, 19), DosTime(3, 14, 6), 2147483646u},
        {DosDate(2106, 2, 7), DosTime(6, 28, 14), 4294967294u},
        {DosDate(2106, 2, 7), DosTime(6, 28, 16), 0xFFFFFFFFu}, // saturates
        {DosDate(2107, 12, 31), DosTime(23, 59, 58), 0xFFFFFFFFu},
        // Impossible fields: no time at all, never a read outside the month table.
        {static_cast<std::uint16_t>(DosDate(1999, 1, 1) & ~0x1E0), 0, 0}, // month 0
        {static_cast<std::uint16_t>((19 << 9) | (13 << 5) | 1), 0, 0},    // month 13
        {static_cast<std::uint16_t>((19 << 9) | (15 << 5) | 1), 0, 0},    // month 15
        {DosDate(1999, 1, 0), 0, 0},                                      // day 0
        {DosDate(1999, 2, 29), 0, 0},
        {DosDate(1999, 4, 31), 0, 0},
        {DosDate(1999, 1, 1), DosTime(24, 0, 0), 0},
        {DosDate(1999, 1, 1), static_cast<std::uint16_t>(DosTime(0, 0, 0) | 30), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DosDateTimeToSeconds(c.date, c.time), c.seconds)
            << std::hex << c.date << " " << c.time;
    // 2100 is no leap year: 1 March 2100 is one day after 28 February.
    EXPECT_EQ(DosDateTimeToSeconds(DosDate(2100, 3, 1), 0) -
                  DosDateTimeToSeconds(DosDate(2100, 2, 28), 0),
              86400u);
    EXPECT_EQ(DosDateTimeToSeconds(DosDate(2101, 1, 1), 0), 4133980800u);
}

TEST(EngineUtil, SerialNumbersDifferWithinOneSecond) {
    std::uint32_t a = GenerateSerialNumber();
    std::uint32_t b = GenerateSerialNumber();
    EXPECT_NE(a, b);
    EXPECT_NE(a, 0u);
    EXPECT_NE(GetCurrentSeconds(), 0u);
}

TEST(EngineUtilDeathTest, AssertionEndsTheProcessWithItsText) {
    AssertFailed(true, "fine", "x.cpp", 1);
    EXPECT_DEATH(AssertFailed(false, "pi != 0", "..\\PI.cpp", 42),
                 "\nASSERT: 'pi != 0' file: \\.\\.\\\\PI\\.cpp, line #42\n");
}

} // namespace
