// Image access over real images: FAT partitions made by the Debian tools,
// stored through the image library, read back through CreateImageAccess and
// the disk library's read hook.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/imgaccess/image_access.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;

namespace {

// The image access behind an IMGACCESS of this build.
IMAGE_ACCESS* Impl(IMGACCESS* image) {
    return static_cast<IMAGE_ACCESS*>(image);
}

// Reads every block of the partition through a partition handle and the read
// hook, as a file system would, and compares it with the raw volume.
void ExpectSectorsThroughHook(IMAGE_ACCESS* image, uint32_t index, const Partition& p) {
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    ASSERT_EQ(image->ResolvePath(("\\Partition" + std::to_string(index)).c_str(), &access, &rest),
              KW_OK);
    CURRENT_PART_SCOPE current(access);
    kwhandle handle = 0;
    ASSERT_EQ(kwLogOpen(access->GetPI(), &handle), KW_OK);
    std::vector<uint8_t> block(p.BlockBytes());
    uint32_t last = 0; // the last stored block: the limit of the reads
    for (uint32_t b = 0; b < p.Blocks(); ++b)
        last = p.Used(b) ? b : last;
    for (uint32_t b = 0; b < p.Blocks(); ++b) {
        const kwRet rc = kwLogRead(handle, b * p.sectorsPerBlock, block.data(), p.sectorsPerBlock);
        if (!p.Used(b)) {
            EXPECT_EQ(rc, b > last ? ERR_OUT_OF_RANGE : ERR_FILE_SHORT_READ) << "block " << b;
            continue;
        }
        ASSERT_EQ(rc, KW_OK) << "block " << b;
        ASSERT_EQ(
            std::memcmp(block.data(), p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes()), 0)
            << "block " << b;
    }
    EXPECT_EQ(kwLogRead(handle, uint32_t(p.raw.size() / 512), block.data(), 1), ERR_OUT_OF_RANGE);
    kwLogClose(handle);
}

std::vector<std::string> RootNames(IMGACCESS* image) {
    std::vector<std::string> names;
    char name[64];
    uint32_t attributes = 0;
    uint64_t time = 77, bytes = 1;
    IMGACCESS_ITERATOR* it = image->FindFirst("\\", name, sizeof name, &attributes, &time, &bytes);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, &time, &bytes)) {
        names.push_back(name);
        EXPECT_EQ(attributes, IMGACCESS_ATTR_PARTITION);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(time, 77u); // root entries carry no time
    }
    if (it != nullptr)
        it->Release();
    return names;
}

class ImageAccessTest : public ::testing::Test {
protected:
    TempFolder folder_;
    std::string Path(const std::string& name) const { return folder_.File(name); }
};

} // namespace

TEST_F(ImageAccessTest, EveryStoredSectorReadsAsTheRawPartitionWithEveryCreateFlag) {
    const Partition fat12 = MakeFatPartition(folder_, "F12", 12, 2048, false);
    const Partition fat16 = MakeFatPartition(folder_, "F16", 16, 20480, false);
    const Partition fat32 = MakeFatPartition(folder_, "F32", 32, 40960, false);
    ASSERT_LT(fat16.UsedCount(), fat16.Blocks()); // some blocks are left out
    struct Case {
        const char* name;
        ImageOptions options;
    } cases[] = {
        {"stored", ImageOptions()},
        {"low", ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION)},
        {"high", ImageOptions().Flags(KW_CREATE_HIGH_COMPRESSION)},
        {"password", ImageOptions().Password(u"secret")},
        {"split", ImageOptions().VolumeLimit(4u << 20)},
        {"ecc", ImageOptions().Flags(KW_CREATE_ERROR_CORRECTION | KW_CREATE_HIGH_COMPRESSION)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path(std::string(c.name) + ".kwi");
        ASSERT_EQ(WriteImage(path, {&fat12, &fat16, &fat32}, c.options), 0);
        UiCallback ui;
        ui.media.password = u"secret";
        ui.media.mediaAnswers = 100;
        uint32_t code = 99;
        IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, &ui, &code);
        ASSERT_NE(image, nullptr) << code;
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(RootNames(image),
                  (std::vector<std::string>{"Partition0", "Partition1", "Partition2"}));
        ExpectSectorsThroughHook(Impl(image), 0, fat12);
        ExpectSectorsThroughHook(Impl(image), 1, fat16);
        ExpectSectorsThroughHook(Impl(image), 2, fat32);
        image->Release();
    }
}

TEST_F(ImageAccessTest, InterleavedReadsOfTwoPartitionsGetEachItsOwnBytes) {
    const Partition a = MakePatternPartition(64, 8, {}, 1);
    const Partition b = MakePatternPartition(64, 8, {}, 2);
    const std::string path = Path("two.kwi");
    ASSERT_EQ(WriteImage(path, {&a, &b}, ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION)), 0);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code;
    KWIPART_ACCESS* pa = Impl(image)->Access(0);
    KWIPART_ACCESS* pb = Impl(image)->Access(1);
    std::vector<uint8_t> sector(512);
    for (uint32_t s = 0; s < 64 * 8; s += 37) {
        // The editor selecting a part between reads does not change what they see.
        ASSERT_EQ(image->GetPartStore()->SelectPart(s % 2), 0);
        for (auto [access, part] : {std::pair{pa, &a}, std::pair{pb, &b}}) {
            CURRENT_PART_SCOPE current(access);
            ASSERT_EQ(kwiPhyRead(s, sector.data(), 1), KW_OK);
            ASSERT_EQ(std::memcmp(sector.data(), part->raw.data() + size_t(s) * 512, 512), 0) << s;
        }
    }
    image->Release();
    EXPECT_EQ(GetCurrentPartAccess(), nullptr); // a destroyed access is no longer current
    EXPECT_EQ(kwiPhyRead(0, sector.data(), 1), ERR_IMG_NOT_OPEN);
}

TEST_F(ImageAccessTest, RootListsAtMostTwelvePartitionsWithDisplayNames) {
    const Partition small = MakePatternPartition(4, 1, {true, false, true, true}, 9);
    std::vector<const Partition*> parts(14, &small);
    const std::string path = Path("many.kwi");
    ASSERT_EQ(WriteImage(path, parts, ImageOptions().Names({"System", ""}).Letters({'C', 0})), 0);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code;
    const auto names = RootNames(image);
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(names.front(), "Partition0");
    EXPECT_EQ(names.back(), "Partition11");

    char text[64];
    EXPECT_EQ(image->GetDisplayName("\\Partition0", text, sizeof text), 1u);
    EXPECT_STREQ(text, "C: (System)");
    EXPECT_EQ(image->GetDisplayName("\\partition1\\DOS\\X.TXT", text, sizeof text), 1u);
    EXPECT_STREQ(text, "*: (No name)");
    EXPECT_EQ(image->GetDisplayName("\\Partition0", text, 4), 1u);
    EXPECT_STREQ(text, "C: "); // cut and terminated
    EXPECT_EQ(image->GetDisplayName("\\Partition12", text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(image->GetDisplayName("\\", text, sizeof text), 0u);

    uint32_t attributes = 0;
    uint64_t bytes = 5;
    char name[16];
    EXPECT_EQ(image->GetFileInfo("\\PARTITION3", name, sizeof name, &attributes, nullptr, &bytes),
              1u);
    EXPECT_STREQ(name, "Partition3");
    EXPECT_EQ(attributes, IMGACCESS_ATTR_PARTITION);
    EXPECT_EQ(image->GetFileInfo("\\Partition12", name, sizeof name, nullptr, nullptr, nullptr),
              0u);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(image->OpenFile("\\Partition0"), nullptr);
    EXPECT_EQ(image->OpenFile("\\"), nullptr);

    uint32_t index = 9;
    EXPECT_EQ(image->GetPartitionIndex("\\Partition7\\A\\B", &index), KW_OK);
    EXPECT_EQ(index, 7u);
    EXPECT_EQ(image->GetPartitionIndex("\\Part", &index), ERR_INVALID_PATH);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(image->GetPartitionIndex("\\Partition4294967296", &index), ERR_FILE_NOT_FOUND);
    image->Release();
}

TEST_F(ImageAccessTest, NonFatPartitionsAreNotListed) {
    const Partition hpfs = MakePatternPartition(16, 8, {}, 4);
    const std::string path = Path("hpfs.kwi");
    ASSERT_EQ(WriteImage(path, {&hpfs}), 0);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code;
    char name[64];
    EXPECT_EQ(image->FindFirst("\\Partition0", name, sizeof name, nullptr, nullptr, nullptr),
              nullptr);
    KWIPART_ACCESS* access = Impl(image)->Access(0);
    EXPECT_EQ(access->MountFileSystem(), ERR_FS_NOT_SUPPORTED);
    image->Release();
}

// A part the image lists as damaged (its record gives one sector more than
// its blocks hold) is listed in its place, named as damaged, and answers its
// code; the partitions around it open and read as before.
TEST_F(ImageAccessTest, DamagedPartIsListedAndTheOthersOpen) {
    const Partition first = MakePatternPartition(8, 8, {true, false, true}, 5);
    Partition damaged = MakePatternPartition(8, 8, {true}, 6);
    damaged.raw.resize(damaged.raw.size() + 512);
    const Partition third = MakePatternPartition(6, 8, {false, true, true}, 7);
    const std::string path = Path("damaged.kwi");
    ASSERT_EQ(WriteImage(path, {&first, &damaged, &third}, ImageOptions().Letters({'C', 'D', 'E'})),
              0);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code;
    EXPECT_EQ(RootNames(image),
              (std::vector<std::string>{"Partition0", "Partition1", "Partition2"}));
    char text[64];
    EXPECT_EQ(image->GetDisplayName("\\Partition1", text, sizeof text), 1u);
    EXPECT_STREQ(text, "*: (Damaged)");
    EXPECT_EQ(image->GetDisplayName("\\Partition2", text, sizeof text), 1u);
    EXPECT_STREQ(text, "E: (Part2)");
    char name[64];
    EXPECT_EQ(image->FindFirst("\\Partition1\\", name, sizeof name, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(Impl(image)->LastListingError(), ERR_IMG_INVALID);
    ExpectSectorsThroughHook(Impl(image), 0, first);
    ExpectSectorsThroughHook(Impl(image), 2, third);
    EXPECT_EQ(image->SaveAllChangesTo(Path("damaged.kwx").c_str()), KW_OK);
    image->Release();
}

TEST_F(ImageAccessTest, OpenFailuresComeBackAsCodes) {
    uint32_t code = 0;
    EXPECT_EQ(CreateImageAccess(Path("missing.kwi").c_str(), nullptr, nullptr, &code), nullptr);
    EXPECT_NE(code, 0u);
    kwv::test::PutFileBytes(Path("junk.kwi"), kwv::test::MixedBytes(100000, 1));
    EXPECT_EQ(CreateImageAccess(Path("junk.kwi").c_str(), nullptr, nullptr, &code), nullptr);
    EXPECT_NE(code, 0u);

    const Partition p = MakePatternPartition(8, 8, {}, 3);
    ASSERT_EQ(WriteImage(Path("locked.kwi"), {&p}, ImageOptions().Password(u"pw")), 0);
    UiCallback ui; // declines the password question
    EXPECT_EQ(CreateImageAccess(Path("locked.kwi").c_str(), nullptr, &ui, &code), nullptr);
    EXPECT_EQ(code, ERR_USER_CANCEL);
}

TEST(ImagePaths, PartitionPathsSplitIntoIndexAndRest) {
    struct Case {
        const char* path;
        kwRet code;
        uint32_t index;
        const char* rest;
    } cases[] = {
        {"\\Partition2\\DOS\\X.TXT", KW_OK, 2, "\\DOS\\X.TXT"},
        {"\\partition2\\DOS\\X.TXT", KW_OK, 2, "\\DOS\\X.TXT"},
        {"\\Partition", KW_OK, 0, "\\"},
        {"\\Partition3", KW_OK, 3, "\\"},
        {"\\Partition3\\", KW_OK, 3, "\\"},
        {"\\Partition1x", ERR_INVALID_PATH, 0, ""},
        {"\\Part", ERR_INVALID_PATH, 0, ""},
        {"\\", ERR_INVALID_PATH, 0, ""},
        {"", ERR_INVALID_PATH, 0, ""},
        {"Partition1", ERR_INVALID_PATH, 0, ""},
        {"\\Partition4294967295", KW_OK, 4294967295u, "\\"},
        {"\\Partition4294967296", ERR_FILE_NOT_FOUND, 0, ""},
        {"\\Partition99999999999999999999999\\A", ERR_FILE_NOT_FOUND, 0, ""},
    };
    for (const Case& c : cases) {
        uint32_t index = 1234;
        std::string rest;
        EXPECT_EQ(ParsePartitionPath(c.path, &index, &rest), c.code) << c.path;
        EXPECT_EQ(index, c.index) << c.path;
        if (c.code == KW_OK) {
            EXPECT_EQ(rest, c.rest) << c.path;
        }
    }
}

TEST(ImagePaths, DosDatesBecomeFileTimesAndInvalidOnesZero) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-03-04 05:06:08 UTC.
    EXPECT_EQ(DosDateToFileTime(46, 3, 4, 5, 6, 8), (1772600768ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(DosDateToFileTime(0, 1, 1, 0, 0, 0), (315532800ull + 11644473600ull) * 10000000ull);
    struct Case {
        uint32_t year, month, day, hour, minute, second;
    } invalid[] = {{0, 0, 0, 0, 0, 0},   {10, 0, 1, 0, 0, 0},  {10, 1, 0, 0, 0, 0},
                   {10, 13, 1, 0, 0, 0}, {10, 2, 30, 0, 0, 0}, {21, 2, 29, 0, 0, 0},
                   {10, 1, 1, 24, 0, 0}, {10, 1, 1, 0, 60, 0}, {10, 1, 1, 0, 0, 62},
                   {10, 4, 31, 0, 0, 0}, {128, 1, 1, 0, 0, 0}};
    for (const Case& c : invalid)
        EXPECT_EQ(DosDateToFileTime(c.year, c.month, c.day, c.hour, c.minute, c.second), 0u)
            << c.year << "-" << c.month << "-" << c.day;
    EXPECT_NE(DosDateToFileTime(20, 2, 29, 0, 0, 0), 0u); // 2000 is a leap year
    unsetenv("TZ");
    tzset();
}
