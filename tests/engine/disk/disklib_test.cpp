#include "engine/core/cmdline.h"
#include "engine/core/codepage.h"
#include "engine/core/nttime.h"
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/drives/drive_table.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

using kw::plat::DiskScan;
using kw::plat::FaultySectorSource;
using kwtest::kCyl;

namespace {

constexpr uint32_t kDiskSectors = 4 * kCyl;
constexpr uint32_t kPartStart = kCyl;
constexpr uint32_t kPartSectors = 2 * kCyl;

// A disk whose sector s starts with its number and the byte s x 13, with an
// MBR holding one partition of an unknown type (so nothing is read to
// classify it). Written sectors are kept aside; the disk never grows.
class PatternDisk : public kw::plat::SectorSource {
public:
    explicit PatternDisk(bool writable = true, uint8_t type = 0x7F) : writable_(writable) {
        std::vector<uint8_t> mbr(512, 0);
        std::vector<uint8_t> e = kwtest::MakeEntry(type, kPartStart, kPartSectors, kPartStart);
        std::copy(e.begin(), e.end(), mbr.begin() + 446);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        written_[0] = mbr;
    }
    static std::vector<uint8_t> Pattern(uint32_t s) {
        std::vector<uint8_t> b(512, 0);
        std::memcpy(b.data(), &s, 4);
        b[4] = static_cast<uint8_t>(s * 13);
        return b;
    }
    // Puts an entry into the table sector at `sector` (made when missing).
    void PutEntry(uint32_t sector, int index, const std::vector<uint8_t>& entry) {
        std::vector<uint8_t>& t = written_[sector];
        if (t.empty()) {
            t.assign(512, 0);
            t[510] = 0x55;
            t[511] = 0xAA;
        }
        std::copy(entry.begin(), entry.end(), t.begin() + 446 + 16 * index);
    }
    std::string Name() const override { return "pattern"; }
    uint64_t SectorCount() const override { return kDiskSectors; }
    bool Writable() const override { return writable_; }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        if (!kw::plat::RunInside(sector, count, kDiskSectors))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t s = static_cast<uint32_t>(sector + i);
            auto it = written_.find(s);
            std::vector<uint8_t> b = it != written_.end() ? it->second : Pattern(s);
            std::memcpy(out + size_t{i} * 512, b.data(), 512);
        }
        return {};
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        if (!writable_)
            return {kw::plat::DiskIoStatus::ReadOnly, 30};
        if (!kw::plat::RunInside(sector, count, kDiskSectors))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        const auto* in = static_cast<const uint8_t*>(buffer);
        for (uint32_t i = 0; i < count; ++i)
            written_[static_cast<uint32_t>(sector + i)].assign(in + size_t{i} * 512,
                                                               in + size_t{i + 1} * 512);
        return {};
    }

private:
    bool writable_;
    std::map<uint32_t, std::vector<uint8_t>> written_;
};

// Opens the disk library over the given sources and closes it at the end.
class DiskLibTest : public ::testing::Test {
protected:
    void TearDown() override {
        kwLibClose();
        kwSetUseKwiPhyRead(0);
        kwSetKwiPhyRead(nullptr);
        kw::plat::SetDiskProviderForTests(nullptr);
        delete gCommandLine;
        gCommandLine = nullptr;
    }

    // Each call to the provider hands out fresh sources made by make().
    void Open(std::function<DiskScan()> make) {
        kw::plat::SetDiskProviderForTests(std::move(make));
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }

    void OpenPatternDisks(int count, bool writable = true) {
        Open([=] {
            DiskScan scan;
            for (int i = 0; i < count; ++i)
                scan.disks.push_back(std::make_unique<PatternDisk>(writable));
            return scan;
        });
    }

    // One memory disk behind a fault injector, kept for the test to arm.
    FaultySectorSource* OpenFaultyDisk(bool writable = true) {
        FaultySectorSource* faulty = nullptr;
        Open([&faulty, writable] {
            DiskScan scan;
            auto f = std::make_unique<FaultySectorSource>(std::make_unique<PatternDisk>(writable));
            faulty = f.get();
            scan.disks.push_back(std::move(f));
            return scan;
        });
        return faulty;
    }

    static DISK_RECORD* Disk(int n = 0) {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        while (d != nullptr && n-- > 0)
            d = d->next;
        return d;
    }

    static PARTITION_INFO* Partition(int disk = 0) { return Disk(disk)->firstPi; }

    static void SetSwitch(uint32_t mask) {
        if (gCommandLine == nullptr)
            gCommandLine = new COMMAND_LINE;
        gCommandLine->Imply(mask);
    }

    static uint32_t SectorTag(const uint8_t* sector) {
        uint32_t v;
        std::memcpy(&v, sector, 4);
        return v;
    }
};

} // namespace

TEST_F(DiskLibTest, BuildsOneRecordPerDiskWithSaneGeometry) {
    OpenPatternDisks(2);
    DISK_RECORD* d0 = Disk(0);
    DISK_RECORD* d1 = Disk(1);
    ASSERT_NE(d1, nullptr);
    EXPECT_EQ(d1->next, nullptr);
    EXPECT_EQ(d0->diskNumber, 0);
    EXPECT_EQ(d1->diskNumber, 1);
    EXPECT_TRUE(d0->ulFlags & DISK_FIRST_BOOT_DISK);
    EXPECT_FALSE(d1->ulFlags & DISK_FIRST_BOOT_DISK);
    EXPECT_EQ(d0->heads, 255);
    EXPECT_EQ(d0->sectorsPerTrack, 63);
    EXPECT_EQ(d0->cylinders, 4u);
    EXPECT_EQ(d0->totalSectors, kDiskSectors);
    PARTITION_INFO* pi = Partition();
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->ulStartSect, kPartStart);
    EXPECT_EQ(pi->NumSects, kPartSectors);
    EXPECT_EQ(pi->ucDriveLetter, '*');
}

TEST_F(DiskLibTest, HandleTableHasEightSlots) {
    OpenPatternDisks(1);
    PARTITION_INFO* pi = Partition();
    kwhandle h[KW_MAX_HANDLES];
    for (kwhandle i = 0; i < KW_MAX_HANDLES; ++i) {
        ASSERT_EQ(kwLogOpen(pi, &h[i]), KW_OK);
        EXPECT_EQ(h[i], i); // lowest free slot
    }
    kwhandle extra;
    EXPECT_EQ(kwLogOpen(pi, &extra), ERR_BAD_HANDLE);
    EXPECT_EQ(kwLogClose(8), ERR_BAD_ARGUMENT);
    EXPECT_EQ(kwLogClose(3), KW_OK);
    EXPECT_EQ(kwLogClose(3), ERR_BAD_ARGUMENT);
    PARTITION_INFO* got = nullptr;
    EXPECT_EQ(kwLogGetPi(3, &got), ERR_BAD_HANDLE);
    EXPECT_EQ(kwLogGetPi(2, &got), KW_OK);
    EXPECT_EQ(got, pi);
    EXPECT_EQ(kwLogOpen(pi, &extra), KW_OK);
    EXPECT_EQ(extra, 3u);
    EXPECT_EQ(kwLogOpen(nullptr, &extra), ERR_BAD_ARGUMENT);
    pi->ulFlags &= ~PI_OPENABLE;
    kwLogClose(0);
    EXPECT_EQ(kwLogOpen(pi, &extra), ERR_BAD_ARGUMENT);
}

TEST_F(DiskLibTest, PartitionRelativeAccessIsRangeChecked) {
    OpenPatternDisks(1);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(Partition(), &h), KW_OK);
    std::vector<uint8_t> buf(4 * 512);
    struct Case {
        uint32_t sector, count;
        kwRet rc;
    } cases[] = {
        {0, 1, KW_OK},
        {kPartSectors - 4, 4, KW_OK}, // ends exactly at the partition's end
        {kPartSectors - 3, 4, ERR_OUT_OF_RANGE},
        {kPartSectors, 1, ERR_OUT_OF_RANGE},
        {0xFFFFFFFF, 2, ERR_OUT_OF_RANGE}, // would wrap in 32 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kwLogRead(h, c.sector, buf.data(), c.count), c.rc) << c.sector;
        EXPECT_EQ(kwLogWrite(h, c.sector, buf.data(), c.count), c.rc) << c.sector;
    }
    ASSERT_EQ(kwLogRead(h, kPartSectors - 4, buf.data(), 4), KW_OK);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(SectorTag(&buf[i * 512]), kPartStart + kPartSectors - 4 + i);
    EXPECT_EQ(kwLogRead(7, 0, buf.data(), 1), ERR_BAD_HANDLE);
    EXPECT_EQ(kwLogWrite(8, 0, buf.data(), 1), ERR_BAD_HANDLE);
}

TEST_F(DiskLibTest, LocksAreCountedAndTheWriteTestChangesNothing) {
    FaultySectorSource* disk = OpenFaultyDisk();
    kwhandle h;
    ASSERT_EQ(kwLogOpen(Partition(), &h), KW_OK);
    EXPECT_EQ(kwLogUnlock(h, 0), ERR_ALREADY_UNLOCKED);
    EXPECT_EQ(kwLogLock(h), KW_OK);
    EXPECT_EQ(disk->WritesSeen(), 0u); // the write test writes nothing, not even sector 0
    EXPECT_EQ(kwLogLock(h), ERR_ALREADY_LOCKED);
    EXPECT_EQ(kwLogUnlock(h, 0), KW_OK);
    EXPECT_EQ(kwLogUnlock(h, 0), ERR_ALREADY_UNLOCKED);
    EXPECT_EQ(kwLogLock(9), ERR_BAD_HANDLE);
    EXPECT_EQ(kwLogUnlock(9, 0), ERR_BAD_HANDLE);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(phyRead(Disk(), 0, buf.data(), 1), KW_OK);
    std::vector<uint8_t> fresh(512);
    PatternDisk().Read(0, fresh.data(), 1);
    EXPECT_EQ(buf, fresh);
    ASSERT_EQ(phyRead(Disk(), kPartStart, buf.data(), 1), KW_OK);
    EXPECT_EQ(buf, PatternDisk::Pattern(kPartStart));
}

TEST_F(DiskLibTest, FailedWriteTestReleasesTheLock) {
    FaultySectorSource* disk = OpenFaultyDisk();
    disk->FailReadAt(kPartStart);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(Partition(), &h), KW_OK);
    EXPECT_NE(kwLogLock(h), KW_OK);
    EXPECT_FALSE(Partition()->ulFlags & PI_LOCKED);
    EXPECT_EQ(disk->WritesSeen(), 0u);
}

TEST_F(DiskLibTest, ReadOnlyDiskLocksWithoutWriting) {
    FaultySectorSource* disk = OpenFaultyDisk(false);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(Partition(), &h), KW_OK);
    EXPECT_EQ(kwLogLock(h), KW_OK);
    EXPECT_EQ(disk->WritesSeen(), 0u);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(kwLogWrite(h, 0, buf.data(), 1), ERR_WRITE_FAULT);
}

TEST_F(DiskLibTest, QuarantineOfALetteredVolumeKeepsOnlyTheLogicalLock) {
    static uint32_t recorded = 0;
    KW_RESTART_HOOKS hooks;
    hooks.recordUnsafe = [](uint16_t, uint32_t start) { recorded = start; };
    kwSetRestartHooks(hooks);
    OpenPatternDisks(1);
    PARTITION_INFO* pi = Partition();
    pi->ucDriveLetter = 'E';
    kwhandle h;
    ASSERT_EQ(kwLogOpen(pi, &h), KW_OK);
    ASSERT_EQ(kwLogLock(h), KW_OK);
    EXPECT_EQ(kwLogUnlock(h, 1), KW_OK);
    EXPECT_TRUE(pi->ulFlags & PI_QUARANTINED);
    EXPECT_EQ(recorded, kPartStart);
    EXPECT_EQ(kwLogLock(h), KW_OK);
    EXPECT_TRUE(pi->ulFlags & PI_LOCKED);
    kwSetRestartHooks(KW_RESTART_HOOKS{});
}

namespace {

kwRet HookReturnsSevens(uint32_t sector, void* buffer, uint32_t count) {
    auto* b = static_cast<uint8_t*>(buffer);
    std::memset(b, 7, size_t{count} * 512);
    std::memcpy(b, &sector, 4);
    return KW_OK;
}

} // namespace

TEST_F(DiskLibTest, ReadHookServesTheImageDiskOnly) {
    OpenPatternDisks(2);
    std::vector<uint8_t> buf(2 * 512);
    DISK_RECORD* image = kwGetImageDisk();
    EXPECT_EQ(phyRead(image, 5, buf.data(), 1), ERR_READ_FAULT); // no image open
    kwSetUseKwiPhyRead(1);
    EXPECT_EQ(phyRead(image, 5, buf.data(), 1), ERR_READ_FAULT); // no hook function
    kwSetKwiPhyRead(HookReturnsSevens);
    ASSERT_EQ(phyRead(image, 5, buf.data(), 2), KW_OK);
    EXPECT_EQ(SectorTag(buf.data()), 5u);
    EXPECT_EQ(buf[600], 7);
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(phyRead(Disk(d), 5, buf.data(), 1), KW_OK);
        EXPECT_EQ(SectorTag(buf.data()), 5u);
        EXPECT_EQ(buf[4], static_cast<uint8_t>(5 * 13)); // the disk's bytes, not the hook's
    }
    EXPECT_EQ(phyWrite(image, 0, buf.data(), 1), ERR_WRITE_FAULT);
    EXPECT_FALSE(image->next);
    EXPECT_EQ(image->heads, 255);
    EXPECT_GT(image->cylinders, 0u);
    EXPECT_GT(image->totalSectors, 0u);
}

TEST_F(DiskLibTest, ImagePartitionsAreClassifiedThroughTheHookAndLockLogically) {
    kwSetKwiPhyRead(HookReturnsSevens);
    kwSetUseKwiPhyRead(1);
    PARTITION_INFO* pi = nullptr;
    ASSERT_EQ(CreatePi(kwGetImageDisk(), 0, nullptr, false, 63, 1000, 0x06, 0, 0, 0, &pi), KW_OK);
    EXPECT_EQ(pi->ucFsKind, FS_KIND_RAW); // the hook's sector has no boot signature
    EXPECT_TRUE(pi->ulFlags & PI_NOT_LINKED);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(pi, &h), KW_OK);
    EXPECT_EQ(kwLogLock(h), KW_OK);
    EXPECT_EQ(kwLogUnlock(h, 0), KW_OK);
    DeletePi(&pi);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(kwLogRead(h, 0, buf.data(), 1), ERR_BAD_HANDLE); // freed record, closed slot
}

TEST_F(DiskLibTest, ReadFaultsReachTheCallerAndIreZeroesTheRest) {
    FaultySectorSource* disk = OpenFaultyDisk();
    const uint32_t count = KW_MAX_REQUEST_SECTORS * 5 / 2;
    disk->FailReadAt(KW_MAX_REQUEST_SECTORS + 100); // inside the second request
    std::vector<uint8_t> buf(size_t{count} * 512, 0xEE);
    EXPECT_EQ(phyRead(Disk(), 0, buf.data(), count), ERR_READ_FAULT);
    kwhandle h;
    ASSERT_EQ(kwLogOpen(Partition(), &h), KW_OK);
    disk->FailReadAt(kPartStart + 3);
    EXPECT_EQ(kwLogRead(h, 2, buf.data(), 2), ERR_READ_FAULT);

    SetSwitch(SW_IRE);
    std::fill(buf.begin(), buf.end(), 0xEE);
    ASSERT_EQ(phyRead(Disk(), 0, buf.data(), count), KW_OK);
    EXPECT_EQ(SectorTag(&buf[size_t{KW_MAX_REQUEST_SECTORS - 1} * 512]),
              KW_MAX_REQUEST_SECTORS - 1); // the first request keeps its data
    for (size_t i = size_t{KW_MAX_REQUEST_SECTORS} * 512; i < buf.size(); i += 4099)
        ASSERT_EQ(buf[i], 0) << i;
}

TEST_F(DiskLibTest, WriteFaultsAndWritesPastTheEnd) {
    FaultySectorSource* disk = OpenFaultyDisk();
    std::vector<uint8_t> buf(512, 0x5A);
    disk->FailWriteNumber(1);
    EXPECT_EQ(phyWrite(Disk(), 10, buf.data(), 1), ERR_WRITE_FAULT);
    EXPECT_EQ(phyWrite(Disk(), 10, buf.data(), 1), KW_OK);
    EXPECT_EQ(phyWrite(Disk(), kDiskSectors, buf.data(), 1), ERR_WRITE_FAULT);
    EXPECT_EQ(phyRead(Disk(), kDiskSectors, buf.data(), 1), ERR_READ_FAULT);
    ASSERT_EQ(phyRead(Disk(), 10, buf.data(), 1), KW_OK);
    EXPECT_EQ(buf[0], 0x5A);
}

TEST_F(DiskLibTest, ClosingTheLibraryClosesHandlesOfFreedRecords) {
    static bool pending = true;
    KW_RESTART_HOOKS hooks;
    hooks.hasChanges = [] { return pending; };
    kwSetRestartHooks(hooks);
    OpenPatternDisks(2);
    kwhandle h0, h1;
    ASSERT_EQ(kwLogOpen(Partition(0), &h0), KW_OK);
    ASSERT_EQ(kwLogOpen(Partition(1), &h1), KW_OK);
    EXPECT_EQ(RemoveDiskRecord(Disk(1)), KW_OK);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(kwLogRead(h1, 0, buf.data(), 1), ERR_BAD_HANDLE);
    EXPECT_EQ(kwLibClose(), ERR_RESTART_PENDING); // handles would stay, but their records go
    EXPECT_EQ(kwLogRead(h0, 0, buf.data(), 1), ERR_BAD_HANDLE);
    kwSetRestartHooks(KW_RESTART_HOOKS{});
    EXPECT_EQ(RemoveDiskRecord(Disk(0)), ERR_BAD_POINTER);
}

TEST_F(DiskLibTest, FailedOpenLeavesNoDisksAndReopenDoesNotDuplicate) {
    kw::plat::SetDiskProviderForTests([] {
        DiskScan scan;
        for (int i = 0; i < 3; ++i)
            scan.disks.push_back(std::make_unique<PatternDisk>(true, 0x06));
        return scan;
    });
    int failures = 0;
    for (uint32_t n = 1; n < 40; ++n) {
        kwInjectAllocFailure(n);
        kwRet rc = kwLibOpen();
        kwInjectAllocFailure(0);
        if (rc != KW_OK) {
            ++failures;
            EXPECT_EQ(Disk(), nullptr) << n;
        }
        kwLibClose();
    }
    EXPECT_GT(failures, 0);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    EXPECT_NE(Disk(2), nullptr);
    EXPECT_EQ(Disk(3), nullptr);
}

TEST_F(DiskLibTest, UsgChangesOnlyTheNamedDisk) {
    gCommandLine = new COMMAND_LINE;
    gCommandLine->Accept(SW_USG);
    const char* argv[] = {"prog", "/USG=2,1000,64,32"};
    char* msg = gCommandLine->Parse(2, argv);
    ASSERT_EQ(msg, nullptr);
    OpenPatternDisks(2);
    EXPECT_EQ(Disk(0)->cylinders, 4u);
    EXPECT_EQ(Disk(1)->cylinders, 1000u);
    EXPECT_EQ(Disk(1)->heads, 64);
    EXPECT_EQ(Disk(1)->sectorsPerTrack, 32);
    EXPECT_EQ(Disk(1)->chsHeads, 255); // conversions keep the driver's values
    EXPECT_EQ(Disk(1)->biosCylinders, 4u);
}

TEST_F(DiskLibTest, UsgWithZeroHeadsOrSectorsIsIgnored) {
    gCommandLine = new COMMAND_LINE;
    gCommandLine->Accept(SW_USG);
    const char* argv[] = {"prog", "/USG=1,1000,0,0"};
    ASSERT_EQ(gCommandLine->Parse(2, argv), nullptr);
    OpenPatternDisks(1);
    EXPECT_EQ(Disk(0)->cylinders, 1000u);
    EXPECT_NE(Disk(0)->heads, 0);
    EXPECT_NE(Disk(0)->sectorsPerTrack, 0);
}

TEST_F(DiskLibTest, UsgHeadsAndSectorsAreCutToWhatChsHolds) {
    gCommandLine = new COMMAND_LINE;
    gCommandLine->Accept(SW_USG);
    const char* argv[] = {"prog", "/USG=1,1000,65535,65535"};
    ASSERT_EQ(gCommandLine->Parse(2, argv), nullptr);
    OpenPatternDisks(1);
    DISK_RECORD* d = Disk(0);
    EXPECT_EQ(d->heads, 255);
    EXPECT_EQ(d->sectorsPerTrack, 63);
    EXPECT_EQ(d->cylinders, 1000u);
    EXPECT_EQ(d->chsLimit, 1024u * kCyl);
    EXPECT_EQ(d->totalSectors, 1000u * kCyl);
    EXPECT_NE(Partition(), nullptr); // the disk keeps its partitions
}

TEST_F(DiskLibTest, DiskSmallerThanACylinderKeepsItsRealSize) {
    kwtest::TempDir dir;
    std::filesystem::path image = dir / "floppy.img";
    kwtest::MakeSparse(image, 2880 * 512); // a 1.44 MB image without a partition table
    Open([image] { return kw::plat::ScanDiskImages(image.string()); });
    DISK_RECORD* d = Disk(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->totalSectors, 2880u);
    EXPECT_LE(d->heads, 255);
    EXPECT_LE(d->sectorsPerTrack, 63);
    EXPECT_EQ(uint64_t{d->cylinders} * d->heads * d->sectorsPerTrack, 2880u);
    ASSERT_NE(d->firstPi, nullptr); // one free run over the whole disk
    EXPECT_EQ(d->firstPi->ucFsKind, FS_KIND_FREE);
    EXPECT_EQ(d->firstPi->NumSects, 2880u);
}

TEST(DiskGeometry, CylinderRoundingAndChs) {
    DISK_RECORD d;
    d.heads = d.chsHeads = 255;
    d.sectorsPerTrack = d.chsSectorsPerTrack = 63;
    uint32_t c, h, s;
    LbaToChs(0, &d, &c, &h, &s);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(s, 1u);
    LbaToChs(kCyl + 63 + 5, &d, &c, &h, &s);
    EXPECT_EQ(c, 1u);
    EXPECT_EQ(h, 1u);
    EXPECT_EQ(s, 6u);
    EXPECT_EQ(RoundToCylinder(&d, 2 * kCyl, 1), 2 * kCyl);
    EXPECT_EQ(RoundToCylinder(&d, kCyl + 1, 0), kCyl);
    EXPECT_EQ(RoundToCylinder(&d, kCyl + 1, 1), 2 * kCyl);
    EXPECT_EQ(RoundToCylinder(&d, kCyl + kCyl / 2, 2), 2 * kCyl); // exactly half rounds up
    EXPECT_EQ(RoundToCylinder(&d, kCyl + kCyl / 2 - 1, 2), kCyl);
    EXPECT_EQ(RoundToCylinder(&d, 0xFFFFFFFF, 1), 0xFFFFFFFF - 0xFFFFFFFF % kCyl);
}

TEST(DiskUtilities, HostErrorsAndDates) {
    EXPECT_EQ(OsErrorToKwRet(0), KW_OK);
    EXPECT_EQ(OsErrorToKwRet(5), 10005u);
    EXPECT_EQ(OsErrorToKwRet(31), 51u);
    EXPECT_EQ(OsErrorToKwRet(87), 702u);
    EXPECT_EQ(OsErrorToKwRet(167), ERR_CANNOT_LOCK);
    setenv("TZ", "UTC", 1);
    tzset();
    KW_DATE date;
    KW_TIME time;
    ASSERT_EQ(FileTimeToKwDate(1780000000u, &date), KW_OK); // May 2026
    EXPECT_EQ(date.year, 46);
    EXPECT_EQ(date.month, 5);
    EXPECT_EQ(date.dayOfWeek, 0);
    ASSERT_EQ(FileTimeToKwTime(1780000000u, &time), KW_OK);
    EXPECT_EQ(time.hour, 20); // 1780000000 is 2026-05-28 20:26:40 UTC
    EXPECT_EQ(time.minute, 26);
    EXPECT_EQ(time.second, 40); // a whole second never reads back one early
    EXPECT_EQ(FileTimeToKwDate(0, &date), ERR_BAD_ARGUMENT);
    EXPECT_EQ(FileTimeToKwDate(100, &date), ERR_BAD_ARGUMENT); // before 1980
    EXPECT_EQ(FileTimeToKwTime(1780000000u, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(SecondsToNtTime(0), 0x019DB1DED538EF35ull);
    PARTITION_INFO pi;
    pi.ucFsKind = FS_KIND_NETWARE;
    EXPECT_FALSE(kwIsMovableKind(&pi));
    pi.ucFsKind = FS_KIND_RAW;
    EXPECT_TRUE(kwIsMovableKind(&pi));
    gCommandLine = new COMMAND_LINE;
    kwImplyMup();
    pi.ucFsKind = FS_KIND_NETWARE;
    EXPECT_TRUE(kwIsMupSet());
    EXPECT_TRUE(kwIsMovableKind(&pi));
    delete gCommandLine;
    gCommandLine = nullptr;
    EXPECT_EQ(kwGetOsKind(), KW_OS_DOS71);
    EXPECT_TRUE(IsDriveLetter('C'));
    EXPECT_FALSE(IsDriveLetter('c'));
    EXPECT_FALSE(IsDriveLetter('*'));
}

TEST_F(DiskLibTest, DynamicLoopingAndOddTablesFailOnlyTheirDisk) {
    using kwtest::MakeEntry;
    Open([] {
        DiskScan scan;
        auto dynamic = std::make_unique<PatternDisk>();
        dynamic->PutEntry(0, 0, MakeEntry(0x42, 63, kCyl, 63));
        auto looping = std::make_unique<PatternDisk>();
        looping->PutEntry(0, 1, MakeEntry(0x05, 3 * kCyl, kCyl, 3 * kCyl));
        looping->PutEntry(3 * kCyl, 1, MakeEntry(0x05, 0, kCyl, 3 * kCyl)); // links to itself
        auto pastChs = std::make_unique<PatternDisk>();
        pastChs->PutEntry(0, 1, MakeEntry(0x7F, 1023 * kCyl, 2 * kCyl, 1023 * kCyl));
        scan.disks.push_back(std::move(dynamic));
        scan.disks.push_back(std::move(looping));
        scan.disks.push_back(std::move(pastChs));
        return scan;
    });
    PARTITION_INFO* dyn = Partition(0);
    ASSERT_NE(dyn, nullptr);
    EXPECT_EQ(dyn->next, nullptr);
    EXPECT_EQ(dyn->ucPartType, 0x42);
    EXPECT_EQ(dyn->ucFsKind, FS_KIND_DYNAMIC);
    EXPECT_TRUE(Disk(0)->ulFlags & DISK_DYNAMIC);

    PARTITION_INFO* reserved = Partition(1);
    ASSERT_NE(reserved, nullptr);
    EXPECT_EQ(reserved->next, nullptr);
    EXPECT_EQ(reserved->ucFsKind, FS_KIND_RESERVED_DISK);
    EXPECT_EQ(reserved->ulTableSect, ERR_BAD_PARTITION_TABLE);
    EXPECT_EQ(reserved->NumSects, kDiskSectors);
    EXPECT_TRUE(Disk(1)->ulFlags & DISK_RESERVED);

    PARTITION_INFO* far = Partition(2)->next;
    while (far != nullptr && far->ucFsKind == FS_KIND_FREE) // the free cylinder before it
        far = far->next;
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far->ulStartSect, 1023 * kCyl);
    EXPECT_TRUE(far->ulFlags & PI_BEYOND_CHS);
    EXPECT_FALSE(Partition(2)->ulFlags & PI_BEYOND_CHS);
}

TEST_F(DiskLibTest, DiskWithoutTableIsOneFreeRun) {
    Open([] {
        DiskScan scan;
        auto blank = std::make_unique<PatternDisk>();
        std::vector<uint8_t> zero(512, 0);
        blank->Write(0, zero.data(), 1);
        scan.disks.push_back(std::move(blank));
        return scan;
    });
    PARTITION_INFO* pi = Partition();
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->next, nullptr);
    EXPECT_EQ(pi->ucFsKind, FS_KIND_FREE);
    EXPECT_EQ(pi->ulTableSect, PI_NO_TABLE_SECTOR);
    EXPECT_EQ(pi->ucEntryIndex, PI_NO_ENTRY);
    EXPECT_EQ(pi->ulFreeSects, kDiskSectors);
    EXPECT_EQ(pi->ulUsedSects, 0u);
}

TEST(DiskUtilities, LaunchPathIsTheProgramFolderAsADrivePath) {
    char buf[4096];
    uint32_t n = kwGetLaunchPath(buf, sizeof buf);
    ASSERT_GT(n, 2u);
    EXPECT_EQ(std::strlen(buf), n);
    EXPECT_EQ(buf[1], ':');
    EXPECT_EQ(buf[n - 1], '\\');
    std::string host;
    ASSERT_TRUE(kw::drives::DriveTable::Process().ToHost(buf, &host));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(host) / "test_engine_disk"));
    char tiny[3];
    EXPECT_EQ(kwGetLaunchPath(tiny, sizeof tiny), 0u);
    EXPECT_STREQ(tiny, "");
}

TEST_F(DiskLibTest, DiskOverlaysAreFlaggedAndADamagedOneReservesOnlyItsDisk) {
    Open([] {
        DiskScan scan;
        auto ez = std::make_unique<PatternDisk>();
        ez->PutEntry(0, 1, kwtest::MakeEntry(0x55, 3 * kCyl, kCyl, 3 * kCyl));
        std::vector<uint8_t> s2 = PatternDisk::Pattern(2);
        std::memcpy(&s2[200], "AERMH", 5);
        s2[90] = 1;
        ez->Write(2, s2.data(), 1);
        auto broken = std::make_unique<PatternDisk>();
        broken->PutEntry(0, 1, kwtest::MakeEntry(0x55, 3 * kCyl, kCyl, 3 * kCyl));
        auto dm = std::make_unique<PatternDisk>();
        std::vector<uint8_t> mbr(512);
        dm->Read(0, mbr.data(), 1);
        mbr[2] = 0x00;
        mbr[3] = 0x01; // the marker at offset 256
        mbr[256] = 0xAA;
        mbr[257] = 0x55;
        dm->Write(0, mbr.data(), 1);
        dm->PutEntry(0, 1, kwtest::MakeEntry(0x54, 3 * kCyl, kCyl, 3 * kCyl));
        scan.disks.push_back(std::move(ez));
        scan.disks.push_back(std::move(broken));
        scan.disks.push_back(std::move(dm));
        scan.disks.push_back(std::make_unique<PatternDisk>());
        return scan;
    });
    EXPECT_EQ(Disk(0)->ulFlags & (DISK_EZ_DRIVE | DISK_EZ_BOOT), DISK_EZ_DRIVE | DISK_EZ_BOOT);
    EXPECT_TRUE(Disk(1)->ulFlags & DISK_RESERVED);
    EXPECT_EQ(Partition(1)->ulTableSect, ERR_EZ_DRIVE_CORRUPT);
    EXPECT_EQ(Disk(2)->ulFlags & (DISK_DM_INSTALLED | DISK_DM_TYPE_54),
              DISK_DM_INSTALLED | DISK_DM_TYPE_54);
    EXPECT_EQ(Disk(3)->ulFlags & (DISK_EZ_DRIVE | DISK_DM_INSTALLED | DISK_RESERVED), 0u);
}

TEST_F(DiskLibTest, FatLabelsAreConvertedFromTheDosCodePage) {
    ASSERT_TRUE(cpLoadBuiltinTables(CPKIND_UTF8));
    Open([] {
        DiskScan scan;
        auto disk = std::make_unique<PatternDisk>(true, 0x06);
        std::vector<uint8_t> boot(512, 0);
        boot[38] = 0x29;
        std::memcpy(&boot[43], "K\x8E         ", 11); // 8Eh is A with diaeresis in CP850
        std::memcpy(&boot[54], "FAT16   ", 8);
        boot[510] = 0x55;
        boot[511] = 0xAA;
        disk->Write(kPartStart, boot.data(), 1);
        scan.disks.push_back(std::move(disk));
        return scan;
    });
    EXPECT_EQ(Partition()->ucFsKind, FS_KIND_FAT);
    EXPECT_STREQ(Partition()->volumeLabel, "K\xC3\x84");
    cpFreeTables();
}
