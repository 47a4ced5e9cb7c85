// Tables at the edges, written by our own MBR writer or by sfdisk and read
// back by sfdisk --json as the oracle: entries past the disk's end or past
// 2^32, disks smaller than one cylinder, and long chains of logicals.
#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"
#include "engine/disk/partition_table.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

using kwtest::kCyl;

namespace {

struct Entry {
    uint64_t start;
    uint64_t size;
    unsigned type;
};

// What sfdisk reads from the image, in table order (extended entries too).
std::vector<Entry> SfdiskEntries(const std::filesystem::path& image) {
    std::string json = kwtest::Capture("sfdisk --json '" + image.string() + "'");
    std::regex node(R"re("start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([0-9a-f]+)")re");
    std::vector<Entry> out;
    for (std::sregex_iterator it(json.begin(), json.end(), node), end; it != end; ++it)
        out.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]),
                       static_cast<unsigned>(std::stoul((*it)[3], nullptr, 16))});
    return out;
}

class TableEdges : public ::testing::Test {
protected:
    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
    }
    std::filesystem::path Image(uint64_t sectors) {
        std::filesystem::path image = dir_ / ("disk" + std::to_string(++count_) + ".img");
        kwtest::MakeSparse(image, sectors * 512);
        return image;
    }
    // Opens the image with the debug log written to a file; the log's text.
    std::string OpenLogged(const std::filesystem::path& image) {
        gDbgMgr = new DbgMgr;
        DBG_OPTIONS options;
        options.debugPath = (dir_ / "debug.txt").string();
        EXPECT_EQ(gDbgMgr->Init(options), KW_OK);
        Open(image);
        gDbgMgr->Uninit();
        delete gDbgMgr;
        gDbgMgr = nullptr;
        std::ifstream in(dir_ / "debug.txt", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    DISK_RECORD* Open(const std::filesystem::path& image) {
        kwLibClose();
        setenv("KW_DISKS", image.c_str(), 1);
        EXPECT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        return d;
    }
    // The record of the entry (not an extended link), or null.
    static PARTITION_INFO* RecordOf(DISK_RECORD* d, const Entry& e) {
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == e.start && pi->NumSects == e.size && pi->ucPartType == e.type &&
                pi->ucFsKind != FS_KIND_EXTENDED_LINK)
                return pi;
        return nullptr;
    }
    // The disk is not reserved and every entry sfdisk reads is one record.
    static void ExpectEntriesAsSfdisk(DISK_RECORD* d, const std::filesystem::path& image) {
        ASSERT_NE(d, nullptr);
        ASSERT_FALSE(d->ulFlags & DISK_RESERVED)
            << "reserved with error " << (d->firstPi ? d->firstPi->ulTableSect : 0);
        std::vector<Entry> want = SfdiskEntries(image);
        ASSERT_FALSE(want.empty());
        for (const Entry& e : want)
            EXPECT_NE(RecordOf(d, e), nullptr) << e.start << "+" << e.size;
    }

    kwtest::TempDir dir_;
    int count_ = 0;
};

} // namespace

// sfdisk gives a disk smaller than one cylinder its CHS values under 255
// heads and 63 sectors; the engine takes them as they are. Besides the case
// seen in the field, layouts drawn from a fixed seed.
TEST_F(TableEdges, SmallDisksPartitionedBySfdiskAreRead) {
    std::vector<std::pair<uint64_t, std::string>> cases = {
        {2840, "start=1,size=1139,type=3d\\nstart=1140,size=1541,type=2\\n"}};
    std::mt19937 rng(29);
    const unsigned types[] = {0x01, 0x06, 0x83, 0x3d, 0x02, 0x0b};
    for (int i = 0; i < 10; ++i) {
        uint64_t sectors = 200 + rng() % (kCyl - 200);
        uint64_t at = 1 + rng() % 64;
        std::string script;
        for (unsigned n = 1 + rng() % 4; n > 0 && at + 8 < sectors; --n) {
            uint64_t size = 8 + rng() % (sectors - at - 8 + 1) / n;
            script += "start=" + std::to_string(at) + ",size=" + std::to_string(size) +
                      ",type=" + (std::ostringstream() << std::hex << types[rng() % 6]).str() +
                      "\\n";
            at += size + rng() % 16;
        }
        cases.emplace_back(sectors, script);
    }
    for (const auto& [sectors, script] : cases) {
        SCOPED_TRACE(std::to_string(sectors) + " sectors: " + script);
        std::filesystem::path image = Image(sectors);
        ASSERT_TRUE(kwtest::Run("printf 'label: dos\\n" + script + "' | sfdisk -q '" +
                                image.string() + "' >/dev/null 2>&1"));
        ExpectEntriesAsSfdisk(Open(image), image);
    }
}

// Entries that start or end past the disk's last sector, or whose start and
// size add up past 2^32: each is still the entry sfdisk reads, but flagged,
// never opened and offering nothing but its deletion; free space lies inside
// the disk only, once, and beside no partition.
TEST_F(TableEdges, EntriesPastTheDisksEndAreFlaggedAndOfferNothing) {
    const struct {
        const char* what;
        uint32_t sectors;
        std::vector<kwtest::MbrEntry> primaries;
    } cases[] = {
        {"wraps past 2^32", 190 * kCyl, {{0x06, 63, 10 * kCyl - 63}, {0x83, 4294900000u, 200000}}},
        {"starts past the end", 200 * kCyl, {{0x06, 63, kCyl - 63}, {0x07, 300 * kCyl, kCyl}}},
        {"ends past the end", 200 * kCyl, {{0x06, 63, kCyl - 63}, {0x83, 190 * kCyl, 20 * kCyl}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::path image = Image(c.sectors);
        kwtest::MbrLayout layout;
        layout.primaries = c.primaries;
        kwtest::WriteMbrLayout(image, layout);
        DISK_RECORD* d = Open(image);
        ExpectEntriesAsSfdisk(d, image);
        ASSERT_EQ(ResetLegalOps(), KW_OK);
        std::vector<const PARTITION_INFO*> free, inside;
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next) {
            bool beyond = pi->ucFsKind != FS_KIND_FREE && pi->EndSect() > c.sectors;
            EXPECT_EQ(bool(pi->ulFlags & PI_BEYOND_DISK), beyond) << pi->ulStartSect;
            if (pi->ucFsKind == FS_KIND_FREE)
                free.push_back(pi);
            else if (!beyond)
                inside.push_back(pi);
            if (!beyond)
                continue;
            EXPECT_EQ(pi->ulFlags & LOP_ALL, LOP_DELETE);
            kwhandle h;
            EXPECT_NE(kwLogOpen(pi, &h), KW_OK);
        }
        ASSERT_FALSE(free.empty());
        for (const PARTITION_INFO* f : free) {
            EXPECT_LE(f->EndSect(), c.sectors);
            for (const PARTITION_INFO* o : free)
                EXPECT_TRUE(o == f || o->EndSect() <= f->ulStartSect ||
                            o->ulStartSect >= f->EndSect())
                    << "free runs at " << f->ulStartSect << " and " << o->ulStartSect;
            for (const PARTITION_INFO* p : inside)
                EXPECT_TRUE(p->EndSect() <= f->ulStartSect || p->ulStartSect >= f->EndSect())
                    << "free run at " << f->ulStartSect << " overlaps " << p->ulStartSect;
        }
    }
}

// A chain of 300 logicals (sfdisk reads the first 56 of them) is listed
// whole; one longer than any real disk holds still reserves the disk, and the
// log says why.
TEST_F(TableEdges, LongLogicalChainsUpToTheLimit) {
    const uint32_t ext = 2048, step = 2048;
    auto chain = [&](uint32_t logicals) {
        std::filesystem::path image = Image(uint64_t{ext} + uint64_t{logicals} * step);
        kwtest::MbrLayout layout;
        for (uint32_t i = 0; i < logicals; ++i)
            layout.logicals.push_back({0x83, ext + i * step + 63, step - 63, 0});
        layout.extendedStart = ext;
        layout.extendedCount = logicals * step;
        kwtest::WriteMbrLayout(image, layout);
        return image;
    };
    std::filesystem::path image = chain(300);
    DISK_RECORD* d = Open(image);
    ExpectEntriesAsSfdisk(d, image);
    uint32_t logicals = 0;
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
        logicals += (pi->ulFlags & PI_LOGICAL) && pi->ucPartType == 0x83;
    EXPECT_EQ(logicals, 300u);

    std::string log = OpenLogged(chain(KW_MAX_EXTENDED_RECORDS + 1));
    kwGetDiskList(&d);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->ulFlags & DISK_RESERVED);
    EXPECT_NE(
        log.find("more than " + std::to_string(KW_MAX_EXTENDED_RECORDS) + " logical partitions"),
        std::string::npos);
}

// The disk's banner, the heads of the table-entry columns and each entry's
// line under them, no line cut inside.
TEST_F(TableEdges, TheLogListsEachTableUnderItsHeads) {
    std::filesystem::path image = Image(16 * kCyl);
    kwtest::MbrLayout layout;
    layout.primaries = {{0x06, 63, kCyl - 63, true}};
    kwtest::WriteMbrLayout(image, layout);
    // Lines without the indentation of the call nesting.
    std::string log = std::regex_replace(OpenLogged(image), std::regex("\n +"), "\n");
    const std::string want =
        "Disk 1:  16 Cylinders, 255 Heads, 63 Sectors/Track.\r\n"
        "========================== Partition Tables =========================\r\n"
        "Partition        -----Begin----    ------End-----   Start     Num\r\n"
        "Sector    # Boot  Cyl Head Sect FS  Cyl Head Sect   Sect      Sects\r\n"
        "--------- - ---- ---- ---- ---- -- ---- ---- ---- --------- ---------\r\n"
        "0 0   80    0    1    1 06    0  254   63        63     16002\r\n";
    EXPECT_NE(log.find(want), std::string::npos) << log;
}
