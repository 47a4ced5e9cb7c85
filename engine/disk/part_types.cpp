#include "engine/disk/part_types.h"

#include "engine/disk/volume_probe.h"

namespace {

// By type byte, in ascending order.
constexpr PART_TYPE_ROW kTypes[] = {
    {0x01, FS_KIND_FAT, false, true},           {0x02, FS_KIND_UNUSABLE, false, false},
    {0x03, FS_KIND_UNUSABLE, false, false},     {0x04, FS_KIND_FAT, false, true},
    {0x05, FS_KIND_EXTENDED, false, false},     {0x06, FS_KIND_FAT, false, true},
    {0x07, FS_KIND_HPFS, false, true}, // or NTFS: the boot sector tells
    {0x0A, FS_KIND_BOOT_MANAGER, false, false}, {0x0B, FS_KIND_FAT32, false, true},
    {0x0C, FS_KIND_FAT32, false, true},         {0x0E, FS_KIND_FAT, false, true},
    {0x0F, FS_KIND_EXTENDED, false, false},     {0x11, FS_KIND_FAT, true, false},
    {0x12, FS_KIND_FAT, false, false},          {0x14, FS_KIND_FAT, true, false},
    {0x16, FS_KIND_FAT, true, false},           {0x17, FS_KIND_HPFS, true, false},
    {0x1B, FS_KIND_FAT32, true, false},         {0x1C, FS_KIND_FAT32, true, false},
    {0x1E, FS_KIND_FAT, true, false},           {0x3C, FS_KIND_TYPE_3C, false, false},
    {0x3D, FS_KIND_NETWARE, true, false}, // hidden NetWare (from 65h)
    {0x42, FS_KIND_DYNAMIC, false, false},      {0x51, FS_KIND_NETWARE, false, false},
    {0x64, FS_KIND_NETWARE, false, false},      {0x65, FS_KIND_NETWARE, false, true},
    {0x80, FS_KIND_LINUX, false, false},        {0x81, FS_KIND_LINUX, false, false},
    {0x83, FS_KIND_LINUX, false, false},        {0x84, FS_KIND_NONE, true, false},
    {0xDE, FS_KIND_FAT, false, false},          {0xFF, FS_KIND_UNUSABLE, false, false},
};

} // namespace

const PART_TYPE_ROW* PartTypeRow(std::uint8_t type) {
    for (const PART_TYPE_ROW& row : kTypes) {
        if (row.type == type)
            return &row;
    }
    return nullptr;
}
