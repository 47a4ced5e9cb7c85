#include "platform/files/sysfile.h"

#include <gtest/gtest.h>

namespace kw::sys {
namespace {

TEST(FileTime, KnownMomentsAndRoundTrips) {
    EXPECT_EQ(sysMakeFileTime({1980, 1, 1, 0, 0, 0, 0}), vfs::FILETIME_1980);
    EXPECT_EQ(sysMakeFileTime({1601, 1, 1, 0, 0, 0, 0}), 0u);
    EXPECT_EQ(sysToFileTime(0, 0), 116444736000000000ULL); // 1970-01-01
    EXPECT_EQ(sysMakeFileTime({1970, 1, 1, 0, 0, 0, 0}), sysToFileTime(0, 0));
    const FILETIME_PARTS samples[] = {{2000, 2, 29, 23, 59, 59, 999},
                                      {2024, 12, 31, 12, 0, 1, 5},
                                      {1601, 1, 1, 0, 0, 0, 1},
                                      {30827, 12, 31, 23, 59, 59, 999}};
    for (const FILETIME_PARTS& p : samples) {
        FILETIME_PARTS back;
        ASSERT_TRUE(sysFileTimeToParts(sysMakeFileTime(p), &back)) << p.year;
        EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second,
                           back.milliseconds),
                  std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.milliseconds));
    }
    for (const FILETIME_PARTS& bad :
         {FILETIME_PARTS{1900, 2, 29, 0, 0, 0, 0}, FILETIME_PARTS{2001, 13, 1, 0, 0, 0, 0},
          FILETIME_PARTS{1600, 12, 31, 0, 0, 0, 0}, FILETIME_PARTS{2001, 1, 1, 24, 0, 0, 0}})
        EXPECT_EQ(sysMakeFileTime(bad), 0u) << bad.year;
    FILETIME_PARTS none;
    EXPECT_FALSE(sysFileTimeToParts(UINT64_MAX, &none));
    EXPECT_EQ(none.year, 0);
    int64_t sec;
    long ns;
    sysFromFileTime(sysToFileTime(-5, 300), &sec, &ns);
    EXPECT_EQ(sec, -5);
    EXPECT_EQ(ns, 300);
    EXPECT_EQ(sysToFileTime(INT64_MAX, 0), UINT64_MAX);
    EXPECT_EQ(sysToFileTime(INT64_MIN, 0), 0u);
}

} // namespace
} // namespace kw::sys
