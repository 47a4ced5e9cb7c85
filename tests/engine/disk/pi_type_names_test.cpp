// Partition type names: the file-system kind wins over the type byte, type
// 12h is named by its utility marks, and the partition-information table in
// the debug log shows the names in its type column.
#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pi_type_names.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

using kwtest::kCyl;

namespace {

std::string NameOf(uint8_t type, uint8_t kind, uint32_t flags2 = 0, bool fallback = true) {
    PARTITION_INFO pi;
    pi.ucPartType = type;
    pi.ucFsKind = kind;
    pi.ulFlags2 = flags2;
    return PartitionTypeName(pi, fallback);
}

} // namespace

TEST(PartitionTypeName, KindBeforeTypeByte) {
    const struct {
        uint8_t type, kind;
        uint32_t flags2;
        const char* name;
    } cases[] = {
        {0x07, FS_KIND_NTFS, 0, "NTFS"},
        {0x17, FS_KIND_NTFS, 0, "Hidden NTFS"},
        {0x07, FS_KIND_HPFS, 0, "HPFS"},
        {0x17, FS_KIND_HPFS, 0, "Hidden HPFS"},
        {0x07, FS_KIND_NONE, 0, "QNX, UN*X"},
        {0x17, FS_KIND_NONE, 0, "Hidden IFS"},
        {0x05, FS_KIND_EXTENDED, 0, "Extended"},
        {0x05, FS_KIND_EXTENDED_LINK, 0, "EPBR"},
        {0x0F, FS_KIND_EXTENDED_LINK, 0, "EPBR"},
        {0x00, FS_KIND_FREE, 0, "Free Space"},
        {0x83, FS_KIND_EXT2, 0, "Linux Ext2"},
        {0x83, FS_KIND_LINUX, 0, "Linux Ext2"},
        {0x82, FS_KIND_LINUX_SWAP, 0, "Linux Swap"},
        {0x12, FS_KIND_FAT, PI2_EISA_UTILITY, "Compaq"},
        {0x12, FS_KIND_FAT, PI2_HP_UTILITY, "HP"},
        {0x12, FS_KIND_FAT, PI2_EISA_UTILITY | PI2_HP_UTILITY, "Compaq"},
        {0x12, FS_KIND_RAW, PI2_HP_UTILITY, "HP"},
        {0x12, FS_KIND_RAW, 0, "Utility"},
        {0xDE, FS_KIND_FAT, 0, "Dell"},
        {0x06, FS_KIND_FAT, 0, "FAT16B"},
        {0x0C, FS_KIND_FAT32, 0, "FAT32X"},
        {0x3C, FS_KIND_TYPE_3C, 0, "KwRP"},
        {0x42, FS_KIND_DYNAMIC, 0, "Type 42"},
        {0xDB, FS_KIND_NONE, 0, "CP/M, Concurrent DOS, CTOS"},
        {0xFF, FS_KIND_NONE, 0, "Xenix BBT"},
        {0x00, FS_KIND_NONE, 0, "Type 00"},
        {0xAB, FS_KIND_NONE, 0, "Type AB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NameOf(c.type, c.kind, c.flags2), c.name)
            << std::hex << int(c.type) << " kind " << std::dec << int(c.kind);
}

// Exactly these type bytes have a name of their own; every other one gets the
// fallback, or nothing without it.
TEST(PartitionTypeName, NamedTypesAndFallback) {
    const uint8_t named[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                             0x0E, 0x0F, 0x10, 0x11, 0x12, 0x14, 0x16, 0x17, 0x18, 0x1B, 0x1C, 0x1E,
                             0x24, 0x2C, 0x3C, 0x3D, 0x40, 0x50, 0x51, 0x52, 0x54, 0x55, 0x56, 0x5C,
                             0x61, 0x63, 0x64, 0x65, 0x69, 0x70, 0x75, 0x80, 0x81, 0x82, 0x83, 0x86,
                             0x87, 0x93, 0x94, 0xA0, 0xA5, 0xA7, 0xB7, 0xB8, 0xC0, 0xC1, 0xC4, 0xC6,
                             0xC7, 0xDB, 0xDE, 0xE1, 0xE3, 0xE4, 0xF1, 0xF2, 0xF4, 0xFE, 0xFF};
    for (int t = 0; t < 256; ++t) {
        auto type = static_cast<uint8_t>(t);
        bool isNamed = std::find(std::begin(named), std::end(named), type) != std::end(named);
        std::string name = NameOf(type, FS_KIND_NONE);
        std::string bare = NameOf(type, FS_KIND_NONE, 0, false);
        char fallback[8];
        std::snprintf(fallback, sizeof fallback, "Type %02X", t);
        if (isNamed) {
            EXPECT_NE(name, fallback) << t;
            EXPECT_EQ(bare, name) << t;
        } else {
            EXPECT_EQ(name, fallback) << t;
            EXPECT_EQ(bare, "") << t;
        }
    }
}

// The partition-information table of an enumerated disk names each record's
// type in the column under "Type", with the status right after it.
TEST(PartitionTypeName, NamesInThePartitionInformationLog) {
    kwtest::TempDir dir;
    std::filesystem::path image = dir / "disk.img";
    kwtest::MakeSparse(image, uint64_t{6} * kCyl * 512);
    kwtest::WriteLayout(image,
                        {{0x06, 63, kCyl - 63, false, true},
                         {0xAB, kCyl, kCyl},
                         {0x82, 2 * kCyl + 63, kCyl - 63, true}},
                        2 * kCyl, 4 * kCyl);
    gDbgMgr = new DbgMgr;
    DBG_OPTIONS options;
    options.debugPath = (dir / "debug.txt").string();
    ASSERT_EQ(gDbgMgr->Init(options), KW_OK);
    setenv("KW_DISKS", image.c_str(), 1);
    EXPECT_EQ(kwLibOpen(), KW_OK);
    kwLibClose();
    unsetenv("KW_DISKS");
    gDbgMgr->Uninit();
    delete gDbgMgr;
    gDbgMgr = nullptr;

    std::ifstream in(dir / "debug.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    auto head = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("Letter:Label  Type            Status") != std::string::npos;
    });
    ASSERT_LT(head + 2, lines.end());
    size_t indent = head->find("Letter");
    const std::vector<std::pair<std::string, std::string>> want = {
        {"FAT16B          ", "Pri,Boot "},
        {"Type AB         ", "Pri      "},
        {"Extended        ", "Pri      "},
        {"EPBR            ", "Log      "},
        {"Linux Swap      ", "Log      "}};
    std::vector<std::pair<std::string, std::string>> got; // type and status columns
    for (auto it = head + 2; it != lines.end() && got.size() < want.size(); ++it)
        got.emplace_back(it->substr(indent + 14, 16), it->substr(indent + 30, 9));
    EXPECT_EQ(got, want);
}
