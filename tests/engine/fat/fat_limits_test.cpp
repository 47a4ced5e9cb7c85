// Partition limits: rounding a chosen size, FAT limits' choices of cluster
// size, kind and root, and the limits measured on volumes made by mkfs.fat:
// every size they allow lays out a volume fsck.fat accepts.
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_limits.h"
#include "engine/fs/filesystem.h"
#include "engine/host/engine.h"
#include "tests/engine/fat/empty_volume.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <vector>

namespace fs = std::filesystem;
using namespace kw::fat;

namespace {

// A record with a cylinder grid of 100 sectors starting at 50.
struct GridRecord {
    GridRecord() {
        pi.ulStartSect = 1000;
        pi.NumSects = 3000;
        pi.ulSectsToNextCyl = 50;
        pi.ulCylSize = 100;
    }
    PARTITION_INFO pi;
};

TEST(PartitionLimits, ChosenSizesStayInsideAndOnTheGrid) {
    GridRecord r;
    PARTITION_LIMITS limits;
    limits.SetSize(2000, true); // no partition yet: nothing changes
    EXPECT_EQ(limits.GetSize(), 0u);
    limits.Init(&r.pi, 1010, 5020, 3000);
    struct {
        uint32_t asked;
        bool align;
        uint32_t got;
    } cases[] = {
        {9999, true, 4950},  // the maximum rounds down, never to 5050
        {9999, false, 5020}, //
        {100, true, 1050},   // the minimum rounds up
        {2049, true, 2050},  // nearest inside
        {3020, true, 3050},  //
        {3000, false, 3000},
    };
    for (const auto& c : cases) {
        limits.SetSize(c.asked, c.align);
        EXPECT_EQ(limits.GetSize(), c.got) << c.asked;
    }
    // A range without a boundary keeps the clamped size.
    limits.Init(&r.pi, 1060, 1140, 1100);
    limits.SetSize(5000, true);
    EXPECT_EQ(limits.GetSize(), 1140u);
    EXPECT_FALSE(limits.GetSize() == limits.GetOldSize() && limits.IsChanged());
}

TEST(PartitionLimits, AnchoredEndMovesTheStart) {
    GridRecord r;
    PARTITION_LIMITS limits;
    limits.Init(&r.pi, 500, 8000, 3000);
    limits.SetMoveLimits(400, 600);
    EXPECT_EQ(limits.GetMinStart(), 600u);
    EXPECT_EQ(limits.GetMaxStart(), 1600u);
    limits.AnchorEnd();
    EXPECT_EQ(limits.GetMinSize(), 2400u); // the start at its highest
    EXPECT_EQ(limits.GetMaxSize(), 3400u); // the start at its lowest
    limits.SetSize(3200, false);
    EXPECT_EQ(limits.GetNewStart(), 800u);
    EXPECT_EQ(limits.GetNewStart() + limits.GetSize(), 4000u);
}

// Tables with FAT12/16 layouts at 2 KB and 4 KB clusters, FAT32 at 4 KB,
// and 64 KB layouts of both kinds.
FAT_LIMIT_TABLES SampleTables() {
    FAT_LIMIT_TABLES t;
    t.fatMin[2] = 20000;
    t.fatMax[2] = 260000;
    t.fatMin[3] = 30000;
    t.fatMax[3] = 520000;
    t.fat32Min[3] = 540000;
    t.fat32Max[3] = 900000;
    t.fatMin[7] = 40000;
    t.fatMax[7] = 900000;
    t.fat32Min[7] = 60000;
    t.fat32Max[7] = 900000;
    return t;
}

FAT_LIMITS_VOLUME SampleVolume() {
    FAT_LIMITS_VOLUME v;
    v.size = 100000;
    v.sectorsPerCluster = 4;
    v.rootEntries = 512;
    v.rootEntriesInUse = 20;
    v.firstDataSector = 200;
    v.reservedSectors = 1;
    return v;
}

TEST(FatLimits, ChoicesWithoutALayoutKeepThePreviousOne) {
    GridRecord r;
    r.pi.ucFsKind = FS_KIND_FAT;
    r.pi.ucPartType = 0x06;
    r.pi.ulCylSize = 0;
    FAT_LIMITS limits;
    FAT_LIMIT_TABLES t = SampleTables();
    EXPECT_EQ(limits.Init(nullptr, SampleVolume(), &r.pi), ERR_BAD_ARGUMENT);
    ASSERT_EQ(limits.Init(&t, SampleVolume(), &r.pi), KW_OK);
    EXPECT_EQ(limits.GetClusterSize(), 2048u);
    EXPECT_FALSE(limits.IsChanged());
    // No 64 KB layouts without the preference.
    EXPECT_EQ(limits.Tables().fatMin[7], 0u);
    EXPECT_EQ(limits.GetMaxSize(), 520000u);
    // Sizes with no slot in the tables (128 KB is index 8, 3000 none).
    EXPECT_EQ(limits.ClusterSizeIndex(131072), 8u);
    EXPECT_EQ(limits.ClusterSizeIndex(3000), kNoClusterSlot);
    for (uint32_t bytes : {131072u, 3000u, 65536u, 1024u}) {
        limits.SetClusterSize(bytes);
        EXPECT_EQ(limits.GetClusterSize(), 2048u) << bytes;
    }
    // A valid choice moves the size into its range.
    limits.SetClusterSize(4096);
    EXPECT_EQ(limits.GetClusterSize(), 4096u);
    EXPECT_EQ(limits.GetSize(), 100000u);
    limits.SetSize(400000, false); // beyond 2 KB's range: 4 KB holds it
    EXPECT_EQ(limits.GetSize(), 400000u);
    EXPECT_EQ(limits.GetClusterSize(), 4096u);
    EXPECT_TRUE(limits.IsChanged());
    // FAT32 only above 540,000 sectors, and this volume may not pass 520,000.
    limits.SetFatType(3);
    EXPECT_EQ(limits.GetFatType(), 2);
    EXPECT_EQ(limits.GetRootEntries(), 512u);
}

TEST(FatLimits, LargeClustersAndRootEntries) {
    GridRecord r;
    r.pi.ucFsKind = FS_KIND_FAT32;
    r.pi.ulCylSize = 0;
    FAT_LIMIT_TABLES t = SampleTables();
    FAT_LIMITS_VOLUME v = SampleVolume();
    v.largeClusters = true;
    v.rootEntries = 0;
    v.rootEntriesInUse = 700;
    FAT_LIMITS limits;
    ASSERT_EQ(limits.Init(&t, v, &r.pi), KW_OK);
    EXPECT_EQ(limits.Tables().fat32Min[7], 60000u);
    EXPECT_EQ(limits.GetFatType(), 3);
    EXPECT_EQ(limits.GetRootEntries(), 0u);
    EXPECT_EQ(limits.GetMinRootEntries(), 704u);
    EXPECT_EQ(limits.GetMaxRootEntries(), 1024u);
    // A volume with 64 KB clusters keeps them without the preference.
    v.largeClusters = false;
    v.sectorsPerCluster = 128;
    FAT_LIMITS big;
    ASSERT_EQ(big.Init(&t, v, &r.pi), KW_OK);
    EXPECT_EQ(big.Tables().fat32Min[7], 60000u);
}

// A FAT volume of a test image opened through the disk library.
class MeasuredVolume : public ::testing::Test {
protected:
    // The partition covers the first `sectors` of the image (0: all).
    void Open(const fs::path& image, uint8_t kind, uint32_t sectors = 0) {
        setenv("KW_DISKS", image.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        ASSERT_NE(disk, nullptr);
        if (sectors == 0)
            sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
        ASSERT_EQ(CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_), KW_OK);
        pi_->ucFsKind = kind;
        pi_->ucPartType = kind == FS_KIND_FAT32 ? 0x0C : 0x06;
        pi_->ulRoom = sectors * 2;
        ASSERT_EQ(OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0), KW_OK);
        fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
        ASSERT_NE(fat_, nullptr);
        ASSERT_EQ(fs_->Init(), KW_OK);
    }
    void TearDown() override {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        if (pi_ != nullptr)
            DeletePi(&pi_);
        kwLibClose();
        unsetenv("KW_DISKS");
    }
    // Every pair of the tables lays out, at both ends, a volume that holds
    // the data and that fsck.fat accepts.
    void ExpectSoundPairs(const FAT_LIMITS& limits) {
        const FAT_LIMIT_TABLES& t = limits.Tables();
        for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
            const uint32_t* pairs[2][2] = {{t.fatMin, t.fatMax}, {t.fat32Min, t.fat32Max}};
            for (int kind = 0; kind < 2; ++kind) {
                uint32_t lo = pairs[kind][0][i], hi = pairs[kind][1][i];
                EXPECT_EQ(lo == 0, hi == 0);
                if (lo == 0)
                    continue;
                EXPECT_LE(lo, hi);
                for (uint32_t size : {lo, hi})
                    ExpectLayout(size, 1u << i, kind == 1, t.clustersNeeded[i]);
            }
        }
    }
    void ExpectLayout(uint32_t size, uint32_t spc, bool fat32, uint32_t needed) {
        SCOPED_TRACE(std::to_string(size) + " sectors, " + std::to_string(spc) +
                     (fat32 ? " FAT32" : " FAT12/16"));
        FAT_LAYOUT_PLAN plan;
        plan.totalSectors = size;
        plan.sectorsPerCluster = spc;
        plan.fat32 = fat32;
        FAT_BOOT_RECORD boot;
        FAT_LAYOUT l;
        ASSERT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK);
        EXPECT_GE(l.clusters, needed);
        ++checked_;
        if (checked_ % 5 != 1) // fsck a sample; the arithmetic covers all
            return;
        fs::path image = dir_ / ("empty" + std::to_string(checked_));
        kwtest::WriteEmptyFatVolume(image, boot, size);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
        fs::remove(image);
    }

    kwtest::TempDir dir_;
    PARTITION_INFO* pi_ = nullptr;
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
    uint32_t checked_ = 0;
};

TEST_F(MeasuredVolume, Fat16LimitsHoldTheDataAndPassFsck) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fat16.img", 16, 65536, 4);
    kwtest::FillStandardTree(dir_, image);
    Open(image, FS_KIND_FAT);
    for (bool exact : {false, true}) {
        SCOPED_TRACE(exact ? "exact" : "chains");
        FAT_LIMITS limits;
        FAT_GEOMETRY_OPTIONS opt;
        opt.exact = exact;
        opt.align = false;
        ASSERT_EQ(GetGeometryLimits(fat_, &limits, opt), KW_OK);
        const FAT_LIMIT_TABLES& t = limits.Tables();
        // The data needs about the same at its own cluster size either way.
        long used = kwtest::FsckUsedClusters(image);
        EXPECT_GE(t.clustersNeeded[2], static_cast<uint32_t>(used) * 9 / 10);
        EXPECT_LE(t.clustersNeeded[2], static_cast<uint32_t>(used));
        // The volume as it is lies inside its own range.
        EXPECT_LE(t.fatMin[2], 131072u);
        EXPECT_GE(t.fatMax[2], 131072u);
        EXPECT_EQ(limits.GetClusterSize(), 2048u);
        EXPECT_FALSE(limits.IsChanged());
        EXPECT_LE(limits.GetMaxSize(), pi_->ulRoom);
        ExpectSoundPairs(limits);
    }
}

TEST_F(MeasuredVolume, Fat32LimitsHoldTheDataAndPassFsck) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fat32.img", 32, 300000, 1);
    kwtest::FillStandardTree(dir_, image);
    Open(image, FS_KIND_FAT32);
    FAT_LIMITS limits;
    FAT_GEOMETRY_OPTIONS opt;
    opt.align = false;
    ASSERT_EQ(GetGeometryLimits(fat_, &limits, opt), KW_OK);
    EXPECT_EQ(limits.GetFatType(), 3);
    EXPECT_NE(limits.Tables().fat32Min[0], 0u);
    EXPECT_EQ(limits.GetRootEntries(), 0u);
    ExpectSoundPairs(limits);
}

// A larger cluster needs as much free room, in clusters of its size, as the
// data needs there: a FAT16 volume with 2 KB clusters fuller than it is free
// offers no larger cluster of either kind (mkfs.fat would lay out 4 KB ones
// at its size), and asking for one keeps the choice. Smaller clusters stay
// open, and a new size takes the smallest.
TEST_F(MeasuredVolume, LargerClustersNeedAsMuchFreeRoomAsTheData) {
    struct {
        const char* name;
        size_t dataKib;
        bool larger;
    } cases[] = {{"mostly free", 3 * 1024, true}, {"fuller than free", 9 * 1024, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path image = kwtest::MakeFatVolume(dir_, "room.img", 16, 16384, 4);
        fs::path data = dir_ / "data.bin";
        kwtest::WriteHost(data, kwtest::Bytes(c.dataKib * 1024, 7));
        kwtest::Mcopy(image, data, "::DATA.BIN");
        Open(image, FS_KIND_FAT);
        FAT_LIMITS limits;
        FAT_GEOMETRY_OPTIONS opt;
        opt.align = false;
        ASSERT_EQ(GetGeometryLimits(fat_, &limits, opt), KW_OK);
        const FAT_LIMIT_TABLES& t = limits.Tables();
        EXPECT_NE(t.fatMin[2], 0u);
        EXPECT_NE(t.fatMin[0], 0u);
        EXPECT_EQ(t.fatMin[3] != 0, c.larger);
        for (uint32_t i = 3; i < kClusterSizeSlots && !c.larger; ++i)
            EXPECT_EQ(t.fatMax[i] + t.fat32Max[i], 0u) << i;
        limits.SetSize(pi_->NumSects - 1024, false);
        EXPECT_EQ(limits.GetClusterSize(), 512u);
        limits.SetClusterSize(4096);
        EXPECT_EQ(limits.GetClusterSize(), c.larger ? 4096u : 512u);
        ExpectSoundPairs(limits);
        TearDown();
        fs::remove(image);
    }
}

TEST_F(MeasuredVolume, BrokenChainIsReported) {
    fs::path image = kwtest::MakeFatVolume(dir_, "broken.img", 16, 16384, 4);
    kwtest::FillStandardTree(dir_, image);
    Open(image, FS_KIND_FAT);
    // A chain link pointing at cluster 1.
    uint32_t head = fat_->GetFat()->FindNextUsed(3);
    while (fat_->GetFat()->GetNextCluster(head) >= FAT_EOC)
        head = fat_->GetFat()->FindNextUsed(head + 1);
    ASSERT_EQ(fat_->GetFat()->SetNextCluster(head, 1), KW_OK);
    FAT_LIMITS limits;
    EXPECT_EQ(GetGeometryLimits(fat_, &limits, FAT_GEOMETRY_OPTIONS{}), ERR_FAT_INVALID_ENTRIES);
}

// The engine's query and the legal operations take the file system's limits.
TEST_F(MeasuredVolume, ResizeLimitsAndTheResizeOperation) {
    fs::path image = kwtest::MakeFatVolume(dir_, "ops.img", 16, 20000, 4);
    kwtest::FillStandardTree(dir_, image);
    fs::resize_file(image, 60000 * 512); // a disk of three cylinders
    Open(image, FS_KIND_FAT, 40000);
    ASSERT_LE(pi_->EndSect(), pi_->disk->chsSectors); // else the resize test is skipped
    PARTITION_LIMITS* limits = nullptr;
    ASSERT_EQ(enGetResizeLimits(pi_, &limits, 0), KW_OK);
    std::unique_ptr<PARTITION_LIMITS> owned(limits);
    ASSERT_NE(dynamic_cast<FAT_LIMITS*>(limits), nullptr);
    EXPECT_GT(limits->GetMinSize(), 0u);
    EXPECT_LT(limits->GetMinSize(), pi_->NumSects);
    EXPECT_LE(limits->GetMaxSize(), pi_->ulRoom);
    EXPECT_EQ(enGetResizeLimits(pi_, nullptr, 0), ERR_BAD_ARGUMENT);
    // A kind without limits of its own gets the default ones.
    pi_->ucFsKind = FS_KIND_NTFS;
    pi_->ulUsedSects = 10000;
    pi_->ulFreeSects = 30000;
    PARTITION_LIMITS* plain = nullptr;
    ASSERT_EQ(enGetResizeLimits(pi_, &plain, 0), KW_OK);
    std::unique_ptr<PARTITION_LIMITS> ownedPlain(plain);
    EXPECT_EQ(dynamic_cast<FAT_LIMITS*>(plain), nullptr);
    EXPECT_EQ(plain->GetMinSize(), enMinimumWithCommonReserve(pi_));
    pi_->ucFsKind = FS_KIND_FAT;

    // The legal operations measure the minimum once and keep it.
    pi_->ulMinSize = 0;
    ComputeLegalOps(pi_);
    EXPECT_EQ(pi_->ulMinSize, FatMinimumSize(fat_));
    EXPECT_NE(pi_->ulMinSize, 0u);
    uint32_t cylinder = pi_->disk->CylinderSize();
    pi_->ulRoom = pi_->ulMinSize + cylinder / 2;
    pi_->ulFlags |= LOP_RESIZE;
    ComputeLegalOps(pi_);
    EXPECT_EQ(pi_->ulFlags & LOP_RESIZE, 0u);
}

// The volume's fixed-budget flag, off unless a caller sets it, reaches the
// limits the FAT row hands out.
TEST_F(MeasuredVolume, FixedBudgetFlagReachesTheRowsLimits) {
    fs::path image = kwtest::MakeFatVolume(dir_, "budget.img", 16, 20000, 4);
    kwtest::FillStandardTree(dir_, image);
    Open(image, FS_KIND_FAT, 40000);
    EXPECT_FALSE(fat_->IsFixedBudget());
    auto tables = [&](bool fixed) {
        FAT_LIMITS limits;
        FAT_GEOMETRY_OPTIONS opt;
        opt.fixedBudget = fixed;
        EXPECT_EQ(GetGeometryLimits(fat_, &limits, opt), KW_OK);
        return limits.Tables();
    };
    auto same = [](const FAT_LIMIT_TABLES& a, const FAT_LIMIT_TABLES& b) {
        return std::equal(std::begin(a.fatMax), std::end(a.fatMax), std::begin(b.fatMax)) &&
               std::equal(std::begin(a.fat32Max), std::end(a.fat32Max), std::begin(b.fat32Max));
    };
    FAT_LIMIT_TABLES plain = tables(false), fixed = tables(true);
    ASSERT_FALSE(same(plain, fixed)); // else the fixture shows nothing
    PARTITION_LIMITS* limits = nullptr;
    ASSERT_EQ(enGetResizeLimits(pi_, &limits, 0), KW_OK);
    std::unique_ptr<PARTITION_LIMITS> before(limits);
    EXPECT_TRUE(same(dynamic_cast<FAT_LIMITS*>(limits)->Tables(), plain));
    fat_->SetFixedBudget(true);
    ASSERT_EQ(enGetResizeLimits(pi_, &limits, 0), KW_OK);
    std::unique_ptr<PARTITION_LIMITS> after(limits);
    EXPECT_TRUE(same(dynamic_cast<FAT_LIMITS*>(limits)->Tables(), fixed));
    EXPECT_TRUE(same(tables(false), fixed));
    fat_->SetFixedBudget(false);
}

} // namespace
