// NTFS partitions stored in images: kwfs image:FILE:N lists, digests and
// reads what kwfs part:FILE gives for the raw volume, whatever the image's
// compression, password and split.
#include "tests/engine/imgaccess/imgaccess_fixture.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace kw::imgaccess::test;

namespace {

std::string KwfsOut(const std::string& args) {
    return kwtest::Capture("{ " + std::string(KW_KWFS) + " " + args + " 2>&1; echo status=$?; }");
}

TEST(NtfsImage, AStoredPartitionListsAndReadsAsTheRawVolume) {
    kwtest::TempDir dir;
    fs::path raw = kwtest::MakeNtfsVolume(dir, "raw.img", 32, 4096, "InImage");
    std::string big;
    for (int i = 0; i < 50000; ++i)
        big += std::to_string(i * 31) + "\n";
    const std::pair<std::string, std::string> files[] = {
        {"big file.log", big}, {"Ünïcode.txt", "unicode\n"}, {"empty", ""}, {"small", "small\n"}};
    for (const auto& [name, bytes] : files) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        kwtest::NtfsPut(raw, dir / name, name);
    }
    Partition p;
    p.raw = kwtest::ReadAt(raw, 0, fs::file_size(raw));
    p.fsKind = 4;
    p.partitionType = 0x07;
    kw::partstore::test::MarkBlocks(p, false);

    const std::string expected = KwfsOut("ls --hash 'part:" + raw.string() + "'");
    ASSERT_NE(expected.find("sha256"), std::string::npos) << expected;
    ASSERT_NE(expected.find("status=0"), std::string::npos) << expected;
    struct Case {
        const char* name;
        ImageOptions options;
        const char* password;
    };
    const Case cases[] = {
        {"plain", ImageOptions(), ""},
        {"high, password", ImageOptions().Flags(KW_CREATE_HIGH_COMPRESSION).Password(u"pw"),
         "--password pw "},
        {"low, split", ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION).VolumeLimit(1 << 20), ""},
    };
    for (const Case& c : cases) {
        std::string image = (dir / (std::string(c.name) + ".kwi")).string();
        ASSERT_EQ(WriteImage(image, {&p}, c.options), 0) << c.name;
        EXPECT_EQ(KwfsOut("ls --hash " + std::string(c.password) + "'image:" + image + ":0'"),
                  expected)
            << c.name;
        EXPECT_EQ(
            KwfsOut("cat " + std::string(c.password) + "'image:" + image + ":0' 'BIG FILE.log'"),
            big + "status=0\n")
            << c.name;
    }
}

TEST(NtfsImage, TheTreeVolumeListsTheSameOutOfAnImage) {
    kwtest::TempDir dir;
    fs::path raw = dir / "tree.img";
    std::string fixture = std::string(KW_SOURCE_DIR) + "/tests/engine/ntfs/fixtures/tree.img.gz";
    ASSERT_TRUE(kwtest::Run("{ gzip -dc '" + fixture + "' > '" + raw.string() + "'; }"));
    Partition p;
    p.raw = kwtest::ReadAt(raw, 0, fs::file_size(raw));
    p.fsKind = 4;
    p.partitionType = 0x07;
    kw::partstore::test::MarkBlocks(p, false);
    std::string image = (dir / "tree.kwi").string();
    ASSERT_EQ(WriteImage(image, {&p}, ImageOptions().Flags(KW_CREATE_HIGH_COMPRESSION)), 0);
    const std::string expected = KwfsOut("ls --hash 'part:" + raw.string() + "'");
    ASSERT_NE(expected.find("\"error\": 722"), std::string::npos);
    EXPECT_EQ(KwfsOut("ls --hash 'image:" + image + ":0'"), expected);
}

} // namespace
