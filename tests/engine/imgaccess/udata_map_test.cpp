// The sector-to-block-to-stream mapping and the listing cache, without any
// image: bitmaps are built by hand and offsets checked against a plain count.
#include "engine/imgaccess/sector_cache.h"
#include "engine/imgaccess/udata_map.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace kw::imgaccess;

namespace {

std::vector<uint8_t> Bitmap(uint32_t blocks, const std::vector<uint32_t>& stored) {
    std::vector<uint8_t> bytes((blocks + 7) / 8, 0);
    for (uint32_t b : stored)
        bytes[b / 8] |= uint8_t(1u << (b % 8));
    return bytes;
}

// Stored blocks below each block, counted the plain way.
std::vector<uint32_t> StoredBelow(const std::vector<uint8_t>& bitmap, uint32_t blocks) {
    std::vector<uint32_t> below(blocks + 1, 0);
    for (uint32_t b = 0; b < blocks; ++b)
        below[b + 1] = below[b] + (bitmap[b / 8] >> (b % 8) & 1);
    return below;
}

} // namespace

TEST(UdataMap, ReadsLandOnTheStoredBlocksInOrder) {
    UDATA_MAP map;
    const auto bits = Bitmap(10, {0, 2, 3, 7});
    ASSERT_EQ(map.Build(10, 8, 0, bits), KW_OK);
    EXPECT_EQ(map.BlockLimit(), 7u); // the last stored block when none is recorded
    uint64_t at = 99;
    EXPECT_EQ(map.Locate(0, 1, &at), KW_OK);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(map.Locate(2 * 8 + 3, 1, &at), KW_OK); // block 2 is the second stored
    EXPECT_EQ(at, 4096u + 3 * 512);
    EXPECT_EQ(map.Locate(2 * 8, 16, &at), KW_OK); // blocks 2 and 3: one run
    EXPECT_EQ(at, 4096u);
    EXPECT_EQ(map.Locate(7 * 8 + 7, 1, &at), KW_OK); // the last sector of the limit block
    EXPECT_EQ(at, 3 * 4096u + 7 * 512);
}

TEST(UdataMap, RefusesRangesThatLeaveTheStoredBlocks) {
    UDATA_MAP map;
    ASSERT_EQ(map.Build(10, 8, 0, Bitmap(10, {0, 2, 3, 7})), KW_OK);
    uint64_t at = 0;
    struct Case {
        uint32_t sector, count;
        kwRet code;
    } cases[] = {
        {8, 1, ERR_FILE_SHORT_READ},         // block 1 is not stored
        {7, 2, ERR_FILE_SHORT_READ},         // runs from block 0 into block 1
        {3 * 8 + 7, 2, ERR_FILE_SHORT_READ}, // from block 3 into block 4
        {8 * 8, 1, ERR_OUT_OF_RANGE},        // past the limit
        {7 * 8 + 7, 2, ERR_OUT_OF_RANGE},    // from the limit block past it
        {0xFFFFFFFF, 2, ERR_OUT_OF_RANGE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(map.Locate(c.sector, c.count, &at), c.code) << c.sector << "+" << c.count;
}

TEST(UdataMap, RecordedLimitBoundsReads) {
    UDATA_MAP map;
    ASSERT_EQ(map.Build(10, 1, 4, Bitmap(10, {0, 1, 2, 3, 4, 5, 6})), KW_OK);
    uint64_t at = 0;
    EXPECT_EQ(map.Locate(4, 1, &at), KW_OK);
    EXPECT_EQ(map.Locate(5, 1, &at), ERR_OUT_OF_RANGE);
    UDATA_MAP beyond; // a damaged limit past the partition is held to its last block
    ASSERT_EQ(beyond.Build(10, 1, 500, Bitmap(10, {9})), KW_OK);
    EXPECT_EQ(beyond.BlockLimit(), 9u);
}

TEST(UdataMap, PartWithoutStoredBlocksOpensAndRefusesEveryRead) {
    UDATA_MAP map;
    ASSERT_EQ(map.Build(100, 8, 0, Bitmap(100, {})), KW_OK);
    uint64_t at = 0;
    for (uint32_t sector : {0u, 8u, 799u, 5000u})
        EXPECT_EQ(map.Locate(sector, 1, &at), ERR_FILE_SHORT_READ) << sector;
}

TEST(UdataMap, DamagedInputIsRefused) {
    UDATA_MAP map;
    EXPECT_EQ(map.Build(0, 8, 0, {}), ERR_IMG_INVALID);
    EXPECT_EQ(map.Build(10, 0, 0, Bitmap(10, {1})), ERR_IMG_INVALID);
    EXPECT_EQ(map.Build(10, 8, 0, Bitmap(17, {1})), ERR_IMG_INVALID); // bitmap of another size
    // Bits past the last block are no blocks.
    std::vector<uint8_t> bits = Bitmap(10, {1});
    bits[1] = 0xFF;
    ASSERT_EQ(map.Build(10, 8, 0, bits), KW_OK);
    EXPECT_EQ(map.UsedBlocks(), 3u);
    EXPECT_EQ(map.BlockLimit(), 9u);
}

TEST(UdataMap, SkipIndexShiftKeepsEveryEntryInsideTheTable) {
    EXPECT_EQ(SkipShift(0, 1), 0u);
    EXPECT_EQ(SkipShift(kMaxSkipEntries - 1, kMaxSkipEntries), 0u);
    EXPECT_EQ(SkipShift(kMaxSkipEntries, kMaxSkipEntries), 1u); // equal would index one past
    EXPECT_EQ(SkipShift(2 * kMaxSkipEntries - 1, kMaxSkipEntries), 1u);
    EXPECT_EQ(SkipShift(2 * kMaxSkipEntries, kMaxSkipEntries), 2u);
    EXPECT_EQ(SkipShift(0xFFFFFFFF, kMaxSkipEntries), 13u);
}

TEST(UdataMap, OffsetsMatchAPlainCountInAnyReadOrder) {
    // More blocks than the skip index has entries: the index interval is
    // above one block and is filled as reads reach further, in any order.
    const uint32_t blocks = kMaxSkipEntries * 2 + 77;
    std::mt19937 random(5);
    std::vector<uint32_t> stored;
    for (uint32_t b = 0; b < blocks; ++b) {
        if (random() % 3 != 0)
            stored.push_back(b);
    }
    const auto bits = Bitmap(blocks, stored);
    const auto below = StoredBelow(bits, blocks);
    UDATA_MAP map;
    ASSERT_EQ(map.Build(blocks, 1, 0, bits), KW_OK);
    EXPECT_GE(map.IndexShift(), 1u);
    for (int i = 0; i < 200; ++i) {
        const uint32_t block = stored[random() % stored.size()];
        uint64_t at = 0;
        ASSERT_EQ(map.Locate(block, 1, &at), KW_OK);
        ASSERT_EQ(at, uint64_t(below[block]) * 512) << block;
    }
}

TEST(SectorCache, LeastRecentlyUsedSectorLeavesFirst) {
    SECTOR_CACHE cache;
    uint8_t sector[512] = {}, out[512];
    for (uint32_t s = 0; s < kCacheSectors; ++s) {
        sector[0] = uint8_t(s);
        cache.Put(1000 + s, sector);
    }
    ASSERT_TRUE(cache.Get(1000, out)); // sector 1000 is now the most recent
    EXPECT_EQ(out[0], 0);
    sector[0] = 0xEE;
    cache.Put(5000, sector); // the 257th replaces the least recent: 1001
    EXPECT_EQ(cache.Count(), kCacheSectors);
    EXPECT_FALSE(cache.Get(1001, out));
    EXPECT_TRUE(cache.Get(1000, out));
    ASSERT_TRUE(cache.Get(5000, out));
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_TRUE(cache.Get(1002, out));
}
