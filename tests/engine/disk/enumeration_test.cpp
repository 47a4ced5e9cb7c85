// Partition enumeration over disks that sfdisk partitioned: the records match
// what sfdisk reads back, gaps become free space, and damaged or unsupported
// tables reserve their disk.
#include "engine/core/cmdline.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pi_checks.h"
#include "engine/disk/pi_find.h"
#include "engine/disk/pi_report.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
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

// Three primaries and an extended partition with twenty logicals, two of them
// holding volumes: every partition sfdisk lists is one record of the same
// place, size, type and role, in order of start.
TEST_F(Enumeration, FourPrimariesAndTwentyLogicalsMatchSfdiskJson) {
    std::string script = "label: dos\\nsize=8192, type=6\\nsize=8192, type=83\\n"
                         "size=8192, type=7\\ntype=5\\n";
    for (int i = 0; i < 20; ++i)
        script += i == 0 ? "size=8192, type=6\\n" : "size=4096, type=83\\n";
    std::filesystem::path image = Disk(12 * kCyl, script);
    std::string json = kwtest::Capture("sfdisk --json '" + image.string() + "'");
    struct Want {
        uint32_t start, size;
        std::string type;
        bool logical;
    };
    std::vector<Want> want;
    std::regex node(R"re("node":\s*"[^"]*?(\d+)",\s*"start":\s*(\d+),\s*"size":\s*(\d+),)re"
                    R"re(\s*"type":\s*"([0-9a-f]+)")re");
    for (std::sregex_iterator it(json.begin(), json.end(), node), end; it != end; ++it)
        want.push_back({static_cast<uint32_t>(std::stoul((*it)[2])),
                        static_cast<uint32_t>(std::stoul((*it)[3])), (*it)[4],
                        std::stoi((*it)[1]) > 4});
    ASSERT_EQ(want.size(), 24u) << json;
    std::sort(want.begin(), want.end(),
              [](const Want& a, const Want& b) { return a.start < b.start; });
    // A FAT volume in the first logical and an ext2 volume in the second.
    ASSERT_TRUE(kwtest::Run("mkfs.fat --offset=" + std::to_string(want[4].start) + " -n LOGFAT '" +
                            image.string() + "' 4096 >/dev/null 2>&1"));
    ASSERT_TRUE(kwtest::Run("mke2fs -q -F -t ext2 -L logext -E offset=" +
                            std::to_string(uint64_t{want[5].start} * 512) + " '" + image.string() +
                            "' 2048 >/dev/null 2>&1"));

    DISK_RECORD* d = Open(image);
    ASSERT_NE(d, nullptr);
    ASSERT_FALSE(d->ulFlags & DISK_RESERVED);
    std::string listing = PartitionsAsJsonLines(d);
    std::regex line(
        R"re("role": "(\w+)", "start": (\d+), "sectors": (\d+), "type": "0x([0-9a-f]+)", )re"
        R"re("kind": "([\w-]+)", "label": "([^"]*)")re");
    std::vector<Want> got;
    std::vector<std::string> kinds, labels;
    for (std::sregex_iterator it(listing.begin(), listing.end(), line), end; it != end; ++it) {
        if ((*it)[1] == "free" || (*it)[5] == "ext-link")
            continue;
        std::string type = (*it)[4];
        got.push_back({static_cast<uint32_t>(std::stoul((*it)[2])),
                       static_cast<uint32_t>(std::stoul((*it)[3])),
                       type.substr(type[0] == '0' ? 1 : 0), (*it)[1] == "logical"});
        kinds.push_back((*it)[5]);
        labels.push_back((*it)[6]);
    }
    ASSERT_EQ(got.size(), want.size()) << listing;
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].start);
        EXPECT_EQ(got[i].start, want[i].start);
        EXPECT_EQ(got[i].size, want[i].size);
        EXPECT_EQ(got[i].type, want[i].type);
        EXPECT_EQ(got[i].logical, want[i].logical);
    }
    EXPECT_EQ(kinds[4], "fat");
    EXPECT_EQ(labels[4], "LOGFAT");
    EXPECT_EQ(kinds[5], "ext2");
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
        EXPECT_EQ(pi->ucDriveLetter, '*');
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

namespace {

// A disk as big, with sectors as large and with the geometry the test says;
// it holds a sound table of one partition.
class OddDisk : public kw::plat::MemorySectorSource {
public:
    OddDisk(uint64_t sectors, uint32_t sectorBytes,
            std::optional<kw::plat::DiskGeometry> geometry = std::nullopt)
        : MemorySectorSource("odd", Table()), sectors_(sectors), sectorBytes_(sectorBytes),
          geometry_(geometry) {}
    uint64_t SectorCount() const override { return sectors_; }
    uint32_t LogicalSectorBytes() const override { return sectorBytes_; }
    kw::plat::DiskGeometry Geometry() const override {
        return geometry_ ? *geometry_ : MemorySectorSource::Geometry();
    }

private:
    static std::string Table() {
        std::string bytes(size_t{2} * kCyl * 512, '\0');
        std::vector<uint8_t> e = kwtest::MakeEntry(0x06, 63, kCyl - 63, 63);
        std::memcpy(bytes.data() + 446, e.data(), e.size());
        bytes[510] = 0x55;
        bytes[511] = static_cast<char>(0xAA);
        return bytes;
    }
    uint64_t sectors_;
    uint32_t sectorBytes_;
    std::optional<kw::plat::DiskGeometry> geometry_;
};

} // namespace

TEST_F(Enumeration, DisksOfLargeSectorsOrOverTwoTebibytesAreRefused) {
    const struct {
        const char* what;
        uint64_t sectors;
        uint32_t sectorBytes;
        bool refused;
    } cases[] = {
        {"512-byte sectors", 2 * kCyl, 512, false},
        {"4096-byte sectors", 2 * kCyl, 4096, true},
        {"over 2 TiB", (uint64_t{1} << 32) + 1, 512, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kw::plat::SetDiskProviderForTests([&c] {
            kw::plat::DiskScan scan;
            scan.disks.push_back(std::make_unique<OddDisk>(c.sectors, c.sectorBytes));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        ASSERT_NE(d, nullptr);
        ASSERT_NE(d->firstPi, nullptr);
        EXPECT_EQ(bool(d->ulFlags & DISK_RESERVED), c.refused);
        if (c.refused) {
            EXPECT_EQ(d->firstPi->ucFsKind, FS_KIND_RESERVED_DISK);
            EXPECT_EQ(d->firstPi->ulTableSect, ERR_DRIVE_NOT_SUPPORTED);
            EXPECT_EQ(d->firstPi->next, nullptr);
        } else {
            EXPECT_EQ(d->firstPi->ucPartType, 0x06);
        }
        kwLibClose();
    }
    kw::plat::SetDiskProviderForTests(nullptr);
}

// A source that reports a zero in its geometry gets the usual translation
// of its size: nothing divides by zero and the table still reads.
TEST_F(Enumeration, AGeometryWithZerosIsReplaced) {
    for (kw::plat::DiskGeometry g :
         {kw::plat::DiskGeometry{0, 0, 0}, {2, 0, 63}, {2, 255, 0}, {0, 255, 63}}) {
        SCOPED_TRACE(std::to_string(g.cylinders) + "/" + std::to_string(g.heads) + "/" +
                     std::to_string(g.sectorsPerTrack));
        kw::plat::SetDiskProviderForTests([g] {
            kw::plat::DiskScan scan;
            scan.disks.push_back(std::make_unique<OddDisk>(2 * kCyl, 512, g));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->cylinders, 2u);
        EXPECT_EQ(d->heads, 255);
        EXPECT_EQ(d->sectorsPerTrack, 63);
        EXPECT_EQ(d->chsHeads, 255);
        EXPECT_EQ(d->chsSectorsPerTrack, 63);
        EXPECT_EQ(d->totalSectors, 2 * kCyl);
        EXPECT_FALSE(d->ulFlags & DISK_RESERVED);
        ASSERT_NE(d->firstPi, nullptr);
        EXPECT_EQ(d->firstPi->ucPartType, 0x06);
        kwLibClose();
    }
    kw::plat::SetDiskProviderForTests(nullptr);
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
