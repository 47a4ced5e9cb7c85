// The reboot manager's place in the engine: created at set-up and connected to
// the disk library's restart hooks, with remote disks left out of its record.
#include "engine/host/reboot_services.h"

#include "engine/core/rebootmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/host/engine_setup.h"

#include <string>

namespace {

// Changes on remote or object disks are never recorded.
bool IsRemoteDisk(uint32_t number) {
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    for (; disk != nullptr; disk = disk->next)
        if (disk->diskNumber == number)
            return (disk->ulFlags & DISK_REMOTE) != 0;
    return false;
}

kwRet CreateRebootManager() {
    if (gRebootManager == nullptr)
        gRebootManager = new REBOOT_MANAGER;
    if (gRebootManager == nullptr)
        return ERR_NO_MEMORY;
    gRebootManager->SetRemoteTest(IsRemoteDisk);
    KW_RESTART_HOOKS restart;
    restart.hasChanges = [] { return gRebootManager != nullptr && gRebootManager->HasChanges(); };
    restart.recordUnsafe = [](uint16_t disk, uint32_t start) {
        if (gRebootManager != nullptr)
            gRebootManager->PartitionUnsafe(disk, start, 0);
    };
    kwSetRestartHooks(restart);
    return KW_OK;
}

void DestroyRebootManager() {
    kwSetRestartHooks(KW_RESTART_HOOKS{});
    delete gRebootManager;
    gRebootManager = nullptr;
}

// The last summary handed out, kept until the next one.
std::string& LastSummary() {
    static std::string text;
    return text;
}

const char* RebootSummary() {
    char* text = gRebootManager != nullptr ? gRebootManager->GetSummary() : nullptr;
    LastSummary() = text != nullptr ? text : "";
    kwFreeMemory(&text);
    return LastSummary().c_str();
}

} // namespace

void RebootManagerAddServiceHooks(EN_SERVICE_HOOKS* hooks) {
    hooks->createRebootManager = CreateRebootManager;
    hooks->destroyRebootManager = DestroyRebootManager;
    hooks->rebootSummary = RebootSummary;
    hooks->hasRebootChanges = [] {
        return gRebootManager != nullptr && gRebootManager->HasChanges();
    };
    hooks->isRebootNeeded = [] {
        return gRebootManager != nullptr && gRebootManager->IsRebootNeeded();
    };
    hooks->reboot = [] {
        if (gRebootManager != nullptr)
            gRebootManager->Reboot();
        return KW_OK;
    };
}
