#include "bench/imgaccess/raw_images.h"

#include "kwvaults.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

namespace kw::bench {

namespace {

uint32_t Le(const std::vector<char>& v, size_t at, int n) {
    uint32_t x = 0;
    for (int i = n - 1; i >= 0; --i)
        x = x << 8 | uint8_t(v[at + size_t(i)]);
    return x;
}

// Sectors before the first data cluster: boot area, FATs and a FAT12/16 root.
uint32_t MetadataSectors(const std::vector<char>& v) {
    const uint32_t fatSize = Le(v, 22, 2) != 0 ? Le(v, 22, 2) : Le(v, 36, 4);
    return Le(v, 14, 2) + Le(v, 16, 1) * fatSize + (Le(v, 17, 2) * 32 + 511) / 512;
}

} // namespace

RawVolume ReadRawVolume(const std::string& path, uint32_t sectorsPerBlock) {
    RawVolume v;
    std::ifstream in(path, std::ios::binary);
    v.bytes.assign(std::istreambuf_iterator<char>(in), {});
    v.sectorsPerBlock = sectorsPerBlock;
    v.blocks = uint32_t(v.bytes.size() / v.BlockBytes());
    v.bitmap.assign((v.blocks + 7) / 8, 0);
    const uint32_t metadata = (MetadataSectors(v.bytes) + sectorsPerBlock - 1) / sectorsPerBlock;
    for (uint32_t b = 0; b < v.blocks; ++b) {
        const auto from = v.bytes.begin() + ptrdiff_t(b) * v.BlockBytes();
        if (b < metadata ||
            std::any_of(from, from + v.BlockBytes(), [](char c) { return c != 0; })) {
            v.bitmap[b / 8] |= uint8_t(1u << (b % 8));
            ++v.used;
        }
    }
    return v;
}

int32_t StoreRaw(const RawVolume& v, const std::string& image, uint32_t flags, uint32_t fsKind,
                 uint32_t partitionType) {
    int32_t error = 0;
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, flags, nullptr, &error);
    if (store == nullptr)
        return error;
    uint32_t index = 0;
    store->AddPart(&index);
    store->SetBytesPerSector(kSectorBytes);
    store->SetTotalSectors(uint32_t(v.bytes.size() / kSectorBytes));
    store->SetSectorsPerBlock(v.sectorsPerBlock);
    store->SetBlockCount(v.blocks);
    store->SetUsedBlockCount(v.used);
    store->SetFileSystemKind(fsKind);
    store->SetPartitionType(partitionType);
    store->CreateUbmap();
    store->Write(v.bitmap.data(), uint32_t(v.bitmap.size()));
    store->CreateUdata();
    for (uint32_t b = 0; b < v.blocks && error == 0; ++b) {
        if (v.Used(b))
            error = store->Write(v.bytes.data() + size_t(b) * v.BlockBytes(), v.BlockBytes());
    }
    store->ClosePart();
    const int32_t committed = store->Commit();
    store->Release();
    return error != 0 ? error : committed;
}

namespace {

std::vector<std::pair<std::string, uint32_t>> Entries(IMGACCESS* image, const std::string& path) {
    char name[260];
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::vector<std::pair<std::string, uint32_t>> entries;
    IMGACCESS_ITERATOR* it =
        image->FindFirst(path.c_str(), name, sizeof name, &attributes, nullptr, &size);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, nullptr, &size)) {
        if (std::string(name) != "." && std::string(name) != "..")
            entries.emplace_back(path + "\\" + name, attributes);
    }
    if (it != nullptr)
        it->Release();
    return entries;
}

} // namespace

uint64_t ReadFile(IMGACCESS* image, const std::string& path, std::vector<uint8_t>& buffer) {
    IMGACCESS_FILEHANDLE* file = image->OpenFile(path.c_str());
    if (file == nullptr)
        std::abort();
    uint64_t total = 0;
    for (uint64_t left = file->GetSize(); left > 0;) {
        const uint32_t n = uint32_t(std::min<uint64_t>(left, buffer.size()));
        uint32_t done = 0;
        if (!file->Read(buffer.data(), n, &done))
            std::abort();
        left -= n;
        total += n;
    }
    file->Release();
    return total;
}

uint64_t ReadTree(IMGACCESS* image, const std::string& path, std::vector<uint8_t>& buffer) {
    uint64_t total = 0;
    for (const auto& [child, attr] : Entries(image, path))
        total += (attr & IMGACCESS_ATTR_DIRECTORY) ? ReadTree(image, child, buffer)
                                                   : ReadFile(image, child, buffer);
    return total;
}

void ListFiles(IMGACCESS* image, const std::string& path, std::vector<std::string>& files) {
    for (const auto& [child, attr] : Entries(image, path)) {
        if (attr & IMGACCESS_ATTR_DIRECTORY)
            ListFiles(image, child, files);
        else
            files.push_back(child);
    }
}

int RunThenRemove(int argc, char** argv, const std::string& folder) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

} // namespace kw::bench
