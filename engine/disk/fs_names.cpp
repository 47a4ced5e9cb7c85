#include "engine/disk/fs_names.h"

#include "engine/core/errtext.h"
#include "engine/disk/volume_probe.h"

#include <cstring>
#include <string>

namespace {

struct TypeName {
    std::uint8_t type;
    const char* name;
};

constexpr TypeName kNames[] = {
    {0x01, "FAT12"},
    {0x02, "XENIX"},
    {0x03, "XENIX2"},
    {0x04, "FAT16"},
    {0x05, "Extended"},
    {0x06, "FAT16B"},
    {0x07, "QNX, UN*X"},
    {0x08, "AIX, SplitDrive"},
    {0x09, "AIX or Coherent"},
    {0x0A, "Boot Manager"},
    {0x0B, "FAT32"},
    {0x0C, "FAT32X"},
    {0x0E, "FAT16X"},
    {0x0F, "ExtendedX"},
    {0x10, "OPUS"},
    {0x11, "Hidden FAT12"},
    {0x14, "Hidden FAT16"},
    {0x16, "Hidden FAT16B"},
    {0x17, "Hidden IFS"},
    {0x18, "AST Swap"},
    {0x1B, "Hidden FAT32"},
    {0x1C, "Hidden FAT32X"},
    {0x1E, "Hidden FAT16X"},
    {0x24, "NEC DOS"},
    {0x3C, "KwRP"},
    {0x3D, "Hidden NetWare"},
    {0x40, "VENIX 80286"},
    {0x50, "Disk Manager"},
    {0x51, "Disk Manager"},
    {0x52, "CP/M, Sys V"},
    {0x54, "Disk Manager"},
    {0x55, "EZ-Drive"},
    {0x56, "VFeature"},
    {0x5C, "Priam EDISK"},
    {0x61, "SpeedStor"},
    {0x63, "Hurd or UN*X"},
    {0x64, "NetWare 286"},
    {0x65, "NetWare"},
    {0x70, "DiskSecure"},
    {0x75, "PC/IX"},
    {0x80, "Old MINIX"},
    {0x81, "Linux"},
    {0x82, "Linux Swap"},
    {0x86, "NT Stripe/Vol Set"},
    {0x87, "NT Stripe/Vol Set"},
    {0x93, "Amoeba"},
    {0x94, "Amoeba BBT"},
    {0xA0, "SaveToDisk"},
    {0xA5, "FreeBSD/386"},
    {0xA7, "NextStep"},
    {0xB7, "BSDI Swap2"},
    {0xB8, "BSDI Swap"},
    {0xC0, "CTOS"},
    {0xC1, "DR-DOS FAT12"},
    {0xC4, "DR-DOS FAT16"},
    {0xC6, "NT Stripe/Vol Set"},
    {0xC7, "NT Stripe/Vol Set"},
    {0xDB, "CP/M, Concurrent DOS, CTOS"},
    {0xE1, "SpeedStor FAT12"},
    {0xE3, "SpeedStor"},
    {0xE4, "SpeedStor FAT16"},
    {0xF1, "SpeedStor"},
    {0xF2, "DOS 3.3+"},
    {0xF4, "SpeedStor"},
    {0xFE, "LANstep"},
    {0xFF, "Xenix BBT"},
};

bool Fat32X(std::uint8_t type) {
    return type == 0x0C || type == 0x1C;
}

// The name by kind; empty when the kind has none.
std::string ByKind(std::uint8_t kind, std::uint8_t type) {
    switch (kind) {
    case FS_KIND_FAT:
        if (type == 0x12)
            return "Utility";
        if (type == 0x0B || type == 0x1B)
            return "FAT32";
        return Fat32X(type) ? "FAT32X" : "FAT";
    case FS_KIND_FREE:
        return GetResourceStringA(17);
    case FS_KIND_NTFS:
        return "NTFS";
    case FS_KIND_EXTENDED:
        return GetResourceStringA(15);
    case FS_KIND_HPFS:
        return "HPFS";
    case FS_KIND_RESERVED_DISK:
        return GetResourceStringA(66);
    case FS_KIND_EXT2:
        return "Linux Ext2";
    case FS_KIND_BOOT_MANAGER:
        return GetResourceStringA(6);
    case FS_KIND_LINUX_SWAP:
        return "Linux Swap";
    case FS_KIND_NETWARE:
        return "NetWare";
    case FS_KIND_FAT32:
        return Fat32X(type) ? "FAT32X" : "FAT32";
    case FS_KIND_RAW:
        return GetResourceStringA(105);
    default:
        return {};
    }
}

} // namespace

char* GetFileSystemName(std::uint8_t fsKind, std::uint8_t type, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0)
        return buffer;
    std::string name = ByKind(fsKind, type);
    if (name.empty())
        for (const TypeName& t : kNames)
            if (t.type == type)
                name = t.name;
    std::size_t n = name.size() < size - 1 ? name.size() : size - 1;
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return buffer;
}
