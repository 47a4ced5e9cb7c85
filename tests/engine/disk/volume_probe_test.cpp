#include "engine/disk/volume_probe.h"
#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Sector {
    std::vector<uint8_t> b = std::vector<uint8_t>(512, 0);
    Sector& Sig() {
        b[510] = 0x55;
        b[511] = 0xAA;
        return *this;
    }
    Sector& Text(size_t at, const char* t) {
        std::memcpy(&b[at], t, std::strlen(t));
        return *this;
    }
    Sector& U8(size_t at, uint8_t v) {
        b[at] = v;
        return *this;
    }
    Sector& U16(size_t at, uint16_t v) {
        kwbytes::StoreLe16(b.data() + at, v);
        return *this;
    }
    Sector& U32(size_t at, uint32_t v) {
        kwbytes::StoreLe32(b.data() + at, v);
        return *this;
    }
};

} // namespace

TEST(FsKindFromType, TypeTable) {
    struct Case {
        uint8_t type;
        bool inEbr;
        uint8_t kind;
    } cases[] = {
        {0x00, false, FS_KIND_NONE},     {0x01, false, FS_KIND_FAT},
        {0xDE, false, FS_KIND_FAT},      {0x1E, false, FS_KIND_FAT},
        {0x02, false, FS_KIND_UNUSABLE}, {0xFF, false, FS_KIND_UNUSABLE},
        {0x05, false, FS_KIND_EXTENDED}, {0x0F, true, FS_KIND_EXTENDED_LINK},
        {0x07, false, FS_KIND_HPFS},     {0x0A, false, FS_KIND_BOOT_MANAGER},
        {0x83, false, FS_KIND_LINUX},    {0x82, false, FS_KIND_NONE},
        {0x65, false, FS_KIND_NETWARE},  {0x3C, false, FS_KIND_TYPE_3C},
        {0x1C, false, FS_KIND_FAT32},    {0x42, false, FS_KIND_DYNAMIC},
        {0xEE, false, FS_KIND_NONE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FsKindFromType(c.type, c.inEbr), c.kind) << int(c.type);
}

TEST(ClassifyBootSector, KindsFromTheBootSector) {
    Sector ntfs;
    ntfs.Sig().Text(3, "NTFS    ").U16(11, 512).U32(40, 123456).U32(72, 0xCAFEBABE).U32(76, 7);
    Sector hpfs;
    hpfs.Sig().U8(38, 0x29).Text(54, "HPFS    ").Text(43, "OS2        ").U32(39, 42);
    Sector fat;
    fat.Sig().U16(11, 512).U8(38, 0x29).Text(54, "FAT16   ").Text(43, "NO NAME    ").U16(19, 2000);
    Sector ntfsWithTotal = ntfs;
    ntfsWithTotal.U16(19, 100); // an NTFS boot sector has no 16-bit total
    struct Case {
        const char* what;
        uint8_t type, kindIn;
        Sector s;
        uint8_t kind;
    } cases[] = {
        {"ntfs", 0x07, FS_KIND_HPFS, ntfs, FS_KIND_NTFS},
        {"hpfs", 0x07, FS_KIND_HPFS, hpfs, FS_KIND_HPFS},
        {"fat on 07", 0x07, FS_KIND_HPFS, fat, FS_KIND_FAT},
        {"not ntfs", 0x07, FS_KIND_HPFS, ntfsWithTotal, FS_KIND_HPFS},
        {"no signature", 0x06, FS_KIND_FAT, Sector{}, FS_KIND_RAW},
    };
    for (const Case& c : cases) {
        BOOT_SECTOR_INFO info = ClassifyBootSector(c.type, c.kindIn, 0, c.s.b);
        EXPECT_EQ(info.fsKind, c.kind) << c.what;
    }
    BOOT_SECTOR_INFO n = ClassifyBootSector(0x07, FS_KIND_HPFS, 0, ntfs.b);
    EXPECT_EQ(n.serial, 0xCAFEBABEu);
    EXPECT_EQ(n.bootTotal, 123456u);
    EXPECT_TRUE(n.ntfs);
    EXPECT_EQ(n.sectorFactor, 1);
    BOOT_SECTOR_INFO f = ClassifyBootSector(0x06, FS_KIND_FAT, 0, fat.b);
    EXPECT_STREQ(f.label, ""); // "NO NAME" counts as no label
    EXPECT_EQ(f.bootTotal, 2000u);
    BOOT_SECTOR_INFO h = ClassifyBootSector(0x07, FS_KIND_HPFS, 0, hpfs.b);
    EXPECT_STREQ(h.label, "OS2");
    EXPECT_EQ(h.serial, 42u);
    EXPECT_FALSE(h.hasSectorSize);
}

TEST(ClassifyBootSector, SectorSizesAndUtilityMarks) {
    Sector s;
    s.Sig().U16(11, 2048).U8(38, 0x29).Text(54, "FAT");
    EXPECT_EQ(ClassifyBootSector(0x06, FS_KIND_FAT, 0, s.b).sectorFactor, 4);
    s.U16(11, 700);
    EXPECT_EQ(ClassifyBootSector(0x06, FS_KIND_FAT, 0, s.b).sectorFactor, 0);
    Sector eisa;
    eisa.Sig().Text(39, "EISA");
    EXPECT_EQ(ClassifyBootSector(0x12, FS_KIND_FAT, 0, eisa.b).flags2Set, PI2_EISA_UTILITY);
    Sector plain;
    plain.Sig();
    EXPECT_EQ(ClassifyBootSector(0x12, FS_KIND_FAT, PI2_EISA_UTILITY, plain.b).fsKind, FS_KIND_RAW);
    EXPECT_EQ(ClassifyBootSector(0x12, FS_KIND_FAT, 0, plain.b).fsKind, FS_KIND_FAT);
    // A sector cut short reads as zeros: no signature, raw.
    std::vector<uint8_t> shortSector(100, 0xFF);
    EXPECT_EQ(ClassifyBootSector(0x06, FS_KIND_FAT, 0, shortSector).fsKind, FS_KIND_RAW);
}

TEST(ClassifyOtherVolumes, SuperBlockAndSwapPage) {
    const char* line = nullptr;
    EXPECT_EQ(ClassifySuperBlock(Sector{}.U16(56, 0xEF53).b, &line), FS_KIND_EXT2);
    EXPECT_EQ(ClassifySuperBlock(Sector{}.U16(56, 0xEF51).b, &line), FS_KIND_LINUX);
    EXPECT_STREQ(line, "CheckSuperBlock: Ext2 FS (pre 02b)\n");
    EXPECT_EQ(ClassifySuperBlock(Sector{}.U16(16, 0x2468).b, &line), FS_KIND_LINUX);
    EXPECT_STREQ(line, "CheckSuperBlock: Minix V2 FS\n");
    char label[11];
    EXPECT_EQ(ClassifySwapPage(Sector{}.Text(502, "SWAP-SPACE").b, label), FS_KIND_LINUX_SWAP);
    EXPECT_STREQ(label, "SWAP-SPACE");
    EXPECT_EQ(ClassifySwapPage(Sector{}.Text(502, "SWAPSPACE3").b, label), FS_KIND_NONE);
}
