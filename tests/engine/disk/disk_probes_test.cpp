// The probes of the systems installed on the disks: hibernation files found
// on FAT volumes made by mkfs.fat and filled by mtools, msdos.sys values, and
// the Windows partition's mark.
#include "engine/disk/disk_probes.h"
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"

#include <gtest/gtest.h>

#include <fstream>

using kwtest::kCyl;

namespace {

TEST(MsdosSys, ValuesAreTakenAfterTheirKeysOnly) {
    struct Case {
        const char* text;
        const char* winDir;
        const char* winBootDir;
        const char* hostWinBootDir;
    };
    const Case cases[] = {
        {"[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDir=C\r\n",
         "C:\\WINDOWS", "C:\\WINDOWS", "C"},
        // HostWinBootDir= after WinBootDir= is not another WinBootDir=.
        {"WinBootDir=D:\\WIN\r\nHostWinBootDir=E\r\n", "", "D:\\WIN", "E"},
        {"WinDir= \t D:\\ME98 ; comment\r\n", "D:\\ME98", "", ""},
        {"WinDir=\r\nWinDir=C:\\W\r\n", "C:\\W", "", ""},
        {"NoKeysHere", "", "", ""},
    };
    for (const Case& c : cases) {
        std::string a = "x", b = "x", h = "x";
        ParseMsdosSysDirs(c.text, &a, &b, &h);
        EXPECT_EQ(a, c.winDir) << c.text;
        EXPECT_EQ(b, c.winBootDir) << c.text;
        EXPECT_EQ(h, c.hostWinBootDir) << c.text;
    }
}

class ProbeTest : public ::testing::Test {
protected:
    ProbeTest() { enInstallFsModules(); }
    ~ProbeTest() override {
        kwLibClose();
        kwMarkWindowsPartitionOnOpen(false);
        unsetenv("KW_DISKS");
    }

    // A disk whose primary FAT16 partition at kCyl holds the given files
    // (name inside the volume, first bytes).
    void MakeDisk(const std::vector<std::pair<std::string, std::string>>& files) {
        image_ = dir_ / "disk.img";
        std::filesystem::path vol = dir_ / "vol.img";
        kwtest::MakeSparse(image_, uint64_t{4} * kCyl * 512);
        ASSERT_TRUE(kwtest::Run("mkfs.fat -C -F 16 '" + vol.string() + "' " +
                                std::to_string(2 * kCyl / 2) + " >/dev/null"));
        for (const auto& [name, head] : files) {
            std::filesystem::path f = dir_ / "content";
            std::ofstream(f, std::ios::binary) << head << std::string(600, 'z');
            size_t slash = name.rfind('/');
            if (slash != std::string::npos && slash != 0)
                kwtest::Run("mmd -i '" + vol.string() + "' ::" + name.substr(0, slash) +
                            " 2>/dev/null");
            ASSERT_TRUE(
                kwtest::Run("mcopy -i '" + vol.string() + "' '" + f.string() + "' ::" + name));
        }
        kwtest::WriteMbrLayout(image_, {{{0x06, kCyl, 2 * kCyl}}, {}, 0, 0});
        kwtest::Splice(image_, kCyl, vol);
        setenv("KW_DISKS", image_.c_str(), 1);
    }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
};

TEST_F(ProbeTest, AHibernatedWindowsKeepsTheDisksClosed) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        kwRet expected;
    };
    const std::string me = "[Paths]\r\nWinDir=C:\\WINDOWS\r\n";
    const std::string elsewhere = "[Paths]\r\nWinDir=D:\\WIN\r\n";
    const Case cases[] = {
        {"no file", {}, KW_OK},
        {"Windows 2000, hibernated", {{"/hiberfil.sys", "hibr"}}, ERR_HIBERNATED_W2K},
        {"Windows 2000, resumed", {{"/hiberfil.sys", "wake"}}, KW_OK},
        {"Millennium on C:",
         {{"/msdos.sys", me}, {"/WINDOWS/vmmhiber.w9x", "abcdJSYP"}},
         ERR_HIBERNATED_WINME},
        {"Millennium, no signature",
         {{"/msdos.sys", me}, {"/WINDOWS/vmmhiber.w9x", "abcdxxxx"}},
         KW_OK},
        // A Windows folder on another drive is looked for on every FAT volume.
        {"Millennium on D:",
         {{"/msdos.sys", elsewhere}, {"/WIN/vmmhiber.w9x", "....JSYP"}},
         ERR_HIBERNATED_WINME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kwLibClose();
        std::filesystem::remove_all(dir_ / "disk.img");
        std::filesystem::remove_all(dir_ / "vol.img");
        MakeDisk(c.files);
        EXPECT_EQ(kwLibOpen(), c.expected);
        EXPECT_EQ(kwLibIsOpen(), c.expected == KW_OK);
    }
}

TEST_F(ProbeTest, TheWindowsPartitionIsMarkedByItsLetter) {
    MakeDisk({});
    kwMarkWindowsPartitionOnOpen(true);
    // Linux has no Windows folder: nothing is marked and the disks open.
    ASSERT_EQ(kwLibOpen(), KW_OK);
    EXPECT_TRUE(kwGetWindowsDirectory().empty());
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    ASSERT_NE(disk, nullptr);
    PARTITION_INFO* fat = nullptr;
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        EXPECT_EQ(pi->ulFlags & PI_WINDOWS, 0u);
        if (pi->ucFsKind == FS_KIND_FAT)
            fat = pi;
    }
    ASSERT_NE(fat, nullptr);
    EXPECT_EQ(SetWindowsPartitionFor("C:\\WINDOWS"), ERR_NO_WINDOWS_PARTITION);
    fat->ucDriveLetter = 'C';
    EXPECT_EQ(SetWindowsPartitionFor("c:\\windows"), KW_OK);
    EXPECT_EQ(fat->ulFlags & PI_WINDOWS, PI_WINDOWS);
    std::string winDir;
    EXPECT_EQ(ReadMsdosSysDirs(fat, &winDir, nullptr, nullptr), KW_OK);
    EXPECT_EQ(winDir, "");
}

TEST_F(ProbeTest, TableSectorsChsAndResizeNotices) {
    MakeDisk({});
    kwtest::WriteAt(image_, 440, {0x78, 0x56, 0x34, 0x12});
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    ASSERT_NE(disk, nullptr);
    PARTITION_SECTOR_RECORD mbr;
    ASSERT_EQ(ReadPartitionSector(disk, 0, &mbr), KW_OK);
    EXPECT_EQ(mbr.signature, 0xAA55);
    EXPECT_EQ(mbr.entries[4], 0x06);
    EXPECT_EQ(disk->diskSignature, 0x12345678u);
    PARTITION_SECTOR_RECORD empty;
    ASSERT_EQ(ReadPartitionSector(disk, 5, &empty), KW_OK);
    EXPECT_EQ(empty.signature, 0);
    EXPECT_EQ(empty.entries[4], 0);

    CHS_RECORD chs;
    ASSERT_EQ(LbaToChsRecord(0, disk, &chs), KW_OK);
    EXPECT_EQ(chs.cylinder, 0u);
    EXPECT_EQ(chs.head, 0u);
    EXPECT_EQ(chs.sector, 1u);
    ASSERT_EQ(LbaToChsRecord(kCyl + 63, disk, &chs), KW_OK);
    EXPECT_EQ(chs.cylinder, 1u);
    EXPECT_EQ(chs.head, 1u);
    EXPECT_EQ(chs.sector, 1u);

    PARTITION_INFO* fat = disk->firstPi;
    while (fat != nullptr && fat->ucFsKind != FS_KIND_FAT)
        fat = fat->next;
    ASSERT_NE(fat, nullptr);
    uint32_t changed = 7;
    EXPECT_EQ(NotifyPartitionResized(0, fat, &changed, 100, 200), KW_OK);
    EXPECT_EQ(changed, 0u); // no drive letter: nothing for the system to see
    uint8_t boot[512] = {};
    bool restart = false;
    EXPECT_EQ(NotifyPartitionSize(fat, boot, &restart, true), KW_OK);
    EXPECT_FALSE(restart);
    fat->ucDriveLetter = 'E';
    EXPECT_EQ(NotifyPartitionSize(fat, boot, &restart, true), KW_OK);
    EXPECT_TRUE(restart);
    EXPECT_EQ(NotifyPartitionSize(nullptr, boot, &restart, true), ERR_BAD_ARGUMENT);
}

} // namespace
