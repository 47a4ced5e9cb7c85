// The search of host folders: every entry under a host (POSIX) folder whose
// name matches a wildcard pattern, in that folder or through all its
// subfolders, into a DIRLIST of full host paths with their FILE_ATTR bits
// and sizes. Pending folders wait on an explicit stack; symbolic links to
// folders are listed but never followed, so the walk ends on any tree.
#pragma once

#include "engine/core/kwret.h"
#include "engine/fs/dirlist.h"

#include <cstdint>

// flags: SEARCH_SUBDIRECTORIES (descend), SEARCH_DIRECTORIES_TOO (folders
// can be results). Names are compared without case. Without a result list
// the result says whether anything matched (ERR_FILE_NOT_FOUND if not);
// ERR_PATH_NOT_FOUND when the folder cannot be listed.
kwRet kwHostFind(const char* folder, const char* pattern, uint32_t flags, DIRLIST* out);
