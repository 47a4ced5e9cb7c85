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

// A FUSE file system shows a device of its own (0:NN) in mountinfo; only its
// source names the partition or disk it runs on. The nodes are not in the
// fake /dev, so the source is found by its name in the fake sysfs.
TEST_F(HostDisk, FuseMountsAreMatchedByTheirSource) {
    dir_.Write("sys/class/block/p2/dev", "259:2\n");
    dir_.Write("sys/class/block/d0/dev", "259:0\n");
    view_.mountInfo += "50 22 0:61 / /mnt/fuse rw,nosuid - fuse /dev/p2 rw\n";
    std::vector<HostPartition> parts = HostPartitionsOf(259, 0, view_);
    for (const HostPartition& p : parts) {
        if (p.minor == 2) {
            EXPECT_EQ(p.mountPoints, std::vector<std::string>{"/mnt/fuse"});
        }
    }
    std::string sector(512, 'w');
    EXPECT_EQ(src_->Write(5000, sector.data(), 1).status, DiskIoStatus::Busy);
    std::unique_ptr<DiskClaim> claim;
    EXPECT_EQ(src_->Claim(4096, 4096, &claim).status, DiskIoStatus::Busy);
    EXPECT_TRUE(src_->Write(0, sector.data(), 1).ok()); // the table area is still free
    // A FUSE file system over the whole disk's node holds every sector.
    view_.mountInfo += "51 22 0:62 / /mnt/whole rw - fuse.ntfs-3g /dev/d0 rw\n";
    EXPECT_EQ(src_->Write(0, sector.data(), 1).status, DiskIoStatus::Busy);
    // Sources that name no block device match nothing.
    view_ = FakeView(dir_);
    view_.mountInfo += "52 22 0:63 / /mnt/x rw - fuse.sshfs host:/srv rw\n"
                       "53 22 0:64 / /mnt/y rw - fuse /dev/../dev/p2 rw\n";
    EXPECT_TRUE(src_->Write(5000, sector.data(), 1).ok());
}

namespace {

// An image file that a loop device backs: the loop's partitions (and a loop
// set up at an offset into the file) sit on the image where the loop puts
// them, and their mounts keep writes and locks off those sectors.
class LoopImage : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = dir_ / "disk.img";
        std::ofstream(image_, std::ios::binary) << std::string(kDiskSectors * 512, '\0');
        std::ofstream(dir_ / "other.img") << "x";
        Loop("loop0", image_, 0, kDiskSectors, "7:0");
        Partition("loop0", "loop0p1", 2048, 1024, "259:8");
        Partition("loop0", "loop0p2", 3072, 1024, "259:9");
        Loop("loop1", image_, 6144 * 512, 1024, "7:1"); // mount -o loop,offset=...
        Loop("loop2", dir_ / "other.img", 0, 8, "7:2");
        Partition("loop2", "loop2p1", 0, 8, "259:10");
        view_.sysRoot = dir_ / "sys";
        view_.devRoot = dir_ / "dev";
        view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n"
                          "40 22 259:8 / /mnt/p1 rw - vfat /dev/loop0p1 rw\n"
                          "41 22 7:1 / /mnt/off rw - ext2 /dev/loop1 rw\n"
                          "42 22 259:10 / /mnt/other rw - vfat /dev/loop2p1 rw\n";
        SetHostViewForTests([this] { return view_; });
        int err = 0;
        src_ = FileSectorSource::Open(image_, DiskFileKind::ImageFile, true, &err);
        ASSERT_TRUE(src_);
    }
    void TearDown() override { SetHostViewForTests(nullptr); }

    void Loop(const std::string& name, const std::string& backing, uint64_t offset,
              uint64_t sectors, const std::string& dev) {
        dir_.Write("sys/block/" + name + "/loop/backing_file", backing + "\n");
        dir_.Write("sys/block/" + name + "/loop/offset", std::to_string(offset) + "\n");
        dir_.Write("sys/block/" + name + "/size", std::to_string(sectors) + "\n");
        dir_.Write("sys/block/" + name + "/dev", dev + "\n");
    }
    void Partition(const std::string& loop, const std::string& name, uint64_t start,
                   uint64_t sectors, const std::string& dev) {
        std::string p = "sys/block/" + loop + "/" + name;
        dir_.Write(p + "/partition", "1\n");
        dir_.Write(p + "/start", std::to_string(start) + "\n");
        dir_.Write(p + "/size", std::to_string(sectors) + "\n");
        dir_.Write(p + "/dev", dev + "\n");
    }

    TempDir dir_;
    HostView view_;
    std::string image_;
    std::unique_ptr<FileSectorSource> src_;
};

} // namespace

TEST_F(LoopImage, MountedLoopPartitionsAreNeitherWrittenNorHeld) {
    std::string sector(512, 'w');
    const struct {
        uint64_t at;
        bool free;
    } cases[] = {{0, true},    {2047, true},  {2048, false}, {3071, false}, {3072, true},
                 {6143, true}, {6144, false}, {7167, false}, {7168, true},  {8191, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        EXPECT_EQ(src_->Write(c.at, sector.data(), 1).ok(), c.free);
        std::unique_ptr<DiskClaim> claim;
        EXPECT_EQ(src_->Claim(c.at, 1, &claim).ok(), c.free);
    }
    std::string bytes = FileBytes(image_);
    EXPECT_EQ(bytes.substr(2048 * 512, 1024 * 512), std::string(1024 * 512, '\0'));
    EXPECT_EQ(bytes.substr(6144 * 512, 1024 * 512), std::string(1024 * 512, '\0'));
    // The partitions carry the loop's numbers, for drive letters.
    bool found = false;
    for (const HostPartition& p : src_->HostPartitions()) {
        if (p.major == 259 && p.minor == 8) {
            found = true;
            EXPECT_EQ(p.start, 2048u);
            EXPECT_EQ(p.mountPoints, std::vector<std::string>{"/mnt/p1"});
        }
    }
    EXPECT_TRUE(found);
    // With a loop on the file, unknown mounts refuse every write.
    view_.mountInfoRead = false;
    EXPECT_EQ(src_->Write(0, sector.data(), 1).status, DiskIoStatus::Busy);
}

TEST_F(LoopImage, AFileSystemRunningOnTheImageFileItselfHoldsIt) {
    std::string sector(512, 'w');
    view_.mountInfo += "60 22 0:70 / /mnt/fuse rw - fuse.fuse2fs " + image_ + " rw\n";
    EXPECT_EQ(src_->Write(0, sector.data(), 1).status, DiskIoStatus::Busy);
    std::unique_ptr<DiskClaim> claim;
    EXPECT_EQ(src_->Claim(4096, 1, &claim).status, DiskIoStatus::Busy);
    // No loop and no mount of the file: the user's own file is written freely.
    TempDir empty;
    view_.sysRoot = empty / "sys";
    view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n";
    view_.mountInfoRead = false;
    EXPECT_TRUE(src_->Write(2048, sector.data(), 1).ok());
}

// What a source found is kept while the mount table stays as it was; under a
// test view nothing is kept.
TEST(MountTableGeneration, StaysWhileTheMountTableStays) {
    uint64_t generation = MountTableGeneration();
    if (generation == 0)
        GTEST_SKIP() << "the mount table cannot be watched here";
    EXPECT_EQ(MountTableGeneration(), generation);
    SetHostViewForTests([] { return HostView{}; });
    EXPECT_EQ(MountTableGeneration(), 0u);
    SetHostViewForTests(nullptr);
    EXPECT_EQ(MountTableGeneration(), generation);
}
