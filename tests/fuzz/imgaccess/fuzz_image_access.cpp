// Opens arbitrary bytes as an image through CreateImageAccess and walks its
// tree: the root, every partition's directories (bounded in depth and
// entries) and the files in them, reading each one; then reads sectors of
// every partition straight through the read hook.
#include "engine/imgaccess/image_access.h"
#include "tests/fuzz/scratch_folder.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void PutFile(const std::string& path, const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}

void ReadFile(IMGACCESS* image, const std::string& path) {
    IMGACCESS_FILEHANDLE* file = image->OpenFile(path.c_str());
    if (file == nullptr)
        return;
    std::vector<uint8_t> buffer(4096);
    uint64_t left = file->GetSize();
    for (int i = 0; left > 0 && i < 64; ++i) {
        const uint32_t n = left < buffer.size() ? uint32_t(left) : uint32_t(buffer.size());
        uint32_t done = 0;
        if (!file->Read(buffer.data(), n, &done))
            break;
        left -= n;
    }
    file->Release();
}

void Walk(IMGACCESS* image, const std::string& path, int depth, int* budget) {
    if (depth > 8 || *budget <= 0)
        return;
    char name[260];
    uint32_t attributes = 0;
    uint64_t time = 0, bytes = 0;
    std::vector<std::pair<std::string, uint32_t>> entries;
    IMGACCESS_ITERATOR* it =
        image->FindFirst(path.c_str(), name, sizeof name, &attributes, &time, &bytes);
    for (bool more = it != nullptr; more && --*budget > 0;
         more = it->Next(name, sizeof name, &attributes, &time, &bytes))
        entries.emplace_back(name, attributes);
    if (it != nullptr)
        it->Release();
    const std::string prefix = path == "\\" ? path : path + "\\";
    for (const auto& [entry, attr] : entries) {
        if (entry == "." || entry == "..")
            continue;
        const std::string child = prefix + entry;
        char display[64];
        image->GetDisplayName(child.c_str(), display, sizeof display);
        image->GetFileInfo(child.c_str(), name, sizeof name, &attributes, &time, &bytes);
        if (attr & IMGACCESS_ATTR_DIRECTORY)
            Walk(image, child, depth + 1, budget);
        else
            ReadFile(image, child);
    }
}

void ReadSectors(IMGACCESS* image) {
    auto* impl = static_cast<kw::imgaccess::IMAGE_ACCESS*>(image);
    std::vector<uint8_t> buffer(512 * 16);
    for (uint32_t i = 0; i < IMGACCESS_MAX_PARTITIONS; ++i) {
        kw::imgaccess::KWIPART_ACCESS* access = impl->Access(i);
        if (access == nullptr)
            break;
        kw::imgaccess::CURRENT_PART_SCOPE current(access);
        for (uint32_t sector : {0u, 1u, 7u, 63u, 1000u, 0xFFFFFFF0u})
            kwiPhyRead(sector, buffer.data(), 16);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kw::fuzz::ScratchFolder() + "/fuzz.kwi";
    PutFile(path, data, size);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
    if (image == nullptr)
        return 0;
    int budget = 2000;
    Walk(image, "\\", 0, &budget);
    ReadSectors(image);
    image->Release();
    unlink(path.c_str());
    return 0;
}
