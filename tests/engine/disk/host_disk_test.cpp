// The disk library on a machine disk that Linux uses: mounted partitions take
// their drive letters from the drive table and are never locked or written.
// An image file stands in for the disk; sysfs and mountinfo are fakes.
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
// mounted at /mnt/data, p2 at two cylinders is not.
class HostDiskLib : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{kDiskSectors} * 512);
        kwtest::WriteLayout(image_, {{0x7F, kCyl, kCyl}, {0x7F, 2 * kCyl, kCyl}}, 0, 0);
        std::filesystem::path block = dir_ / "sys/dev/block/259:0";
        WriteText(block / "size", std::to_string(kDiskSectors));
        for (int n : {1, 2}) {
            std::filesystem::path p = block / ("p" + std::to_string(n));
            WriteText(p / "partition", std::to_string(n));
            WriteText(p / "start", std::to_string(n * kCyl));
            WriteText(p / "size", std::to_string(kCyl));
            WriteText(p / "dev", "259:" + std::to_string(n));
        }
        view_.sysRoot = (dir_ / "sys").string();
        view_.devRoot = (dir_ / "dev").string();
        view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n"
                          "36 22 259:1 / /mnt/data rw - ext4 /dev/p1 rw\n";
        kw::plat::SetHostViewForTests([this] { return view_; });
        kw::drives::DriveSources sources;
        sources.mountInfo = view_.mountInfo;
        sources.sysRoot = view_.sysRoot;
        sources.devRoot = view_.devRoot;
        table_ = std::make_shared<kw::drives::DriveTable>(kw::drives::DriveTable::Build(sources));
        kw::drives::DriveTable::SetProcess(table_);
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
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }
    void TearDown() override {
        kwLibClose();
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

TEST_F(HostDiskLib, MountedPartitionsTakeTheirDriveTableLetter) {
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

TEST_F(HostDiskLib, AMountedPartitionIsNeitherLockedNorWritten) {
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

TEST_F(HostDiskLib, TheVolumeOfTheProgramsOwnFilesGives38) {
    view_.programMajor = 259;
    view_.programMinor = 2;
    kwhandle h;
    ASSERT_EQ(kwLogOpen(At(2 * kCyl), &h), KW_OK);
    EXPECT_EQ(kwLogLock(h), ERR_OWN_VOLUME);
    EXPECT_FALSE(At(2 * kCyl)->ulFlags & PI_LOCKED);
}
