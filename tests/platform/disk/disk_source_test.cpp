#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "platform/settings/settings_file.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kw::plat;

namespace {

using kw::test::TempDir;

// A file of n sectors whose byte i holds (i * 7 + i / 512) & 0xFF.
std::string PatternBytes(uint32_t sectors) {
    std::string bytes(size_t{sectors} * 512, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 512) & 0xFF);
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(FileSectorSource, ReadsWhatTheFileHoldsAndNeverPastTheEnd) {
    TempDir dir;
    std::string bytes = PatternBytes(40);
    WriteFile(dir / "disk.img", bytes);
    int err = -1;
    auto src = FileSectorSource::Open(dir / "disk.img", DiskFileKind::ImageFile, true, &err);
    ASSERT_TRUE(src);
    EXPECT_EQ(src->SectorCount(), 40u);
    EXPECT_TRUE(src->Writable());
    std::string buf(3 * 512, '\0');
    ASSERT_TRUE(src->Read(37, buf.data(), 3).ok());
    EXPECT_EQ(buf, bytes.substr(37 * 512, 3 * 512));
    EXPECT_EQ(src->Read(38, buf.data(), 3).status, DiskIoStatus::OutOfRange);
    EXPECT_EQ(src->Read(UINT64_MAX, buf.data(), 1).status, DiskIoStatus::OutOfRange);
}

TEST(FileSectorSource, WritesInPlaceAndRefusesToGrowTheFile) {
    TempDir dir;
    WriteFile(dir / "disk.img", PatternBytes(8));
    int err = 0;
    auto src = FileSectorSource::Open(dir / "disk.img", DiskFileKind::ImageFile, true, &err);
    ASSERT_TRUE(src);
    std::string sector(512, 'x');
    ASSERT_TRUE(src->Write(7, sector.data(), 1).ok());
    EXPECT_EQ(src->Write(7, std::string(1024, 'y').data(), 2).status, DiskIoStatus::OutOfRange);
    src.reset();
    std::string after = ReadFile(dir / "disk.img");
    EXPECT_EQ(after.size(), 8u * 512);
    EXPECT_EQ(after.substr(7 * 512), sector);
}

TEST(FileSectorSource, ReadOnlyFileOpensReadOnly) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write any file";
    TempDir dir;
    WriteFile(dir / "ro.img", PatternBytes(2));
    chmod((dir / "ro.img").c_str(), 0444);
    int err = 0;
    auto src = FileSectorSource::Open(dir / "ro.img", DiskFileKind::ImageFile, true, &err);
    ASSERT_TRUE(src);
    EXPECT_FALSE(src->Writable());
    EXPECT_EQ(src->Write(0, std::string(512, 'z').data(), 1).status, DiskIoStatus::ReadOnly);
}

TEST(FileSectorSource, RefusesWritesWhenNotAllowed) {
    TempDir dir;
    WriteFile(dir / "d.img", PatternBytes(2));
    int err = 0;
    auto src = FileSectorSource::Open(dir / "d.img", DiskFileKind::ImageFile, false, &err);
    ASSERT_TRUE(src);
    EXPECT_EQ(src->Write(0, std::string(512, 'z').data(), 1).status, DiskIoStatus::ReadOnly);
    EXPECT_EQ(ReadFile(dir / "d.img"), PatternBytes(2));
}

TEST(DiskGeometry, SynthesisedGeometryHasNoZeroFieldAndNeverCoversMoreThanTheDisk) {
    struct Case {
        uint64_t sectors;
        uint64_t covered; // cylinders x heads x sectors per track
    };
    const Case cases[] = {
        {1, 1},
        {2880, 2880},   // 1.44 MB floppy image
        {1440, 1440},   // 720 KB
        {16063, 16002}, // no exact fit below one cylinder: 254 x 63
        {16064, 16002},
        {16065, 16065},
        {uint64_t{16065} * 1024 + 5, uint64_t{16065} * 1024},
        {uint64_t{1} << 40, uint64_t{16065} * ((uint64_t{1} << 40) / 16065)},
    };
    for (const Case& c : cases) {
        DiskGeometry g = SynthesiseGeometry(c.sectors);
        EXPECT_GE(g.cylinders, 1u) << c.sectors;
        EXPECT_TRUE(g.heads >= 1 && g.heads <= 255) << c.sectors;
        EXPECT_TRUE(g.sectorsPerTrack >= 1 && g.sectorsPerTrack <= 63) << c.sectors;
        EXPECT_EQ(uint64_t{g.cylinders} * g.heads * g.sectorsPerTrack, c.covered) << c.sectors;
    }
    DiskGeometry none = SynthesiseGeometry(0);
    EXPECT_TRUE(none.cylinders >= 1 && none.heads >= 1 && none.sectorsPerTrack >= 1);
    EXPECT_EQ(SynthesiseGeometry(uint64_t{1} << 60).cylinders, UINT32_MAX);
}

TEST(DiskDriver, ImageListSkipsMissingFilesAndEmptyEntries) {
    TempDir dir;
    WriteFile(dir / "a.img", PatternBytes(4));
    WriteFile(dir / "b.img", PatternBytes(6));
    std::string list = dir / "a.img" + "::" + dir / "missing.img" + ":" + dir / "b.img";
    DiskScan scan = ScanDiskImages(list);
    ASSERT_EQ(scan.disks.size(), 2u);
    EXPECT_EQ(scan.disks[0]->SectorCount(), 4u);
    EXPECT_EQ(scan.disks[1]->SectorCount(), 6u);
    ASSERT_EQ(scan.skipped.size(), 1u);
    EXPECT_NE(scan.skipped[0].find("missing.img"), std::string::npos);
    EXPECT_TRUE(ScanDiskImages("").disks.empty());
    // A folder, an empty file and one shorter than a sector are no disks:
    // each is skipped by name, none becomes a tiny disk.
    WriteFile(dir / "empty.img", "");
    WriteFile(dir / "short.img", std::string(100, 'x'));
    std::filesystem::create_directory(dir / "folder");
    scan = ScanDiskImages(dir / "folder" + ":" + dir / "empty.img" + ":" + dir / "short.img");
    EXPECT_TRUE(scan.disks.empty());
    ASSERT_EQ(scan.skipped.size(), 3u);
    EXPECT_EQ(scan.skipped[0], dir / "folder" + ": is a folder, not a disk-image file");
    EXPECT_EQ(scan.skipped[1], dir / "empty.img" + ": holds less than one 512-byte sector");
    EXPECT_EQ(scan.skipped[2].find(dir / "short.img" + ": "), 0u);
}

// A block device named in the list opens as a block device (size from the
// device, read-only unless allowed), not as a file of size 0.
TEST(DiskDriver, ListedPathsOpenByWhatTheyAre) {
    const struct {
        mode_t mode;
        uint64_t bytes;
        bool disk;
        DiskFileKind kind;
    } cases[] = {
        {S_IFBLK | 0660, 0, true, DiskFileKind::BlockDevice},
        {S_IFREG | 0644, 512, true, DiskFileKind::ImageFile},
        {S_IFREG | 0644, 511, false, DiskFileKind::ImageFile},
        {S_IFDIR | 0755, 4096, false, DiskFileKind::ImageFile},
        {S_IFCHR | 0666, 0, false, DiskFileKind::ImageFile},
        {S_IFIFO | 0644, 0, false, DiskFileKind::ImageFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        DiskFileKind kind = DiskFileKind::ImageFile;
        std::string reason;
        EXPECT_EQ(DiskPathKind(c.mode, c.bytes, &kind, &reason), c.disk);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(reason.empty(), c.disk);
    }
}

TEST(DiskDriver, KwDisksWinsOverTheMachineDisks) {
    TempDir dir;
    WriteFile(dir / "a.img", PatternBytes(4));
    setenv("KW_DISKS", (dir / "a.img").c_str(), 1);
    EXPECT_EQ(ScanDisks().disks.size(), 1u);
    setenv("KW_DISKS", "", 1);
    EXPECT_TRUE(ScanDisks().disks.empty());
    unsetenv("KW_DISKS");
}

TEST(DiskDriver, WholeDiskNames) {
    struct Case {
        const char* name;
        bool whole;
    } cases[] = {
        {"sda", true},           {"sdab", true},       {"sda1", false},   {"vdb", true},
        {"xvda", true},          {"xvda2", false},     {"nvme0n1", true}, {"nvme10n2", true},
        {"nvme0n1p1", false},    {"nvme0c0n1", false}, {"mmcblk0", true}, {"mmcblk0p1", false},
        {"mmcblk0boot0", false}, {"loop0", false},     {"ram0", false},   {"sr0", false},
        {"dm-0", false},         {"md127", false},     {"sd", false},     {"nvme", false}};
    for (const Case& c : cases)
        EXPECT_EQ(IsWholeDiskName(c.name), c.whole) << c.name;
}

TEST(DiskDriver, BlockDeviceScanSkipsWhatCannotBeOpenedAsADisk) {
    TempDir dir;
    fs::create_directories(dir / "sys/sda");
    fs::create_directories(dir / "sys/loop0");
    fs::create_directories(dir / "sys/sdb");
    fs::create_directories(dir / "dev");
    WriteFile(dir / "dev/sda", PatternBytes(2)); // a plain file is no block device
    DiskScan scan = ScanBlockDevices(dir / "sys", dir / "dev");
    EXPECT_TRUE(scan.disks.empty());
    ASSERT_EQ(scan.skipped.size(), 2u);
    EXPECT_NE(scan.skipped[0].find("/sda"), std::string::npos);
    EXPECT_NE(scan.skipped[1].find("/sdb"), std::string::npos);
}

TEST(DiskDriver, MachineDisksOpenReadOnly) {
    TempDir dir;
    setenv("KW_SETTINGS", (dir / "none.ini").c_str(), 1); // no key: writes stay off
    DiskScan scan = ScanBlockDevices("/sys/block", "/dev");
    unsetenv("KW_SETTINGS");
    for (const auto& disk : scan.disks) {
        EXPECT_FALSE(disk->Writable()) << disk->Name();
        DiskGeometry g = disk->Geometry();
        EXPECT_TRUE(g.cylinders && g.heads && g.sectorsPerTrack) << disk->Name();
    }
}

TEST(FaultySectorSource, FailsChosenReadsAndTheKthWrite) {
    FaultySectorSource src(std::make_unique<MemorySectorSource>("m", PatternBytes(10)));
    src.FailReadAt(5);
    src.FailWriteNumber(2);
    std::string buf(4 * 512, '\0');
    EXPECT_TRUE(src.Read(1, buf.data(), 4).ok());
    EXPECT_EQ(src.Read(2, buf.data(), 4).status, DiskIoStatus::IoError);
    EXPECT_EQ(src.Read(5, buf.data(), 1).status, DiskIoStatus::IoError);
    EXPECT_TRUE(src.Read(6, buf.data(), 4).ok());
    EXPECT_TRUE(src.Write(0, buf.data(), 1).ok());
    EXPECT_EQ(src.Write(0, buf.data(), 1).status, DiskIoStatus::IoError);
    EXPECT_TRUE(src.Write(0, buf.data(), 1).ok());
    EXPECT_EQ(src.WritesSeen(), 3u);
}

TEST(DiskDriver, BlockDeviceWritesNeedTheSettingsKey) {
    kw::settings::SettingsFile probe;
    probe.Parse("[Disks]\nAllowWrites=1\n");
    if (probe.GetInt("Disks", "AllowWrites") != 1)
        GTEST_SKIP() << "the settings file cannot be read in this build";
    TempDir dir;
    setenv("KW_SETTINGS", (dir / "settings.ini").c_str(), 1);
    EXPECT_FALSE(BlockDeviceWritesAllowed());
    WriteFile(dir / "settings.ini", "[Disks]\nAllowWrites=0\n");
    EXPECT_FALSE(BlockDeviceWritesAllowed());
    WriteFile(dir / "settings.ini", "[Disks]\nAllowWrites=1\n");
    EXPECT_TRUE(BlockDeviceWritesAllowed());
    SetBlockDeviceWritePolicy([] { return false; });
    EXPECT_FALSE(BlockDeviceWritesAllowed());
    SetBlockDeviceWritePolicy(nullptr);
    unsetenv("KW_SETTINGS");
}
