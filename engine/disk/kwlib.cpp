#include "engine/core/cmdline.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/disk_probes.h"
#include "engine/disk/kwlib_state.h"
#include "engine/disk/sector_buffer.h"
#include "platform/disk/disk_driver.h"

#include <cstring>

KW_DISK_LIB& DiskLib() {
    static KW_DISK_LIB lib;
    return lib;
}

kw::plat::SectorSource* UnitSource(const DISK_RECORD* disk) {
    KW_DISK_LIB& lib = DiskLib();
    if (disk == nullptr || disk->imageDisk || disk->driverUnit >= lib.units.size())
        return nullptr;
    return lib.units[disk->driverUnit].get();
}

bool kwDiskWritable(const DISK_RECORD* disk) {
    kw::plat::SectorSource* src = UnitSource(disk);
    return src != nullptr && src->Writable();
}

bool kwPartitionMounted(const PARTITION_INFO* pi) {
    if (pi == nullptr)
        return true;
    if (pi->ulFlags & PI_HOST_LETTER)
        return true;
    kw::plat::SectorSource* src = UnitSource(pi->disk);
    if (src == nullptr)
        return pi->disk == nullptr || !pi->disk->imageDisk;
    kw::plat::HostView view = kw::plat::CurrentHostView();
    return kw::plat::HostUseOf(src->HostPartitions(), view.mountInfoRead, pi->ulStartSect,
                               pi->NumSects) != kw::plat::HostUse::Free;
}

DISK_RECORD* kwGetImageDisk() {
    static DISK_RECORD* disk = [] {
        static DISK_RECORD d;
        d.imageDisk = true;
        d.diskNumber = 0xFFFF;
        d.heads = d.chsHeads = 255;
        d.sectorsPerTrack = d.chsSectorsPerTrack = 63;
        d.cylinders = d.biosCylinders = UINT32_MAX / (255 * 63);
        d.totalSectors = d.chsSectors = d.cylinders * 255 * 63;
        d.chsLimit = 1024 * 255 * 63;
        d.ulFlags = DISK_EXTENDED_BIOS;
        return &d;
    }();
    return disk;
}

void kwSetRestartHooks(const KW_RESTART_HOOKS& hooks) {
    DiskLib().restart = hooks;
}

void kwSetFsHooks(const KW_FS_HOOKS& hooks) {
    DiskLib().fs = hooks;
}

const KW_FS_HOOKS& kwGetFsHooks() {
    return DiskLib().fs;
}

std::vector<std::string> kwSkippedDisks() {
    return DiskLib().skipped;
}

bool kwLibIsOpen() {
    return DiskLib().open;
}

kwRet kwGetDiskList(DISK_RECORD** first) {
    *first = DiskLib().diskList;
    return KW_OK;
}

kwRet kwGetDiskListEx(DISK_RECORD** first, uint32_t) {
    return kwGetDiskList(first);
}

kwRet AddDiskRecord(DISK_RECORD** disk, uint32_t* position) {
    *disk = new DISK_RECORD;
    if (*disk == nullptr)
        return ERR_NO_MEMORY;
    uint32_t pos = 1;
    DISK_RECORD** link = &DiskLib().diskList;
    while (*link != nullptr) {
        link = &(*link)->next;
        ++pos;
    }
    *link = *disk;
    if (position != nullptr)
        *position = pos;
    return KW_OK;
}

kwRet RemoveDiskRecord(DISK_RECORD* disk) {
    DISK_RECORD** link = &DiskLib().diskList;
    while (*link != nullptr && *link != disk)
        link = &(*link)->next;
    if (*link == nullptr)
        return ERR_BAD_POINTER;
    *link = disk->next;
    FreePiChain(disk);
    delete disk;
    return KW_OK;
}

void FreeDiskList(DISK_RECORD* first) {
    while (first != nullptr) {
        DISK_RECORD* next = first->next;
        FreePiChain(first);
        delete first;
        first = next;
    }
}

namespace {

// Drops the disk list and the open sources.
void CloseDisks() {
    KW_DISK_LIB& lib = DiskLib();
    FreeDiskList(lib.diskList);
    lib.diskList = nullptr;
    lib.units.clear();
    lib.open = false;
}

void PreallocateMemory() {
    uint32_t bytes = 0;
    if (gCommandLine == nullptr || !gCommandLine->IsSet(SW_PAM) ||
        gCommandLine->GetNumber(SW_PAM, &bytes) != KW_OK || DiskLib().preallocated != nullptr)
        return;
    kwRet rc = kwGetMemory(bytes, &DiskLib().preallocated);
    if (rc == KW_OK)
        DiskLog(DBG_LEVEL_DETAIL, "/PAM success\n");
    else
        DiskLog(DBG_LEVEL_DETAIL, "/PAM failed %lu\n", static_cast<unsigned long>(rc));
}

kwRet LibOpenDisk() {
    KW_TRACE(trace, "LibOpenDisk");
    uint32_t counter = 0;
    uint32_t units = static_cast<uint32_t>(DiskLib().units.size());
    for (uint32_t unit = 0; unit < units && unit < 32; ++unit) {
        kwRet rc = InitDiskRecord(unit, &counter);
        if (rc != KW_OK)
            return trace.Return(rc);
    }
    DriveLetters();
    // A hibernated Windows keeps the state of its partitions in memory: the
    // disks are not opened under it.
    kwRet rc = CheckForHibernate();
    if (rc != KW_OK)
        return trace.Return(rc);
    for (DISK_RECORD* d = DiskLib().diskList; d != nullptr; d = d->next) {
        if (d->diskNumber == 0) {
            d->ulFlags |= DISK_FIRST_BOOT_DISK;
            break;
        }
    }
    if (kwMarkWindowsPartitionOnOpenSet()) {
        rc = SetWindowsPartition();
        // Without a Windows folder (always so on Linux) there is nothing to
        // mark, and the disks open all the same.
        if (rc == ERR_NO_WINDOWS_PARTITION && kwGetWindowsDirectory().empty())
            rc = KW_OK;
    }
    return trace.Return(rc);
}

// Opens the sources of the disk driver, logging those it skipped.
void OpenUnits() {
    kw::plat::DiskScan scan = kw::plat::ScanDisks();
    for (const std::string& line : scan.skipped)
        DiskLogFlagged(DBG_LEVEL_TRACE, "Disk skipped: %s\n", line.c_str());
    DiskLib().units = std::move(scan.disks);
    DiskLib().skipped = std::move(scan.skipped);
}

} // namespace

kwRet kwLibOpen() {
    KW_TRACE(trace, "kwLibOpen");
    kwRet rc = LibOpenMem();
    if (rc != KW_OK)
        return trace.Return(rc);
    if (DiskLib().open)
        CloseDisks();
    OpenUnits();
    DiskLog(DBG_LEVEL_DETAIL, "CreateFile Succeeded\n");
    PreallocateMemory();
    DiskLib().open = true;
    rc = LibOpenDisk();
    KW_FS_HOOKS& fs = DiskLib().fs;
    if (rc == KW_OK && !(gCommandLine != nullptr && gCommandLine->IsSet(SW_SCO)) &&
        fs.registerNetWareVolumes != nullptr)
        rc = fs.registerNetWareVolumes();
    if (rc != KW_OK)
        CloseDisks();
    return trace.Return(rc);
}

kwRet kwLibClose() {
    KW_TRACE(trace, "kwLibClose");
    KW_DISK_LIB& lib = DiskLib();
    bool restartPending = lib.restart.hasChanges != nullptr && lib.restart.hasChanges();
    if (!restartPending) {
        for (kwhandle h = 0; h < KW_MAX_HANDLES; ++h) {
            if (lib.handles[h].state == KW_HANDLE_OPEN)
                kwLogClose(h);
        }
    }
    CloseDisks(); // frees the records, and with them every handle that names one
    kwRet rc = LibCloseMem();
    return trace.Return(restartPending ? ERR_RESTART_PENDING : rc);
}

void kwSetUseKwiPhyRead(uint8_t on) {
    DiskLib().hookEnabled = on != 0;
}

void kwSetKwiPhyRead(KWI_PHY_READ hook) {
    DiskLib().hook = hook;
}

namespace {

bool IgnoreReadErrors() {
    return gCommandLine != nullptr && gCommandLine->IsSet(SW_IRE);
}

// Ends a failed read: under /IRE the sectors from `sector` on are zeroed and
// the read counts as done.
kwRet FinishRead(kwRet rc, uint32_t sector, void* buffer, uint32_t remaining) {
    if (rc == KW_OK || !IgnoreReadErrors())
        return rc;
    DiskLog(DBG_LEVEL_TRACE,
            "phyRead: /IRE switch used to override read error for %d sectors starting at %d\n",
            static_cast<int>(remaining), static_cast<int>(sector));
    std::memset(buffer, 0, size_t{remaining} * 512);
    return KW_OK;
}

kwRet ReadImageDisk(uint32_t sector, void* buffer, uint32_t count) {
    KW_DISK_LIB& lib = DiskLib();
    if (lib.hookEnabled && lib.hook != nullptr)
        return lib.hook(sector, buffer, count);
    if (lib.hookEnabled)
        DiskLog(DBG_LEVEL_TRACE, "kwiPhyRead specified, but pointer to function is NULL.\n");
    else
        DiskLog(DBG_LEVEL_TRACE, "phyRead: no image is open for the image disk\n");
    return FinishRead(ERR_READ_FAULT, sector, buffer, count);
}

} // namespace

kwRet phyRead(DISK_RECORD* disk, uint32_t sector, void* buffer, uint32_t count) {
    if (disk == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (disk->imageDisk)
        return ReadImageDisk(sector, buffer, count);
    kw::plat::SectorSource* src = UnitSource(disk);
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t at = sector;
    while (count > 0) {
        uint32_t n = count < KW_MAX_REQUEST_SECTORS ? count : KW_MAX_REQUEST_SECTORS;
        kw::plat::DiskIoResult r = src ? src->Read(at, out, n)
                                       : kw::plat::DiskIoResult{kw::plat::DiskIoStatus::IoError, 0};
        if (!r.ok()) {
            DiskLog(
                DBG_LEVEL_TRACE,
                "phyRead: Error #%lu in VxD in read at sector %lu of disk %d for a count of %hu\n",
                static_cast<unsigned long>(r.hostError), static_cast<unsigned long>(at),
                disk->diskNumber, static_cast<unsigned short>(n));
            return FinishRead(ERR_READ_FAULT, static_cast<uint32_t>(at), out, count);
        }
        count -= n;
        at += n;
        out += size_t{n} * 512;
    }
    return KW_OK;
}

kwRet phyWrite(DISK_RECORD* disk, uint32_t sector, const void* buffer, uint32_t count) {
    if (disk == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    kw::plat::SectorSource* src = UnitSource(disk);
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t at = sector;
    do {
        uint32_t n = count < KW_MAX_REQUEST_SECTORS ? count : KW_MAX_REQUEST_SECTORS;
        kw::plat::DiskIoResult r =
            src ? src->Write(at, in, n)
                : kw::plat::DiskIoResult{kw::plat::DiskIoStatus::ReadOnly, 0};
        if (r.status == kw::plat::DiskIoStatus::Busy) {
            DiskLog(DBG_LEVEL_TRACE,
                    "phyWrite: sectors %lu to %lu of drive %d lie in a file system the host has "
                    "mounted; nothing written\n",
                    static_cast<unsigned long>(at), static_cast<unsigned long>(at + n - 1),
                    disk->diskNumber);
            return ERR_LOCK_VIOLATION;
        }
        if (!r.ok()) {
            DiskLog(DBG_LEVEL_TRACE,
                    "error #%lu in VxD in write at sector %lu of drive %d for a count of %u\n",
                    static_cast<unsigned long>(r.hostError), static_cast<unsigned long>(at),
                    disk->diskNumber, n);
            return ERR_WRITE_FAULT;
        }
        count -= n;
        at += n;
        in += size_t{n} * 512;
    } while (count > 0);
    return KW_OK;
}

kwRet phyFlush(DISK_RECORD* disk) {
    if (disk == nullptr)
        return ERR_BAD_ARGUMENT;
    kw::plat::SectorSource* src = UnitSource(disk);
    if (src == nullptr)
        return KW_OK; // nothing was written
    kw::plat::DiskIoResult r = src->Flush();
    if (!r.ok()) {
        DiskLog(DBG_LEVEL_TRACE, "error #%lu flushing the writes of drive %d\n",
                static_cast<unsigned long>(r.hostError), disk->diskNumber);
        return ERR_WRITE_FAULT;
    }
    return KW_OK;
}

kwRet TestReadSector(DISK_RECORD* disk, uint32_t sector) {
    DiskLog(DBG_LEVEL_TRACE, "\nTestReadSector ...");
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = phyRead(disk, sector, buf.get(), 1);
    DiskLog(DBG_LEVEL_TRACE, "\nTestReadSector complete (kwRet == %lu)",
            static_cast<unsigned long>(rc));
    return rc;
}
