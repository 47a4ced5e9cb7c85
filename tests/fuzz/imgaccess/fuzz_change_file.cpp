// Opens an older-format image with a hostile change file and reads its
// partitions. The image (an LZS partition with decoder state, an own-method
// partition and a plain one, spread over volume files) is written once at
// start-up by the test-only writer, together with the change file that image
// access saves for it.
//
// Input: a first byte of 0 takes the rest as the whole change file; any other
// first byte takes the rest as patches of the saved file: a 32-bit length to
// cut it to (0: keep it whole; else modulo twice its size), then (32-bit
// offset, byte) pairs.
#include "engine/imgaccess/change_file.h"
#include "engine/imgaccess/image_access.h"
#include "kwbytes.h"
#include "tests/fuzz/scratch_folder.h"
#include "tests/imagestore/legacy/legacy_writer.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using kw::legacy::testing::LegacyImage;
using kw::legacy::testing::LegacyPartition;

struct Fixture {
    std::string image, changes;
    std::vector<uint8_t> saved;
};

LegacyPartition Pattern(uint32_t code, uint32_t sectorsPerBlock) {
    LegacyPartition p;
    p.code = code;
    p.sectorsPerBlock = sectorsPerBlock;
    p.blockCount = 12;
    p.totalSectors = p.blockCount * sectorsPerBlock;
    p.bitmap.assign((p.blockCount + 7) / 8, 0);
    p.blockSize = 0x2F01;
    uint32_t seed = code;
    for (uint32_t b = 0; b < p.blockCount; ++b) {
        if (b % 7 == 3)
            continue; // some blocks are not stored
        p.bitmap[b / 8] |= uint8_t(1 << (b % 8));
        for (uint32_t i = 0; i < sectorsPerBlock * 512; ++i) {
            seed = seed * 1103515245 + 12345;
            p.data.push_back(i % 64 < 40 ? uint8_t(b) : uint8_t(seed >> 16));
        }
        ++p.usedBlocks;
    }
    return p;
}

void PutFile(const std::string& path, const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}

std::vector<uint8_t> GetFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

const Fixture& Make() {
    static const Fixture fixture = [] {
        const std::string& folder = kw::fuzz::ScratchFolder();
        Fixture f{folder + "/image.kwi", folder + "/image.kwx", {}};
        LegacyImage image;
        image.volumeLimit = 8000;
        kw::legacy::testing::writeLegacyImage(f.image, image,
                                              {Pattern(103, 1), Pattern(0, 2), Pattern(201, 1)});
        uint32_t code = 0;
        IMGACCESS* access = CreateImageAccess(f.image.c_str(), f.changes.c_str(), nullptr, &code);
        if (access != nullptr) {
            access->SaveAllChanges();
            access->Release();
        }
        f.saved = GetFile(f.changes);
        return f;
    }();
    return fixture;
}

std::vector<uint8_t> ChangeFile(const uint8_t* data, size_t size) {
    const std::vector<uint8_t>& saved = Make().saved;
    if (size == 0 || data[0] == 0)
        return std::vector<uint8_t>(data + (size != 0), data + size);
    std::vector<uint8_t> bytes = saved;
    std::span<const uint8_t> in(data + 1, size - 1);
    if (in.size() >= 4) {
        if (const uint32_t length = kwbytes::LoadLe32(in, 0); length != 0)
            bytes.resize(length % (2 * saved.size() + 1), 0);
        in = in.subspan(4);
    }
    for (; in.size() >= 5 && !bytes.empty(); in = in.subspan(5))
        bytes[kwbytes::LoadLe32(in, 0) % bytes.size()] = in[4];
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Fixture& f = Make();
    const std::vector<uint8_t> bytes = ChangeFile(data, size);
    PutFile(f.changes, bytes.data(), bytes.size());
    uint32_t code = 0;
    IMGACCESS* access = CreateImageAccess(f.image.c_str(), f.changes.c_str(), nullptr, &code);
    if (access == nullptr)
        return 0;
    auto* image = static_cast<kw::imgaccess::IMAGE_ACCESS*>(access);
    std::vector<uint8_t> buffer(512 * 8);
    for (uint32_t part = 0; part < 3; ++part) {
        kw::imgaccess::KWIPART_ACCESS* partition = image->Access(part);
        if (partition == nullptr)
            continue;
        kw::imgaccess::CURRENT_PART_SCOPE current(partition);
        for (uint32_t sector = 0; sector < 90; sector += 11)
            kwiPhyRead(sector, buffer.data(), 8);
        kwiPhyRead(0, buffer.data(), 8); // back to the start
    }
    access->SaveAllChanges(); // never overwrites a record it finds
    access->Release();
    return 0;
}
