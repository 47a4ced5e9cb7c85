// Small images for the editor's tests, written through the image library:
// parts with chosen record values and blocks of mixed bytes, no file system.
#pragma once

#include "kwvaults.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kw::test {

struct FixturePart {
    std::string name;
    std::string description;
    uint32_t driveLetter = 'C';
    uint32_t flags = 0; // 0x04 logical
    uint32_t partitionType = 0x06;
    uint32_t fsKind = 1;
    uint32_t sectorsPerBlock = 8;
    uint32_t blocks = 16;
    uint32_t usedBlocks = 8; // the first ones are stored
    // The record's used-block count, and the blocks stored, when they should
    // differ from the bitmap's usedBlocks (a part whose bitmap disagrees with
    // its record); ~0 keeps usedBlocks.
    uint32_t recordedUsed = ~0u;
};

struct FixtureImage {
    std::string description;
    uint32_t createFlags = 0; // KW_CREATE_FLAGS
    std::u16string password;
    uint32_t volumeLimit = 0; // bytes per file; 0 the library's default
    std::vector<FixturePart> parts;
};

// Writes the image at hostPath; 0 or the library's first error.
int32_t WriteFixtureImage(const std::string& hostPath, const FixtureImage& image);

// Stores each raw volume (a file of whole 4 KiB blocks) as a partition of a
// new image at hostPath, every block kept: NTFS type and kind when its boot
// sector says NTFS, else FAT16; drive letters from
// 'E' on, named by `names`. 0 or the library's first error.
int32_t StoreRawVolumes(const std::string& hostPath, const std::vector<std::string>& rawPaths,
                        const std::vector<std::string>& names, const std::u16string& password);

// The image opened for reading (one reference for the caller); null on
// failure. password answers the library's question when the image has one.
PART_STORE* OpenFixtureImage(const std::string& hostPath, const std::u16string& password = {});

// Stores a raw FAT16 volume file as the one partition of a new image at
// imagePath (drive E:, named "SYSTEM", every block kept); 0 or the library's
// first error.
int32_t StoreVolume(const std::string& rawPath, const std::string& imagePath,
                    const std::u16string& password);

// Writes the files the volumes of the tests are filled from into folder:
// "ten.bin" (10000 bytes) and "small.bin" (777 bytes), each a pattern of
// mixed bytes.
void WritePatternFiles(const std::string& folder);

} // namespace kw::test
