// Following a moved partition in a LILO boot loader's sector addresses. The
// loader finds its descriptor table, its map sectors and the kernels through
// absolute 5-byte addresses in its boot sector and its map sectors. After
// the engine has moved a partition (its data is at the new place already),
// every LILO first-stage boot sector on every disk and partition is read,
// each address that fell inside the partition's old range is rewritten to
// the same offset in the new one (in its own linear or cylinder/head/sector
// form), and the tables are followed through the rewritten addresses. All of
// one boot sector's changes are worked out before any is written: an
// address that would not fit its form, or a table that cannot be read,
// leaves that loader as it was. Map sectors and the descriptor table are
// written before the boot sector that leads to them.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"

#include <cstdint>

inline constexpr uint32_t LILO_OPERATION_MOVED = 10;
inline constexpr uint32_t LILO_ADDRESS_BYTES = 5;

// The move being followed.
struct LILO_MOVE {
    DISK_RECORD* disk = nullptr;                     // the moved partition's disk
    uint8_t device = 0;                              // its BIOS unit without the 80h bit
    uint32_t oldStart = 0, oldEnd = 0, newStart = 0; // [oldStart, oldEnd) moved to newStart
};

enum class LILO_RELOCATION {
    Unchanged, // another disk, a floppy, or outside the old range
    Rewritten,
    TooFar, // the new place does not fit the address's form: left as it was
};

// One address, rewritten in place when it names a sector of the old range.
LILO_RELOCATION RelocateLiloAddress(const LILO_MOVE& move, uint8_t* address);

// Up to `count` consecutive addresses, stopping at a count byte of 0:
// *changed when any was rewritten; ERR_OUT_OF_RANGE when one does not fit
// (the others may have been rewritten in the caller's copy).
kwRet RelocateLiloAddresses(const LILO_MOVE& move, uint32_t count, uint8_t* first, bool* changed);

// A LILO boot sector, as this engine edits it: the older layout ("LILO" at
// 2) is converted to the newer one ("LILO" at 6) on reading and back on
// writing, where only the converted bytes of the sector as read change.
struct LILO_RECORD {
    uint8_t sector[512] = {}; // as read
    uint8_t record[512] = {}; // in the newer layout
    bool olderLayout = false;

    void FromSector();
    void ToSector();
    // "LILO" at 6 and 1 at 10: a first stage whose addresses are followed.
    bool FirstStage() const;
};

// The 16-bit checksum of a two-sector descriptor table: 0ABCDh XOR every
// 16-bit word 1..511.
uint16_t LiloChecksum(const uint8_t* table);

// Rewrites one boot sector: sector 0 of the disk (partition null) or of the
// partition. 0 when it is no LILO first stage or nothing needed changing.
kwRet FixLiloSector(DISK_RECORD* disk, PARTITION_INFO* partition, const LILO_MOVE& move);

// After a partition change: nothing (0) unless the operation is a move
// (10) to another start; else every disk's sector 0 and every partition's
// (but free space, extended links and reserved disks) goes through
// FixLiloSector. The first real failure is returned, 35 (a table address in
// no ext2 partition) counting as none; the others are still fixed.
kwRet FixLiloAfterMove(uint32_t operation, PARTITION_INFO* partition, uint32_t oldStart,
                       uint32_t newStart);
