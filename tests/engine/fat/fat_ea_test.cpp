// The OS/2 extended-attribute file across a cluster-size change. Files
// built byte by byte on the host (header, handle table, attribute records)
// are put into mkfs.fat volumes with mcopy and re-laid by the engine; a
// parser of the test's own reads the result back through mtools, and
// fsck.fat checks the volume.
#include "engine/fat/fat_ea.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/support/recording_disk.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

namespace fs = std::filesystem;
using namespace kw::fat;

namespace {

const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";

// One attribute: its handle, the clusters allotted to it and its record's
// byte length (the record is length + 26 bytes).
struct Attr {
    uint32_t handle;
    uint32_t clusters;
    uint32_t length;
};

struct EaSpec {
    uint32_t clusterBytes;
    uint32_t base0; // clusters of header and table
    std::vector<Attr> attrs;
    uint32_t slack = 0; // clusters after the total
    uint32_t lag = 0;   // groups from 1 on start this far before their first handle
};

std::string Record(const Attr& a) {
    std::string r = kwtest::Bytes(a.length + 26, a.handle);
    kwbytes::StoreLe16(reinterpret_cast<uint8_t*>(r.data()) + 26, static_cast<uint16_t>(a.length));
    return r;
}

// The file's bytes: each group's base is its first used handle's location
// less the lag (the total when it has none).
std::string BuildEa(const EaSpec& spec) {
    std::vector<uint32_t> at;
    uint32_t next = spec.base0;
    for (const Attr& a : spec.attrs) {
        at.push_back(next);
        next += a.clusters;
    }
    uint32_t total = next;
    std::string file(size_t{total + spec.slack} * spec.clusterBytes, '\0');
    auto* d = reinterpret_cast<uint8_t*>(file.data());
    for (uint32_t g = 0; g < 240; ++g) {
        uint32_t base = g == 0 ? spec.base0 : total;
        for (size_t i = spec.attrs.size(); i-- > 0;)
            if (spec.attrs[i].handle / 128 >= g && g != 0)
                base = at[i] - spec.lag;
        kwbytes::StoreLe16(d + 32 + 2 * g, static_cast<uint16_t>(base));
    }
    std::fill(file.begin() + 512, file.begin() + size_t{spec.base0} * spec.clusterBytes, '\xFF');
    for (size_t i = 0; i < spec.attrs.size(); ++i) {
        const Attr& a = spec.attrs[i];
        uint32_t base = kwbytes::LoadLe16(d + 32 + 2 * (a.handle / 128));
        kwbytes::StoreLe16(d + 512 + 2 * a.handle, static_cast<uint16_t>(at[i] - base));
        std::string r = Record(a);
        file.replace(size_t{at[i]} * spec.clusterBytes, r.size(), r);
    }
    return file;
}

// What the test reads back: base 0, the total and each used handle's
// location, by the layout alone.
struct EaRead {
    uint32_t base0 = 0, total = 0;
    std::map<uint32_t, uint32_t> location;
};

EaRead ParseEa(const std::string& file, uint32_t clusterBytes) {
    const auto* d = reinterpret_cast<const uint8_t*>(file.data());
    EaRead r;
    r.base0 = kwbytes::LoadLe16(d + 32);
    r.total = kwbytes::LoadLe16(d + 510);
    size_t tableEnd = std::min(file.size(), size_t{r.base0} * clusterBytes);
    for (uint32_t h = 0; 512 + 2 * h + 2 <= tableEnd && h < 239 * 128; ++h) {
        uint16_t e = kwbytes::LoadLe16(d + 512 + 2 * h);
        if (e != 0xFFFF)
            r.location[h] = kwbytes::LoadLe16(d + 32 + 2 * (h / 128)) + e;
    }
    return r;
}

uint32_t Up(uint32_t v, uint32_t k) {
    return (v + k - 1) / k;
}

class FatEa : public kwtest::FatVolumeTest {
protected:
    // A FAT12 volume with `spc` sectors per cluster, some files around, and the
    // EA file (8.3 name EADATA.SF).
    fs::path MakeVolume(int spc, const std::string& ea) {
        fs::path image = kwtest::MakeFatVolume(dir_, "vol.img", 12, 2048, spc);
        fs::path host = dir_ / "host";
        fs::create_directories(host);
        kwtest::WriteHost(host / "BEFORE.BIN", kwtest::Bytes(7000, 1));
        kwtest::WriteHost(host / "EADATA.SF", ea);
        kwtest::WriteHost(host / "AFTER.BIN", kwtest::Bytes(9000, 2));
        for (const char* f : {"BEFORE.BIN", "EADATA.SF", "AFTER.BIN"})
            EXPECT_TRUE(kwtest::Run(kEnv + "mcopy -i " + kwtest::Quote(image) + " " +
                                    kwtest::Quote(host / f) + " ::"));
        return image;
    }
    std::string ReadEa(const fs::path& image) const {
        return kwtest::Capture(kEnv + "mtype -i " + kwtest::Quote(image) + " ::EADATA.SF");
    }
    // Every record the layout lists lies at its location, counted in clusters of clusterBytes.
    void ExpectRecords(const std::string& file, const EaSpec& spec, uint32_t clusterBytes) {
        EaRead r = ParseEa(file, clusterBytes);
        EXPECT_EQ(r.location.size(), spec.attrs.size());
        for (const Attr& a : spec.attrs) {
            SCOPED_TRACE("handle " + std::to_string(a.handle));
            ASSERT_TRUE(r.location.count(a.handle));
            size_t at = size_t{r.location[a.handle]} * clusterBytes;
            std::string want = Record(a);
            ASSERT_LE(at + want.size(), file.size());
            EXPECT_TRUE(file.compare(at, want.size(), want) == 0);
        }
    }
};

// Handles in two groups, allotments of 1 to 5 clusters (each record fits
// clusters of 512 bytes), slack after the total.
EaSpec Sample(uint32_t clusterBytes, uint32_t lag = 0) {
    return EaSpec{
        clusterBytes,
        3,
        {{0, 1, 40}, {1, 3, 1000}, {5, 2, 600}, {127, 1, 10}, {130, 5, 2000}, {200, 2, 60}},
        2,
        lag};
}

// Larger clusters: the header, the table and every attribute fill whole
// new clusters; the records keep their bytes at their new locations. A
// group's base that is no whole new cluster (lag) still gives each handle
// its location: bases and entries are not divided apart.
TEST_F(FatEa, ConvertsToLargerClusters) {
    for (auto [k, lag] : {std::pair{2u, 0u}, std::pair{4u, 1u}, std::pair{2u, 1u}}) {
        SCOPED_TRACE("factor " + std::to_string(k) + " lag " + std::to_string(lag));
        EaSpec spec = Sample(512, lag);
        fs::path image = MakeVolume(1, BuildEa(spec));
        std::string before = kwtest::Mtype(image, "BEFORE.BIN");
        OpenVolume(image, true);
        ASSERT_EQ(ConvertEaFile(fat_, "EADATA.SF", k), KW_OK);
        CloseVolume();
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
        std::string file = ReadEa(image);
        EaRead r = ParseEa(file, 512 * k);
        uint32_t expect = Up(spec.base0, k);
        EXPECT_EQ(r.base0, expect);
        for (const Attr& a : spec.attrs) {
            EXPECT_EQ(r.location[a.handle], expect) << a.handle;
            expect += Up(a.clusters, k);
        }
        EXPECT_EQ(r.total, expect);
        EXPECT_GE(file.size(), size_t{expect} * 512 * k);
        ExpectRecords(file, spec, 512 * k);
        // The table's new room reads as unused handles.
        EXPECT_EQ(file.substr(3 * 512, 512), std::string(512, '\xFF'));
        EXPECT_EQ(kwtest::Mtype(image, "BEFORE.BIN"), before);
        fs::remove(image);
    }
}

// Smaller clusters: the same bytes, every location in k times the clusters.
TEST_F(FatEa, ConvertsToSmallerClusters) {
    EaSpec spec = Sample(2048);
    std::string built = BuildEa(spec);
    fs::path image = MakeVolume(4, built);
    OpenVolume(image, true);
    ASSERT_EQ(ConvertEaFile(fat_, "EADATA.SF", 1), KW_OK);
    CloseVolume();
    EXPECT_TRUE(kwtest::FsckClean(image));
    std::string file = ReadEa(image);
    EaRead was = ParseEa(built, 2048), now = ParseEa(file, 512);
    EXPECT_EQ(now.base0, was.base0 * 4);
    EXPECT_EQ(now.total, was.total * 4);
    for (auto [h, at] : was.location)
        EXPECT_EQ(now.location[h], at * 4) << h;
    ExpectRecords(file, spec, 512);
    // Only the header and the table changed.
    EXPECT_TRUE(file.compare(3 * 2048, std::string::npos, built, 3 * 2048) == 0);
}

// After the rewrite: each attribute keeps what its record needs, the
// surplus clusters are free, the later locations close up.
TEST_F(FatEa, TrimFreesSurplusClusters) {
    EaSpec spec = Sample(1024);
    fs::path image = MakeVolume(2, BuildEa(spec));
    OpenVolume(image, true);
    uint32_t freeBefore = fat_->GetFat()->CountFreeClusters();
    ASSERT_EQ(TrimEaFile(fat_, "EADATA.SF"), KW_OK);
    uint32_t surplus = 0, expect = spec.base0;
    std::map<uint32_t, uint32_t> want;
    for (const Attr& a : spec.attrs) {
        uint32_t needed = Up(a.length + 26, 1024);
        surplus += a.clusters - needed;
        want[a.handle] = expect;
        expect += needed;
    }
    EXPECT_GT(surplus, 0u);
    EXPECT_EQ(fat_->GetFat()->CountFreeClusters(), freeBefore + surplus);
    CloseVolume();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    std::string file = ReadEa(image);
    EaRead r = ParseEa(file, 1024);
    EXPECT_EQ(r.location, want);
    EXPECT_EQ(r.total, expect);
    ExpectRecords(file, spec, 1024);
    // A second trim finds nothing more to free and writes nothing.
    std::vector<kwtest::DiskEvent> log;
    OpenRecorded(image, &log);
    EXPECT_EQ(TrimEaFile(fat_, "EADATA.SF"), KW_OK);
    EXPECT_TRUE(log.empty());
}

// Smaller clusters whose locations no longer fit 16 bits: refused before
// any write (a 33 MB file of 1 KiB clusters to 512 bytes).
TEST_F(FatEa, SplitThatOverflowsIsRefused) {
    EaSpec spec{1024, 1, {{0, 33000, 10}}, 0};
    fs::path image = kwtest::MakeFatVolume(dir_, "big.img", 16, 65536, 2);
    kwtest::WriteHost(dir_ / "EADATA.SF", BuildEa(spec));
    ASSERT_TRUE(kwtest::Run(kEnv + "mcopy -i " + kwtest::Quote(image) + " " +
                            kwtest::Quote(dir_ / "EADATA.SF") + " ::"));
    std::vector<kwtest::DiskEvent> log;
    OpenRecorded(image, &log);
    EXPECT_EQ(ConvertEaFile(fat_, "EADATA.SF", 1), ERR_FAT_INVALID_PARAMETERS);
    EXPECT_TRUE(log.empty());
}

// A header or table that does not describe the file: 2024 from both, and
// not a byte written.
TEST_F(FatEa, CorruptFilesAreRefusedBeforeAnyWrite) {
    const uint32_t cb = 512;
    auto word = [](std::string& f, size_t at, uint16_t v) {
        kwbytes::StoreLe16(reinterpret_cast<uint8_t*>(f.data()) + at, v);
    };
    struct Case {
        const char* what;
        std::function<void(std::string&)> spoil;
    } cases[] = {
        {"base 0 is 0", [&](std::string& f) { word(f, 32, 0); }},
        {"base 0 past the file", [&](std::string& f) { word(f, 32, 400); }},
        {"total below base 0", [&](std::string& f) { word(f, 510, 2); }},
        {"total past the file", [&](std::string& f) { word(f, 510, 300); }},
        {"a handle inside the header", [&](std::string& f) { word(f, 32 + 2, 0); }},
        {"a handle past the total", [&](std::string& f) { word(f, 512 + 2 * 5, 200); }},
        {"handles out of order", [&](std::string& f) { word(f, 512 + 2 * 1, 6); }},
        {"an empty file", [&](std::string& f) { f.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string ea = BuildEa(Sample(cb));
        c.spoil(ea);
        fs::path image = MakeVolume(1, ea);
        std::string pristine = kwtest::ReadHost(image);
        std::vector<kwtest::DiskEvent> log;
        OpenRecorded(image, &log);
        EXPECT_EQ(ConvertEaFile(fat_, "EADATA.SF", 4), ERR_FAT_EA_CORRUPT);
        EXPECT_EQ(TrimEaFile(fat_, "EADATA.SF"), ERR_FAT_EA_CORRUPT);
        EXPECT_TRUE(log.empty()) << log.size() << " writes";
        CloseVolume();
        EXPECT_EQ(kwtest::ReadHost(image), pristine);
        fs::remove(image);
    }
}

// The file by its own name, whose 8.3 form has blanks inside ("EA DATA"
// and " SF"), which mcopy does not write: the entry is renamed in the image.
TEST_F(FatEa, FindsTheFileByItsOwnName) {
    EaSpec spec = Sample(512);
    fs::path image = MakeVolume(1, BuildEa(spec));
    std::string bytes = kwtest::ReadHost(image);
    size_t at = bytes.find("EADATA  SF ");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 11, "EA DATA  SF");
    kwtest::WriteHost(image, bytes);
    OpenVolume(image, true);
    ASSERT_EQ(ConvertEaFile(fat_, "EA DATA. SF", 2), KW_OK);
    EXPECT_EQ(TrimEaFile(fat_, "EA DATA. SF"), KW_OK);
    EXPECT_EQ(ConvertEaFile(fat_, "EA DATA.SF", 2), ERR_FILE_NOT_FOUND);
}

// Cut after each write of a re-lay or a trim (also with the writes between
// two flushes reordered): the other files read back whole, and the volume
// is clean or holds only what fsck.fat -a puts right without touching them
// (no cluster is ever in two chains).
TEST_F(FatEa, CutAtAnyWriteKeepsTheOtherFiles) {
    struct Case {
        const char* what;
        std::function<kwRet(FAT_FILESYSTEM*)> run;
    } cases[] = {
        {"larger clusters", [](FAT_FILESYSTEM* f) { return ConvertEaFile(f, "EADATA.SF", 4); }},
        {"trim", [](FAT_FILESYSTEM* f) { return TrimEaFile(f, "EADATA.SF"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path image = MakeVolume(1, BuildEa(Sample(512)));
        std::string base = kwtest::ReadHost(image);
        std::string before = kwtest::Mtype(image, "BEFORE.BIN") + kwtest::Mtype(image, "AFTER.BIN");
        std::vector<kwtest::DiskEvent> log;
        OpenRecorded(image, &log);
        ASSERT_EQ(c.run(fat_), KW_OK);
        CloseVolume();
        fs::path cut = dir_ / "cut.img";
        auto check = [&] {
            std::string report;
            if (!kwtest::FsckClean(cut, &report)) {
                EXPECT_EQ(report.find("ross-linked"), std::string::npos) << report;
                kwtest::Capture("fsck.fat -a " + kwtest::Quote(cut) + " 2>&1");
                EXPECT_TRUE(kwtest::FsckClean(cut, &report)) << report;
            }
            EXPECT_EQ(kwtest::Mtype(cut, "BEFORE.BIN") + kwtest::Mtype(cut, "AFTER.BIN"), before);
        };
        size_t writes = kwtest::ForEachCutImage(base, log, cut, check);
        kwtest::ForEachReorderedCutImage(base, log, cut, check);
        EXPECT_GT(writes, 5u);
        fs::remove(image);
    }
}

} // namespace
