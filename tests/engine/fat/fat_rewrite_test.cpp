// Rewriting a FAT volume's critical area for another cluster size or kind:
// volumes made by mkfs.fat inside a partitioned disk and filled by mtools,
// rewritten by the engine, then judged by fsck.fat and by every file's hash
// read back with mcopy; and the same rewrite cut off at each of its writes,
// followed by the recovery of the next disk scan.
#include "tests/engine/fat/fat_rewrite_fixture.h"

using namespace fatrewrite;

namespace {

TEST_P(FatRewrite, NewLayoutPassesFsckAndKeepsEveryFile) {
    const RewriteCase& c = GetParam();
    MakeVolume(c.bits, c.spc);
    ASSERT_TRUE(FsckClean());
    uint64_t writes = 0;
    ASSERT_EQ(Rewrite(c, 0, &writes), KW_OK);
    std::string report;
    EXPECT_TRUE(FsckClean(&report)) << report;
    ExpectFiles();
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    FAT_BOOT_RECORD b;
    ASSERT_EQ(b.Parse(boot, kSectors), KW_OK);
    EXPECT_EQ(b.sectorsPerCluster, c.newSpc);
    EXPECT_EQ(b.IsFat32(), c.toFat32);
    EXPECT_EQ(TypeByte(), c.type);
}

// Cut off at each write, then scanned again: the old or the new volume,
// with every file.
TEST_P(FatRewrite, CutAtAnyWriteLeavesOneWholeVolume) {
    const RewriteCase& c = GetParam();
    MakeVolume(c.bits, c.spc);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    ASSERT_EQ(Rewrite(c, 0, &writes), KW_OK);
    ASSERT_GT(writes, 3u);
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        uint64_t seen = 0;
        EXPECT_NE(Rewrite(c, k, &seen), KW_OK);
        Rescan();
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        // The type is the old one or the new one, except after the two cuts
        // of a change of kind that leave 3Ch without marks (see
        // fat_rewrite.h): the rescan gives those the type of the volume's
        // kind, which may be the other form (CHS or LBA) of that kind.
        std::string type = TypeByte(), before = c.bits == 32 ? "12" : "6";
        bool bare3C = before != c.type && (k == writes || k == writes - 2);
        bool fatType = type == "1" || type == "4" || type == "6" || type == "11" || type == "12" ||
                       type == "14";
        EXPECT_TRUE(type == before || type == c.type || (bare3C && fatType)) << type;
        ExpectFiles();
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatRewrite,
                         ::testing::Values(RewriteCase{"split16", 16, 4, 2, false},
                                           RewriteCase{"fat16to32", 16, 2, 1, true, 0, "11"},
                                           RewriteCase{"fat32to16", 32, 1, 1, false, 65000, "4"},
                                           RewriteCase{"same32", 32, 1, 1, true, 0, "12"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The hidden-sectors field follows the partition's start, in the boot
// sector and in the copy another loader keeps as a file.
TEST_F(FatRewrite, HiddenSectorsReachTheBootSectorAndItsFileCopies) {
    MakeVolume(16, 4);
    std::vector<uint8_t> stale = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    kwbytes::StoreLe32(stale.data() + 28, 0);
    kwtest::WriteAt(image_, uint64_t{kStart} * 512, stale);
    fs::path copy = dir_ / "bootsect.dos";
    std::ofstream(copy, std::ios::binary)
        << std::string(reinterpret_cast<const char*>(stale.data()), 512);
    Must(Mtools("mcopy -i '" + image_.string() + kAt + "' '" + copy.string() + "' ::/"));
    setenv("KW_DISKS", image_.c_str(), 1);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(OpenVolume(), nullptr);
    EXPECT_EQ(fat_->UpdateHiddenSectors(), KW_OK);
    Close();
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    EXPECT_EQ(kwbytes::LoadLe32(boot.data() + 28), kStart);
    std::string file =
        kwtest::Capture(Mtools("mtype -i '" + image_.string() + kAt + "' ::/bootsect.dos"));
    ASSERT_EQ(file.size(), 512u);
    EXPECT_EQ(file, std::string(reinterpret_cast<const char*>(boot.data()), 512));
    EXPECT_TRUE(FsckClean());
}

// Writing the whole FAT32 table: at every cut, the copy the boot sector
// sends readers to (copy 0 while mirrored) is wholly the old table or the
// new one; at the end every copy is the new one and mirroring is back.
TEST_F(FatRewrite, WholeFat32WritesKeepACopyToReadAtEveryCut) {
    MakeVolume(32, 1);
    auto boot = [&] { return kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512); };
    FAT_BOOT_RECORD b;
    ASSERT_EQ(b.Parse(boot(), kSectors), KW_OK);
    auto copy = [&](uint32_t n) {
        std::vector<uint8_t> v = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors + n * b.sectorsPerFat) * 512,
            size_t{b.sectorsPerFat} * 512);
        return std::string(v.begin(), v.end());
    };
    const std::string oldFat = copy(0);
    const uint32_t marked = b.LastCluster() - 10; // free: it becomes bad
    ASSERT_EQ(kwbytes::LoadLe32(reinterpret_cast<const uint8_t*>(oldFat.data()) + marked * 4), 0u);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    auto op = [&](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
        kwRet rc = fat->GetFat()->SetNextCluster(marked, FAT_BAD);
        return rc == KW_OK ? fat->WriteAllFats() : rc;
    };
    uint64_t writes = 0;
    ASSERT_EQ(RunOnVolume(op, 0, &writes), KW_OK);
    const std::string newFat = copy(0);
    EXPECT_EQ(kwbytes::LoadLe32(reinterpret_cast<const uint8_t*>(newFat.data()) + marked * 4),
              0x0FFFFFF7u);
    EXPECT_EQ(copy(1), newFat);
    EXPECT_EQ(kwbytes::LoadLe16(boot().data() + 40), 0u);
    std::string report;
    EXPECT_TRUE(FsckClean(&report)) << report;
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        EXPECT_NE(RunOnVolume(op, k, nullptr), KW_OK);
        uint16_t flags = kwbytes::LoadLe16(boot().data() + 40);
        std::string read = copy((flags & 0x80) != 0 ? flags & 0x0F : 0);
        EXPECT_TRUE(read == oldFat || read == newFat);
        if ((flags & 0x80) == 0) {
            EXPECT_EQ(copy(1), read);
        }
    }
}

// Merging clusters needs every chain to start on a new cluster boundary;
// mtools' chains do not, and the rewrite refuses before it writes.
TEST_F(FatRewrite, MisalignedChainsAreRefusedBeforeAnyWrite) {
    MakeVolume(16, 2);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    EXPECT_EQ(Rewrite(RewriteCase{"merge", 16, 2, 8, false}, 0, &writes), ERR_FAT_INVALID_ENTRIES);
    EXPECT_EQ(writes, 0u);
    EXPECT_TRUE(kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
}

// Bad clusters keep their sectors bad in the new numbering; one that the new
// system area would cover refuses the rewrite before it writes.
TEST_F(FatRewrite, BadClustersAreCarriedOrRefused) {
    struct {
        uint32_t cluster;
        kwRet result;
    } cases[] = {{15000, KW_OK}, {40, ERR_FAT_INVALID_PARAMETERS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cluster);
        files_.clear();
        MakeVolume(16, 4);
        std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
        uint32_t reserved = kwbytes::LoadLe16(boot.data() + 14);
        uint32_t spf = kwbytes::LoadLe16(boot.data() + 22);
        uint32_t root = kwbytes::LoadLe16(boot.data() + 17) * 32 / 512;
        for (uint32_t copy = 0; copy < 2; ++copy)
            kwtest::WriteAt(image_,
                            (uint64_t{kStart} + reserved + copy * spf) * 512 + c.cluster * 2,
                            {0xF7, 0xFF});
        uint64_t writes = 0;
        ASSERT_EQ(Rewrite(RewriteCase{"bad", 16, 4, 2, false}, 0, &writes), c.result);
        if (c.result != KW_OK) {
            EXPECT_EQ(writes, 0u);
            continue;
        }
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        // The old cluster's four sectors are the new clusters m and m + 1.
        uint64_t sector = reserved + 2 * spf + root + uint64_t{c.cluster - 2} * 4;
        boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
        FAT_BOOT_RECORD b;
        ASSERT_EQ(b.Parse(boot, kSectors), KW_OK);
        uint32_t m = static_cast<uint32_t>((sector - b.FirstDataSector()) / 2 + 2);
        std::vector<uint8_t> entries = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors) * 512 + uint64_t{m - 1} * 2, 8);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data()), 0u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 2), 0xFFF7u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 4), 0xFFF7u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 6), 0u);
    }
}

// Sectors listed to the rewrite become bad clusters of the new layout; one
// under a file or in the new system area refuses it before any write.
TEST_F(FatRewrite, ListedBadSectorsAreMarkedInTheNewLayout) {
    MakeVolume(16, 4);
    std::string shown = kwtest::Capture(
        Mtools("mshowfat -i '" + image_.string() + kAt + "' '::/Docs/Old Letters/big file.log'"));
    size_t open = shown.find('<');
    ASSERT_NE(open, std::string::npos) << shown;
    uint32_t fileCluster = static_cast<uint32_t>(std::stoul(shown.substr(open + 1)));
    FAT_BOOT_RECORD old;
    ASSERT_EQ(old.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
    const uint32_t freeSector = kSectors - 100;
    struct {
        const char* name;
        uint32_t sector;
        kwRet result;
    } cases[] = {{"free", freeSector, KW_OK},
                 {"under a file", old.ClusterToSector(fileCluster) + 1, ERR_FAT_BAD_CLUSTER_IN_USE},
                 {"system area", 1, ERR_BAD_SECTOR_IN_FS},
                 {"past the end", kSectors + 10, ERR_BAD_ARGUMENT}};
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        SECT_LIST list;
        ASSERT_EQ(list.Add(c.sector), KW_OK);
        bad_ = &list;
        uint64_t writes = 0;
        EXPECT_EQ(Rewrite(RewriteCase{"bad", 16, 4, 2, false}, 0, &writes), c.result);
        bad_ = nullptr;
        if (c.result != KW_OK) {
            EXPECT_EQ(writes, 0u);
            EXPECT_TRUE(
                kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
            continue;
        }
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        FAT_BOOT_RECORD b;
        ASSERT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        uint32_t m = b.SectorToCluster(c.sector);
        std::vector<uint8_t> entry = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors) * 512 + uint64_t{m} * 2, 2);
        EXPECT_EQ(kwbytes::LoadLe16(entry.data()), 0xFFF7u);
    }
}

// A chain that runs into itself is refused before anything is written.
TEST_F(FatRewrite, ALoopedChainIsRefusedBeforeAnyWrite) {
    MakeVolume(16, 4);
    std::string shown = kwtest::Capture(
        Mtools("mshowfat -i '" + image_.string() + kAt + "' '::/Docs/Old Letters/big file.log'"));
    size_t open = shown.find('<');
    ASSERT_NE(open, std::string::npos) << shown;
    uint32_t first = static_cast<uint32_t>(std::stoul(shown.substr(open + 1)));
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    uint32_t reserved = kwbytes::LoadLe16(boot.data() + 14),
             spf = kwbytes::LoadLe16(boot.data() + 22);
    // Its second cluster links back to its first, in both copies.
    for (uint32_t copy = 0; copy < 2; ++copy) {
        uint64_t fat = (uint64_t{kStart} + reserved + copy * spf) * 512;
        std::vector<uint8_t> link(2);
        kwbytes::StoreLe16(link.data(), static_cast<uint16_t>(first));
        kwtest::WriteAt(image_, fat + uint64_t{first + 1} * 2, link);
    }
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    EXPECT_EQ(Rewrite(RewriteCase{"loop", 16, 4, 2, false}, 0, &writes), ERR_FAT_INVALID_ENTRIES);
    EXPECT_EQ(writes, 0u);
    EXPECT_TRUE(kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
}

// A new layout whose system area would cover the old one is refused.
TEST_F(FatRewrite, OverlappingSystemAreasAreRefused) {
    MakeVolume(16, 4);
    setenv("KW_DISKS", image_.c_str(), 1);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(OpenVolume(), nullptr);
    FAT_BOOT_RECORD layout = *fat_->GetBootRecord();
    layout.sectorsPerCluster = 2;
    REWRITE_PLAN plan;
    EXPECT_EQ(PlanRewrite(fat_, layout, &plan), ERR_FAT_INVALID_PARAMETERS);
}

} // namespace

// Chains translated one to one, split, merged and broken, over a FAT held
// in memory.
namespace {

struct Layouts {
    FAT_BOOT_RECORD old, nw;
    Layouts(uint16_t oldSpc, uint16_t newSpc, uint32_t oldFirstData, uint32_t newFirstData) {
        old.sectorsPerCluster = oldSpc;
        old.reservedSectors = static_cast<uint16_t>(oldFirstData);
        old.fatCount = 0;
        old.clusterCount = 64;
        old.bytesPerSector = 512;
        old.fatKind = FAT_KIND_16;
        nw = old;
        nw.sectorsPerCluster = newSpc;
        nw.reservedSectors = static_cast<uint16_t>(newFirstData);
        nw.clusterCount = 64 * oldSpc / newSpc;
    }
};

TEST(ChainMigration, MapsClustersBySector) {
    Layouts l(4, 2, 100, 104);
    EXPECT_EQ(MapCluster(l.old, l.nw, 0), 0u);
    EXPECT_EQ(MapCluster(l.old, l.nw, 1), 1u);
    EXPECT_EQ(MapCluster(l.old, l.nw, FAT_BAD), FAT_BAD);
    EXPECT_EQ(MapCluster(l.old, l.nw, 2), 0u); // sector 100 lies before the new data
    EXPECT_EQ(MapCluster(l.old, l.nw, 3), 2u); // sector 104
    EXPECT_EQ(MapCluster(l.old, l.nw, 4), 4u); // sector 108
    CLUSTER_FACTORS f = ClusterFactors(4, 2);
    EXPECT_EQ(f.split, 2u);
    EXPECT_EQ(f.merge, 0u);
    f = ClusterFactors(2, 8);
    EXPECT_EQ(f.merge, 4u);
    f = ClusterFactors(4, 4);
    EXPECT_EQ(f.split + f.merge, 0u);
}

TEST(ChainMigration, FatSectorsEncodeEachWidth) {
    uint32_t entries[6] = {FAT_EOC, FAT_EOC_MARK, 3, FAT_EOC_MARK, FAT_BAD, 0x123};
    uint8_t s[512];
    EncodeFatSector(FAT_KIND_12, entries, 6, 0, s);
    EXPECT_EQ(s[0], 0xF8);
    EXPECT_EQ(s[1], 0xFF);
    EXPECT_EQ(s[2], 0xFF);
    EXPECT_EQ(s[3], 0x03);
    EXPECT_EQ(s[4], 0xF0);
    EXPECT_EQ(s[5], 0xFF);
    EXPECT_EQ(s[6], 0xF7); // entry 4 bad
    EXPECT_EQ(s[7], 0x3F);
    EXPECT_EQ(s[8], 0x12);
    EncodeFatSector(FAT_KIND_32, entries, 6, 0, s);
    EXPECT_EQ(s[16], 0xF7);
    EXPECT_EQ(s[19], 0x0F);
    EncodeFatSector(FAT_KIND_16, entries, 6, 1, s);
    EXPECT_EQ(s[0], 0);
}

} // namespace
