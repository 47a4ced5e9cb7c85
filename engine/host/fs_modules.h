// The engine's list of file-system kinds.
#pragma once

#include "engine/core/kwret.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct FS_MODULE;
struct PARTITION_INFO;

// Installs every kind's row: the factory's rows, the disk layer's rules of
// each kind and the merged disk-layer hooks. Engine set-up and start call it;
// so may a program or test that uses the file systems without starting.
void enInstallFsModules();

// The list itself (null past the last row).
const FS_MODULE* enFsModuleAt(std::size_t index);

// At most maxBytes of a file inside the partition's own file system, read
// through the engine's file objects (never the host's); the disk layer's
// probes read hibernation files and msdos.sys with it.
kwRet enReadPartitionFile(PARTITION_INFO* pi, const char* path, std::uint32_t maxBytes,
                          std::string* bytes);
