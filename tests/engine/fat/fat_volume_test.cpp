// FAT volumes made and filled by the Debian tools, read through the engine
// (kwfs and the engine's calls) and compared with mdir, fls and fsck.fat.
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/fat_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using kwtest::FatListing;
using kwtest::Quote;

namespace {

struct VolumeCase {
    const char* name;
    int bits;
    uint32_t kib;
    int clusterSectors;
};

// Names the engine reads back digest the same as the host files they came from.
void ExpectHashesOfHostTree(const FatListing& listing, const fs::path& root) {
    for (const auto& [path, e] : listing) {
        if (e.dir)
            continue;
        std::string want = kwtest::Capture("sha256sum " + Quote(root / path));
        EXPECT_EQ(want.substr(0, 64), e.sha) << path;
    }
}

class FatToolVolumes : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(FatToolVolumes, ListingsEqualTheTools) {
    kwtest::TempDir dir;
    const VolumeCase& c = GetParam();
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", c.bits, c.kib, c.clusterSectors);
    fs::path host = kwtest::FillStandardTree(dir, image);
    kwtest::KwfsResult got = kwtest::KwfsLs("part:" + image.string(), true);
    ASSERT_EQ(got.status, 0) << got.err;
    FatListing mdir = kwtest::MdirListing(image);
    ASSERT_GT(mdir.size(), 20u);
    EXPECT_EQ(got.listing, mdir);
    FatListing fls = kwtest::FlsListing(image);
    ASSERT_EQ(got.listing.size(), fls.size());
    for (const auto& [path, e] : fls) {
        ASSERT_TRUE(got.listing.count(path)) << path;
        EXPECT_EQ(got.listing[path].dir, e.dir) << path;
    }
    ExpectHashesOfHostTree(got.listing, host);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FatToolVolumes,
    ::testing::Values(VolumeCase{"fat12", 12, 2000, 1}, VolumeCase{"fat12big", 12, 8000, 4},
                      VolumeCase{"fat16", 16, 20000, 1}, VolumeCase{"fat16s8", 16, 60000, 8},
                      VolumeCase{"fat32", 32, 70000, 1}, VolumeCase{"fat32s8", 32, 300000, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// Fills partition n (at sector start) of a disk image and compares.
void CheckDiskPartition(const kwtest::TempDir& dir, const fs::path& image, int n, uint32_t start) {
    fs::path tree = dir / ("t" + std::to_string(n));
    fs::create_directories(tree / "Sub Folder");
    std::ofstream(tree / "Sub Folder" / "A long name.txt") << "partition " << n;
    std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(image) + "@@" +
                       std::to_string(uint64_t{start} * 512) + " " + Quote(tree) + "/* ::";
    ASSERT_TRUE(kwtest::Run(copy)) << kwtest::Capture("(" + copy + ") 2>&1; echo rc=$?");
    std::string source = "disk:" + image.string() + ":" + std::to_string(n);
    kwtest::KwfsResult got = kwtest::KwfsLs(source);
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.listing, kwtest::MdirListing(image, start)) << n;
    EXPECT_EQ(got.listing.size(), kwtest::FlsListing(image, start).size()) << n;
    kwtest::KwfsResult cat = kwtest::Kwfs("cat '" + source + "' 'sub folder/a LONG name.TXT'");
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, "partition " + std::to_string(n));
}

TEST(FatDiskImage, PartitionsOfADiskImageListLikeTheTools) {
    kwtest::TempDir dir;
    // FAT16 and FAT12 are partitions 1 and 6 of the standard disk.
    kwtest::StandardDisk disk = kwtest::BuildStandardDisk(dir);
    CheckDiskPartition(dir, disk.image, 1, disk.parts[0].start);
    CheckDiskPartition(dir, disk.image, 6, disk.parts[5].start);
    // A FAT32 partition large enough for every tool to take it as FAT32.
    fs::path image = dir / "fat32disk.img";
    kwtest::MakeSparse(image, 150000ull * 512);
    kwtest::WriteLayout(image, {{0x0C, 2048, 140000}}, 0, 0);
    ASSERT_TRUE(kwtest::Run("mkfs.fat --offset 2048 -F 32 -s 1 " + Quote(image) + " 70000"));
    CheckDiskPartition(dir, image, 1, 2048);
}

TEST(FatFolders, AFolderOfFiveThousandFiles) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 32, 80000, 1);
    fs::path many = dir / "many";
    fs::create_directories(many);
    // 8.3 names: mcopy takes minutes to find aliases for thousands of long names.
    for (int i = 0; i < 5000; ++i)
        std::ofstream(many / ("F" + std::to_string(10000 + i) + ".TXT")) << i;
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + " ::Many && " +
                            "MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " + Quote(many) +
                            "/* ::Many"));
    kwtest::KwfsResult got = kwtest::KwfsLs("part:" + image.string());
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.listing.size(), 5001u);
    EXPECT_EQ(got.listing, kwtest::MdirListing(image));
}

TEST(FatFolders, AFileThatFillsTheVolume) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 12, 1440, 1);
    long bytes = 1440 * 1024 - 40 * 512;
    std::ofstream(dir / "fill.bin") << std::string(static_cast<size_t>(bytes), 'f');
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " +
                            Quote(dir / "fill.bin") + " ::FILL.BIN"));
    kwtest::KwfsResult got = kwtest::KwfsLs("part:" + image.string(), true);
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.listing["FILL.BIN"].size, static_cast<uint64_t>(bytes));
    EXPECT_EQ(got.listing["FILL.BIN"].sha,
              kwtest::Capture("sha256sum " + Quote(dir / "fill.bin")).substr(0, 64));
}

// The engine's own calls over one part: file.
class FatEngine : public kwtest::FatVolumeTest {
protected:
    void Open(const fs::path& image) { OpenVolume(image, false); }
};

// Clusters of the data area with any sector in the map.
long ClustersTouched(const STATE_MAP& map, const FAT_BOOT_RECORD& b) {
    long n = 0;
    for (uint32_t c = 2; c <= b.LastCluster(); ++c) {
        uint32_t s = b.ClusterToSector(c);
        uint32_t next = map.FindNextSet(s);
        n += next != STATE_MAP_NONE && next < s + b.sectorsPerCluster;
    }
    return n;
}

TEST_F(FatEngine, UsedSectorMapsAgreeWithFsck) {
    for (int bits : {12, 16, 32}) {
        kwtest::TempDir dir;
        fs::path image = kwtest::MakeFatVolume(dir, "v.img", bits, bits == 32 ? 70000 : 8000,
                                               bits == 12 ? 4 : 2);
        kwtest::FillStandardTree(dir, image);
        Open(image);
        ASSERT_EQ(fs_->Init(), KW_OK);
        STATE_MAP* meta = nullptr;
        STATE_MAP* data = nullptr;
        ASSERT_EQ(fs_->GenerateBitmaps(&meta, &data, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        STATE_MAP all(*meta);
        all.OrWith(*data);
        EXPECT_EQ(ClustersTouched(all, b), kwtest::FsckUsedClusters(image)) << bits;
        EXPECT_TRUE(meta->IsSet(0));
        EXPECT_TRUE(meta->IsSet(b.FirstDataSector() - 1));
        // File data stops at the file's last byte: a 3,000-byte file uses 6 sectors.
        SECTOR_RUN* runs = fs_->ListClusters("\\A rather long file name, with commas.text");
        ASSERT_NE(runs, nullptr);
        EXPECT_TRUE(data->IsSet(runs->firstSector + 5));
        EXPECT_FALSE(data->IsSet(runs->firstSector + 6));
        FreeSectorRuns(runs);
        delete meta;
        delete data;
        TearDown();
    }
}

// Rewrites the 32-bit FAT entry of a cluster in every copy.
void PokeFat32(const fs::path& image, const FAT_BOOT_RECORD& b, uint32_t cluster, uint32_t value) {
    std::vector<uint8_t> v(4);
    kwbytes::StoreLe32(v.data(), value);
    for (uint32_t copy = 0; copy < b.fatCount; ++copy)
        kwtest::WriteAt(
            image, (uint64_t{b.FirstFatSector()} + copy * b.sectorsPerFat) * 512 + cluster * 4, v);
}

TEST_F(FatEngine, DamagedChainsGiveCodesNotHangs) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 32, 70000, 1);
    kwtest::FillStandardTree(dir_, image);
    Open(image);
    ASSERT_EQ(fs_->Init(), KW_OK);
    FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    FAT_FILE_HANDLE* h = nullptr;
    ASSERT_EQ(fat_->OpenFile("\\Docs", &h, FAT_ATTR_DIRECTORY), KW_OK);
    uint32_t docs = h->FirstCluster();
    delete h;
    ASSERT_EQ(fat_->OpenFile("\\Docs\\Old Letters\\big file.log", &h, 0), KW_OK);
    uint32_t big = h->FirstCluster();
    delete h;
    TearDown();
    // The folder's chain loops on itself; the file's chain loops back to its start.
    PokeFat32(image, b, docs, docs);
    PokeFat32(image, b, big + 3, big);
    Open(image);
    ASSERT_EQ(fs_->Init(), KW_OK);
    DIRLIST list;
    EXPECT_EQ(fs_->ListDirectory(&list, "\\Docs", LIST_LONG_NAMES), ERR_BAD_SUBDIRECTORY);
    EXPECT_EQ(fs_->ListDirectory(&list, "\\", LIST_LONG_NAMES), KW_OK);
    EXPECT_GT(list.GetCount(), 4u);
    STATE_MAP* map = nullptr;
    EXPECT_EQ(fs_->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
    delete map;
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    EXPECT_EQ(ls.status, 1);
    EXPECT_TRUE(ls.out.empty());
    EXPECT_NE(ls.err.find("error 500"), std::string::npos) << ls.err;
}

TEST_F(FatEngine, AFolderThatNamesItsAncestorEndsTheWalk) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 1);
    kwtest::FillStandardTree(dir_, image);
    Open(image);
    ASSERT_EQ(fs_->Init(), KW_OK);
    FAT_FILE_HANDLE* h = nullptr;
    ASSERT_EQ(fat_->OpenFile("\\Docs\\Old Letters", &h, FAT_ATTR_DIRECTORY), KW_OK);
    // Point "Old Letters" at "Docs", its parent.
    FAT_FILE_HANDLE* parent = nullptr;
    ASSERT_EQ(fat_->OpenFile("\\Docs", &parent, FAT_ATTR_DIRECTORY), KW_OK);
    uint64_t at = uint64_t{h->entrySector} * 512 + (h->entryIndex % 16) * 32 + FDE_CLUSTER_LOW;
    std::vector<uint8_t> word(2);
    kwbytes::StoreLe16(word.data(), static_cast<uint16_t>(parent->FirstCluster()));
    delete h;
    delete parent;
    TearDown();
    kwtest::WriteAt(image, at, word);
    Open(image);
    ASSERT_EQ(fs_->Init(), KW_OK);
    STATE_MAP* map = nullptr;
    EXPECT_EQ(fs_->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
    delete map;
    DIRLIST found;
    EXPECT_EQ(fs_->FileMatch("\\*.LOG", SEARCH_SUBDIRECTORIES, &found), ERR_BAD_SUBDIRECTORY);
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    EXPECT_EQ(ls.status, 1);
    EXPECT_TRUE(ls.out.empty());
}

TEST_F(FatEngine, TheFatEndsAtItsLastCluster) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 12, 1440, 1);
    Open(image);
    ASSERT_EQ(fs_->Init(), KW_OK);
    FAT_BLOCKS* fat = fat_->GetFat();
    uint32_t end = fat->GetEntryCount();
    EXPECT_EQ(end, fat_->GetBootRecord()->LastCluster() + 1);
    EXPECT_EQ(fat->SetNextCluster(end, 5), ERR_BAD_ARGUMENT);
    EXPECT_EQ(fat->GetNextCluster(end), 0u);
    // Bad and end-of-chain marks read the same whatever the width.
    ASSERT_EQ(fat->SetNextCluster(end - 1, FAT_BAD), KW_OK);
    EXPECT_EQ(fat->GetNextCluster(end - 1), FAT_BAD);
    ASSERT_EQ(fat->SetNextCluster(end - 1, FAT_EOC_MARK), KW_OK);
    EXPECT_EQ(fat->GetNextCluster(end - 1), FAT_EOC_MARK);
    ASSERT_EQ(fat->SetNextCluster(end - 1, 0), KW_OK);
    EXPECT_EQ(fat->GetNextCluster(end - 1), 0u);
}

// Bad-cluster marks written by another tool (0xFF7, 0xFFF7, 0x0FFFFFF7) read
// back as marks, never as links to a cluster of that number, and the marks
// the engine writes land on the disk in each width.
TEST_F(FatEngine, BadClusterMarksReadBackFromDiskInEveryWidth) {
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE("FAT" + std::to_string(bits));
        kwtest::TempDir dir;
        fs::path image = kwtest::MakeFatVolume(dir, "v.img", bits,
                                               bits == 32   ? 70000
                                               : bits == 16 ? 20000
                                                            : 1440,
                                               1);
        std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
        uint64_t fatAt = uint64_t{kwbytes::LoadLe16(boot.data() + 14)} * 512;
        // Cluster 5 (odd, the high half of a FAT12 byte pair) and 6 marked bad.
        auto mark = [&](uint32_t cluster) {
            if (bits == 32) {
                kwtest::WriteAt(image, fatAt + cluster * 4, {0xF7, 0xFF, 0xFF, 0x0F});
            } else if (bits == 16) {
                kwtest::WriteAt(image, fatAt + cluster * 2, {0xF7, 0xFF});
            } else {
                uint64_t at = fatAt + cluster * 3 / 2;
                std::vector<uint8_t> pair = kwtest::ReadAt(image, at, 2);
                if (cluster & 1)
                    pair = {uint8_t((pair[0] & 0x0F) | 0x70), 0xFF};
                else
                    pair = {0xF7, uint8_t((pair[1] & 0xF0) | 0x0F)};
                kwtest::WriteAt(image, at, pair);
            }
        };
        mark(5);
        mark(6);
        Open(image);
        ASSERT_EQ(fs_->Init(), KW_OK);
        FAT_BLOCKS* fat = fat_->GetFat();
        EXPECT_EQ(fat->GetNextCluster(5), FAT_BAD);
        EXPECT_EQ(fat->GetNextCluster(6), FAT_BAD);
        EXPECT_EQ(fat->GetNextCluster(7), 0u);
        SECT_LIST bad;
        ASSERT_EQ(fs_->GetBadSectors(&bad), KW_OK);
        EXPECT_EQ(bad.GetCount(), 2u);
        // Written back by the engine: the same bytes as the tool's.
        std::vector<uint8_t> before = kwtest::ReadAt(image, fatAt, 16);
        ASSERT_EQ(fat->SetNextCluster(6, 0), KW_OK);
        ASSERT_EQ(fat_->FlushFat(), KW_OK);
        ASSERT_EQ(fat->SetNextCluster(6, FAT_BAD), KW_OK);
        ASSERT_EQ(fat_->FlushFat(), KW_OK);
        TearDown();
        EXPECT_EQ(kwtest::ReadAt(image, fatAt, 16), before);
    }
}

TEST_F(FatEngine, BadBootSectorsAndTruncatedVolumes) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 4);
    std::vector<uint8_t> bps(2);
    kwbytes::StoreLe16(bps.data(), 1024);
    kwtest::WriteAt(image, 11, bps);
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    EXPECT_EQ(ls.status, 1);
    EXPECT_NE(ls.err.find("error 102"), std::string::npos) << ls.err;
    // A partition cut short: the volume is smaller, the root stays readable.
    fs::path cut = kwtest::MakeFatVolume(dir_, "cut.img", 16, 20000, 4);
    kwtest::FillStandardTree(dir_, cut);
    fs::resize_file(cut, 4000 * 512);
    Open(cut);
    ASSERT_EQ(fs_->Init(), KW_OK);
    EXPECT_LE(fat_->GetBootRecord()->totalSectors, 4000u);
    DIRLIST list;
    EXPECT_EQ(fs_->ListDirectory(&list, "\\", LIST_LONG_NAMES), KW_OK);
}

} // namespace
