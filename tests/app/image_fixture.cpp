#include "tests/app/image_fixture.h"

#include "tests/support/answering_callback.h"

#include <fstream>
#include <iterator>

namespace kw::test {
namespace {

// Every media question of the library is answered yes.
constexpr uint32_t kYes = 1;

// Bytes that do not compress: a simple linear congruential sequence.
std::vector<uint8_t> MixedBlock(uint32_t bytes, uint32_t seed) {
    std::vector<uint8_t> out(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : out) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return out;
}

int32_t AddPart(PART_STORE* store, const FixturePart& p) {
    uint32_t index = 0;
    int32_t error = store->AddPart(&index);
    if (error != 0)
        return error;
    store->SetPartFlags(p.flags);
    store->SetPartitionType(p.partitionType);
    store->SetFileSystemKind(p.fsKind);
    store->SetDriveLetter(p.driveLetter);
    store->SetBytesPerSector(512);
    store->SetTotalSectors(p.blocks * p.sectorsPerBlock);
    store->SetSectorsPerBlock(p.sectorsPerBlock);
    store->SetBlockCount(p.blocks);
    store->SetUsedBlockCount(p.recordedUsed != ~0u ? p.recordedUsed : p.usedBlocks);
    store->SetPartName(p.name.c_str());
    store->SetPartDescription(p.description.c_str());
    std::vector<uint8_t> bitmap((p.blocks + 7) / 8, 0);
    for (uint32_t b = 0; b < p.usedBlocks && b < p.blocks; ++b)
        bitmap[b / 8] |= uint8_t(1u << (b % 8));
    if ((error = store->CreateUbmap()) != 0 ||
        (error = store->Write(bitmap.data(), uint32_t(bitmap.size()))) != 0 ||
        (error = store->CreateUdata()) != 0)
        return error;
    const uint32_t stored = p.recordedUsed != ~0u ? p.recordedUsed : p.usedBlocks;
    for (uint32_t b = 0; b < stored && b < p.blocks && error == 0; ++b) {
        std::vector<uint8_t> block = MixedBlock(p.sectorsPerBlock * 512, index * 1000 + b);
        error = store->Write(block.data(), uint32_t(block.size()));
    }
    return error != 0 ? error : store->ClosePart();
}

} // namespace

int32_t WriteFixtureImage(const std::string& hostPath, const FixtureImage& image) {
    AnsweringCallback<> callback(kYes, image.password);
    int32_t error = 0;
    PART_STORE* store = PartStoreCreateNew(
        hostPath.c_str(), image.password.empty() ? nullptr : image.password.c_str(),
        image.volumeLimit, 0, image.createFlags, &callback, &error);
    if (store == nullptr)
        return error;
    if (!image.description.empty())
        error = store->SetDescription(image.description.c_str());
    for (size_t i = 0; i < image.parts.size() && error == 0; ++i)
        error = AddPart(store, image.parts[i]);
    const int32_t committed = store->Commit();
    store->Release();
    return error != 0 ? error : committed;
}

namespace {

int32_t AddRawPart(PART_STORE* s, const std::string& data, const std::string& name,
                   uint32_t letter) {
    constexpr uint32_t kBlock = 8 * 512;
    const uint32_t blocks = uint32_t(data.size() / kBlock);
    uint32_t index = 0;
    std::string bitmap((blocks + 7) / 8, '\0');
    for (uint32_t b = 0; b < blocks; ++b)
        bitmap[b / 8] = char(bitmap[b / 8] | (1 << (b % 8)));
    int32_t error = s->AddPart(&index);
    if (error != 0)
        return error;
    const bool ntfs = data.size() >= 11 && data.compare(3, 8, "NTFS    ") == 0;
    s->SetPartitionType(ntfs ? 0x07 : 0x06);
    s->SetFileSystemKind(ntfs ? 4 : 1);
    s->SetDriveLetter(letter);
    s->SetBytesPerSector(512);
    s->SetTotalSectors(uint32_t(data.size() / 512));
    s->SetSectorsPerBlock(8);
    s->SetBlockCount(blocks);
    s->SetUsedBlockCount(blocks);
    s->SetPartName(name.c_str());
    if ((error = s->CreateUbmap()) == 0 &&
        (error = s->Write(bitmap.data(), uint32_t(bitmap.size()))) == 0 &&
        (error = s->CreateUdata()) == 0)
        error = s->Write(data.data(), blocks * kBlock);
    return error != 0 ? error : s->ClosePart();
}

} // namespace

int32_t StoreRawVolumes(const std::string& hostPath, const std::vector<std::string>& rawPaths,
                        const std::vector<std::string>& names, const std::u16string& password) {
    int32_t error = 0;
    PART_STORE* s = PartStoreCreateNew(
        hostPath.c_str(), password.empty() ? nullptr : password.c_str(), 0, 0, 0, nullptr, &error);
    if (s == nullptr)
        return error;
    for (size_t i = 0; i < rawPaths.size() && error == 0; ++i) {
        std::ifstream in(rawPaths[i], std::ios::binary);
        const std::string data{std::istreambuf_iterator<char>(in), {}};
        error = AddRawPart(s, data, i < names.size() ? names[i] : std::string(), 'E' + uint32_t(i));
    }
    const int32_t committed = s->Commit();
    s->Release();
    return error != 0 ? error : committed;
}

PART_STORE* OpenFixtureImage(const std::string& hostPath, const std::u16string& password) {
    // The store may call back while it reads: the callback outlives it.
    static AnsweringCallback<> callback(kYes, {});
    callback.SetPassword(password);
    int32_t error = 0;
    return PartStoreOpenReadOnly(hostPath.c_str(), &callback, &error);
}

int32_t StoreVolume(const std::string& rawPath, const std::string& imagePath,
                    const std::u16string& password) {
    return StoreRawVolumes(imagePath, {rawPath}, {"SYSTEM"}, password);
}

void WritePatternFiles(const std::string& folder) {
    std::string ten(10000, '\0'), small(777, '\0');
    for (size_t i = 0; i < ten.size(); ++i)
        ten[i] = char(i * 7 + 1);
    for (size_t i = 0; i < small.size(); ++i)
        small[i] = char(i * 13 + 5);
    std::ofstream(folder + "/ten.bin", std::ios::binary) << ten;
    std::ofstream(folder + "/small.bin", std::ios::binary) << small;
}

} // namespace kw::test
