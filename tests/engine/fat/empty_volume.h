// An empty FAT volume written from a boot record (boot sector, FSInfo and
// backup on FAT32, the first FAT entries, a zeroed root), for fsck.fat to
// judge a layout by.
#pragma once

#include "engine/fat/fat_layout.h"
#include "include/kwbytes.h"
#include "tests/support/tool_run.h"

#include <filesystem>
#include <vector>

namespace kwtest {

// The FAT32 root is cluster 2.
inline void WriteEmptyFatVolume(const std::filesystem::path& image, FAT_BOOT_RECORD boot,
                                uint32_t fileSectors) {
    if (boot.IsFat32())
        boot.rootCluster = 2;
    MakeSparse(image, uint64_t{fileSectors} * 512);
    std::vector<uint8_t> sector(512, 0);
    kw::fat::StoreBootRecord(boot, sector.data());
    WriteAt(image, 0, sector);
    if (boot.IsFat32()) {
        WriteAt(image, 6 * 512, sector);
        std::vector<uint8_t> info(512, 0);
        kwbytes::StoreLe32(info.data(), 0x41615252);
        kwbytes::StoreLe32(info.data() + 484, 0x61417272);
        kwbytes::StoreLe32(info.data() + 488, 0xFFFFFFFF);
        kwbytes::StoreLe32(info.data() + 492, 0xFFFFFFFF);
        kwbytes::StoreLe32(info.data() + 508, 0xAA550000);
        WriteAt(image, 512, info);
        WriteAt(image, 7 * 512, info);
    }
    std::vector<uint8_t> head = boot.fatKind == FAT_KIND_12 ? std::vector<uint8_t>{0xF8, 0xFF, 0xFF}
                                : boot.fatKind == FAT_KIND_16
                                    ? std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0xFF}
                                    : std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                                           0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    for (uint32_t copy = 0; copy < boot.fatCount; ++copy)
        WriteAt(image, (uint64_t{boot.reservedSectors} + copy * boot.sectorsPerFat) * 512, head);
}

} // namespace kwtest
