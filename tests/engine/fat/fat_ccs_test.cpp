// Changing the cluster size of FAT volumes (and their FAT kind), and the
// resize and cluster-size change cut off after each of their writes,
// followed by the next disk scan's recovery; the volumes and oracles are
// those of the resize tests.
#include "tests/engine/fat/fat_resize_fixture.h"

using namespace fatresize;

namespace {

// ------------------------------------------------- ChangeClusterSize

struct ChangeCase {
    const char* name;
    Volume volume;
    uint32_t newSpc;
    uint8_t newKind;
    uint32_t newSize; // 0: as it is
};

class FatClusterSize : public FatResize, public ::testing::WithParamInterface<ChangeCase> {
protected:
    // The limits for the case, or why not.
    bool Choose(const ChangeCase& c, FAT_LIMITS* limits) {
        Limits(limits);
        limits->SetFatType(c.newKind);
        limits->SetSize(c.newSize != 0 ? c.newSize : pi_->NumSects, false);
        limits->SetClusterSize(c.newSpc * 512);
        return limits->GetFatType() == c.newKind && limits->GetClusterSize() == c.newSpc * 512;
    }
};

TEST_P(FatClusterSize, KeepsEveryFileAndTheIdentity) {
    const ChangeCase& c = GetParam();
    MakeDisk(c.volume);
    std::vector<uint8_t> oldBoot = kwtest::ReadAt(volume_, 0, 512);
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    ASSERT_TRUE(Choose(c, &limits)) << limits.GetFatType() << " " << limits.GetClusterSize();
    uint32_t size = limits.GetSize();
    kwRet rc = ChangeClusterSize(fat_, &limits, 0);
    if (rc == ERR_NOT_SUPPORTED && c.newSpc > uint32_t(c.volume.spc))
        GTEST_SKIP() << "alignment of larger clusters not built";
    ASSERT_EQ(rc, KW_OK);
    ExpectStateMatchesDisk();
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), size);
    ExpectWhole(image_);
    fs::path part = Partition(image_);
    FAT_BOOT_RECORD b = BootOf(part);
    EXPECT_EQ(b.sectorsPerCluster, c.newSpc);
    EXPECT_EQ(b.IsFat32(), c.newKind == FAT_KIND_32);
    std::vector<uint8_t> boot = kwtest::ReadAt(part, 0, 512);
    // OEM name, media, sectors per track and heads; serial and label.
    for (uint32_t at : {3u, 21u, 24u, 26u})
        EXPECT_EQ(boot[at], oldBoot[at]) << at;
    uint32_t oldSerial = c.volume.bits == 32 ? 67 : 39, newSerial = b.IsFat32() ? 67 : 39;
    EXPECT_EQ(kwbytes::LoadLe32(boot.data() + newSerial),
              kwbytes::LoadLe32(oldBoot.data() + oldSerial));
    EXPECT_EQ(std::string(boot.begin() + newSerial + 4, boot.begin() + newSerial + 15),
              std::string(oldBoot.begin() + oldSerial + 4, oldBoot.begin() + oldSerial + 15));
    if (c.newKind == FAT_KIND_32) {
        EXPECT_EQ(EntryType(image_), 0x0B);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FatClusterSize,
    ::testing::Values(ChangeCase{"fat16_smaller", {16, 32768, 4}, 1, FAT_KIND_16, 0},
                      ChangeCase{"fat12_smaller_shrunk", {12, 8192, 4}, 2, FAT_KIND_12, 7000},
                      ChangeCase{
                          "fat16_same_to_fat32_grown", {16, 80000, 2}, 2, FAT_KIND_32, 140000},
                      ChangeCase{"fat16_larger", {16, 32768, 1}, 4, FAT_KIND_16, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Equal clusters, kind and size still rewrite the volume for another root
// size.
TEST_F(FatClusterSize, RootSizeChangesWithEqualClusters) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetRootEntries(1024);
    ASSERT_EQ(limits.GetRootEntries(), 1024u);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    ASSERT_EQ(ChangeClusterSize(fat_, &limits, 0), KW_OK);
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), 30082u); // the partition keeps its size
    EXPECT_EQ(BootOf(Partition(image_)).rootEntries, 1024u);
    ExpectWhole(image_);
}

// A bad cluster where the new system area goes cannot be moved away: the
// change is refused before it writes anything.
TEST_F(FatClusterSize, BadClusterUnderTheNewSystemAreaIsRefused) {
    MakeDisk({16, 30082, 2});
    OpenDisk(nullptr);
    ASSERT_EQ(fat_->GetFat()->GetNextCluster(3), 0u);
    ASSERT_EQ(fat_->GetFat()->SetNextCluster(3, FAT_BAD), KW_OK);
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    std::string marked = kwtest::ReadHost(image_);
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_BAD_SECTOR_IN_FS);
    ExpectStateMatchesDisk();
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == marked);
}

// The OS/2 extended-attribute file is re-laid in a copy that takes its
// name after the rewrite; no copy is left behind, whether the change is
// done or refused.
TEST_F(FatClusterSize, ExtendedAttributeFileFollowsTheChange) {
    MakeDisk({16, 30082, 2});
    // Header and handle table in the first cluster, one attribute record of
    // 100 bytes in the second.
    std::string ea(2048, '\0');
    auto* d = reinterpret_cast<uint8_t*>(ea.data());
    for (uint32_t g = 0; g < 240; ++g)
        kwbytes::StoreLe16(d + 32 + 2 * g, g == 0 ? 1 : 2);
    kwbytes::StoreLe16(d + 510, 2);
    std::fill(ea.begin() + 514, ea.begin() + 1024, '\xFF');
    kwbytes::StoreLe16(d + 512, 0);
    kwbytes::StoreLe16(d + 1024 + 26, 100);
    kwtest::WriteHost(dir_ / "EADATA.SF", ea);
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(dir_ / "EADATA.SF") +
         " ::/");
    std::string disk = kwtest::ReadHost(image_);
    size_t entry = disk.find("EADATA  SF ");
    ASSERT_NE(entry, std::string::npos);
    disk.replace(entry, 11, "EA DATA  SF"); // the name mcopy cannot write
    Restore(disk);
    // The other files keep their bytes (the attribute file's own change).
    auto others = [&](const fs::path& part) {
        std::istringstream lines(Contents(part));
        std::string kept;
        for (std::string line; std::getline(lines, line);)
            kept += line.find("./EA") == std::string::npos ? line + "\n" : "";
        return kept;
    };
    std::string before = others(Partition(image_));
    kwtest::FatListing listing = kwtest::MdirListing(Partition(image_));
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    kwRet rc = ChangeClusterSize(fat_, &limits, 0);
    EXPECT_TRUE(rc == KW_OK || rc == ERR_NOT_SUPPORTED) << rc;
    FAT_FOUND found;
    EXPECT_EQ(fat_->FindPath("EA DATA. SF", 0, &found), KW_OK);
    EXPECT_EQ(fat_->FindPath("EA DATA.TMP", 0, &found), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(fat_->GetBootRecord()->sectorsPerCluster, rc == KW_OK ? 1u : 2u);
    CloseDisk();
    fs::path part = Partition(image_);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
    EXPECT_EQ(others(part), before);
    kwtest::FatListing after = kwtest::MdirListing(part);
    EXPECT_EQ(after.erase("EA.DATA"), 1u); // its size follows the new clusters
    EXPECT_EQ(listing.erase("EA.DATA"), 1u);
    EXPECT_EQ(after, listing);
}

// Mode 1 tests the sectors a growing partition gains: an unreadable one
// ends up in a cluster marked bad.
TEST_F(FatClusterSize, AddedSectorsAreTestedInModeOne) {
    MakeDisk({16, 16384, 1});
    uint32_t bad = 16384 + 100;
    OpenDisk(nullptr, start_ + bad);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetSize(30082, false); // the next cylinder boundary
    ASSERT_EQ(ChangeClusterSize(fat_, &limits, CCS_TEST_ADDED_SECTORS), KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    EXPECT_EQ(fat_->GetFat()->GetNextCluster(b.SectorToCluster(bad)), FAT_BAD);
    EXPECT_EQ(fat_->CountBadClusters(), 1u);
    CloseDisk();
    ExpectWhole(image_);
}

// ------------------------------------------------------------ cuts

class FatResizeCuts : public FatResize {};

// The caller's copies are on the disk before the cut moves begin.
class FatRunMoveCuts : public FatRunMoves {};

TEST_F(FatRunMoveCuts, RelinkCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    Pairs moves = PickMoves(false);
    MakeRuns(moves);
    uint32_t same = pi_->NumSects;
    CloseDisk();
    CopyClusters(moves);
    CutEverywhere([&] { return RelinkCopiedRuns(fat_, from_, onto_); });
    EXPECT_EQ(EntrySectors(image_), same);
}

TEST_F(FatResizeCuts, ShrinkCutAtAnyWrite) {
    MakeDisk({16, 30082, 1}, 55); // the files beyond the new end
    CutEverywhere([&] { return fat_->Resize(0, 14017, nullptr, nullptr); });
}

TEST_F(FatResizeCuts, GrowCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    CutEverywhere([&] { return fat_->Resize(0, 46147, nullptr, nullptr); });
}

// FAT32: the boot sector, its backup and FSInfo switch with the layout.
TEST_F(FatResizeCuts, Fat32ShrinkCutAtAnyWrite) {
    MakeDisk({32, 94342, 1}, 85); // the files beyond the new end
    // (Reordered writes as in FAT16; the prefixes suffice here.)
    CutEverywhere([&] { return fat_->Resize(0, 78277, nullptr, nullptr); }, false);
}

TEST_F(FatResizeCuts, SmallerClustersCutAtAnyWrite) {
    MakeDisk({16, 30082, 2}, 55);
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetSize(14017, false);
        limits.SetClusterSize(512);
        bool chosen = limits.GetClusterSize() == 512 && limits.GetSize() == 14017;
        return chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
    });
}

TEST_F(FatResizeCuts, LargerClustersCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_LIMITS probe;
    Limits(&probe);
    probe.SetClusterSize(2048);
    bool aligned = ChangeClusterSize(fat_, &probe, 0) != ERR_NOT_SUPPORTED;
    CloseDisk();
    if (!aligned)
        GTEST_SKIP() << "alignment of larger clusters not built";
    MakeDisk({16, 30082, 1});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetClusterSize(2048);
        return limits.GetClusterSize() == 2048 ? ChangeClusterSize(fat_, &limits, 0)
                                               : ERR_BAD_ARGUMENT;
    });
}

// The kind changes with the cluster size: the FAT16 root goes into the
// FAT32 root chain, and the clusters under the new system area move first.
TEST_F(FatResizeCuts, Fat16ToFat32CutAtAnyWrite) {
    MakeDisk({16, 78277, 2});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetFatType(FAT_KIND_32);
        limits.SetClusterSize(512);
        bool chosen = limits.GetFatType() == FAT_KIND_32 && limits.GetClusterSize() == 512;
        kwRet rc = chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
        EXPECT_TRUE(fat_->GetBootRecord()->IsFat32());
        return rc;
    });
    EXPECT_EQ(EntryType(image_), 0x0B);
}

// Back: the FAT32 root chain goes into the fixed FAT16 area, the clusters
// first aligned to the larger ones.
TEST_F(FatResizeCuts, Fat32ToFat16CutAtAnyWrite) {
    MakeDisk({32, 78277, 1});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetFatType(FAT_KIND_16);
        limits.SetClusterSize(1024);
        bool chosen = limits.GetFatType() == FAT_KIND_16 && limits.GetClusterSize() == 1024;
        EXPECT_TRUE(chosen) << int(limits.GetFatType()) << " " << limits.GetClusterSize();
        kwRet rc = chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
        EXPECT_FALSE(fat_->GetBootRecord()->IsFat32());
        return rc;
    });
    EXPECT_EQ(EntryType(image_), 0x06);
}

// The chained FAT16 root is named by its DYN_ROOT sector, which no batch
// rewrites: a map that moves its first cluster is refused before any write.
TEST_F(FatResize, ChainedRootKeepsItsFirstCluster) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    uint32_t root = 0;
    ASSERT_EQ(ConvertRootToDynamic(fat_, &root), KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    MOVE_MAP map(b.LastCluster() + 1);
    ASSERT_TRUE(map.IsLoaded());
    uint32_t free = fat_->GetFat()->FindNextFree(root + 64);
    ASSERT_EQ(map.SetTarget(root, free), KW_OK);
    std::string disk = kwtest::ReadHost(image_);
    EXPECT_EQ(EXECUTOR_FAT(fat_).Execute(&map, true, false), ERR_FAT_MOVE_MAP_INVALID);
    EXPECT_TRUE(kwtest::ReadHost(image_) == disk);
    ASSERT_EQ(ConvertRootToStatic(fat_), KW_OK);
    CloseDisk();
    ExpectWhole(image_);
}

// A move of clusters while the FAT16 root lies in a chain (the protected
// update is the root's, begun before the move): a cut leaves both marks,
// and the scan brings the root home before it completes the move.
TEST_F(FatResizeCuts, MoveWhileTheRootIsInAChainCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    CutEverywhere(
        [&] {
            uint32_t root = 0;
            kwRet rc = ConvertRootToDynamic(fat_, &root);
            if (rc != KW_OK)
                return rc;
            const FAT_BLOCKS& fat = *fat_->GetFat();
            uint32_t low = fat.FindNextUsed(root + 64), high = low;
            for (uint32_t c = low; c <= fat_->GetBootRecord()->LastCluster(); ++c)
                high = fat.GetNextCluster(c) != 0 ? c : high;
            rc = EvacuateClusterRange(fat_, low + (high - low) / 3, high - (high - low) / 3);
            return rc == KW_OK ? ConvertRootToStatic(fat_) : rc;
        },
        true);
}

} // namespace
