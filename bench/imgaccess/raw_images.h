// Shared by the image-access benchmarks: a raw FAT volume stored into a new
// image as its used blocks (the metadata and every block that is not all
// zeros), and a walk that lists and reads every file of a partition of an
// opened image.
#pragma once

#include "engine/imgaccess/imgaccess.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kw::bench {

constexpr uint32_t kSectorBytes = 512;

// The volume's bytes and its used-block bitmap at `sectorsPerBlock`.
struct RawVolume {
    std::vector<char> bytes;
    std::vector<uint8_t> bitmap;
    uint32_t sectorsPerBlock = 8;
    uint32_t blocks = 0;
    uint32_t used = 0;

    uint32_t BlockBytes() const { return sectorsPerBlock * kSectorBytes; }
    bool Used(uint32_t block) const { return bitmap[block / 8] >> (block % 8) & 1; }
};
RawVolume ReadRawVolume(const std::string& path, uint32_t sectorsPerBlock);

// Writes the volume into a new image with KW_CREATE_FLAGS `flags` as one part
// of the file-system kind and partition type given; 0 or the library's code.
int32_t StoreRaw(const RawVolume& volume, const std::string& image, uint32_t flags, uint32_t fsKind,
                 uint32_t partitionType);

// Lists `path` of the image and reads every file below it in pieces of the
// buffer's size; the bytes read. Aborts on a failure.
uint64_t ReadTree(IMGACCESS* image, const std::string& path, std::vector<uint8_t>& buffer);
// The paths of the files below `path`, folder by folder as listed.
void ListFiles(IMGACCESS* image, const std::string& path, std::vector<std::string>& files);
// Reads one file of the image whole; the bytes read. Aborts on a failure.
uint64_t ReadFile(IMGACCESS* image, const std::string& path, std::vector<uint8_t>& buffer);

// Runs the benchmarks given on the command line, then removes `folder` (the
// fixtures they made); the program's exit status.
int RunThenRemove(int argc, char** argv, const std::string& folder);

} // namespace kw::bench
