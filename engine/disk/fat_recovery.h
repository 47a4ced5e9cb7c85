// Recovery of a FAT operation that was interrupted. While the engine changes
// a FAT partition it writes type 3Ch into the partition's table entry and
// keeps the real type, with marks saying what was under way, in the first
// bytes of the FAT copies (where the media byte normally is). When the disk
// is scanned again such an entry is offered to this recovery first: the FAT
// copies are brought back into step, a root directory left in a cluster
// chain is put back into its fixed area, the entry gets its type back and
// the FATs their normal first bytes; the user is asked before and told after,
// and a restart is recorded. Nothing is written to a disk the session may not
// write.
#pragma once

#include "engine/disk/partition_info.h"
#include "engine/disk/partition_table.h"

#include <cstdint>
#include <span>

// Marks kept in the first byte of a FAT copy (a byte below 8).
inline constexpr uint8_t FAT_MARK_COPIES_OUT_OF_STEP = 0x1;
inline constexpr uint8_t FAT_MARK_ROOT_IN_CHAIN = 0x2;
inline constexpr uint8_t FAT_MARK_MOVING = 0x4;

// Where the parts of a FAT volume lie, as absolute sectors of the disk.
struct FAT_RECOVERY_LAYOUT {
    uint8_t fatBits = 0; // 12, 16 or 32
    uint32_t start = 0;  // the boot sector
    uint32_t sectorsPerFat = 0;
    uint32_t fatCount = 0;
    uint32_t firstFat = 0;    // the first sector of FAT copy 0
    uint32_t rootStart = 0;   // the fixed root area (FAT12/16)
    uint32_t rootEntries = 0; // entries of the fixed root area
    uint32_t dataStart = 0;   // cluster 2
    uint32_t sectorsPerCluster = 0;
    uint32_t clusterCount = 0;
    // From the partition's boot sector at `start`: false unless it ends in
    // 55h AAh, names FAT32 (at 82, when its 16-bit FAT size is 0) or FAT (at
    // 54) and has more than one FAT and a layout that fits 32-bit sectors.
    static bool parse(std::span<const uint8_t> bootSector, uint32_t start,
                      FAT_RECOVERY_LAYOUT* layout);
    // Why the recovery may not write to this volume inside a partition of
    // the given size, or null: the first FAT begins at the boot sector, a
    // FAT has fewer entries than the clusters and the two reserved ones (a
    // chain followed through it would leave it), or the FATs and the root
    // area reach past the partition.
    const char* Fault(uint32_t partitionSectors) const;
};

// The partition type kept in the first 8 bytes of a marked FAT sector.
uint8_t SavedPartitionType(uint8_t fatBits, std::span<const uint8_t> firstBytes);

// Offers a table entry of type 3Ch to the recovery. *recovered is true when
// the partition was recovered; te then carries its restored type. Nothing
// is done (0, not recovered) when the volume is no FAT volume, carries no
// marks, the disk may not be written, or the user does not answer Yes (with
// no user interface attached nobody can). An alignment shift under way (see
// align_marker.h) is completed first; a move of clusters inside the volume
// (mark FAT_MARK_MOVING without an alignment marker) is completed by the FAT
// file system through the disk layer's hooks (KW_FS_HOOKS::completeFatMove;
// without it the entry is left as it is). The order of completion: the FAT
// copies into step and a FAT16 root left in a chain back in its fixed area
// first (the completion of a move frees what no entry reaches, which would
// take the chained root with it), then the move, then the FATs' first
// bytes and last the type. A FAT too small for the volume's clusters, or otherwise
// unsafe to write (see Fault), is refused with ERR_FAT_BAD_GEOMETRY before anything is written.
// Read and write failures end the recovery with their code; the order of the writes lets a later
// run finish what a failed one began.
kwRet RecoverInterruptedFat(DISK_RECORD* disk, TABLE_ENTRY* te, bool* recovered);

// A FAT partition of a FAT type whose first FAT copy alone carries marks,
// every copy otherwise alike: a protected update cut between marking the
// first copy and giving the entry type 3Ch, or between giving the entry its
// type back and clearing the first copy. Nothing else was changed there, so
// with the user's consent the first copy takes the other copies' first
// bytes again (*repaired true). Nothing is done (0) for a partition of
// another type, no FAT volume, a first copy without marks, copies that
// differ elsewhere (left to a check of the volume), a disk that may not be
// written, or no Yes. Read and write failures give their codes.
kwRet RepairHalfMarkedFat(DISK_RECORD* disk, const TABLE_ENTRY& te, bool* repaired);
