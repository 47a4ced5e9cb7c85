#include "imagestore/partstore/store_time.h"

#include <gtest/gtest.h>

using namespace kw::partstore;

namespace {

void ExpectCalendar(const CalendarTime& t, int y, int mo, int d, int h, int mi, int s) {
    EXPECT_EQ(t.year, y);
    EXPECT_EQ(t.month, mo);
    EXPECT_EQ(t.day, d);
    EXPECT_EQ(t.hour, h);
    EXPECT_EQ(t.minute, mi);
    EXPECT_EQ(t.second, s);
}

} // namespace

TEST(StoreTime, WholeSecondsReadBackUnchanged) {
    const CalendarTime times[] = {
        {1970, 1, 1, 0, 0, 0},      {1999, 12, 31, 23, 59, 59}, {2000, 2, 29, 12, 0, 1},
        {2026, 12, 10, 13, 29, 59}, {2106, 2, 7, 6, 28, 15},
    };
    for (const CalendarTime& t : times) {
        const uint32_t value = StoreTimeFromCalendar(t, 0);
        const CalendarTime back = CalendarFromStoreTime(value);
        ExpectCalendar(back, t.year, t.month, t.day, t.hour, t.minute, t.second);
    }
}

TEST(StoreTime, KeepsTheStoredEncoding) {
    // The count starts 364,747 units of 100 ns below 1970-01-01 00:00:00.
    EXPECT_EQ(StoreTimeFromCalendar({1970, 1, 1, 0, 0, 0}, 0), 0u);
    EXPECT_EQ(StoreTimeFromCalendar({2000, 1, 1, 0, 0, 0}, 0), 946684800u);
    EXPECT_EQ(StoreTimeFromCalendar({2000, 1, 1, 0, 0, 0}, 9'635'252), 946684800u);
    EXPECT_EQ(StoreTimeFromCalendar({2000, 1, 1, 0, 0, 0}, 9'635'253), 946684801u);
    EXPECT_EQ(StoreTimeFromCalendar({2106, 2, 7, 6, 28, 15}, 0), 0xFFFFFFFFu);
}

TEST(StoreTime, OutOfRangeTimesStoreZero) {
    EXPECT_EQ(StoreTimeFromCalendar({1969, 12, 31, 23, 59, 59}, 0), 0u);
    EXPECT_EQ(StoreTimeFromCalendar({1601, 1, 1, 0, 0, 0}, 0), 0u);
    EXPECT_EQ(StoreTimeFromCalendar({2106, 2, 7, 6, 28, 16}, 0), 0u);
}

TEST(StoreTime, ZeroReadsBackAsTheEpoch) {
    ExpectCalendar(CalendarFromStoreTime(0), 1970, 1, 1, 0, 0, 0);
}

TEST(StoreTime, NowIsRecent) {
    const uint32_t now = StoreTimeNow();
    EXPECT_GT(now, StoreTimeFromCalendar({2020, 1, 1, 0, 0, 0}, 0));
    int32_t year = 0;
    int32_t second = -1;
    SplitCalendar(CalendarFromStoreTime(now), &year, nullptr, nullptr, nullptr, nullptr, &second);
    EXPECT_GE(year, 2020);
    EXPECT_LT(second, 60);
}
