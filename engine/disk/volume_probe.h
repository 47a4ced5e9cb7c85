// File-system kinds and the tests that give a partition its kind from its
// type byte and its first sectors (boot sector, ext2 superblock, swap page).
#pragma once

#include <cstdint>
#include <span>

enum FS_KIND : uint8_t {
    FS_KIND_NONE = 0,
    FS_KIND_FAT = 1,
    FS_KIND_UNUSABLE = 2,
    FS_KIND_FREE = 3,
    FS_KIND_NTFS = 4,
    FS_KIND_EXTENDED = 5,
    FS_KIND_EXTENDED_LINK = 6,
    FS_KIND_HPFS = 7,
    FS_KIND_RESERVED_DISK = 8,
    FS_KIND_EXT2 = 9,
    FS_KIND_BOOT_MANAGER = 10,
    FS_KIND_LINUX = 11,
    FS_KIND_LINUX_SWAP = 12,
    FS_KIND_NETWARE = 13,
    FS_KIND_TYPE_3C = 14,
    FS_KIND_FAT32 = 15,
    FS_KIND_DYNAMIC = 16,
    FS_KIND_RAW = 17,
};

inline constexpr uint32_t PI2_EISA_UTILITY = 0x40;
inline constexpr uint32_t PI2_HP_UTILITY = 0x80;

// The kind that the type byte alone gives; extended types inside an extended
// boot record are links.
uint8_t FsKindFromType(uint8_t type, bool inExtendedRecord);

bool IsFat32Type(uint8_t type);

// What a partition's first sector says about its volume.
struct BOOT_SECTOR_INFO {
    uint8_t fsKind = FS_KIND_NONE;
    bool raw = false;  // no 55h AAh: all sectors count as free
    bool ntfs = false; // the label must come from the NTFS volume
    bool hasVolumeInfo = false;
    uint32_t bootTotal = 0;
    uint32_t serial = 0;
    char label[12] = {}; // trailing blanks cut; "NO NAME" is empty
    bool hasSectorSize = false;
    uint16_t bytesPerSector = 0;
    uint16_t sectorFactor = 0;
    uint32_t flags2Set = 0;
};

// Classifies the first sector of a FAT, FAT32, HPFS or NTFS candidate of the
// given type, whose kind from the type byte is `kind` and whose ulFlags2 is
// `flags2`. Sectors shorter than 512 bytes read as zeros beyond their end.
BOOT_SECTOR_INFO ClassifyBootSector(uint8_t type, uint8_t kind, uint32_t flags2,
                                    std::span<const uint8_t> sector);

// The superblock test of types 80, 81, 83 on the third sector of the
// partition: FS_KIND_EXT2 or FS_KIND_LINUX, and a name for the log (or null).
uint8_t ClassifySuperBlock(std::span<const uint8_t> sector, const char** logLine);

// The swap test on the eighth sector of a type-82h partition (the end of
// the first 4096-byte page): FS_KIND_LINUX_SWAP or FS_KIND_NONE; the 10
// signature bytes, NUL-terminated, go to label.
uint8_t ClassifySwapPage(std::span<const uint8_t> sector, char (&label)[11]);

// Cuts a NUL-terminated text after its last non-blank character.
void TrimTrailingSpaces(char* text);
