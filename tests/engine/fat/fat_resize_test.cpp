// Resizing FAT volumes and emptying cluster ranges, on volumes made by
// mkfs.fat in a partition of a disk, filled by mtools and fragmented (every
// other file deleted, then refilled): fsck.fat, the mdir listing and every
// file's bytes read back by mtools are the oracle; random resizes within the
// limits.
#include "tests/engine/fat/fat_resize_fixture.h"

using namespace fatresize;

namespace {

// ------------------------------------------------------------- Resize

// Sizes end on the disk's cylinder grid (16,065 sectors, the partition
// starting at 2048), where the limits keep them.
struct ResizeCase {
    const char* name;
    Volume volume;
    uint32_t newSize;
};

class FatResizeSizes : public FatResize, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(FatResizeSizes, KeepsEveryFileAndPassesFsck) {
    const ResizeCase& c = GetParam();
    MakeDisk(c.volume);
    OpenDisk(nullptr);
    uint32_t newSize = c.newSize;
    ASSERT_EQ(Aligned(newSize), newSize);
    uint32_t spc = fat_->GetBootRecord()->sectorsPerCluster;
    ASSERT_EQ(fat_->Resize(0, newSize, nullptr, nullptr), KW_OK);
    ExpectStateMatchesDisk();
    EXPECT_EQ(pi_->NumSects, newSize);
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), newSize);
    ExpectWhole(image_);
    FAT_BOOT_RECORD b = BootOf(Partition(image_));
    EXPECT_LE(b.totalSectors, newSize);
    EXPECT_LE(b.sectorsPerCluster, spc); // never larger
    // The type follows the new layout (FAT16 below 65,536 sectors: 04).
    uint8_t type = EntryType(image_);
    EXPECT_EQ(type, b.IsFat32()                            ? 0x0B
                    : b.clusterCount <= FAT12_MAX_CLUSTERS ? 0x01
                    : b.totalSectors < 0x10000             ? 0x04
                                                           : 0x06);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatResizeSizes,
                         ::testing::Values(ResizeCase{"fat12_grow", {12, 8192, 2}, 14017},
                                           ResizeCase{"fat16_shrink", {16, 32768, 1}, 14017},
                                           ResizeCase{"fat16_grow", {16, 32768, 1}, 46147},
                                           ResizeCase{"fat12_shrink", {12, 30082, 8}, 14017},
                                           ResizeCase{
                                               "fat16_shrink_to_fat12", {16, 30082, 4}, 14017},
                                           ResizeCase{"fat12_grow_to_fat16", {12, 14017, 4}, 30082},
                                           ResizeCase{"fat32_shrink", {32, 100000, 1}, 94342},
                                           ResizeCase{"fat32_grow", {32, 73728, 1}, 94342}),
                         [](const auto& info) { return std::string(info.param.name); });

// A FAT32 partition that grows past the BIOS-addressable limit takes the
// LBA form of its type.
TEST_F(FatResize, GrowingPastTheBiosLimitTakesTheLbaType) {
    start_ = kChsLimit - 5 * 16065; // five cylinders below the limit
    MakeDisk({32, 5 * 16065, 1});
    OpenDisk(nullptr);
    ASSERT_EQ(pi_->disk->chsLimit, kChsLimit);
    EXPECT_EQ(pi_->ucPartType, 0x0B);
    uint32_t newSize = 6 * 16065;
    ASSERT_EQ(Aligned(newSize), newSize);
    ASSERT_EQ(fat_->Resize(0, newSize, nullptr, nullptr), KW_OK);
    CloseDisk();
    EXPECT_EQ(EntryType(image_), 0x0C);
    ExpectWhole(image_);
}

// A volume whose first clusters are in use past what the reserved-sector
// field can count (a big file written first) is resized all the same.
TEST_F(FatResize, LongUsedStartIsNoObstacle) {
    MakeDisk({32, 126472, 1}, 55);
    kwtest::WriteAt(image_, (uint64_t{start_} + 1) * 512 + 492, {2, 0, 0, 0}); // next free: 2
    fs::path big = dir_ / "FIRST.BIN";
    kwtest::WriteHost(big, kwtest::Bytes(36u << 20, 5));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(big) + " ::/");
    before_ = Contents(Partition(image_));
    listing_ = kwtest::MdirListing(Partition(image_));
    OpenDisk(nullptr);
    uint32_t prefix = 0;
    while (fat_->GetFat()->GetNextCluster(2 + prefix) != 0)
        ++prefix;
    ASSERT_GT(prefix, 0xFFFFu);
    EXPECT_EQ(fat_->Resize(0, 110407, nullptr, nullptr), KW_OK);
    CloseDisk();
    ExpectWhole(image_);
}

// A size the volume's cluster size cannot reach is refused, not taken as
// another.
TEST_F(FatResize, SizePastTheClusterSizesReachIsRefused) {
    MakeDisk({16, 62212, 1});
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    ASSERT_GE(limits.GetMaxSize(), 78277u);
    std::string pristine = kwtest::ReadHost(image_);
    EXPECT_EQ(fat_->Resize(0, 78277, nullptr, nullptr), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(pi_->NumSects, 62212u);
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == pristine);
    ExpectWhole(image_);
}

// A nearly full volume whose first clusters hold a file grows to the
// largest size its limits give, and shrinks back near the smallest (the
// old system area stays behind as reserved sectors, which the limits do
// not count).
TEST_F(FatResize, NearlyFullVolumeReachesItsLimits) {
    MakeDisk({16, 30082, 1}, 0);
    fs::path big = dir_ / "FULL.BIN";
    kwtest::WriteHost(big, kwtest::Bytes(13u << 20, 9));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(big) + " ::/");
    before_ = Contents(Partition(image_));
    listing_ = kwtest::MdirListing(Partition(image_));
    for (bool grow : {true, false}) {
        OpenDisk(nullptr);
        pi_->ulFlags &= ~PI_CHECKED_TYPE;
        pi_->ulCylSize = 1;
        pi_->ulSectsToNextCyl = 0;
        FAT_LIMITS limits;
        Limits(&limits);
        uint32_t low = 0, high = 0;
        ASSERT_TRUE(limits.RangeAt(FAT_KIND_16, 512, &low, &high));
        uint32_t size = grow ? std::min(high, limits.GetMaxSize())
                             : low + fat_->GetBootRecord()->FirstDataSector();
        SCOPED_TRACE(std::to_string(pi_->NumSects) + " -> " + std::to_string(size) + " of " +
                     std::to_string(low) + ".." + std::to_string(high) + ", free " +
                     std::to_string(fat_->GetFat()->CountFreeClusters()));
        EXPECT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
        CloseDisk();
        ExpectWhole(image_);
    }
}

// A file whose chain runs past its size keeps its bytes through a shrink
// and a change to smaller clusters (the rest of the chain is slack).
TEST_F(FatResize, ChainLongerThanItsSizeKeepsItsBytes) {
    for (uint32_t newSpc : {4u, 1u}) {
        SCOPED_TRACE(newSpc);
        MakeDisk({16, 30082, 4}, 55);
        OpenDisk(nullptr);
        FAT_BLOCKS& fat = *fat_->GetFat();
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        uint32_t head = fat.FindNextChainHead(2), spare = b.LastCluster();
        while (fat.GetNextCluster(spare) != 0)
            --spare;
        uint32_t last = head;
        while (fat.GetNextCluster(last) < FAT_EOC)
            last = fat.GetNextCluster(last);
        ASSERT_EQ(fat.SetNextCluster(last, spare), KW_OK);
        ASSERT_EQ(fat.SetNextCluster(spare, FAT_EOC_MARK), KW_OK);
        ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
        CloseDisk();
        OpenDisk(nullptr);
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetSize(14017, false);
        limits.SetClusterSize(newSpc * 512);
        ASSERT_EQ(limits.GetClusterSize(), newSpc * 512);
        ASSERT_EQ(ChangeClusterSize(fat_, &limits, 0), KW_OK);
        CloseDisk();
        EXPECT_EQ(Contents(Partition(image_)), before_);
    }
}

// Bad clusters keep their sectors marked bad through a resize and a
// change to smaller clusters; those past a new end go with it.
struct BadCase {
    const char* name;
    Volume volume;
    uint32_t newSize;
    uint32_t newSpc;
};

class FatResizeBad : public FatResize, public ::testing::WithParamInterface<BadCase> {};

TEST_P(FatResizeBad, BadSectorsStayBad) {
    const BadCase& c = GetParam();
    MakeDisk(c.volume);
    OpenDisk(nullptr);
    FAT_BOOT_RECORD old = *fat_->GetBootRecord();
    FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t middle = old.LastCluster() / 3, end = old.LastCluster() - 2;
    ASSERT_EQ(fat.GetNextCluster(middle), 0u);
    ASSERT_EQ(fat.GetNextCluster(end), 0u);
    ASSERT_EQ(fat.SetNextCluster(middle, FAT_BAD), KW_OK);
    ASSERT_EQ(fat.SetNextCluster(end, FAT_BAD), KW_OK);
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    before_ = Contents(Partition(image_));
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetFatType(old.fatKind);
    limits.SetSize(c.newSize, false);
    limits.SetClusterSize(c.newSpc * 512);
    ASSERT_EQ(limits.GetSize(), c.newSize);
    ASSERT_EQ(limits.GetClusterSize(), c.newSpc * 512);
    ASSERT_EQ(c.newSpc == old.sectorsPerCluster ? fat_->Resize(0, c.newSize, nullptr, nullptr)
                                                : ChangeClusterSize(fat_, &limits, 0),
              KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    uint32_t sector = old.ClusterToSector(middle);
    for (uint32_t k = 0; k < old.sectorsPerCluster; ++k)
        EXPECT_EQ(fat_->GetFat()->GetNextCluster(b.SectorToCluster(sector + k)), FAT_BAD) << k;
    uint32_t past = old.ClusterToSector(end);
    uint32_t kept = past < b.totalSectors ? old.sectorsPerCluster / c.newSpc : 0;
    EXPECT_EQ(fat_->CountBadClusters(), std::max(1u, old.sectorsPerCluster / c.newSpc) + kept);
    CloseDisk();
    ExpectWhole(image_);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatResizeBad,
                         ::testing::Values(BadCase{"shrink", {16, 30082, 1}, 14017, 1},
                                           BadCase{"grow", {16, 30082, 1}, 46147, 1},
                                           BadCase{"smaller", {16, 30082, 4}, 30082, 1},
                                           BadCase{"fat32_shrink", {32, 100000, 1}, 94342, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Random sizes anywhere within the limits (the partition's end freed from
// the cylinder grid), one after the other on one volume of each kind.
TEST_F(FatResize, RandomResizesWithinTheLimits) {
    std::mt19937 rng(20261211);
    std::string sizes;
    for (Volume v : {Volume{12, 14017, 4}, Volume{16, 32768, 1}, Volume{32, 78277, 1}}) {
        MakeDisk(v);
        int steps = kwtest::SizedForBuild(4, 2);
        for (int i = 0; i < steps; ++i) {
            OpenDisk(nullptr);
            pi_->ulFlags &= ~PI_CHECKED_TYPE;
            pi_->ulCylSize = 1;
            pi_->ulSectsToNextCyl = 0;
            FAT_LIMITS limits;
            Limits(&limits);
            uint32_t low = 0, high = 0, bytes = fat_->GetBootRecord()->BytesPerCluster();
            ASSERT_TRUE(limits.RangeAt(fat_->GetBootRecord()->fatKind, bytes, &low, &high));
            high = std::min(high, limits.GetMaxSize());
            uint32_t size = std::uniform_int_distribution<uint32_t>(low, high)(rng);
            SCOPED_TRACE("FAT" + std::to_string(v.bits) + " step " + std::to_string(i) + ": " +
                         std::to_string(pi_->NumSects) + " -> " + std::to_string(size) + " of " +
                         std::to_string(low) + ".." + std::to_string(high));
            ASSERT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
            CloseDisk();
            sizes += std::to_string(size) + " ";
            ASSERT_EQ(EntrySectors(image_), size);
            ExpectWhole(image_);
        }
    }
    RecordProperty("sizes", sizes);
}

// A destination still used by a cluster that stays is refused before any
// write; destinations that are free or move themselves (a swap) are taken,
// the FAT32 root and a folder among the moves.
TEST_F(FatRunMoves, NeedFreeOrMovingDestinations) {
    MakeDisk({32, 94342, 1});
    OpenDisk(nullptr);
    uint32_t same = pi_->NumSects;
    Pairs moves = PickMoves(true);
    const FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t stays = fat.FindNextUsed(moves.back().first + 1);
    while (std::any_of(moves.begin(), moves.end(), [&](auto m) { return m.first == stays; }))
        stays = fat.FindNextUsed(stays + 1);
    std::string pristine = kwtest::ReadHost(image_);
    // Onto a cluster that stays, or one that is named as staying in place.
    for (Pairs refused :
         {Pairs{{moves[0].first, stays}}, Pairs{{stays, stays}, {moves[0].first, stays}},
          Pairs{{moves[0].first, stays}, {stays, stays}}}) {
        MakeRuns(refused);
        EXPECT_EQ(fat_->Resize(0, same, from_, onto_), ERR_MOVE_STALLED);
        ExpectStateMatchesDisk();
        EXPECT_TRUE(kwtest::ReadHost(image_) == pristine);
    }
    MakeRuns(moves);
    CloseDisk();
    CopyClusters(moves);
    OpenDisk(nullptr);
    ASSERT_EQ(Aligned(same), same);
    EXPECT_EQ(fat_->Resize(0, same, from_, onto_), KW_OK);
    ExpectStateMatchesDisk();
    CloseDisk();
    ExpectWhole(image_);
}

// A FAT32 root whose first cluster lies in the part a shrink cuts off
// moves with the boot sector's root cluster (and its backup).
TEST_F(FatRunMoves, Fat32RootPastTheNewEndMoves) {
    MakeDisk({32, 126472, 1});
    OpenDisk(nullptr);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    uint32_t high = b.LastCluster();
    while (fat_->GetFat()->GetNextCluster(high) != 0)
        --high;
    Pairs moves = {{b.rootCluster, high}};
    MakeRuns(moves);
    CloseDisk();
    CopyClusters(moves);
    OpenDisk(nullptr);
    ASSERT_EQ(RelinkCopiedRuns(fat_, from_, onto_), KW_OK);
    ASSERT_EQ(fat_->GetBootRecord()->rootCluster, high);
    ASSERT_EQ(fat_->Resize(0, 78277, nullptr, nullptr), KW_OK);
    EXPECT_LT(fat_->GetBootRecord()->rootCluster, fat_->GetBootRecord()->LastCluster());
    CloseDisk();
    ExpectWhole(image_);
    fs::path part = Partition(image_);
    FAT_BOOT_RECORD now = BootOf(part);
    EXPECT_TRUE(kwtest::ReadAt(part, 0, 512) ==
                kwtest::ReadAt(part, now.backupBootSector * 512ull, 512));
}

// A write that fails ends the resize with its code; the volume holds what
// its disk says (a boot record it can list the root with), and the disk,
// scanned again, a sound volume with every file.
TEST_F(FatResize, AFailedWriteLeavesTheVolumeReadAgain) {
    MakeDisk({16, 30082, 1}, 55);
    std::string pristine = kwtest::ReadHost(image_);
    for (uint32_t size : {14017u, 46147u}) {
        Restore(pristine);
        std::vector<kwtest::DiskEvent> log;
        OpenDisk(&log);
        ASSERT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
        CloseDisk();
        size_t writes = 0;
        for (const kwtest::DiskEvent& e : log)
            writes += e.flush ? 0 : 1;
        ASSERT_GT(writes, 3u);
        for (size_t k : {size_t{1}, writes / 4, writes / 2, writes * 3 / 4, writes}) {
            SCOPED_TRACE("to " + std::to_string(size) + ": write " + std::to_string(k) + " of " +
                         std::to_string(writes) + " fails");
            Restore(pristine);
            OpenDisk(nullptr, 0, k);
            EXPECT_NE(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
            ASSERT_TRUE(fat_->IsInitialised());
            ExpectStateMatchesDisk();
            DIRLIST root;
            EXPECT_EQ(fat_->ListDirectory(&root, "\\", 0), KW_OK);
            EXPECT_GT(root.GetCount(), 0u);
            CloseDisk();
            Rescan(image_);
            uint32_t entry = EntrySectors(image_);
            EXPECT_TRUE(entry == 30082u || entry == size) << entry;
            ExpectWhole(image_);
        }
    }
}

// A read-only volume is neither resized nor changed, its swap files
// included: nothing is written.
TEST_F(FatResize, ReadOnlyVolumeWritesNothing) {
    MakeDisk({16, 30082, 2});
    fs::path swap = dir_ / "PAGEFILE.SYS";
    kwtest::WriteHost(swap, kwtest::Bytes(65536, 42));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(swap) + " ::/");
    std::vector<kwtest::DiskEvent> log;
    OpenDisk(&log);
    fat_->SetReadOnly(true);
    EXPECT_EQ(fat_->Resize(0, 14017, nullptr, nullptr), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fat_->Resize(0, pi_->NumSects, nullptr, nullptr), ERR_WRITE_PROTECTED);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_WRITE_PROTECTED);
    EXPECT_NE(EvacuateClusterRange(fat_, 2, 100), KW_OK);
    size_t writes = 0;
    for (const kwtest::DiskEvent& e : log)
        writes += e.flush ? 0 : 1;
    EXPECT_EQ(writes, 0u);
}

// A volume whose chains cross is refused before anything is written.
TEST_F(FatResize, DamagedChainsAreRefused) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t a = fat.FindNextChainHead(2), b = fat.FindNextChainHead(a + 1);
    while (fat.GetNextCluster(b) >= FAT_EOC)
        b = fat.FindNextChainHead(b + 1);
    ASSERT_EQ(fat.SetNextCluster(a, fat.GetNextCluster(b)), KW_OK); // two chains meet
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    std::string damaged = kwtest::ReadHost(image_);
    OpenDisk(nullptr);
    EXPECT_EQ(fat_->Resize(0, 14017, nullptr, nullptr), ERR_FAT_INVALID_ENTRIES);
    FAT_LIMITS limits;
    Limits(&limits);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_FAT_INVALID_ENTRIES);
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == damaged);
}

// Swap files keep their first 4096 bytes and give the rest back.
TEST_F(FatResize, SwapFilesAreShortened) {
    MakeDisk({16, 30082, 1});
    fs::path swap = dir_ / "PAGEFILE.SYS";
    std::string bytes = kwtest::Bytes(65536, 42);
    kwtest::WriteHost(swap, bytes);
    fs::path part = dir_ / "vol2.img";
    fs::copy_file(volume_, part);
    kwtest::Mcopy(part, swap, "/PAGEFILE.SYS");
    kwtest::Splice(image_, start_, part);
    OpenDisk(nullptr);
    uint32_t same = Aligned(pi_->NumSects);
    ASSERT_EQ(fat_->Resize(0, same, nullptr, nullptr), KW_OK);
    CloseDisk();
    fs::path after = Partition(image_);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(after, &report)) << report;
    EXPECT_TRUE(kwtest::Mtype(after, "/PAGEFILE.SYS") == bytes.substr(0, 4096));
}

TEST(FatPartitionTypeRule, FollowsKindSizeAndBiosLimit) {
    struct Case {
        uint8_t kind;
        uint32_t clusters, sectors;
        uint8_t current;
        bool past;
        uint8_t want;
    } cases[] = {
        {FAT_KIND_12, 4084, 8192, 0x06, false, 0x01},
        {FAT_KIND_16, 4085, 20000, 0x01, false, 0x04},
        {FAT_KIND_16, 40000, 80000, 0x04, false, 0x06},
        {FAT_KIND_16, 40000, 80000, 0x06, true, 0x0E},
        {FAT_KIND_16, 40000, 80000, 0x0E, false, 0x0E}, // an LBA type stays LBA
        {FAT_KIND_16, 40000, 80000, 0x16, false, 0x16}, // hidden stays hidden
        {FAT_KIND_32, 70000, 140000, 0x06, false, 0x0B},
        {FAT_KIND_32, 70000, 140000, 0x0B, true, 0x0C},
        {FAT_KIND_32, 70000, 140000, 0x0E, false, 0x0C},
        {FAT_KIND_32, 70000, 140000, 0x1B, true, 0x1C},
        {FAT_KIND_32, 70000, 140000, 0x12, true, 0x12}, // utility types stay
        {FAT_KIND_16, 40000, 80000, 0xDE, false, 0xDE},
    };
    for (const Case& c : cases) {
        FAT_BOOT_RECORD b;
        b.fatKind = c.kind;
        b.clusterCount = c.clusters;
        b.totalSectors = c.sectors;
        EXPECT_EQ(FatPartitionType(b, c.current, c.past), c.want)
            << int(c.kind) << " " << c.clusters << " from " << int(c.current);
    }
}

// ------------------------------------------------------ Evacuation

TEST_F(FatResize, EvacuatedRangeEndsFreeWithEveryFile) {
    MakeDisk({16, 16384, 1});
    OpenDisk(nullptr);
    const FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    const FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t low = fat.FindNextUsed(2), high = low;
    for (uint32_t c = low; c <= b.LastCluster(); ++c)
        high = fat.GetNextCluster(c) != 0 ? c : high;
    uint32_t first = low + (high - low) / 3, last = high - (high - low) / 3;
    ASSERT_GT(fat_->GetFat()->CountUsedClusters(first, last), 20u);
    EXPECT_EQ(EvacuateClusterRange(fat_, last, first), ERR_FAT_BAD_CLUSTER);
    EXPECT_EQ(EvacuateClusterRange(fat_, 0, b.LastCluster() + 10), ERR_FAT_NO_SPACE);
    ASSERT_EQ(EvacuateClusterRange(fat_, first, last), KW_OK);
    EXPECT_EQ(fat_->GetFat()->CountUsedClusters(first, last), 0u);
    CloseDisk();
    ExpectWhole(image_);
}

} // namespace
