#include "platform/drives/drive_table.h"

#include "tests/platform/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace kw::drives {
namespace {

const char* const kSample =
    "21 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
    "22 21 0:20 / /proc rw,nosuid shared:2 - proc proc rw\n"
    "23 21 0:21 / /sys rw shared:3 - sysfs sysfs rw\n"
    "24 21 0:5 / /dev rw shared:4 - devtmpfs udev rw,size=100k\n"
    "25 21 8:1 / /boot/efi rw - vfat /dev/sda1 rw\n"
    "26 21 0:40 / /mnt/share rw - cifs //srv/Share rw,vers=3.0\n"
    "27 21 8:17 / /media/u/USB\\040STICK rw,nosuid master:5 - vfat /dev/sdb1 rw\n"
    "28 21 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n"
    "29 21 0:30 / /run rw - tmpfs tmpfs rw\n"
    "30 21 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro\n"
    "31 21 0:50 / /mnt/nfs rw - nfs4 fileserver:/export/home rw\n"
    "32 21 8:2 /home /home rw - ext4 /dev/sda2 rw\n"
    "bad line without fields\n"
    "33 21 8:3 / /mnt/x rw shared:9\n";

TEST(MountInfo, ParsesFieldsAndEscapes) {
    std::vector<MountEntry> m = ParseMountInfo(kSample);
    ASSERT_EQ(m.size(), 12u); // the last two lines are malformed
    EXPECT_EQ(m[0].mountPoint, "/");
    EXPECT_EQ(m[0].fsType, "ext4");
    EXPECT_EQ(m[0].source, "/dev/sda2");
    EXPECT_EQ(m[0].major, 8u);
    EXPECT_EQ(m[0].minor, 2u);
    EXPECT_EQ(m[6].mountPoint, "/media/u/USB STICK");
    EXPECT_EQ(m[11].root, "/home");
    EXPECT_TRUE(IsRealFileSystem(m[4]));  // vfat on /dev/sda1
    EXPECT_TRUE(IsRealFileSystem(m[5]));  // cifs
    EXPECT_TRUE(IsRealFileSystem(m[7]));  // iso9660
    EXPECT_FALSE(IsRealFileSystem(m[1])); // proc
    EXPECT_FALSE(IsRealFileSystem(m[8])); // tmpfs
    EXPECT_FALSE(IsRealFileSystem(m[9])); // squashfs package image
}

TEST(MountInfo, RejectsMalformedLines) {
    for (const char* line : {"", "1 2 3", "1 2 8:1 / /m rw - ext4",
                             "x 2 8:1 / /m rw - ext4 /dev/a rw", "1 2 81 / /m rw - ext4 /dev/a rw",
                             "1 2 8:1 rel /m rw - ext4 /dev/a rw", "1 2 8:1 / /m rw opt - "}) {
        MountEntry e;
        EXPECT_FALSE(ParseMountInfoLine(line, &e)) << line;
    }
    MountEntry e;
    EXPECT_TRUE(ParseMountInfoLine("1 2 8:1 / /m rw a:1 b:2 - ext4 /dev/a rw", &e));
    EXPECT_EQ(e.fsType, "ext4");
}

DriveTable SampleTable(std::vector<std::pair<char, std::string>> pins = {}) {
    DriveSources src;
    src.mountInfo = kSample;
    src.home = "/home/u";
    src.pins = std::move(pins);
    src.sysRoot = "/nonexistent-sys";
    src.devRoot = "/nonexistent-dev";
    return DriveTable::Build(src);
}

TEST(DriveTable, LettersFollowMountPointOrder) {
    DriveTable t = SampleTable();
    std::string letters;
    for (const DRIVE& d : t.Drives())
        letters += std::string(1, d.letter) + "=" + d.root + " ";
    EXPECT_EQ(letters, "C=/ D=/boot/efi E=/home F=/media/cd G=/media/u/USB STICK H=/home/u "
                       "I=/mnt/nfs J=/mnt/share ");
}

TEST(DriveTable, PinnedLettersWinAndAreNotGivenTwice) {
    DriveTable t = SampleTable({{'z', "/media/cd/"}, {'C', "/tmp"}, {'H', "/srv/home"}});
    ASSERT_NE(t.Find('Z'), nullptr);
    EXPECT_EQ(t.Find('Z')->root, "/media/cd");
    EXPECT_EQ(t.Find('C')->root, "/"); // C: is always the host's root
    EXPECT_EQ(t.Find('H')->root, "/srv/home");
    EXPECT_EQ(t.Find('F')->root, "/media/u/USB STICK"); // /media/cd no longer takes a letter
}

TEST(DriveTable, ConvertsBothWays) {
    DriveTable t = SampleTable();
    struct Case {
        const char* drive;
        const char* host;
    } both[] = {
        {"C:\\etc\\fstab", "/etc/fstab"},
        {"C:\\", "/"},
        {"H:\\docs\\a.txt", "/home/u/docs/a.txt"},
        {"H:\\", "/home/u"},
        {"E:\\other\\x", "/home/other/x"},
        {"G:\\x y\\z", "/media/u/USB STICK/x y/z"},
        {"D:\\EFI", "/boot/efi/EFI"},
    };
    for (const Case& c : both) {
        std::string host, drive;
        ASSERT_TRUE(t.ToHost(c.drive, &host)) << c.drive;
        EXPECT_EQ(host, c.host) << c.drive;
        ASSERT_TRUE(t.FromHost(c.host, &drive)) << c.host;
        EXPECT_EQ(drive, c.drive) << c.host;
    }
    struct OneWay {
        const char* in;
        const char* host;
    } toHost[] = {
        {"D:", "/boot/efi"},
        {"\\\\.\\D:\\EFI", "/boot/efi/EFI"},
        {"\\\\SRV\\share\\dir\\f", "/mnt/share/dir/f"},
        {"//srv/share", "/mnt/share"},
        {"H:\\..\\..\\etc", "/home/u/etc"}, // never above the drive's root
        {"H:/a//b/./c", "/home/u/a/b/c"},
        {"/var/log", "/var/log"},
    };
    for (const OneWay& c : toHost) {
        std::string host;
        ASSERT_TRUE(t.ToHost(c.in, &host)) << c.in;
        EXPECT_EQ(host, c.host) << c.in;
    }
    std::string out;
    EXPECT_TRUE(t.FromHost("/media/u/USB STICK/a/../b", &out));
    EXPECT_EQ(out, "G:\\b");
    EXPECT_FALSE(t.FromHost("/tmp/a\\b", &out)); // cannot be addressed
    EXPECT_FALSE(t.ToHost("Q:\\x", &out));       // no such drive
    EXPECT_FALSE(t.ToHost("\\\\nosrv\\share\\x", &out));
    EXPECT_FALSE(t.ToHost("\\\\.\\", &out)); // device paths are no host paths
    EXPECT_FALSE(t.ToHost("\\\\.\\disk1.part1\\x", &out));
    EXPECT_FALSE(t.ToHost(std::string("C:\\a\0b", 7), &out));
}

TEST(DriveTable, RelativePathsUseTheCurrentDirectory) {
    kw::test::TempDir tmp;
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::create_directories(tmp / "a/b");
    std::filesystem::current_path(tmp / "a/b");
    DriveTable t = SampleTable();
    std::string host, drive;
    EXPECT_TRUE(t.ToHost("x\\y", &host));
    EXPECT_EQ(host, tmp / "a/b/x/y");
    EXPECT_TRUE(t.ToHost("..\\..\\z", &host));
    EXPECT_EQ(host, tmp / "z");
    EXPECT_TRUE(t.ToHost("C:rel", &host)); // drive-relative on the current drive
    EXPECT_EQ(host, tmp / "a/b/rel");
    EXPECT_TRUE(t.ToHost("\\top", &host)); // rooted on the current drive
    EXPECT_EQ(host, "/top");
    std::string abs;
    EXPECT_TRUE(t.FromHost("rel", &drive));
    EXPECT_TRUE(t.FromHost(tmp / "a/b/rel", &abs));
    EXPECT_EQ(drive, abs);
    std::filesystem::current_path(old);
}

TEST(DriveTable, KindsFlagsLabelsAndNetworkNames) {
    kw::test::TempDir tmp;
    namespace fs = std::filesystem;
    // A fake sysfs: sdb is removable, sda is not; sdb1 and sda1 are partitions.
    fs::create_directories(tmp / "sys/dev/block");
    tmp.Write("sys/devices/sdb/removable", "1\n");
    tmp.Write("sys/devices/sdb/sdb1/partition", "1\n");
    tmp.Write("sys/devices/sda/removable", "0\n");
    tmp.Write("sys/devices/sda/sda1/partition", "1\n");
    fs::create_directory_symlink("../../devices/sdb/sdb1", tmp / "sys/dev/block/8:17");
    fs::create_directory_symlink("../../devices/sda/sda1", tmp / "sys/dev/block/8:1");
    tmp.Write("dev/sdb1", "");
    fs::create_directories(tmp / "dev/disk/by-label");
    fs::create_symlink("../../sdb1", tmp / "dev/disk/by-label/USB\\x20STICK");

    DriveSources src;
    src.mountInfo = kSample;
    src.home = "/home/u";
    src.sysRoot = tmp / "sys";
    src.devRoot = tmp / "dev";
    src.pins = {{'A', "/media/u/USB STICK"}};
    DriveTable t = DriveTable::Build(src);

    struct Case {
        char letter;
        uint32_t flags;
    } cases[] = {{'A', 0x11}, {'C', 0}, {'D', 0}, {'F', 0x0D}, {'G', 0x02}, {'I', 0x02}};
    for (const Case& c : cases) {
        uint32_t flags = 0xFF;
        ASSERT_TRUE(t.DriveFlags(c.letter, &flags)) << c.letter;
        EXPECT_EQ(flags, c.flags) << c.letter;
    }
    uint32_t flags;
    EXPECT_FALSE(t.DriveFlags('Q', &flags));

    std::string label;
    EXPECT_TRUE(t.Label('A', &label));
    EXPECT_EQ(label, "USB STICK");
    EXPECT_FALSE(t.Label('D', &label));

    std::string name;
    EXPECT_TRUE(t.NetworkName('I', &name));
    EXPECT_EQ(name, "\\\\srv\\Share");
    EXPECT_TRUE(t.NetworkName('G', &name));
    EXPECT_EQ(name, "\\\\fileserver\\export\\home");
    EXPECT_FALSE(t.NetworkName('C', &name));
}

TEST(DriveTable, ProcessTableHasTheRootAndHome) {
    const DriveTable& t = DriveTable::Process();
    ASSERT_NE(t.Find('C'), nullptr);
    EXPECT_EQ(t.Find('C')->root, "/");
    std::string drive;
    EXPECT_TRUE(t.FromHost("/", &drive));
    EXPECT_EQ(drive.substr(0, 2), std::string(1, drive[0]) + ":");
}

} // namespace
} // namespace kw::drives
