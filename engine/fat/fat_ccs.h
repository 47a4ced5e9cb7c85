// ChangeClusterSize: gives a FAT volume the cluster size, FAT kind,
// root-entry count and size chosen in its FAT_LIMITS. The data is put where
// the new layout keeps it (aligned to the larger clusters, or moved out of
// the sectors the new system area and the cut-off end take), then the
// volume's critical area is rewritten (RewriteCriticalArea) and the
// partition's entry takes the new size and type.
//
// Order on the disk: a partition that grows is grown first (the old volume
// does not look past its own end); every data move goes through the move
// executor in safe mode; the rewrite switches to the new layout in one boot
// sector write; a partition that shrinks is shrunk last. A cut at any write
// leaves the old or the new volume, or one the recovery of the next disk
// scan completes, with every file.
//
// The partition takes the limits' size, unless they leave the volume's size
// as it was (a partition may hold a few sectors past its volume): then it
// keeps its own.
//
// The new boot sector is built over the old one, so the identity fields
// not part of the layout stay as they were: OEM name, media byte, sectors
// per track, heads, and the volume serial with the label.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

class FAT_LIMITS;

// Mode: test the sectors a growing partition gains for bad sectors (they
// are marked bad in the new FAT).
inline constexpr uint32_t CCS_TEST_ADDED_SECTORS = 1;

// The change for an initialised, writable volume. ERR_BAD_ARGUMENT without
// volume or limits; ERR_FAT_INVALID_PARAMETERS (2026) when no layout of the
// limits' kind fits; ERR_BAD_SECTOR_IN_FS (509) for a bad cluster where the
// new system area goes; the codes of the alignment, the evacuation, the
// partition resize and the rewrite as they come. Before the rewrite begins a
// failure gives the partition its old size back; after it the volume keeps
// what was written. The volume is read again at the end, whatever the result.
kwRet ChangeClusterSize(FAT_FILESYSTEM* fs, FAT_LIMITS* limits, uint32_t mode);

} // namespace kw::fat
