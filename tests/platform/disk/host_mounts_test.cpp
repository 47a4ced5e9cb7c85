// What Linux holds of a machine disk, read from a fake sysfs folder and a
// fake mountinfo text: no test needs a real mount.
#include "platform/disk/file_disk_source.h"
#include "platform/disk/host_mounts.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace kw::plat;
using kw::test::TempDir;

namespace {

constexpr uint64_t kDiskSectors = 8192;

// A disk 259:0 with partitions p1 (2048+2048, 259:1) and p2 (4096+4096,
// 259:2); p1 is mounted at /mnt/data.
HostView FakeView(const TempDir& dir) {
    std::string disk = "sys/dev/block/259:0";
    dir.Write(disk + "/size", std::to_string(kDiskSectors) + "\n");
    dir.Write(disk + "/queue/rotational", "0\n"); // a folder without "partition"
    const struct {
        const char* name;
        const char* start;
        const char* size;
        const char* dev;
    } parts[] = {{"p1", "2048", "2048", "259:1"}, {"p2", "4096", "4096", "259:2"}};
    for (const auto& p : parts) {
        dir.Write(disk + "/" + p.name + "/partition", "1\n");
        dir.Write(disk + "/" + p.name + "/start", std::string(p.start) + "\n");
        dir.Write(disk + "/" + p.name + "/size", std::string(p.size) + "\n");
        dir.Write(disk + "/" + p.name + "/dev", std::string(p.dev) + "\n");
    }
    HostView view;
    view.sysRoot = dir / "sys";
    view.devRoot = dir / "dev"; // no nodes: nothing to hold open
    view.mountInfo = "22 1 259:3 / / rw,relatime shared:1 - ext4 /dev/p3 rw\n"
                     "36 22 259:1 / /mnt/data rw,relatime shared:2 - ext4 /dev/p1 rw\n";
    return view;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class HostDisk : public ::testing::Test {
protected:
    void SetUp() override {
        view_ = FakeView(dir_);
        SetHostViewForTests([this] { return view_; });
        image_ = dir_ / "disk.img";
        std::ofstream(image_, std::ios::binary) << std::string(kDiskSectors * 512, '\0');
        int err = 0;
        src_ = FileSectorSource::Open(image_, DiskFileKind::ImageFile, true, &err);
        ASSERT_TRUE(src_);
        src_->ActAsHostDisk(259, 0);
    }
    void TearDown() override { SetHostViewForTests(nullptr); }

    TempDir dir_;
    HostView view_;
    std::string image_;
    std::unique_ptr<FileSectorSource> src_;
};

} // namespace

TEST_F(HostDisk, PartitionsComeFromSysfsAndMountsFromMountinfo) {
    std::vector<HostPartition> parts = HostPartitionsOf(259, 0, view_);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_TRUE(parts[0].wholeDisk);
    EXPECT_EQ(parts[0].sectors, kDiskSectors);
    EXPECT_FALSE(parts[0].Mounted());
    for (const HostPartition& p : parts) {
        if (p.minor == 1) {
            EXPECT_EQ(p.start, 2048u);
            EXPECT_EQ(p.mountPoints, std::vector<std::string>{"/mnt/data"});
            EXPECT_EQ(p.node, view_.devRoot + "/p1");
        } else if (p.minor == 2) {
            EXPECT_EQ(p.start, 4096u);
            EXPECT_FALSE(p.Mounted());
        }
    }
    EXPECT_TRUE(HostPartitionsOf(8, 0, view_).empty()); // sysfs does not know it
}

TEST_F(HostDisk, WhatARunMayBeUsedFor) {
    std::vector<HostPartition> parts = HostPartitionsOf(259, 0, view_);
    EXPECT_EQ(HostUseOf(parts, true, 0, 2048), HostUse::Free); // the table area
    EXPECT_EQ(HostUseOf(parts, true, 2047, 2), HostUse::Mounted);
    EXPECT_EQ(HostUseOf(parts, true, 4095, 1), HostUse::Mounted);
    EXPECT_EQ(HostUseOf(parts, true, 4096, 4096), HostUse::Free);
    EXPECT_EQ(HostUseOf(parts, false, 4096, 1), HostUse::Mounted); // mounts unknown
    view_.programMajor = 259;
    view_.programMinor = 2;
    parts = HostPartitionsOf(259, 0, view_);
    EXPECT_EQ(HostUseOf(parts, true, 5000, 1), HostUse::ProgramVolume);
}

TEST_F(HostDisk, WritesNeverLandUnderAMountedFileSystem) {
    std::string sector(512, 'w');
    EXPECT_EQ(src_->Write(2048, sector.data(), 1).status, DiskIoStatus::Busy);
    EXPECT_EQ(src_->Write(2040, std::string(16 * 512, 'w').data(), 16).status,
              DiskIoStatus::Busy); // a run that only reaches into it
    EXPECT_EQ(FileBytes(image_), std::string(kDiskSectors * 512, '\0'));
    EXPECT_TRUE(src_->Write(4096, sector.data(), 1).ok());
    EXPECT_TRUE(src_->Write(0, sector.data(), 1).ok());
    view_.mountInfoRead = false; // when the mounts cannot be read, nothing is written
    EXPECT_EQ(src_->Write(4096, sector.data(), 1).status, DiskIoStatus::Busy);
}

TEST_F(HostDisk, ClaimsRefuseMountedRunsAndTheProgramsVolume) {
    std::unique_ptr<DiskClaim> claim;
    EXPECT_EQ(src_->Claim(2048, 2048, &claim).status, DiskIoStatus::Busy);
    EXPECT_FALSE(claim);
    EXPECT_TRUE(src_->Claim(4096, 4096, &claim).ok());
    view_.programMajor = 259;
    view_.programMinor = 2;
    EXPECT_EQ(src_->Claim(4096, 4096, &claim).status, DiskIoStatus::OwnVolume);
    // An image file that is no machine disk has nothing to hold.
    int err = 0;
    auto plain = FileSectorSource::Open(image_, DiskFileKind::ImageFile, true, &err);
    EXPECT_TRUE(plain->Claim(2048, 2048, &claim).ok());
    EXPECT_TRUE(plain->HostPartitions().empty());
}
