// Partition enumeration over disks that sfdisk partitioned: the records match
// what sfdisk reads back, gaps become free space, and damaged or unsupported
// tables reserve their disk.
#include "engine/core/cmdline.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pi_checks.h"
#include "engine/disk/pi_find.h"
#include "engine/disk/pi_report.h"
#include "platform/disk/disk_driver.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using kwtest::kCyl;

namespace {

struct Part {
    uint32_t start;
    uint32_t size;
    unsigned type;
};

// The partitions sfdisk reads back from the image, in table order.
std::vector<Part> SfdiskParts(const std::filesystem::path& image) {
    std::string dump = kwtest::Capture("sfdisk --dump '" + image.string() + "'");
    std::vector<Part> parts;
    std::regex line(R"(start=\s*(\d+), size=\s*(\d+), type=([0-9a-f]+))");
    for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it)
        parts.push_back({static_cast<uint32_t>(std::stoul((*it)[1])),
                         static_cast<uint32_t>(std::stoul((*it)[2])),
                         static_cast<unsigned>(std::stoul((*it)[3], nullptr, 16))});
    return parts;
}

class Enumeration : public ::testing::Test {
protected:
    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
        delete gCommandLine;
        gCommandLine = nullptr;
    }
    // A sparse image of the size, partitioned by sfdisk from the script.
    std::filesystem::path Disk(uint64_t sectors, const std::string& script) {
        std::filesystem::path image = dir_ / ("disk" + std::to_string(++count_) + ".img");
        kwtest::MakeSparse(image, sectors * 512);
        EXPECT_TRUE(kwtest::Run("printf '" + script + "' | sfdisk -q --no-reread '" +
                                image.string() + "' >/dev/null 2>&1"))
            << script;
        return image;
    }
    DISK_RECORD* Open(const std::filesystem::path& image) {
        setenv("KW_DISKS", image.c_str(), 1);
        EXPECT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        return d;
    }
    static std::vector<PARTITION_INFO*> Records(DISK_RECORD* d, uint8_t kind) {
        std::vector<PARTITION_INFO*> out;
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind == kind)
                out.push_back(pi);
        return out;
    }

    kwtest::TempDir dir_;
    int count_ = 0;
};

} // namespace

TEST_F(Enumeration, RecordsMatchSfdiskAndGapsBecomeFreeSpace) {
    // 1 MiB aligned as current tools make it; the last cylinders stay free.
    std::filesystem::path image =
        Disk(16 * kCyl,
             "label: dos\\nstart=2048, size=40000, type=6\\nstart=42048, size=30000, "
             "type=83\\nstart=72048, size=120000, type=5\\nstart=74096, size=20000, "
             "type=b\\nstart=96144, size=30000, type=82\\nstart=128192, size=1000, type=7\\n");
    std::vector<Part> want = SfdiskParts(image);
    ASSERT_EQ(want.size(), 6u);
    DISK_RECORD* d = Open(image);
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(d->ulFlags & DISK_RESERVED);
    EXPECT_TRUE(d->ulFlags & DISK_FREE_SPACE_BUILT);
    for (const Part& p : want) {
        PARTITION_INFO* found = nullptr;
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == p.start && pi->ucPartType == p.type &&
                pi->ucFsKind != FS_KIND_EXTENDED_LINK)
                found = pi;
        ASSERT_NE(found, nullptr) << p.start;
        EXPECT_EQ(found->NumSects, p.size);
        EXPECT_EQ(found->ucDriveLetter, '*');
        EXPECT_EQ(bool(found->ulFlags & PI_CHECKED_TYPE), IsCheckedType(found->ucPartType));
    }
    // Free: past the last primary's end to the last whole cylinder, and the
    // cylinders inside the extended partition after its last logical.
    std::vector<PARTITION_INFO*> free = Records(d, FS_KIND_FREE);
    ASSERT_FALSE(free.empty());
    for (PARTITION_INFO* f : free) {
        EXPECT_EQ(f->ulStartSect % kCyl == 0 || (f->ulStartSect - 63) % kCyl == 0, true)
            << f->ulStartSect;
        EXPECT_LE(f->EndSect(), d->totalSectors);
        for (const Part& p : want) {
            if (p.type == 5)
                continue;
            EXPECT_TRUE(f->EndSect() <= p.start || f->ulStartSect >= p.start + p.size)
                << "free run at " << f->ulStartSect << " overlaps " << p.start;
        }
    }
    EXPECT_EQ(free.back()->EndSect(), d->totalSectors);
    // The test tool's listing: one line per record, in the engine's order.
    std::string json = PartitionsAsJsonLines(d);
    size_t records = 0;
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
        ++records;
    EXPECT_EQ(static_cast<size_t>(std::count(json.begin(), json.end(), '\n')), records);
    EXPECT_NE(json.find("\"role\": \"logical\", \"start\": 74096, \"sectors\": 20000, "
                        "\"type\": \"0x0b\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"role\": \"free\""), std::string::npos);
}

TEST_F(Enumeration, ASignedEmptyTableIsOneFreeRunAfterTrackZero) {
    DISK_RECORD* d = Open(Disk(4 * kCyl, "label: dos\\n"));
    ASSERT_NE(d->firstPi, nullptr);
    EXPECT_EQ(d->firstPi->ucFsKind, FS_KIND_FREE);
    EXPECT_EQ(d->firstPi->ulStartSect, 63u);
    EXPECT_EQ(d->firstPi->EndSect(), 4 * kCyl);
    EXPECT_EQ(d->firstPi->next, nullptr);
}

TEST_F(Enumeration, DamagedAndUnsupportedTablesReserveTheDisk) {
    std::filesystem::path overlap = dir_ / "overlap.img";
    kwtest::MakeSparse(overlap, uint64_t{8} * kCyl * 512);
    kwtest::WriteLayout(overlap, {{0x06, kCyl, 2 * kCyl}, {0x83, 2 * kCyl, 2 * kCyl}}, 0, 0);
    const struct {
        const char* what;
        std::filesystem::path image;
        kwRet code;
    } cases[] = {
        {"overlapping primaries", overlap, ERR_PARTITIONS_OVERLAP},
        {"GUID partition table", Disk(8 * kCyl, "label: gpt\\nstart=2048, size=40000\\n"),
         ERR_DRIVE_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        DISK_RECORD* d = Open(c.image);
        ASSERT_NE(d, nullptr) << c.what;
        ASSERT_NE(d->firstPi, nullptr) << c.what;
        EXPECT_TRUE(d->ulFlags & DISK_RESERVED) << c.what;
        EXPECT_EQ(d->firstPi->ucFsKind, FS_KIND_RESERVED_DISK) << c.what;
        EXPECT_EQ(d->firstPi->ulTableSect, c.code) << c.what;
        EXPECT_EQ(d->firstPi->next, nullptr) << c.what;
        kwLibClose();
    }
    // Ignoring partition errors keeps the records of the overlap.
    gCommandLine = new COMMAND_LINE;
    gCommandLine->Imply(SW_IPE);
    DISK_RECORD* d = Open(overlap);
    EXPECT_FALSE(d->ulFlags & DISK_RESERVED);
    int kept = 0;
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
        kept += pi->ucPartType == 0x06 || pi->ucPartType == 0x83;
    EXPECT_EQ(kept, 2);
}

TEST_F(Enumeration, ALogicalBeforeItsBootRecordReservesTheDisk) {
    std::filesystem::path image =
        Disk(8 * kCyl, "label: dos\\nstart=2048, size=60000, type=5\\nstart=4096, size=20000, "
                       "type=6\\n");
    // Point the logical's relative start back past its extended boot record.
    std::vector<uint8_t> rel = {0xF0, 0xFF, 0xFF, 0xFF}; // -16
    kwtest::WriteAt(image, 2048 * 512 + 446 + 8, rel);
    DISK_RECORD* d = Open(image);
    EXPECT_TRUE(d->ulFlags & DISK_RESERVED);
}

TEST_F(Enumeration, RecordsAreFoundByLetterAndSerialAndTheActiveBootSectorReads) {
    std::filesystem::path image =
        Disk(8 * kCyl, "label: dos\\nstart=2048, size=40000, type=6, bootable\\n"
                       "start=42048, size=40000, type=83\\n");
    ASSERT_TRUE(kwtest::Run("mkfs.fat -F 16 --offset=2048 -n BOOTV -i 1234ABCD '" + image.string() +
                            "' 20000"));
    DISK_RECORD* d = Open(image);
    PARTITION_INFO* fat = nullptr;
    uint32_t diskNo = 0, partNo = 0;
    ASSERT_TRUE(FindPiBySerial(&fat, 0x1234ABCD, &diskNo, &partNo));
    EXPECT_EQ(fat->ulStartSect, 2048u);
    EXPECT_STREQ(fat->volumeLabel, "BOOTV");
    EXPECT_EQ(diskNo, 1u);
    EXPECT_EQ(FindPiByDriveLetter('q'), nullptr);
    fat->ucDriveLetter = 'Q';
    EXPECT_EQ(FindPiByDriveLetter('q'), fat);
    std::vector<uint8_t> boot(512);
    ASSERT_EQ(ReadBootSect(nullptr, boot.data()), KW_OK); // the active primary of disk 1
    EXPECT_EQ(std::string(boot.begin() + 43, boot.begin() + 48), "BOOTV");
    std::string dump = BootSectorDump(*fat, boot);
    EXPECT_NE(dump.find("Boot Sector for drive Q:  (Drive 0,  Starting Sector: 2048, Type:  FAT"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("Serial:"), std::string::npos);
    EXPECT_NE(dump.find("0x1234ABCD"), std::string::npos) << dump;
    EXPECT_NE(dump.find("BOOTV"), std::string::npos);
    PARTITION_INFO* other = fat->next;
    while (other != nullptr && other->ucPartType != 0x83)
        other = other->next;
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ReadBootSect(other, boot.data()), ERR_UNKNOWN_FS);
    (void)d;
}
