// The FAT's and the directory's resize steps on a builder-made volume: block
// numbers inserted and removed, a range emptied into reserved targets, and
// directory entries following a remap.
#include "engine/core/statemap.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

using namespace kwtest::nw;
using namespace kw::netware;

namespace {

struct Entry {
    uint32_t value;
    uint32_t link;
    bool operator==(const Entry& o) const { return value == o.value && link == o.link; }
};

std::vector<Entry> Snapshot(const NWFat& fat) {
    std::vector<Entry> out;
    for (uint32_t e = 0; e < fat.getNumEntries(); ++e)
        out.push_back({fat.Value(e), fat.Link(e)});
    return out;
}

// SYS of the two-partition disk, opened, with a FAT of its own that has room
// for `extra` more blocks.
class SysVolume : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(disk.Open(), KW_OK);
        ASSERT_EQ(nwOpenVolume(&volume, SegmentsOf(disk.Part(kHotStart)), kHotId, false), KW_OK);
    }
    void TearDown() override {
        delete fat;
        if (volume != nullptr)
            nwReleaseVolume(&volume);
    }
    void LoadFat(uint32_t extra) {
        fat = new NWFat(volume);
        ASSERT_EQ(fat->InitialiseFor(volume->BlocksInVolume() + extra), KW_OK);
        ASSERT_EQ(fat->Read(), KW_OK);
    }

    NwDisk disk{BuildDisk(TwoPartitions())};
    NWVolume* volume = nullptr;
    NWFat* fat = nullptr;
};

TEST_F(SysVolume, InsertedBlocksShiftEveryBlockLinkAndRemovingThemRestoresTheTable) {
    LoadFat(16);
    const uint32_t n = fat->getNumEntries();
    // Links with bit 31 are no block numbers: a suballocation link and a
    // reservation sit beside the chain ends the builder wrote.
    uint32_t free1 = 0;
    while (!fat->IsFree(free1))
        ++free1;
    fat->SetEntry(free1, 0, 0x80000003);
    fat->SetEntry(free1 + 1, 0, kReservedLink);
    const std::vector<Entry> before = Snapshot(*fat);
    for (uint32_t begin : {0u, 40u, n}) {
        SCOPED_TRACE(begin);
        std::vector<uint32_t> remap(n + 8, 0);
        STATE_MAP map;
        ASSERT_EQ(map.Create(n + 8, false), KW_OK);
        ASSERT_EQ(fat->InsertEntries(remap.data(), &map, begin, 8), KW_OK);
        ASSERT_EQ(fat->getNumEntries(), n + 8);
        for (uint32_t e = 0; e < n; ++e) {
            const uint32_t at = e < begin ? e : e + 8;
            const uint32_t link = before[e].link;
            const uint32_t want =
                (link & 0x80000000) != 0 || link < begin || before[e] == Entry{0, 0} ? link
                                                                                     : link + 8;
            ASSERT_EQ(fat->Value(at), before[e].value) << e;
            ASSERT_EQ(fat->Link(at), want) << e;
            const bool head = before[e].value == 0 && link != 0 && link != kReservedLink;
            ASSERT_EQ(remap[e], head && e >= begin ? e + 8 : 0) << e;
            ASSERT_EQ(map.IsSet(e), head && e >= begin) << e;
        }
        for (uint32_t e = begin; e < begin + 8; ++e)
            ASSERT_TRUE(fat->IsFree(e));
        std::fill(remap.begin(), remap.end(), 0);
        ASSERT_EQ(fat->RemoveEntries(remap.data(), nullptr, begin, 8), KW_OK);
        ASSERT_EQ(Snapshot(*fat), before);
        for (uint32_t e = begin + 8; e < n + 8; ++e) {
            if (before[e - 8].value == 0 && before[e - 8].link != 0 &&
                before[e - 8].link != kReservedLink) {
                ASSERT_EQ(remap[e], e - 8);
            }
        }
    }
    // No room for more than the table was made for.
    std::vector<uint32_t> remap(n + 64, 0);
    const uint32_t room =
        fat->NumberOfFatBlocks() * fat->EntriesPerBlock() + fat->EntriesPerBlock();
    EXPECT_EQ(fat->InsertEntries(remap.data(), nullptr, 0, room), ERR_NW_FAT_SIZE);
    EXPECT_EQ(Snapshot(*fat), before);
}

TEST_F(SysVolume, RemovingBlocksThatHoldOrAreNamedByDataIsRefused) {
    LoadFat(0);
    const std::vector<Entry> before = Snapshot(*fat);
    std::vector<uint32_t> remap(fat->getNumEntries(), 0);
    const uint32_t n = fat->getNumEntries();
    // The last used block (a file's tail): it holds data and its
    // predecessor names it.
    uint32_t last = n - 1;
    while (fat->IsFree(last))
        --last;
    for (auto [begin, count] : {std::pair{last, 1u}, std::pair{0u, 1u}, std::pair{n - 1, 2u}}) {
        SCOPED_TRACE(begin);
        EXPECT_NE(fat->RemoveEntries(remap.data(), nullptr, begin, count), KW_OK);
        EXPECT_EQ(Snapshot(*fat), before);
    }
    // The free tail goes.
    EXPECT_EQ(fat->RemoveEntries(remap.data(), nullptr, last + 1, n - 1 - last), KW_OK);
    EXPECT_EQ(fat->getNumEntries(), last + 1);
}

TEST_F(SysVolume, EvacuatingARangeReservesADistinctFreeTargetOutsideItForEveryUsedBlock) {
    LoadFat(0);
    const uint32_t n = fat->getNumEntries();
    const std::vector<Entry> before = Snapshot(*fat);
    std::vector<uint32_t> remap(n, 0);
    EXPECT_EQ(fat->EvacuateRange(remap.data(), 60, 59), ERR_NW_BAD_RANGE);
    // A window with fewer free blocks outside the range than it holds used:
    // refused with nothing changed.
    fat->SetSearchRange(0, 90);
    EXPECT_EQ(fat->EvacuateRange(remap.data(), 10, 80), ERR_NO_ROOM_TO_RESIZE);
    EXPECT_EQ(Snapshot(*fat), before);
    EXPECT_EQ(std::count(remap.begin(), remap.end(), 0u), std::ptrdiff_t(n));

    fat->SetSearchRange(0, n - 1);
    remap[12] = 250; // already planned: left to its plan
    fat->SetEntry(250, 0, kReservedLink);
    ASSERT_EQ(fat->EvacuateRange(remap.data(), 10, 60), KW_OK);
    std::set<uint32_t> targets;
    for (uint32_t e = 10; e <= 60; ++e) {
        if ((before[e] == Entry{0, 0})) {
            EXPECT_TRUE(fat->IsReserved(e)) << e;
            EXPECT_EQ(remap[e], 0u);
            continue;
        }
        const uint32_t t = remap[e];
        EXPECT_TRUE(t < 10 || t > 60) << e;
        EXPECT_TRUE((before[t] == Entry{0, 0})) << t;
        EXPECT_TRUE(fat->IsReserved(t)) << t;
        EXPECT_TRUE(targets.insert(t).second) << t;
        EXPECT_EQ(fat->Value(e), before[e].value); // the data stays until it moves
    }
    EXPECT_EQ(remap[12], 250u);
    fat->ReleaseReservations(10, 60);
    for (uint32_t e = 10; e <= 60; ++e)
        EXPECT_TRUE((Entry{fat->Value(e), fat->Link(e)} == before[e])) << e;
}

TEST_F(SysVolume, DirectoryEntriesFollowTheRemapOfTheBlocksTheyName) {
    // SYS: entry 1 a.dat, 2 b.dat, 3 folder, 4 empty (suballocated), 5 the
    // suballocation entry.
    NWDir* dir = nullptr;
    ASSERT_EQ(volume->GetDir(&dir), KW_OK);
    auto word = [&](uint32_t entry, size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, dir->getEntry(entry) + at, 4);
        return v;
    };
    const uint32_t a = word(1, DE_FIRST_BLOCK);
    const uint32_t b = word(2, DE_FIRST_BLOCK);
    const uint32_t sub = word(5, DE_SUBALLOC_HEADS + 4);
    std::vector<uint32_t> remap(volume->BlocksInVolume(), 0);
    STATE_MAP map;
    ASSERT_EQ(map.Create(volume->BlocksInVolume(), false), KW_OK);
    remap[a] = 280;
    map.SetBit(a);
    remap[sub] = 281;
    map.SetBit(sub);
    remap[b] = 282; // not marked: stays
    ASSERT_EQ(dir->RewriteAfterRelocation(remap.data(), &map), KW_OK);
    EXPECT_EQ(word(1, DE_FIRST_BLOCK), 280u);
    EXPECT_EQ(word(2, DE_FIRST_BLOCK), b);
    EXPECT_EQ(word(4, DE_FIRST_BLOCK), 0x80000000u);
    EXPECT_EQ(word(5, DE_SUBALLOC_HEADS + 4), 281u);
    EXPECT_EQ(dir->SuballocChains(), 8u);
    ASSERT_EQ(dir->WriteBack(), KW_OK);
    volume->ReleaseDir(&dir);
    nwReleaseVolume(&volume);
    disk.Close();
    const std::string bytes = disk.Bytes();
    const VolumeSpec sys = TwoPartitions().volumes[0];
    uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + DirEntryOffset(TwoPartitions(), sys, 1) + 52, 4);
    EXPECT_EQ(stored, 280u);
}

} // namespace
