// Resize limits of NetWare partitions: the size range, the split of a new
// size into redirection area, data area and trailing sectors, mirror
// members, and the checks of a plan's segment limits.
#include "engine/host/engine.h"
#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_segment.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <memory>

using namespace kwtest::nw;
using namespace kw::netware;
using kwtest::kCyl;

namespace {

std::unique_ptr<NETWPART_LIMITS> LimitsOf(PARTITION_INFO* pi) {
    PARTITION_LIMITS* base = nullptr;
    EXPECT_EQ(enGetResizeLimits(pi, &base, 0), KW_OK);
    auto* limits = dynamic_cast<NETWPART_LIMITS*>(base);
    EXPECT_NE(limits, nullptr);
    return std::unique_ptr<NETWPART_LIMITS>(limits);
}

} // namespace

TEST(NwLimits, TheRangeRunsFromTheSegmentsMinimumToTheRoomAndTheSplitIsAsItLies) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* hot = disk.Part(kHotStart);
    auto limits = LimitsOf(hot);
    ASSERT_NE(limits, nullptr);
    uint32_t minima = 0;
    for (NetW_Segment* s = SegmentsOf(hot); s != nullptr; s = s->nextInPartition) {
        uint32_t least = 0;
        ASSERT_EQ(GetSegmentMinimumSize(s, &least), KW_OK);
        minima += least;
    }
    EXPECT_GE(limits->GetMinSize(), 384 + 160 + minima);
    EXPECT_LT(limits->GetMinSize(), 384 + 160 + minima + kCyl);
    EXPECT_GE(limits->GetMaxSize(), hot->NumSects);
    EXPECT_EQ(limits->GetOldRedirectionSize(), 384u);
    EXPECT_EQ(limits->getOldLDASize(), (kCyl - 384) / 8 * 8);
    EXPECT_EQ(limits->getTrailingSectors(), kCyl - 384 - limits->getOldLDASize());
    // The split of the current size is the partition as it lies.
    limits->SetSize(kCyl, false);
    ASSERT_EQ(limits->GetResult(), KW_OK);
    EXPECT_EQ(limits->GetRedirectionSize(), 384u);
    EXPECT_EQ(limits->getLDASize(), limits->getOldLDASize());
    EXPECT_EQ(limits->Validate(), KW_OK);
}

// One partition of three cylinders (room for six) holding SYS, in the
// hot-fix form with `redirects` redirected blocks or in the signature form.
DiskSpec ThreeCylinders(bool hotfix, uint32_t areaBlocks, uint32_t redirects) {
    DiskSpec d;
    d.sectors = 6 * kCyl;
    PartitionSpec p;
    p.start = kHotStart;
    p.sectors = 3 * kCyl;
    p.id = kHotId;
    p.hotfix = hotfix;
    p.areaBlocks = areaBlocks;
    for (uint32_t b = 21; p.redirects.size() < redirects; ++b)
        if (b % 8 != 4) // 28, 36 and 44 hold the tables
            p.redirects.push_back({b, 8000 + 8 * b});
    d.partitions = {p};
    VolumeSpec sys;
    sys.name = "SYS";
    sys.segments = {{0, 160, 300}};
    sys.files = {{"a.dat", 5}, {"b.dat", 70}};
    d.volumes = {sys};
    return d;
}

// A shrink takes the default area for the new size, never fewer blocks
// than the entries in use + 1 and never more than the area had; a grow
// keeps the area.
TEST(NwLimits, TheHotfixAreaFollowsTheDefaultWithinItsUseAndItsOldSize) {
    struct Case {
        const char* what;
        uint32_t areaBlocks;
        uint32_t redirects;
        uint32_t newSize;
        uint32_t area;
    } cases[] = {
        // 4,016 blocks of 4 KB: the default is 81 blocks.
        {"shrink: the default", 100, 0, 2 * kCyl, 81 * 8},
        // 24 system blocks, 60 redirected and 1 more.
        {"shrink: the entries in use", 100, 60, 2 * kCyl, 85 * 8},
        {"shrink: never above the old area", 64, 0, 2 * kCyl, 64 * 8},
        // 4,800 blocks: a default of 96 blocks, 32 sectors below the old
        // area, would put a volume table of the new origin on one of the old.
        {"shrink: the volume tables of both origins apart", 100, 0, 38400, 97 * 8},
        {"grow: the old area", 100, 0, 4 * kCyl, 100 * 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NwDisk disk(BuildDisk(ThreeCylinders(true, c.areaBlocks, c.redirects)));
        ASSERT_EQ(disk.Open(), KW_OK);
        PARTITION_INFO* hot = disk.Part(kHotStart);
        hot->ulRoom = 5 * kCyl;
        auto limits = LimitsOf(hot);
        ASSERT_NE(limits, nullptr);
        limits->SetSize(c.newSize, false);
        ASSERT_EQ(limits->GetResult(), KW_OK);
        EXPECT_EQ(limits->GetSize(), c.newSize);
        EXPECT_EQ(limits->GetRedirectionSize(), c.area);
        const uint32_t trailing = (c.newSize - c.area) % 8;
        EXPECT_EQ(limits->getLDASize(), c.newSize - c.area - trailing);
        EXPECT_EQ(limits->Validate(), KW_OK);
    }
}

TEST(NwLimits, APartitionWithoutHotfixAreaKeepsA32SectorSystemArea) {
    NwDisk disk(BuildDisk(ThreeCylinders(false, 0, 0)));
    ASSERT_EQ(disk.Open(), KW_OK);
    auto limits = LimitsOf(disk.Part(kHotStart));
    ASSERT_NE(limits, nullptr);
    EXPECT_EQ(limits->GetOldRedirectionSize(), 0u);
    limits->SetSize(2 * kCyl, false);
    ASSERT_EQ(limits->GetResult(), KW_OK);
    EXPECT_EQ(limits->GetRedirectionSize(), 0u);
    EXPECT_EQ(limits->getLDASize(), (2 * kCyl - 32) / 8 * 8);
}

TEST(NwLimits, SegmentSizesRoundToTheNearestBlockWithinTheirRange) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    NetW_Segment* sys = SegmentsOf(disk.Part(kHotStart));
    struct Case {
        uint32_t asked, lowest, highest, size;
    } cases[] = {
        {1003, 0, 5000, 1000}, {1005, 0, 5000, 1008},
        {1004, 0, 5000, 1008}, // half a block rounds up
        {90, 100, 5000, 104},  // clamped up, then rounded
        {9000, 0, 4000, 4000}, // clamped down
    };
    for (const Case& c : cases) {
        NETWSI_LIMITS s(sys);
        s.lowestSize = c.lowest;
        s.highestSize = c.highest;
        s.SetSize(c.asked);
        EXPECT_EQ(s.newSize, c.size) << c.asked;
    }
    // A shrink lets the start move up by what the segment gave; the start
    // keeps its place on the block grid.
    NETWSI_LIMITS s(sys);
    s.lowestSize = 0;
    s.SetSize(s.oldSize - 800);
    EXPECT_EQ(s.highestStart, s.oldStart + 800);
    s.SetStart(s.oldStart + 3, 0);
    EXPECT_EQ(s.newStart, s.oldStart + 8);
    EXPECT_EQ((s.newStart - s.oldStart) % 8, 0u);
}

// Plans whose segments overlap, run past the data area or start inside the
// volume-table zone are refused.
TEST(NwLimits, SegmentPlansOutsideTheirNeighboursAreInvalid) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* hot = disk.Part(kHotStart);
    NetW_Segment* sys = SegmentsOf(hot);
    NetW_Segment* data = sys->nextInPartition;
    auto limits = LimitsOf(hot);
    ASSERT_NE(limits, nullptr);
    limits->SetSize(kCyl, false);
    struct Case {
        const char* what;
        uint32_t start, size;
        kwRet rc;
    } cases[] = {
        {"as it lies", 160, sys->getSectorsInSegment(), KW_OK},
        {"shrunk in place", 160, 800, KW_OK},
        {"inside the volume-table zone", 152, 800, ERR_NW_SEGMENT_LIMITS},
        {"over the next segment", 168, sys->getSectorsInSegment(), ERR_NW_SEGMENT_LIMITS},
    };
    for (const Case& c : cases) {
        auto* s = new NETWSI_LIMITS(sys);
        s->newStart = c.start;
        s->newSize = c.size;
        limits->SetSegmentLimits(sys->EntryIndex(), s);
        EXPECT_EQ(limits->Validate(), c.rc) << c.what;
    }
    limits->DeleteSegmentLimits();
    auto* last = new NETWSI_LIMITS(data);
    last->newStart = limits->getLDASize() - 8;
    last->newSize = 16;
    limits->SetSegmentLimits(data->EntryIndex(), last);
    EXPECT_EQ(limits->Validate(), ERR_NW_SEGMENT_LIMITS) << "past the data area";
}
