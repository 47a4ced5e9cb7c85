// The name the user interface shows for a partition's file system: by the
// engine's file-system kind first, else by the partition-type byte.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the name, NUL-terminated and cut to size - 1 characters, into the
// buffer (empty when no name applies) and returns the buffer. A null buffer
// or a size of 0 is returned untouched.
char* GetFileSystemName(std::uint8_t fsKind, std::uint8_t type, char* buffer, std::size_t size);
