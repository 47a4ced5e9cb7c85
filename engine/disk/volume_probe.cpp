#include "engine/disk/volume_probe.h"

#include "engine/disk/byte_reader.h"
#include "engine/disk/part_types.h"
#include "include/kwbytes.h"

#include <cstring>

using kwbytes::LoadLe16Padded;
using kwbytes::LoadLe32Padded;
using kwbytes::LoadU8Padded;
using kwdisk::BytesEqual;

uint8_t FsKindFromType(uint8_t type, bool inExtendedRecord) {
    const PART_TYPE_ROW* row = PartTypeRow(type);
    if (row == nullptr)
        return FS_KIND_NONE;
    if (row->kind == FS_KIND_EXTENDED && inExtendedRecord)
        return FS_KIND_EXTENDED_LINK;
    return row->kind;
}

bool IsFat32Type(uint8_t type) {
    return type == 0x0B || type == 0x0C || type == 0x1B || type == 0x1C;
}

void TrimTrailingSpaces(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        --n;
    text[n] = '\0';
}

namespace {

// Total, label and serial of a FAT-style boot sector whose 11-byte label
// lies at labelAt and serial at serialAt.
void TakeVolumeInfo(std::span<const uint8_t> s, size_t labelAt, size_t serialAt,
                    BOOT_SECTOR_INFO* info) {
    info->hasVolumeInfo = true;
    uint16_t small = LoadLe16Padded(s, 19);
    info->bootTotal = small != 0 ? small : LoadLe32Padded(s, 32);
    for (size_t i = 0; i < 11; ++i)
        info->label[i] = static_cast<char>(LoadU8Padded(s, labelAt + i));
    info->label[11] = '\0';
    TrimTrailingSpaces(info->label);
    if (std::strcmp(info->label, "NO NAME") == 0)
        info->label[0] = '\0';
    info->serial = LoadLe32Padded(s, serialAt);
}

bool IsNtfsBootSector(std::span<const uint8_t> s) {
    return BytesEqual(s, 3, "NTFS    ") && LoadLe16Padded(s, 19) == 0 && LoadLe32Padded(s, 32) == 0;
}

// The EISA and HP marks of a type-12h utility partition; false when the
// partition must count as raw.
bool TakeUtilityMarks(std::span<const uint8_t> s, uint32_t flags2, BOOT_SECTOR_INFO* info) {
    bool eisa = BytesEqual(s, 39, "EISA");
    if (eisa)
        info->flags2Set |= PI2_EISA_UTILITY;
    if (BytesEqual(s, 43, "HP_UTILITY"))
        info->flags2Set |= PI2_HP_UTILITY;
    return eisa || (flags2 & PI2_EISA_UTILITY) == 0;
}

} // namespace

BOOT_SECTOR_INFO ClassifyBootSector(uint8_t type, uint8_t kind, uint32_t flags2,
                                    std::span<const uint8_t> s) {
    BOOT_SECTOR_INFO info;
    info.fsKind = kind;
    if (LoadLe16Padded(s, 510) != 0xAA55 || (type == 0x12 && !TakeUtilityMarks(s, flags2, &info))) {
        info.fsKind = FS_KIND_RAW;
        info.raw = true;
        return info;
    }
    if (IsNtfsBootSector(s)) {
        info.fsKind = FS_KIND_NTFS;
        info.ntfs = true;
        info.serial = LoadLe32Padded(s, 72);
        info.bootTotal = LoadLe32Padded(s, 40);
    } else if (IsFat32Type(type)) {
        TakeVolumeInfo(s, 71, 67, &info);
    } else if (LoadU8Padded(s, 38) == 0x29 || LoadU8Padded(s, 38) == 0x28) {
        if (info.fsKind != FS_KIND_FAT && BytesEqual(s, 54, "FAT"))
            info.fsKind = FS_KIND_FAT;
        else if (info.fsKind != FS_KIND_HPFS && BytesEqual(s, 54, "HPFS"))
            info.fsKind = FS_KIND_HPFS;
        TakeVolumeInfo(s, 43, 39, &info);
    }
    if (info.fsKind == FS_KIND_FAT || info.fsKind == FS_KIND_FAT32 || info.fsKind == FS_KIND_NTFS) {
        info.hasSectorSize = true;
        info.bytesPerSector = LoadLe16Padded(s, 11);
        bool whole = info.bytesPerSector != 0 && info.bytesPerSector % 512 == 0;
        info.sectorFactor = whole ? info.bytesPerSector / 512 : 0;
    }
    return info;
}

uint8_t ClassifySuperBlock(std::span<const uint8_t> s, const char** logLine) {
    *logLine = nullptr;
    switch (LoadLe16Padded(s, 56)) {
    case 0xEF53:
        *logLine = "CheckSuperBlock: ext2 fs\n";
        return FS_KIND_EXT2;
    case 0xEF51:
        *logLine = "CheckSuperBlock: Ext2 FS (pre 02b)\n";
        return FS_KIND_LINUX;
    case 0x137D:
        *logLine = "CheckSuperBlock: Ext FS\n";
        return FS_KIND_LINUX;
    default:
        break;
    }
    switch (LoadLe16Padded(s, 16)) {
    case 0x137F:
        *logLine = "CheckSuperBlock: orig Minix FS\n";
        break;
    case 0x138F:
        *logLine = "CheckSuperBlock: Minix (30) FS\n";
        break;
    case 0x2468:
        *logLine = "CheckSuperBlock: Minix V2 FS\n";
        break;
    default:
        break;
    }
    return FS_KIND_LINUX;
}

uint8_t ClassifySwapPage(std::span<const uint8_t> s, char (&label)[11]) {
    for (size_t i = 0; i < 10; ++i)
        label[i] = static_cast<char>(LoadU8Padded(s, 502 + i));
    label[10] = '\0';
    bool swap = BytesEqual(s, 502, "SWAP-SPACE") || BytesEqual(s, 502, "SWAPSPACE2");
    return swap ? FS_KIND_LINUX_SWAP : FS_KIND_NONE;
}
