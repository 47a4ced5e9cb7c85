// Carrying out maps of cluster moves on FAT volumes made by mkfs.fat,
// filled by mtools and fragmented (every other file deleted, then refilled):
// fsck.fat, the mdir listing and every file's bytes read back by mtools are
// the oracle; a dry run must leave every byte; and a run cut off after each
// of its writes must leave every file whole.
#include "tests/engine/fat/fat_move_fixture.h"

using namespace fatmove;

namespace {

TEST_P(FatMove, MovesKeepEveryFileAndPassFsck) {
    const MoveCase& c = GetParam();
    MakeVolume(c);
    ASSERT_TRUE(kwtest::FsckClean(image_));
    std::string before = Contents(image_);
    kwtest::FatListing listing = kwtest::MdirListing(image_);
    Open(nullptr);
    std::unique_ptr<MOVE_MAP> map = MakeMap(c.plan);
    uint32_t moves = map->CountMoves();
    ASSERT_GT(moves, 50u);
    // The clusters that must end up free: the sources that no move targets.
    std::set<uint32_t> vacated;
    for (uint32_t s = 2; s < map->GetEntryCount(); ++s)
        if (map->GetTarget(s) != 0)
            vacated.insert(s);
    for (uint32_t s = 2; s < map->GetEntryCount(); ++s)
        vacated.erase(map->GetTarget(s));
    EXECUTOR_FAT executor(fat_);
    ASSERT_EQ(executor.Execute(map.get(), true, false), KW_OK);
    EXPECT_EQ(executor.Stats().direct, moves);
    EXPECT_EQ(map->CountMoves(), 0u);
    if (c.plan == Plan::Shuffle) {
        EXPECT_GT(executor.Stats().cycles, 0u);
    }
    for (uint32_t s : vacated)
        EXPECT_EQ(fat_->GetFat()->GetNextCluster(s), 0u) << s;
    Close();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image_, &report)) << report;
    EXPECT_EQ(Contents(image_), before);
    EXPECT_EQ(kwtest::MdirListing(image_), listing);
}

// A dry run plans and relinks in memory: it reports the same work and
// leaves every byte of the volume as it was.
TEST_P(FatMove, DryRunWritesNothing) {
    const MoveCase& c = GetParam();
    std::vector<kwtest::DiskEvent> log;
    OpenKept(c, &log);
    std::unique_ptr<MOVE_MAP> map = MakeMap(c.plan);
    uint32_t moves = map->CountMoves();
    EXECUTOR_FAT executor(fat_);
    ASSERT_EQ(executor.Execute(map.get(), true, true), KW_OK);
    EXPECT_EQ(executor.Stats().direct, moves);
    EXPECT_TRUE(log.empty()) << log.size() << " writes";
    // The volume reads the disk again: its FAT is the one on disk.
    std::unique_ptr<MOVE_MAP> again = MakeMap(c.plan);
    EXPECT_EQ(again->CountMoves(), moves);
    Close();
    EXPECT_TRUE(Unchanged());
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatMove,
                         ::testing::Values(MoveCase{"fat12_evacuate", 12, 4096, 2, Plan::Evacuate},
                                           MoveCase{"fat12_shuffle", 12, 4096, 2, Plan::Shuffle},
                                           MoveCase{"fat16_evacuate", 16, 20480, 1, Plan::Evacuate},
                                           MoveCase{"fat16_shuffle", 16, 20480, 4, Plan::Shuffle},
                                           MoveCase{"fat32_evacuate", 32, 40960, 1, Plan::Evacuate},
                                           MoveCase{"fat32_shuffle", 32, 40960, 1, Plan::Shuffle}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every fault of a map is found before anything is written.
TEST_F(FatMoveFaults, BadMapsAreRefusedBeforeAnyWrite) {
    std::vector<kwtest::DiskEvent> log;
    OpenKept(MoveCase{"faults", 16, 20480, 4, Plan::Evacuate}, &log);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    const FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t used = fat.FindNextUsed(3), used2 = fat.FindNextUsed(used + 1);
    uint32_t free = fat.FindNextFree(2), free2 = fat.FindNextFree(free + 1);
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, uint32_t>> moves;
    } cases[] = {
        {"a free source", {{free, free2}}},
        {"a target past the last cluster", {{used, b.LastCluster() + 1}}},
        {"two moves into one target", {{used, free}, {used2, free}}},
        {"a target held by a cluster that stays", {{used, used2}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        MOVE_MAP map(b.LastCluster() + 1);
        for (auto [from, to] : k.moves)
            ASSERT_EQ(map.SetTarget(from, to), KW_OK);
        EXECUTOR_FAT executor(fat_);
        EXPECT_EQ(executor.Execute(&map, true, false), ERR_FAT_MOVE_MAP_INVALID);
    }
    MOVE_MAP empty(b.LastCluster() + 1);
    EXECUTOR_FAT executor(fat_);
    EXPECT_EQ(executor.Execute(&empty, true, false), KW_OK);
    EXPECT_EQ(executor.Execute(nullptr, true, false), ERR_BAD_ARGUMENT);
    MOVE_MAP small(b.LastCluster());
    small.SetTarget(used, free);
    EXPECT_EQ(executor.Execute(&small, true, false), ERR_BAD_ARGUMENT);
    EXPECT_TRUE(log.empty()) << log.size() << " writes";
    Close();
    EXPECT_TRUE(Unchanged());
}

// Cut after each write of a safe run: every file reads back whole (mtools
// reads the first FAT), and the volume is either clean or holds only what
// fsck.fat -a puts right without touching a file (clusters no entry
// reaches, FAT copies in different steps).
TEST_F(FatMoveFaults, CutAtAnyWriteKeepsEveryFile) {
    MakeVolume(MoveCase{"cut", 16, 4096, 1, Plan::Shuffle});
    std::string base = kwtest::ReadHost(image_);
    std::string before = Contents(image_);
    std::vector<kwtest::DiskEvent> log;
    Open(&log);
    // Some fifty moves over folders and files.
    std::unique_ptr<MOVE_MAP> map = MakeMap(Plan::Shuffle, 60);
    FAT_DIR_BLOCKS* dirs = nullptr;
    ASSERT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
    uint32_t folders = 0;
    for (uint32_t s = 2; s < map->GetEntryCount(); ++s)
        folders += map->GetTarget(s) != 0 && dirs->DirClusters().IsSet(s) ? 1 : 0;
    EXPECT_GT(folders, 0u);
    EXECUTOR_FAT executor(fat_);
    ASSERT_EQ(executor.Execute(map.get(), true, false), KW_OK);
    EXPECT_GT(executor.Stats().cycles, 0u);
    Close();
    fs::path cut = dir_ / "cut.img";
    size_t writes = 0, unclean = 0;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t k) {
        SCOPED_TRACE("cut after write " + std::to_string(k));
        writes = k;
        std::ofstream(cut, std::ios::binary | std::ios::trunc) << state;
        EXPECT_EQ(Contents(cut), before);
        if (kwtest::FsckClean(cut))
            return;
        ++unclean;
        std::string repair = kwtest::Capture("fsck.fat -a " + kwtest::Quote(cut) + " 2>&1");
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(cut, &report)) << repair << report;
        // Clusters no entry reached come back as FSCKnnnn.REC files.
        std::string after = Contents(cut), kept;
        std::istringstream lines(after);
        for (std::string line; std::getline(lines, line);)
            if (line.find("./FSCK") == std::string::npos)
                kept += line + "\n";
        EXPECT_EQ(kept, before) << repair;
    });
    EXPECT_GT(writes, 10u);
    RecordProperty("unclean_cuts", std::to_string(unclean) + " of " + std::to_string(writes));
}

// The queue reads every source before it writes: a swap of two clusters
// keeps both, and neighbouring targets go in one write.
TEST_F(FatMoveFaults, QueueSwapsClustersAndMergesNeighbouringTargets) {
    image_ = kwtest::MakeFatVolume(dir_, "vol.img", 16, 8192, 2);
    std::vector<kwtest::DiskEvent> log;
    Open(&log);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    uint32_t a = b.ClusterToSector(10), n = b.ClusterToSector(11), far = b.ClusterToSector(40);
    uint32_t to = b.ClusterToSector(50);
    std::string bytes[3] = {kwtest::Bytes(1024, 1), kwtest::Bytes(1024, 2), kwtest::Bytes(1024, 3)};
    uint32_t at[3] = {a, n, far};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(fat_->WriteSectors(at[i], bytes[i].data(), 2), KW_OK);
    log.clear();
    Mover mover(fat_->GetHandle(), b.BytesPerCluster());
    ASSERT_EQ(mover.Init(8), KW_OK);
    ASSERT_TRUE(mover.AddJob(far, to));
    ASSERT_TRUE(mover.AddJob(n, a));
    ASSERT_TRUE(mover.AddJob(a, n));
    ASSERT_EQ(mover.ReadQueue(), KW_OK);
    ASSERT_EQ(mover.WriteTargets(), KW_OK);
    EXPECT_EQ(log.size(), 2u); // a and n together, then `to`
    std::string got(1024, '\0');
    uint32_t want[3][2] = {{a, 1}, {n, 0}, {to, 2}};
    for (auto [sector, index] : want) {
        ASSERT_EQ(fat_->ReadSectors(sector, got.data(), 2), KW_OK);
        EXPECT_EQ(got, bytes[index]) << sector;
    }
}

// Two runs in one session inside a partition of type 06: the first one's
// protected update keeps the saved type (6) in FAT entry 1 and clears it at
// its end. Cluster 6 is still inside its chain for the second run, which
// moves it: its predecessor must follow, and every file keeps its bytes.
TEST_F(FatMoveFaults, ASecondRunInTheSessionMovesClustersNamedByTheMarks) {
    image_ = kwtest::MakeFatVolume(dir_, "vol.img", 16, 6144, 1);
    Put(dir_ / "host" / "big.bin", kwtest::Bytes(40000, 3)); // clusters 2 to 80
    Must("mcopy -i " + kwtest::Quote(image_) + " " + kwtest::Quote(dir_ / "host" / "big.bin") +
         " ::");
    std::string before = Contents(image_);
    kwtest::FatPartitionDisk disk;
    fs::path image = dir_ / "disk.img";
    disk.Make(image_, image, 0x06);
    std::vector<kwtest::DiskEvent> log;
    fat_ = disk.Open(&log);
    ASSERT_NE(fat_, nullptr);
    FAT_BLOCKS& fat = *fat_->GetFat();
    const uint32_t entries = fat_->GetBootRecord()->LastCluster() + 1;
    ASSERT_NE(fat.FindPreviousCluster(6), 0u); // inside a chain
    uint32_t free = fat.FindNextFree(2);
    for (uint32_t run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        MOVE_MAP map(entries);
        if (run == 0) {
            ASSERT_EQ(map.SetTarget(50, free), KW_OK);
        } else {
            ASSERT_EQ(map.SetTarget(6, fat.FindNextFree(free + 1)), KW_OK);
        }
        EXECUTOR_FAT executor(fat_);
        ASSERT_EQ(executor.Execute(&map, true, false), KW_OK);
        EXPECT_EQ(kwtest::FatPartitionDisk::EntryType(image), 0x06);
    }
    fat_ = nullptr;
    disk.Close();
    fs::path part = dir_ / "part.img";
    disk.Extract(image, part);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
    EXPECT_EQ(Contents(part), before);
}

// A move inside a partition of a disk, cut off after each of its writes
// (also with the writes between two flushes reordered), and the next disk
// scan: the recovery completes it, gives the entry its type back, and the
// volume passes fsck.fat -n with every file and the same listing.
TEST_F(FatMoveFaults, ACutMoveIsCompletedAtTheNextScan) {
    MakeVolume(MoveCase{"disk", 16, 6144, 1, Plan::Shuffle});
    std::string before = Contents(image_);
    kwtest::FatListing listing = kwtest::MdirListing(image_);
    kwtest::FatPartitionDisk disk;
    fs::path image = dir_ / "disk.img";
    disk.Make(image_, image, 0x06);
    std::string base = kwtest::ReadHost(image);
    std::vector<kwtest::DiskEvent> log;
    fat_ = disk.Open(&log);
    ASSERT_NE(fat_, nullptr);
    std::unique_ptr<MOVE_MAP> map = MakeMap(Plan::Shuffle, 30);
    EXECUTOR_FAT executor(fat_);
    ASSERT_EQ(executor.Execute(map.get(), true, false), KW_OK);
    EXPECT_GT(executor.Stats().cycles, 0u);
    fat_ = nullptr;
    disk.Close();
    EXPECT_EQ(kwtest::FatPartitionDisk::EntryType(image), 0x06);
    fs::path cut = dir_ / "cut.img", part = dir_ / "part.img";
    auto check = [&] {
        kwtest::FatPartitionDisk::Rescan(cut);
        EXPECT_EQ(kwtest::FatPartitionDisk::EntryType(cut), 0x06);
        disk.Extract(cut, part);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
        EXPECT_EQ(Contents(part), before);
        EXPECT_EQ(kwtest::MdirListing(part), listing);
    };
    EXPECT_GT(kwtest::ForEachCutImage(base, log, cut, check), 10u);
    kwtest::ForEachReorderedCutImage(base, log, cut, check);
}

// A cancel heard between two batches leaves the volume whole: the entry
// gets its type back before the cancel is reported, and nothing is left
// for the recovery of the next scan, by a move and by a bad-sector
// preparation alike.
TEST_F(FatMoveRecovery, ACancelGivesTheTypeBack) {
    const struct {
        const char* what;
        std::function<kwRet()> run;
    } cases[] = {
        {"move",
         [this] {
             std::unique_ptr<MOVE_MAP> map = MakeMap(Plan::Shuffle);
             EXECUTOR_FAT executor(fat_);
             return executor.Execute(map.get(), true, false);
         }},
        {"bad sectors",
         [this] {
             SECT_LIST list;
             for (uint32_t c : BadSectorClusters())
                 list.Add(kStart + fat_->GetBootRecord()->ClusterToSector(c));
             STATE_MAP* map = nullptr;
             kwRet rc = fs_->PrepareBadSectors(&map, &list, fat_->GetPI());
             delete map;
             return rc;
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        for (const char* old : {"vol.img", "disk.img", "host", "more"})
            fs::remove_all(dir_ / old);
        MakeDisk();
        std::string before = Contents(volume_);
        OpenDisk(&log_);
        PROGRESS_INFO::RequestCancel();
        EXPECT_EQ(k.run(), ERR_USER_CANCEL);
        PROGRESS_INFO::ClearCancelRequest();
        CloseDisk();
        EXPECT_EQ(kwtest::ReadAt(image_, 446 + 4, 1)[0], 0x06);
        fs::path part = Partition(image_);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
        EXPECT_EQ(Contents(part), before);
    }
}

} // namespace

// The cluster queue over a disk held in memory.
namespace {

TEST(ClusterMover, FindsBuffersOnlyInsideTheirCluster) {
    Mover mover(FS_NO_HANDLE, 4 * 512);
    ASSERT_EQ(mover.Init(3), KW_OK);
    EXPECT_EQ(mover.GetMaxJobs(), 3u);
    ASSERT_TRUE(mover.AddJob(100, 200));
    ASSERT_TRUE(mover.AddJob(104, 0));
    ASSERT_TRUE(mover.AddJob(0, 300));
    EXPECT_FALSE(mover.AddJob(108, 400));
    EXPECT_EQ(mover.GetFreeSlots(), 0u);
    uint8_t* first = mover.FindBuffer(100, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(mover.FindBuffer(100, 3), first + 3 * 512);
    EXPECT_EQ(mover.FindBuffer(200, 1), first + 512); // by target as well
    EXPECT_EQ(mover.FindBuffer(100, 4), nullptr);     // one past the cluster
    EXPECT_EQ(mover.FindBuffer(0, 0), nullptr);       // sector 0 is no sector
    EXPECT_EQ(mover.FindBuffer(101, 0), nullptr);
    mover.Clear();
    EXPECT_EQ(mover.FindBuffer(100, 0), nullptr);
    Mover odd(FS_NO_HANDLE, 700);
    EXPECT_EQ(odd.Init(3), ERR_BAD_ARGUMENT);
}

} // namespace
