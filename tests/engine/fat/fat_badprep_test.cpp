// Bad sectors prepared for a copy (FAT_FILESYSTEM::PrepareBadSectors): the
// data of the clusters under them moved away, then the clusters marked bad,
// on FAT12, FAT16 and FAT32 volumes made by mkfs.fat; refusals write
// nothing, and a preparation cut off after any of its writes leaves, after
// the next scan's recovery, every file whole and the partition its type.
#include "tests/engine/fat/fat_move_fixture.h"

using namespace fatmove;

void fatmove::FatMove::PrepareBadSectorsOn(const MoveCase& k) {
    for (const char* old : {"vol.img", "host", "more"})
        fs::remove_all(dir_ / old);
    MakeVolume(k);
    std::string before = Contents(image_);
    kwtest::FatListing listing = kwtest::MdirListing(image_);
    Open(nullptr);
    const FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    std::vector<uint32_t> clusters = BadSectorClusters();
    ASSERT_FALSE(clusters.empty());
    if (b.IsFat32()) {
        EXPECT_EQ(clusters[0], b.rootCluster);
    }
    SECT_LIST list;
    for (uint32_t c : clusters)
        ASSERT_EQ(list.Add(pi_->ulStartSect + b.ClusterToSector(c) + b.sectorsPerCluster - 1),
                  KW_OK);
    ASSERT_EQ(list.Add(pi_->ulStartSect + b.ClusterToSector(clusters[1])), KW_OK); // again
    STATE_MAP* map = nullptr;
    ASSERT_EQ(fs_->PrepareBadSectors(&map, &list, pi_), KW_OK);
    ASSERT_NE(map, nullptr);
    for (uint32_t c : clusters)
        EXPECT_FALSE(map->IsSet(b.ClusterToSector(c))) << c;
    delete map;
    Close();
    for (uint32_t c : clusters)
        EXPECT_TRUE(MarkedBad(image_, 0, b, c)) << c;
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image_, &report)) << report;
    EXPECT_EQ(Contents(image_), before);
    EXPECT_EQ(kwtest::MdirListing(image_), listing);
}

namespace {

// Bad sectors listed for a copy onto this volume's own partition: the data
// of the clusters under them (a folder's among them, on FAT32 the root's)
// moves away first, then each of them is marked bad in the FAT on the disk;
// no file loses a byte, fsck.fat passes, and the used-sector map leaves
// those clusters out.
TEST_F(FatMoveFaults, PreparedBadSectorsMoveTheirDataAway) {
    for (const MoveCase& k : {MoveCase{"fat12", 12, 4096, 2, Plan::Evacuate},
                              MoveCase{"fat16", 16, 4096, 1, Plan::Evacuate},
                              MoveCase{"fat32", 32, 40960, 1, Plan::Evacuate}}) {
        SCOPED_TRACE(k.name);
        PrepareBadSectorsOn(k);
    }
}

// The listed sectors are sectors of the target's disk, counted from the
// target's start (a copy puts this volume's sector k at the target's k):
// with the target elsewhere on the disk, a sector below it marks nothing.
TEST_F(FatMoveFaults, ListedSectorsCountFromTheTargetsStart) {
    MakeVolume(MoveCase{"elsewhere", 16, 4096, 1, Plan::Evacuate});
    std::string before = Contents(image_);
    Open(nullptr);
    const FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    PARTITION_INFO* target = nullptr;
    const uint32_t at = 100000;
    ASSERT_EQ(
        CreatePi(pi_->disk, 0, nullptr, false, at, pi_->NumSects, 0, 0, PI_NO_ENTRY, 0, &target),
        KW_OK);
    std::vector<uint32_t> clusters = BadSectorClusters();
    ASSERT_FALSE(clusters.empty());
    SECT_LIST list;
    ASSERT_EQ(list.Add(at + b.ClusterToSector(clusters[1])), KW_OK);
    ASSERT_EQ(list.Add(b.ClusterToSector(clusters[2])), KW_OK); // below the target
    STATE_MAP* map = nullptr;
    EXPECT_EQ(fs_->PrepareBadSectors(&map, &list, target), KW_OK);
    delete map;
    EXPECT_EQ(fat_->GetFat()->GetNextCluster(clusters[1]), FAT_BAD);
    EXPECT_NE(fat_->GetFat()->GetNextCluster(clusters[2]), FAT_BAD);
    DeletePi(&target);
    Close();
    EXPECT_EQ(Contents(image_), before);
}

// Refused before anything is written: a listed sector in the system area,
// data that finds no free cluster, a missing argument. Sectors outside the
// target change nothing.
TEST_F(FatMoveFaults, PreparedBadSectorsRefuseBeforeAnyWrite) {
    std::vector<kwtest::DiskEvent> log;
    OpenKept(MoveCase{"bad_faults", 16, 4096, 1, Plan::Evacuate}, &log);
    const FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    SECT_LIST root, everything, outside;
    ASSERT_EQ(root.Add(b.FirstDataSector() - 1), KW_OK);
    ASSERT_EQ(everything.AddRange(b.FirstDataSector(), b.totalSectors - b.FirstDataSector()),
              KW_OK);
    ASSERT_EQ(outside.Add(pi_->ulStartSect + pi_->NumSects), KW_OK);
    struct Case {
        const char* what;
        bool map;
        SECT_LIST* list;
        bool target;
        kwRet rc;
    } cases[] = {
        {"a sector of the root", true, &root, true, ERR_BAD_SECTOR_IN_FS},
        {"every data sector", true, &everything, true, ERR_FAT_NO_SPACE},
        {"a sector past the target", true, &outside, true, KW_OK},
        {"no map", false, &outside, true, ERR_BAD_ARGUMENT},
        {"no list", true, nullptr, true, ERR_BAD_ARGUMENT},
        {"no target", true, &outside, false, ERR_BAD_ARGUMENT},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        STATE_MAP* map = nullptr;
        EXPECT_EQ(fs_->PrepareBadSectors(k.map ? &map : nullptr, k.list, k.target ? pi_ : nullptr),
                  k.rc);
        delete map;
    }
    EXPECT_TRUE(log.empty()) << log.size() << " writes";
    EXPECT_EQ(fat_->GetFat()->CountBadClusters(), 0u);
    EXPECT_EQ(fat_->GetFat()->CountReservedClusters(2, b.LastCluster()), 0u);
    EXPECT_TRUE(Unchanged());
}

// Bad sectors prepared inside a partition of a disk, cut off after each
// write, and the next disk scan: every file whole, the volume clean (or
// with FAT copies apart, which fsck.fat reads through), the type back.
TEST_F(FatMoveRecovery, ACutBadSectorPreparationKeepsEveryFile) {
    ASSERT_NO_FATAL_FAILURE(PrepareOnDisk(kSectors / 2));
    // Again with no list: the volume's bad sectors join it as sectors of
    // the disk, and nothing is written.
    const FAT_BOOT_RECORD& b = boot_;
    size_t logged = log_.size();
    SECT_LIST own;
    STATE_MAP* map = nullptr;
    ASSERT_EQ(fs_->PrepareBadSectors(&map, &own, fat_->GetPI()), KW_OK);
    delete map;
    EXPECT_EQ(log_.size(), logged);
    std::vector<uint32_t> sorted = bad_;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(own.GetCount(), sorted.size() * b.sectorsPerCluster);
    for (size_t i = 0; i < sorted.size(); ++i)
        EXPECT_EQ(own.GetAt(static_cast<uint32_t>(i * b.sectorsPerCluster)),
                  kStart + b.ClusterToSector(sorted[i]));
    CloseDisk();
    for (uint32_t c : bad_)
        EXPECT_TRUE(MarkedBad(image_, kStart, b, c)) << c;
    EXPECT_GT(CheckEveryCut(base_, log_, before_), 5u);
}

// The same on FAT32, where the root's first cluster is among those emptied:
// the boot sector (and its backup) name the root's new place.
TEST_F(FatMoveRecovery, ACutBadSectorPreparationOnFat32KeepsEveryFile) {
    ASSERT_NO_FATAL_FAILURE(PrepareOnDisk(34000, 32));
    ASSERT_EQ(bad_[0], boot_.rootCluster);
    CloseDisk();
    EXPECT_GT(CheckEveryCut(base_, log_, before_), 5u);
}

// Volumes at the kinds' limit, FAT12 of 4084 clusters and FAT16 of 4085:
// the recovery after a cut must read their FATs in the volume's own width,
// or it finds no partition type among the marks and leaves the entry at 3Ch.
TEST_F(FatMoveRecovery, ACutAtTheKindsLimitGivesTheTypeBack) {
    const struct {
        int bits;
        uint32_t kib, clusters;
        uint8_t kind;
    } cases[] = {{12, 2070, 4084, FAT_KIND_12}, {16, 2200, 4085, FAT_KIND_16}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.bits);
        for (const char* old : {"vol.img", "disk.img", "host", "more"})
            fs::remove_all(dir_ / old);
        log_.clear();
        clusters_ = k.clusters;
        ASSERT_NO_FATAL_FAILURE(PrepareOnDisk(k.kib, k.bits));
        ASSERT_EQ(boot_.fatKind, k.kind);
        ASSERT_EQ(boot_.clusterCount, k.clusters);
        CloseDisk();
        EXPECT_GT(CheckEveryCut(base_, log_, before_), 5u);
    }
}

} // namespace
