// The enumeration of a disk as the test tool prints it: one JSON object per
// partition record in the engine's order, with its role (primary, logical,
// extended or free), start, size, type, kind, label, serial and flags.
#pragma once

#include "engine/disk/partition_info.h"

#include <string>

// The name of an FS_KIND ("fat", "ntfs", "free", ...); "kind-N" for a value
// without a name.
std::string FsKindName(uint8_t kind);

// One line per record of the disk, each a JSON object ending in "\n".
std::string PartitionsAsJsonLines(const DISK_RECORD* disk);
