// The OS/2 extended-attribute file ("EA DATA. SF") across a cluster-size
// change: its header and handle table address attributes in clusters, so
// the file is re-laid for the new cluster size before the critical area is
// rewritten and its surplus clusters are freed afterwards.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

// "The OS/2 Extended Attribute file is corrupt": its header or handle table
// does not describe the file (see fat_ea_file.h); nothing is written then.
inline constexpr kwRet ERR_FAT_EA_CORRUPT = 2024;

// Both work on a copy of the EA file (the cluster-size change copies it
// first and renames the copy over it at the end): a cut between their
// writes leaves the FAT sound (no cluster with two predecessors, at worst
// clusters no entry reaches and a size the chain does not fill), but the
// copy's table and chain may disagree.

// Re-lays the named EA file (a path in the volume) for newSpc sectors per
// cluster, before the critical area is rewritten. Smaller clusters: every
// base and location is multiplied by the factor (ERR_FAT_INVALID_PARAMETERS
// when a value no longer fits 16 bits). Larger clusters: the header and
// table and every attribute are padded to whole new clusters (new clusters
// spliced into the chain: FFh bytes after the table, zeros after an
// attribute; ERR_FAT_NO_SPACE when too few are free, before any write),
// then every location is divided by the factor. The file's size becomes its
// chain's; the table is written last. Equal sizes: 0, nothing done.
// ERR_BAD_ARGUMENT for sizes that are not power-of-two multiples.
kwRet ConvertEaFile(FAT_FILESYSTEM* fs, const char* name, uint32_t newSpc);

// After the rewrite: each attribute keeps the clusters its record needs
// (its byte length at byte 26 of its first sector, plus 26, in whole
// clusters); the rest of its allotment leaves the chain and is freed, and
// the later locations close up.
kwRet TrimEaFile(FAT_FILESYSTEM* fs, const char* name);

} // namespace kw::fat
