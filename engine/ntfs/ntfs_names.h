// Names inside an NTFS volume as the write side takes them: the checks a
// new name must pass, the name types it gets, and paths split into their
// folder and last name.
#pragma once

#include "engine/core/kwret.h"

#include <string>

namespace kw::ntfs {

// A name as UTF-16 code units; false for one that is empty, longer than 255
// units, or holds a control character or one of \ < > : " |.
bool NtfsName(const std::string& utf8, std::u16string* out);
// A name DOS could hold as it is (upper-case 8.3): it gets the Win32 and DOS
// name type, any other name the Win32 type alone.
bool IsUpperShortName(const std::u16string& name);
// The folder part ("\" for the root) and the last name of a path inside the
// volume; 505 for an empty path or one ending in '\'.
kwRet SplitLast(const char* path, std::string* folder, std::string* name);

} // namespace kw::ntfs
