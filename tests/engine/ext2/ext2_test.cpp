// ext2 volumes made by mke2fs -d, read through the engine's libext2fs
// channel and checked against dumpe2fs, debugfs and e2fsck.
#include "engine/disk/partition_info.h"
#include "engine/ext2/ext2_channel.h"
#include "engine/ext2/ext2_filesystem.h"
#include "engine/host/estimate.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/engine/volume_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using kwtest::Capture;

namespace {

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

using Ext2 = kwtest::VolumeFile<EXT2_FILESYSTEM>;
// The features the engine reads: no extended attributes, resize inode or
// hashed folders.
constexpr const char* kPlainExt2 = "-t ext2 -O ^ext_attr,^resize_inode,^dir_index";

// A host tree: a random file, a nested small one, a sparse file, an empty one.
fs::path MakeTree(const kwtest::TempDir& dir) {
    fs::path src = dir / "src";
    fs::create_directories(src / "sub" / "deeper");
    EXPECT_TRUE(kwtest::Run("head -c 150000 /dev/urandom > " + Quote(src / "a.bin")));
    std::ofstream(src / "sub" / "deeper" / "b.txt") << "hello\n";
    std::ofstream(src / "empty");
    fs::path sparse = src / "sparse";
    EXPECT_TRUE(kwtest::Run("head -c 5000 /dev/urandom > " + Quote(sparse) +
                            " && truncate -s 300000 " + Quote(sparse) + " && printf tail >> " +
                            Quote(sparse)));
    return src;
}

fs::path MakeExt2(const kwtest::TempDir& dir, const fs::path& src, const std::string& options,
                  uint32_t blockSize, uint32_t kib, const std::string& name = "v.img") {
    fs::path file = dir / name;
    std::string cmd = "mke2fs -q -F " + options + " -b " + std::to_string(blockSize) +
                      " -L kwlabel -d " + Quote(src) + " " + Quote(file) + " " +
                      std::to_string(kib) + "k >/dev/null 2>&1";
    EXPECT_TRUE(kwtest::Run(cmd)) << cmd;
    return file;
}

// Used blocks as dumpe2fs's block bitmap has them: every block from the
// first data block not listed free, plus block 0.
std::vector<bool> DumpUsed(const fs::path& file, uint32_t blocks) {
    std::string text = Capture("dumpe2fs " + Quote(file) + " 2>/dev/null");
    std::smatch m;
    uint32_t first = std::regex_search(text, m, std::regex("First block: +(\\d+)"))
                         ? uint32_t(std::stoul(m[1]))
                         : 0;
    std::vector<bool> used(blocks, false);
    for (uint32_t b = first; b < blocks; ++b)
        used[b] = true;
    used[0] = true;
    std::regex freeLine("\n +Free blocks: ([^\n]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), freeLine);
         it != std::sregex_iterator(); ++it) {
        std::stringstream ranges((*it)[1]);
        std::string range;
        while (std::getline(ranges, range, ',')) {
            unsigned long a = 0, b = 0;
            if (std::sscanf(range.c_str(), " %lu-%lu", &a, &b) == 1)
                b = a;
            for (unsigned long x = a; x <= b && x < blocks; ++x)
                used[x] = false;
        }
    }
    return used;
}

std::string Sha(const fs::path& p) {
    return Capture("sha256sum < " + Quote(p)).substr(0, 64);
}

struct VolumeCase {
    uint32_t blockSize;
    uint32_t kib;
};

class Ext2Volumes : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(Ext2Volumes, TheMapIsTheBlockBitmapAndAnImageOfItRestoresWhole) {
    kwtest::TempDir dir;
    fs::path src = MakeTree(dir);
    fs::path file = MakeExt2(dir, src, kPlainExt2, GetParam().blockSize, GetParam().kib);
    const std::string before = Sha(file);
    std::vector<uint8_t> raw = kwtest::ReadAt(file, 0, fs::file_size(file));
    STATE_MAP* map = nullptr;
    {
        Ext2 v(file, FS_KIND_EXT2, 0x83);
        ASSERT_NE(v.get(), nullptr);
        ASSERT_EQ(v->Init(), KW_OK);
        EXPECT_FALSE(v->IsWritable());
        EXPECT_EQ(v->SectorsPerBlock(), GetParam().blockSize / 512);
        char label[17];
        ASSERT_EQ(v->GetVolumeLabel(label), KW_OK);
        EXPECT_STREQ(label, "kwlabel");
        ASSERT_EQ(v->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
        EXPECT_EQ(map->ulUnitsPerBit, GetParam().blockSize / 512);
        ASSERT_EQ(v->Uninit(), KW_OK);
        EXPECT_EQ(EstimateUsedSectors(v.Pi()), KW_OK);
        std::string h = Capture("dumpe2fs -h " + Quote(file) + " 2>/dev/null");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(h, m, std::regex("Free blocks: +(\\d+)")));
        EXPECT_EQ(v.Pi()->ulFreeSects, std::stoul(m[1]) * (GetParam().blockSize / 512));
    }
    EXPECT_EQ(Sha(file), before) << "a read-only open wrote to the volume";
    std::vector<bool> want = DumpUsed(file, map->GetBitCount());
    for (uint32_t b = 0; b < map->GetBitCount(); ++b)
        ASSERT_EQ(map->IsSet(b), want[b]) << "block " << b;
    uint32_t last = uint32_t(want.size()) - 1;
    while (last > 0 && !want[last])
        --last;
    EXPECT_EQ(map->ulLastUsed, last);

    // What an image made with the map restores: the used blocks, zeros
    // elsewhere.
    const size_t blockBytes = GetParam().blockSize;
    for (uint32_t b = 0; b < map->GetBitCount(); ++b) {
        if (!map->IsSet(b))
            std::fill_n(raw.begin() + long(b * blockBytes), blockBytes, 0);
    }
    delete map;
    fs::path restored = dir / "restored.img";
    kwtest::MakeSparse(restored, raw.size());
    kwtest::WriteAt(restored, 0, raw);
    std::string report = Capture("e2fsck -fn " + Quote(restored) + " 2>&1; echo status=$?");
    EXPECT_NE(report.find("status=0"), std::string::npos) << report;
    fs::path out = dir / "out";
    fs::create_directories(out);
    ASSERT_TRUE(kwtest::Run("debugfs -R " + Quote("rdump / " + out.string()) + " " +
                            Quote(restored) + " >/dev/null 2>&1"));
    for (const char* name : {"a.bin", "sub/deeper/b.txt", "empty", "sparse"})
        EXPECT_EQ(Sha(out / name), Sha(src / name)) << name;
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, Ext2Volumes,
                         ::testing::Values(VolumeCase{1024, 8192}, VolumeCase{4096, 16384}));

TEST(Ext2, RefusedVolumesSay510AndMapEverySector) {
    kwtest::TempDir dir;
    fs::path src = MakeTree(dir);
    const std::pair<const char*, std::string> kinds[] = {
        {"ext2 with extended attributes", "-t ext2"},
        {"ext3", "-t ext3"},
        {"ext4", "-t ext4"},
    };
    for (const auto& [what, options] : kinds) {
        SCOPED_TRACE(what);
        fs::path file = MakeExt2(dir, src, options, 1024, 8192, std::string(what) + ".img");
        const std::string before = Sha(file);
        Ext2 v(file, FS_KIND_EXT2, 0x83);
        EXPECT_EQ(v->Init(), ERR_FS_VERSION);
        STATE_MAP* map = nullptr;
        ASSERT_EQ(v->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
        EXPECT_EQ(map->GetBitCount(), v.Pi()->NumSects);
        EXPECT_EQ(map->CountSet(0, map->GetBitCount() - 1, ~0u), v.Pi()->NumSects);
        delete map;
        char label[17];
        EXPECT_EQ(v->GetVolumeLabel(label), KW_OK);
        EXPECT_STREQ(label, "kwlabel");
        EXPECT_EQ(EstimateUsedSectors(v.Pi()), ERR_FS_VERSION);
        EXPECT_NE(v.Pi()->ulFlags & PI_READ_ERROR, 0u);
        EXPECT_EQ(Sha(file), before);
    }
}

TEST(Ext2, AVolumeLongerThanItsPartitionIsRefusedAndCopiedWhole) {
    kwtest::TempDir dir;
    fs::path file = MakeExt2(dir, MakeTree(dir), kPlainExt2, 1024, 8192);
    fs::resize_file(file, 6000 * 1024);
    Ext2 v(file, FS_KIND_EXT2, 0x83);
    EXPECT_EQ(v->Init(), 1116);
    STATE_MAP* map = nullptr;
    ASSERT_EQ(v->GenerateBitmap(&map, 0), KW_OK);
    EXPECT_EQ(map->CountSet(0, map->GetBitCount() - 1, ~0u), 12000u);
    delete map;
}

TEST(Ext2, AFilesRunsAreDebugfsBlocksWithHolesSkipped) {
    kwtest::TempDir dir;
    fs::path src = MakeTree(dir);
    fs::path file = MakeExt2(dir, src, kPlainExt2, 1024, 8192);
    Ext2 v(file, FS_KIND_EXT2, 0x83);
    ASSERT_EQ(v->Init(), KW_OK);
    for (const char* name : {"sparse", "sub\\deeper\\b.txt", "a.bin"}) {
        SCOPED_TRACE(name);
        std::string posix = name;
        std::replace(posix.begin(), posix.end(), '\\', '/');
        std::stringstream listed(Capture("debugfs -R " + Quote("blocks /" + posix) + " " +
                                         Quote(file) + " 2>/dev/null"));
        std::vector<uint32_t> want;
        for (uint32_t b = 0; listed >> b;)
            want.push_back(b * 2);
        std::vector<uint32_t> got;
        SECTOR_RUN* runs = v->ListClusters((std::string("\\") + name).c_str());
        for (SECTOR_RUN* r = runs; r != nullptr; r = r->next) {
            EXPECT_EQ(r->sectorCount, 2u);
            got.push_back(r->firstSector);
        }
        FreeSectorRuns(runs);
        // debugfs also lists the indirect blocks, after the data.
        ASSERT_LE(got.size(), want.size());
        want.resize(got.size());
        EXPECT_EQ(got, want);
    }
    EXPECT_EQ(v->ListClusters("\\missing"), nullptr);
    EXPECT_EQ(v->ListClusters("\\sub"), nullptr);
}

TEST(Ext2, BadBlocksGoToTheBadBlockInodeAndLeaveACleanVolume) {
    kwtest::TempDir dir;
    fs::path src = MakeTree(dir);
    fs::path file = MakeExt2(dir, src, kPlainExt2, 1024, 8192);
    {
        Ext2 v(file, FS_KIND_EXT2, 0x83);
        ASSERT_EQ(v->Init(), KW_OK);
        SECT_LIST list; // blocks 7000 and 7001 (sectors 14000 to 14003), free
        for (uint32_t s : {14000u, 14001u, 14003u})
            ASSERT_EQ(list.Add(s), KW_OK);
        ASSERT_EQ(v->SetBadSectors(&list), KW_OK);
        EXPECT_TRUE(v->IsWritable());
        ASSERT_EQ(v->Uninit(), KW_OK);
    }
    std::string report = Capture("e2fsck -fn " + Quote(file) + " 2>&1; echo status=$?");
    EXPECT_NE(report.find("status=0"), std::string::npos) << report;
    std::string bad = Capture("dumpe2fs -b " + Quote(file) + " 2>/dev/null");
    EXPECT_EQ(bad, "7000\n7001\n");
    Ext2 v(file, FS_KIND_EXT2, 0x83);
    ASSERT_EQ(v->Init(), KW_OK);
    SECT_LIST got;
    ASSERT_EQ(v->GetBadSectors(&got), KW_OK);
    EXPECT_EQ(got.GetCount(), 4u);
    STATE_MAP* map = nullptr;
    ASSERT_EQ(v->GenerateBitmap(&map, 0), KW_OK);
    EXPECT_FALSE(map->IsSet(7000));
    EXPECT_FALSE(map->IsSet(7001));
    delete map;
    ASSERT_EQ(v->ClearBadSectors(), KW_OK);
    ASSERT_EQ(v->Uninit(), KW_OK);
    EXPECT_EQ(Capture("dumpe2fs -b " + Quote(file) + " 2>/dev/null"), "");
    report = Capture("e2fsck -fn " + Quote(file) + " 2>&1; echo status=$?");
    EXPECT_NE(report.find("status=0"), std::string::npos) << report;
}

TEST(Ext2, TheDiskLayerReadsTheLabelThroughTheRow) {
    kwtest::TempDir dir;
    fs::path file = MakeExt2(dir, MakeTree(dir), "-t ext4", 1024, 8192);
    Ext2 v(file, FS_KIND_EXT2, 0x83);
    v.Pi()->volumeLabel[0] = '\0';
    ASSERT_EQ(SetFsKind(v.Pi()), KW_OK);
    EXPECT_EQ(v.Pi()->ucFsKind, FS_KIND_EXT2);
    EXPECT_STREQ(v.Pi()->volumeLabel, "kwlabel");
}

TEST(Ext2, ErrorCodesAndTheChannelsLimits) {
    const std::pair<long, kwRet> codes[] = {
        {0, 0},
        {1811, 1811},
        {EXT2_ET_BASE + 1, 1102},
        {EXT2_ET_BASE + 67, ERR_FS_VERSION},
        {EXT2_ET_BASE + 70, ERR_NO_MEMORY},
        {EXT2_ET_BASE + 80, 1101},
        {EXT2_ET_BASE + 81, 7},
        {EXT2_ET_BASE + 16, ERR_EXT2_MISC},
        {EXT2_ET_BASE + 200, ERR_EXT2_MISC},
    };
    for (const auto& [code, engine] : codes)
        EXPECT_EQ(MapExt2Error(code), engine) << code;

    kwtest::TempDir dir;
    fs::path file = MakeExt2(dir, MakeTree(dir), kPlainExt2, 1024, 8192);
    Ext2 v(file, FS_KIND_EXT2, 0x83);
    io_manager manager = kw::ext2::KwIoManager();
    EXPECT_STREQ(manager->name, "Kw I/O Manager");
    io_channel channel = nullptr;
    EXPECT_EQ(manager->open("kw-ext2-0", 0, &channel), EXT2_ET_BAD_DEVICE_NAME);
    kw::ext2::ChannelName name(v.get());
    EXPECT_EQ(std::string(name.c_str()).find("0x"), std::string::npos);
    ASSERT_EQ(manager->open(name.c_str(), 0, &channel), 0);
    std::vector<uint8_t> buffer(2048);
    EXPECT_EQ(manager->read_blk64(channel, 1, -1025, buffer.data()), EXT2_ET_INVALID_ARGUMENT);
    EXPECT_EQ(manager->write_blk64(channel, 1, -1025, buffer.data()), EXT2_ET_INVALID_ARGUMENT);
    ASSERT_EQ(manager->read_blk64(channel, 1, -1024, buffer.data()), 0);
    EXPECT_EQ(buffer[56] | buffer[57] << 8, 0xEF53); // the superblock
    EXPECT_NE(manager->read_blk64(channel, 1u << 30, 1, buffer.data()), 0);
    EXPECT_EQ(buffer[0], 0); // a failed read leaves zeros
    EXPECT_EQ(manager->close(channel), 0);
}

} // namespace
