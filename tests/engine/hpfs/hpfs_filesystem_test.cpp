// HPFS volumes written by the fixture generator, mapped by HPFS_FILESYSTEM
// and checked against the bitmap loader that engine start uses.
#include "engine/hpfs/hpfs_bitmaps.h"
#include "engine/hpfs/hpfs_filesystem.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/engine/hpfs/hpfs_fixture.h"
#include "tests/engine/volume_file.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using Hpfs = kwtest::VolumeFile<HPFS_FILESYSTEM>;

fs::path Write(const kwtest::TempDir& dir, const std::vector<uint8_t>& bytes) {
    fs::path file = dir / "hpfs.img";
    kwtest::MakeSparse(file, bytes.size());
    kwtest::WriteAt(file, 0, bytes);
    return file;
}

// Sectors in use as the loader's band bitmaps have them.
std::vector<bool> LoaderUsed(PARTITION_INFO* pi) {
    EXPECT_EQ(kw::hpfs::HpfsLoadBitmaps(pi), KW_OK);
    kw::hpfs::HPFS_BITMAPS_VIEW v = kw::hpfs::HpfsLoaded();
    std::vector<bool> used(v.sectorsOnVolume);
    for (uint32_t s = 0; s < used.size(); ++s)
        used[s] = !((v.bandBitmaps[s / 8] >> (s % 8)) & 1);
    kw::hpfs::HpfsReleaseBitmaps();
    return used;
}

TEST(Hpfs, TheMapIsTheLoadersBitmapLessTheBadSectors) {
    kwtest::TempDir dir;
    kwtest::HpfsLayout layout;
    layout.sectors = 40000; // the last band holds 7232 sectors
    layout.usedRuns = {{1000, 64}, {16380, 10}, {39990, 10}, {20003, 1}};
    layout.badSectors = {5000, 5001, 33000};
    fs::path file = Write(dir, kwtest::MakeHpfsVolume(layout));
    Hpfs v(file, FS_KIND_HPFS, 0x07);
    ASSERT_NE(v.get(), nullptr);
    ASSERT_EQ(v->Init(), KW_OK);
    STATE_MAP* map = nullptr;
    ASSERT_EQ(v->GenerateBitmap(&map, 0), KW_OK);
    ASSERT_EQ(map->GetBitCount(), 40000u);
    std::vector<bool> want = LoaderUsed(v.Pi());
    for (uint32_t b : layout.badSectors)
        want[b] = false;
    for (uint32_t s = 0; s < 40000; ++s)
        ASSERT_EQ(map->IsSet(s), want[s]) << s;
    EXPECT_TRUE(map->IsSet(1063));
    EXPECT_FALSE(map->IsSet(1064));
    EXPECT_EQ(map->ulLastUsed, 39999u);
    delete map;
    SECT_LIST bad;
    ASSERT_EQ(v->GetBadSectors(&bad), KW_OK);
    ASSERT_EQ(bad.GetCount(), 3u);
    EXPECT_EQ(bad.GetAt(2), 33000u);
    char label[12];
    ASSERT_EQ(v->GetVolumeLabel(label), KW_OK);
    EXPECT_STREQ(label, "KWHPFS     ");
    EXPECT_EQ(v->GetSerialNumber(), 0x1234ABCDu);
}

TEST(Hpfs, AnUnreadableOrForeignSuperblockFailsAndMapsNothing) {
    kwtest::TempDir dir;
    kwtest::HpfsLayout layout;
    std::vector<uint8_t> bytes = kwtest::MakeHpfsVolume(layout);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        kwRet want;
    };
    std::vector<uint8_t> foreign = bytes;
    foreign[16 * 512] ^= 1;
    const Case cases[] = {
        {"superblock beyond the partition", {bytes.begin(), bytes.begin() + 16 * 512}, 0},
        {"superblock without its signature", foreign, ERR_HPFS_INIT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Hpfs v(Write(dir, c.bytes), FS_KIND_HPFS, 0x07);
        kwRet rc = v->Init();
        EXPECT_NE(rc, KW_OK);
        if (c.want != 0) {
            EXPECT_EQ(rc, c.want);
        }
        STATE_MAP* map = nullptr;
        EXPECT_EQ(v->GenerateBitmap(&map, 0), rc);
        EXPECT_EQ(map, nullptr);
    }
}

TEST(Hpfs, MarkingStopsAtTheTotal) {
    kwtest::TempDir dir;
    kwtest::HpfsLayout layout;
    fs::path file = Write(dir, kwtest::MakeHpfsVolume(layout));
    Hpfs v(file, FS_KIND_HPFS, 0x07);
    ASSERT_EQ(v->Init(), KW_OK);
    EXPECT_EQ(v->MarkSectors(40000, 1, true), 967); // at the total: none is there
    EXPECT_EQ(v->MarkSectors(40001, 1, true), 967);
    ASSERT_EQ(v->MarkSectors(16383, 3, true), KW_OK);  // across two bands
    ASSERT_EQ(v->MarkSectors(39998, 50, true), KW_OK); // cut at the total
    std::vector<bool> used = LoaderUsed(v.Pi());
    for (uint32_t s : {16383u, 16384u, 16385u, 39998u, 39999u})
        EXPECT_TRUE(used[s]) << s;
    EXPECT_FALSE(used[16386]);
    EXPECT_FALSE(used[39997]);
    ASSERT_EQ(v->MarkSectors(16384, 1, false), KW_OK);
    EXPECT_FALSE(LoaderUsed(v.Pi())[16384]);
}

} // namespace
