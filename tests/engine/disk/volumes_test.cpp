// The disk library over a disk image whose volumes the Debian tools made.
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

using kwtest::kCyl;

namespace {

class ToolVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = kwtest::BuildStandardDisk(dir_);
        setenv("KW_DISKS", disk_.image.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        kwGetDiskList(&first_);
        ASSERT_NE(first_, nullptr);
    }
    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
    }

    PARTITION_INFO* At(uint32_t start, uint8_t type) const {
        for (PARTITION_INFO* pi = first_->firstPi; pi != nullptr; pi = pi->next) {
            if (pi->ulStartSect == start && pi->ucPartType == type)
                return pi;
        }
        return nullptr;
    }

    kwtest::TempDir dir_;
    kwtest::StandardDisk disk_;
    DISK_RECORD* first_ = nullptr;
};

// The 64-bit NTFS serial as The Sleuth Kit prints it.
uint64_t SleuthKitNtfsSerial(const kwtest::StandardDisk& d) {
    std::string out = kwtest::Capture("fsstat -o " + std::to_string(d.parts[1].start) + " '" +
                                      d.image.string() + "'");
    size_t at = out.find("Volume Serial Number: ");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + 22, 16), nullptr, 16);
}

} // namespace

TEST_F(ToolVolumes, TheFixtureTableReadsBackWithSfdisk) {
    std::string dump = kwtest::Capture("sfdisk --dump '" + disk_.image.string() + "'");
    for (const kwtest::FixturePart& p : disk_.parts) {
        std::string want = "start=" + std::string(12 - std::to_string(p.start).size(), ' ') +
                           std::to_string(p.start) + ", size=";
        EXPECT_NE(dump.find(want), std::string::npos) << want << "\n" << dump;
    }
}

TEST_F(ToolVolumes, RecordsClassifyEachVolumeAsTheToolsMadeIt) {
    struct Want {
        uint32_t start;
        uint8_t type;
        uint8_t kind;
        const char* label;
        uint32_t serial;
        bool logical;
    } wants[] = {
        {63, 0x06, FS_KIND_FAT, "KWFAT16", 0x1234ABCD, false},
        {kCyl, 0x07, FS_KIND_NTFS, "KWNTFS", 0, false}, // through the NTFS row's label hook
        {2 * kCyl, 0x05, FS_KIND_EXTENDED, "", 0, false},
        {2 * kCyl + 63, 0x0B, FS_KIND_FAT32, "KWFAT32", 0x0BADF00D, true},
        {4 * kCyl + 63, 0x82, FS_KIND_LINUX_SWAP, "SWAPSPACE2", 0, true},
        {5 * kCyl + 63, 0x83, FS_KIND_EXT2, "kwext2", 0, true}, // through the ext2 row's hook
        {6 * kCyl + 63, 0x01, FS_KIND_FAT, "KWFAT12", 0x00C0FFEE, true},
    };
    for (const Want& w : wants) {
        PARTITION_INFO* pi = At(w.start, w.type);
        ASSERT_NE(pi, nullptr) << w.start;
        EXPECT_EQ(pi->ucFsKind, w.kind) << w.start;
        EXPECT_STREQ(pi->volumeLabel, w.label) << w.start;
        if (w.serial != 0) {
            EXPECT_EQ(pi->ulSerial, w.serial) << w.start;
        }
        EXPECT_EQ((pi->ulFlags & PI_LOGICAL) != 0, w.logical) << w.start;
        EXPECT_EQ(pi->ucDriveLetter, '*');
    }
    EXPECT_TRUE(At(63, 0x06)->ulFlags & PI_ACTIVE);
    EXPECT_EQ(At(63, 0x06)->ulBootTotal, 16000u);
    EXPECT_EQ(At(kCyl, 0x07)->ulSerial, static_cast<uint32_t>(SleuthKitNtfsSerial(disk_)));
    EXPECT_EQ(first_->extendedPi, At(2 * kCyl, 0x05));
    // Extended links: one per boot record after the first, plus the first's own record.
    int links = 0;
    uint32_t last = 0;
    for (PARTITION_INFO* pi = first_->firstPi; pi != nullptr; pi = pi->next) {
        EXPECT_GE(pi->ulStartSect, last); // the chain is in start order
        last = pi->ulStartSect;
        links += pi->ucFsKind == FS_KIND_EXTENDED_LINK;
    }
    EXPECT_EQ(links, 4);
}

TEST_F(ToolVolumes, HandleReadsEqualTheFileBytes) {
    for (PARTITION_INFO* pi = first_->firstPi; pi != nullptr; pi = pi->next) {
        kwhandle h;
        ASSERT_EQ(kwLogOpen(pi, &h), KW_OK);
        for (uint32_t s : {0u, 1u, 2u, 7u, pi->NumSects - 1}) {
            std::vector<uint8_t> got(512);
            ASSERT_EQ(kwLogRead(h, s, got.data(), 1), KW_OK);
            EXPECT_EQ(got, kwtest::ReadAt(disk_.image, uint64_t{pi->ulStartSect + s} * 512, 512))
                << pi->ulStartSect << "+" << s;
        }
        kwLogClose(h);
    }
    // One read larger than a driver request.
    PARTITION_INFO* fat32 = At(2 * kCyl + 63, 0x0B);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(fat32, &h), KW_OK);
    const uint32_t n = KW_MAX_REQUEST_SECTORS + 1234;
    std::vector<uint8_t> got(size_t{n} * 512);
    ASSERT_EQ(kwLogRead(h, 5, got.data(), n), KW_OK);
    EXPECT_EQ(got, kwtest::ReadAt(disk_.image, uint64_t{fat32->ulStartSect + 5} * 512, got.size()));
}

TEST_F(ToolVolumes, WritesLandInTheImageAndNeverGrowIt) {
    PARTITION_INFO* fat12 = At(6 * kCyl + 63, 0x01);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(fat12, &h), KW_OK);
    std::vector<uint8_t> data(1024, 0xA5);
    ASSERT_EQ(kwLogWrite(h, fat12->NumSects - 2, data.data(), 2), KW_OK);
    EXPECT_EQ(kwtest::ReadAt(disk_.image, uint64_t{fat12->EndSect() - 2} * 512, 1024), data);
    EXPECT_EQ(kwLogWrite(h, fat12->NumSects - 1, data.data(), 2), ERR_OUT_OF_RANGE);
    EXPECT_EQ(phyWrite(first_, disk_.totalSectors - 1, data.data(), 2), ERR_WRITE_FAULT);
    EXPECT_EQ(std::filesystem::file_size(disk_.image), uint64_t{disk_.totalSectors} * 512);
    EXPECT_EQ(kwLogLock(h), KW_OK); // the write test passes on a writable image
    EXPECT_EQ(kwLogUnlock(h, 0), KW_OK);
}

namespace {

// The bytes of a FAT32 partition's first sector on the standard disk.
std::vector<uint8_t> Fat32BootSector(const kwtest::StandardDisk& d) {
    return kwtest::ReadAt(d.image, uint64_t{d.parts[2].start} * 512, 512);
}

} // namespace

TEST(BootSectorTests, Fat32BackupSectorStandsInForAnUnreadableFirstSector) {
    kwtest::TempDir dir;
    kwtest::StandardDisk d = kwtest::BuildStandardDisk(dir);
    std::vector<uint8_t> boot = Fat32BootSector(d);
    ASSERT_EQ(boot[510], 0x55);
    kw::plat::SetDiskProviderForTests([&] {
        int err = 0;
        auto file = kw::plat::FileSectorSource::Open(
            d.image.string(), kw::plat::DiskFileKind::ImageFile, false, &err);
        auto faulty = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
        faulty->FailReadAt(d.parts[2].start);
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::move(faulty));
        return scan;
    });
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    PARTITION_INFO* fat32 = disk->firstPi;
    while (fat32 != nullptr && fat32->ucPartType != 0x0B)
        fat32 = fat32->next;
    ASSERT_NE(fat32, nullptr);
    EXPECT_EQ(fat32->ucFsKind, FS_KIND_FAT32);
    EXPECT_STREQ(fat32->volumeLabel, "KWFAT32");
    EXPECT_FALSE(fat32->ulFlags & PI_READ_ERROR);
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
}

TEST(MachineDisks, OpenReadOnlyWithRecordsAndLogicalLocksOnly) {
    kwtest::TempDir dir;
    unsetenv("KW_DISKS");
    setenv("KW_SETTINGS", (dir / "none.ini").c_str(), 1); // writes stay off
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    for (; disk != nullptr; disk = disk->next) {
        EXPECT_FALSE(kwDiskWritable(disk));
        EXPECT_TRUE(disk->cylinders && disk->heads && disk->sectorsPerTrack);
        ASSERT_NE(disk->firstPi, nullptr); // at least a free or reserved record
        kwhandle h;
        ASSERT_EQ(kwLogOpen(disk->firstPi, &h), KW_OK);
        EXPECT_EQ(kwLogLock(h), KW_OK); // nothing is written to lock it
        std::vector<uint8_t> sector(512);
        EXPECT_EQ(kwLogWrite(h, 0, sector.data(), 1), ERR_WRITE_FAULT);
        EXPECT_EQ(kwLogUnlock(h, 0), KW_OK);
        kwLogClose(h);
    }
    kwLibClose();
    unsetenv("KW_SETTINGS");
}
