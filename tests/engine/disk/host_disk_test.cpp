// The disk library on a machine disk that Linux uses, and on a KW_DISKS image
// file that a loop device backs: mounted partitions take their drive letters
// from the drive table and are never locked or written. An image file stands
// in for the disk; sysfs and mountinfo are fakes.
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "platform/drives/drive_table.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

using kwtest::kCyl;

namespace {

constexpr uint32_t kDiskSectors = 4 * kCyl;

void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// Disk 259:0 with two partitions of an unknown type: p1 at one cylinder is
// mounted at /mnt/data, p2 at two cylinders is not. The same partitions also
// come as those of loop device 7:0 over the image file (losetup -P).
class HostDiskLib : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{kDiskSectors} * 512);
        kwtest::WriteLayout(image_, {{0x7F, kCyl, kCyl}, {0x7F, 2 * kCyl, kCyl}}, 0, 0);
        std::filesystem::path block = dir_ / "sys/dev/block/259:0";
        WriteText(block / "size", std::to_string(kDiskSectors));
        WritePartitions(block, "p", 259);
        view_.sysRoot = (dir_ / "sys").string();
        view_.devRoot = (dir_ / "dev").string();
        view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n"
                          "36 22 259:1 / /mnt/data rw - ext4 /dev/p1 rw\n";
        kw::plat::SetHostViewForTests([this] { return view_; });
        if (!Loop())
            InstallMachineDisk();
        else
            LoopTheImage();
        InstallDriveTable();
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }
    void InstallDriveTable() {
        kw::drives::DriveSources sources;
        sources.mountInfo = view_.mountInfo;
        sources.sysRoot = view_.sysRoot;
        sources.devRoot = view_.devRoot;
        table_ = std::make_shared<kw::drives::DriveTable>(kw::drives::DriveTable::Build(sources));
        kw::drives::DriveTable::SetProcess(table_);
    }
    char LetterOfDrive(const std::string& root) const {
        for (const kw::drives::DRIVE& d : table_->Drives())
            if (d.root == root)
                return d.letter;
        return '*';
    }
    bool Loop() const { return GetParam(); }

    static void WritePartitions(const std::filesystem::path& dir, const std::string& prefix,
                                unsigned major) {
        for (int n : {1, 2}) {
            std::filesystem::path p = dir / (prefix + std::to_string(n));
            WriteText(p / "partition", std::to_string(n));
            WriteText(p / "start", std::to_string(n * kCyl));
            WriteText(p / "size", std::to_string(kCyl));
            WriteText(p / "dev", std::to_string(major) + ":" + std::to_string(n));
        }
    }
    // The image stands in for machine disk 259:0.
    void InstallMachineDisk() {
        std::string path = image_.string();
        kw::plat::SetDiskProviderForTests([path] {
            kw::plat::DiskScan scan;
            int err = 0;
            auto src = kw::plat::FileSectorSource::Open(path, kw::plat::DiskFileKind::ImageFile,
                                                        true, &err);
            src->ActAsHostDisk(259, 0);
            scan.disks.push_back(std::move(src));
            return scan;
        });
    }
    // The image is a KW_DISKS file that loop device 7:0 backs; its first
    // partition (7:1) is the one mounted.
    void LoopTheImage() {
        std::filesystem::path loop = dir_ / "sys/block/loop0";
        WriteText(loop / "loop/backing_file", image_.string() + "\n");
        WriteText(loop / "loop/offset", "0");
        WriteText(loop / "size", std::to_string(kDiskSectors));
        WriteText(loop / "dev", "7:0");
        WritePartitions(loop, "loop0p", 7);
        view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n"
                          "36 22 7:1 / /mnt/data rw - ext4 /dev/loop0p1 rw\n";
        setenv("KW_DISKS", image_.c_str(), 1);
    }

    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
        kw::plat::SetDiskProviderForTests(nullptr);
        kw::plat::SetHostViewForTests(nullptr);
        kw::drives::DriveTable::SetProcess(nullptr);
    }

    static PARTITION_INFO* At(uint32_t start) {
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        for (PARTITION_INFO* pi = disk ? disk->firstPi : nullptr; pi != nullptr; pi = pi->next) {
            if (pi->ulStartSect == start && pi->ucFsKind != FS_KIND_FREE)
                return pi;
        }
        return nullptr;
    }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
    kw::plat::HostView view_;
    std::shared_ptr<kw::drives::DriveTable> table_;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(MachineDiskOrLoopedImage, HostDiskLib, ::testing::Bool());

TEST_P(HostDiskLib, MountedPartitionsTakeTheirDriveTableLetter) {
    const kw::drives::DRIVE* data = nullptr;
    for (const kw::drives::DRIVE& d : table_->Drives())
        if (d.root == "/mnt/data")
            data = &d;
    ASSERT_NE(data, nullptr);
    ASSERT_NE(At(kCyl), nullptr);
    EXPECT_EQ(At(kCyl)->ucDriveLetter, data->letter);
    EXPECT_TRUE(At(kCyl)->ulFlags & PI_HOST_LETTER);
    EXPECT_EQ(At(2 * kCyl)->ucDriveLetter, '*');
}

TEST_P(HostDiskLib, AMountedPartitionIsNeitherLockedNorWritten) {
    std::vector<uint8_t> before = kwtest::ReadAt(image_, 0, size_t{kDiskSectors} * 512);
    std::vector<uint8_t> sector(512, 0x5A);
    kwhandle h1, h2;
    ASSERT_EQ(kwLogOpen(At(kCyl), &h1), KW_OK);
    EXPECT_EQ(kwLogLock(h1), ERR_CANNOT_LOCK);
    EXPECT_FALSE(At(kCyl)->ulFlags & PI_LOCKED);
    EXPECT_EQ(kwLogWrite(h1, 0, sector.data(), 1), ERR_LOCK_VIOLATION);
    EXPECT_EQ(phyWrite(At(kCyl)->disk, kCyl - 1, std::vector<uint8_t>(1024).data(), 2),
              ERR_LOCK_VIOLATION); // a run that only reaches into it
    EXPECT_EQ(kwtest::ReadAt(image_, 0, size_t{kDiskSectors} * 512), before);
    ASSERT_EQ(kwLogOpen(At(2 * kCyl), &h2), KW_OK);
    EXPECT_EQ(kwLogLock(h2), KW_OK); // the unmounted one
    EXPECT_EQ(kwLogWrite(h2, 0, sector.data(), 1), KW_OK);
    EXPECT_EQ(kwtest::ReadAt(image_, uint64_t{2 * kCyl} * 512, 512), sector);
    EXPECT_EQ(kwLogUnlock(h2, 0), KW_OK);
}

TEST_P(HostDiskLib, TheVolumeOfTheProgramsOwnFilesGives38) {
    view_.programMajor = Loop() ? 7 : 259;
    view_.programMinor = 2;
    kwhandle h;
    ASSERT_EQ(kwLogOpen(At(2 * kCyl), &h), KW_OK);
    EXPECT_EQ(kwLogLock(h), ERR_OWN_VOLUME);
    EXPECT_FALSE(At(2 * kCyl)->ulFlags & PI_LOCKED);
}

// A FUSE file system over a partition's node (device 0:NN in mountinfo) is
// that partition's mount: it takes the drive's letter and is not locked.
TEST_P(HostDiskLib, AFuseMountIsThePartitionsMount) {
    std::string node = Loop() ? "loop0p2" : "p2";
    WriteText(dir_ / "sys/class/block" / node / "dev", Loop() ? "7:2" : "259:2");
    view_.mountInfo += "50 22 0:61 / /mnt/fuse rw - fuse /dev/" + node + " rw\n";
    InstallDriveTable();
    kwLibClose();
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(LetterOfDrive("/mnt/fuse"), '*');
    EXPECT_EQ(At(2 * kCyl)->ucDriveLetter, LetterOfDrive("/mnt/fuse"));
    kwhandle h;
    ASSERT_EQ(kwLogOpen(At(2 * kCyl), &h), KW_OK);
    EXPECT_EQ(kwLogLock(h), ERR_CANNOT_LOCK);
}
