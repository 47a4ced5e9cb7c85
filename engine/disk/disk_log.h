// Logging of the disk library through the engine's debug manager; silent
// before the engine is set up.
#pragma once

#include "engine/core/dbgmgr.h"

#include <cstdarg>

void DiskLog(DEBUG_LEVEL level, const char* format, ...) KW_PRINTF_LIKE(2, 3);
void DiskLogFlagged(DEBUG_LEVEL level, const char* format, ...) KW_PRINTF_LIKE(2, 3);
