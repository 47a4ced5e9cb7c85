// Blocks of builder-made volumes relocated by a remap: the walker finds every
// file's blocks (by their tags) where the FAT and directory now say, the
// system block numbers follow in every segment entry, bad remaps and passes
// that cannot move anything end cleanly, and a cut or failed write at any
// point loses no file's data.
#include "engine/core/statemap.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_reloc.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

using namespace kwtest::nw;
using namespace kw::netware;

namespace {

using Moves = std::vector<std::pair<uint32_t, uint32_t>>;

// A volume of the two-partition disk opened, with its FAT's window on one
// segment.
struct Opened {
    NWVolume* volume = nullptr;
    NWFat* fat = nullptr;
    NetW_Segment* segment = nullptr;

    kwRet Open(NwDisk& disk, uint32_t partition, int index) {
        segment = SegmentsOf(disk.Part(partition));
        for (int i = 0; i < index; ++i)
            segment = segment->nextInPartition;
        kwRet rc = nwOpenVolume(&volume, segment, kHotId, false);
        if (rc == KW_OK)
            rc = volume->GetFat(&fat);
        if (rc == KW_OK)
            fat->SetSearchRange(segment->getFirstBlockInSegment(),
                                uint32_t(segment->getLastBlockInSegment()));
        return rc;
    }
    // The remap of the moves, free targets reserved.
    std::vector<uint32_t> Remap(const Moves& moves) {
        std::vector<uint32_t> remap(fat->getNumEntries(), 0);
        for (auto [from, to] : moves) {
            remap[from] = to;
            if (fat->IsFree(to))
                fat->SetEntry(to, 0, kReservedLink);
        }
        return remap;
    }
    void Close() {
        if (fat != nullptr)
            volume->ReleaseFat(&fat);
        if (volume != nullptr)
            nwReleaseVolume(&volume);
    }
};

uint32_t DirWord(const std::string& bytes, const VolumeSpec& v, uint32_t entry, uint32_t at) {
    uint32_t w = 0;
    std::memcpy(&w, bytes.data() + DirEntryOffset(TwoPartitions(), v, entry) + at, 4);
    return w;
}

// SYS: blocks 0-1 FAT, 64 its mirror; directory 1-2, mirror 3-4 (the
// builder takes free blocks in order), a.dat from 5, b.dat from 10.
const VolumeSpec kSys = TwoPartitions().volumes[0];

// Heads of files, the first FAT and directory blocks, direct and parked.
Moves SysMoves() {
    Moves m = {{0, 200}, {1, 201}, {5, 202}, {12, 203}, {13, 204}};
    m.push_back({20, 21}); // a swap: parked
    m.push_back({21, 20});
    m.push_back({30, 31}); // a cycle of three
    m.push_back({31, 32});
    m.push_back({32, 30});
    return m;
}

TEST(NwRelocation, BlocksMoveAndEveryReferenceFollows) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    const auto files = NwWalker(disk.Bytes()).Files("SYS");
    const uint32_t aHead = DirWord(disk.Bytes(), kSys, 1, 52);
    ASSERT_EQ(aHead, 5u);
    Opened sys;
    ASSERT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
    ASSERT_EQ(sys.volume->FirstFatBlock(), 0u);
    ASSERT_EQ(sys.volume->FirstDirBlock(), 1u);
    std::vector<uint32_t> remap = sys.Remap(SysMoves());
    ASSERT_EQ(RelocateSegmentBlocks(sys.segment, remap.data()), KW_OK);
    EXPECT_EQ(CountRemappedBlocks(remap.data(), 0, sys.fat->getNumEntries() - 1), 0u);
    EXPECT_EQ(sys.volume->FirstFatBlock(), 200u);
    EXPECT_EQ(sys.volume->FirstDirBlock(), 201u);
    for (uint32_t old : {0u, 1u, 5u, 12u, 13u})
        EXPECT_TRUE(sys.fat->IsFree(old)) << old;
    sys.Close();
    disk.Close();
    const NwWalker after(disk.Bytes());
    EXPECT_EQ(after.Check("SYS"), std::vector<std::string>{});
    EXPECT_EQ(after.Files("SYS"), files);
    EXPECT_EQ(after.Check("DATA"), std::vector<std::string>{});
}

TEST(NwRelocation, ARedirectedBlockIsReadFromItsReplacement) {
    // a.dat's second block (6) stands in area block 21; its home is damaged.
    DiskSpec spec = TwoPartitions();
    const uint32_t home = PartitionSectorOf(spec, spec.volumes[0], 6, kHotStart);
    spec.partitions[0].redirects = {{21, home - 384}};
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    const auto files = NwWalker(disk.Bytes()).Files("SYS");
    ASSERT_EQ(files.at("a.dat").at(1), BlockTag("SYS", 6));
    Opened sys;
    ASSERT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
    std::vector<uint32_t> remap = sys.Remap({{5, 210}, {6, 211}, {7, 212}, {8, 213}, {9, 214}});
    ASSERT_EQ(RelocateSegmentBlocks(sys.segment, remap.data()), KW_OK);
    sys.Close();
    disk.Close();
    EXPECT_EQ(NwWalker(disk.Bytes()).Files("SYS"), files);
    EXPECT_EQ(NwWalker(disk.Bytes()).Check("SYS"), std::vector<std::string>{});
}

TEST(NwRelocation, AMovedFatBlockIsNamedInTheSegmentEntriesOfEveryPartition) {
    DiskSpec spec = TwoPartitions();
    spec.volumes[1].files = {{"big", 150}, {"small", 3}}; // free blocks in DATA's first segment
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    const auto files = NwWalker(disk.Bytes()).Files("DATA");
    Opened data;
    ASSERT_EQ(data.Open(disk, kHotStart, 1), KW_OK);
    ASSERT_EQ(data.volume->FirstFatBlock(), 0u);
    std::vector<uint32_t> remap = data.Remap({{0, 190}});
    ASSERT_EQ(RelocateSegmentBlocks(data.segment, remap.data()), KW_OK);
    data.Close();
    disk.Close();
    const NwWalker after(disk.Bytes());
    EXPECT_EQ(after.Check("DATA"), std::vector<std::string>{});
    EXPECT_EQ(after.Files("DATA"), files);
    NwDisk again(disk.Bytes());
    ASSERT_EQ(again.Open(), KW_OK);
    int named = 0;
    for (uint32_t start : {kHotStart, kSigStart})
        for (NetW_Segment* s = SegmentsOf(again.Part(start)); s != nullptr; s = s->nextInPartition)
            if (s->Byte(SE_NAME) == 'D') {
                EXPECT_EQ(s->Field(SE_FAT), 190u) << start;
                ++named;
            }
    EXPECT_EQ(named, 2);
}

TEST(NwRelocation, BlocksMoveInASignatureFormPartition) {
    // DATA's second segment lies in the partition without a redirection
    // area: "small" (blocks 254-256) moves up.
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    const auto files = NwWalker(disk.Bytes()).Files("DATA");
    Opened data;
    ASSERT_EQ(data.Open(disk, kSigStart, 0), KW_OK);
    // Free targets need not be reserved by the caller.
    std::vector<uint32_t> remap(data.fat->getNumEntries(), 0);
    remap[254] = 300;
    remap[255] = 301;
    remap[256] = 302;
    ASSERT_EQ(RelocateSegmentBlocks(data.segment, remap.data()), KW_OK);
    EXPECT_TRUE(data.fat->IsFree(254) && data.fat->HeadsChain(300));
    data.Close();
    disk.Close();
    EXPECT_EQ(NwWalker(disk.Bytes()).Check("DATA"), std::vector<std::string>{});
    EXPECT_EQ(NwWalker(disk.Bytes()).Files("DATA"), files);
}

TEST(NwRelocation, BadRemapsAndPassesThatCannotMoveEndCleanlyWithTheDiskAsItWas) {
    struct Case {
        const char* what;
        Moves moves;
        std::pair<uint32_t, uint32_t> window;
        kwRet code;
    };
    const Case cases[] = {
        {"two blocks to one target", {{5, 200}, {6, 200}}, {0, 299}, ERR_NW_BAD_REMAP},
        {"onto data that stays", {{5, 6}}, {0, 299}, ERR_NW_BAD_REMAP},
        {"outside the window", {{5, 250}}, {0, 200}, ERR_NW_BAD_REMAP},
        // A swap in a window without a free block to park in.
        {"no room to park", {{20, 21}, {21, 20}}, {10, 40}, ERR_NO_ROOM_TO_RESIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NwDisk disk(BuildDisk(TwoPartitions()));
        ASSERT_EQ(disk.Open(), KW_OK);
        const std::string before = disk.Bytes();
        Opened sys;
        ASSERT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
        sys.fat->SetSearchRange(c.window.first, c.window.second);
        std::vector<uint32_t> remap = sys.Remap(c.moves);
        const std::vector<uint32_t> planned = remap;
        EXPECT_EQ(RelocateSegmentBlocks(sys.segment, remap.data()), c.code);
        EXPECT_EQ(remap, planned);
        EXPECT_TRUE(disk.Bytes() == before);
        sys.Close();
    }
}

TEST(NwRelocation, MoverBuffersComeFromHalfTheBudgetUpTo64MiB) {
    const uint32_t one = 2 * (kMoverReserveBytes + kMoverBufferBytes);
    EXPECT_EQ(MoverBufferCount(0), 0u);
    EXPECT_EQ(MoverBufferCount(one - 2), 0u);
    EXPECT_EQ(MoverBufferCount(one), 1u);
    EXPECT_EQ(MoverBufferCount(0xFFFFFFFF), 1024u);
}

// The run of SysMoves with its writes recorded.
std::string RecordedRun(const std::string& image, std::vector<kwtest::DiskEvent>* log) {
    NwDisk disk(image);
    disk.Record(log);
    EXPECT_EQ(disk.Open(), KW_OK);
    EXPECT_TRUE(log->empty()); // opening writes nothing: the write numbers are the run's
    Opened sys;
    EXPECT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
    std::vector<uint32_t> remap = sys.Remap(SysMoves());
    EXPECT_EQ(RelocateSegmentBlocks(sys.segment, remap.data()), KW_OK);
    sys.Close();
    disk.Close();
    return disk.Bytes();
}

// Every cut state is a whole volume, the one before a pass or after it: the
// FAT's copies agree and every block is in its chain or free (the walker's
// and the engine's checks), and every file keeps its data. Heads, FAT
// blocks, a swap and a cycle move, so the directory and the system block
// numbers change with the passes.
TEST(NwRelocation, ACutAfterAnyWriteLeavesTheVolumeBeforeOrAfterAPass) {
    const std::string image = BuildDisk(TwoPartitions());
    const auto files = NwWalker(image).Files("SYS");
    std::vector<kwtest::DiskEvent> log;
    const std::string done = RecordedRun(image, &log);
    ASSERT_GT(log.size(), 20u);
    size_t states = 0;
    kwtest::ForEachCutState(image, log, [&](const std::string& state, size_t k) {
        SCOPED_TRACE(k);
        const NwWalker walker(state);
        ASSERT_EQ(walker.Files("SYS"), files);
        EXPECT_EQ(walker.Check("SYS"), std::vector<std::string>{});
        NwDisk disk(state);
        ASSERT_EQ(disk.Open(), KW_OK);
        Opened sys;
        ASSERT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
        EXPECT_EQ(sys.volume->Check(nullptr), KW_OK);
        sys.Close();
        ++states;
    });
    EXPECT_EQ(NwWalker(done).Check("SYS"), std::vector<std::string>{});
    EXPECT_GT(states, 20u);
}

// A failed write puts its pass back: the volume on disk is sound (as before
// the pass) and the engine's table is the disk's.
TEST(NwRelocation, AFailedWritePutsThePassBackAndLeavesTheTableAsTheDiskHasIt) {
    const std::string image = BuildDisk(TwoPartitions());
    const auto files = NwWalker(image).Files("SYS");
    std::vector<kwtest::DiskEvent> log;
    RecordedRun(image, &log);
    const size_t writes = size_t(
        std::count_if(log.begin(), log.end(), [](const kwtest::DiskEvent& e) { return !e.flush; }));
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE(k);
        NwDisk disk(image);
        ASSERT_EQ(disk.Open(), KW_OK);
        Opened sys;
        ASSERT_EQ(sys.Open(disk, kHotStart, 0), KW_OK);
        std::vector<uint32_t> remap = sys.Remap(SysMoves());
        disk.Faults()->FailWriteNumber(k);
        const kwRet rc = RelocateSegmentBlocks(sys.segment, remap.data());
        disk.Faults()->FailWriteNumber(0);
        EXPECT_NE(rc, KW_OK);
        // What the engine holds is what the disk holds.
        const NwWalker walker(disk.Bytes());
        const auto fat = walker.Fat("SYS", nullptr);
        ASSERT_EQ(fat.size(), sys.fat->getNumEntries());
        for (uint32_t b = 0; b < fat.size(); ++b)
            ASSERT_TRUE(fat[b].value == sys.fat->Value(b) && fat[b].link == sys.fat->Link(b)) << b;
        EXPECT_EQ(walker.Files("SYS"), files);
        EXPECT_EQ(walker.Check("SYS"), std::vector<std::string>{});
        sys.Close();
    }
}

} // namespace
