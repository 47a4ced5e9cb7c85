// Legal operations of partitions: the set of operations the engine allows on
// a partition record, kept in the upper half of its flags, and the tests the
// computation uses (hidden types, hiding a type, whether a record fits into
// another).
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Operation bits in PARTITION_INFO::ulFlags.
inline constexpr uint32_t LOP_COPY_PARTNER = 0x2000; // marked during a pairing pass
inline constexpr uint32_t LOP_FS_OPS = 0x10000;      // file-system operations
inline constexpr uint32_t LOP_COPY = 0x20000;        // at least one copy partner
inline constexpr uint32_t LOP_HIDE = 0x40000;
inline constexpr uint32_t LOP_UNHIDE = 0x80000;
inline constexpr uint32_t LOP_FAT_OPS = 0x100000;
inline constexpr uint32_t LOP_SET_ACTIVE = 0x200000;
inline constexpr uint32_t LOP_FAT_CHANGE = 0x400000;
inline constexpr uint32_t LOP_FAT16_SMALL_CLUSTERS = 0x800000;
inline constexpr uint32_t LOP_MODIFY = 0x1000000;
inline constexpr uint32_t LOP_DELETE = 0x2000000;
inline constexpr uint32_t LOP_CREATE = 0x4000000; // free space
inline constexpr uint32_t LOP_RESIZE = 0x8000000;
inline constexpr uint32_t LOP_FAT_CONVERT = 0x10000000;
inline constexpr uint32_t LOP_MOVE = 0x20000000;
inline constexpr uint32_t LOP_RESTRICTED = 0x40000000; // reserved, remote or unreadable
inline constexpr uint32_t LOP_INFO = 0x80000000;
inline constexpr uint32_t LOP_ALL = 0xFFFF0000;

// Groups of operations by kind.
inline constexpr uint32_t LOP_GROUP_FAT = 0x79510000;
inline constexpr uint32_t LOP_GROUP_FS = 0x69010000; // NTFS, HPFS, ext2
inline constexpr uint32_t LOP_GROUP_SWAP = 0x69000000;
inline constexpr uint32_t LOP_GROUP_NETWARE = 0x69000000 | LOP_DELETE;
inline constexpr uint32_t LOP_GROUP_RAW = 0x29000000;
inline constexpr uint32_t LOP_GROUP_REMOTE = 0x41000000;
inline constexpr uint32_t LOP_GROUP_REMOTE_NETWARE = 0x43000000;
inline constexpr uint32_t LOP_GROUP_EXTENDED = 0x28000000;
inline constexpr uint32_t LOP_GROUP_UNREADABLE = 0x41000000;
// What partitions of types 86h and 87h (fault-tolerant sets) keep.
inline constexpr uint32_t LOP_KEEP_FT_LOCAL = 0x845EFFFF;
inline constexpr uint32_t LOP_KEEP_FT_REMOTE = 0xBCFFFFFF;

// Computes the legal operations of one record from its kind and type, its
// neighbours, the disk's limits and the switches RDBG and MUP. 3 when no
// sector buffer could be had (the bits set so far stay).
kwRet ComputeLegalOps(PARTITION_INFO* pi);
// Recomputes every record of every disk in chain order.
kwRet ResetLegalOps();

// Types 11h, 14h, 16h, 17h, 1Bh, 1Ch, 1Eh, 3Dh and 84h.
bool IsHiddenType(uint8_t type);
// The hidden form of a type (01, 04, 06, 07, 0B, 0C, 0E get 10h; 65h becomes
// 3Dh; others stay), or the type unchanged without the hide flag.
uint8_t HideType(uint8_t type, bool hide);
// Whether a record of `size` sectors (0: the record's own size) fits into the
// target, reserving one track when the target does not start on a track and
// one more for an extended boot record in logical space.
bool FitsInto(const PARTITION_INFO* pi, const PARTITION_INFO* target, uint32_t size);
