// The HPFS bitmap loader over a volume held in memory and served through the
// disk library's read hook.
#include "engine/hpfs/hpfs_bitmaps.h"

#include "engine/disk/kwlib.h"
#include "kwbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

using namespace kw::hpfs;

namespace {

constexpr std::uint32_t kListSector = 20;
constexpr std::uint32_t kDirBandBitmap = 24;
constexpr std::uint32_t kFirstBitmap = 64;

// The volume behind the hook, the reads it answered and the sectors it refuses.
std::vector<std::uint8_t> gVolume;
std::vector<std::pair<std::uint32_t, std::uint32_t>> gReads;
std::set<std::uint32_t> gBadSectors;

kwRet ReadVolume(std::uint32_t sector, void* buffer, std::uint32_t count) {
    gReads.emplace_back(sector, count);
    for (std::uint32_t s = sector; s < sector + count; ++s)
        if (gBadSectors.count(s) != 0)
            return ERR_READ_FAULT;
    std::size_t at = std::size_t{sector} * 512, n = std::size_t{count} * 512;
    std::memset(buffer, 0, n);
    if (at < gVolume.size())
        std::memcpy(buffer, gVolume.data() + at, std::min(n, gVolume.size() - at));
    return KW_OK;
}

void Put32(std::uint32_t sector, std::uint32_t offset, std::uint32_t v) {
    kwbytes::StoreLe32(gVolume.data() + std::size_t{sector} * 512 + offset, v);
}

class HpfsLoader : public ::testing::Test {
protected:
    // A volume of `sectors` whose band bitmaps lie `spacing` sectors apart
    // from sector 64 on; the first 100 sectors of each band are free.
    void MakeVolume(std::uint32_t sectors, std::uint32_t claimed, std::uint32_t spacing = 4) {
        std::uint32_t bands = (sectors + kSectorsPerBand - 1) / kSectorsPerBand;
        gVolume.assign(std::size_t{kFirstBitmap + bands * spacing + 8} * 512, 0);
        gVolume[38] = 0x29;
        Put32(0, 32, claimed);
        Put32(0, 39, 0xCAFEF00D);
        std::memcpy(gVolume.data() + 43, "HPFSVOLUME ", 11);
        Put32(16, 16, claimed);
        Put32(16, 24, kListSector);
        Put32(16, 48, 400);
        Put32(16, 60, kDirBandBitmap);
        for (std::uint32_t b = 0; b < bands; ++b) {
            Put32(kListSector, 4 * b, kFirstBitmap + b * spacing);
            std::memset(gVolume.data() + std::size_t{kFirstBitmap + b * spacing} * 512, 0xFF,
                        100 / 8);
            gVolume[std::size_t{kFirstBitmap + b * spacing} * 512 + 12] = 0x0F; // 100 bits
        }
        gVolume[std::size_t{kDirBandBitmap} * 512] = 0x03; // 2 of 100 directory blocks used
        pi_.NumSects = sectors;
    }
    void SetUp() override {
        pi_.disk = kwGetImageDisk();
        pi_.ulFlags = PI_OPENABLE;
        kwSetKwiPhyRead(ReadVolume);
        kwSetUseKwiPhyRead(1);
        gReads.clear();
        gBadSectors.clear();
    }
    void TearDown() override {
        HpfsReleaseBitmaps();
        kwSetUseKwiPhyRead(0);
        kwSetKwiPhyRead(nullptr);
    }
    bool ReadOf(std::uint32_t sector, std::uint32_t count) const {
        for (const auto& r : gReads)
            if (r.first == sector && r.second == count)
                return true;
        return false;
    }

    PARTITION_INFO pi_;
};

TEST_F(HpfsLoader, OneBandVolume) {
    MakeVolume(16384, 16384);
    ASSERT_EQ(HpfsLoadBitmaps(&pi_), KW_OK);
    HPFS_BITMAPS_VIEW v = HpfsLoaded();
    EXPECT_EQ(v.bands, 1u);
    EXPECT_EQ(v.bandBitmaps.size(), kBandBitmapBytes);
    EXPECT_EQ(v.dirBandBitmap.size(), kBandBitmapBytes);
    EXPECT_TRUE(ReadOf(kListSector, 4)); // one list block of 4 sectors
    EXPECT_TRUE(ReadOf(kFirstBitmap, 4));
    EXPECT_EQ(HpfsBootSerial(), 0xCAFEF00Du);
    EXPECT_STREQ(HpfsBootLabel(), "HPFSVOLUME ");
}

TEST_F(HpfsLoader, ContiguousBitmapsInOneRequestOthersInRuns) {
    MakeVolume(3 * 16384, 3 * 16384);
    ASSERT_EQ(HpfsLoadBitmaps(&pi_), KW_OK);
    EXPECT_TRUE(ReadOf(kFirstBitmap, 12));
    MakeVolume(3 * 16384, 3 * 16384, 8); // gaps between the bitmaps
    gReads.clear();
    ASSERT_EQ(HpfsLoadBitmaps(&pi_), KW_OK);
    EXPECT_TRUE(ReadOf(kFirstBitmap, 4));
    EXPECT_TRUE(ReadOf(kFirstBitmap + 8, 4));
    EXPECT_TRUE(ReadOf(kFirstBitmap + 16, 4));
}

TEST_F(HpfsLoader, FailuresLeaveNothingLoaded) {
    struct Case {
        const char* what;
        std::uint32_t badSector; // 0: none
        std::uint32_t claimed, bootTotal;
        kwRet expected;
    };
    const Case cases[] = {
        {"superblock larger than the boot sector", 0, 40000, 30000, ERR_HPFS_SUPERBLOCK_SIZE},
        {"superblock unreadable", 16, 32768, 32768, ERR_HPFS_INIT},
        {"spare block unreadable", 17, 32768, 32768, ERR_HPFS_INIT},
        {"list unreadable", kListSector + 1, 32768, 32768, ERR_HPFS_INIT},
        {"bitmap unreadable", kFirstBitmap + 5, 32768, 32768, ERR_HPFS_INIT},
        {"directory-band bitmap unreadable", kDirBandBitmap, 32768, 32768, ERR_HPFS_INIT},
        {"boot sector unreadable", 0xFFFFFFFF, 32768, 32768, ERR_HPFS_INIT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeVolume(32768, c.claimed);
        Put32(0, 32, c.bootTotal);
        gBadSectors = {c.badSector == 0xFFFFFFFF ? 0u : c.badSector};
        if (c.badSector == 0)
            gBadSectors.clear();
        EXPECT_EQ(HpfsLoadBitmaps(&pi_), c.expected);
        EXPECT_EQ(HpfsLoaded().bands, 0u);
        EXPECT_TRUE(HpfsLoaded().bandBitmaps.empty());
    }
    MakeVolume(16384, 16384);
    gBadSectors.clear();
    gVolume[38] = 0x00;
    EXPECT_EQ(HpfsLoadBitmaps(&pi_), ERR_BAD_BOOT_SECTOR);
    EXPECT_EQ(HpfsLoadBitmaps(nullptr), ERR_BAD_POINTER);
}

// A superblock that claims 2^31 sectors on a small partition loads only the
// partition's bands; the claimed size never sizes an allocation.
TEST_F(HpfsLoader, ClaimedSizeIsCappedAtThePartition) {
    MakeVolume(40000, 0x80000000u);
    ASSERT_EQ(HpfsLoadBitmaps(&pi_), KW_OK);
    EXPECT_EQ(HpfsLoaded().bands, 3u);
    EXPECT_EQ(HpfsLoaded().sectorsOnVolume, 40000u);
}

TEST_F(HpfsLoader, EstimateOfFreeSectors) {
    MakeVolume(2 * 16384, 2 * 16384);
    std::uint32_t freeSects = 0;
    ASSERT_EQ(EstimateHpfsFree(&pi_, &freeSects), KW_OK);
    // 200 free sectors less the reserve of 32768 / 50.
    EXPECT_EQ(freeSects, 0u);
    MakeVolume(2 * 16384, 2 * 16384);
    std::memset(gVolume.data() + std::size_t{kFirstBitmap} * 512, 0xFF, 2048); // band 0 free
    ASSERT_EQ(EstimateHpfsFree(&pi_, &freeSects), KW_OK);
    EXPECT_EQ(freeSects, 16384u + 100u - 655u);
    EXPECT_EQ(pi_.ulLimitBase, (100u - 2u + 1u) * 22u);
}

} // namespace
