// Names of the volume files of a container set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kwv {

// True when the path ends in '.' and three digits: a continuation volume.
bool IsContinuationPath(std::string_view path);
// The path of volume n: volume 0 is the path itself; volume n >= 1 has the
// extension of the last component replaced by (or given) "." and n + 1 in
// three digits.
std::string VolumePath(std::string_view path0, uint32_t n);
// The folder part of a path (up to its last separator; "" when none).
std::string_view FolderOf(std::string_view path);
// The last component of a path.
std::string_view NameOf(std::string_view path);
// The volume index a file name in the set's folder stands for, or -1: 0 for
// the volume-0 name, n - 1 for a three-digit extension of value n >= 2.
int VolumeIndexOfName(std::string_view name, std::string_view name0);

} // namespace kwv
