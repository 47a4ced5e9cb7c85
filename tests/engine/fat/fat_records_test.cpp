// Boot records, long-name pieces and FAT entries from bytes built here.
#include "engine/fat/fat_blocks.h"
#include "engine/fat/fat_boot.h"
#include "engine/fat/fat_dir.h"
#include "engine/fat/fat_names.h"
#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

using kwbytes::StoreLe16;
using kwbytes::StoreLe32;

// A FAT16 boot sector: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs
// of 32 sectors, 512 root entries, 40,000 sectors.
std::vector<uint8_t> Fat16Sector() {
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB;
    StoreLe16(&s[FBO_BYTES_PER_SECTOR], 512);
    s[FBO_SECTORS_PER_CLUSTER] = 4;
    StoreLe16(&s[FBO_RESERVED_SECTORS], 1);
    s[FBO_FAT_COUNT] = 2;
    StoreLe16(&s[FBO_ROOT_ENTRIES], 512);
    StoreLe16(&s[FBO_TOTAL_SECTORS_16], 40000);
    s[FBO_MEDIA] = 0xF8;
    StoreLe16(&s[FBO_SECTORS_PER_FAT_16], 40);
    StoreLe32(&s[FBO_SERIAL_16], 0x12345678);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> Fat32Sector() {
    std::vector<uint8_t> s = Fat16Sector();
    StoreLe32(&s[FBO_SERIAL_16], 0);
    StoreLe16(&s[FBO_ROOT_ENTRIES], 0);
    StoreLe16(&s[FBO_TOTAL_SECTORS_16], 0);
    StoreLe16(&s[FBO_SECTORS_PER_FAT_16], 0);
    s[FBO_SECTORS_PER_CLUSTER] = 1;
    StoreLe16(&s[FBO_RESERVED_SECTORS], 32);
    StoreLe32(&s[FBO_TOTAL_SECTORS_32], 200000);
    StoreLe32(&s[FBO_SECTORS_PER_FAT_32], 1600);
    StoreLe32(&s[FBO_ROOT_CLUSTER], 2);
    StoreLe32(&s[FBO_SERIAL_32], 0xCAFEF00D);
    return s;
}

struct BootCase {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    bool fat32;
    kwRet want;
};

TEST(FatBootRecord, RefusesSectorsThatDescribeNoSoundVolume) {
    const BootCase cases[] = {
        {"sound FAT16", [](auto&) {}, false, KW_OK},
        {"sound FAT32", [](auto&) {}, true, KW_OK},
        {"1024-byte sectors", [](auto& s) { StoreLe16(&s[11], 1024); }, false, ERR_BAD_BOOT_SECTOR},
        {"3 sectors per cluster", [](auto& s) { s[13] = 3; }, false, ERR_BAD_BOOT_SECTOR},
        {"no sectors per cluster", [](auto& s) { s[13] = 0; }, false, ERR_BAD_BOOT_SECTOR},
        {"no FAT", [](auto& s) { s[16] = 0; }, false, ERR_BAD_BOOT_SECTOR},
        {"four FATs", [](auto& s) { s[16] = 4; }, false, KW_OK},
        {"five FATs", [](auto& s) { s[16] = 5; }, false, ERR_BAD_BOOT_SECTOR},
        {"255 FATs", [](auto& s) { s[16] = 255; }, true, ERR_BAD_BOOT_SECTOR},
        {"root of 0xFFFF entries", [](auto& s) { StoreLe16(&s[17], 0xFFFF); }, false,
         ERR_BAD_BOOT_SECTOR},
        {"root of a part sector", [](auto& s) { StoreLe16(&s[17], 520); }, false,
         ERR_BAD_BOOT_SECTOR},
        {"no root entries", [](auto& s) { StoreLe16(&s[17], 0); }, false, ERR_BAD_BOOT_SECTOR},
        {"no reserved sector", [](auto& s) { StoreLe16(&s[14], 0); }, false, ERR_BAD_BOOT_SECTOR},
        {"total inside the FATs", [](auto& s) { StoreLe16(&s[19], 100); }, false,
         ERR_BAD_BOOT_SECTOR},
        {"no 55 AA", [](auto& s) { s[510] = 0; }, false, ERR_BAD_BOOT_SECTOR},
        {"FAT32 bytes 508-509 set", [](auto& s) { s[508] = 1; }, true, ERR_BAD_BOOT_SECTOR},
        {"FAT32 version 1", [](auto& s) { StoreLe16(&s[42], 1); }, true, ERR_FS_VERSION},
        {"FAT32 root cluster 1", [](auto& s) { StoreLe32(&s[44], 1); }, true, ERR_BAD_BOOT_SECTOR},
        {"FAT32 root past the end", [](auto& s) { StoreLe32(&s[44], 0x0FFFFFF0); }, true,
         ERR_BAD_BOOT_SECTOR},
    };
    for (const BootCase& c : cases) {
        std::vector<uint8_t> s = c.fat32 ? Fat32Sector() : Fat16Sector();
        c.edit(s);
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(s, 1000000), c.want) << c.what;
    }
}

TEST(FatBootRecord, KindFollowsTheClusterCount) {
    // 4,084 clusters is FAT12, 4,085 FAT16, whatever the FAT size says.
    for (uint32_t clusters : {4084u, 4085u, 65524u}) {
        std::vector<uint8_t> s = Fat16Sector();
        s[13] = 1;
        StoreLe16(&s[22], 256);
        uint32_t firstData = 1 + 2 * 256 + 32;
        StoreLe16(&s[19], 0);
        StoreLe32(&s[32], firstData + clusters);
        FAT_BOOT_RECORD b;
        ASSERT_EQ(b.Parse(s, 1000000), KW_OK) << clusters;
        EXPECT_EQ(b.clusterCount, clusters);
        EXPECT_EQ(b.fatKind, clusters <= 4084 ? FAT_KIND_12 : FAT_KIND_16) << clusters;
    }
}

TEST(FatBootRecord, TotalsAreCutToThePartitionAndToTheFat) {
    std::vector<uint8_t> s = Fat16Sector();
    FAT_BOOT_RECORD b;
    ASSERT_EQ(b.Parse(s, 30000), KW_OK);
    EXPECT_EQ(b.totalSectors, 30000u);
    EXPECT_EQ(b.clusterCount, (30000u - b.FirstDataSector()) / 4);
    // A 16-bit FAT of 20 sectors addresses 5,120 entries: 5,118 clusters.
    StoreLe16(&s[22], 20);
    s[13] = 1;
    ASSERT_EQ(b.Parse(s, 1000000), KW_OK);
    EXPECT_EQ(b.clusterCount, 20u * 256 - 2);
    EXPECT_EQ(b.totalSectors, b.FirstDataSector() + b.clusterCount);
    // Cut below the FAT16 limit, the FAT would no longer be one: refused.
    StoreLe16(&s[22], 8);
    EXPECT_EQ(b.Parse(s, 1000000), ERR_BAD_BOOT_SECTOR);
}

// A long-name piece for the name's characters from `from`.
std::vector<uint8_t> Piece(uint8_t sequence, const std::u16string& name, size_t from, uint8_t sum) {
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<uint8_t> e(32, 0);
    e[0] = sequence;
    e[11] = FAT_ATTR_LFN;
    e[13] = sum;
    for (int k = 0; k < 13; ++k) {
        size_t i = from + k;
        uint16_t c = i < name.size() ? name[i] : i == name.size() ? 0 : 0xFFFF;
        StoreLe16(&e[offsets[k]], c);
    }
    return e;
}

std::vector<uint8_t> Short(const char* name11) {
    std::vector<uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = FAT_ATTR_ARCHIVE;
    return e;
}

struct DirBuilder {
    FAT_DIRECTORY dir;
    std::vector<uint8_t> bytes;
    void Add(const std::vector<uint8_t>& e) { bytes.insert(bytes.end(), e.begin(), e.end()); }
    // Walks the directory and returns the names as listed (long or short).
    std::vector<std::string> Names() {
        bytes.resize((bytes.size() / 512 + 1) * 512, 0);
        dir.Reserve(static_cast<uint32_t>(bytes.size() / 512));
        std::memcpy(dir.SectorData(0), bytes.data(), bytes.size());
        dir.SetCount(static_cast<uint32_t>(bytes.size() / 512), 5);
        FAT_DIR_WALK walk(dir, false);
        FAT_DIR_ITEM item;
        std::vector<std::string> names;
        while (walk.Next(&item)) {
            char out[FAT_NAME_BYTES];
            if (item.hasLongName)
                Utf16ToUtf8(item.longName, out, sizeof out);
            else
                ShortNameDisplay(item.entry.name, item.entry.caseFlags, out, sizeof out);
            names.push_back(out);
        }
        return names;
    }
};

TEST(FatLongNames, PiecesMustBeCompleteInOrderAndMatchTheirEntry) {
    const char* shortName = "LONGNA~1TXT";
    uint8_t sum = LfnChecksum(reinterpret_cast<const uint8_t*>(shortName));
    std::u16string name = u"Long name that spans.txt"; // 24 characters: two pieces
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> pieces;
        const char* want;
    } cases[] = {
        {"sound",
         {Piece(0x42, name, 13, sum), Piece(0x01, name, 0, sum)},
         "Long name that spans.txt"},
        {"wrong checksum",
         {Piece(0x42, name, 13, sum + 1), Piece(0x01, name, 0, sum + 1)},
         "LONGNA~1.TXT"},
        {"out of sequence",
         {Piece(0x42, name, 13, sum), Piece(0x02, name, 0, sum)},
         "LONGNA~1.TXT"},
        {"a piece missing",
         {Piece(0x43, name, 13, sum), Piece(0x01, name, 0, sum)},
         "LONGNA~1.TXT"},
        {"number above 20",
         {Piece(0x55, name, 13, sum), Piece(0x01, name, 0, sum)},
         "LONGNA~1.TXT"},
        {"number 0", {Piece(0x40, name, 0, sum)}, "LONGNA~1.TXT"},
        {"no last-piece flag",
         {Piece(0x02, name, 13, sum), Piece(0x01, name, 0, sum)},
         "LONGNA~1.TXT"},
    };
    for (const Case& c : cases) {
        DirBuilder d;
        for (const auto& p : c.pieces)
            d.Add(p);
        d.Add(Short(shortName));
        EXPECT_EQ(d.Names(), std::vector<std::string>{c.want}) << c.what;
    }
}

TEST(FatLongNames, TheCollectedNameResetsAtEveryShortEntry) {
    const char* first = "FIRST   TXT";
    uint8_t sum = LfnChecksum(reinterpret_cast<const uint8_t*>(first));
    DirBuilder d;
    d.Add(Piece(0x41, u"first.txt", 0, sum));
    d.Add(Short(first));
    d.Add(Short(first)); // same checksum, no pieces of its own
    std::vector<uint8_t> deleted = Piece(0x41, u"gone.txt", 0, sum);
    deleted[0] = FAT_DELETED;
    d.Add(deleted);
    d.Add(Short(first));
    std::vector<uint8_t> lower = Short("LOWER   TXT");
    lower[FDE_CASE] = FAT_CASE_LOWER_BASE | FAT_CASE_LOWER_EXT;
    d.Add(lower);
    EXPECT_EQ(d.Names(),
              (std::vector<std::string>{"first.txt", "FIRST.TXT", "FIRST.TXT", "lower.txt"}));
}

TEST(FatLongNames, ListingStopsAtTheEndMarkAndSkipsDeleted) {
    DirBuilder d;
    d.Add(Short("A       TXT"));
    std::vector<uint8_t> gone = Short("B       TXT");
    gone[0] = FAT_DELETED;
    d.Add(gone);
    d.Add(Short("C       TXT"));
    d.Add(std::vector<uint8_t>(32, 0));
    d.Add(Short("D       TXT"));
    EXPECT_EQ(d.Names(), (std::vector<std::string>{"A.TXT", "C.TXT"}));
}

TEST(FatLongNames, ComparisonIsCaseFoldedUtf16) {
    char16_t a[32], b[32];
    Utf8ToUtf16("Ünïcode NÄME.txt", a, 32);
    Utf8ToUtf16("üNÏCODE näme.TXT", b, 32);
    EXPECT_TRUE(NamesEqual(a, b));
    Utf8ToUtf16("Ünïcode NAME.txt", b, 32);
    EXPECT_FALSE(NamesEqual(a, b));
}

TEST(FatBlocks, NothingOutsideTheTableIsReadOrChanged) {
    FAT_BLOCKS fat(FAT_KIND_16, 100);
    // Not loaded: every lookup is free and every change refused.
    EXPECT_EQ(fat.GetNextCluster(5), 0u);
    EXPECT_EQ(fat.SetNextCluster(5, 6), ERR_BAD_ARGUMENT);
}

} // namespace
