// How often the image library reads a chunk while files are restored out of
// a compressed image: every chunk read from a volume file is counted by a
// wrapper around the library's volume files. The FAT layer reads its table,
// its folders and the files in turns; each chunk must be read and decoded
// about once, not once per turn.
//
// This program links the image library statically (its entry points and all),
// so that the wrapper sees the files the image access opens.
#include "kwvaults.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"
#include "tests/imagestore/container/counting_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;

namespace {

constexpr uint32_t kChunkBytes = 0x20000; // stored chunk size without error correction

std::vector<uint8_t> ReadWhole(IMGACCESS* image, const std::string& path) {
    std::vector<uint8_t> bytes;
    IMGACCESS_FILEHANDLE* file = image->OpenFile(path.c_str());
    if (file == nullptr)
        return bytes;
    bytes.resize(file->GetSize());
    uint32_t done = 0;
    if (!file->Read(bytes.data(), uint32_t(bytes.size()), &done) || done != bytes.size())
        bytes.clear();
    file->Release();
    return bytes;
}

} // namespace

// 120 small files in four folders of a FAT16 volume, in an image of low and
// of high compression: each read back whole, in an order that goes from
// folder to folder, reads each chunk of the set about once.
TEST(ChunkReads, SmallFilesReadEachChunkAboutOnce) {
    TempFolder folder;
    const std::string tree = folder.File("tree");
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (int n = 0; n < 120; ++n) {
        const std::string sub = "D" + std::to_string(n % 4);
        std::filesystem::create_directories(tree + "/" + sub);
        const std::string name = sub + "/F" + std::to_string(n) + ".TXT";
        std::vector<uint8_t> bytes = kwv::test::MixedBytes(700 + 97 * size_t(n), uint32_t(n + 1));
        for (uint8_t& b : bytes)
            b = b == 0 ? 1 : b; // no block of a file may look unused
        kwv::test::PutFileBytes(tree + "/" + name, bytes);
        files.emplace_back(name, std::move(bytes));
    }
    const std::string raw = folder.File("small.raw");
    ASSERT_EQ(kw::partstore::test::Run("mkfs.fat -C -F 16 " + raw +
                                       " 16384 >/dev/null && mcopy -s -i " + raw + " " + tree +
                                       "/* ::/"),
              0);
    const Partition part = FatPartitionOf(raw, 16, false);
    for (uint32_t flags : {KW_CREATE_LOW_COMPRESSION, KW_CREATE_HIGH_COMPRESSION}) {
        SCOPED_TRACE(flags);
        const std::string path = folder.File("small" + std::to_string(flags) + ".kwi");
        ASSERT_EQ(WriteImage(path, {&part}, ImageOptions().Flags(flags)), 0);
        const uint64_t setChunks = std::filesystem::file_size(path) / kChunkBytes;
        kwv::test::ChunkReadCounter count;
        uint32_t code = 0;
        IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
        ASSERT_NE(image, nullptr) << code;
        // Folder by folder in turn: D0, D1, D2, D3, D0, ...
        for (const auto& [name, bytes] : files) {
            std::string inside = "\\Partition0\\" + name;
            std::replace(inside.begin(), inside.end(), '/', '\\');
            EXPECT_EQ(ReadWhole(image, inside), bytes) << name;
        }
        image->Release();
        EXPECT_LE(count.chunks.size(), setChunks);
        EXPECT_LE(count.reads, 2 * count.chunks.size())
            << count.reads << " chunk reads of " << count.chunks.size() << " chunks";
    }
}
