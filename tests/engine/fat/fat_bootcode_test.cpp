// Boot code rewritten into volumes made by mkfs.fat: the parameter block stays
// byte for byte, FSInfo keeps its sector, fsck.fat finds nothing wrong, and
// the backup file and the other loaders' boot-sector files are kept current.
#include "engine/fat/fat_bootcode.h"
#include "engine/fat/fat_filesystem.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/engine/volume_file.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string Sector(const std::filesystem::path& vol, uint32_t s) {
    std::ifstream in(vol, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(s) * 512);
    std::string b(512, '\0');
    in.read(b.data(), 512);
    return b;
}

void PutText(const std::filesystem::path& vol, uint64_t at, const std::string& text) {
    kwtest::WriteAt(vol, at, std::vector<uint8_t>(text.begin(), text.end()));
}

class BootCodeTest : public ::testing::Test {
protected:
    ~BootCodeTest() override { unsetenv("KW_DISKS"); }
    std::filesystem::path Make(const char* options, uint32_t kib) {
        std::filesystem::path vol = dir_ / "vol.img";
        std::filesystem::remove(vol);
        EXPECT_TRUE(kwtest::Run("mkfs.fat -C " + std::string(options) + " '" + vol.string() + "' " +
                                std::to_string(kib) + " >/dev/null"));
        return vol;
    }
    bool FsckClean(const std::filesystem::path& vol) {
        return kwtest::Run("fsck.fat -n '" + vol.string() + "' >/dev/null 2>&1");
    }
    kwtest::TempDir dir_;
};

TEST_F(BootCodeTest, Fat16CodeFollowsTheLoaderItNames) {
    std::filesystem::path vol = Make("-F 16", 20000);
    std::string plain = Sector(vol, 0);
    {
        kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT, 0x06);
        ASSERT_NE(fs.get(), nullptr);
        ASSERT_EQ(fs->Init(), KW_OK);
        // Names neither loader: written back as it was.
        EXPECT_EQ(RewriteBootCode(fs.get()), KW_OK);
    }
    EXPECT_EQ(Sector(vol, 0), plain);

    PutText(vol, 0x1A0, "NTLDR      ");
    {
        kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT, 0x06);
        ASSERT_EQ(fs->Init(), KW_OK);
        EXPECT_EQ(RewriteBootCode(fs.get()), KW_OK);
    }
    std::string rewritten = Sector(vol, 0);
    EXPECT_EQ(rewritten.substr(11, 51), plain.substr(11, 51)); // the parameter block
    EXPECT_EQ(rewritten.substr(3, 8), "MSWIN4.0");
    EXPECT_NE(rewritten.find("NTLDR      "), std::string::npos);
    EXPECT_EQ(rewritten.substr(510), "\x55\xAA");
    EXPECT_TRUE(FsckClean(vol));

    // A saved boot sector that names the same loader is the code taken; one
    // that names the other loader is not.
    for (const char* saved : {"NTLDR      ", "IO      SYS"}) {
        SCOPED_TRACE(saved);
        auto put = [&](const std::string& text) {
            kwtest::WriteAt(vol, 0, std::vector<uint8_t>(plain.begin(), plain.end()));
            PutText(vol, 0x100, text);
        };
        put(std::string("saved code ") + saved);
        {
            kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT, 0x06);
            ASSERT_EQ(fs->Init(), KW_OK);
            ASSERT_EQ(BackupBootSector(fs.get()), KW_OK);
        }
        put("current code NTLDR      ");
        {
            kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT, 0x06);
            ASSERT_EQ(fs->Init(), KW_OK);
            EXPECT_EQ(RewriteBootCode(fs.get()), KW_OK);
        }
        std::string now = Sector(vol, 0);
        bool same = std::string(saved) == "NTLDR      ";
        EXPECT_EQ(now.substr(0x100, 11), same ? "saved code " : rewritten.substr(0x100, 11));
        EXPECT_EQ(now.substr(11, 51), plain.substr(11, 51));
        EXPECT_TRUE(FsckClean(vol));
    }
}

TEST_F(BootCodeTest, Fat32KeepsFsInfoAndWritesTheExtraCode) {
    std::filesystem::path vol = Make("-F 32", 70000);
    PutText(vol, 0x1A0, "NTLDR      ");
    std::string before = Sector(vol, 0), info = Sector(vol, 1);
    {
        kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT32, 0x0B);
        ASSERT_NE(fs.get(), nullptr);
        ASSERT_EQ(fs->Init(), KW_OK);
        EXPECT_EQ(RewriteBootCode(fs.get()), KW_OK);
    }
    std::string after = Sector(vol, 0);
    EXPECT_EQ(after.substr(11, 79), before.substr(11, 79));
    EXPECT_EQ(after.substr(3, 8), "MSWIN4.1");
    EXPECT_EQ(Sector(vol, 1), info);
    EXPECT_EQ(Sector(vol, 2).substr(510), "\x55\xAA");
    EXPECT_EQ(Sector(vol, FAT32_NTLDR_EXTRA_SECTOR).substr(510), "\x55\xAA");
    EXPECT_TRUE(FsckClean(vol));
}

TEST_F(BootCodeTest, LoaderFilesTakeTheVolumesParameters) {
    std::filesystem::path vol = Make("-F 16", 20000);
    std::string boot = Sector(vol, 0);
    std::string stale = boot;
    stale[13] = 1; // another cluster size
    std::filesystem::path file = dir_ / "bootsect.dos", shortFile = dir_ / "bootsect.w40";
    std::ofstream(file, std::ios::binary) << stale;
    std::ofstream(shortFile, std::ios::binary) << std::string(100, 'x');
    ASSERT_TRUE(kwtest::Run("mcopy -i '" + vol.string() + "' '" + file.string() + "' '" +
                            shortFile.string() + "' ::/"));
    {
        kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT, 0x06);
        ASSERT_EQ(fs->Init(), KW_OK);
        EXPECT_EQ(UpdateBootSectorFiles(fs.get()), KW_OK);
    }
    std::string copy = kwtest::Capture("mtype -i '" + vol.string() + "' ::/bootsect.dos");
    ASSERT_EQ(copy.size(), 512u);
    EXPECT_EQ(copy, boot);
    EXPECT_EQ(kwtest::Capture("mtype -i '" + vol.string() + "' ::/bootsect.w40"),
              std::string(100, 'x'));
    EXPECT_TRUE(FsckClean(vol));
}

TEST(BootCode, FindInBufferStopsBeforeTheLastStart) {
    const uint8_t b[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(FindInBuffer(b, 4, "ab", 2), 1);
    EXPECT_EQ(FindInBuffer(b, 4, "bc", 2), 1);
    EXPECT_EQ(FindInBuffer(b, 4, "cd", 2), 0); // a start of length - pattern is not tried
    EXPECT_EQ(FindInBuffer(b, 4, "abcde", 5), 0);
}

} // namespace
