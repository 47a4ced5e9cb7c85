#include "tests/engine/imgaccess/imgaccess_fixture.h"

#include "tests/engine/fs_modules_env.h"

#include "include/kwbytes.h"

namespace kw::imgaccess::test {

using kw::partstore::test::MarkBlocks;
using kw::partstore::test::Run;
using kwv::test::FileBytes;
using kwv::test::MixedBytes;
using kwv::test::PutFileBytes;

namespace {

// File contents without a single zero byte: blocks of files are stored
// whatever their bytes, so no file block may look unused.
std::vector<uint8_t> FileContent(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes = MixedBytes(n, seed);
    for (uint8_t& b : bytes)
        b = b == 0 ? uint8_t(seed | 1) : b;
    return bytes;
}

// First sector after the reserved area, the FATs and the FAT12/16 root.
uint32_t MetadataEnd(const std::vector<uint8_t>& raw) {
    const uint8_t* b = raw.data();
    const uint32_t reserved = kwbytes::LoadLe16(b + 14);
    const uint32_t fats = b[16];
    const uint32_t rootEntries = kwbytes::LoadLe16(b + 17);
    uint32_t fatSize = kwbytes::LoadLe16(b + 22);
    if (fatSize == 0)
        fatSize = kwbytes::LoadLe32(b + 36);
    return reserved + fats * fatSize + (rootEntries * 32 + 511) / 512;
}

} // namespace

std::string RawVolume(const TempFolder& folder, const std::string& name) {
    return folder.File(name + ".raw");
}

Partition MakeFatPartition(const TempFolder& folder, const std::string& name, int fatBits,
                           uint32_t kib, bool allBlocks) {
    const std::string image = RawVolume(folder, name);
    const std::string ten = folder.File(name + "-ten.bin");
    const std::string big = folder.File(name + "-big.bin");
    const std::string empty = folder.File(name + "-empty.txt");
    PutFileBytes(ten, FileContent(10000, 3));
    PutFileBytes(big, FileContent(std::min<size_t>(300000, size_t(kib) * 256), uint32_t(fatBits)));
    PutFileBytes(empty, {});
    const std::string m = " -i " + image + " ";
    const std::string cmd =
        "mkfs.fat -C -F " + std::to_string(fatBits) + (fatBits == 32 ? " -s 1" : "") + " -n " +
        name.substr(0, 11) + " " + image + " " + std::to_string(kib) + " >/dev/null && mmd" + m +
        "::/DOS ::/'Long Folder Name' ::/a ::/a/b ::/a/b/c ::/a/b/c/d ::/a/b/c/d/e && mcopy" + m +
        ten + " ::/TEN.BIN && mcopy" + m + big + " ::/DOS/'A rather long file name.data' && mcopy" +
        m + empty + " ::/EMPTY.TXT && mcopy" + m + empty +
        " ::/'Long Folder Name/empty too' && mcopy" + m + ten + " ::/a/b/c/d/e/deep.bin";
    EXPECT_EQ(Run(cmd), 0) << cmd;
    return FatPartitionOf(image, fatBits, allBlocks);
}

Partition FatPartitionOf(const std::string& image, int fatBits, bool allBlocks) {
    Partition p;
    p.raw = FileBytes(image);
    p.fsKind = fatBits == 32 ? 15 : 1;
    p.partitionType = fatBits == 32 ? 0x0C : (fatBits == 16 ? 0x06 : 0x01);
    MarkBlocks(p, allBlocks);
    if (!allBlocks && p.raw.size() >= 512) {
        const uint32_t metadataBlocks =
            (MetadataEnd(p.raw) + p.sectorsPerBlock - 1) / p.sectorsPerBlock;
        for (uint32_t b = 0; b < metadataBlocks && b < p.Blocks(); ++b)
            p.bitmap[b / 8] |= uint8_t(1u << (b % 8));
    }
    return p;
}

Partition MakePatternPartition(uint32_t blocks, uint32_t sectorsPerBlock,
                               const std::vector<bool>& stored, uint32_t seed) {
    Partition p;
    p.sectorsPerBlock = sectorsPerBlock;
    p.raw = MixedBytes(size_t(blocks) * sectorsPerBlock * 512, seed);
    p.fsKind = 7;
    p.partitionType = 0x07;
    p.bitmap.assign((blocks + 7) / 8, 0);
    for (uint32_t b = 0; b < blocks; ++b) {
        if (b < stored.size() ? stored[b] : true)
            p.bitmap[b / 8] |= uint8_t(1u << (b % 8));
    }
    return p;
}

namespace {

// One part: record values, then bitmap and used blocks.
int32_t AddPartition(PART_STORE* store, const Partition& p, const std::string& name,
                     uint32_t letter) {
    uint32_t index = 0;
    int32_t error = store->AddPart(&index);
    if (error != 0)
        return error;
    store->SetPartitionType(p.partitionType);
    store->SetFileSystemKind(p.fsKind);
    store->SetDriveLetter(letter);
    store->SetBytesPerSector(512);
    store->SetTotalSectors(uint32_t(p.raw.size() / 512));
    store->SetSectorsPerBlock(p.sectorsPerBlock);
    store->SetBlockCount(p.Blocks());
    store->SetUsedBlockCount(p.UsedCount());
    store->SetPartName(name.c_str());
    if ((error = store->CreateUbmap()) != 0 ||
        (error = store->Write(p.bitmap.data(), uint32_t(p.bitmap.size()))) != 0 ||
        (error = store->CreateUdata()) != 0)
        return error;
    for (uint32_t b = 0; b < p.Blocks() && error == 0; ++b) {
        if (p.Used(b))
            error = store->Write(p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes());
    }
    return error != 0 ? error : store->ClosePart();
}

} // namespace

int32_t WriteImage(const std::string& path, const std::vector<const Partition*>& parts,
                   const ImageOptions& options) {
    int32_t error = 0;
    PART_STORE* store = PartStoreCreateNew(
        path.c_str(), options.password.empty() ? nullptr : options.password.c_str(),
        options.volumeLimit, 0, options.flags, nullptr, &error);
    if (store == nullptr)
        return error;
    for (size_t i = 0; i < parts.size() && error == 0; ++i) {
        const std::string name =
            i < options.names.size() ? options.names[i] : "Part" + std::to_string(i);
        const uint32_t letter = i < options.driveLetters.size() ? options.driveLetters[i] : 0;
        error = AddPartition(store, *parts[i], name, letter);
    }
    const int32_t committed = store->Commit();
    store->Release();
    return error != 0 ? error : committed;
}

} // namespace kw::imgaccess::test
