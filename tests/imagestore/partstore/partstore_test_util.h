// Helpers of the part-store tests: FAT and NTFS volumes made by Debian's
// tools, and storing a volume as a part (bitmap "ubmap" and data "udata") and
// reading it back, through the public PART_STORE interface.
#pragma once

#include "kwvaults.h"
#include "kwvaults_callbacks.h"
#include "tests/imagestore/container/container_test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kw::partstore::test {

using kwv::test::FileBytes;
using kwv::test::MixedBytes;
using kwv::test::PutFileBytes;
using kwv::test::RecordingCallback;
using kwv::test::TempFolder;

constexpr uint32_t kSectorBytes = 512;

// A partition to store: its raw bytes and which of its blocks are used.
struct Partition {
    std::vector<uint8_t> raw;
    uint32_t sectorsPerBlock = 8;
    uint32_t fsKind = 0;
    uint32_t partitionType = 0;
    std::vector<uint8_t> bitmap; // bit i of the map: block i is stored

    uint32_t BlockBytes() const { return sectorsPerBlock * kSectorBytes; }
    uint32_t Blocks() const { return uint32_t(raw.size() / BlockBytes()); }
    bool Used(uint32_t block) const { return bitmap[block / 8] >> (block % 8) & 1; }
    uint32_t UsedCount() const {
        uint32_t n = 0;
        for (uint32_t b = 0; b < Blocks(); ++b) {
            n += Used(b);
        }
        return n;
    }
};

inline int Run(const std::string& command) {
    return std::system(command.c_str());
}

// Marks every block used, or (allBlocks false) only the blocks that hold a
// non-zero byte.
inline void MarkBlocks(Partition& p, bool allBlocks) {
    p.bitmap.assign((p.Blocks() + 7) / 8, 0);
    for (uint32_t b = 0; b < p.Blocks(); ++b) {
        bool used = allBlocks;
        for (uint32_t i = 0; !used && i < p.BlockBytes(); ++i) {
            used = p.raw[size_t(b) * p.BlockBytes() + i] != 0;
        }
        if (used) {
            p.bitmap[b / 8] |= uint8_t(1u << (b % 8));
        }
    }
}

// A volume file made by the tools, to be stored with the given kinds.
inline Partition Loaded(const std::string& image, uint32_t fsKind, uint32_t type, bool allBlocks) {
    Partition p;
    p.raw = FileBytes(image);
    p.fsKind = fsKind;
    p.partitionType = type;
    MarkBlocks(p, allBlocks);
    return p;
}

// A FAT volume of `mib` MiB with a few files copied in by mtools.
inline Partition MakeFat(const TempFolder& folder, uint32_t mib, bool allBlocks) {
    const std::string image = folder.File("fat.raw");
    const std::string file = folder.File("notes.txt");
    PutFileBytes(file, MixedBytes(300000, 7));
    const std::string cmd = "mkfs.fat -C " + image + " " + std::to_string(mib * 1024) +
                            " >/dev/null && mcopy -i " + image + " " + file + " ::/NOTES.TXT";
    EXPECT_EQ(Run(cmd), 0) << cmd;
    return Loaded(image, 1, 0x06, allBlocks);
}

// An NTFS volume of `mib` MiB with one file copied in by ntfscp.
inline Partition MakeNtfs(const TempFolder& folder, uint32_t mib, bool allBlocks) {
    const std::string image = folder.File("ntfs.raw");
    const std::string file = folder.File("data.bin");
    PutFileBytes(file, MixedBytes(200000, 11));
    const std::string cmd = "truncate -s " + std::to_string(mib) + "M " + image +
                            " && mkntfs -F -q -s 512 " + image + " >/dev/null 2>&1 && ntfscp " +
                            image + " " + file + " data.bin >/dev/null 2>&1";
    EXPECT_EQ(Run(cmd), 0) << cmd;
    return Loaded(image, 4, 0x07, allBlocks);
}

// Adds a part holding `p` to a store opened for writing; `stopAfter` blocks
// of data (when not negative) are written before giving up, as a copy that
// fails midway would. Answers the first error and the new part's index.
inline int32_t StorePart(PART_STORE* store, const Partition& p, const char* name, uint32_t* index,
                         int stopAfter = -1) {
    int32_t error = store->AddPart(index);
    if (error != 0) {
        return error;
    }
    store->SetPartitionType(p.partitionType);
    store->SetFileSystemKind(p.fsKind);
    store->SetBytesPerSector(kSectorBytes);
    store->SetTotalSectors(uint32_t(p.raw.size() / kSectorBytes));
    store->SetSectorsPerBlock(p.sectorsPerBlock);
    store->SetBlockCount(p.Blocks());
    store->SetUsedBlockCount(p.UsedCount());
    store->SetPartName(name);
    if ((error = store->CreateUbmap()) != 0 ||
        (error = store->Write(p.bitmap.data(), uint32_t(p.bitmap.size()))) != 0 ||
        (error = store->CreateUdata()) != 0) {
        return error;
    }
    int written = 0;
    for (uint32_t b = 0; b < p.Blocks(); ++b) {
        if (!p.Used(b)) {
            continue;
        }
        if (stopAfter >= 0 && written++ == stopAfter) {
            return 0;
        }
        error = store->Write(p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes());
        if (error != 0) {
            return error;
        }
    }
    return store->ClosePart();
}

// Selects part `index` and checks its record, bitmap and every stored block
// against `p`.
inline void ExpectPart(PART_STORE* store, uint32_t index, const Partition& p, const char* name) {
    ASSERT_EQ(store->SelectPart(index), 0);
    char text[64] = {};
    store->GetPartName(text, sizeof text);
    EXPECT_STREQ(text, name);
    EXPECT_EQ(store->GetFileSystemKind(), p.fsKind);
    EXPECT_EQ(store->GetBlockCount(), p.Blocks());
    EXPECT_EQ(store->GetUsedBlockCount(), p.UsedCount());
    uint64_t length = 0;
    ASSERT_EQ(store->OpenUbmap(&length), 0);
    std::vector<uint8_t> bitmap(length);
    uint32_t got = 0;
    ASSERT_EQ(store->Read(bitmap.data(), uint32_t(length), &got), 0);
    EXPECT_EQ(bitmap, p.bitmap);
    ASSERT_EQ(store->OpenUdata(&length), 0);
    ASSERT_EQ(length, uint64_t(p.UsedCount()) * p.BlockBytes());
    std::vector<uint8_t> block(p.BlockBytes());
    for (uint32_t b = 0; b < p.Blocks(); ++b) {
        if (!p.Used(b)) {
            continue;
        }
        ASSERT_EQ(store->Read(block.data(), p.BlockBytes(), &got), 0);
        ASSERT_EQ(got, p.BlockBytes());
        ASSERT_EQ(
            0, std::memcmp(block.data(), p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes()))
            << "block " << b;
    }
    EXPECT_EQ(store->Read(block.data(), 1, &got), 0); // at the end: nothing more
    EXPECT_EQ(got, 0u);
    store->ClosePartStream();
}

} // namespace kw::partstore::test
