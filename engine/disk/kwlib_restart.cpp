// What the disk library tells the reboot manager: a restart asked for, and
// the partition operations after which the running system would no longer
// see its disks as they are.
#include "engine/core/rebootmgr.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"

namespace {

constexpr uint32_t kHiddenMarkType = 0x3D;

bool IsDosKind(uint32_t os) {
    return os <= KW_OS_DOS71;
}

bool IsVisibleFatType(uint8_t type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0E;
}

// FAT32 types count as visible under the kinds that know FAT32.
bool IsVisibleType(uint8_t type) {
    uint32_t os = kwGetOsKind();
    bool fat32Kinds =
        os == KW_OS_DOS71 || os == KW_OS_WIN95B || os == KW_OS_WIN98 || os == KW_OS_WINME;
    return IsVisibleFatType(type) || ((type == 0x0B || type == 0x0C) && fat32Kinds);
}

void TypeChanged(REBOOT_MANAGER* rm, const PARTITION_INFO* pi, uint32_t letter, uint32_t value) {
    uint32_t disk = pi->disk->diskNumber;
    if (IsVisibleType(pi->ucPartType)) {
        if (letter == 0)
            rm->PartitionUnhidden(disk, pi->ulStartSect, value);
    } else if (letter != 0 || rm->IsChanged(disk, pi->ulStartSect)) {
        rm->PartitionHidden(disk, pi->ulStartSect, letter, value);
    }
}

} // namespace

void kwRequestRestart(uint32_t flags) {
    bool nt = (kwGetOsKind() & KW_OS_NT_KINDS) != 0;
    if (gRebootManager != nullptr && !(nt && (flags & 1) == 0))
        gRebootManager->PartitionUnsafe(1, 1, 0);
}

void kwPartitionChanged(uint32_t operation, const PARTITION_INFO* pi, uint32_t argument) {
    REBOOT_MANAGER* rm = gRebootManager;
    if (rm == nullptr || pi == nullptr || pi->disk == nullptr ||
        (kwGetOsKind() & KW_OS_NT_KINDS) != 0)
        return;
    uint32_t letter = IsDriveLetter(static_cast<char>(pi->ucDriveLetter)) ? pi->ucDriveLetter : 0;
    uint32_t disk = pi->disk->diskNumber;
    uint32_t start = pi->ulStartSect;
    switch (operation) {
    case KW_OP_CREATED:
    case KW_OP_CREATED_LOGICAL:
        rm->PartitionCreated(disk, start, argument);
        if (pi->ucPartType != kHiddenMarkType)
            TypeChanged(rm, pi, letter, argument);
        break;
    case KW_OP_DELETED:
        rm->PartitionDeleted(disk, start, letter, argument);
        break;
    case KW_OP_UNSAFE:
        if (!IsHiddenType(pi->ucPartType))
            rm->PartitionUnsafe(disk, start, 0);
        break;
    case KW_OP_MOVED:
        if (IsDosKind(kwGetOsKind()) && letter != 0)
            rm->PartitionMoved(disk, start, start, letter, argument);
        break;
    case KW_OP_HIDDEN:
        if (letter != 0)
            rm->PartitionHidden(disk, start, argument, 0);
        break;
    case KW_OP_UNHIDDEN:
        if (IsVisibleType(pi->ucPartType))
            rm->PartitionUnhidden(disk, start, argument);
        break;
    case KW_OP_TYPE_CHANGED:
        TypeChanged(rm, pi, letter, argument);
        break;
    default:
        break;
    }
}
