// The engine's working directory (where the debug file and the result log go)
// and the conversion between engine paths (drive letters, "\") and host paths.
#pragma once

#include "engine/core/kwret.h"

#include <cstddef>
#include <string>

// Copies the working directory (with its trailing "\") into buffer; sets it to
// the system directory first when it was never set. 180 when it does not fit.
kwRet enGetWorkingDirectory(char* buffer, std::size_t size);
kwRet enGetWorkingDirectory(std::string* path);
// Stores path (a trailing "\" is added), or the system directory for null.
// 182 when the system directory cannot be had.
kwRet enSetWorkingDirectory(const char* path);
// The engine's system directory: KW_SYSTEM_DIR when set, else the user's
// state folder for this program ($XDG_STATE_HOME or ~/.local/state, "kwvtfe").
kwRet enGetSystemDirectory(char* buffer, std::size_t size);
kwRet enGetSystemDirectory(std::string* path);
// Forgets the working directory (tests).
void kwResetWorkingDirectory();

// An engine path "X:\a\b" as a host path through the platform's drive
// table; false when the drive has no host folder. Drive C: is the host root.
bool kwEngineToHostPath(const std::string& enginePath, std::string* hostPath);
// A host path "/a/b" in drive form ("C:\a\b").
std::string kwHostToEnginePath(const std::string& hostPath);
