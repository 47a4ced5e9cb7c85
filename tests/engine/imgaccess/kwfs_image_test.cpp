// kwfs over images: image:FILE:N lists and reads what part:FILE lists and
// reads of the partition stored in it, and kwfs copy makes images that list
// the same.
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"
#include "tests/engine/imgaccess/legacy_fixture.h"

#include <gtest/gtest.h>

using namespace kw::imgaccess::test;

namespace {

// What kwfs prints, its messages included.
std::string Kwfs(const std::string& args) {
    return kwtest::Capture("{ " + std::string(KWFS_PATH) + " " + args + " 2>&1; }");
}

} // namespace

TEST(KwfsImage, ImageSourceListsAndReadsAsTheRawPartition) {
    TempFolder folder;
    const Partition fat = MakeFatPartition(folder, "KWFS", 16, 20480, false);
    const std::string raw = RawVolume(folder, "KWFS");
    const std::string image = folder.File("x.kwi");
    ASSERT_EQ(
        WriteImage(image, {&fat}, ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION).Password(u"pw")),
        0);
    const std::string expected = Kwfs("ls --hash part:" + raw);
    ASSERT_NE(expected.find("sha256"), std::string::npos) << expected;
    EXPECT_EQ(Kwfs("ls --hash --password pw image:" + image + ":0"), expected);
    EXPECT_EQ(Kwfs("cat --password pw image:" + image + ":0 a/b/c/d/e/deep.bin"),
              Kwfs("cat part:" + raw + " a/b/c/d/e/deep.bin"));
    EXPECT_NE(Kwfs("ls --password pw image:" + image + ":1").find("error"), std::string::npos);
    EXPECT_NE(Kwfs("ls image:" + image + ":0").find("error 7"), std::string::npos); // no password

    const std::string copy = folder.File("y.kwi");
    EXPECT_EQ(Kwfs("copy --password pw " + image + ":0 " + copy), "");
    EXPECT_EQ(Kwfs("copy --password pw " + image + ":0 " + copy), ""); // appended as partition 1
    EXPECT_EQ(Kwfs("ls --hash image:" + copy + ":0"), expected);
    EXPECT_EQ(Kwfs("ls --hash image:" + copy + ":1"), expected);
    EXPECT_NE(Kwfs("copy --password pw " + image + ":3 " + folder.File("z.kwi")).find("error"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder.File("z.kwi"))); // a failed copy leaves no image
}

TEST(KwfsImage, OlderFormatImagesListAndReadAsTheRawPartition) {
    TempFolder folder;
    const LegacyVolume volume = MakeLegacyVolume(folder);
    const std::string image = folder.File("old.kwi");
    LegacyImage layout;
    layout.volumeLimit = 600000;
    kw::legacy::testing::writeLegacyImage(
        image, layout,
        {LegacyPart(volume, 4, 0, 0, 0),
         LegacyPart(volume, 1, 104, ConvertPasswordString("pw"), 0x2F01)});
    const std::string expected = Kwfs("ls --hash part:" + volume.rawPath);
    ASSERT_NE(expected.find("sha256"), std::string::npos) << expected;
    EXPECT_EQ(Kwfs("ls --hash --password pw image:" + image + ":0"), expected);
    EXPECT_EQ(Kwfs("ls --hash --password pw image:" + image + ":1"), expected);
    EXPECT_EQ(Kwfs("cat --password pw image:" + image + ":1 FILE7.BIN"),
              Kwfs("cat part:" + volume.rawPath + " FILE7.BIN"));
    EXPECT_NE(Kwfs("ls image:" + image + ":1").find("error 7"), std::string::npos); // no password
}
