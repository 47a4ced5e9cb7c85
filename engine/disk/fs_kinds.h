// What the disk layer knows of a file-system kind: its name in logs, the
// group of partition operations it allows and the smallest size a partition
// of it may shrink to. The file systems above fill these in their rows
// (engine/fs/fs_module.h); the host installs them at engine start. A kind
// without rules answers as one the engine does not know: no name, no group,
// no minimum.
#pragma once

#include <cstdint>

struct PARTITION_INFO;

// The group of partition operations a kind of file system allows.
enum class FS_LEGAL_GROUP : std::uint8_t {
    NONE,    // none beyond what the partition's place gives
    FAT,     // FAT and FAT32: copy, move, resize, convert (sectors of 512 bytes)
    FS,      // a file system that can be copied, moved and resized
    SWAP,    // a swap area
    NETWARE, // NetWare (moved only, while its support is off)
};

struct FS_DISK_RULES {
    const char* logName = nullptr;
    FS_LEGAL_GROUP legalGroup = FS_LEGAL_GROUP::NONE;
    // FAT12 and FAT16: the operations note clusters smaller than 32 sectors.
    bool smallClusterBit = false;
    // Never offered as the active partition (swap areas, NetWare).
    bool neverActive = false;
    // May still be moved on a local disk when its file system is unreadable.
    bool movableWhenUnreadable = false;
    // The smallest size, from the record's used and free sectors; null: the
    // file system gives its own limits.
    std::uint32_t (*minimumSize)(const PARTITION_INFO* pi) = nullptr;
    // The largest size a partition of this kind may have; 0: no limit of its own.
    std::uint32_t maximumSize = 0;
    // The smallest size its file system allows, measured by opening it (the
    // partition handle may be opened); 0 when it cannot say. Null: the kind
    // has no file-system minimum.
    std::uint32_t (*fsMinimumSize)(PARTITION_INFO* pi) = nullptr;
};

inline constexpr std::uint8_t kFsKindSlots = 32;

// Installs (or with null removes) the rules of one kind.
void kwSetKindRules(std::uint8_t kind, const FS_DISK_RULES* rules);
// The rules of a kind; an empty set when none are installed.
const FS_DISK_RULES& kwKindRules(std::uint8_t kind);
