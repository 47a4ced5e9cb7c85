// The OS/2 extended-attribute file ("EA DATA. SF") across a cluster-size
// change: its header and handle table address attributes in clusters, so
// the file is re-laid for the new cluster size before the critical area is
// rewritten and its surplus clusters are freed afterwards.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class FAT_FILESYSTEM;

namespace kw::fat {

// Re-lays the named EA file (a path in the root) for newSpc sectors per
// cluster.
kwRet ConvertEaFile(FAT_FILESYSTEM* fs, const char* name, uint32_t newSpc);

// Frees the clusters each attribute of the named EA file no longer needs.
kwRet TrimEaFile(FAT_FILESYSTEM* fs, const char* name);

} // namespace kw::fat
