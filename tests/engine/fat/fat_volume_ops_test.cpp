// The FAT volume as a whole: the maps of the FAT in memory and the move map,
// the folder cache of the whole volume, bad clusters, the boot sector's
// geometry and hidden sectors, and the label read from the boot sector and
// root alone. Volumes are made by mkfs.fat and mtools; fsck.fat, mtools and
// The Sleuth Kit's fsstat judge what the engine leaves.
#include "engine/core/progress.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/fat_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using kwtest::Quote;

namespace {

// ---------------------------------------------------------------- the FAT's maps

// Two chains, one across a block boundary, a bad cluster and free space.
class FatMaps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(fat_.InitEmpty(), KW_OK);
        // 2 -> 3 -> 4, then 1500 -> 10 (over two blocks); 2000 bad.
        ASSERT_EQ(fat_.SetNextCluster(4, FAT_EOC_MARK), KW_OK);
        ASSERT_EQ(fat_.SetNextCluster(3, 4), KW_OK);
        ASSERT_EQ(fat_.SetNextCluster(2, 3, true), KW_OK);
        ASSERT_EQ(fat_.SetNextCluster(10, FAT_EOC_MARK), KW_OK);
        ASSERT_EQ(fat_.SetNextCluster(1500, 10, true), KW_OK);
        ASSERT_EQ(fat_.SetNextCluster(2000, FAT_BAD), KW_OK);
    }
    FAT_BLOCKS fat_{FAT_KIND_16, 3000};
};

TEST_F(FatMaps, PredecessorsAndChainHeads) {
    const std::pair<uint32_t, uint32_t> previous[] = {
        {3, 2}, {4, 3}, {10, 1500}, {2, 0}, {1500, 0}, {5, 0}, {2000, 0}, {0, 0}, {3000, 0}};
    for (auto [cluster, before] : previous)
        EXPECT_EQ(fat_.FindPreviousCluster(cluster), before) << cluster;
    EXPECT_EQ(fat_.FindNextChainHead(0), 2u);
    EXPECT_EQ(fat_.FindNextChainHead(3), 1500u);
    EXPECT_EQ(fat_.CountChains(), 2u);
    // Cut after 2: 3 heads what is left of the chain.
    ASSERT_EQ(fat_.SetNextCluster(2, FAT_EOC_MARK), KW_OK);
    EXPECT_TRUE(fat_.IsChainHead(3));
    EXPECT_EQ(fat_.FindPreviousCluster(3), 0u);
    EXPECT_EQ(fat_.CountChains(), 3u);
    // Freed: no longer a head, nor anything's predecessor.
    ASSERT_EQ(fat_.SetNextCluster(3, 0), KW_OK);
    EXPECT_FALSE(fat_.IsChainHead(3));
    EXPECT_TRUE(fat_.IsChainHead(4));
    // A predecessor inside a run of a contiguous chain.
    for (uint32_t c = 2100; c < 2600; ++c)
        ASSERT_EQ(fat_.SetNextCluster(c, c + 1), KW_OK);
    ASSERT_EQ(fat_.SetNextCluster(2600, FAT_EOC_MARK), KW_OK);
    EXPECT_EQ(fat_.FindPreviousCluster(2345), 2344u);
    EXPECT_EQ(fat_.FindPreviousCluster(2600), 2599u);
}

// Entries 0 and 1 (a protected update keeps its marks and the saved type
// there, small numbers) point at no cluster: setting them and setting them
// back leaves every chain's heads and predecessors as they were.
TEST_F(FatMaps, TheReservedEntriesLinkNothing) {
    for (uint32_t value : {4u, 3u, 10u}) {
        SCOPED_TRACE(value);
        for (uint32_t entry : {0u, 1u}) {
            uint32_t normal = fat_.GetNextCluster(entry);
            ASSERT_EQ(fat_.SetNextCluster(entry, value), KW_OK);
            ASSERT_EQ(fat_.SetNextCluster(entry, normal), KW_OK);
        }
        EXPECT_FALSE(fat_.IsChainHead(value));
        EXPECT_EQ(fat_.FindPreviousCluster(3), 2u);
        EXPECT_EQ(fat_.FindPreviousCluster(4), 3u);
        EXPECT_EQ(fat_.FindPreviousCluster(10), 1500u);
        EXPECT_EQ(fat_.CountChains(), 2u);
    }
}

TEST_F(FatMaps, BadAndReservedClusters) {
    EXPECT_EQ(fat_.FindNextBad(0), 2000u);
    EXPECT_EQ(fat_.FindNextBad(2001), STATE_MAP_NONE);
    EXPECT_EQ(fat_.CountBadClusters(), 1u);
    uint32_t free = fat_.CountFreeClusters();
    fat_.ReserveClusters(5, 20); // 10 is used
    EXPECT_EQ(fat_.CountReservedClusters(2, 2999), 16u);
    EXPECT_EQ(fat_.FindNextFree(5), 21u);
    EXPECT_EQ(fat_.CountFreeClusters(), free - 15);
    fat_.ReserveClusters(30, 20); // reversed: nothing
    EXPECT_EQ(fat_.CountReservedClusters(2, 2999), 16u);
    fat_.FreeReservedClusters(5, 9);
    EXPECT_EQ(fat_.FindNextFree(5), 5u);
    EXPECT_EQ(fat_.CountFreeClusters(0, 5000), free - 10); // cut to the table
}

TEST_F(FatMaps, AppendedEntriesAreFreeAndTheOldOnesStay) {
    ASSERT_EQ(fat_.AppendEntries(2500), KW_OK);
    EXPECT_EQ(fat_.GetEntryCount(), 5500u);
    EXPECT_EQ(fat_.GetNextCluster(1500), 10u);
    EXPECT_EQ(fat_.GetNextCluster(2999), 0u);
    EXPECT_EQ(fat_.GetNextCluster(5499), 0u);
    EXPECT_EQ(fat_.FindNextFree(3000), 3000u);
    ASSERT_EQ(fat_.SetNextCluster(5499, FAT_EOC_MARK, true), KW_OK);
    ASSERT_EQ(fat_.SetNextCluster(4, 5499), KW_OK);
    EXPECT_EQ(fat_.FindPreviousCluster(5499), 4u);
}

TEST(FatMoveMap, TargetsAndSources) {
    MOVE_MAP moves(5000);
    ASSERT_TRUE(moves.IsLoaded());
    EXPECT_EQ(moves.CountMoves(), 0u);
    ASSERT_EQ(moves.SetTarget(7, 4300), KW_OK);
    ASSERT_EQ(moves.SetTarget(8, 4301), KW_OK);
    EXPECT_EQ(moves.GetTarget(7), 4300u);
    EXPECT_EQ(moves.FindSource(4301), 8u);
    EXPECT_EQ(moves.FindSource(4302), 0u);
    EXPECT_EQ(moves.CountMoves(), 2u);
}

// ---------------------------------------------------------------- volumes

std::string Hashes(const kwtest::TempDir& dir, const fs::path& image) {
    fs::path out = dir / "out";
    fs::remove_all(out);
    fs::create_directories(out);
    kwtest::Run("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -s -i " + Quote(image) + " ::* " +
                Quote(out) + " 2>/dev/null");
    return kwtest::Capture("cd " + Quote(out) +
                           " && find . -type f -print0 | sort -z | "
                           "xargs -0 sha256sum");
}

class FatVolume : public kwtest::FatVolumeTest {
protected:
    void Open(const fs::path& image) { OpenVolume(image, true); }
    void Close() { CloseVolume(); }
    std::string Fsck(const fs::path& image) {
        std::string report;
        return kwtest::FsckClean(image, &report) ? "" : report;
    }
};

struct CacheCase {
    const char* name;
    int bits;
    uint32_t kib;
    int clusterSectors;
};

class FatFolderCache : public FatVolume, public ::testing::WithParamInterface<CacheCase> {};

// The cache holds every folder the tools list, its list of starting clusters
// is sorted and names every chain a file or folder starts; a file's and a
// leaf folder's first clusters moved through it keep every byte where the
// tools find it.
TEST_P(FatFolderCache, HoldsEveryFolderAndMovesFirstClusters) {
    const CacheCase& c = GetParam();
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", c.bits, c.kib, c.clusterSectors);
    kwtest::FillStandardTree(dir_, image);
    std::ofstream(dir_ / "leaf.txt") << std::string(3000, 'L');
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) +
                            " ::LEAF && "
                            "MTOOLS_SKIP_CHECK=1 mcopy -i " +
                            Quote(image) + " " + Quote(dir_ / "leaf.txt") + " ::LEAF/leaf.txt"));
    kwtest::FatListing listing = kwtest::MdirListing(image);
    uint32_t files = 0, folders = 0, starts = 0;
    for (const auto& [name, e] : listing) {
        (e.dir ? folders : files) += 1;
        starts += e.dir || e.size > 0;
    }
    const std::string before = Hashes(dir_, image);
    Open(image);
    FAT_DIR_BLOCKS* dirs = nullptr;
    ASSERT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
    EXPECT_EQ(dirs->Counts().files, files);
    EXPECT_EQ(dirs->Counts().directories - 2 * folders, folders); // "." and ".." of each
    EXPECT_EQ(dirs->CountStarts(), starts);
    FAT_DIR_SLOT slot;
    uint32_t last = 0, fileStart = 0, leafStart = 0;
    for (bool more = dirs->FirstEntry(&slot); more; more = dirs->NextEntry(&slot, false)) {
        uint32_t start =
            kwbytes::LoadLe16(slot.entry + FDE_CLUSTER_LOW) |
            (c.bits == 32 ? kwbytes::LoadLe16(slot.entry + FDE_CLUSTER_HIGH) << 16 : 0);
        EXPECT_GE(start, last);
        last = start;
        if (std::memcmp(slot.entry, "LEAF       ", 11) == 0)
            leafStart = start;
        else if (fileStart == 0 && (slot.entry[FDE_ATTR] & FAT_ATTR_DIRECTORY) == 0)
            fileStart = start;
    }
    ASSERT_NE(leafStart, 0u);
    ASSERT_NE(fileStart, 0u);
    EXPECT_EQ(dirs->UpdateStartingCluster(fileStart + 100000, 5), ERR_BLOCK_NOT_FOUND);
    const FAT_BOOT_RECORD* boot = fat_->GetBootRecord();
    FAT_BLOCKS* fat = fat_->GetFat();
    std::vector<uint8_t> cluster(boot->BytesPerCluster());
    for (uint32_t old : {fileStart, leafStart}) {
        uint32_t moved = 0;
        ASSERT_EQ(fat_->AppendCluster(0, &moved), KW_OK);
        ASSERT_EQ(
            fs_->ReadSectors(boot->ClusterToSector(old), cluster.data(), boot->sectorsPerCluster),
            KW_OK);
        ASSERT_EQ(fat->SetNextCluster(moved, fat->GetNextCluster(old)), KW_OK);
        ASSERT_EQ(fat->SetNextCluster(old, 0), KW_OK);
        if (old == leafStart) {
            // The folder's sectors follow it in the cache, "." with them.
            ASSERT_EQ(dirs->MoveDirCluster(old, moved, true), KW_OK);
            BLOCK_ENTRY* b = nullptr;
            ASSERT_EQ(dirs->FindBlock(boot->ClusterToSector(moved), &b), KW_OK);
            kwbytes::StoreLe16(b->data + FDE_CLUSTER_LOW, static_cast<uint16_t>(moved));
            kwbytes::StoreLe16(b->data + FDE_CLUSTER_HIGH,
                               static_cast<uint16_t>(c.bits == 32 ? moved >> 16 : 0));
            ASSERT_EQ(dirs->MarkChanged(boot->ClusterToSector(moved)), KW_OK);
        } else {
            ASSERT_EQ(fs_->WriteSectors(boot->ClusterToSector(moved), cluster.data(),
                                        boot->sectorsPerCluster),
                      KW_OK);
            ASSERT_EQ(dirs->UpdateStartingCluster(old, moved), KW_OK);
        }
        EXPECT_TRUE(dirs->FindStart(moved, &slot));
        EXPECT_FALSE(dirs->FindStart(old, &slot));
    }
    ASSERT_EQ(fat_->FlushState(), KW_OK);
    Close();
    EXPECT_EQ(Fsck(image), "");
    EXPECT_EQ(Hashes(dir_, image), before);
    EXPECT_EQ(kwtest::MdirListing(image), listing);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatFolderCache,
                         ::testing::Values(CacheCase{"fat12", 12, 1440, 1},
                                           CacheCase{"fat16", 16, 20000, 4},
                                           CacheCase{"fat32", 32, 70000, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A folder chain that comes back to itself, and a subfolder whose first
// cluster holds no "." and "..", end that folder only.
TEST_F(FatVolume, DamagedFoldersEndTheirOwnWalkOnly) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 1);
    kwtest::FillStandardTree(dir_, image);
    for (const char* folder : {"LOOP", "JUNK"}) {
        ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + " ::" + folder));
        std::ofstream(dir_ / "f") << "x";
        ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " +
                                Quote(dir_ / "f") + " ::" + folder + "/F.TXT"));
    }
    Open(image);
    FAT_DIR_BLOCKS* dirs = nullptr;
    ASSERT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
    uint32_t files = dirs->Counts().files;
    uint32_t loop = 0, junk = 0;
    FAT_DIR_SLOT slot;
    for (bool more = dirs->FirstEntry(&slot); more; more = dirs->NextEntry(&slot, false)) {
        uint32_t start = kwbytes::LoadLe16(slot.entry + FDE_CLUSTER_LOW);
        if (std::memcmp(slot.entry, "LOOP       ", 11) == 0)
            loop = start;
        if (std::memcmp(slot.entry, "JUNK       ", 11) == 0)
            junk = start;
    }
    ASSERT_NE(loop, 0u);
    ASSERT_NE(junk, 0u);
    const FAT_BOOT_RECORD* boot = fat_->GetBootRecord();
    ASSERT_EQ(fat_->GetFat()->SetNextCluster(loop, loop), KW_OK); // a chain onto itself
    uint8_t zeros[512] = {};
    ASSERT_EQ(fs_->WriteSectors(boot->ClusterToSector(junk), zeros, 1), KW_OK);
    fat_->DropDirBlocks();
    ASSERT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
    EXPECT_EQ(dirs->Counts().files, files - 1); // JUNK's file is not reached
    EXPECT_TRUE(dirs->DirClusters().IsSet(loop));
}

// Reading the folders reports progress every 100 sectors; a cancel heard
// there ends the read and keeps no cache. A tree of fewer sectors makes no
// progress call and so hears none.
TEST_F(FatVolume, FolderReadReportsProgressAndHearsCancel) {
    struct {
        const char* name;
        int folders; // of one 4-sector cluster each, beside the 32 root sectors
        kwRet result;
    } cases[] = {{"small", 10, KW_OK}, {"large", 60, ERR_USER_CANCEL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kwtest::TempDir dir;
        fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
        std::string names;
        for (int i = 0; i < c.folders; ++i)
            names += " ::D" + std::to_string(i);
        ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + names));
        Open(image);
        PROGRESS_INFO::RequestCancel();
        FAT_DIR_BLOCKS* dirs = nullptr;
        EXPECT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), c.result);
        PROGRESS_INFO::ClearCancelRequest();
        EXPECT_EQ(fat_->GetDirBlocks() != nullptr, c.result == KW_OK);
        ASSERT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
        EXPECT_EQ(dirs->Counts().directories, 3u * c.folders); // each with "." and ".."
        CloseVolume();
    }
}

// ---------------------------------------------------------------- bad clusters

// Bad sectors as fsstat's map of the FAT shows them ("a-b (n) -> BAD").
std::set<uint32_t> FsstatBad(const fs::path& image) {
    std::istringstream in(kwtest::Capture("fsstat " + Quote(image)));
    static const std::regex run(R"(^(\d+)-(\d+) \(\d+\) -> BAD$)");
    std::set<uint32_t> bad;
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, m, run))
            for (uint32_t s = std::stoul(m[1]); s <= std::stoul(m[2]); ++s)
                bad.insert(s);
    return bad;
}

std::set<uint32_t> EngineBad(FILESYSTEM* fs) {
    SECT_LIST list;
    EXPECT_EQ(fs->GetBadSectors(&list), KW_OK);
    std::set<uint32_t> bad;
    for (uint32_t i = 0; i < list.GetCount(); ++i)
        bad.insert(list.GetAt(i));
    return bad;
}

TEST_F(FatVolume, BadSectorsSetAddedAndClearedAsTheToolsSeeThem) {
    fs::path image = dir_ / "v.img";
    std::ofstream(dir_ / "bad.txt") << "300\n301\n900\n"; // 1 KiB blocks
    ASSERT_TRUE(kwtest::Run("mkfs.fat -C -F 16 -s 4 -l " + Quote(dir_ / "bad.txt") + " " +
                            Quote(image) + " 20000 >/dev/null"));
    std::ofstream(dir_ / "data.bin") << std::string(50000, 'd');
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " +
                            Quote(dir_ / "data.bin") + " ::DATA.BIN"));
    const std::set<uint32_t> made = FsstatBad(image);
    ASSERT_EQ(made.size(), 8u);
    Open(image);
    EXPECT_EQ(EngineBad(fs_), made);
    EXPECT_EQ(fat_->CountBadClusters(), 2u);
    const FAT_BOOT_RECORD* boot = fat_->GetBootRecord();
    uint32_t used = boot->ClusterToSector(2) + 1, freeSector = boot->ClusterToSector(4000) + 2;
    std::set<uint32_t> cluster4000; // the sectors of the cluster marked below
    for (uint32_t s = boot->ClusterToSector(4000); s < boot->ClusterToSector(4001); ++s)
        cluster4000.insert(s);
    struct Row {
        std::vector<uint32_t> sectors;
        kwRet rc;
    } rows[] = {
        {{freeSector, 5}, ERR_BAD_SECTOR_IN_FS},          // the boot area
        {{freeSector, used}, ERR_FAT_BAD_CLUSTER_IN_USE}, // DATA.BIN's first cluster
        {{freeSector, boot->totalSectors + 10}, ERR_BAD_ARGUMENT},
        {{freeSector, freeSector + 1, *made.begin()}, KW_OK},
    };
    for (const Row& row : rows) {
        SECT_LIST list;
        for (uint32_t s : row.sectors)
            list.Add(s);
        EXPECT_EQ(fs_->AddBadSectors(&list), row.rc) << row.sectors[1];
    }
    EXPECT_EQ(fs_->AddBadSectors(nullptr), ERR_BAD_ARGUMENT);
    std::set<uint32_t> added = made;
    added.insert(cluster4000.begin(), cluster4000.end());
    EXPECT_EQ(EngineBad(fs_), added);
    Close();
    EXPECT_EQ(Fsck(image), "");
    EXPECT_EQ(FsstatBad(image), added);
    // Set: the list replaces the marks; a sector under data is left.
    Open(image);
    SECT_LIST list;
    list.Add(freeSector);
    list.Add(used);
    EXPECT_EQ(fs_->SetBadSectors(&list), KW_OK);
    Close();
    EXPECT_EQ(FsstatBad(image), cluster4000);
    EXPECT_EQ(Fsck(image), "");
    Open(image);
    EXPECT_EQ(fs_->ClearBadSectors(), KW_OK);
    Close();
    EXPECT_TRUE(FsstatBad(image).empty());
    EXPECT_EQ(Fsck(image), "");
    EXPECT_EQ(kwtest::Capture("MTOOLS_SKIP_CHECK=1 mtype -i " + Quote(image) + " ::DATA.BIN"),
              std::string(50000, 'd'));
}

// ---------------------------------------------------------------- boot sector

TEST_F(FatVolume, GeometryGoesIntoTheBootSectorAndItsBackup) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 32, 70000, 1);
    Open(image);
    EXPECT_EQ(fs_->SetGeometry(0, 63), ERR_BAD_ARGUMENT);
    EXPECT_EQ(fs_->SetGeometry(16, 64), ERR_BAD_ARGUMENT);
    ASSERT_EQ(fs_->SetGeometry(128, 32), KW_OK);
    EXPECT_EQ(fs_->UpdateHiddenSectors(), KW_OK); // no table entry: the field stays
    // Far below the volume's limits: refused, nothing written.
    EXPECT_EQ(fs_->Resize(0, 1000, nullptr, nullptr), ERR_FAT_NO_SPACE);
    Close();
    std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
    EXPECT_EQ(kwbytes::LoadLe16(&boot[24]), 32u);
    EXPECT_EQ(kwbytes::LoadLe16(&boot[26]), 128u);
    EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 82), "KWTEST     ");
    EXPECT_EQ(kwtest::ReadAt(image, 6 * 512, 512), boot);
    EXPECT_EQ(Fsck(image), "");
}

// The label comes from the root's label entry, else from the boot sector,
// without the FAT being read.
TEST_F(FatVolume, LabelWithoutOpeningTheVolume) {
    for (int bits : {12, 32}) {
        kwtest::TempDir dir;
        fs::path image = kwtest::MakeFatVolume(dir, "v.img", bits, bits == 12 ? 1440 : 70000, 1);
        Open(image);
        char label[12];
        ASSERT_EQ(fatGetVolumeLabel(pi_, label), KW_OK);
        EXPECT_STREQ(label, "KWTEST");
        Close();
        ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mlabel -i " + Quote(image) + " ::Other"));
        Open(image);
        ASSERT_EQ(fatGetVolumeLabel(pi_, label), KW_OK);
        EXPECT_STREQ(label, "OTHER");
        EXPECT_EQ(fatGetVolumeLabel(pi_, nullptr), ERR_BAD_ARGUMENT);
        Close();
    }
}

} // namespace
