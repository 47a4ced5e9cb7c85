// Boot code rewritten into volumes made by mkfs.fat: the parameter block stays
// byte for byte, FSInfo keeps its sector, fsck.fat finds nothing wrong, the
// code boots (under QEMU, when installed) a stand-in loader found through
// the FAT, and the backup file and the other loaders' boot-sector files are
// kept current.
#include "engine/fat/fat_bootcode.h"
#include "engine/fat/fat_bootcode_images.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fat/boot_test_loaders.h"
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
    std::string before = Sector(vol, 0), info = Sector(vol, 1), backupInfo = Sector(vol, 7);
    {
        kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, FS_KIND_FAT32, 0x0B);
        ASSERT_NE(fs.get(), nullptr);
        ASSERT_EQ(fs->Init(), KW_OK);
        EXPECT_EQ(RewriteBootCode(fs.get()), KW_OK);
    }
    std::string after = Sector(vol, 0);
    // The backup boot sectors (6-8 as mkfs.fat puts them) follow; the backup
    // FSInfo keeps its counts.
    EXPECT_EQ(Sector(vol, 6), after);
    EXPECT_EQ(Sector(vol, 8), Sector(vol, 2));
    EXPECT_EQ(Sector(vol, 7), backupInfo);
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

// Each image: the jump to its code, the OEM name, an empty parameter block
// for the volume's own, the loader's name in sector 0 and 55AAh closing
// every sector.
TEST(BootCode, ImagesLeaveTheParameterBlockToTheVolume) {
    struct Case {
        const uint8_t* image;
        size_t sectors;
        const char* oem;
        size_t blockEnd;
        const char* loader;
    };
    const Case cases[] = {
        {kw::fat::FAT16_IOSYS_BOOT, 1, "MSWIN4.0", 62, "IO      SYS"},
        {kw::fat::FAT16_NTLDR_BOOT, 1, "MSWIN4.0", 62, "NTLDR      "},
        {kw::fat::FAT32_IOSYS_BOOT, 3, "MSWIN4.1", 90, "IO      SYS"},
        {kw::fat::FAT32_NTLDR_BOOT, 3, "MSWIN4.1", 90, "NTLDR      "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loader);
        std::string sector0(reinterpret_cast<const char*>(c.image), 512);
        EXPECT_EQ(static_cast<uint8_t>(sector0[0]), 0xEB);
        EXPECT_EQ(static_cast<uint8_t>(sector0[1]) + 2u, c.blockEnd); // the code follows it
        EXPECT_EQ(sector0.substr(3, 8), c.oem);
        EXPECT_EQ(sector0.substr(11, c.blockEnd - 11), std::string(c.blockEnd - 11, '\0'));
        EXPECT_NE(sector0.find(c.loader), std::string::npos);
        for (size_t s = 0; s < c.sectors; s += s == 0 ? 2 : 1) // sector 1 is FSInfo's
            EXPECT_EQ(kwbytes::LoadLe16(c.image + s * 512 + 510), 0xAA55);
    }
    EXPECT_EQ(kwbytes::LoadLe16(kw::fat::FAT32_NTLDR_EXTRA + 510), 0xAA55);
}

// A volume made by mkfs.fat, its boot code rewritten by the engine for the
// loader it holds, started by QEMU's BIOS: the stand-in loader (or the boot
// code's message when it is missing) shows on the serial port. The loader
// lies past a hole its chain jumps over, after enough root entries to fill
// a FAT32 root cluster.
class BootCodeQemuTest : public BootCodeTest {
protected:
    void SetUp() override {
        if (!kwtest::Run("command -v qemu-system-i386 >/dev/null"))
            GTEST_SKIP() << "qemu-system-i386 is not installed (Debian: qemu-system-x86)";
    }
    // What the machine printed until the loader reported, the boot code
    // stopped at its key prompt, or a minute passed.
    std::string Boot(const std::filesystem::path& vol, bool floppy) {
        std::string drive = floppy ? "if=floppy -boot a" : "if=ide -boot c";
        std::string out = (dir_ / "serial.txt").string();
        return kwtest::Capture("timeout 60 qemu-system-i386 -nographic -no-reboot -m 16 "
                               "-device isa-debug-exit,iobase=0xf4,iosize=0x04 -drive file='" +
                               vol.string() + "',format=raw," + drive + " </dev/null >'" + out +
                               "' 2>&1 & q=$!; for i in $(seq 600); do "
                               "grep -aq 'LOADED\\|WRONG\\|Press a key' '" +
                               out +
                               "' && break; "
                               "kill -0 $q 2>/dev/null || break; sleep 0.1; done; "
                               "kill $q 2>/dev/null; wait $q; cat '" +
                               out + "'");
    }
};

TEST_F(BootCodeQemuTest, TheRewrittenCodeStartsItsLoader) {
    struct Case {
        const char* options;
        uint32_t kib;
        bool floppy;
        const char* loader; // null: none on the volume
        const char* named;
        const char* shows;
    };
    const Case cases[] = {
        {"-F 12", 1440, true, "IO.SYS", "IO      SYS", "KWBOOT IO.SYS LOADED"},
        {"-F 12", 1440, true, "NTLDR", "NTLDR      ", "KWBOOT NTLDR LOADED"},
        {"-F 16", 20000, false, "IO.SYS", "IO      SYS", "KWBOOT IO.SYS LOADED"},
        {"-F 16", 20000, false, "NTLDR", "NTLDR      ", "KWBOOT NTLDR LOADED"},
        {"-F 32 -s 1", 70000, false, "IO.SYS", "IO      SYS", "KWBOOT IO.SYS LOADED"},
        {"-F 32 -s 1", 70000, false, "NTLDR", "NTLDR      ", "KWBOOT NTLDR LOADED"},
        {"-F 16", 20000, false, nullptr, "NTLDR      ", "No NTLDR\r\nPress a key"},
    };
    std::vector<std::string> fillers;
    for (int i = 0; i < 20; ++i) {
        std::filesystem::path f = dir_ / ("FILL" + std::to_string(i));
        std::ofstream(f) << i;
        fillers.push_back("'" + f.string() + "'");
    }
    std::filesystem::path hole = dir_ / "HOLE", after = dir_ / "AFTER";
    std::ofstream(hole) << std::string(1000, 'h');
    std::ofstream(after) << std::string(3000, 'a');
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + (c.loader ? c.loader : "no loader"));
        std::filesystem::path vol = Make(c.options, c.kib);
        std::string files;
        for (const std::string& f : fillers)
            files += f + " ";
        ASSERT_TRUE(kwtest::Run("mcopy -i '" + vol.string() + "' " + files + "'" + hole.string() +
                                "' '" + after.string() + "' ::/ && mdel -i '" + vol.string() +
                                "' ::/HOLE"));
        if (c.loader != nullptr) {
            bool ioSys = std::string(c.loader) == "IO.SYS";
            std::filesystem::path file = dir_ / c.loader;
            std::ofstream(file, std::ios::binary)
                .write(
                    reinterpret_cast<const char*>(ioSys ? kwtest::kTestIoSys : kwtest::kTestNtldr),
                    ioSys ? sizeof kwtest::kTestIoSys : sizeof kwtest::kTestNtldr);
            ASSERT_TRUE(kwtest::Run("mcopy -i '" + vol.string() + "' '" + file.string() + "' ::/"));
        }
        PutText(vol, 0x1A0, c.named);
        std::string before = Sector(vol, 0);
        bool fat32 = std::string(c.options).find("32") != std::string::npos;
        {
            kwtest::VolumeFile<FAT_FILESYSTEM> fs(vol, fat32 ? FS_KIND_FAT32 : FS_KIND_FAT,
                                                  fat32 ? 0x0B : 0x06);
            ASSERT_NE(fs.get(), nullptr);
            ASSERT_EQ(fs->Init(), KW_OK);
            ASSERT_EQ(RewriteBootCode(fs.get()), KW_OK);
        }
        size_t blockEnd = fat32 ? 90 : 62;
        EXPECT_EQ(Sector(vol, 0).substr(11, blockEnd - 11), before.substr(11, blockEnd - 11));
        EXPECT_TRUE(FsckClean(vol));
        std::string shown = Boot(vol, c.floppy);
        EXPECT_NE(shown.find(c.shows), std::string::npos) << shown;
    }
}

TEST(BootCode, FindInBufferStopsBeforeTheLastStart) {
    const uint8_t b[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(FindInBuffer(b, 4, "ab", 2), 1);
    EXPECT_EQ(FindInBuffer(b, 4, "bc", 2), 1);
    EXPECT_EQ(FindInBuffer(b, 4, "cd", 2), 0); // a start of length - pattern is not tried
    EXPECT_EQ(FindInBuffer(b, 4, "abcde", 5), 0);
}

} // namespace
