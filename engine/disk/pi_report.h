// The enumeration of a disk as the test tool prints it: one JSON object per
// partition record in the engine's order, with its index (every record, from
// 0), its partition number (from 1, what "disk:FILE:N" names; null for free
// space, extended partitions, links and a reserved disk), role (primary,
// logical, extended or free), start, size, type, kind, label, serial, flags
// and whether it reaches past the disk's end.
#pragma once

#include "engine/disk/partition_info.h"

#include <string>

// The name of an FS_KIND ("fat", "ntfs", "free", ...); "kind-N" for a value
// without a name.
std::string FsKindName(uint8_t kind);

// True for the records that carry a partition number: every record but free
// space, extended partitions and links, and a reserved disk's record.
bool IsNumberedPartition(const PARTITION_INFO* pi);

// One line per record of the disk, each a JSON object ending in "\n".
std::string PartitionsAsJsonLines(const DISK_RECORD* disk);
