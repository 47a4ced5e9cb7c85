// Aligning the data of FAT volumes for larger clusters. Chains laid out by
// hand in the FAT in memory check the planners' arithmetic without a disk;
// volumes made by mkfs.fat, filled by mtools and fragmented (files deleted
// and written into the holes) are aligned on disk, with fsck.fat, every
// file's bytes read back by mtools and a check of the grid read from the
// image's own bytes as the oracle. Alignment alone keeps the old cluster
// size valid (data moves inside the volume), so the tools read the result.
#include "engine/fat/fat_align.h"
#include "engine/fat/fat_move.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/support/recording_disk.h"
#include "tests/support/sanitizer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using namespace kw::fat;

namespace {

const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";

// Copy 0 of the FAT from an image's bytes, entries widened to 32 bits
// (bad 0x0FFFFFF7, end of chain 0x0FFFFFF8 and above).
struct ImageFat {
    uint32_t spc = 0;
    uint32_t firstData = 0;
    uint32_t last = 0; // last cluster
    std::vector<uint32_t> next;
};

ImageFat ReadImageFat(const fs::path& image) {
    std::string bytes = kwtest::ReadHost(image);
    const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
    ImageFat f;
    f.spc = d[13];
    uint32_t reserved = kwbytes::LoadLe16(d + 14), fats = d[16];
    uint32_t rootSectors = (kwbytes::LoadLe16(d + 17) * 32 + 511) / 512;
    uint32_t total =
        kwbytes::LoadLe16(d + 19) != 0 ? kwbytes::LoadLe16(d + 19) : kwbytes::LoadLe32(d + 32);
    uint32_t spf =
        kwbytes::LoadLe16(d + 22) != 0 ? kwbytes::LoadLe16(d + 22) : kwbytes::LoadLe32(d + 36);
    f.firstData = reserved + fats * spf + rootSectors;
    uint32_t clusters = (total - f.firstData) / f.spc;
    f.last = clusters + 1;
    const uint8_t* t = d + reserved * 512;
    for (uint32_t c = 0; c <= f.last; ++c) {
        uint32_t v;
        if (clusters < 4085) {
            uint32_t w = kwbytes::LoadLe16(t + c * 3 / 2);
            v = c % 2 != 0 ? w >> 4 : w & 0xFFF;
            v = v >= 0xFF7 ? v | 0x0FFFF000 : v;
        } else if (clusters < 65525) {
            v = kwbytes::LoadLe16(t + c * 2);
            v = v >= 0xFFF7 ? v | 0x0FFF0000 : v;
        } else {
            v = kwbytes::LoadLe32(t + c * 4) & 0x0FFFFFFF;
        }
        f.next.push_back(v);
    }
    return f;
}

// Every chain of the image in pieces of r clusters: each piece fills one
// group of the grid from its start, in order, between the clusters first
// and last. "" when so, else the first fault.
std::string GridFault(const ImageFat& f, uint32_t r, uint32_t phase, uint32_t first,
                      uint32_t last) {
    std::vector<bool> pointed(f.last + 1);
    for (uint32_t c = 2; c <= f.last; ++c)
        if (f.next[c] >= 2 && f.next[c] <= f.last)
            pointed[f.next[c]] = true;
    for (uint32_t head = 2; head <= f.last; ++head) {
        if (f.next[head] == 0 || f.next[head] == 0x0FFFFFF7 || pointed[head])
            continue;
        uint32_t prev = 0, k = 0;
        for (uint32_t c = head; c >= 2 && c <= f.last; c = f.next[c], ++k) {
            bool ok = c >= first && c <= last && c >= phase + 2 && (c - phase - 2) % r == k % r &&
                      (k % r == 0 || c == prev + 1);
            if (!ok)
                return "cluster " + std::to_string(c) + " at index " + std::to_string(k) +
                       " of the chain from " + std::to_string(head);
            prev = c;
        }
    }
    return "";
}

class FatAlign : public kwtest::FatVolumeTest {
protected:
    void Must(const std::string& cmd) const { ASSERT_TRUE(kwtest::Run(kEnv + cmd)) << cmd; }

    // Files of many sizes, every third deleted, then a tree with larger
    // files written into the holes: chains run through the volume in
    // pieces that start anywhere.
    void Fill(const fs::path& image, int files, size_t unit) {
        fs::path host = dir_ / "host";
        fs::remove_all(host);
        fs::create_directories(host);
        for (int i = 0; i < files; ++i)
            kwtest::WriteHost(host / ("f" + std::to_string(i) + ".bin"),
                              kwtest::Bytes(unit / 3 + i * unit / 2, i));
        Must("mcopy -i " + kwtest::Quote(image) + " " + kwtest::Quote(host) + "/* ::");
        for (int i = 0; i < files; i += 3)
            Must("mdel -i " + kwtest::Quote(image) + " ::/f" + std::to_string(i) + ".bin");
        fs::path more = dir_ / "more";
        fs::remove_all(more);
        fs::create_directories(more / "Sub Folder");
        fs::create_directories(more / "deep" / "er");
        for (int i = 0; i < files / 2; ++i)
            kwtest::WriteHost(more / "Sub Folder" / ("entry " + std::to_string(i) + ".txt"),
                              kwtest::Bytes(unit * (i % 5) + 100, 100 + i));
        kwtest::WriteHost(more / "deep" / "er" / "bottom.txt", "bottom\n");
        kwtest::WriteHost(more / "big.dat", kwtest::Bytes(unit * files / 2, 7));
        Must("mcopy -s -i " + kwtest::Quote(image) + " " + kwtest::Quote(more) + "/* ::");
    }

    // Chains laid by hand into the FAT in memory of a fresh volume.
    void Lay(const std::vector<std::vector<uint32_t>>& chains) {
        FAT_BLOCKS* fat = fat_->GetFat();
        for (const auto& chain : chains)
            for (size_t i = 0; i < chain.size(); ++i)
                ASSERT_EQ(fat->SetNextCluster(
                              chain[i], i + 1 < chain.size() ? chain[i + 1] : FAT_EOC_MARK, i == 0),
                          KW_OK);
    }
    void MarkBad(uint32_t cluster) {
        ASSERT_EQ(fat_->GetFat()->SetNextCluster(cluster, FAT_BAD), KW_OK);
    }

    const FAT_BOOT_RECORD& Boot() const { return *fat_->GetBootRecord(); }
};

// The phase that keeps the most clusters in place: a piece counts for the
// phase it starts a group in, with each later cluster that already follows
// it; pieces past the last whole group count for nothing.
TEST_F(FatAlign, ChoosesThePhaseThatKeepsMostInPlace) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fresh.img", 16, 8192, 1);
    struct Case {
        const char* what;
        uint32_t newSpc;
        std::vector<std::vector<uint32_t>> chains;
        uint32_t phase;
    } cases[] = {
        {"one run wins", 4, {{5, 6, 7, 8}, {9, 10, 11, 12, 13, 14, 15, 16}, {20, 21}}, 3},
        {"a tie goes to the lower phase", 2, {{2, 3}, {5, 6}}, 0},
        {"pieces of a fragmented chain count apart",
         2,
         {{3, 4, 5, 6}, {10, 11, 30, 31}, {41, 42}},
         1},
        {"only clusters exactly in order count", 4, {{7, 9, 8, 10}, {12, 13}}, 1},
        {"no chains", 8, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenVolume(image, true);
        Lay(c.chains);
        EXPECT_EQ(ChooseAlignmentShift(fat_, c.newSpc), c.phase);
        CloseVolume();
    }
    // A piece at the end of the volume that has no whole group.
    OpenVolume(image, true);
    uint32_t last = Boot().LastCluster();
    ASSERT_NE((last - 5) % 8, 4u);
    Lay({{6}, {last - 3, last - 2, last - 1, last}});
    EXPECT_EQ(ChooseAlignmentShift(fat_, 8), 4u);
    EXPECT_EQ(ChooseAlignmentShift(fat_, 1), 0u); // not larger clusters
    EXPECT_EQ(ChooseAlignmentShift(fat_, 3), 0u); // no power-of-two ratio
}

// The check after the moves, on chains laid by hand (r = 2 unless noted).
TEST_F(FatAlign, IsDataAlignedFindsEveryFault) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fresh.img", 16, 8192, 1);
    constexpr uint32_t kAll = UINT32_MAX;
    struct Case {
        const char* what;
        std::vector<std::vector<uint32_t>> chains;
        std::vector<uint32_t> bad;
        uint32_t phase, first, last;
        bool aligned;
    } cases[] = {
        {"in order from a group start", {{10, 11, 12, 13}, {20}}, {}, 0, 2, kAll, true},
        {"a piece out of order", {{10, 11, 13, 12}}, {}, 0, 2, kAll, false},
        {"a head off its group start", {{11, 12}}, {}, 0, 2, kAll, false},
        {"a piece split over two groups", {{10, 13}}, {}, 0, 2, kAll, false},
        {"in phase 1", {{11, 12, 13, 14}}, {}, 1, 2, kAll, true},
        {"below phase 1's first group", {{2, 3}}, {}, 1, 2, kAll, false},
        {"data in the vacated region", {{10, 11}}, {}, 0, 12, kAll, false},
        {"data past the last group", {{30, 31}}, {}, 0, 2, 30, false},
        {"a bad cluster beside data", {{20}}, {21}, 0, 2, kAll, false},
        {"a bad cluster in an empty group", {{22, 23}}, {21}, 0, 2, kAll, true},
        {"two chains joined", {{10, 11}, {12, 11}}, {}, 0, 2, kAll, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenVolume(image, true);
        Lay(c.chains);
        for (uint32_t b : c.bad)
            MarkBad(b);
        EXPECT_EQ(IsDataAligned(fat_, 2, c.phase, c.first, c.last), c.aligned);
        CloseVolume();
    }
}

// The plan on chains laid by hand: pieces that start a usable group keep
// it, the rest go to the first free groups; groups with a bad cluster,
// below the new data area or past its end are left.
TEST_F(FatAlign, PlansPiecesIntoFreeGroups) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fresh.img", 16, 8192, 1);
    OpenVolume(image, true);
    // r = 4, phase 0: groups start at 2, 6, 10, 14, 18, 22, 26, ...
    Lay({{6, 7, 9, 8, 31}, {11, 12}, {40, 41, 42}});
    MarkBad(3); // the first group (2..5) is bad
    ASSERT_EQ(BuildAlignmentMap(fat_, 4, 0, 2, UINT32_MAX), KW_OK);
    MOVE_MAP* map = fat_->GetMoveMap();
    ASSERT_NE(map, nullptr);
    std::vector<std::pair<uint32_t, uint32_t>> want = {
        {9, 8},   {8, 9}, // the group of 6 keeps its piece, put in order
        {31, 10}, {11, 14}, {12, 15}, {40, 18}, {41, 19}, {42, 20}, // to the first free groups
    };
    for (auto [from, to] : want)
        EXPECT_EQ(map->GetTarget(from), to) << from;
    EXPECT_EQ(map->CountMoves(), want.size());
    // Groups below the new data area and past its end are not used: every
    // piece goes between.
    ASSERT_EQ(fat_->GetFat()->SetNextCluster(3, 0), KW_OK);
    ASSERT_EQ(BuildAlignmentMap(fat_, 4, 0, 14, 29), KW_OK);
    map = fat_->GetMoveMap();
    std::pair<uint32_t, uint32_t> firsts[] = {{6, 14}, {9, 16}, {31, 18}, {11, 22}, {40, 26}};
    for (auto [from, to] : firsts)
        EXPECT_EQ(map->GetTarget(from), to) << from;
    // No room left: one more piece than the groups hold, and nothing planned.
    EXPECT_EQ(BuildAlignmentMap(fat_, 4, 0, 14, 25), ERR_FAT_NO_SPACE);
    EXPECT_EQ(fat_->GetMoveMap(), nullptr);
    // A bad cluster in the new system area.
    MarkBad(3);
    EXPECT_EQ(BuildAlignmentMap(fat_, 4, 0, 6, UINT32_MAX), ERR_BAD_SECTOR_IN_FS);
    // Two chains that share a cluster are no plan.
    Lay({{50, 51}, {52, 51}});
    EXPECT_EQ(BuildAlignmentMap(fat_, 4, 0, 2, UINT32_MAX), ERR_FAT_INVALID_ENTRIES);
    EXPECT_EQ(fat_->GetMoveMap(), nullptr);
    EXPECT_EQ(BuildAlignmentMap(fat_, 3, 0, 2, UINT32_MAX), ERR_BAD_ARGUMENT);
    EXPECT_EQ(BuildAlignmentMap(fat_, 4, 64, 2, UINT32_MAX), ERR_BAD_ARGUMENT);
}

// Random chains (scattered clusters and runs, a few bad clusters) on
// random grids: the plan carried out in the test's own model leaves every
// chain on the grid, never targets a cluster that stays or one target
// twice, and never uses a bad group or one outside [first, last].
TEST_F(FatAlign, RandomLayoutsPlanOntoTheGrid) {
    fs::path image = kwtest::MakeFatVolume(dir_, "fresh.img", 16, 8192, 1);
    std::mt19937 rng(7);
    for (int round = 0; round < kwtest::SizedForBuild(40, 10); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        OpenVolume(image, true);
        const uint32_t last = Boot().LastCluster(), r = 2u << (rng() % 4);
        const uint32_t phase = rng() % 64, first = 2 + rng() % 200, end = last - rng() % 300;
        std::vector<uint32_t> pool(last - 1);
        std::iota(pool.begin(), pool.end(), 2u);
        std::shuffle(pool.begin(), pool.end(), rng);
        std::vector<bool> taken(last + 1);
        std::vector<std::vector<uint32_t>> chains;
        for (size_t i = 0; i < pool.size() / 4;
             chains.back().empty() ? chains.pop_back() : void()) {
            chains.emplace_back();
            bool run = rng() % 2 == 0;
            for (uint32_t n = 1 + rng() % 40, c = pool[i]; n > 0 && i < pool.size(); --n) {
                c = run && c <= last && !taken[c] ? c : pool[i++];
                if (!taken[c])
                    chains.back().push_back(c), taken[c] = true;
                ++c;
            }
        }
        Lay(chains);
        for (int i = 0; i < 5; ++i)
            if (uint32_t c = pool[pool.size() - 1 - i]; !taken[c] && c >= first)
                MarkBad(c);
        ASSERT_EQ(BuildAlignmentMap(fat_, r, phase, first, end), KW_OK);
        const MOVE_MAP& map = *fat_->GetMoveMap();
        const FAT_BLOCKS& fat = *fat_->GetFat();
        EXPECT_GT(map.CountMoves(), 100u);
        std::vector<bool> target(last + 1);
        for (uint32_t c = 2; c <= last; ++c) {
            if (uint32_t t = map.GetTarget(c); t != 0) {
                ASSERT_TRUE(taken[c] && t >= 2 && t <= last && !target[t]) << c << " -> " << t;
                ASSERT_TRUE(fat.GetNextCluster(t) == 0 || map.GetTarget(t) != 0) << t;
                target[t] = true;
            }
        }
        std::vector<std::vector<uint32_t>> moved = chains;
        for (auto& chain : moved)
            for (uint32_t& c : chain)
                c = map.GetTarget(c) != 0 ? map.GetTarget(c) : c;
        for (const auto& chain : moved)
            for (size_t k = 0; k < chain.size(); ++k) {
                uint32_t p = chain[k], g = (p - phase - 2) / r, start = g * r + phase + 2;
                ASSERT_TRUE(p >= phase + 2 && (p - phase - 2) % r == k % r &&
                            (k % r == 0 || p == chain[k - 1] + 1) && start >= first &&
                            start + r - 1 <= end)
                    << "cluster " << p << " at index " << k;
                for (uint32_t q = start; q < start + r; ++q)
                    ASSERT_NE(fat.GetNextCluster(q), FAT_BAD) << q;
            }
        CloseVolume();
    }
}

struct VolumeCase {
    const char* name;
    int bits;
    uint32_t kib;
    int spc;
    uint32_t newSpc;
    int files;
    size_t unit;
};

class FatAlignVolumes : public FatAlign, public ::testing::WithParamInterface<VolumeCase> {};

// Aligned on disk with the chosen phase, two groups in front of the data
// area and three at its end left for the new layout: every file reads back
// the same, fsck.fat finds nothing, the image's chains lie on the grid, and
// a second plan has nothing to move.
TEST_P(FatAlignVolumes, AlignsEveryChainAndKeepsEveryFile) {
    const VolumeCase& c = GetParam();
    fs::path image = kwtest::MakeFatVolume(dir_, "vol.img", c.bits, c.kib, c.spc);
    Fill(image, c.files, c.unit);
    ASSERT_TRUE(kwtest::FsckClean(image));
    std::string before = kwtest::TreeHashes(dir_, image);
    kwtest::FatListing listing = kwtest::MdirListing(image);
    OpenVolume(image, true);
    const FAT_BOOT_RECORD& b = Boot();
    uint32_t r = c.newSpc / b.sectorsPerCluster;
    uint32_t phase = ChooseAlignmentShift(fat_, c.newSpc);
    EXPECT_LT(phase, r);
    uint32_t newFirst = b.FirstDataSector() + phase * b.sectorsPerCluster + 2 * c.newSpc;
    uint32_t groups = (b.totalSectors - newFirst) / c.newSpc - 3;
    uint32_t newEnd = newFirst + groups * c.newSpc;
    uint32_t first = phase + 2 + 2 * r, last = first + groups * r - 1;
    EXPECT_FALSE(IsDataAligned(fat_, c.newSpc, phase, first, last));
    // The root cluster handed in follows its chain: the FAT32 root, else the
    // first cluster of a file (as a root made into a chain would be).
    auto firstOf = [&](const char* path) {
        FAT_FILE_HANDLE* h = nullptr;
        EXPECT_EQ(fat_->OpenFile(path, &h, 0), KW_OK);
        uint32_t cluster = h != nullptr ? h->FirstCluster() : 0;
        delete h;
        return cluster;
    };
    uint32_t root = b.IsFat32() ? b.rootCluster : firstOf("big.dat");
    ASSERT_EQ(AlignClusters(fat_, c.newSpc, phase, newFirst, newEnd, &root), KW_OK);
    EXPECT_TRUE(IsDataAligned(fat_, c.newSpc, phase, first, last));
    EXPECT_EQ(root, b.IsFat32() ? b.rootCluster : firstOf("big.dat"));
    EXPECT_EQ(fat_->GetMoveMap(), nullptr);
    ASSERT_EQ(BuildAlignmentMap(fat_, c.newSpc, phase, first, last), KW_OK);
    EXPECT_EQ(fat_->GetMoveMap()->CountMoves(), 0u);
    CloseVolume();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    EXPECT_EQ(kwtest::TreeHashes(dir_, image), before);
    EXPECT_EQ(kwtest::MdirListing(image), listing);
    EXPECT_EQ(GridFault(ReadImageFat(image), r, phase, first, last), "");
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatAlignVolumes,
                         ::testing::Values(VolumeCase{"fat12_1_to_4", 12, 2048, 1, 4, 30, 1500},
                                           VolumeCase{"fat16_1_to_8", 16, 16384, 1, 8, 40, 5000},
                                           VolumeCase{"fat16_2_to_64", 16, 32768, 2, 64, 20, 40000},
                                           VolumeCase{"fat32_1_to_8", 32, 40960, 1, 8, 40, 9000}),
                         [](const auto& info) { return std::string(info.param.name); });

// Files whose clusters fill whole groups from cluster 2 on: phase 0 keeps
// everything, the plan is empty and AlignClusters writes nothing.
TEST_F(FatAlign, AlignedDataNeedsNoMoves) {
    fs::path image = kwtest::MakeFatVolume(dir_, "vol.img", 16, 8192, 1);
    fs::path host = dir_ / "whole";
    fs::create_directories(host);
    for (int i = 0; i < 6; ++i)
        kwtest::WriteHost(host / ("g" + std::to_string(i) + ".bin"),
                          kwtest::Bytes(512 * 8 * (i + 1), i));
    Must("mcopy -i " + kwtest::Quote(image) + " " + kwtest::Quote(host) + "/* ::");
    std::vector<kwtest::DiskEvent> log;
    OpenRecorded(image, &log);
    EXPECT_EQ(ChooseAlignmentShift(fat_, 8), 0u);
    ASSERT_EQ(BuildAlignmentMap(fat_, 8, 0, 2, UINT32_MAX), KW_OK);
    EXPECT_EQ(fat_->GetMoveMap()->CountMoves(), 0u);
    const FAT_BOOT_RECORD& b = Boot();
    EXPECT_EQ(AlignClusters(fat_, 8, 0, b.FirstDataSector(), b.totalSectors, nullptr), KW_OK);
    EXPECT_TRUE(log.empty()) << log.size() << " writes";
}

// Refusals come before any write: a bad cluster where the new system area
// goes, no room for the groups, a new data area off the grid.
TEST_F(FatAlign, RefusalsWriteNothing) {
    fs::path image = kwtest::MakeFatVolume(dir_, "vol.img", 12, 2048, 1);
    fs::path host = dir_ / "small";
    fs::create_directories(host);
    for (int i = 0; i < 150; ++i)
        kwtest::WriteHost(host / ("s" + std::to_string(i) + ".txt"), std::to_string(i));
    Must("mcopy -i " + kwtest::Quote(image) + " " + kwtest::Quote(host) + " ::");
    std::string pristine = kwtest::ReadHost(image);
    std::vector<kwtest::DiskEvent> log;
    OpenRecorded(image, &log);
    const FAT_BOOT_RECORD& b = Boot();
    uint32_t fds = b.FirstDataSector();
    // 150 files of one cluster each need 150 groups of 32 clusters.
    EXPECT_EQ(AlignClusters(fat_, 32, 0, fds, b.totalSectors, nullptr), ERR_FAT_NO_SPACE);
    EXPECT_EQ(AlignClusters(fat_, 4, 0, fds + 1, b.totalSectors, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(AlignClusters(fat_, 4, 1, fds + 4, b.totalSectors, nullptr), ERR_BAD_ARGUMENT);
    uint32_t freeLow = fat_->GetFat()->FindNextFree(2);
    MarkBad(freeLow + 1);
    uint32_t above = ((freeLow - 1) / 4 + 1) * 4 + 2; // a group start past the bad cluster
    EXPECT_EQ(AlignClusters(fat_, 4, 0, b.ClusterToSector(above), b.totalSectors, nullptr),
              ERR_BAD_SECTOR_IN_FS);
    EXPECT_EQ(fat_->GetMoveMap(), nullptr);
    EXPECT_TRUE(log.empty()) << log.size() << " writes";
    CloseVolume();
    EXPECT_EQ(kwtest::ReadHost(image), pristine);
}

// A bad cluster among the data: its group becomes one bad cluster of the
// new size, so the data sharing the group moves out and the group stays
// free but for the bad cluster.
TEST_F(FatAlign, DataLeavesTheGroupOfABadCluster) {
    fs::path image = kwtest::MakeFatVolume(dir_, "vol.img", 16, 8192, 1);
    Fill(image, 16, 3000);
    std::string before = kwtest::TreeHashes(dir_, image);
    OpenVolume(image, true);
    // A free cluster right after data, in the same group of 8.
    const FAT_BLOCKS* fat = fat_->GetFat();
    uint32_t bad = 0;
    for (uint32_t c = fat->FindNextFree(10); c <= Boot().LastCluster() && bad == 0;
         c = fat->FindNextFree(c + 1))
        if (fat->GetNextCluster(c - 1) != 0 && (c - 2) % 8 != 0)
            bad = c;
    ASSERT_NE(bad, 0u);
    MarkBad(bad);
    ASSERT_EQ(fat_->FlushFat(), KW_OK);
    const FAT_BOOT_RECORD& b = Boot();
    ASSERT_EQ(AlignClusters(fat_, 8, 0, b.FirstDataSector(), b.totalSectors, nullptr), KW_OK);
    uint32_t group = bad - (bad - 2) % 8;
    for (uint32_t c = group; c < group + 8; ++c)
        EXPECT_EQ(fat->GetNextCluster(c), c == bad ? FAT_BAD : 0u) << c;
    CloseVolume();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    EXPECT_EQ(kwtest::TreeHashes(dir_, image), before);
}

struct CutCase {
    const char* name;
    int bits;
    uint32_t kib;
    uint8_t type;
    int files;
};

class FatAlignCuts : public FatAlign, public ::testing::WithParamInterface<CutCase> {};

// Cut after each write of an alignment inside a partition (also with the
// writes between two flushes reordered), then scanned as the next start
// does: the start-up recovery completes what the cut left, and the
// partition has its type back, passes fsck.fat -n and holds every file,
// listed as before, with its bytes. The FAT32 volume (a type byte that is
// also a cluster number, a root that moves) holds fewer files, so that its
// larger image is written fewer times.
TEST_P(FatAlignCuts, CutAtAnyWriteIsCompletedAtTheNextScan) {
    const CutCase& c = GetParam();
    fs::path volume = kwtest::MakeFatVolume(dir_, "vol.img", c.bits, c.kib, 1);
    Fill(volume, c.files, 1500);
    std::string before = kwtest::TreeHashes(dir_, volume);
    kwtest::FatListing listing = kwtest::MdirListing(volume);
    kwtest::FatPartitionDisk disk;
    fs::path image = dir_ / "disk.img";
    disk.Make(volume, image, c.type);
    std::string base = kwtest::ReadHost(image);
    std::vector<kwtest::DiskEvent> log;
    FAT_FILESYSTEM* fat = disk.Open(&log);
    ASSERT_NE(fat, nullptr);
    const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
    uint32_t phase = ChooseAlignmentShift(fat, 4);
    uint32_t newFirst = b.FirstDataSector() + phase + 4, root = b.rootCluster;
    ASSERT_EQ(AlignClusters(fat, 4, phase, newFirst, b.totalSectors, nullptr), KW_OK);
    if (b.IsFat32()) {
        EXPECT_NE(b.rootCluster, root); // the root leaves the first group too
    }
    disk.Close();
    ASSERT_EQ(kwtest::FatPartitionDisk::EntryType(image), c.type);
    size_t marked = 0; // writes giving the entry type 3Ch
    for (const kwtest::DiskEvent& e : log)
        marked += !e.flush && e.sector == 0 && uint8_t(e.bytes[446 + 4]) == 0x3C ? 1 : 0;
    EXPECT_EQ(marked, 1u);
    fs::path cut = dir_ / "cut.img", part = dir_ / "part.img";
    auto check = [&] {
        kwtest::FatPartitionDisk::Rescan(cut);
        EXPECT_EQ(kwtest::FatPartitionDisk::EntryType(cut), c.type);
        disk.Extract(cut, part);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
        EXPECT_EQ(kwtest::TreeHashes(dir_, part), before);
        EXPECT_EQ(kwtest::MdirListing(part), listing);
    };
    size_t writes = kwtest::ForEachCutImage(base, log, cut, check);
    kwtest::ForEachReorderedCutImage(base, log, cut, check);
    EXPECT_GT(writes, 5u);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatAlignCuts,
                         ::testing::Values(CutCase{"fat12", 12, 1024, 0x01, 12},
                                           CutCase{"fat32", 32, 34000, 0x0B, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
