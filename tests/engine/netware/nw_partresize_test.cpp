// NetWare partitions resized with their start kept: builder-made disks
// grown and shrunk (the redirection area, the segments in place or moved
// whole, the data area and the partition-table entry), then read back by
// the walker, which follows every file's tagged blocks; random sizes within
// the limits; a cut after every write; mirror members following their
// primary; and the checks that refuse a resize before anything is written.
#include "engine/core/statemap.h"
#include "engine/host/engine.h"
#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_partopen.h"
#include "engine/netware/nw_partresize.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"
#include "tests/support/sanitizer.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

using namespace kwtest::nw;
using namespace kw::netware;
using kwtest::kCyl;

namespace {

using FileMap = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

// A two-cylinder hot-fix partition (room for three): SYS at the front, a
// wide gap, DATA behind it, and a long tail.
DiskSpec Spread(bool hotfix = true) {
    DiskSpec d = TwoPartitions();
    d.partitions.resize(1);
    d.partitions[0].sectors = 2 * kCyl;
    d.partitions[0].hotfix = hotfix;
    VolumeSpec& data = d.volumes[1];
    data.segments = {{0, 160 + 2400 + 16000, 100}};
    data.files = {{"big", 40}, {"small", 3}};
    return d;
}

// One partition whose only segment fills most of its data area: a shrink
// must shrink the segment (at its end, within one FAT block).
DiskSpec Filled() {
    DiskSpec d;
    d.sectors = 3 * kCyl;
    PartitionSpec p;
    p.start = kHotStart;
    p.sectors = 384 + 160 + 500 * 8 + 11;
    p.id = kHotId;
    d.partitions = {p};
    VolumeSpec sys;
    sys.name = "SYS";
    sys.segments = {{0, 160, 500}};
    sys.files = {{"a.dat", 50}, {"b.dat", 90}, {"dir", 0, true}};
    d.volumes = {sys};
    return d;
}

FileMap FilesOf(const std::string& disk) {
    const NwWalker walker(disk);
    FileMap out;
    for (const std::string& v : walker.Volumes())
        out[v] = walker.Files(v);
    return out;
}

uint32_t Le32(const std::string& b, uint64_t at);

// The first partition's definition claims no sector past its entry: the
// newest hot-fix header's area and data area, or the signature sector's
// size, fit the sectors the partition table gives it.
void ExpectDefinitionFits(const std::string& disk) {
    const uint64_t start = Le32(disk, 446 + 8);
    const uint32_t sectors = Le32(disk, 446 + 12);
    const uint64_t base = start * kSector;
    uint32_t best = 0;
    uint64_t claimed = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint64_t h = base + (0x20 + 0x20 * i) * kSector;
        const uint32_t counter = Le32(disk, h + 14) & 0xFFFF;
        if (disk.compare(h, 8, "HOTFIX00") == 0 && counter > best) {
            best = counter;
            claimed = uint64_t{Le32(disk, h + 20)} + Le32(disk, h + 24);
        }
    }
    if (best == 0)
        claimed = Le32(disk, base + 20);
    EXPECT_LE(claimed, sectors);
}

// Every volume of the disk is sound to the walker and holds `files`.
void ExpectIntact(const std::string& disk, const FileMap& files) {
    ExpectDefinitionFits(disk);
    const NwWalker walker(disk);
    for (const auto& [volume, list] : files) {
        EXPECT_EQ(walker.Check(volume), std::vector<std::string>{}) << volume;
        EXPECT_EQ(walker.Files(volume), list) << volume;
    }
}

uint32_t Le32(const std::string& b, uint64_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

uint32_t EntryStart(const std::string& disk) {
    return Le32(disk, 446 + 8);
}

// The partition-table entry's sector count of the first partition.
uint32_t EntrySectors(const std::string& disk, int slot = 0) {
    return Le32(disk, 446 + 16 * slot + 12);
}

// Limits off the cylinder grid (every member of a mirror group too), so
// that sizes can be chosen to the sector.
std::unique_ptr<NETWPART_LIMITS> LimitsOf(PARTITION_INFO* pi) {
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    for (PARTITION_INFO* p = d != nullptr ? d->firstPi : nullptr; p != nullptr; p = p->next)
        p->ulCylSize = 0;
    PARTITION_LIMITS* base = nullptr;
    EXPECT_EQ(enGetResizeLimits(pi, &base, 0), KW_OK);
    return std::unique_ptr<NETWPART_LIMITS>(dynamic_cast<NETWPART_LIMITS*>(base));
}

// Resizes the partition at `start` to `size` sectors, start kept (or end
// kept); 4 when the limits do not take the size.
kwRet ResizeTo(NwDisk& disk, uint32_t start, uint32_t size, bool endKept = false) {
    PARTITION_INFO* pi = disk.Part(start);
    auto limits = LimitsOf(pi);
    if (limits == nullptr)
        return ERR_NO_MEMORY;
    if (endKept)
        limits->AnchorEnd();
    else
        limits->AnchorStart();
    limits->SetSize(size, false);
    if (limits->GetResult() != KW_OK)
        return limits->GetResult();
    if (endKept && limits->GetSize() != size)
        return ERR_BAD_ARGUMENT;
    OpenPartitionVolume volume(pi);
    if (volume.Result() != KW_OK)
        return volume.Result();
    return volume->ResizeWithLimits(limits.get(), false, nullptr);
}

// The engine's own volume test on every volume of the partition.
void ExpectEngineCheckPasses(const std::string& image, uint32_t start) {
    NwDisk disk(image);
    ASSERT_EQ(disk.Open(), KW_OK);
    for (NetW_Segment* s = SegmentsOf(disk.Part(start)); s != nullptr; s = s->nextInPartition) {
        NWVolume* v = nullptr;
        ASSERT_EQ(nwOpenVolume(&v, s, disk.Part(start)->ulSerial, false), KW_OK);
        EXPECT_EQ(v->Check(nullptr), KW_OK);
        nwReleaseVolume(&v);
    }
}

TEST(NwPartResize, GrowingKeepsEverySegmentAndTheDataAreaFollows) {
    for (bool hotfix : {true, false}) {
        SCOPED_TRACE(hotfix ? "hot-fix form" : "signature form");
        const DiskSpec spec = Spread(hotfix);
        std::string image = BuildDisk(spec);
        // DATA, the last segment, is 5 sectors longer than its blocks.
        const uint64_t dataSize = 32 + 60 + 28;
        for (uint32_t k = 0; k < 4; ++k)
            image[VolumeTableOffset(spec.partitions[0], k) + dataSize] += 5;
        const FileMap files = FilesOf(image);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        disk.Part(kHotStart)->ulRoom = 3 * kCyl;
        ASSERT_EQ(ResizeTo(disk, kHotStart, 3 * kCyl - 5), KW_OK);
        EXPECT_EQ(disk.Part(kHotStart)->NumSects, 3 * kCyl - 5);
        disk.Close();
        const std::string after = disk.Bytes();
        EXPECT_EQ(EntrySectors(after), 3 * kCyl - 5);
        ExpectIntact(after, files);
        // Only the last segment's tail changed: cut to whole blocks.
        EXPECT_EQ(Le32(after, VolumeTableOffset(spec.partitions[0], 0) + dataSize), 800u);
        EXPECT_EQ(Le32(after, VolumeTableOffset(spec.partitions[0], 0) + 32 + 24), 160u);
        const uint64_t base = uint64_t{kHotStart} * kSector;
        if (hotfix) // the data area: every whole 8-sector unit behind the area
            EXPECT_EQ(Le32(after, base + 0x20 * kSector + 20), (3 * kCyl - 5 - 384) / 8 * 8);
        else
            EXPECT_EQ(Le32(after, base + 20), 3 * kCyl - 5);
        ExpectEngineCheckPasses(after, kHotStart);
    }
}

TEST(NwPartResize, TheSlotResizesOnTheCylinderGridAndRefusesRunLists) {
    const std::string image = BuildDisk(Spread());
    NwDisk disk(image);
    ASSERT_EQ(disk.Open(), KW_OK);
    disk.Part(kHotStart)->ulRoom = 3 * kCyl;
    OpenPartitionVolume volume(disk.Part(kHotStart));
    ASSERT_EQ(volume.Result(), KW_OK);
    int runs = 0;
    EXPECT_EQ(volume->Resize(0, 3 * kCyl, &runs, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_EQ(volume->Resize(0, 3 * kCyl, nullptr, &runs), ERR_NOT_SUPPORTED);
    EXPECT_TRUE(disk.Bytes() == image);
    ASSERT_EQ(volume->Resize(0, 3 * kCyl - 100, nullptr, nullptr), KW_OK);
    EXPECT_EQ(disk.Part(kHotStart)->NumSects, 3 * kCyl);
}

TEST(NwPartResize, ShrinkingMovesOrShrinksTheSegmentsThatNoLongerFit) {
    struct Case {
        const char* what;
        DiskSpec spec;
        uint32_t size;
        uint32_t area; // sectors after the resize
    };
    const uint32_t filled = Filled().partitions[0].sectors;
    const Case cases[] = {
        // Only the tail goes.
        {"the tail", Spread(), 2 * kCyl - 5000, 384},
        // DATA comes down by more than its size: moved whole; the area
        // takes the default for the new size.
        {"a segment moved", Spread(), kCyl, 328},
        {"a segment moved, signature form", Spread(false), kCyl, 0},
        // SYS gives up its free end; the area shrinks to the default.
        {"a segment shrunk", Filled(), filled - 100 * 8, 248},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = BuildDisk(c.spec);
        const FileMap files = FilesOf(image);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        ASSERT_EQ(ResizeTo(disk, kHotStart, c.size), KW_OK);
        disk.Close();
        const std::string after = disk.Bytes();
        EXPECT_EQ(EntrySectors(after), c.size);
        ExpectIntact(after, files);
        const uint64_t header = uint64_t{kHotStart + 0x20} * kSector;
        if (c.area != 0) {
            EXPECT_EQ(Le32(after, header + 24), c.area);
            EXPECT_EQ(Le32(after, header + 20), (c.size - c.area) / 8 * 8);
        }
        ExpectEngineCheckPasses(after, kHotStart);
    }
}

// The limits plan a segment whose size stays and whose new run does not
// touch the old one as a move, any other change in place; segments that
// keep their place and size are not planned.
TEST(NwPartResize, ThePlanMovesWholeOrChangesInPlace) {
    struct Case {
        const char* what;
        DiskSpec spec;
        uint32_t size;
        uint32_t disposition[2]; // by entry index; KEEP: no plan
    };
    const uint32_t filled = Filled().partitions[0].sectors;
    const Case cases[] = {
        {"the same size", Spread(), 2 * kCyl, {NETWSI_LIMITS::KEEP, NETWSI_LIMITS::KEEP}},
        {"only the tail", Spread(), 2 * kCyl - 5000, {NETWSI_LIMITS::KEEP, NETWSI_LIMITS::KEEP}},
        // The area shrinks: SYS keeps its sectors, its start follows.
        {"DATA comes down", Spread(), kCyl, {NETWSI_LIMITS::IN_PLACE_START, NETWSI_LIMITS::MOVE}},
        {"SYS gives up its end", Filled(), filled - 800, {NETWSI_LIMITS::IN_PLACE_START, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NwDisk disk(BuildDisk(c.spec));
        ASSERT_EQ(disk.Open(), KW_OK);
        auto limits = LimitsOf(disk.Part(kHotStart));
        ASSERT_NE(limits, nullptr);
        limits->SetSize(c.size, false);
        ASSERT_EQ(limits->GetResult(), KW_OK);
        EXPECT_EQ(limits->Validate(), KW_OK);
        for (int32_t i = 0; i < int32_t(c.spec.volumes.size()); ++i) {
            const NETWSI_LIMITS* plan = limits->GetSegmentLimits(i);
            EXPECT_EQ(plan != nullptr ? plan->disposition : 0u, c.disposition[i]) << i;
            if (plan == nullptr)
                continue;
            // Inside the new data area, on the block grid of the new origin.
            EXPECT_LE(plan->newStart + plan->newSize, limits->getLDASize()) << i;
            EXPECT_EQ(plan->newSize % 8, 0u) << i;
            const int64_t shift =
                int64_t{limits->GetOldRedirectionSize()} - limits->GetRedirectionSize();
            EXPECT_EQ((plan->newStart - shift - plan->oldStart) % 8, 0) << i;
        }
    }
}

// One random size within the limits of the partition at `start` (its end
// kept or its start), as the limits take it (with the end kept they put the
// start on their grid), resized to. With the start kept every such size is
// made; a start move may be refused: a size the segments in the way cannot
// follow as they are (511), or a move too small to build the new system
// zone apart from the old one (1481).
void ResizeRandomly(NwDisk& disk, uint32_t start, bool endKept, std::mt19937& rng) {
    auto limits = LimitsOf(disk.Part(start));
    ASSERT_NE(limits, nullptr);
    if (endKept)
        limits->AnchorEnd();
    uint32_t size =
        std::uniform_int_distribution<uint32_t>(limits->GetMinSize(), limits->GetMaxSize())(rng);
    limits->SetSize(size, false);
    ASSERT_EQ(limits->GetResult(), KW_OK) << size;
    size = limits->GetSize();
    limits.reset();
    const kwRet rc = ResizeTo(disk, start, size, endKept);
    if (endKept)
        EXPECT_TRUE(rc == KW_OK || rc == ERR_NO_ROOM_TO_RESIZE || rc == ERR_NW_SEGMENT_LIMITS)
            << size << " " << rc;
    else
        EXPECT_EQ(rc, KW_OK) << size;
}

// Rounds of three resizes of one partition, each within the limits the
// partition as it is has: twice with the start kept, then with the end
// kept (the start moves either way). Nothing is lost; the partition-table
// entry, the record and the volumes agree.
TEST(NwPartResize, RandomSizesWithinTheLimitsKeepEveryFile) {
    for (bool hotfix : {true, false}) {
        SCOPED_TRACE(hotfix);
        DiskSpec spec = Spread(hotfix);
        spec.sectors = 5 * kCyl;
        spec.partitions[0].start = 2 * kCyl;
        const std::string image = BuildDisk(spec);
        const FileMap files = FilesOf(image);
        const int rounds = kwtest::SizedForBuild(8, 3);
        for (int seed = 1; seed <= rounds; ++seed) {
            SCOPED_TRACE(seed);
            std::mt19937 rng(seed);
            NwDisk disk(image);
            ASSERT_EQ(disk.Open(), KW_OK);
            PARTITION_INFO* record = disk.Part(2 * kCyl);
            record->ulRoom = 3 * kCyl;
            ResizeRandomly(disk, 2 * kCyl, false, rng);
            ResizeRandomly(disk, 2 * kCyl, false, rng);
            ResizeRandomly(disk, 2 * kCyl, true, rng);
            const uint32_t start = record->ulStartSect, last = record->NumSects;
            disk.Close();
            EXPECT_EQ(EntryStart(disk.Bytes()), start);
            EXPECT_EQ(EntrySectors(disk.Bytes()), last);
            ExpectIntact(disk.Bytes(), files);
            ExpectEngineCheckPasses(disk.Bytes(), start);
        }
    }
}

// Resizes the partition at `start` while recording the writes, then checks
// every state a cut after any write leaves (and the writes between two
// flushes reordered), and runs the resize again with each of a spread of
// writes failing: the partition record follows what the disk says, and
// nothing is lost in any of them.
void CheckEveryCut(const std::string& image, uint32_t start, uint32_t size, bool endKept) {
    const FileMap files = FilesOf(image);
    std::vector<kwtest::DiskEvent> log;
    uint32_t newStart = 0;
    {
        NwDisk disk(image);
        disk.Record(&log);
        ASSERT_EQ(disk.Open(), KW_OK);
        PARTITION_INFO* record = disk.Part(start);
        ASSERT_EQ(ResizeTo(disk, start, size, endKept), KW_OK);
        newStart = record->ulStartSect;
    }
    size_t writes = 0;
    kwtest::ForEachCutState(image, log, [&](const std::string& state, size_t k) {
        SCOPED_TRACE(k);
        ExpectIntact(state, files);
        writes = k;
    });
    ASSERT_GT(writes, 5u);
    kwtest::ForEachReorderedCutState(image, log,
                                     [&](const std::string& state) { ExpectIntact(state, files); });
    // A failed write ends the resize (but for a header copy, when the ones
    // written before it make the new header current).
    for (uint64_t k = 1; k <= writes; k += std::max<size_t>(1, writes / 16)) {
        SCOPED_TRACE(k);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        PARTITION_INFO* record = disk.Part(start);
        disk.Faults()->FailWriteNumber(k);
        const kwRet rc = ResizeTo(disk, start, size, endKept);
        disk.Faults()->FailWriteNumber(0);
        const uint32_t at = record->ulStartSect;
        if (rc == KW_OK) {
            EXPECT_EQ(at, newStart);
        }
        disk.Close();
        EXPECT_EQ(EntryStart(disk.Bytes()), at);
        ExpectIntact(disk.Bytes(), files);
    }
}

// Shrinks that move the area, a segment and the partition's end.
TEST(NwPartResize, ACutAfterAnyWriteLosesNothing) {
    CheckEveryCut(BuildDisk(Spread()), kHotStart, kCyl, false);
    CheckEveryCut(BuildDisk(Filled()), kHotStart, Filled().partitions[0].sectors - 800, false);
}

// A shrink deep enough that DATA changes in place with a new start (grown
// at its front, then cut at its end): the relocation passes that empty its
// end and the move of its FAT block from its stand-in to its planned place
// are each whole in every cut state (both FAT copies equal, every chain
// sound).
TEST(NwPartResize, ACutWhileASegmentChangesInPlaceWithANewStartLosesNothing) {
    CheckEveryCut(BuildDisk(Spread()), kHotStart, 2289, false);
}

// Two one-cylinder hot-fix partitions of one mirror group, each with a
// free cylinder before it, areas of `primaryArea` and 48 blocks.
constexpr uint32_t kMirrorA = 2 * kCyl;
constexpr uint32_t kMirrorB = 4 * kCyl;

DiskSpec MirrorPair(uint32_t primaryArea) {
    DiskSpec d;
    d.sectors = 6 * kCyl;
    PartitionSpec a;
    a.start = kMirrorA;
    a.sectors = kCyl;
    a.id = 0x6000A;
    a.areaBlocks = primaryArea;
    PartitionSpec b = a;
    b.start = kMirrorB;
    b.id = 0x6000B;
    b.areaBlocks = 48;
    a.mirrorMembers = b.mirrorMembers = {a.id, b.id};
    d.partitions = {a, b};
    VolumeSpec sys;
    sys.name = "SYS";
    sys.segments = {{0, 160, 100}};
    sys.files = {{"a", 4}, {"b", 9}};
    VolumeSpec mir = sys;
    mir.name = "MIR";
    mir.segments = {{1, 160, 100}};
    d.volumes = {sys, mir};
    return d;
}

TEST(NwPartResize, MirrorMembersFollowTheirPrimary) {
    const std::string image = BuildDisk(MirrorPair(48));
    const FileMap files = FilesOf(image);
    struct Case {
        uint32_t size;
        bool endKept;
    };
    for (const Case& c : {Case{2 * kCyl - 3, false}, Case{kCyl - 4000, false},
                          Case{kCyl + 4000, true}, Case{kCyl - 2000, true}}) {
        SCOPED_TRACE(c.size);
        SCOPED_TRACE(c.endKept);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        disk.Part(kMirrorA)->ulRoom = 2 * kCyl;
        disk.Part(kMirrorB)->ulRoom = 2 * kCyl;
        ASSERT_EQ(ResizeTo(disk, kMirrorA, c.size, c.endKept), KW_OK);
        disk.Close();
        const std::string after = disk.Bytes();
        // Each member moved the same way.
        const uint32_t a = c.endKept ? kMirrorA + kCyl - c.size : kMirrorA;
        const uint32_t b = c.endKept ? kMirrorB + kCyl - c.size : kMirrorB;
        EXPECT_EQ(Le32(after, 446 + 8), a);
        EXPECT_EQ(Le32(after, 446 + 16 + 8), b);
        EXPECT_EQ(EntrySectors(after, 0), c.size);
        EXPECT_EQ(EntrySectors(after, 1), c.size);
        // Both data areas alike.
        const uint64_t ha = uint64_t{a + 0x20} * kSector;
        const uint64_t hb = uint64_t{b + 0x20} * kSector;
        EXPECT_EQ(Le32(after, ha + 20), Le32(after, hb + 20));
        EXPECT_EQ(Le32(after, ha + 24), Le32(after, hb + 24));
        ExpectIntact(after, files);
        // Still one group: the flags come from the mirror headers.
        NwDisk again(after);
        ASSERT_EQ(again.Open(), KW_OK);
        ASSERT_NE(again.Part(a), nullptr);
        ASSERT_NE(again.Part(b), nullptr);
        EXPECT_EQ(again.Part(a)->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), PI2_HAS_MIRROR);
        EXPECT_EQ(again.Part(b)->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), PI2_PART_MIRROR);
    }
    // A cut anywhere in the group's resize loses nothing in either member
    // (the primary's record follows its disk when a member fails after it).
    CheckEveryCut(image, kMirrorA, kCyl - 2000, true);
}

// Checks that refuse a resize before anything is written.
TEST(NwPartResize, RefusedResizesWriteNothing) {
    struct Case {
        const char* what;
        uint32_t primaryArea;
        int heldHandles;    // partition handles taken before the resize
        bool memberShrinks; // the member's room falls below the size chosen
        uint32_t hostUses;  // 1: the primary, 2: the member has a host drive letter
        kwRet code;
    };
    const Case cases[] = {
        // The member takes the primary's larger area: its volume tables
        // would land on its first segment.
        {"a member's area over its first segment", 64, 0, false, 0, ERR_NW_SEGMENT_LIMITS},
        {"no handle left for a member", 48, 4, false, 0, ERR_BAD_HANDLE},
        {"a member cannot take the data area", 48, 0, true, 0, ERR_NO_ROOM_TO_RESIZE},
        // A partition the host uses is never written, nor its group.
        {"the primary in use by the host", 48, 0, false, 1, ERR_WRITE_PROTECTED},
        {"a member in use by the host", 48, 0, false, 2, ERR_WRITE_PROTECTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = BuildDisk(MirrorPair(c.primaryArea));
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        PARTITION_INFO* primary = disk.Part(kMirrorA);
        PARTITION_INFO* member = disk.Part(kMirrorB);
        primary->ulRoom = member->ulRoom = 2 * kCyl;
        auto limits = LimitsOf(primary);
        ASSERT_NE(limits, nullptr);
        limits->SetSize(2 * kCyl, false);
        ASSERT_EQ(limits->GetResult(), KW_OK);
        if (c.memberShrinks)
            member->ulRoom = member->NumSects;
        if (c.hostUses != 0)
            (c.hostUses == 1 ? primary : member)->ulFlags |= PI_HOST_LETTER;
        OpenPartitionVolume volume(primary);
        ASSERT_EQ(volume.Result(), KW_OK);
        std::vector<kwhandle> held(c.heldHandles);
        for (kwhandle& h : held)
            ASSERT_EQ(kwLogOpen(primary, &h), KW_OK);
        EXPECT_EQ(volume->ResizeWithLimits(limits.get(), false, nullptr), c.code);
        for (kwhandle h : held)
            kwLogClose(h);
        EXPECT_TRUE(disk.Bytes() == image);
        EXPECT_EQ(primary->NumSects, kCyl);
    }
}

TEST(NwPartResize, ASegmentMovesOnlyToAFreeRunApartFromItself) {
    const std::string image = BuildDisk(Spread());
    const FileMap files = FilesOf(image);
    NwDisk disk(image);
    ASSERT_EQ(disk.Open(), KW_OK);
    {
        PARTITION_INFO* pi = disk.Part(kHotStart);
        OpenPartitionVolume volume(pi);
        ASSERT_EQ(volume.Result(), KW_OK);
        NetW_Segment* sys = SegmentsOf(pi);
        NetW_Segment* data = sys->nextInPartition;
        const uint32_t at = data->GetStartSector();
        const uint32_t size = data->getSectorsInSegment();
        const uint32_t sysEnd = sys->GetStartSector() + sys->getSectorsInSegment();
        struct Case {
            const char* what;
            uint32_t start;
            uint32_t count;
        };
        const Case refused[] = {
            {"onto its own run", at - 8, size},
            {"too short", at - 4 * size, size - 8},
            {"onto SYS", sysEnd - 8, size},
            {"before the data area", 100, size},
            {"past the data area", pi->NumSects - size + 8, size},
        };
        for (const Case& c : refused) {
            SCOPED_TRACE(c.what);
            FreeSpace target(pi, c.start, c.count);
            EXPECT_EQ(volume->MoveSegment(data, &target, false, false), ERR_NW_REGION_INVALID);
            EXPECT_TRUE(disk.Bytes() == image);
        }
        // Right behind SYS, with the bad-sector test of the new run.
        FreeSpace target(pi, sysEnd, size);
        ASSERT_EQ(volume->MoveSegment(data, &target, true, false), KW_OK);
        EXPECT_EQ(data->GetStartSector(), sysEnd);
        // No start goes below the origin: nothing shifts.
        EXPECT_EQ(volume->ShiftSegmentStarts(-161), ERR_NW_SEGMENT_LIMITS);
        EXPECT_EQ(sys->getStartingDiskSector(), 160u);
    }
    disk.Close();
    ExpectIntact(disk.Bytes(), files);
    ExpectEngineCheckPasses(disk.Bytes(), kHotStart);
}

// A segment moved into free space of another NetWare partition: its data
// and its entry go there, the volume is whole.
TEST(NwPartResize, ASegmentMovesIntoAnotherPartition) {
    DiskSpec spec = Spread();
    PartitionSpec other;
    other.start = 3 * kCyl;
    other.sectors = kCyl;
    other.id = kSigId;
    other.hotfix = false;
    spec.partitions.push_back(other);
    const std::string image = BuildDisk(spec);
    const FileMap files = FilesOf(image);
    NwDisk disk(image);
    ASSERT_EQ(disk.Open(), KW_OK);
    {
        PARTITION_INFO* pi = disk.Part(kHotStart);
        OpenPartitionVolume volume(pi);
        ASSERT_EQ(volume.Result(), KW_OK);
        NetW_Segment* data = SegmentsOf(pi)->nextInPartition;
        FreeSpace target(disk.Part(3 * kCyl), 32 + 160 + 800, data->getSectorsInSegment());
        // Not into a partition the host uses: nothing is written.
        disk.Part(3 * kCyl)->ulFlags |= PI_HOST_LETTER;
        EXPECT_EQ(volume->MoveSegment(data, &target, false, false), ERR_WRITE_PROTECTED);
        EXPECT_TRUE(disk.Bytes() == image);
        disk.Part(3 * kCyl)->ulFlags &= ~PI_HOST_LETTER;
        ASSERT_EQ(volume->MoveSegment(data, &target, false, false), KW_OK);
        EXPECT_EQ(data->GetPartition(), disk.Part(3 * kCyl));
        EXPECT_EQ(SegmentsOf(pi)->nextInPartition, nullptr);
    }
    disk.Close();
    ExpectIntact(disk.Bytes(), files);
    const NwWalker walker(disk.Bytes());
    EXPECT_EQ(walker.Volumes(), (std::vector<std::string>{"SYS", "DATA"}));
    ExpectEngineCheckPasses(disk.Bytes(), 3 * kCyl);
    // The same move cut after every write: the segment is always named by
    // one of the two partitions.
    std::vector<kwtest::DiskEvent> log;
    {
        NwDisk again(image);
        again.Record(&log);
        ASSERT_EQ(again.Open(), KW_OK);
        PARTITION_INFO* pi = again.Part(kHotStart);
        OpenPartitionVolume volume(pi);
        ASSERT_EQ(volume.Result(), KW_OK);
        NetW_Segment* data = SegmentsOf(pi)->nextInPartition;
        FreeSpace target(again.Part(3 * kCyl), 32 + 160 + 800, data->getSectorsInSegment());
        ASSERT_EQ(volume->MoveSegment(data, &target, false, false), KW_OK);
    }
    kwtest::ForEachCutState(image, log, [&](const std::string& state, size_t k) {
        SCOPED_TRACE(k);
        ExpectIntact(state, files);
    });
}

// A partition whose volume table is full takes no further segment.
TEST(NwPartResize, ASegmentMovesIntoNoFullPartition) {
    DiskSpec spec = Spread();
    PartitionSpec other;
    other.start = 3 * kCyl;
    other.sectors = kCyl;
    other.id = kSigId;
    other.hotfix = false;
    spec.partitions.push_back(other);
    for (uint32_t i = 0; i < 8; ++i) {
        VolumeSpec v;
        v.name = "V" + std::to_string(i);
        v.segments = {{1, 160 + 600 * i, 70}};
        v.files = {{"f", 2}};
        spec.volumes.push_back(v);
    }
    const std::string image = BuildDisk(spec);
    NwDisk disk(image);
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* pi = disk.Part(kHotStart);
    OpenPartitionVolume volume(pi);
    ASSERT_EQ(volume.Result(), KW_OK);
    NetW_Segment* data = SegmentsOf(pi)->nextInPartition;
    FreeSpace target(disk.Part(3 * kCyl), 32 + 160 + 4800, data->getSectorsInSegment());
    EXPECT_EQ(volume->MoveSegment(data, &target, false, false), ERR_NW_TOO_MANY_SEGMENTS);
    EXPECT_TRUE(disk.Bytes() == image);
}

// The partition of Spread two cylinders in, with free space before it and
// `redirects` blocks of SYS redirected.
DiskSpec Behind(bool hotfix, uint32_t redirects) {
    DiskSpec d = Spread(hotfix);
    PartitionSpec& p = d.partitions[0];
    p.start = 2 * kCyl;
    for (uint32_t k = 0; k < redirects; ++k)
        p.redirects.push_back({30 + k, 160 + 8 * (10 + 7 * k)});
    return d;
}

// The start moves, the end stays: growth to the front, or a front given up
// (SYS, in the way of the new system zone, moves behind it whole).
TEST(NwPartResize, TheStartMovesWithTheSystemAreaBuiltWhereNothingLives) {
    struct Case {
        const char* what;
        bool hotfix;
        uint32_t redirects;
        int32_t growth;
        uint32_t area; // after; 0: signature form
    };
    // The split keeps the data area in whole 8-sector units: a signature
    // partition whose new size is not a multiple of 8 gets a hot-fix area.
    const int32_t cyl = int32_t(kCyl);
    const Case cases[] = {
        {"hot-fix", true, 0, cyl, 384},
        {"hot-fix with redirected blocks", true, 3, cyl + 5, 384},
        {"signature, whole units", false, 0, cyl + 5, 0},          // 48,200 sectors
        {"signature, a new hot-fix area", false, 0, cyl + 2, 200}, // 48,197
        {"hot-fix, front given up", true, 0, -4000, 384},
        {"hot-fix with redirected blocks, front given up", true, 3, -4003, 384},
        {"signature, front given up", false, 0, -4002, 0},                          // 28,128
        {"signature, front given up for a new hot-fix area", false, 0, -4000, 200}, // 28,130
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = BuildDisk(Behind(c.hotfix, c.redirects));
        const FileMap files = FilesOf(image);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        const uint32_t size = uint32_t(2 * cyl + c.growth);
        const uint32_t start = uint32_t(2 * cyl - c.growth);
        ASSERT_EQ(ResizeTo(disk, 2 * kCyl, size, true), KW_OK);
        disk.Close();
        const std::string after = disk.Bytes();
        EXPECT_EQ(EntryStart(after), start);
        EXPECT_EQ(EntrySectors(after), size);
        ExpectIntact(after, files);
        const uint64_t header = uint64_t{start + 0x20} * kSector;
        if (c.area != 0)
            EXPECT_EQ(Le32(after, header + 24), c.area);
        else
            EXPECT_EQ(Le32(after, uint64_t{start} * kSector + 20), size);
        ExpectEngineCheckPasses(after, start);
    }
}

TEST(NwPartResize, ACutWhileTheStartMovesLosesNothing) {
    for (uint32_t size : {3 * kCyl, 2 * kCyl - 4000}) {
        SCOPED_TRACE(size);
        CheckEveryCut(BuildDisk(Behind(true, 2)), 2 * kCyl, size, true);
    }
}

TEST(NwPartResize, AStartMoveItCannotMakeSafelyWritesNothing) {
    const std::string image = BuildDisk(Behind(true, 0));
    // The new area and the volume-table zone do not fit before the
    // partition, or the front given up does not hold the old ones.
    for (uint32_t size : {2 * kCyl + 400, 2 * kCyl - 300}) {
        SCOPED_TRACE(size);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        EXPECT_EQ(ResizeTo(disk, 2 * kCyl, size, true), ERR_NW_SEGMENT_LIMITS);
        EXPECT_TRUE(disk.Bytes() == image);
        EXPECT_EQ(disk.Part(2 * kCyl)->NumSects, 2 * kCyl);
    }
}

} // namespace
