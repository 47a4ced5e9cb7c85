// STATE_MAP: creation, ranges, scans and counts (checked against a plain
// bit-by-bit model on sizes that are not multiples of 32), growth and the
// combining operations.
#include "engine/core/statemap.h"

#include "engine/core/kwmemory.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

TEST(StateMap, CreateSetAllLayout) {
    STATE_MAP m;
    EXPECT_EQ(m.ulUnitsPerBit, 1u);
    ASSERT_EQ(m.Create(64, true), KW_OK);
    EXPECT_EQ(m.ulBmpBufSize, 3u);
    EXPECT_EQ(m.pulBits[0], 0xFFFFFFFFu);
    EXPECT_EQ(m.pulBits[1], 0xFFFFFFFFu);
    EXPECT_EQ(m.pulBits[2], 0u);
    EXPECT_EQ(m.CountSet(0, 63, 1000), 64u);
    ASSERT_EQ(m.Create(33, true), KW_OK);
    EXPECT_EQ(m.pulBits[0], 0xFFFFFFFFu);
    EXPECT_EQ(m.pulBits[1], 1u);
    EXPECT_EQ(m.CountSet(0, 1000, 1000), 33u);
    EXPECT_EQ(m.CountSet(0, 1000, 5), 5u);
    ASSERT_EQ(m.Create(0, true), KW_OK);
    EXPECT_EQ(m.ulBmpBufSize, 1u);
    EXPECT_EQ(m.FindNextSet(0), STATE_MAP_NONE);
}

TEST(StateMap, EmptyAndOutOfRange) {
    STATE_MAP m;
    m.SetBit(0);
    m.SetRange(0, 10);
    EXPECT_FALSE(m.IsSet(0));
    EXPECT_FALSE(m.IsClear(0));
    EXPECT_EQ(m.FindNextClear(0), STATE_MAP_NONE);
    EXPECT_EQ(m.FindPrevClear(5), STATE_MAP_NONE);
    EXPECT_EQ(m.CountClear(0, 10, 100), 0u);
    EXPECT_EQ(m.Grow(10), KW_OK); // nothing to grow
    EXPECT_EQ(m.GetBitCount(), 0u);
    ASSERT_EQ(m.Create(40, false), KW_OK);
    m.SetBit(40);
    m.SetRange(40, 5);
    EXPECT_EQ(m.pulBits[1], 0u);
    EXPECT_FALSE(m.IsSet(40));
    EXPECT_FALSE(m.IsClear(40));
    EXPECT_EQ(m.FindNextSet(0), STATE_MAP_NONE);
    EXPECT_EQ(m.FindPrevSet(0), STATE_MAP_NONE);
    EXPECT_EQ(m.FindNextClear(40), STATE_MAP_NONE);
    EXPECT_EQ(m.CountClear(39, 1000, 100), 1u);
    EXPECT_EQ(m.CountClear(20, 10, 100), 0u);
    m.SetRange(30, 1000); // cut to the end
    EXPECT_EQ(m.CountSet(0, 39, 100), 10u);
    EXPECT_EQ(m.FindPrevClear(1000), 29u); // from the end
}

// A random map against a model, over sizes around word boundaries.
TEST(StateMap, ScansAndCountsMatchAModel) {
    std::mt19937 rng(7);
    for (std::uint32_t bits : {1u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 1000u, 4097u}) {
        for (int density : {0, 5, 50, 95, 100}) {
            STATE_MAP m;
            ASSERT_EQ(m.Create(bits, false), KW_OK);
            std::vector<bool> model(bits);
            for (std::uint32_t i = 0; i < bits; ++i) {
                if (static_cast<int>(rng() % 100) < density) {
                    model[i] = true;
                    m.SetBit(i);
                }
            }
            // The expected answers for every index, from one pass each way.
            std::vector<std::uint32_t> nextSet(bits + 2, STATE_MAP_NONE), nextClear = nextSet;
            std::vector<std::uint32_t> prevSet(bits + 2, STATE_MAP_NONE), prevClear = prevSet;
            for (std::uint32_t k = bits; k-- > 0;) {
                nextSet[k] = model[k] ? k : nextSet[k + 1];
                nextClear[k] = model[k] ? nextClear[k + 1] : k;
            }
            for (std::uint32_t k = 1; k <= bits + 1; ++k) {
                const std::uint32_t below = k - 1;
                prevSet[k] = below < bits && model[below] ? below : prevSet[k - 1];
                prevClear[k] = below < bits && !model[below] ? below : prevClear[k - 1];
            }
            for (std::uint32_t i = 0; i <= bits + 1; ++i) {
                ASSERT_EQ(m.FindNextSet(i), nextSet[i]) << bits << "/" << i;
                ASSERT_EQ(m.FindNextClear(i), nextClear[i]) << bits << "/" << i;
                ASSERT_EQ(m.FindPrevSet(i), prevSet[i]) << bits << "/" << i;
                ASSERT_EQ(m.FindPrevClear(i), prevClear[i]) << bits << "/" << i;
            }
            const std::uint32_t first = bits / 3, last = bits - 1;
            std::uint32_t set = 0;
            for (std::uint32_t k = first; k <= last; ++k)
                set += model[k] ? 1 : 0;
            const std::uint32_t clear = last - first + 1 - set;
            EXPECT_EQ(m.CountSet(first, last + 50, 0xFFFFFFFF), set);
            EXPECT_EQ(m.CountClear(first, last, 0xFFFFFFFF), clear);
            EXPECT_EQ(m.CountSet(first, last, 3), std::min(set, 3u));
            EXPECT_EQ(m.CountSet(first, first, 100), model[first] ? 1u : 0u);
        }
    }
}

TEST(StateMap, RangesAcrossWords) {
    STATE_MAP m;
    ASSERT_EQ(m.Create(200, false), KW_OK);
    m.SetRange(5, 150);
    EXPECT_EQ(m.CountSet(0, 199, 1000), 150u);
    EXPECT_EQ(m.FindNextSet(0), 5u);
    EXPECT_EQ(m.FindNextClear(5), 155u);
    EXPECT_EQ(m.pulBits[1], 0xFFFFFFFFu);
    m.ClearRange(31, 66);
    EXPECT_EQ(m.CountSet(0, 199, 1000), 84u);
    EXPECT_EQ(m.FindPrevSet(97), 30u);
    EXPECT_EQ(m.FindNextSet(31), 97u);
}

// The last used unit of a map counts its final bit: a used extent that
// stopped one short would let a later shrink cut a used cluster.
TEST(StateMap, LastSetIncludesTheFinalBit) {
    STATE_MAP m;
    EXPECT_EQ(m.LastSet(), 0u);
    ASSERT_EQ(m.Create(64, false), KW_OK);
    EXPECT_EQ(m.LastSet(), 0u);
    for (uint32_t bit : {0u, 31u, 32u, 63u}) {
        m.SetBit(bit);
        EXPECT_EQ(m.LastSet(), bit);
    }
}

TEST(StateMap, ShrinkAndGrow) {
    STATE_MAP m;
    ASSERT_EQ(m.Create(64, true), KW_OK);
    m.Shrink(10);
    EXPECT_EQ(m.GetBitCount(), 54u);
    EXPECT_EQ(m.FindNextClear(0), STATE_MAP_NONE);
    EXPECT_EQ(m.Grow(10), KW_OK);
    EXPECT_EQ(m.CountSet(0, 63, 1000), 64u); // the bits come back
    EXPECT_EQ(m.Grow(100), KW_OK);           // a new buffer
    EXPECT_EQ(m.ulBmpBufSize, 164u / 32 + 1);
    EXPECT_EQ(m.CountSet(0, 163, 1000), 64u);
    m.Shrink(1000);
    EXPECT_EQ(m.GetBitCount(), 0u);
    // A count past 32 bits is refused before any allocation.
    m.ulBitCount = 0xFFFFFF00u;
    EXPECT_EQ(m.Grow(0x100), ERR_BAD_ARGUMENT);
    EXPECT_EQ(m.GetBitCount(), 0xFFFFFF00u);
    m.ulBitCount = 0;
}

// A failed allocation keeps the map as it was.
TEST(StateMap, GrowFailureKeepsTheMap) {
    STATE_MAP m;
    ASSERT_EQ(m.Create(40, true), KW_OK);
    kwInjectAllocFailure(1);
    EXPECT_EQ(m.Grow(1000), ERR_NO_MEMORY);
    EXPECT_EQ(m.GetBitCount(), 40u);
    m.SetBit(39);
    EXPECT_EQ(m.CountSet(0, 39, 100), 40u);
    EXPECT_EQ(m.ulBmpBufSize * 32 >= m.GetBitCount(), true);
    kwInjectAllocFailure(1);
    EXPECT_EQ(m.Create(100, false), ERR_NO_MEMORY);
    EXPECT_EQ(m.GetWords(), nullptr);
    EXPECT_EQ(m.GetBitCount(), 0u);
    kwInjectAllocFailure(0);
}

TEST(StateMap, CopyOrXor) {
    STATE_MAP a, b;
    ASSERT_EQ(a.Create(70, false), KW_OK);
    a.SetRange(10, 20);
    a.ulUnitCount = 70;
    a.ulUnitsPerBit = 8;
    a.ulLastUsed = 29;
    a.ulMinEnd = 5;
    b = a;
    EXPECT_EQ(b.GetBitCount(), 70u);
    EXPECT_EQ(b.ulUnitsPerBit, 8u);
    EXPECT_EQ(b.ulMinEnd, 5u);
    EXPECT_NE(b.GetWords(), a.GetWords());
    EXPECT_EQ(b.CountSet(0, 69, 100), 20u);
    STATE_MAP& same = b;
    b = same;
    EXPECT_EQ(b.CountSet(0, 69, 100), 20u);
    b.XorWith(b); // itself: nothing
    EXPECT_EQ(b.CountSet(0, 69, 100), 20u);
    b.XorWith(a);
    EXPECT_EQ(b.CountSet(0, 69, 100), 0u);
    STATE_MAP big;
    ASSERT_EQ(big.Create(100, true), KW_OK);
    a.XorWith(big); // more bits than a: nothing
    EXPECT_EQ(a.CountSet(0, 69, 100), 20u);
    // Fewer bits but a larger buffer (after a Shrink): stays inside a's words.
    big.Shrink(50);
    a.XorWith(big);
    EXPECT_EQ(a.CountSet(0, 49, 100), 30u);
    STATE_MAP c;
    ASSERT_EQ(c.Create(40, false), KW_OK);
    c.OrWith(big);
    EXPECT_EQ(c.CountSet(0, 39, 100), 40u);
    STATE_MAP empty, copy(empty);
    EXPECT_EQ(copy.GetWords(), nullptr);
    kwInjectAllocFailure(1);
    copy = a;
    kwInjectAllocFailure(0);
    EXPECT_EQ(copy.GetBitCount(), 0u);
    EXPECT_EQ(copy.ulUnitsPerBit, 0u);
}

} // namespace
