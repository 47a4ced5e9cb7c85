// Engine start and stop, the partition table of the debug log, and the
// engine's questions about partitions.
#include "engine/host/engine.h"

#include "engine/core/cmdline.h"
#include "engine/core/dbgmgr.h"
#include "engine/core/globals_mgr.h"
#include "engine/disk/disk_probes.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"
#include "engine/disk/remote_disks.h"
#include "engine/fs/fs_module.h"
#include "engine/host/engine_setup.h"
#include "engine/host/estimate.h"
#include "engine/host/fs_modules.h"

#include <cstdio>

namespace {

std::uint8_t gState = EN_STATE_STOPPED;

void Log(DEBUG_LEVEL level, const char* text) {
    if (gDbgMgr != nullptr)
        gDbgMgr->Print(level, "%s", text);
}

// A failed estimate marks the partition unreadable; a kind whose row has no
// estimate yet keeps its counts and says so in the log.
void Estimate(PARTITION_INFO* pi) {
    if (fsModuleOf(pi->ucFsKind) == nullptr)
        return;
    kwRet rc = EstimateUsedSectors(pi);
    if (rc == ERR_FS_NOT_SUPPORTED && gDbgMgr != nullptr)
        gDbgMgr->Print(DBG_LEVEL_TRACE,
                       "\nNo used-sector estimate for %s partitions yet (kwRet == %lu)\n",
                       kwKindRules(pi->ucFsKind).logName, static_cast<unsigned long>(rc));
    else if (rc != KW_OK)
        pi->ulFlags |= PI_READ_ERROR;
}

// The name of a partition's kind in the table of the log: its file system's
// name, or what the partition is.
const char* KindName(const PARTITION_INFO* pi) {
    if (const char* name = kwKindRules(pi->ucFsKind).logName; name != nullptr)
        return name;
    switch (pi->ucFsKind) {
    case FS_KIND_LINUX:
        return "Linux";
    case FS_KIND_FREE:
        return "Unallocated";
    case FS_KIND_EXTENDED:
    case FS_KIND_EXTENDED_LINK:
        return "Extended";
    case FS_KIND_BOOT_MANAGER:
        return "Boot Manager";
    case FS_KIND_RESERVED_DISK:
        return "Reserved";
    case FS_KIND_DYNAMIC:
        return "Dynamic";
    default:
        return "Unknown";
    }
}

void LogPartitionLine(const PARTITION_INFO* pi) {
    if (gDbgMgr == nullptr)
        return;
    char colon = (pi->ucDriveLetter != '*' && (pi->ulFlags & PI_HOST_LETTER) == 0) ? '?' : ':';
    gDbgMgr->Print(DBG_LEVEL_TRACE, "%c%c%-12s%-16s%08X %-8s %02X%8lu%8lu\n", pi->ucDriveLetter,
                   colon, pi->volumeLabel, KindName(pi), static_cast<unsigned>(pi->ulSerial),
                   pi->name, static_cast<unsigned>(pi->ucStatus),
                   static_cast<unsigned long>(pi->ulUsedSects),
                   static_cast<unsigned long>(pi->ulFreeSects));
}

void LogBanner() {
    const char* line =
        "-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-_-\n";
    Log(DBG_LEVEL_TRACE, line);
    Log(DBG_LEVEL_TRACE, "\n\tBegin Engine Initialization ...\n");
    Log(DBG_LEVEL_TRACE, "\n");
    Log(DBG_LEVEL_TRACE, line);
}

kwRet AfterLibraryOpen() {
    kwRet rc = enInitializeEngine();
    if (rc != KW_OK)
        return rc;
    gState = EN_STATE_STARTED;
    if (enServiceHooks().loadPrefs != nullptr)
        enServiceHooks().loadPrefs();
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    if (first == nullptr)
        Log(DBG_LEVEL_HEADER,
            "enStartEngine - Warning: No hard disks are present on the workstation\n");
    return KW_OK;
}

} // namespace

std::uint8_t enGetEngineState() {
    return gState;
}

kwRet enGetDiskList(DISK_RECORD** first) {
    if (first == nullptr)
        return ERR_BAD_POINTER;
    return kwGetDiskList(first);
}

kwRet enStartEngine(std::uint32_t flags) {
    if (!enLibraryIsSetUp())
        return ERR_NOT_OPEN;
    gGlobalsManager->SetFlag(flags);
    KW_TRACE(trace, "enStartEngine");
    gState = EN_STATE_STOPPED;
    LogBanner();
    if (kwSwitchSet(SW_UVM))
        kwSetUseVirtualMemory();
    kwMarkWindowsPartitionOnOpen(true);
    enInstallFsModules();
    kwRet rc = kwLibOpen();
    if (rc == KW_OK) {
        gState = EN_STATE_LIBRARY_OPEN;
        rc = AfterLibraryOpen();
    }
    if (!kwSwitchSet(SW_LVL) && gDbgMgr != nullptr)
        gDbgMgr->SetLevel(DBG_LEVEL_DETAIL);
    return trace.Return(rc);
}

kwRet enStopEngine() {
    kwRet rc = KW_OK;
    {
        KW_TRACE(trace, "enStopEngine");
        if (gState == EN_STATE_STARTED) {
            rc = ReleaseRemoteDisks();
            if (rc != KW_OK)
                DbgPrintf("enStopEngine: error %d clearing remote disks\n", static_cast<int>(rc));
        }
        trace.Return(rc);
    }
    if (gState == EN_STATE_STARTED && gDbgMgr != nullptr)
        gDbgMgr->Uninit();
    if (gState != EN_STATE_STOPPED) {
        kwRet closed = kwLibClose();
        if (rc == KW_OK)
            rc = closed;
    }
    gState = EN_STATE_STOPPED;
    return rc;
}

kwRet enInitializeEngine() {
    Log(DBG_LEVEL_TRACE, "\nenInitializeEngine ...");
    Log(DBG_LEVEL_TRACE, "\n==================================================================\n");
    Log(DBG_LEVEL_TRACE, "Volume        Partition       Serial   BootManager Used    Free\n");
    Log(DBG_LEVEL_TRACE, "Letter:Label  Type            Number   Name   Flag Sectors Sectors\n");
    Log(DBG_LEVEL_TRACE, "------------- --------------- -------- -------- -- ------- -------\n");
    DISK_RECORD* first = nullptr;
    kwRet rc = kwGetDiskList(&first);
    for (DISK_RECORD* disk = first; rc == KW_OK && disk != nullptr; disk = disk->next) {
        for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
            Estimate(pi);
            ComputeLegalOps(pi);
            LogPartitionLine(pi);
        }
    }
    if (gDbgMgr != nullptr)
        gDbgMgr->Print(DBG_LEVEL_TRACE, "\nenInitializeEngine complete (kwRet == %lu)",
                       static_cast<unsigned long>(rc));
    return rc;
}

kwRet enResetLegalOps() {
    KW_TRACE(trace, "enResetLegalOps");
    return trace.Return(ResetLegalOps());
}

bool enIsUsedLogical(const PARTITION_INFO* pi) {
    return pi != nullptr && (pi->ulFlags & PI_LOGICAL) != 0 && pi->ucFsKind != FS_KIND_EXTENDED &&
           pi->ucFsKind != FS_KIND_EXTENDED_LINK;
}

kwRet enSetDiskFlag(std::uint32_t diskNumber, bool on) {
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    for (DISK_RECORD* disk = first; disk != nullptr; disk = disk->next) {
        if (disk->diskNumber != diskNumber)
            continue;
        if (!on) {
            disk->ulFlags &= ~DISK_PREFERENCE;
            return KW_OK;
        }
        disk->ulFlags |= DISK_PREFERENCE;
        return enResetLegalOps();
    }
    return ERR_BAD_ARGUMENT;
}

const char* enGetPartitionName(const PARTITION_INFO* pi) {
    static char name[300];
    if (pi == nullptr)
        return "";
    if (pi->ucDriveLetter == '*' && pi->volumeLabel[0] == '\0')
        std::snprintf(name, sizeof name, "partition at %lu",
                      static_cast<unsigned long>(pi->ulStartSect));
    else
        std::snprintf(name, sizeof name, "%c:%s", pi->ucDriveLetter, pi->volumeLabel);
    return name;
}

kwRet enApplyHiddenType(const PARTITION_INFO* pi, std::uint8_t* type) {
    if (pi == nullptr || type == nullptr)
        return ERR_BAD_ARGUMENT;
    if (IsHiddenType(pi->ucPartType))
        *type = HideType(*type, true);
    return KW_OK;
}
