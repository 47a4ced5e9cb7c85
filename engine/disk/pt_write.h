// Writing partition-table entries: one entry of the master boot record or of
// an extended boot record is rewritten in place (start, size, CHS triples or
// type) and the partition record follows only once the sector is written.
#pragma once

#include "engine/disk/partition_info.h"

// Rewrites the record's entry to cover [newStart, newEnd). The stored start
// is relative to the entry's base: sector 0 for a primary, the entry's own
// extended boot record for a logical, the primary extended partition for a
// link. 4 for a record without an entry or a run that does not fit.
kwRet RewriteEntry(PARTITION_INFO* pi, uint32_t newStart, uint32_t newEnd);

// Sets the type byte of the entry. Type 3Ch (written while a partition is
// being changed) only marks the record (PI_TYPE_3C) and leaves its type and
// kind; any other type clears the mark and the record takes type and kind.
kwRet SetPartitionType(PARTITION_INFO* pi, uint8_t type, uint8_t kind);

// Resizes a partition to newCount sectors by rewriting the entries that
// describe it: a primary's own entry; a logical's entry and the link that
// leads to its extended boot record (and, when it grows past the end of the
// extended partition, the extended entry first). 4 for a link, a count of 0
// or an extended partition cut below a logical in it; 719 above the room
// (0: no maximum); 720 for a checked type whose new end is off a cylinder;
// 704/705 when no link leads to the logical. Free space is rebuilt when it
// had been built.
kwRet ResizePartition(PARTITION_INFO* pi, uint32_t newCount);

// Writes the extended boot record at the link record's start: the logical
// partition that follows the link (entry 0, with its status byte and name),
// and the link to the next record (relative to the primary extended
// partition) unless nextStart is 0. Without a logical, the link takes the
// second slot alone.
kwRet WriteEpbr(PARTITION_INFO* link, uint32_t nextStart, uint32_t nextEnd);
