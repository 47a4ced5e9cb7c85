#include "engine/disk/disk_log.h"

void DiskLog(DEBUG_LEVEL level, const char* format, ...) {
    if (gDbgMgr == nullptr)
        return;
    va_list args;
    va_start(args, format);
    gDbgMgr->VPrint(false, level, format, args);
    va_end(args);
}

void DiskLogFlagged(DEBUG_LEVEL level, const char* format, ...) {
    if (gDbgMgr == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    gDbgMgr->PrintFlagged(level, "%s", line);
}
