// The names of partition types that the partition-information table of the
// debug log shows: by the record's file-system kind first (what the engine
// found in the partition), else by its type byte.
#pragma once

#include "engine/disk/partition_info.h"

#include <string>

// The record's type name. A type without a name gives "Type XX" (two hex
// digits) when `fallback` is set, else an empty text.
std::string PartitionTypeName(const PARTITION_INFO& pi, bool fallback);
