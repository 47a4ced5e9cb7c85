// The checks of partition enumeration: each table entry against its disk's
// geometry, and each disk's layout once all its entries are records (with the
// partition-information table in the debug log). Findings are logged; a
// structural one (an empty or inconsistent entry, a logical chain running
// backwards, overlapping partitions) is the result, which makes the caller
// reserve the disk. Alignment findings (a partition not on head or cylinder
// boundaries, a logical not one track after its extended boot record) are
// logged as information only: disks partitioned by current tools align to
// 1 MiB and are sound.
#pragma once

#include "engine/disk/partition_info.h"
#include "engine/disk/partition_table.h"

#include <vector>

// The triple of an absolute sector under the disk's CHS conversion pair; the
// cylinder is not cut at 1023.
CHS_TRIPLE ChsOf(const DISK_RECORD& disk, uint32_t sector);

// True when a stored begin or end triple need not match the sector it stands
// for: large-drive placeholders (cylinder 1023, or 1022 for NetWare types),
// LBA types, a cylinder stored modulo 1024, or a sector past the CHS limit.
bool IsChsPlaceholder(const CHS_TRIPLE& triple, const DISK_RECORD& disk, uint8_t type,
                      uint32_t sector);

// DOS and NT file-system types, whose records get PI_CHECKED_TYPE.
bool IsCheckedType(uint8_t type);

// Gives the disk the CHS conversion pair its table was written under: the
// disk's own when every entry's triples agree with it, else the 255-head,
// 63-sector translation of partitioning tools or the pair the entries' end
// triples imply, whichever every entry agrees with (a disk smaller than one
// cylinder gets a geometry of its own that tools do not use). Unchanged when
// none agrees with all of them.
void AdoptTableGeometry(DISK_RECORD* disk, const std::vector<TABLE_ENTRY>& entries);

// Checks one entry as the table walk found it; logs each finding. The code of
// the first structural finding, or 0.
kwRet CheckEntry(const DISK_RECORD& disk, const TABLE_ENTRY& te);

// Checks the disk's chain and logs its partition-information table. 113 when
// partitions overlap, else 0.
kwRet CheckLayout(DISK_RECORD* disk);

// Adds the free-space records of the disk's gaps (at least one cylinder,
// aligned to cylinders), gives each primary its room up to the next one and
// sets DISK_FREE_SPACE_BUILT. Does nothing for a reserved disk.
kwRet BuildFreeSpace(DISK_RECORD* disk);
// Removes the disk's free-space records and clears DISK_FREE_SPACE_BUILT.
void RemoveFreeSpace(DISK_RECORD* disk);
