#include "engine/disk/fs_names.h"
#include "engine/disk/volume_probe.h"

#include <gtest/gtest.h>

namespace {

TEST(FileSystemName, ByKindThenByTypeByte) {
    struct Case {
        uint8_t kind;
        uint8_t type;
        const char* name;
    };
    const Case cases[] = {
        {FS_KIND_FAT, 0x12, "Utility"},
        {FS_KIND_FAT, 0x06, "FAT"},
        {FS_KIND_FAT, 0x1B, "FAT32"},
        {FS_KIND_FAT, 0x0C, "FAT32X"},
        {FS_KIND_FAT32, 0x0B, "FAT32"},
        {FS_KIND_FAT32, 0x1C, "FAT32X"},
        {FS_KIND_NTFS, 0x07, "NTFS"},
        {FS_KIND_EXT2, 0x83, "Linux Ext2"},
        {FS_KIND_FREE, 0x00, "Unallocated"},
        {FS_KIND_EXTENDED, 0x05, "Extended"},
        {FS_KIND_NONE, 0x83, ""},
        {FS_KIND_NONE, 0x82, "Linux Swap"},
        {FS_KIND_NONE, 0xDB, "CP/M, Concurrent DOS, CTOS"},
        {FS_KIND_LINUX, 0x16, "Hidden FAT16B"},
        {FS_KIND_NONE, 0xFF, "Xenix BBT"},
    };
    for (const Case& c : cases) {
        char buffer[64] = "junk";
        EXPECT_STREQ(GetFileSystemName(c.kind, c.type, buffer, sizeof buffer), c.name)
            << int(c.kind) << " " << int(c.type);
    }
    char small[4];
    EXPECT_STREQ(GetFileSystemName(FS_KIND_NTFS, 0x07, small, sizeof small), "NTF");
    char one[1] = {'x'};
    EXPECT_STREQ(GetFileSystemName(FS_KIND_NTFS, 0x07, one, 1), "");
}

} // namespace
