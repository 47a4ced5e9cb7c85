// The engine's list of file-system kinds.
#pragma once

#include <cstddef>

struct FS_MODULE;

// Installs every kind's row: the factory's rows, the disk layer's rules of
// each kind and the merged disk-layer hooks. Engine set-up and start call it;
// so may a program or test that uses the file systems without starting.
void enInstallFsModules();

// The list itself (null past the last row).
const FS_MODULE* enFsModuleAt(std::size_t index);
