#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib_state.h"
#include "engine/disk/sector_buffer.h"

namespace {

KW_HANDLE_SLOT* OpenSlot(kwhandle handle) {
    if (handle >= KW_MAX_HANDLES)
        return nullptr;
    KW_HANDLE_SLOT& slot = DiskLib().handles[handle];
    return slot.state == KW_HANDLE_OPEN ? &slot : nullptr;
}

} // namespace

void kwForgetPi(const PARTITION_INFO* pi) {
    for (KW_HANDLE_SLOT& slot : DiskLib().handles) {
        if (slot.pi == pi)
            slot = KW_HANDLE_SLOT{};
    }
}

kwRet kwLogOpen(PARTITION_INFO* pi, kwhandle* handle) {
    if (pi == nullptr || (pi->ulFlags & PI_OPENABLE) == 0)
        return ERR_BAD_ARGUMENT;
    for (kwhandle h = 0; h < KW_MAX_HANDLES; ++h) {
        KW_HANDLE_SLOT& slot = DiskLib().handles[h];
        if (slot.state == 0) {
            slot.state = KW_HANDLE_OPEN;
            slot.pi = pi;
            *handle = h;
            return KW_OK;
        }
    }
    return ERR_BAD_HANDLE;
}

uint32_t kwLogFreeHandles() {
    uint32_t free = 0;
    for (kwhandle h = 0; h < KW_MAX_HANDLES; ++h)
        free += DiskLib().handles[h].state == 0;
    return free;
}

kwRet kwLogClose(kwhandle handle) {
    KW_HANDLE_SLOT* slot = OpenSlot(handle);
    if (slot == nullptr)
        return ERR_BAD_ARGUMENT;
    *slot = KW_HANDLE_SLOT{};
    return KW_OK;
}

kwRet kwLogGetPi(kwhandle handle, PARTITION_INFO** pi) {
    KW_HANDLE_SLOT* slot = OpenSlot(handle);
    if (slot == nullptr)
        return ERR_BAD_HANDLE;
    *pi = slot->pi;
    return KW_OK;
}

namespace {

// The partition behind an open handle when [sector, sector + count) lies
// inside it; else the code to return.
kwRet CheckRange(kwhandle handle, uint32_t sector, uint32_t count, const char* what,
                 PARTITION_INFO** pi) {
    KW_HANDLE_SLOT* slot = OpenSlot(handle);
    if (slot == nullptr)
        return ERR_BAD_HANDLE;
    if (uint64_t{sector} + count > slot->pi->NumSects) {
        DiskLog(DBG_LEVEL_TRACE,
                "%s - Sector out of range: Sector=%lu, NumSects=%lu, PartNumSects=%lu.\n", what,
                static_cast<unsigned long>(sector), static_cast<unsigned long>(count),
                static_cast<unsigned long>(slot->pi->NumSects));
        return ERR_OUT_OF_RANGE;
    }
    *pi = slot->pi;
    return KW_OK;
}

} // namespace

kwRet kwLogRead(kwhandle handle, uint32_t sector, void* buffer, uint32_t count) {
    PARTITION_INFO* pi = nullptr;
    kwRet rc = CheckRange(handle, sector, count, "kwLogRead", &pi);
    return rc != KW_OK ? rc : phyRead(pi->disk, pi->ulStartSect + sector, buffer, count);
}

kwRet kwLogWrite(kwhandle handle, uint32_t sector, const void* buffer, uint32_t count) {
    PARTITION_INFO* pi = nullptr;
    kwRet rc = CheckRange(handle, sector, count, "kwLogWrite", &pi);
    return rc != KW_OK ? rc : phyWrite(pi->disk, pi->ulStartSect + sector, buffer, count);
}

namespace {

// The lock's write test. It writes nothing: a rewrite of sector 0 of the
// disk or of the partition would put the master boot record or the boot
// sector at risk on every lock, and proves nothing for an image file. The
// source was opened for writing (the disk counts as writable only then, and
// a block device only when it is not read-only), so a read of the
// partition's first sector is all that is left to prove.
kwRet WriteTest(kwhandle handle, PARTITION_INFO* pi) {
    if (!kwDiskWritable(pi->disk))
        return ERR_WRITE_TEST_FAILED;
    SectorBuffer sector;
    uint8_t* buf = sector.get();
    if (buf == nullptr)
        return ERR_NO_MEMORY;
    return kwLogRead(handle, 0, buf, 1);
}

// Only a lock on a disk that can take writes holds the partition against the
// host and runs the write test: the image disk and read-only disks get the
// logical lock alone (a mounted partition stays browsable), and their writes
// are refused later where they are attempted.
bool NeedsWriteTest(const PARTITION_INFO* pi) {
    return kwDiskWritable(pi->disk);
}

// Takes the partition for the lock's lifetime: the volume of the program's
// own files gives 38, a partition the host has mounted (or holds otherwise)
// 27; nothing is written under a live file system.
kwRet HoldPartition(KW_HANDLE_SLOT* slot) {
    PARTITION_INFO* pi = slot->pi;
    kw::plat::SectorSource* src = UnitSource(pi->disk);
    if (src == nullptr)
        return KW_OK;
    kw::plat::DiskIoResult r = src->Claim(pi->ulStartSect, pi->NumSects, &slot->claim);
    switch (r.status) {
    case kw::plat::DiskIoStatus::Ok:
        return KW_OK;
    case kw::plat::DiskIoStatus::OwnVolume:
        return ERR_OWN_VOLUME;
    case kw::plat::DiskIoStatus::Busy:
        DiskLog(DBG_LEVEL_TRACE, "\nkwLogLock: the host has the partition at %lu mounted or in use",
                static_cast<unsigned long>(pi->ulStartSect));
        return ERR_CANNOT_LOCK;
    default:
        return kwHostError(static_cast<uint32_t>(r.hostError));
    }
}

} // namespace

kwRet kwLogLock(kwhandle handle) {
    DiskLog(DBG_LEVEL_TRACE, "\nkwLogLock (kwhandle == %lu) ...",
            static_cast<unsigned long>(handle));
    KW_HANDLE_SLOT* slot = OpenSlot(handle);
    if (slot == nullptr)
        return ERR_BAD_HANDLE;
    PARTITION_INFO* pi = slot->pi;
    if (pi->ulFlags & PI_LOCKED) {
        DiskLog(DBG_LEVEL_TRACE, "\nkwLogLock complete (kwRet == ERR_ALREADY_LOCKED)");
        return ERR_ALREADY_LOCKED;
    }
    if (pi->ulFlags & PI_QUARANTINED) {
        DiskLog(DBG_LEVEL_TRACE, "\n Partition is Quarantined.  Set logical lock only.\n"
                                 "kwLogLock complete (kwRet == KW_OK)");
        pi->ulFlags |= PI_LOCKED;
        return KW_OK;
    }
    pi->ulFlags |= PI_LOCKED;
    kwRet rc = KW_OK;
    if (NeedsWriteTest(pi)) {
        rc = HoldPartition(slot);
        if (rc == KW_OK)
            rc = WriteTest(handle, pi);
    }
    if (rc != KW_OK) {
        kwLogUnlock(handle, 0);
        return rc;
    }
    DiskLog(DBG_LEVEL_TRACE, "\nkwLogLock complete (kwRet == %lu)", 0ul);
    return KW_OK;
}

kwRet kwLogUnlock(kwhandle handle, uint8_t quarantine) {
    DiskLog(DBG_LEVEL_TRACE, "\nkwLogUnlock (kwhandle == %lu) ...",
            static_cast<unsigned long>(handle));
    KW_HANDLE_SLOT* slot = OpenSlot(handle);
    if (slot == nullptr)
        return ERR_BAD_HANDLE;
    PARTITION_INFO* pi = slot->pi;
    if ((pi->ulFlags & PI_LOCKED) == 0) {
        DiskLog(DBG_LEVEL_TRACE, "\nkwLogUnlock complete (kwRet == ERR_ALREADY_UNLOCKED)");
        return ERR_ALREADY_UNLOCKED;
    }
    if ((quarantine & 1) && IsDriveLetter(static_cast<char>(pi->ucDriveLetter))) {
        DiskLog(DBG_LEVEL_TRACE, " (QUARANTINE REQUESTED)");
        pi->ulFlags |= PI_QUARANTINED;
        const KW_RESTART_HOOKS& hooks = DiskLib().restart;
        if (hooks.recordUnsafe != nullptr)
            hooks.recordUnsafe(pi->disk->diskNumber, pi->ulStartSect);
    }
    if (pi->ulFlags & PI_QUARANTINED) {
        DiskLog(DBG_LEVEL_TRACE, "\n Partition is Quarantined.  Release logical lock only.\n"
                                 "kwLogUnlock complete (kwRet == KW_OK)");
        pi->ulFlags &= ~PI_LOCKED;
        return KW_OK;
    }
    pi->ulFlags &= ~PI_LOCKED;
    slot->claim.reset();
    DiskLog(DBG_LEVEL_TRACE, "\nkwLogUnlock complete (kwRet == %lu)", 0ul);
    return KW_OK;
}
