// Linux swap areas made by mkswap, read and changed through the engine, and
// checked with blkid and swaplabel after every write.
#include "engine/host/estimate.h"
#include "engine/lswap/lswap_filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"
#include "tests/engine/volume_file.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUuid = "2f3c6a51-0d4e-4b9a-8e27-6c1d9f0a7b32";
using Swap = kwtest::VolumeFile<LSWAP_FILESYSTEM>;

// mkswap of `kib` KiB with a label and a fixed UUID.
fs::path MakeSwap(const kwtest::TempDir& dir, uint32_t kib, const std::string& label = "kwswap") {
    fs::path file = dir / "swap.img";
    kwtest::MakeSparse(file, uint64_t{kib} * 1024);
    EXPECT_TRUE(kwtest::Run("mkswap -L " + label + " -U " + kUuid + " '" + file.string() +
                            "' >/dev/null 2>&1"));
    return file;
}

std::string Blkid(const fs::path& file) {
    return kwtest::Capture("blkid -p -o export '" + file.string() + "' 2>&1");
}

uint32_t Le32At(const fs::path& file, uint64_t at) {
    return kwbytes::LoadLe32(kwtest::ReadAt(file, at, 4).data());
}

TEST(Swap, AMkswapAreaOpensWithItsPagesAndOnlyItsHeaderUsed) {
    kwtest::TempDir dir;
    fs::path file = MakeSwap(dir, 4100); // 1025 pages: 8200 sectors
    Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
    ASSERT_NE(swap.get(), nullptr);
    ASSERT_EQ(swap->Init(), KW_OK);
    EXPECT_FALSE(swap->IsVersion1());
    EXPECT_EQ(swap->PageCount(), 1025u);
    char label[12] = {};
    ASSERT_EQ(lswapGetVolumeLabel(swap.Pi(), label), KW_OK);
    EXPECT_STREQ(label, "SWAPSPACE2");

    STATE_MAP* map = nullptr;
    ASSERT_EQ(swap->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
    EXPECT_EQ(map->GetBitCount(), 1025u);
    EXPECT_EQ(map->ulUnitsPerBit, 8u);
    EXPECT_EQ(map->CountSet(0, 1024, 1025), 1u);
    EXPECT_TRUE(map->IsSet(0));
    delete map;
    ASSERT_EQ(swap->Uninit(), KW_OK);

    EXPECT_EQ(EstimateUsedSectors(swap.Pi()), KW_OK);
    EXPECT_EQ(swap.Pi()->ulFreeSects, 8200u - 8);
    EXPECT_EQ(swap.Pi()->ulUsedSects, 8u);
}

TEST(Swap, BadPagesGoToTheLinuxListAndKeepLabelAndUuid) {
    kwtest::TempDir dir;
    fs::path file = MakeSwap(dir, 4096);
    {
        Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
        ASSERT_EQ(swap->Init(), KW_OK);
        SECT_LIST list;
        // 64 and 65 share page 8; 300 is page 37. Absolute sectors: the
        // partition starts at 0 here, so they stay as given.
        for (uint32_t s : {64u, 65u, 300u})
            ASSERT_EQ(list.Add(s), KW_OK);
        ASSERT_EQ(swap->SetBadSectors(&list), KW_OK);
        ASSERT_EQ(swap->Uninit(), KW_OK);
    }
    EXPECT_EQ(Le32At(file, 1032), 2u);
    EXPECT_EQ(Le32At(file, 1536), 8u);
    EXPECT_EQ(Le32At(file, 1540), 37u);
    std::string ids = Blkid(file);
    EXPECT_NE(ids.find("LABEL=kwswap"), std::string::npos) << ids;
    EXPECT_NE(ids.find(std::string("UUID=") + kUuid), std::string::npos) << ids;
    EXPECT_NE(ids.find("TYPE=swap"), std::string::npos) << ids;
    std::string shown = kwtest::Capture("swaplabel '" + file.string() + "' 2>&1");
    EXPECT_NE(shown.find("kwswap"), std::string::npos) << shown;

    Swap again(file, FS_KIND_LINUX_SWAP, 0x82);
    ASSERT_EQ(again->Init(), KW_OK);
    EXPECT_EQ(again->BadPageCount(), 2u);
    EXPECT_EQ(again->UsableSectors(), 8192u - 8 - 16);
    SECT_LIST bad;
    ASSERT_EQ(again->GetBadSectors(&bad), KW_OK);
    ASSERT_EQ(bad.GetCount(), 16u);
    EXPECT_EQ(bad.GetAt(0), 64u);
    EXPECT_EQ(bad.GetAt(8), 296u);
    ASSERT_EQ(again->ClearBadSectors(), KW_OK);
    ASSERT_EQ(again->Uninit(), KW_OK);
    EXPECT_EQ(Le32At(file, 1032), 0u);
    EXPECT_EQ(Le32At(file, 1536), 0u);
    EXPECT_NE(Blkid(file).find("LABEL=kwswap"), std::string::npos);
}

TEST(Swap, ErrorsOfTheHeaderAndTheBadPages) {
    kwtest::TempDir dir;
    fs::path file = MakeSwap(dir, 4096);
    Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
    SECT_LIST list;
    ASSERT_EQ(list.Add(63), KW_OK); // page 7: among the first eight
    STATE_MAP* map = nullptr;
    EXPECT_EQ(swap->AddBadSectors(&list), 725);
    EXPECT_EQ(swap->GenerateBitmap(&map, 0), 725);
    ASSERT_EQ(swap->Init(), KW_OK);
    EXPECT_EQ(swap->AddBadSectors(&list), ERR_BAD_SECTOR_IN_AREA);
    // The bad-page list holds 637 pages; the next one is refused.
    SECT_LIST many;
    for (uint32_t page = 8; page < 8 + LSWAP_V2_MAX_BAD + 1; ++page)
        ASSERT_EQ(many.Add(page * 8), KW_OK);
    EXPECT_EQ(swap->AddBadSectors(&many), ERR_TOO_MANY_BAD_SECTORS);
    EXPECT_EQ(swap->PrepareBadSectors(&map, &list, swap.Pi()), KW_OK);
    delete map;
    ASSERT_EQ(swap->ClearBadSectors(), KW_OK);
    ASSERT_EQ(swap->Uninit(), KW_OK);

    // A last page at or past the partition's pages: the area does not fit.
    kwtest::WriteAt(file, 1028, {0x00, 0x04, 0, 0}); // 1024 of 1024 pages
    EXPECT_EQ(swap->Init(), ERR_OUT_OF_RANGE);
    kwtest::WriteAt(file, 1028, {0xFF, 0x03, 0, 0});
    EXPECT_EQ(swap->Init(), KW_OK);
    EXPECT_EQ(swap->PageCount(), 1024u);
}

TEST(Swap, AFormattedAreaIsOneTheToolsKnow) {
    kwtest::TempDir dir;
    fs::path file = dir / "new.img";
    kwtest::MakeSparse(file, 2 << 20);
    for (bool v2 : {false, true}) {
        {
            Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
            ASSERT_EQ(swap->Init(true, v2), KW_OK);
            ASSERT_EQ(swap->Uninit(), KW_OK);
        }
        Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
        ASSERT_EQ(swap->Init(), KW_OK);
        EXPECT_EQ(swap->IsVersion1(), !v2);
        EXPECT_EQ(swap->PageCount(), 512u);
        EXPECT_EQ(swap->BadPageCount(), 0u);
    }
    EXPECT_NE(Blkid(file).find("TYPE=swap"), std::string::npos) << Blkid(file);
}

TEST(Swap, AnImageOfTheAreaStoresItsHeaderAndNothingElse) {
    kwtest::TempDir dir;
    fs::path file = MakeSwap(dir, 8192);
    kwtest::WriteAt(file, 1 << 20, std::vector<uint8_t>(4096, 0xA5)); // swapped-out data
    Swap swap(file, FS_KIND_LINUX_SWAP, 0x82);
    ASSERT_EQ(swap->Init(), KW_OK);
    STATE_MAP* map = nullptr;
    ASSERT_EQ(swap->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);

    kw::imgaccess::test::Partition p;
    p.raw = kwtest::ReadAt(file, 0, fs::file_size(file));
    p.sectorsPerBlock = map->ulUnitsPerBit;
    p.fsKind = FS_KIND_LINUX_SWAP;
    p.partitionType = 0x82;
    p.bitmap.assign((p.Blocks() + 7) / 8, 0);
    for (uint32_t b = 0; b < p.Blocks() && b < map->GetBitCount(); ++b)
        p.bitmap[b / 8] |= map->IsSet(b) ? uint8_t(1u << (b % 8)) : 0;
    delete map;
    EXPECT_EQ(p.UsedCount(), 1u);
    std::string image = (dir / "swap.kwi").string();
    ASSERT_EQ(kw::imgaccess::test::WriteImage(image, {&p},
                                              kw::imgaccess::test::ImageOptions().Names({"Swap"})),
              0);
    int32_t error = 0;
    PART_STORE* store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    kw::partstore::test::ExpectPart(store, 0, p, "Swap");
    store->Release();
}

} // namespace
