// The records of a NetWare partition read and written by the engine: header
// copies chosen by their counters, volume-table copies merged, the
// signature sector, the redirection and error tables, regions and ids.
#include "engine/core/statemap.h"
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_redtab.h"
#include "engine/netware/nw_region.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_services.h"
#include "engine/netware/nw_vtable.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/support/mbr_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace kwtest::nw;
using namespace kw::netware;
using kwtest::kCyl;

namespace {

constexpr uint32_t kStart = kCyl;

void Put32(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

void Put32Raw(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One hot-fix partition with one small volume.
DiskSpec OnePartition(bool hotfix = true) {
    DiskSpec d;
    d.sectors = 3 * kCyl;
    PartitionSpec p;
    p.start = kStart;
    p.sectors = kCyl;
    p.hotfix = hotfix;
    p.id = 0x11110000;
    d.partitions.push_back(p);
    VolumeSpec v;
    v.name = "SYS";
    v.segments = {{0, 160, 100}};
    v.files = {{"a.dat", 3}};
    d.volumes.push_back(v);
    return d;
}

uint64_t HotfixCopy(uint32_t i) {
    return (uint64_t{kStart} + 0x20 + 0x20 * i) * kSector;
}

struct HeaderCase {
    const char* what;
    uint16_t counters[4];
    int chosen; // -1: none counts
};

class HeaderCopies : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCopies, TheNewestUsableCopyIsCurrent) {
    const HeaderCase& c = GetParam();
    std::string bytes = BuildDisk(OnePartition());
    for (uint32_t i = 0; i < 4; ++i) {
        Put32(bytes, HotfixCopy(i) + 8, 0xA0 + i); // each copy names itself
        bytes[HotfixCopy(i) + 14] = static_cast<char>(c.counters[i]);
        bytes[HotfixCopy(i) + 15] = static_cast<char>(c.counters[i] >> 8);
    }
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    uint8_t head[44];
    ASSERT_EQ(nwReadHotfixHeader(disk.Part(kStart), head, 44), KW_OK);
    uint32_t id = 0;
    std::memcpy(&id, head + 8, 4);
    EXPECT_EQ(id, c.chosen < 0 ? 0u : 0xA0u + uint32_t(c.chosen)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Counters, HeaderCopies,
    ::testing::Values(HeaderCase{"highest, first of equals", {3, 5, 5, 4}, 1},
                      HeaderCase{"counter 0 is never taken", {0, 0, 0, 0}, -1},
                      HeaderCase{"1 follows 65535 after a wrap", {65535, 1, 65534, 0}, 1},
                      HeaderCase{"a lone copy", {0, 0, 0, 9}, 3}));

TEST(HeaderCopies, CopiesWithAnInconsistentBlockSizeOrAreaDoNotCount) {
    // Copy 2 has the highest counter but claims what its partition cannot hold.
    const std::pair<const char*, std::function<void(std::string&, uint64_t)>> damage[] = {
        {"no sectors per block", [](std::string& b, uint64_t at) { b[at + 16] = 0; }},
        {"three sectors per block", [](std::string& b, uint64_t at) { b[at + 16] = 3; }},
        {"complement disagrees", [](std::string& b, uint64_t at) { b[at + 17] = 0; }},
        {"area past the partition",
         [](std::string& b, uint64_t at) { Put32(b, at + 24, 2 * kCyl); }},
        {"area below the headers", [](std::string& b, uint64_t at) { Put32(b, at + 24, 64); }},
        {"no table descriptor", [](std::string& b, uint64_t at) { Put32(b, at + 28, 0); }},
        {"table outside the area", [](std::string& b, uint64_t at) { Put32(b, at + 32, 5000); }},
    };
    for (const auto& [what, poke] : damage) {
        SCOPED_TRACE(what);
        std::string bytes = BuildDisk(OnePartition());
        bytes[HotfixCopy(2) + 14] = 7;
        Put32(bytes, HotfixCopy(2) + 8, 0xBAD);
        poke(bytes, HotfixCopy(2));
        NwDisk disk(bytes);
        ASSERT_EQ(disk.Open(), KW_OK);
        uint8_t head[44];
        ASSERT_EQ(nwReadHotfixHeader(disk.Part(kStart), head, 44), KW_OK);
        uint32_t id = 0;
        std::memcpy(&id, head + 8, 4);
        EXPECT_EQ(id, 0x11110000u);
        EXPECT_EQ(disk.Part(kStart)->ulLDABeginSector, 384u);
    }
}

TEST(HeaderCopies, ARewriteAfterCounter65535IsNotLost) {
    std::string bytes = BuildDisk(OnePartition());
    for (uint32_t i = 0; i < 4; ++i) {
        bytes[HotfixCopy(i) + 14] = static_cast<char>(0xFF);
        bytes[HotfixCopy(i) + 15] = static_cast<char>(0xFF);
    }
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    RedirectionArea area(disk.Part(kStart));
    ASSERT_EQ(area.Initialise(), KW_OK);
    area.SetPartitionId(0x12345678);
    ASSERT_EQ(area.WriteHotfixHeader(), KW_OK);
    EXPECT_EQ(NextCounter(0xFFFF), 1);
    RedirectionArea again(disk.Part(kStart));
    ASSERT_EQ(again.Initialise(), KW_OK);
    EXPECT_EQ(again.PartitionId(), 0x12345678u);
}

// Volume tables: four copies merged entry by entry.
struct TableDisk {
    std::string bytes = BuildDisk(OnePartition());
    uint64_t Copy(uint32_t k) const { return VolumeTableOffset(OnePartition().partitions[0], k); }
    void Sync(uint32_t k, uint32_t entry, uint32_t sync) {
        Put32(bytes, Copy(k) + 32 + 60 * entry + 16, sync);
    }
};

kwRet ReadTables(NwDisk& disk, uint8_t* out) {
    PartHandle handle;
    kwRet rc = handle.Open(disk.Part(kStart));
    return rc != KW_OK ? rc : nwReadVolumeTables(handle, 384, out);
}

uint32_t EntrySync(const uint8_t* table, uint32_t entry) {
    uint32_t v = 0;
    std::memcpy(&v, table + 32 + 60 * entry + 16, 4);
    return v;
}

TEST(VolumeTables, CopiesMergeByTheLargerSyncValue) {
    TableDisk t;
    const uint32_t syncs[4] = {5, 7, 7, 6};
    for (uint32_t k = 0; k < 4; ++k) {
        t.Sync(k, 0, syncs[k]);
        t.bytes[t.Copy(k) + 32 + 1] = static_cast<char>('A' + k); // name says the copy
    }
    // Copies 0 and 1 name 2 entries; copy 2 names 3 and a newer third entry.
    Put32(t.bytes, t.Copy(2) + 16, 3);
    t.Sync(2, 2, 9);
    NwDisk disk(t.bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    uint8_t table[512];
    ASSERT_EQ(ReadTables(disk, table), KW_OK);
    EXPECT_EQ(table[33], 'B');
    EXPECT_EQ(EntrySync(table, 0), 7u);
    EXPECT_EQ(EntrySync(table, 2), 9u);
    EXPECT_EQ(table[16], 1); // the count of the first valid copy
}

TEST(VolumeTables, InvalidCopiesAreSkippedAndAReadErrorEndsTheWalk) {
    TableDisk t;
    t.bytes[t.Copy(0)] = 'X';
    t.bytes[t.Copy(1)] = 'X';
    t.Sync(3, 0, 50);
    {
        NwDisk disk(t.bytes);
        ASSERT_EQ(disk.Open(), KW_OK);
        uint8_t table[512];
        ASSERT_EQ(ReadTables(disk, table), KW_OK);
        EXPECT_EQ(EntrySync(table, 0), 50u); // copy 2 taken, copy 3 merged
    }
    t.bytes[t.Copy(2)] = 'X';
    t.bytes[t.Copy(3)] = 'X';
    NwDisk none(t.bytes);
    ASSERT_EQ(none.Open(), KW_OK);
    uint8_t table[512];
    EXPECT_EQ(ReadTables(none, table), ERR_NW_NO_VOLUME_TABLE);
    none.Faults()->FailReadAt(t.Copy(3) / kSector);
    EXPECT_EQ(ReadTables(none, table), ERR_READ_FAULT);
}

TEST(VolumeTables, ACountPastEightIsClampedWhenMergingAndRefusedWhenBuilding) {
    TableDisk t;
    Put32(t.bytes, t.Copy(1) + 16, 200); // a later copy that names 200 entries
    for (uint32_t k = 0; k < 4; ++k)
        t.Sync(k, 0, k + 1);
    {
        NwDisk disk(t.bytes);
        ASSERT_EQ(disk.Open(), KW_OK);
        uint8_t table[512];
        ASSERT_EQ(ReadTables(disk, table), KW_OK);
        EXPECT_EQ(EntrySync(table, 0), 4u);
        EXPECT_NE(disk.Part(kStart)->si, nullptr);
    }
    for (uint32_t k = 0; k < 4; ++k)
        Put32(t.bytes, t.Copy(k) + 16, 9);
    NwDisk disk(t.bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    EXPECT_EQ(disk.Part(kStart)->si, nullptr);
    NetW_Segment* head = nullptr;
    EXPECT_EQ(CreateSegmentList(disk.Part(kStart), &head), ERR_NW_SEGMENT_COUNT);
    EXPECT_EQ(head, nullptr);
}

TEST(VolumeTables, TheSignatureFormKeepsItsTablesAt64To160) {
    DiskSpec spec = OnePartition(false);
    std::string bytes = BuildDisk(spec);
    for (uint32_t k = 0; k < 4; ++k)
        EXPECT_EQ(VolumeTableOffset(spec.partitions[0], k) / kSector - kStart, 64u + 32 * k);
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* pi = disk.Part(kStart);
    EXPECT_EQ(pi->ulLDABeginSector, 32u);
    EXPECT_EQ(pi->ulSerial, 0x11110000u);
    EXPECT_NE(pi->si, nullptr);
    disk.Close();
    // A signature that names no size is no partition description.
    Put32(bytes, uint64_t{kStart} * kSector + 20, 0);
    NwDisk zero(bytes);
    ASSERT_EQ(zero.Open(), KW_OK);
    NetW_Segment* head = nullptr;
    EXPECT_EQ(CreateSegmentList(zero.Part(kStart), &head), ERR_NW_BAD_REDIRECT_AREA);
}

// Redirection tables with three descriptors: primary, error and their copies.
std::string ThreeDescriptors() {
    std::string bytes = BuildDisk(OnePartition());
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t d = 1; d < 3; ++d)
            for (uint32_t f = 0; f < 4; ++f)
                Put32(bytes, HotfixCopy(i) + 28 + 16 * d + 4 * f, 160 + 8 * d + 64 * f);
    return bytes;
}

TEST(RedirectionTables, ThreeDescriptorsReadThreeBlocksFallingBackToTheCopy) {
    NwDisk disk(ThreeDescriptors());
    ASSERT_EQ(disk.Open(), KW_OK);
    RedirectionArea area(disk.Part(kStart));
    ASSERT_EQ(area.Initialise(), KW_OK);
    RedirectTable table(disk.Part(kStart), area.Header());
    ASSERT_EQ(table.Initialise(true), KW_OK);
    EXPECT_EQ(table.TableBytes(), 3u * 4096);
    disk.Faults()->FailReadAt(kStart + 168); // the second block's primary
    EXPECT_EQ(table.Read(0, 0), KW_OK);
    EXPECT_EQ(table.Read(kTablePrimaryOnly, 0), ERR_READ_FAULT);
    EXPECT_EQ(table.Read(kTableCopyOnly, 0), KW_OK);
    EXPECT_EQ(table.Get(0), kRedirSystem);
    EXPECT_EQ(table.Get(47), kRedirFree);
}

TEST(RedirectionTables, WritesTakePrimariesOnlyOrReportAFailedCopyAtTheEnd) {
    NwDisk disk(ThreeDescriptors());
    ASSERT_EQ(disk.Open(), KW_OK);
    RedirectionArea area(disk.Part(kStart));
    ASSERT_EQ(area.Initialise(), KW_OK);
    ErrorTable table(disk.Part(kStart), area.Header());
    ASSERT_EQ(table.Initialise(true), KW_OK);
    uint64_t before = disk.Faults()->WritesSeen();
    EXPECT_EQ(table.Write(kTablePrimaryOnly, 0), KW_OK);
    EXPECT_EQ(disk.Faults()->WritesSeen() - before, 3u);
    disk.Faults()->FailWriteNumber(disk.Faults()->WritesSeen() + 2); // the first copy
    before = disk.Faults()->WritesSeen();
    EXPECT_EQ(table.Write(0, 0), ERR_WRITE_FAULT);
    EXPECT_EQ(disk.Faults()->WritesSeen() - before, 6u);
}

TEST(RedirectionTables, CountsAddUpAndRedirectedEntriesFollowTheSystemBlocks) {
    DiskSpec spec = OnePartition();
    spec.partitions[0].redirects = {{21, 160}, {22, 168}};
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    RedirectionArea area(disk.Part(kStart));
    ASSERT_EQ(area.Initialise(), KW_OK);
    ASSERT_EQ(area.LoadTables(), KW_OK);
    RedirectTable* t = area.Redirects();
    EXPECT_EQ(t->SystemBlocks(), 24u); // blocks 0-19 and four table blocks
    EXPECT_EQ(t->RedirectedBlocks(), 2u);
    EXPECT_EQ(t->SystemBlocks() + t->RedirectedBlocks() + t->FreeBlocks(), t->Entries());
    EXPECT_EQ(t->FirstRedirected(), 21u);
    EXPECT_EQ(t->RedirectedEnd(), 23u);
    t->Set(21, 0);
    t->Set(22, 0);
    EXPECT_EQ(t->RedirectedBlocks(), 0u);
    EXPECT_EQ(t->SystemBlocks() + t->FreeBlocks(), t->Entries());
    // Sector 384 + 160 is redirected to area block 21.
    uint32_t sector = 0;
    RedirectionArea fresh(disk.Part(kStart));
    ASSERT_EQ(fresh.Initialise(), KW_OK);
    ASSERT_EQ(fresh.RedirectedSector(384 + 163, &sector), KW_OK);
    EXPECT_EQ(sector, 21u * 8 + 3);
}

TEST(Regions, FreeSpaceAndTheIntegrityCheck) {
    PARTITION_INFO a;
    PARTITION_INFO b;
    FreeSpace run(&a, 100, 50);
    EXPECT_EQ(run.SetPartition(&b), &a);
    EXPECT_EQ(run.GetSectorsPerBlock(), 1u);
    STATE_MAP map;
    ASSERT_EQ(map.Create(200, false), KW_OK);
    EXPECT_EQ(run.MarkUsed(&map, 3), KW_OK);
    EXPECT_EQ(map.CountSet(0, 199, ~0u), 0u);
    FreeSpace next(&b, 150, 10);
    run.next = &next;
    next.previous = &run;
    EXPECT_EQ(run.checkIntegrity(nullptr), KW_OK); // touching end to start
    EXPECT_EQ(next.checkIntegrity(nullptr), KW_OK);
    next.SetStartSector(149);
    EXPECT_EQ(run.checkIntegrity(nullptr), ERR_NW_BAD_REGION);
    EXPECT_EQ(next.checkIntegrity(nullptr), ERR_NW_BAD_REGION);
}

TEST(PartitionIds, DosDateAndTimeAndTheLargestIdOnTheMachine) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-11 10:20:59 UTC: seconds above 58 count as 58.
    const std::time_t when = 1796984459;
    uint16_t date = 0;
    uint16_t time = 0;
    nwMakeDosDateTime(when, &date, &time);
    EXPECT_EQ(date, ((2026 - 1980) * 16 + 12) * 32 + 11);
    EXPECT_EQ(time, (10 * 64 + 20) * 32 + 29);
    EXPECT_EQ(nwNewPartitionId(when), uint32_t{date} << 16 | time);
    DiskSpec spec = OnePartition();
    spec.partitions[0].id = 0xFFFFFFF0;
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    EXPECT_EQ(nwNewPartitionId(0), 0xFFFFFFFAu);
}

TEST(Segments, ListsKeepTheirOrderAndRefuseBadIndexesAndOverlaps) {
    uint8_t entry[60] = {};
    entry[20] = 3;
    auto make = [&](uint32_t start, uint32_t size, int32_t index) {
        Put32Raw(entry + 24, start);
        Put32Raw(entry + 28, size);
        return new NetW_Segment(nullptr, entry, index);
    };
    NetW_Segment* head = nullptr;
    NetW_Segment* eight = make(0, 8, 8);
    EXPECT_EQ(InsertPartitionSegment(eight, &head), ERR_NW_SEGMENT_COUNT);
    EXPECT_EQ(head, nullptr);
    NetW_Segment* first = make(100, 40, 0);
    NetW_Segment* same = make(100, 0, 1);
    NetW_Segment* overlap = make(60, 50, 2);
    ASSERT_EQ(InsertPartitionSegment(first, &head), KW_OK);
    ASSERT_EQ(InsertPartitionSegment(same, &head), KW_OK);
    EXPECT_EQ(head, first);
    EXPECT_EQ(first->nextInPartition, same);
    EXPECT_EQ(InsertPartitionSegment(overlap, &head), ERR_NW_SEGMENT_START);
    EXPECT_EQ(CountSegments(head), 2u);
    // Names: 15 characters kept, the display form adds the position.
    SetSegmentVolumeName(first, "ABCDEFGHIJKLMNOPQRST");
    char name[32];
    GetSegmentVolumeName(first, name);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(first->Byte(SE_NAME_LENGTH), 15);
    first->SetByte(SE_POSITION, 1);
    SetSegmentVolumeName(first, "VOL1");
    GetSegmentDisplayName(first, name);
    EXPECT_STREQ(name, "VOL1(1)");
    // A segment of 1,003 sectors in 8-sector blocks has 125 blocks.
    first->SetSectorCount(1003);
    EXPECT_EQ(first->getBlocksInSegment(), 125u);
    for (uint8_t shift : {2, 3, 7, 8}) {
        first->SetByte(SE_BLOCK_SHIFT, shift);
        EXPECT_EQ(CheckSegmentEntry(first, nullptr),
                  shift == 3 || shift == 7 ? KW_OK : ERR_NW_BLOCK_SHIFT);
    }
    DeleteSegmentList(&head);
    delete eight;
    delete overlap;
}

} // namespace

namespace {

TEST(NewAreas, DefaultSizesFollowThePartitionSize) {
    const std::pair<uint32_t, uint32_t> blocks[] = {
        {30, 0},      {31, 31},     {1549, 31},    {1550, 31},
        {25599, 512}, {25600, 512}, {262144, 985}, {26214400, 6175},
    };
    for (auto [partitionBlocks, areaBlocks] : blocks)
        EXPECT_EQ(DefaultAreaSectors(partitionBlocks * 8), areaBlocks * 8) << partitionBlocks;
}

// A blank partition of one cylinder: 2,008 blocks, so a default area of 41.
std::string Blank() {
    std::string disk(size_t{3} * kCyl * kSector, '\0');
    std::vector<uint8_t> e = kwtest::MakeEntry(0x65, kStart, kCyl, kStart);
    std::memcpy(disk.data() + 446, e.data(), e.size());
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    return disk;
}

TEST(NewAreas, ACreatedAreaReadsBackWithItsTablesInPlace) {
    NwDisk disk(Blank());
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* pi = disk.Part(kStart);
    EXPECT_EQ(RedirectionArea::Create(pi, 3, 0, 0), ERR_BAD_ARGUMENT);
    EXPECT_EQ(RedirectionArea::Create(pi, 8, 64, 0), ERR_NW_NO_TABLE_ROOM);
    ASSERT_EQ(RedirectionArea::Create(pi, 8, 0, 0), KW_OK);
    RedirectionArea area(pi);
    ASSERT_EQ(area.Initialise(), KW_OK);
    EXPECT_EQ(area.GetSectorCount(), 41u * 8);
    EXPECT_EQ(area.DataAreaSectors(), (kCyl & ~7u) - 41 * 8);
    EXPECT_EQ(area.MirrorPartitionId(), area.PartitionId());
    // The fourth table sector does not fit at 352: it takes the first free
    // block from 160 up.
    uint32_t sectors[4];
    std::memcpy(sectors, area.Header() + 28, sizeof sectors);
    EXPECT_EQ(std::vector<uint32_t>(sectors, sectors + 4),
              (std::vector<uint32_t>{160, 224, 288, 168}));
    ASSERT_EQ(area.LoadTables(), KW_OK);
    EXPECT_EQ(area.Redirects()->Entries(), 41u);
    EXPECT_EQ(area.Redirects()->SystemBlocks(), 24u);
    EXPECT_EQ(area.Redirects()->RedirectedBlocks(), 0u);
    bool same = false;
    EXPECT_EQ(area.Redirects()->CompareWithCopy(&same), KW_OK);
    EXPECT_TRUE(same);
    disk.Close();
    // The walker agrees on what a copy of the new partition takes.
    const std::string bytes = disk.Bytes();
    ASSERT_EQ(disk.Open(), KW_OK);
    EXPECT_EQ(disk.Part(kStart)->ulLDABeginSector, 41u * 8);
    FILESYSTEM* fs = nullptr;
    ASSERT_EQ(OpenFileSystem(disk.Part(kStart), &fs, FS_OPEN_SHARED, 0), KW_OK);
    ASSERT_EQ(fs->Init(), KW_OK); // no volume table yet: an empty one
    STATE_MAP* map = nullptr;
    ASSERT_EQ(fs->GenerateBitmap(&map, 3), KW_OK);
    const std::vector<bool> want = NwWalker(bytes).UsedSectors(kStart);
    for (uint32_t s = 0; s < kCyl; ++s)
        ASSERT_EQ(map->IsSet(s), want[s]) << s;
    delete map;
    CloseFileSystem(&fs);
}

TEST(NewAreas, ACreateCutAtAnyWriteLeavesNoAreaOrAWholeOne) {
    for (uint64_t cut = 1; cut <= 12; ++cut) {
        SCOPED_TRACE(cut);
        NwDisk disk(Blank());
        ASSERT_EQ(disk.Open(cut), KW_OK);
        RedirectionArea::Create(disk.Part(kStart), 8, 0, 0);
        disk.Close();
        ASSERT_EQ(disk.Open(), KW_OK);
        RedirectionArea area(disk.Part(kStart));
        kwRet rc = area.Initialise();
        if (rc == ERR_NW_BAD_REDIRECT_AREA)
            continue; // as before: no area
        ASSERT_EQ(rc, KW_OK);
        ASSERT_EQ(area.LoadTables(), KW_OK);
        EXPECT_EQ(area.Redirects()->SystemBlocks(), 24u);
    }
}

} // namespace
