#include "engine/disk/partition_table.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

using kwtest::kCyl;
using kwtest::MakeEntry;

namespace {

// A disk held as a map of table sectors; every other sector reads as zeros,
// and sectors in `bad` fail with 50.
struct TableDisk {
    std::map<uint32_t, std::vector<uint8_t>> sectors;
    std::set<uint32_t> bad;
    int reads = 0;

    std::vector<uint8_t>& Table(uint32_t sector) {
        auto& s = sectors[sector];
        if (s.empty()) {
            s.assign(512, 0);
            s[510] = 0x55;
            s[511] = 0xAA;
        }
        return s;
    }
    void Put(uint32_t sector, int index, const std::vector<uint8_t>& entry) {
        std::copy(entry.begin(), entry.end(), Table(sector).begin() + 446 + 16 * index);
    }
    SECTOR_READER Reader() {
        return [this](uint32_t sector, uint8_t* buf) -> kwRet {
            ++reads;
            if (bad.count(sector))
                return ERR_READ_FAULT;
            auto it = sectors.find(sector);
            std::fill(buf, buf + 512, 0);
            if (it != sectors.end())
                std::copy(it->second.begin(), it->second.end(), buf);
            return KW_OK;
        };
    }
};

constexpr uint32_t kExt = 2 * kCyl;

// MBR: FAT16 primary and an extended partition; `logicals` logical FAT16
// partitions of one cylinder each, chained in order.
TableDisk ChainDisk(int logicals) {
    TableDisk d;
    d.Put(0, 0, MakeEntry(0x06, 63, kCyl - 63, 63, true));
    d.Put(0, 1, MakeEntry(0x05, kExt, logicals * kCyl, kExt));
    for (int i = 0; i < logicals; ++i) {
        uint32_t ebr = kExt + i * kCyl;
        d.Put(ebr, 0, MakeEntry(0x06, 63, kCyl - 63, ebr + 63));
        if (i + 1 < logicals)
            d.Put(ebr, 1, MakeEntry(0x05, ebr + kCyl - kExt, kCyl, ebr + kCyl));
    }
    return d;
}

} // namespace

TEST(PartitionEntry, ParsesTenBitCylindersAndLittleEndianFields) {
    std::vector<uint8_t> e = {0x80, 0xFE, 0xFF, 0x3F, 0x0C, 0x01, 0xC1, 0x02,
                              0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x80};
    PARTITION_ENTRY p = PARTITION_ENTRY::parse(e);
    EXPECT_EQ(p.bootIndicator, 0x80);
    EXPECT_EQ(p.begin.head, 0xFE);
    EXPECT_EQ(p.begin.sector, 0x3F);
    EXPECT_EQ(p.begin.cylinder, 0x33Fu);
    EXPECT_EQ(p.end.cylinder, 0x302u);
    EXPECT_EQ(p.end.sector, 1);
    EXPECT_EQ(p.type, 0x0C);
    EXPECT_EQ(p.relStart, 0x12345678u);
    EXPECT_EQ(p.numSects, 0x80000001u);
    PARTITION_SECTOR s;
    EXPECT_FALSE(PARTITION_SECTOR::parse(std::vector<uint8_t>(511, 0), &s));
}

TEST(PartitionTableWalk, FollowsTheChainAndMakesStartsAbsolute) {
    TableDisk d = ChainDisk(3);
    d.Table(kExt)[394] = 0x11;
    std::memcpy(d.Table(kExt).data() + 395, "LOGICAL1", 8);
    TABLE_WALK w = WalkPartitionTables(d.Reader(), false);
    ASSERT_EQ(w.error, KW_OK);
    ASSERT_TRUE(w.hasSignature);
    // MBR: FAT16 + extended; EBR 1 and 2: logical + link; EBR 3: logical.
    ASSERT_EQ(w.entries.size(), 7u);
    EXPECT_EQ(w.entries[0].absStart, 63u);
    EXPECT_EQ(w.entries[1].absStart, kExt);
    EXPECT_EQ(w.entries[2].tableSector, kExt);
    EXPECT_EQ(w.entries[2].absStart, kExt + 63);
    EXPECT_EQ(w.entries[2].status, 0x11);
    EXPECT_STREQ(w.entries[2].name, "LOGICAL1");
    EXPECT_EQ(w.entries[3].absStart, kExt + kCyl); // link: relative to the extended start
    EXPECT_EQ(w.entries[6].tableSector, kExt + 2 * kCyl);
    EXPECT_EQ(w.entries[6].absStart, kExt + 2 * kCyl + 63);
}

TEST(PartitionTableWalk, CyclicOrEndlessChainsGiveBadTableAndStop) {
    TableDisk loop = ChainDisk(3);
    // The last record links back to the first.
    loop.Put(kExt + 2 * kCyl, 1, MakeEntry(0x05, 0, kCyl, kExt));
    TABLE_WALK w = WalkPartitionTables(loop.Reader(), true);
    EXPECT_EQ(w.error, ERR_BAD_PARTITION_TABLE);
    EXPECT_LE(loop.reads, 5);

    TableDisk self = ChainDisk(1);
    self.Put(kExt, 1, MakeEntry(0x05, 0, kCyl, kExt)); // links to itself
    EXPECT_EQ(WalkPartitionTables(self.Reader(), false).error, ERR_BAD_PARTITION_TABLE);

    TableDisk longChain = ChainDisk(KW_MAX_EXTENDED_RECORDS + 20);
    w = WalkPartitionTables(longChain.Reader(), false);
    EXPECT_EQ(w.error, ERR_BAD_PARTITION_TABLE);
    EXPECT_LE(longChain.reads, int(KW_MAX_EXTENDED_RECORDS) + 1);

    TableDisk atLimit = ChainDisk(KW_MAX_EXTENDED_RECORDS);
    EXPECT_EQ(WalkPartitionTables(atLimit.Reader(), false).error, KW_OK);
}

TEST(PartitionTableWalk, TwoExtendedEntriesAreAnErrorUnlessIgnored) {
    TableDisk d = ChainDisk(1);
    d.Put(0, 2, MakeEntry(0x0F, 5 * kCyl, kCyl, 5 * kCyl));
    TABLE_WALK strict = WalkPartitionTables(d.Reader(), false);
    EXPECT_EQ(strict.error, ERR_BAD_PARTITION_TABLE);
    TABLE_WALK lax = WalkPartitionTables(d.Reader(), true);
    EXPECT_EQ(lax.error, KW_OK);
    EXPECT_TRUE(lax.twoExtended);
    ASSERT_EQ(lax.entries.size(), 4u); // the first extended entry is followed
    EXPECT_EQ(lax.entries[3].tableSector, kExt);
}

TEST(PartitionTableWalk, ChainEndsAtASectorWithoutTable) {
    TableDisk d = ChainDisk(2);
    d.sectors.erase(kExt + kCyl);
    TABLE_WALK w = WalkPartitionTables(d.Reader(), false);
    EXPECT_EQ(w.error, KW_OK);
    EXPECT_EQ(w.entries.size(), 4u);
}

TEST(PartitionTableWalk, ReadErrorsAndMissingSignature) {
    TableDisk d = ChainDisk(2);
    d.bad.insert(kExt + kCyl);
    TABLE_WALK w = WalkPartitionTables(d.Reader(), true);
    EXPECT_EQ(w.error, ERR_READ_FAULT);
    EXPECT_EQ(w.entries.size(), 4u); // what was read before stays

    TableDisk unreadable;
    unreadable.bad.insert(0);
    EXPECT_EQ(WalkPartitionTables(unreadable.Reader(), false).error, ERR_READ_FAULT);

    TableDisk blank;
    w = WalkPartitionTables(blank.Reader(), false);
    EXPECT_EQ(w.error, KW_OK);
    EXPECT_FALSE(w.hasSignature);
    EXPECT_TRUE(w.entries.empty());
}

TEST(PartitionTableWalk, DynamicEntryEndsTheWalk) {
    TableDisk d;
    d.Put(0, 0, MakeEntry(0x42, 63, 4 * kCyl, 63));
    d.Put(0, 1, MakeEntry(0x05, kExt, kCyl, kExt));
    TABLE_WALK w = WalkPartitionTables(d.Reader(), false);
    EXPECT_TRUE(w.dynamicDisk);
    EXPECT_EQ(d.reads, 1);
}
