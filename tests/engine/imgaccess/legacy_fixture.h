// Fixtures of the older-format image-access tests: a FAT volume made with
// mkfs.fat and filled by mcopy, stored by the test-only older-format writer,
// and its sectors read back through the disk library's read hook.
#pragma once

#include "engine/imgaccess/image_access.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kw::imgaccess::test {

using kw::legacy::testing::LegacyImage;
using kw::legacy::testing::LegacyPartition;

// A 16 MiB FAT16 volume holding text and noise files (about 1.5 MiB), the
// host copies of those files and the volume's raw bytes.
struct LegacyVolume {
    std::string rawPath;
    std::vector<uint8_t> raw;
    std::vector<std::string> names; // in the volume's root
    std::vector<std::vector<uint8_t>> contents;
};
LegacyVolume MakeLegacyVolume(const TempFolder& folder);

// The volume as a partition of the older format.
LegacyPartition LegacyPart(const LegacyVolume& volume, uint32_t sectorsPerBlock, uint32_t code,
                           uint32_t passwordValue, size_t codeBlockBytes);

// Tests over one FAT volume made for the whole suite.
class LegacyVolumeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // An image of the partitions in a new file of the suite's folder.
    static std::string Write(const std::vector<LegacyPartition>& parts, uint64_t volumeLimit = 0);

    static inline TempFolder* folder_ = nullptr;
    static inline LegacyVolume* volume_ = nullptr;
};

// The first sector of the partition's last stored block.
uint32_t LastStoredSector(const LegacyPartition& part);

// The image access of path, opened with `callback`; fails the test when the
// open fails.
IMAGE_ACCESS* OpenImage(const std::string& path, const std::string& changeFile,
                        UiCallback* callback);

// Reads `count` sectors from `sector` through the read hook, as a file system
// of partition `index` would.
kwRet ReadThroughHook(IMAGE_ACCESS* image, uint32_t index, uint32_t sector, uint32_t count,
                      uint8_t* out);

// Reads every stored block in random order, then random runs of up to 300
// sectors (across piece ends), each compared with the raw volume; unstored
// blocks must give 305 and the sector past the limit 56.
void ExpectEverySectorInRandomOrder(IMAGE_ACCESS* image, uint32_t index,
                                    const LegacyPartition& part, const std::vector<uint8_t>& raw,
                                    uint32_t seed);

} // namespace kw::imgaccess::test
