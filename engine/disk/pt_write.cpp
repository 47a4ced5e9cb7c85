#include "engine/disk/pt_write.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "engine/disk/pi_checks.h"
#include "engine/disk/sector_buffer.h"
#include "include/kwbytes.h"

#include <cstring>

namespace {

bool IsNetWareKind(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_NETWARE;
}

// The stored form of a triple: begin cylinders above 1023 are written as the
// placeholder; an end past it as cylinder 1023, the last head and sector.
void PutTriple(uint8_t* at, const DISK_RECORD& disk, uint32_t sector, bool end, bool netware) {
    CHS_TRIPLE t = ChsOf(disk, sector);
    uint32_t limit = netware ? 1022 : 1023;
    if (t.cylinder > limit) {
        t.cylinder = limit;
        if (end) {
            t.head = static_cast<uint8_t>(disk.chsHeads ? disk.chsHeads - 1 : 0);
            t.sector = static_cast<uint8_t>(disk.chsSectorsPerTrack);
        }
    }
    at[0] = t.head;
    at[1] = static_cast<uint8_t>((t.sector & 0x3F) | ((t.cylinder >> 2) & 0xC0));
    at[2] = static_cast<uint8_t>(t.cylinder & 0xFF);
}

bool HasEntry(const PARTITION_INFO* pi) {
    return pi->ucEntryIndex < 4 && pi->ulTableSect != PI_NO_TABLE_SECTOR &&
           pi->ucFsKind != FS_KIND_FREE && pi->ucFsKind != FS_KIND_RESERVED_DISK;
}

// The sector the entry's start counts from; false when there is none.
bool EntryBase(const PARTITION_INFO* pi, uint32_t* base) {
    if (pi->ulTableSect == 0) {
        *base = 0;
    } else if (pi->ucFsKind == FS_KIND_EXTENDED_LINK) {
        if (pi->disk->extendedPi == nullptr)
            return false;
        *base = pi->disk->extendedPi->ulStartSect;
    } else {
        *base = pi->ulTableSect; // the logical's own extended boot record
    }
    return true;
}

// Reads the table sector that holds the record's entry; e points at it.
kwRet ReadEntry(const PARTITION_INFO* pi, SectorBuffer* buf, uint8_t** e) {
    if (buf->get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    kwRet rc = phyRead(pi->disk, pi->ulTableSect, buf->get(), 1);
    if (rc == KW_OK)
        *e = buf->get() + KW_TABLE_OFFSET + 16 * pi->ucEntryIndex;
    return rc;
}

} // namespace

kwRet RewriteEntry(PARTITION_INFO* pi, uint32_t newStart, uint32_t newEnd) {
    uint32_t base = 0;
    if (pi == nullptr || !HasEntry(pi) || newEnd <= newStart || !EntryBase(pi, &base) ||
        newStart < base)
        return ERR_BAD_ARGUMENT;
    SectorBuffer buf;
    uint8_t* e = nullptr;
    kwRet rc = ReadEntry(pi, &buf, &e);
    if (rc != KW_OK)
        return rc;
    PutTriple(e + 1, *pi->disk, newStart, false, IsNetWareKind(pi));
    PutTriple(e + 5, *pi->disk, newEnd - 1, true, IsNetWareKind(pi));
    kwbytes::StoreLe32(e + 8, newStart - base);
    kwbytes::StoreLe32(e + 12, newEnd - newStart);
    rc = phyWrite(pi->disk, pi->ulTableSect, buf.get(), 1);
    if (rc != KW_OK)
        return rc;
    pi->ulStartSect = newStart;
    pi->NumSects = pi->ulBootTotal = newEnd - newStart;
    return KW_OK;
}

kwRet SetPartitionType(PARTITION_INFO* pi, uint8_t type, uint8_t kind) {
    if (pi == nullptr || !HasEntry(pi))
        return ERR_BAD_ARGUMENT;
    SectorBuffer buf;
    uint8_t* e = nullptr;
    kwRet rc = ReadEntry(pi, &buf, &e);
    if (rc != KW_OK)
        return rc;
    bool changed = e[4] != type;
    if (changed) {
        e[4] = type;
        rc = phyWrite(pi->disk, pi->ulTableSect, buf.get(), 1);
        if (rc != KW_OK)
            return rc;
    }
    if (type == KW_TYPE_INTERRUPTED_FAT) { // the record keeps what the partition really is
        pi->ulFlags |= PI_TYPE_3C;
        return KW_OK;
    }
    pi->ulFlags &= ~PI_TYPE_3C;
    pi->ucFsKind = kind;
    if (pi->ucPartType != type) {
        pi->ucPartType = type;
        kwPartitionChanged(KW_OP_TYPE_CHANGED, pi, 0);
    }
    return KW_OK;
}

namespace {

bool IsLinkRecord(const PARTITION_INFO* pi) {
    return pi != nullptr && pi->ucFsKind == FS_KIND_EXTENDED_LINK;
}

bool IsLogicalPartition(const PARTITION_INFO* pi) {
    return pi != nullptr && (pi->ulFlags & PI_LOGICAL) && !IsLinkRecord(pi) &&
           pi->ucFsKind != FS_KIND_FREE;
}

// The link record whose extended boot record holds the logical's entry.
PARTITION_INFO* LinkBefore(const PARTITION_INFO* logical) {
    for (PARTITION_INFO* pi = logical->disk->firstPi; pi != nullptr; pi = pi->next)
        if (IsLinkRecord(pi) && pi->ulStartSect == logical->ulTableSect)
            return pi;
    return nullptr;
}

// Ends a link at newEnd: its entry when it has one (the first link is
// described by the primary extended entry and has none).
kwRet SetLinkEnd(PARTITION_INFO* link, uint32_t newEnd) {
    if (link->ucEntryIndex < 4 && link->ulTableSect != PI_NO_TABLE_SECTOR)
        return RewriteEntry(link, link->ulStartSect, newEnd);
    link->NumSects = newEnd - link->ulStartSect;
    return KW_OK;
}

bool IsPrimaryRecord(const PARTITION_INFO* p) {
    return (p->ulFlags & PI_LOGICAL) == 0 && p->ucFsKind != FS_KIND_FREE;
}

// The start of the next primary after the record, or the disk's end.
uint64_t NextPrimaryStart(const PARTITION_INFO* pi) {
    for (const PARTITION_INFO* p = pi->next; p != nullptr; p = p->next)
        if (IsPrimaryRecord(p) && p->ulStartSect > pi->ulStartSect)
            return p->ulStartSect;
    return pi->disk->totalSectors;
}

// How far the partition may reach without covering another one: a primary
// up to the next primary (or the disk's end); a logical up to the next
// extended boot record or logical, and past its extended partition's end
// only as far as that partition may grow.
uint64_t ReachLimit(const PARTITION_INFO* pi) {
    if (!IsLogicalPartition(pi))
        return NextPrimaryStart(pi);
    for (const PARTITION_INFO* p = pi->next; p != nullptr; p = p->next)
        if ((p->ulFlags & PI_LOGICAL) && p->ucFsKind != FS_KIND_FREE &&
            p->ulStartSect > pi->ulStartSect)
            return p->ulStartSect;
    const PARTITION_INFO* ext = pi->disk->extendedPi;
    return ext != nullptr ? NextPrimaryStart(ext) : pi->disk->totalSectors;
}

kwRet CheckResize(const PARTITION_INFO* pi, uint32_t newCount, uint64_t end) {
    if (IsLinkRecord(pi) || newCount == 0 || end > UINT32_MAX)
        return ERR_BAD_ARGUMENT;
    if (pi->ulRoom != 0 && newCount > pi->ulRoom)
        return ERR_RESIZE_TOO_LARGE;
    if (end > pi->EndSect() && end > ReachLimit(pi))
        return ERR_RESIZE_TOO_LARGE;
    uint32_t cyl = pi->disk->CylinderSize();
    if ((pi->ulFlags & PI_CHECKED_TYPE) && cyl != 0 && end % cyl != 0)
        return ERR_NOT_CYLINDER_ALIGNED;
    if (pi->ucFsKind == FS_KIND_EXTENDED) {
        for (const PARTITION_INFO* p = pi->disk->firstPi; p != nullptr; p = p->next)
            if (IsLogicalPartition(p) && p->EndSect() > end)
                return ERR_BAD_ARGUMENT;
    }
    return KW_OK;
}

kwRet ResizeLogical(PARTITION_INFO* pi, uint32_t end) {
    PARTITION_INFO* link = LinkBefore(pi);
    bool growing = end > pi->EndSect();
    if (link == nullptr)
        return growing ? ERR_LINK_MISSING_GROWING : ERR_LINK_MISSING_SHRINKING;
    kwRet rc = KW_OK;
    if (!growing) {
        rc = RewriteEntry(pi, pi->ulStartSect, end);
        return rc != KW_OK ? rc : SetLinkEnd(link, end);
    }
    PARTITION_INFO* ext = pi->disk->extendedPi;
    if (ext != nullptr && (ext->EndSect() == pi->EndSect() || ext->EndSect() < end))
        rc = RewriteEntry(ext, ext->ulStartSect, end);
    if (rc == KW_OK)
        rc = SetLinkEnd(link, end);
    return rc != KW_OK ? rc : RewriteEntry(pi, pi->ulStartSect, end);
}

} // namespace

kwRet ResizePartition(PARTITION_INFO* pi, uint32_t newCount) {
    if (pi == nullptr || pi->disk == nullptr)
        return ERR_BAD_ARGUMENT;
    uint64_t end = uint64_t{pi->ulStartSect} + newCount;
    kwRet rc = CheckResize(pi, newCount, end);
    if (rc != KW_OK)
        return rc;
    DISK_RECORD* disk = pi->disk;
    bool hadFree = (disk->ulFlags & DISK_FREE_SPACE_BUILT) != 0;
    RemoveFreeSpace(disk);
    if (IsLogicalPartition(pi))
        rc = ResizeLogical(pi, static_cast<uint32_t>(end));
    else
        rc = RewriteEntry(pi, pi->ulStartSect, static_cast<uint32_t>(end));
    if (hadFree) {
        kwRet built = BuildFreeSpace(disk);
        rc = rc != KW_OK ? rc : built;
    }
    return rc;
}

namespace {

// The name of an extended boot record: 8 bytes padded with blanks.
void PutName(uint8_t* sector, const PARTITION_INFO* pi) {
    if (pi->name[0] == '\0')
        return;
    sector[KW_EPBR_STATUS_OFFSET] = pi->ucStatus;
    size_t n = strnlen(pi->name, 8);
    for (size_t i = 0; i < 8; ++i)
        sector[KW_EPBR_STATUS_OFFSET + 1 + i] = i < n ? static_cast<uint8_t>(pi->name[i]) : ' ';
}

void PutEntryAt(uint8_t* sector, int slot, const DISK_RECORD& disk, uint8_t boot, uint8_t type,
                uint32_t start, uint32_t end, uint32_t rel, bool netware) {
    uint8_t* e = sector + KW_TABLE_OFFSET + 16 * slot;
    e[0] = boot;
    PutTriple(e + 1, disk, start, false, netware);
    e[4] = type;
    PutTriple(e + 5, disk, end - 1, true, netware);
    kwbytes::StoreLe32(e + 8, rel);
    kwbytes::StoreLe32(e + 12, end - start);
}

} // namespace

kwRet WriteEpbr(PARTITION_INFO* link, uint32_t nextStart, uint32_t nextEnd) {
    if (!IsLinkRecord(link) || link->disk->extendedPi == nullptr)
        return ERR_BAD_ARGUMENT;
    const DISK_RECORD& disk = *link->disk;
    uint32_t base = disk.extendedPi->ulStartSect;
    if (nextStart != 0 && (nextStart < base || nextEnd <= nextStart))
        return ERR_BAD_ARGUMENT;
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    uint8_t* s = buf.get();
    std::memset(s, 0, 512);
    kwbytes::StoreLe16(s + 510, KW_BOOT_SIGNATURE);
    PARTITION_INFO* logical = link->next;
    bool hasLogical = IsLogicalPartition(logical) && logical->ucPartType != 0x05 &&
                      logical->ulStartSect > link->ulStartSect;
    int slot = 1;
    if (hasLogical) {
        PutEntryAt(s, 0, disk, (logical->ulFlags & PI_ACTIVE) ? 0x80 : 0, logical->ucPartType,
                   logical->ulStartSect, logical->EndSect(),
                   logical->ulStartSect - link->ulStartSect, IsNetWareKind(logical));
        PutName(s, logical);
    }
    if (nextStart != 0)
        PutEntryAt(s, slot, disk, 0, 0x05, nextStart, nextEnd, nextStart - base, false);
    kwRet rc = phyWrite(link->disk, link->ulStartSect, s, 1);
    if (rc == KW_OK && hasLogical) {
        logical->ulTableSect = link->ulStartSect;
        logical->ucEntryIndex = 0;
    }
    return rc;
}
