// Planning a redirection area resize: evacuating the blocks the area loses,
// moving replacement blocks out of a new layout's table blocks, and the
// checks made before anything is written.
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_redir_resize.h"
#include "engine/netware/nw_segment.h"
#include "kwbytes.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace kwtest::nw;
using namespace kw::netware;
using kwtest::kCyl;

namespace {

// The hot partition of TwoPartitions: 48 area blocks, of which 0-19, 20,
// 28, 36 and 44 are system blocks; redirected blocks as given.
struct Area {
    explicit Area(std::vector<uint32_t> redirectedBlocks) {
        DiskSpec spec = TwoPartitions();
        for (uint32_t b : redirectedBlocks)
            spec.partitions[0].redirects.push_back({b, 8000 + 8 * b});
        disk = std::make_unique<NwDisk>(BuildDisk(spec));
        EXPECT_EQ(disk->Open(), KW_OK);
        pi = disk->Part(kHotStart);
        area = std::make_unique<RedirectionArea>(pi);
        EXPECT_EQ(area->Initialise(), KW_OK);
        EXPECT_EQ(area->LoadTables(), KW_OK);
        remap.assign(Table()->Entries(), 0);
    }
    RedirectTable* Table() const { return area->Redirects(); }

    std::unique_ptr<NwDisk> disk;
    PARTITION_INFO* pi = nullptr;
    std::unique_ptr<RedirectionArea> area;
    std::vector<uint32_t> remap;
};

} // namespace

TEST(NwAreaPlan, EvacuationGivesEachRedirectedBlockTheLowestFreeEntryOutside) {
    Area a({40, 41, 45});
    // Shrinking to 40 blocks: entries 40-47 go.
    ASSERT_EQ(nwEvacuateRange(a.Table(), 40, 47, a.remap.data()), KW_OK);
    EXPECT_EQ(a.remap[40], 21u);
    EXPECT_EQ(a.remap[41], 22u);
    EXPECT_EQ(a.remap[45], 23u);
    for (uint32_t i : {21u, 22u, 23u, 42u, 43u, 46u, 47u})
        EXPECT_EQ(a.Table()->Get(i), kRedirReserved) << i;
    EXPECT_EQ(a.Table()->Get(44), kRedirSystem);
    nwReleaseRange(a.Table(), 40, 47);
    EXPECT_EQ(a.Table()->Get(42), kRedirFree);
    EXPECT_EQ(a.Table()->Get(21), kRedirReserved) << "outside the range: kept";
    EXPECT_EQ(nwEvacuateRange(a.Table(), 30, 29, a.remap.data()), ERR_NW_BAD_RANGE);
}

TEST(NwAreaPlan, EvacuationWithoutRoomChangesNothing) {
    // Every free entry below 40 is in use: 21-27, 29-35, 37-39 (17 entries).
    std::vector<uint32_t> used;
    for (uint32_t b = 21; b < 48; ++b)
        if (b != 28 && b != 36 && b != 44)
            used.push_back(b);
    Area a(used);
    std::vector<uint32_t> before;
    for (uint32_t i = 0; i < a.Table()->Entries(); ++i)
        before.push_back(a.Table()->Get(i));
    EXPECT_EQ(nwEvacuateRange(a.Table(), 40, 47, a.remap.data()), ERR_NW_NO_ROOM_TO_RESIZE_REDIR);
    for (uint32_t i = 0; i < a.Table()->Entries(); ++i)
        EXPECT_EQ(a.Table()->Get(i), before[i]) << i;
    EXPECT_EQ(a.remap, std::vector<uint32_t>(a.remap.size(), 0));
}

// A new layout that puts a table block on block 21: its replacement block
// moves to the first free entry, past the entries in use behind it.
TEST(NwAreaPlan, BlocksInTheNewTablePlacesMoveToTheFirstFreeEntry) {
    struct Case {
        const char* what;
        std::vector<uint32_t> redirected;
        kwRet rc;
        uint32_t target;
    } cases[] = {
        {"free entry right behind", {21}, KW_OK, 22},
        {"entries in use and system blocks passed over", {21, 22, 23, 24, 25, 26, 27}, KW_OK, 29},
        {"no free entry left",
         {21, 22, 23, 24, 25, 26, 27, 29, 30, 31, 32, 33,
          34, 35, 37, 38, 39, 40, 41, 42, 43, 45, 46, 47},
         ERR_NW_NO_ROOM_TO_RESIZE_REDIR,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Area a(c.redirected);
        uint8_t header[kSectorBytes];
        std::memcpy(header, a.area->Header(), kSectorBytes);
        kwbytes::StoreLe32(header + HF_TABLES + 4, 21 * 8); // error table on block 21
        EXPECT_EQ(nwPlanLayoutMoves(a.Table(), header, a.remap.data(), a.Table()->Entries()), c.rc);
        if (c.rc != KW_OK)
            continue;
        EXPECT_EQ(a.remap[21], c.target);
        EXPECT_EQ(a.Table()->Get(c.target), kRedirReserved);
        for (uint32_t i = 0; i < a.remap.size(); ++i)
            EXPECT_EQ(a.remap[i], i == 21 ? c.target : 0u) << i;
    }
}

// The area may only grow while the volume-table zone behind its new end
// stays before the first segment; checked before anything is written.
TEST(NwAreaPlan, AResizeIsRefusedBeforeAnyWriteWhenItWouldReachTheFirstSegment) {
    struct Case {
        const char* what;
        uint32_t firstSegmentStart; // from the origin
        uint32_t newSize;
        kwRet rc;
    } cases[] = {
        {"shrink", 160, 31 * 8, KW_OK},
        {"grow into the free run before the segment", 320, 384 + 160, KW_OK},
        {"grow past the segment's start", 320, 384 + 168, ERR_NW_SEGMENT_LIMITS},
        {"grow with the segment right behind the zone", 160, 384 + 8, ERR_NW_SEGMENT_LIMITS},
        {"not whole blocks", 160, 300, ERR_BAD_ARGUMENT},
        {"too small for the header copies", 160, 96, ERR_BAD_ARGUMENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DiskSpec spec = TwoPartitions();
        spec.volumes[0].segments[0].start = c.firstSegmentStart;
        spec.volumes[0].segments[0].blocks = 200;
        NwDisk disk(BuildDisk(spec));
        ASSERT_EQ(disk.Open(), KW_OK);
        const std::string before = disk.Bytes();
        RedirectionArea area(disk.Part(kHotStart));
        ASSERT_EQ(area.Initialise(), KW_OK);
        EXPECT_EQ(nwCheckAreaResize(&area, c.newSize, SegmentsOf(disk.Part(kHotStart))), c.rc);
        EXPECT_TRUE(disk.Bytes() == before);
    }
    // Redirected blocks that the smaller area cannot hold.
    std::vector<uint32_t> used;
    for (uint32_t b = 21; b < 40; ++b)
        if (b != 28 && b != 36)
            used.push_back(b);
    Area a(used);
    EXPECT_EQ(nwCheckAreaResize(a.area.get(), 31 * 8, SegmentsOf(a.pi)),
              ERR_NW_NO_ROOM_TO_RESIZE_REDIR);
}

namespace {

// The hot partition alone, SYS at `sysStart` (from the origin) with blocks
// 6 and 7 redirected into area blocks 21 and 45.
DiskSpec RedirectedSys(uint32_t sysStart) {
    DiskSpec d = TwoPartitions();
    d.sectors = 2 * kCyl;
    d.partitions.resize(1);
    d.volumes.resize(1);
    d.volumes[0].segments[0].start = sysStart;
    d.volumes[0].segments[0].blocks = 240;
    for (auto [areaBlock, block] : {std::pair{21u, 6u}, std::pair{45u, 7u}})
        d.partitions[0].redirects.push_back(
            {areaBlock, PartitionSectorOf(d, d.volumes[0], block, kHotStart) - 384});
    return d;
}

// The area size in the newest hot-fix header copy, read from the bytes.
uint32_t AreaSize(const std::string& bytes) {
    uint32_t size = 0, best = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint64_t at = (uint64_t{kHotStart} + 0x20 * (i + 1)) * kSector;
        const auto* header = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        const uint32_t counter = kwbytes::LoadLe16(header + 14);
        if (bytes.compare(at, 8, "HOTFIX00") == 0 && counter > best) {
            best = counter;
            size = kwbytes::LoadLe32(header + 24);
        }
    }
    return size;
}

std::vector<std::string> Findings(const std::string& bytes) {
    NwWalker walker(bytes);
    std::vector<std::string> all;
    if (walker.Volumes() != std::vector<std::string>{"SYS"})
        all.push_back("SYS not found");
    for (const std::string& f : walker.Check("SYS"))
        all.push_back(f);
    return all;
}

kwRet Resize(NwDisk* disk, uint32_t newSize) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(disk->Part(kHotStart), &fs, FS_OPEN_SHARED, 0);
    if (rc != KW_OK)
        return rc;
    auto* volume = dynamic_cast<NETWPART_VOLUME*>(fs);
    rc = volume != nullptr ? volume->Init() : ERR_FS_NOT_SUPPORTED;
    if (rc == KW_OK)
        rc = nwResizeRedirectionArea(volume, newSize);
    CloseFileSystem(&fs);
    return rc;
}

struct ResizeCase {
    const char* what;
    uint32_t sysStart;
    uint32_t newSize;
};
const ResizeCase kResizes[] = {
    {"shrink, a replacement block evacuated", 160, 31 * 8},
    {"shrink a little", 160, 47 * 8},
    {"grow into the free run before SYS", 400, 384 + 200},
};

} // namespace

TEST(NwAreaResize, TheAreaTakesItsNewSizeWithEveryBlockWhereItsVolumeSays) {
    for (const ResizeCase& c : kResizes) {
        SCOPED_TRACE(c.what);
        NwDisk disk(BuildDisk(RedirectedSys(c.sysStart)));
        ASSERT_EQ(disk.Open(), KW_OK);
        ASSERT_TRUE(Findings(disk.Bytes()).empty());
        ASSERT_EQ(Resize(&disk, c.newSize), KW_OK);
        EXPECT_EQ(disk.Part(kHotStart)->ulLDABeginSector, c.newSize);
        disk.Close();
        EXPECT_EQ(AreaSize(disk.Bytes()), c.newSize);
        EXPECT_EQ(Findings(disk.Bytes()), std::vector<std::string>{});
        // Reopened, the engine finds its volumes and both redirections.
        ASSERT_EQ(disk.Open(), KW_OK);
        EXPECT_EQ(disk.Part(kHotStart)->ulLDABeginSector, c.newSize);
        RedirectionArea area(disk.Part(kHotStart));
        ASSERT_EQ(area.Initialise(), KW_OK);
        ASSERT_EQ(area.LoadTables(), KW_OK);
        EXPECT_EQ(area.Redirects()->RedirectedBlocks(), 2u);
    }
}

// A cut after any write, or a failing write, leaves the old area or the new
// one, each with every volume sound.
TEST(NwAreaResize, ACutOrAFailedWriteLeavesTheOldAreaOrTheNew) {
    for (const ResizeCase& c : kResizes) {
        SCOPED_TRACE(c.what);
        const std::string original = BuildDisk(RedirectedSys(c.sysStart));
        std::vector<kwtest::DiskEvent> log;
        {
            NwDisk disk(original);
            disk.Record(&log);
            ASSERT_EQ(disk.Open(), KW_OK);
            ASSERT_EQ(Resize(&disk, c.newSize), KW_OK);
        }
        size_t writes = 0;
        kwtest::ForEachCutState(original, log, [&](const std::string& state, size_t k) {
            writes = k;
            const uint32_t size = AreaSize(state);
            EXPECT_TRUE(size == 384 || size == c.newSize) << "cut after write " << k;
            EXPECT_EQ(Findings(state), std::vector<std::string>{}) << "cut after write " << k;
        });
        ASSERT_GT(writes, 0u);
        for (size_t k = 1; k <= writes; ++k) {
            NwDisk disk(original);
            ASSERT_EQ(disk.Open(k), KW_OK);
            const kwRet rc = Resize(&disk, c.newSize);
            disk.Close();
            const uint32_t size = AreaSize(disk.Bytes());
            EXPECT_TRUE(size == 384 || size == c.newSize) << "write " << k << " failed";
            EXPECT_EQ(rc == KW_OK, size == c.newSize) << "write " << k << " failed";
            EXPECT_EQ(Findings(disk.Bytes()), std::vector<std::string>{}) << "write " << k;
        }
    }
}
