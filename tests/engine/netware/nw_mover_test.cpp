// The NetWare block mover: runs split around redirected blocks on both
// passes, its buffers from the memory budget with their cap, and runs moved
// across a redirected block that survive a cut after any write.
#include "engine/netware/nw_mover.h"
#include "engine/netware/nw_redir.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

using namespace kwtest::nw;
using namespace kw::netware;

namespace {

constexpr uint32_t kAreaBlock = 21;
constexpr uint32_t kReplacement = kAreaBlock * 8;

uint32_t Home(const DiskSpec& d) {
    return PartitionSectorOf(d, d.volumes[0], 6, kHotStart);
}

// SYS's block 6 (inside a.dat) redirected into area block 21; its home reads
// as damage ('B').
DiskSpec Redirected() {
    DiskSpec d = TwoPartitions();
    d.partitions[0].redirects = {{kAreaBlock, Home(d) - 384}};
    return d;
}

std::string Sector(const std::string& disk, uint32_t partitionSector) {
    return disk.substr((uint64_t{kHotStart} + partitionSector) * kSector, kSector);
}

// What the partition holds at a sector once redirection is taken into account.
std::string Logical(const std::string& disk, uint32_t s, uint32_t home) {
    return s >= home && s < home + 8 ? Sector(disk, kReplacement + s - home) : Sector(disk, s);
}

// A mover with a few block buffers and the partition's area on the side asked.
struct Mover {
    explicit Mover(PARTITION_INFO* pi, bool source, bool target) : area(pi) {
        EXPECT_EQ(area.Initialise(), KW_OK);
        EXPECT_EQ(mover.AllocJobs(16), KW_OK);
        for (auto& b : buffers)
            mover.AddBuffer(b, sizeof b);
        EXPECT_EQ(mover.SetSourceRedirection(source ? &area : nullptr), KW_OK);
        EXPECT_EQ(mover.SetTargetRedirection(target ? &area : nullptr), KW_OK);
    }
    RedirectionArea area;
    NWMover mover;
    uint8_t buffers[16][8 * kSector] = {};
};

} // namespace

TEST(NwMover, RunsAreSplitAroundARedirectedBlock) {
    const DiskSpec spec = Redirected();
    const uint32_t home = Home(spec);
    struct Case {
        const char* what;
        uint32_t first; // run start, relative to the home block
        uint32_t count;
        uint32_t pieces; // the index's split of the run
    } cases[] = {
        {"middle block redirected: before, replacement, after", 0u - 8, 24, 3},
        {"starting inside the block: its rest, then the rest", 3, 13, 2},
        {"ending inside the block", 0u - 4, 6, 2},
        {"no redirected block in the run", 16, 16, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NwDisk disk(BuildDisk(spec));
        ASSERT_EQ(disk.Open(), KW_OK);
        const std::string before = disk.Bytes();
        Mover m(disk.Part(kHotStart), true, false);
        const uint32_t first = home + c.first;
        uint32_t pieces = 0;
        for (uint32_t s = first, left = c.count, run = 0; left != 0;
             s += run, left -= run, ++pieces)
            m.mover.MapSector(false, s, left, &run);
        EXPECT_EQ(pieces, c.pieces);
        // Read through redirection, written without: the target holds what
        // the partition logically holds at the source.
        const uint32_t target = home + 800;
        uint32_t moved = 0;
        kwhandle h = 0;
        ASSERT_EQ(kwLogOpen(disk.Part(kHotStart), &h), KW_OK);
        ASSERT_EQ(m.mover.MoveRun(h, first, target, c.count, &moved), KW_OK);
        kwLogClose(h);
        EXPECT_EQ(moved, c.count);
        const std::string after = disk.Bytes();
        for (uint32_t i = 0; i < c.count; ++i)
            ASSERT_EQ(Sector(after, target + i), Logical(before, first + i, home)) << i;
    }
}

TEST(NwMover, WritesOverARedirectedBlockGoToItsReplacement) {
    const DiskSpec spec = Redirected();
    const uint32_t home = Home(spec);
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    const std::string before = disk.Bytes();
    Mover m(disk.Part(kHotStart), false, true);
    const uint32_t source = home + 800;
    kwhandle h = 0;
    ASSERT_EQ(kwLogOpen(disk.Part(kHotStart), &h), KW_OK);
    uint32_t moved = 0;
    ASSERT_EQ(m.mover.MoveRun(h, source, home - 5, 20, &moved), KW_OK);
    kwLogClose(h);
    const std::string after = disk.Bytes();
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_EQ(Logical(after, home - 5 + i, home), Sector(before, source + i)) << i;
    for (uint32_t s = home; s < home + 8; ++s)
        EXPECT_EQ(Sector(after, s), Sector(before, s)) << "the bad home was written";
}

// A run moved down over itself across the redirected block: after a cut at
// any write, every sector of the run reads (through redirection) either its
// old content at the source or at the target, and a count from the moving
// end says which.
TEST(NwMover, ACutAfterAnyWriteLeavesEachSectorAtSourceOrTarget) {
    const DiskSpec spec = Redirected();
    const uint32_t home = Home(spec);
    const uint32_t source = home - 20, target = home - 40, count = 64;
    std::vector<kwtest::DiskEvent> log;
    NwDisk disk(BuildDisk(spec));
    disk.Record(&log);
    ASSERT_EQ(disk.Open(), KW_OK);
    const std::string before = disk.Bytes();
    {
        Mover m(disk.Part(kHotStart), true, true);
        kwhandle h = 0;
        ASSERT_EQ(kwLogOpen(disk.Part(kHotStart), &h), KW_OK);
        uint32_t moved = 0;
        ASSERT_EQ(m.mover.MoveRun(h, source, target, count, &moved), KW_OK);
        kwLogClose(h);
    }
    ASSERT_FALSE(log.empty());
    kwtest::ForEachCutState(before, log, [&](const std::string& state, size_t k) {
        // Moving down, the bottom goes first: sectors [0, done) are at the
        // target, the rest still at the source.
        uint32_t done = 0;
        while (done < count &&
               Logical(state, target + done, home) == Logical(before, source + done, home))
            ++done;
        for (uint32_t i = done; i < count; ++i)
            ASSERT_EQ(Logical(state, source + i, home), Logical(before, source + i, home))
                << "cut after write " << k << ", sector " << i;
    });
    const std::string after = disk.Bytes();
    for (uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(Logical(after, target + i, home), Logical(before, source + i, home)) << i;
}

TEST(NwMover, BuffersComeFromTheBudgetCappedAt64MiB) {
    NWMover mover;
    ASSERT_EQ(mover.AllocBuffers(1u << 20, 0, 4096), KW_OK);
    ASSERT_GT(mover.BufferCount(), 0u);
    EXPECT_LE(uint64_t{mover.BufferCount()} << 20, kMaxMoverBufferBytes);
    EXPECT_EQ(mover.RecordCount(), mover.BufferCount() * 256);
    // Every record holds a block buffer: a full pool of jobs can be queued.
    uint32_t taken = 0;
    while (mover.GetFreeBuffer() != nullptr)
        ++taken;
    EXPECT_EQ(taken, mover.RecordCount());
    // A reserve the budget cannot leave, and one buffer above the cap.
    EXPECT_EQ(mover.AllocBuffers(1u << 20, 0xFFF00000u, 4096), ERR_NO_MEMORY);
    EXPECT_EQ(mover.BufferCount(), 0u);
    EXPECT_EQ(mover.AllocBuffers(kMaxMoverBufferBytes * 2, 0, 4096), ERR_BAD_ARGUMENT);
}

TEST(NwMover, CountsOnlyJobsAPassWillTransfer) {
    NWMover mover;
    ASSERT_EQ(mover.AllocBuffers(64 * 1024, 0, 4096), KW_OK);
    MOVER_JOB* a = mover.GetFreeBuffer();
    MOVER_JOB* b = mover.GetFreeBuffer();
    a->source = 100;
    a->count = 8;
    mover.QueueJob(a);
    mover.QueueJob(b); // neither source nor target
    EXPECT_EQ(mover.CountJobs(), 1u);
}

TEST(NwMoverDeathTest, ABufferThatIsNoWholeNumberOfBlocksIsAProgrammingError) {
    NWMover mover;
    EXPECT_DEATH(mover.AllocBuffers(6000, 0, 4096), "ulMemBlockSize % ulBytesPerBlock");
}
