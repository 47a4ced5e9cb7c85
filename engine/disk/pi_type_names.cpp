#include "engine/disk/pi_type_names.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

struct TypeName {
    uint8_t type;
    const char* name;
};

// By type byte, in ascending order; 12h is named by its utility marks.
constexpr TypeName kTypeNames[] = {
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
    {0x16, "Hid.FAT16B"},
    {0x17, "Hidden IFS"},
    {0x18, "AST Swap"},
    {0x1B, "Hidden FAT32"},
    {0x1C, "Hid.FAT32X"},
    {0x1E, "Hid.FAT16X"},
    {0x24, "NEC DOS"},
    {0x2C, "GoBack"},
    {0x3C, "KwRP"},
    {0x3D, "Hid.NetWare"},
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
    {0x69, "NetWare NSS"},
    {0x70, "DiskSecure"},
    {0x75, "PC/IX"},
    {0x80, "Old MINIX"},
    {0x81, "MINIX/Linux"},
    {0x82, "Linux Swap"},
    {0x83, "Linux Ext2"},
    {0x86, "NT FT Set"},
    {0x87, "NT FT Set"},
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
    {0xC6, "NT FT Set"},
    {0xC7, "NT FT Set"},
    {0xDB, "CP/M, Concurrent DOS, CTOS"},
    {0xDE, "Dell"},
    {0xE1, "SpeedStor FAT12"},
    {0xE3, "SpeedStor"},
    {0xE4, "SpeedStor FAT16"},
    {0xF1, "SpeedStor"},
    {0xF2, "DOS 3.3+"},
    {0xF4, "SpeedStor"},
    {0xFE, "LANstep"},
    {0xFF, "Xenix BBT"},
};

// A utility partition (type 12h) by the marks its boot sector carried.
const char* UtilityName(uint32_t flags2) {
    if (flags2 & PI2_EISA_UTILITY)
        return "Compaq";
    if (flags2 & PI2_HP_UTILITY)
        return "HP";
    return "Utility";
}

// The name the file-system kind gives, or null.
const char* KindName(const PARTITION_INFO& pi) {
    bool hidden = (pi.ucPartType & 0x10) != 0;
    switch (pi.ucFsKind) {
    case FS_KIND_FAT:
        if (pi.ucPartType == 0x12 && (pi.ulFlags2 & (PI2_EISA_UTILITY | PI2_HP_UTILITY)))
            return UtilityName(pi.ulFlags2);
        return pi.ucPartType == 0xDE ? "Dell" : nullptr;
    case FS_KIND_FREE:
        return "Free Space";
    case FS_KIND_NTFS:
        return hidden ? "Hidden NTFS" : "NTFS";
    case FS_KIND_EXTENDED_LINK:
        return "EPBR";
    case FS_KIND_HPFS:
        return hidden ? "Hidden HPFS" : "HPFS";
    case FS_KIND_EXT2:
        return "Linux Ext2";
    case FS_KIND_LINUX_SWAP:
        return "Linux Swap";
    default:
        return nullptr;
    }
}

} // namespace

std::string PartitionTypeName(const PARTITION_INFO& pi, bool fallback) {
    if (const char* name = KindName(pi))
        return name;
    if (pi.ucPartType == 0x12)
        return UtilityName(pi.ulFlags2);
    auto it = std::lower_bound(std::begin(kTypeNames), std::end(kTypeNames), pi.ucPartType,
                               [](const TypeName& t, uint8_t type) { return t.type < type; });
    if (it != std::end(kTypeNames) && it->type == pi.ucPartType)
        return it->name;
    if (!fallback)
        return {};
    char text[8];
    std::snprintf(text, sizeof text, "Type %02X", pi.ucPartType);
    return text;
}
