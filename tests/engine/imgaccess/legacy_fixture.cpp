#include "tests/engine/imgaccess/legacy_fixture.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "kwbytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

namespace kw::imgaccess::test {

namespace {

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

bool Stored(const LegacyPartition& p, uint32_t block) {
    return block < p.blockCount && (p.bitmap[block / 8] >> (block % 8) & 1) != 0;
}

} // namespace

LegacyVolume MakeLegacyVolume(const TempFolder& folder) {
    LegacyVolume v;
    v.rawPath = folder.File("legacy_fat16.img");
    Run("mkfs.fat -F 16 -C " + v.rawPath + " 16384");
    std::mt19937 rng(17);
    for (int n = 0; n < 8; ++n) {
        std::vector<uint8_t> bytes(size_t(40000) * (n + 1));
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = n % 2 != 0 ? uint8_t(rng()) : uint8_t("older image text, line "[i % 23]);
        const std::string name = "FILE" + std::to_string(n) + ".BIN";
        kwv::test::PutFileBytes(folder.File(name), bytes);
        Run("mcopy -i " + v.rawPath + " " + folder.File(name) + " ::/" + name);
        v.names.push_back(name);
        v.contents.push_back(std::move(bytes));
    }
    v.raw = kwv::test::FileBytes(v.rawPath);
    return v;
}

// Sectors of the FAT volume's boot area, FATs and root folder, which an
// imaging program stores whatever they hold.
static uint32_t MetadataSectors(const std::vector<uint8_t>& raw) {
    const uint32_t reserved = kwbytes::LoadLe16(raw.data() + 14);
    const uint32_t fats = raw[16];
    const uint32_t rootEntries = kwbytes::LoadLe16(raw.data() + 17);
    const uint32_t fatSectors = kwbytes::LoadLe16(raw.data() + 22);
    return reserved + fats * fatSectors + (rootEntries * 32 + 511) / 512;
}

LegacyPartition LegacyPart(const LegacyVolume& volume, uint32_t sectorsPerBlock, uint32_t code,
                           uint32_t passwordValue, size_t codeBlockBytes) {
    LegacyPartition p = kw::legacy::testing::partitionFromRaw(volume.raw, sectorsPerBlock,
                                                              MetadataSectors(volume.raw));
    p.code = code;
    p.passwordValue = passwordValue;
    if (codeBlockBytes != 0)
        p.blockSize = codeBlockBytes;
    return p;
}

void LegacyVolumeTest::SetUpTestSuite() {
    folder_ = new TempFolder;
    volume_ = new LegacyVolume(MakeLegacyVolume(*folder_));
}

void LegacyVolumeTest::TearDownTestSuite() {
    delete volume_;
    delete folder_;
    volume_ = nullptr;
    folder_ = nullptr;
}

std::string LegacyVolumeTest::Write(const std::vector<LegacyPartition>& parts,
                                    uint64_t volumeLimit) {
    static int made = 0;
    LegacyImage image;
    image.volumeLimit = volumeLimit;
    const std::string path = folder_->File("img" + std::to_string(++made) + ".kwi");
    kw::legacy::testing::writeLegacyImage(path, image, parts);
    return path;
}

uint32_t LastStoredSector(const LegacyPartition& part) {
    uint32_t last = 0;
    for (uint32_t b = 0; b < part.blockCount; ++b)
        last = Stored(part, b) ? b : last;
    return last * part.sectorsPerBlock;
}

IMAGE_ACCESS* OpenImage(const std::string& path, const std::string& changeFile,
                        UiCallback* callback) {
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), changeFile.c_str(), callback, &code);
    EXPECT_EQ(code, 0u) << path;
    return static_cast<IMAGE_ACCESS*>(image);
}

kwRet ReadThroughHook(IMAGE_ACCESS* image, uint32_t index, uint32_t sector, uint32_t count,
                      uint8_t* out) {
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    kwRet rc = image->ResolvePath(("\\Partition" + std::to_string(index)).c_str(), &access, &rest);
    CURRENT_PART_SCOPE current(access);
    kwhandle handle = 0;
    if (rc == KW_OK)
        rc = kwLogOpen(access->GetPI(), &handle);
    if (rc != KW_OK)
        return rc;
    rc = kwLogRead(handle, sector, out, count);
    kwLogClose(handle);
    return rc;
}

void ExpectEverySectorInRandomOrder(IMAGE_ACCESS* image, uint32_t index,
                                    const LegacyPartition& part, const std::vector<uint8_t>& raw,
                                    uint32_t seed) {
    const uint32_t spb = part.sectorsPerBlock;
    const size_t blockBytes = size_t(spb) * 512;
    std::vector<uint32_t> blocks(part.blockCount);
    for (uint32_t b = 0; b < part.blockCount; ++b)
        blocks[b] = b;
    std::mt19937 rng(seed);
    std::shuffle(blocks.begin(), blocks.end(), rng);
    uint32_t last = 0;
    for (uint32_t b = 0; b < part.blockCount; ++b)
        last = Stored(part, b) ? b : last;
    std::vector<uint8_t> buffer(300 * 512);
    for (uint32_t b : blocks) {
        const kwRet rc = ReadThroughHook(image, index, b * spb, spb, buffer.data());
        if (!Stored(part, b)) {
            ASSERT_EQ(rc, b > last ? ERR_OUT_OF_RANGE : ERR_FILE_SHORT_READ) << "block " << b;
            continue;
        }
        ASSERT_EQ(rc, KW_OK) << "block " << b;
        ASSERT_EQ(std::memcmp(buffer.data(), raw.data() + b * blockBytes, blockBytes), 0)
            << "block " << b;
    }
    // Runs of stored sectors, long enough to cross the ends of decoded pieces.
    for (int n = 0; n < 60; ++n) {
        uint32_t first = blocks[rng() % blocks.size()];
        if (!Stored(part, first))
            continue;
        const uint32_t sector = first * spb + uint32_t(rng() % spb);
        uint32_t count = 1 + uint32_t(rng() % 300);
        for (uint32_t s = sector; s < sector + count; ++s) {
            if (!Stored(part, s / spb) || size_t(s + 1) * 512 > raw.size()) {
                count = s - sector;
                break;
            }
        }
        if (count == 0)
            continue;
        ASSERT_EQ(ReadThroughHook(image, index, sector, count, buffer.data()), KW_OK)
            << sector << "+" << count;
        ASSERT_EQ(
            std::memcmp(buffer.data(), raw.data() + size_t(sector) * 512, size_t(count) * 512), 0)
            << sector << "+" << count;
    }
}

} // namespace kw::imgaccess::test
