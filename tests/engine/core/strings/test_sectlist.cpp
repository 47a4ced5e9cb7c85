// SECT_LIST: appending, growth, merging and sorting.
#include "engine/core/sectlist.h"

#include "engine/core/kwmemory.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint32_t> entries(const SECT_LIST& l) {
    return std::vector<std::uint32_t>(l.GetArray(), l.GetArray() + l.GetCount());
}

TEST(SectList, AddKeepsOrderAndGrows) {
    SECT_LIST l;
    EXPECT_EQ(l.GetArray(), nullptr);
    EXPECT_FALSE(l.Contains(0));
    for (std::uint32_t i = 0; i < 1000; ++i)
        ASSERT_EQ(l.Add(1000 - i), KW_OK);
    EXPECT_EQ(l.GetCount(), 1000u);
    EXPECT_EQ(l.GetAt(0), 1000u);
    EXPECT_EQ(l.GetAt(999), 1u);
    EXPECT_TRUE(l.Contains(500));
    EXPECT_FALSE(l.Contains(1001));
    l.Sort();
    EXPECT_EQ(l.GetAt(0), 1u);
    EXPECT_EQ(l.AddRange(7, 0), KW_OK);
    EXPECT_EQ(l.AddRange(0xFFFFFFFE, 5), KW_OK); // never wraps past the last sector
    EXPECT_EQ(l.GetCount(), 1002u);
    EXPECT_EQ(l.GetAt(1001), 0xFFFFFFFFu);
}

TEST(SectList, AddFailureKeepsEntries) {
    SECT_LIST l;
    for (std::uint32_t i = 0; i < 512; ++i) // exactly the first 2048 bytes
        ASSERT_EQ(l.Add(i), KW_OK);
    kwInjectAllocFailure(1);
    EXPECT_EQ(l.Add(512), ERR_NO_MEMORY);
    EXPECT_EQ(l.GetCount(), 512u);
    EXPECT_EQ(l.GetAt(511), 511u);
    kwInjectAllocFailure(0);
    EXPECT_EQ(l.AddRange(512, 3), KW_OK);
    EXPECT_EQ(l.GetCount(), 515u);
}

TEST(SectList, Merge) {
    SECT_LIST a, b;
    EXPECT_EQ(a.Merge(nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(a.Merge(&b), KW_OK);
    for (std::uint32_t s : {5u, 3u, 5u})
        b.Add(s);
    EXPECT_EQ(a.Merge(&b), KW_OK);
    EXPECT_EQ(entries(a), (std::vector<std::uint32_t>{3, 5}));
    SECT_LIST c;
    for (std::uint32_t s : {9u, 9u, 4u})
        c.Add(s); // duplicates added by Add stay
    EXPECT_EQ(c.Merge(&b), KW_OK);
    EXPECT_EQ(entries(c), (std::vector<std::uint32_t>{3, 4, 5, 9, 9}));
    kwInjectAllocFailure(1);
    EXPECT_EQ(c.Merge(&a), ERR_NO_MEMORY);
    kwInjectAllocFailure(0);
    EXPECT_EQ(c.GetCount(), 5u);
}

} // namespace
