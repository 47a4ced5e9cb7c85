// The sector-run mover over a memory disk whose every sector carries its own
// number: the pool and its lists, the two passes, and runs moved up and down
// by less than their length, also with a write cut off at every point.
#include "engine/fs/old_mover.h"

#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/support/mbr_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using kw::plat::FaultySectorSource;
using kw::plat::MemorySectorSource;

constexpr uint32_t kPartStart = 64;
constexpr uint32_t kPartSectors = 1024;
constexpr uint32_t kBufferSectors = 8; // one job
constexpr uint32_t kBuffers = 4;       // one batch: 32 sectors

// Sector s of the disk as first written: its number in every word.
std::string Stamp(uint32_t s) {
    std::string b(512, '\0');
    for (uint32_t i = 0; i < 512; i += 4)
        kwbytes::StoreLe32(reinterpret_cast<uint8_t*>(&b[i]), s);
    return b;
}

std::string MakeDisk() {
    std::string bytes;
    for (uint32_t s = 0; s < kPartStart + kPartSectors + 64; ++s)
        bytes += Stamp(s);
    std::memset(bytes.data() + 446, 0, 64);
    std::vector<uint8_t> e = kwtest::MakeEntry(0xDA, kPartStart, kPartSectors, kPartStart);
    std::memcpy(bytes.data() + 446, e.data(), e.size());
    bytes[510] = '\x55';
    bytes[511] = '\xAA';
    return bytes;
}

// Watches the batches of a move (the writes between two flushes): a batch
// of more than one write must not write a sector it also reads, or a disk
// that reorders its writes could lose that sector.
class BatchWatch : public kw::plat::SectorSource {
public:
    explicit BatchWatch(std::unique_ptr<kw::plat::SectorSource> inner) : inner_(std::move(inner)) {}
    std::string Name() const override { return inner_->Name(); }
    uint64_t SectorCount() const override { return inner_->SectorCount(); }
    bool Writable() const override { return true; }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        for (uint32_t i = 0; i < count; ++i)
            reads_.insert(sector + i);
        return inner_->Read(sector, buffer, count);
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        ++writes_;
        for (uint32_t i = 0; i < count; ++i)
            written_.insert(sector + i);
        return inner_->Write(sector, buffer, count);
    }
    kw::plat::DiskIoResult Flush() override {
        for (uint64_t s : written_)
            unsafe += writes_ > 1 && reads_.count(s) != 0;
        reads_.clear(), written_.clear(), writes_ = 0;
        return inner_->Flush();
    }
    int unsafe = 0;

private:
    std::unique_ptr<kw::plat::SectorSource> inner_;
    std::set<uint64_t> reads_, written_;
    int writes_ = 0;
};

class OldMover : public ::testing::Test {
protected:
    void SetUp() override { Open(MakeDisk(), 0); }
    void TearDown() override { Close(); }
    void Open(const std::string& bytes, uint64_t failWrite) {
        kw::plat::SetDiskProviderForTests([&, bytes, failWrite] {
            kw::plat::DiskScan scan;
            auto mem = std::make_unique<MemorySectorSource>("mem", bytes);
            memory_ = mem.get();
            auto f = std::make_unique<FaultySectorSource>(std::move(mem));
            f->FailWriteNumber(failWrite);
            faulty_ = f.get();
            auto watch = std::make_unique<BatchWatch>(std::move(f));
            watch_ = watch.get();
            scan.disks.push_back(std::move(watch));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        PARTITION_INFO* pi = d->firstPi;
        while (pi != nullptr && pi->ulStartSect != kPartStart)
            pi = pi->next;
        ASSERT_NE(pi, nullptr);
        ASSERT_EQ(kwLogOpen(pi, &handle_), KW_OK);
        ASSERT_EQ(mover_.AllocJobs(kBuffers), KW_OK);
        for (auto& b : buffers_) {
            b.assign(kBufferSectors * 512, 0);
            ASSERT_EQ(mover_.AddBuffer(b.data(), static_cast<uint32_t>(b.size())), 1u);
        }
    }
    void Close() {
        kwLogClose(handle_);
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    // Partition-relative sector s as the disk holds it now.
    std::string Sector(uint32_t s) const {
        return memory_->Bytes().substr((kPartStart + s) * 512, 512);
    }
    std::string Disk() const { return memory_->Bytes(); }

    OLDMOVER mover_;
    std::vector<uint8_t> buffers_[kBuffers];
    kwhandle handle_ = 0;
    MemorySectorSource* memory_ = nullptr;
    FaultySectorSource* faulty_ = nullptr;
    BatchWatch* watch_ = nullptr;
};

TEST_F(OldMover, ListsHandOutRecordsAndRunJobsInReverseOrderUnlessSorted) {
    MOVER_JOB* a = mover_.GetFreeBuffer();
    MOVER_JOB* b = mover_.GetFreeBuffer();
    MOVER_JOB* c = mover_.GetFreeBuffer();
    *a = {nullptr, 30, 0, 1, a->buffer, a->bufferSize, 0};
    *b = {nullptr, 10, 0, 1, b->buffer, b->bufferSize, 0};
    *c = {nullptr, 10, 0, 2, c->buffer, c->bufferSize, 0};
    mover_.QueueJob(a);
    mover_.QueueJob(b);
    mover_.QueueJob(c);
    EXPECT_EQ(mover_.Jobs(), c);
    EXPECT_EQ(c->next, b);
    mover_.SortBySource(); // stable: c before b, both before a
    ASSERT_EQ(mover_.Jobs(), c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, a);
    mover_.Reset();
    EXPECT_EQ(mover_.Jobs(), nullptr);
    int back = 0;
    for (MOVER_JOB* r = mover_.GetFreeBuffer(); r != nullptr; r = mover_.GetFreeBuffer(), ++back)
        EXPECT_EQ(r->source + r->target + r->count, 0u);
    EXPECT_EQ(back, 4);
    EXPECT_EQ(mover_.AddBuffer(buffers_[0].data(), 512), 0u); // every record holds a buffer
}

TEST_F(OldMover, PassesSkipSectorZeroAndStopAtTheFailingJob) {
    MOVER_JOB* reader = mover_.GetFreeBuffer();
    MOVER_JOB* nothing = mover_.GetFreeBuffer();
    reader->source = 5, reader->target = 0, reader->count = 2;
    nothing->source = 0, nothing->target = 0, nothing->count = 8;
    mover_.QueueJob(nothing);
    mover_.QueueJob(reader);
    const std::string before = Disk();
    ASSERT_EQ(mover_.ReadJobs(handle_), KW_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reader->buffer), 512), Sector(5));
    EXPECT_EQ(nothing->result, MOVER_JOB::MOVER_NOT_REACHED);
    ASSERT_EQ(mover_.WriteJobs(handle_), KW_OK);
    EXPECT_EQ(Disk(), before); // no job has a target
    EXPECT_EQ(faulty_->WritesSeen(), 0u);

    // The first job reads past the partition: the pass stops there.
    reader->source = kPartSectors - 1;
    nothing->source = 3;
    EXPECT_NE(mover_.ReadJobs(handle_), KW_OK);
    EXPECT_NE(reader->result, KW_OK);
    EXPECT_EQ(nothing->result, MOVER_JOB::MOVER_NOT_REACHED);

    // A job larger than its buffer is refused before anything is read.
    reader->source = 1;
    reader->count = kBufferSectors + 1;
    const uint64_t reads = faulty_->ReadsSeen();
    EXPECT_EQ(mover_.ReadJobs(handle_), ERR_BAD_ARGUMENT);
    EXPECT_EQ(faulty_->ReadsSeen(), reads);
}

struct RunCase {
    const char* name;
    uint32_t source, target, count;
};

// Up and down, by one sector, by one job, by several jobs, by more than a
// batch, and without overlap.
const RunCase kRuns[] = {
    {"up by one sector", 100, 101, 200},  {"down by one sector", 101, 100, 200},
    {"up by one job", 100, 108, 200},     {"down by one job", 108, 100, 200},
    {"up by three jobs", 100, 124, 203},  {"down by three jobs", 124, 100, 203},
    {"up by two batches", 100, 164, 200}, {"down by two batches", 164, 100, 200},
    {"up, apart", 100, 400, 200},         {"down, apart", 400, 100, 200},
};

// The disk after the run moved: its target holds the source's sectors, the
// rest of the disk is as before.
std::string Expected(const std::string& before, const RunCase& r) {
    std::string after = before;
    for (uint32_t i = 0; i < r.count; ++i)
        after.replace((kPartStart + r.target + i) * 512, 512,
                      before.substr((kPartStart + r.source + i) * 512, 512));
    return after;
}

TEST_F(OldMover, RunsMoveWholeWhateverTheOverlap) {
    for (const RunCase& r : kRuns) {
        SCOPED_TRACE(r.name);
        Close();
        Open(MakeDisk(), 0);
        const std::string before = Disk();
        uint32_t moved = 0;
        ASSERT_EQ(mover_.MoveRun(handle_, r.source, r.target, r.count, &moved), KW_OK);
        EXPECT_EQ(moved, r.count);
        EXPECT_TRUE(Disk() == Expected(before, r));
        EXPECT_EQ(watch_->unsafe, 0);
    }
}

// Cut at every write: the sectors counted as moved are at their target, all
// others still at their source, and moving the rest finishes the move.
TEST_F(OldMover, RunCutAtAnyWriteIsFinishedByMovingTheRest) {
    for (const RunCase& r : kRuns) {
        Close();
        Open(MakeDisk(), 0);
        const std::string before = Disk();
        uint32_t moved = 0;
        ASSERT_EQ(mover_.MoveRun(handle_, r.source, r.target, r.count, &moved), KW_OK);
        const uint64_t writes = faulty_->WritesSeen();
        const bool up = r.target > r.source;
        for (uint64_t k = 1; k <= writes; ++k) {
            SCOPED_TRACE(std::string(r.name) + ", write " + std::to_string(k));
            Close();
            Open(before, k);
            ASSERT_NE(mover_.MoveRun(handle_, r.source, r.target, r.count, &moved), KW_OK);
            ASSERT_LT(moved, r.count);
            const uint32_t rest = r.count - moved;
            const uint32_t firstMoved = up ? rest : 0; // offsets [firstMoved, +moved) moved
            for (uint32_t i = 0; i < r.count; ++i) {
                const bool done = i >= firstMoved && i < firstMoved + moved;
                const uint32_t at = done ? r.target + i : r.source + i;
                ASSERT_EQ(Sector(at), Stamp(kPartStart + r.source + i)) << "offset " << i;
            }
            const uint32_t from = up ? 0 : moved;
            uint32_t again = 0;
            ASSERT_EQ(mover_.MoveRun(handle_, r.source + from, r.target + from, rest, &again),
                      KW_OK);
            EXPECT_EQ(again, rest);
            ASSERT_TRUE(Disk() == Expected(before, r));
        }
    }
}

TEST_F(OldMover, RunsTouchingSectorZeroOrWithoutBuffersAreRefused) {
    uint32_t moved = 0;
    EXPECT_EQ(mover_.MoveRun(handle_, 0, 10, 5, &moved), ERR_BAD_ARGUMENT);
    EXPECT_EQ(mover_.MoveRun(handle_, 10, 0, 5, &moved), ERR_BAD_ARGUMENT);
    OLDMOVER empty;
    EXPECT_EQ(empty.MoveRun(handle_, 10, 20, 5, &moved), ERR_NO_MEMORY);
    EXPECT_EQ(faulty_->WritesSeen(), 0u);
}

} // namespace
