// kwfs parts against sfdisk --json: a disk with four primary entries, twenty
// logical partitions and free gaps in both, written by our own MBR writer.
// jq reads both listings (so each must be valid JSON) and flattens them to
// one "start sectors type role" line per partition.
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <sstream>

using kwtest::kCyl;

namespace {

std::string Quote(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The partitions sfdisk reads, in order of start; logicals are nodes 5 and up.
std::vector<std::string> SfdiskLines(const std::filesystem::path& image) {
    return Lines(kwtest::Capture(
        "sfdisk --json " + Quote(image) +
        " | jq -r '.partitiontable.partitions | sort_by(.start)[] | "
        "(.node | capture(\"(?<n>[0-9]+)$\").n | tonumber) as $n | "
        "(\"0x\" + (if (.type | length) == 1 then \"0\" else \"\" end) + .type) as $t | "
        "\"\\(.start) \\(.size) \\($t) \" + (if $n > 4 then \"logical\" "
        "elif ($t == \"0x05\" or $t == \"0x0f\") then \"extended\" else \"primary\" end)'"));
}

// The records of kwfs's listing (a file) without extended links, filtered
// by jq.
std::vector<std::string> Select(const std::filesystem::path& listing, const std::string& filter) {
    return Lines(kwtest::Capture("jq -r -s '.[] | select(.kind != \"ext-link\") | " + filter +
                                 "' " + Quote(listing)));
}

} // namespace

TEST(KwfsParts, MatchesSfdiskOnTwentyLogicalsWithFreeGaps) {
    kwtest::TempDir dir;
    std::filesystem::path image = dir / "disk.img";
    const uint32_t ext = 4 * kCyl, extCyls = 21, total = 28 * kCyl;
    // Cylinder 1 and the extended partition's eleventh cylinder stay free,
    // as do the three cylinders behind it.
    kwtest::MbrLayout layout;
    layout.primaries = {
        {0x06, 63, kCyl - 63, true}, {0x83, 2 * kCyl, kCyl}, {0x07, 3 * kCyl, kCyl}};
    for (uint32_t i = 0; i < 20; ++i) {
        uint32_t cyl = i < 10 ? i : i + 1;
        layout.logicals.push_back(
            {i % 2 ? uint8_t{0x83} : uint8_t{0x0B}, ext + cyl * kCyl + 63, kCyl - 63, 0});
    }
    layout.extendedStart = ext;
    layout.extendedCount = extCyls * kCyl;
    kwtest::MakeSparse(image, uint64_t{total} * 512);
    kwtest::WriteMbrLayout(image, layout);
    ASSERT_TRUE(kwtest::Run("mkfs.fat --offset 63 -F 16 -s 2 -n 'KW PARTS' -i 0BADCAFE " +
                            Quote(image) + " " + std::to_string((kCyl - 63) / 2)));

    // The label as the boot sector holds it, with a quote and a backslash.
    kwtest::WriteAt(image, 63 * 512 + 43, {'K', 'W', '"', 'P', 'A', 'R', 'T', 'S', '\\', ' ', ' '});
    std::filesystem::path listing = dir / "parts.json";
    ASSERT_TRUE(kwtest::Run("{ " + std::string(KW_KWFS) + " parts disk:" + Quote(image) + " >" +
                            Quote(listing) + "; }"));

    std::vector<std::string> want = SfdiskLines(image);
    ASSERT_EQ(want.size(), 24u);
    EXPECT_EQ(Select(listing, "select(.role != \"free\") | "
                              "\"\\(.start) \\(.sectors) \\(.type) \\(.role)\""),
              want);
    // Indexes count every record in order; the volume shows its kind, label
    // and serial.
    EXPECT_EQ(kwtest::Capture("jq -s '[.[].index] == [range(length)]' " + Quote(listing)),
              "true\n");
    EXPECT_EQ(Select(listing, "select(.start == 63) | \"\\(.kind) \\(.label) \\(.serial)\""),
              std::vector<std::string>{"fat KW\"PARTS\\ 0BADCAFE"});
    // Partition numbers count the partitions from 1, and are what disk:FILE:N
    // opens: the FAT volume's number lists its root.
    EXPECT_EQ(kwtest::Capture("jq -s '[.[] | select(.number != null) | .number] == "
                              "[range(1; 24)]' " +
                              Quote(listing)),
              "true\n");
    std::vector<std::string> fatNumber = Select(listing, "select(.start == 63) | .number");
    ASSERT_EQ(fatNumber, std::vector<std::string>{"1"});
    EXPECT_TRUE(kwtest::Run(std::string(KW_KWFS) + " ls disk:" + Quote(image) + ":" + fatNumber[0] +
                            " >/dev/null"));

    // The free records: the cylinder between the first two primaries, the
    // logical gap (one track left for its boot record) and the disk's tail.
    uint32_t gap = ext + 10 * kCyl;
    EXPECT_EQ(Select(listing, "select(.role == \"free\") | \"\\(.start) \\(.sectors)\""),
              (std::vector<std::string>{std::to_string(kCyl) + " " + std::to_string(kCyl),
                                        std::to_string(gap + 63) + " " + std::to_string(kCyl - 63),
                                        std::to_string(ext + extCyls * kCyl) + " " +
                                            std::to_string(3 * kCyl)}));
}

// Each refusal names the path that is no disk-image file.
TEST(KwfsParts, RefusesWhatIsNoDiskFile) {
    kwtest::TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    kwtest::MakeSparse(dir / "empty.img", 0);
    const struct {
        std::string source;
        std::string named;
    } cases[] = {
        {"part:" + (dir / "x.img").string(), ""},
        {"disk:" + (dir / "none.img").string(), (dir / "none.img").string() + ": "},
        {"disk:" + (dir / "folder").string(), (dir / "folder").string() + ": is a folder"},
        {"disk:" + (dir / "empty.img").string(), (dir / "empty.img").string() + ": holds less"},
        {"disk:", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::string out = kwtest::Capture(std::string(KW_KWFS) + " parts '" + c.source +
                                          "' 2>&1; echo \"exit $?\"");
        EXPECT_NE(out.find("kwfs: error"), std::string::npos) << out;
        EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
        EXPECT_NE(out.find(c.named), std::string::npos) << out;
    }
}
