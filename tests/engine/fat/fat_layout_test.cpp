// FAT layouts computed by the engine against what mkfs.fat chooses for the
// same size, cluster size, reserved area and root, and against fsck.fat for
// volumes written with the engine's layout.
#include "engine/fat/fat_layout.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/empty_volume.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using namespace kw::fat;
using kwtest::Quote;

namespace {

// What mkfs.fat wrote, read with our own few lines (no engine code).
struct ToolLayout {
    uint32_t reserved = 0, fats = 0, rootEntries = 0, total = 0, spf = 0, spc = 0;
    uint32_t FirstData() const { return reserved + fats * spf + (rootEntries * 32 + 511) / 512; }
    uint32_t Clusters() const { return (total - FirstData()) / spc; }
};

ToolLayout ReadTool(const fs::path& image) {
    std::vector<uint8_t> s = kwtest::ReadAt(image, 0, 512);
    ToolLayout t;
    t.spc = s[13];
    t.reserved = kwbytes::LoadLe16(s, 14);
    t.fats = s[16];
    t.rootEntries = kwbytes::LoadLe16(s, 17);
    t.total = kwbytes::LoadLe16(s, 19);
    if (t.total == 0)
        t.total = kwbytes::LoadLe32(s, 32);
    t.spf = kwbytes::LoadLe16(s, 22);
    if (t.spf == 0)
        t.spf = kwbytes::LoadLe32(s, 36);
    return t;
}

struct LayoutCase {
    int bits;
    uint32_t kib;
    uint32_t spc;
};

// Sizes across each kind's range, small and large clusters.
const LayoutCase kCases[] = {
    {12, 360, 1},      {12, 1440, 1},      {12, 2000, 1},    {12, 4000, 2},    {12, 8000, 4},
    {12, 16000, 8},    {12, 1000, 2},      {16, 4096, 1},    {16, 16384, 1},   {16, 20000, 1},
    {16, 32000, 1},    {16, 65536, 2},     {16, 100000, 4},  {16, 262144, 8},  {16, 524288, 16},
    {16, 1048576, 32}, {16, 2000000, 64},  {16, 8192, 2},    {16, 300000, 16}, {32, 66000, 1},
    {32, 262144, 1},   {32, 300000, 2},    {32, 1048576, 8}, {32, 2097152, 8}, {32, 4194304, 16},
    {32, 8388608, 32}, {32, 16000000, 64},
};

// The tool's layout for a case; false when the tool refuses the combination.
bool MakeWithTool(const kwtest::TempDir& dir, const LayoutCase& c, ToolLayout* out) {
    fs::path image = dir / ("v" + std::to_string(c.bits) + "_" + std::to_string(c.kib) + "_" +
                            std::to_string(c.spc));
    std::string cmd = "mkfs.fat -C -a -S 512 -f 2 -F " + std::to_string(c.bits) + " -s " +
                      std::to_string(c.spc) + " " + Quote(image) + " " + std::to_string(c.kib) +
                      " >/dev/null 2>&1";
    if (!kwtest::Run(cmd))
        return false;
    *out = ReadTool(image);
    fs::remove(image);
    return true;
}

FAT_LAYOUT_PLAN PlanOf(const ToolLayout& t, bool fat32) {
    FAT_LAYOUT_PLAN p;
    p.reservedSectors = t.reserved;
    p.totalSectors = t.total;
    p.sectorsPerCluster = t.spc;
    p.fatCount = t.fats;
    p.rootEntries = t.rootEntries;
    p.fat32 = fat32;
    return p;
}

// Where the rules differ, the difference is stated here:
// - FAT32: one FAT copy holds a spare sector beyond its entries, so each
//   copy is one sector longer than mkfs.fat's and the data area starts
//   `fats` sectors later (a cluster or two fewer).
// - The layout's total is what its areas use: the sectors after the last
//   whole cluster are left out of it (mkfs.fat counts them in the total).
TEST(FatLayout, AgreesWithMkfsFat) {
    kwtest::TempDir dir;
    for (const LayoutCase& c : kCases) {
        SCOPED_TRACE(std::to_string(c.bits) + "/" + std::to_string(c.kib) + "/" +
                     std::to_string(c.spc));
        ToolLayout t;
        ASSERT_TRUE(MakeWithTool(dir, c, &t));
        FAT_LAYOUT l;
        ComputeLayout(PlanOf(t, c.bits == 32), &l);
        EXPECT_EQ(l.reservedSectors, t.reserved);
        EXPECT_EQ(l.rootEntries, c.bits == 32 ? 0 : t.rootEntries);
        uint32_t spare = c.bits == 32 ? 1 : 0;
        EXPECT_EQ(l.sectorsPerFat, t.spf + spare);
        EXPECT_EQ(l.firstDataSector, t.FirstData() + spare * t.fats);
        EXPECT_EQ(l.clusters, (t.total - l.firstDataSector) / t.spc);
        EXPECT_EQ(l.totalSectors, l.firstDataSector + l.clusters * t.spc);
        EXPECT_LE(t.total - l.totalSectors, t.spc - 1);
    }
}

struct BuildCase {
    uint32_t total, spc, rootEntries;
    bool fat32;
    uint8_t kind;
};

// Layouts across the kinds and at their edges; each volume passes fsck.fat.
TEST(FatLayout, BuiltVolumesPassFsck) {
    const BuildCase cases[] = {
        {2880, 1, 224, false, FAT_KIND_12},      {8000, 2, 512, false, FAT_KIND_12},
        {4140, 1, 512, false, FAT_KIND_12},      {4160, 1, 512, false, FAT_KIND_16},
        {100000, 4, 1024, false, FAT_KIND_16},   {1048576, 16, 512, false, FAT_KIND_16},
        {140000, 1, 0, true, FAT_KIND_32},       {4194304, 8, 512, true, FAT_KIND_32},
        {2000000, 128, 512, false, FAT_KIND_16},
    };
    kwtest::TempDir dir;
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + "/" + std::to_string(c.spc));
        FAT_LAYOUT_PLAN plan;
        plan.totalSectors = c.total;
        plan.sectorsPerCluster = c.spc;
        plan.rootEntries = c.rootEntries;
        plan.fat32 = c.fat32;
        FAT_BOOT_RECORD boot;
        boot.serial = 0x1234ABCD;
        FAT_LAYOUT l;
        ASSERT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK);
        EXPECT_EQ(boot.fatKind, c.kind);
        fs::path image = dir / ("built" + std::to_string(c.total) + "_" + std::to_string(c.spc));
        kwtest::WriteEmptyFatVolume(image, boot, c.total);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
        // Our own reader takes it as the same layout.
        FAT_BOOT_RECORD back;
        std::vector<uint8_t> s = kwtest::ReadAt(image, 0, 512);
        ASSERT_EQ(back.Parse(s, c.total), KW_OK);
        EXPECT_EQ(back.clusterCount, boot.clusterCount);
        EXPECT_EQ(back.fatKind, boot.fatKind);
        EXPECT_EQ(back.FirstDataSector(), l.firstDataSector);
    }
}

// Near the FAT12/16 threshold every layout's FAT holds entries of the kind
// its cluster count gives it, and no FAT12 layout has 4,085 clusters.
TEST(FatLayout, KindFollowsClusterCountAtTheThreshold) {
    for (uint32_t total = 4000; total < 4400; ++total) {
        FAT_LAYOUT_PLAN plan;
        plan.totalSectors = total;
        FAT_BOOT_RECORD boot;
        FAT_LAYOUT l;
        ASSERT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK) << total;
        uint32_t need = boot.fatKind == FAT_KIND_12 ? (boot.clusterCount + 2) * 3 / 2 + 1
                                                    : (boot.clusterCount + 2) * 2;
        EXPECT_EQ(boot.fatKind, boot.clusterCount <= FAT12_MAX_CLUSTERS ? FAT_KIND_12 : FAT_KIND_16)
            << total;
        EXPECT_GE(boot.sectorsPerFat * 512, need) << total;
        EXPECT_LE(l.totalSectors, total);
    }
}

TEST(FatLayout, RootAndClusterLimits) {
    FAT_LAYOUT_PLAN plan;
    plan.totalSectors = 200000;
    plan.sectorsPerCluster = 4;
    FAT_BOOT_RECORD boot;
    plan.rootEntries = 1000;
    EXPECT_EQ(BuildBootRecord(&boot, plan), KW_OK);
    EXPECT_EQ(boot.rootEntries, 1008); // whole sectors
    plan.rootEntries = 2000;
    EXPECT_EQ(BuildBootRecord(&boot, plan), ERR_FAT_TOO_MANY_ROOT_ENTRIES);
    plan.rootEntries = 100;
    EXPECT_EQ(BuildBootRecord(&boot, plan), KW_OK);
    EXPECT_EQ(boot.rootEntries, 512);

    // FAT32 records no root entries whatever was asked.
    plan.fat32 = true;
    plan.totalSectors = 600000;
    plan.sectorsPerCluster = 1;
    plan.rootEntries = 1024;
    FAT_LAYOUT l;
    EXPECT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK);
    EXPECT_EQ(boot.rootEntries, 0);
    EXPECT_EQ(l.rootSectors, 0u);
    // Too few clusters for FAT32.
    plan.totalSectors = 60000;
    EXPECT_EQ(BuildBootRecord(&boot, plan), ERR_FAT_INVALID_PARAMETERS);
    // 64-sector clusters reach 8M clusters, others stop at 2M.
    plan.totalSectors = 64u * 6000000;
    plan.sectorsPerCluster = 64;
    EXPECT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK);
    EXPECT_GT(l.clusters, kFat32MaxClusters);
    plan.sectorsPerCluster = 32;
    EXPECT_EQ(BuildBootRecord(&boot, plan), ERR_FAT_INVALID_PARAMETERS);
    // FAT16 holds at most 65,524 clusters: a larger area leaves sectors out.
    plan.fat32 = false;
    plan.sectorsPerCluster = 1;
    plan.totalSectors = 200000;
    plan.rootEntries = 512;
    EXPECT_EQ(BuildBootRecord(&boot, plan, &l), KW_OK);
    EXPECT_EQ(l.clusters, FAT16_MAX_CLUSTERS);
}

TEST(FatLayout, SpareSectorsGoWhereTheKindKeepsThem) {
    // FAT32 with a cluster grid to keep: the FATs fill the gap, the
    // reserved area takes what does not divide.
    FAT_LAYOUT_PLAN plan;
    plan.fat32 = true;
    plan.totalSectors = 1000000;
    plan.sectorsPerCluster = 8;
    plan.alignTarget = 3;
    FAT_LAYOUT l;
    ComputeLayout(plan, &l);
    EXPECT_EQ(l.rootSectors, 0u);
    EXPECT_EQ((l.firstDataSector - plan.alignTarget) % 8, 0u);
    EXPECT_EQ(l.reservedSectors + 2 * l.sectorsPerFat, l.firstDataSector);
    EXPECT_GE(MaxClustersOfFat(l.sectorsPerFat, 512, true, 0), l.clusters);

    // FAT16 whose copies would pass 255 sectors: the rest goes to the root.
    plan.fat32 = false;
    plan.totalSectors = 65000 * 2 + 600;
    plan.sectorsPerCluster = 2;
    plan.alignTarget = 1;
    ComputeLayout(plan, &l);
    EXPECT_LE(l.sectorsPerFat, 256u);
    EXPECT_GE(l.rootSectors, 32u);
    EXPECT_EQ(l.rootEntries, l.rootSectors * 16);
    EXPECT_EQ((l.firstDataSector - 1) % 2, 0u);
    EXPECT_EQ(l.reservedSectors + 2 * l.sectorsPerFat + l.rootSectors, l.firstDataSector);
}

TEST(FatLayout, AlignGapAndFatSizes) {
    EXPECT_EQ(AlignGap(10, 10, 8), 0u);
    EXPECT_EQ(AlignGap(10, 13, 8), 5u);
    EXPECT_EQ(AlignGap(10, 7, 8), 3u);
    EXPECT_EQ(AlignGap(10, 13, 0), 0u);
    EXPECT_EQ(SectorsPerFat(4084, 512, false), 12u);
    EXPECT_EQ(SectorsPerFat(4085, 512, false), 16u);
    EXPECT_EQ(SectorsPerFat(65524, 512, false), 256u);
    EXPECT_EQ(SectorsPerFat(126, 512, true), 2u);
    EXPECT_EQ(MaxClustersOfFat(12, 512, false, 1), 4084u);
    EXPECT_EQ(MaxClustersOfFat(256, 512, false, 1), 65524u);
    EXPECT_EQ(MaxClustersOfFat(16384, 512, true, 8), 0x1FFFFEu);
}

} // namespace
