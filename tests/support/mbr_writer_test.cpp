// The MBR writer's disks are what the tests take them for: sfdisk and partx
// read back every entry it wrote.
#include "tests/platform/temp_dir.h"
#include "tests/support/mbr_writer.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kwtest {
namespace {

std::string Line(uint32_t start, uint32_t size, const char* type) {
    auto pad = [](uint32_t v) {
        std::string s = std::to_string(v);
        return std::string(12 - s.size(), ' ') + s;
    };
    return "start=" + pad(start) + ", size=" + pad(size) + ", type=" + type;
}

TEST(MbrWriter, PrimariesLogicalsAndOddEntriesReadBackWithSfdiskAndPartx) {
    kw::test::TempDir dir;
    std::string image = dir / "disk.img";
    MakeSparse(image, uint64_t{40} * kCyl * 512);
    MbrLayout layout;
    layout.primaries = {{0x06, kCyl, 2 * kCyl, true},
                        {0x3C, 4 * kCyl, kCyl}}; // a gap of one cylinder before it
    layout.extendedStart = 6 * kCyl;
    layout.extendedCount = 30 * kCyl;
    for (uint32_t i = 0; i < 20; ++i) // twenty logicals, one track after their records
        layout.logicals.push_back({0x0B, 6 * kCyl + i * kCyl + 63, kCyl - 63});
    LogicalEntry& last = layout.logicals[19]; // 2048 sectors after its record, as tools do now
    last.ebr = last.start - 63;
    last.start = last.ebr + 2048;
    last.count = kCyl - 2048;
    WriteMbrLayout(image, layout);
    std::string dump = Capture("sfdisk --dump '" + image + "'");
    EXPECT_NE(dump.find(Line(kCyl, 2 * kCyl, "6, bootable")), std::string::npos) << dump;
    EXPECT_NE(dump.find(Line(4 * kCyl, kCyl, "3c")), std::string::npos) << dump;
    EXPECT_NE(dump.find(Line(6 * kCyl, 30 * kCyl, "5")), std::string::npos) << dump;
    for (const LogicalEntry& l : layout.logicals)
        EXPECT_NE(dump.find(Line(l.start, l.count, "b")), std::string::npos) << l.start << dump;
    std::string partx = Capture("partx --show --noheadings -o NR '" + image + "'");
    EXPECT_EQ(std::count(partx.begin(), partx.end(), '\n'), 3 + 20) << partx;
}

TEST(MbrWriter, OverlappingAndOutOfRangeEntriesAreWrittenAsGiven) {
    kw::test::TempDir dir;
    std::string image = dir / "disk.img";
    MakeSparse(image, uint64_t{8} * kCyl * 512);
    MbrLayout layout;
    layout.primaries = {{0x83, kCyl, 3 * kCyl, false, 2},
                        {0x07, 2 * kCyl, 2 * kCyl, false, 0},
                        {0x0C, 6 * kCyl, 10 * kCyl}}; // past the end of the disk
    WriteMbrLayout(image, layout);
    std::vector<uint8_t> mbr = ReadAt(image, 0, 512);
    EXPECT_EQ(mbr[446 + 4], 0x07);      // slot 0 as asked
    EXPECT_EQ(mbr[446 + 16 + 4], 0x0C); // the first free slot
    EXPECT_EQ(mbr[446 + 32 + 4], 0x83);
    std::string dump = Capture("sfdisk --dump '" + image + "'");
    EXPECT_NE(dump.find(Line(6 * kCyl, 10 * kCyl, "c")), std::string::npos) << dump;
}

} // namespace
} // namespace kwtest
