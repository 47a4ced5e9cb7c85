// The legal operations of partition records.
#include "engine/disk/legal_ops.h"

#include "engine/core/cmdline.h"
#include "engine/core/globals_mgr.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/fs_kinds.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/part_limits.h"
#include "engine/disk/part_types.h"
#include "engine/disk/sector_buffer.h"
#include "kwbytes.h"

namespace {

using kwbytes::LoadLe16;

bool IsRemote(const DISK_RECORD* disk) {
    return (disk->ulFlags & DISK_REMOTE) != 0 && !kwSwitchSet(SW_RDBG);
}

bool IsFree(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_FREE;
}

bool IsExtendedKind(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_EXTENDED || pi->ucFsKind == FS_KIND_EXTENDED_LINK;
}

bool IsPrimary(const PARTITION_INFO* pi) {
    return (pi->ulFlags & PI_LOGICAL) == 0;
}

// The disk's CHS-addressable sectors; 0 means not known (no limit).
bool BeyondChs(const DISK_RECORD* disk, uint32_t end) {
    return disk->chsSectors != 0 && end > disk->chsSectors;
}

uint32_t PrimaryEntries(const DISK_RECORD* disk) {
    uint32_t n = 0;
    for (const PARTITION_INFO* p = disk->firstPi; p != nullptr; p = p->next)
        if (IsPrimary(p) && !IsFree(p) && p->ucFsKind != FS_KIND_EXTENDED_LINK &&
            p->ulTableSect == 0)
            ++n;
    return n;
}

bool HasLogicalInside(const DISK_RECORD* disk, const PARTITION_INFO* ext) {
    for (const PARTITION_INFO* p = disk->firstPi; p != nullptr; p = p->next)
        if ((p->ulFlags & PI_LOGICAL) != 0 && !IsExtendedKind(p) && !IsFree(p) &&
            p->ulStartSect >= ext->ulStartSect && p->ulStartSect < ext->EndSect())
            return true;
    return false;
}

bool IsActivePrimaryOfFirstDisk(const PARTITION_INFO* pi) {
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    return pi->disk == first && IsPrimary(pi) && (pi->ulFlags & PI_ACTIVE) != 0;
}

bool HideableType(uint8_t type) {
    const PART_TYPE_ROW* row = PartTypeRow(type);
    return row != nullptr && row->hideable;
}

// Step 1: the bits that the kind, the type and the table position give.
void SetBasicBits(PARTITION_INFO* pi) {
    const DISK_RECORD* disk = pi->disk;
    uint8_t kind = pi->ucFsKind;
    pi->ulFlags &= ~(LOP_ALL | LOP_COPY_PARTNER | PI_BEYOND_CHS);
    if (disk->chsLimit != 0 && pi->EndSect() > disk->chsLimit)
        pi->ulFlags |= PI_BEYOND_CHS;
    if (IsPrimary(pi) && (pi->ulFlags & PI_ACTIVE) == 0 && kind != FS_KIND_EXTENDED &&
        kind != FS_KIND_FREE && kind != FS_KIND_DYNAMIC && !kwKindRules(kind).neverActive)
        pi->ulFlags |= LOP_SET_ACTIVE;
    if (IsHiddenType(pi->ucPartType))
        pi->ulFlags |= LOP_UNHIDE;
    else if (!IsActivePrimaryOfFirstDisk(pi) && HideableType(pi->ucPartType))
        pi->ulFlags |= LOP_HIDE;
    bool deletable = kind != FS_KIND_FREE && kind != FS_KIND_RESERVED_DISK &&
                     (kind != FS_KIND_EXTENDED || !HasLogicalInside(disk, pi));
    if (deletable)
        pi->ulFlags |= LOP_DELETE;
    if (kind != FS_KIND_EXTENDED && kind != FS_KIND_FREE && kind != FS_KIND_RESERVED_DISK &&
        kind != FS_KIND_DYNAMIC && (disk->ulFlags & DISK_REMOTE) == 0)
        pi->ulFlags |= LOP_MODIFY;
    if (kind != FS_KIND_RESERVED_DISK && kind != FS_KIND_DYNAMIC)
        pi->ulFlags |= LOP_INFO;
}

const PARTITION_INFO* ExtendedOf(const PARTITION_INFO* pi) {
    const PARTITION_INFO* ext = pi->disk->extendedPi;
    return (pi->ulFlags & PI_LOGICAL) != 0 ? ext : nullptr;
}

// Step 2: false when the record lies beyond what CHS addresses (the
// remaining steps up to the type corrections are skipped then).
bool WithinChs(PARTITION_INFO* pi) {
    const DISK_RECORD* disk = pi->disk;
    if (BeyondChs(disk, pi->EndSect())) {
        char name[300];
        if (pi->ucDriveLetter == '*' && pi->volumeLabel[0] == '\0')
            std::snprintf(name, sizeof name, "partition at %lu",
                          static_cast<unsigned long>(pi->ulStartSect));
        else
            std::snprintf(name, sizeof name, "%c:%s", pi->ucDriveLetter, pi->volumeLabel);
        DiskLog(DBG_LEVEL_TRACE, "%s extends beyond bound\n", name);
        pi->ulFlags &= ~LOP_MODIFY;
        return false;
    }
    const PARTITION_INFO* ext = ExtendedOf(pi);
    if (ext != nullptr && BeyondChs(disk, ext->EndSect())) {
        pi->ulFlags &= ~LOP_DELETE;
        return false;
    }
    return true;
}

uint32_t GroupFor(const PARTITION_INFO* pi, bool remote) {
    switch (kwKindRules(pi->ucFsKind).legalGroup) {
    case FS_LEGAL_GROUP::FAT:
        if (pi->usBytesPerSector != 0 && pi->usBytesPerSector % 512 != 0)
            return 0;
        return remote ? LOP_GROUP_REMOTE : LOP_GROUP_FAT;
    case FS_LEGAL_GROUP::FS:
        return remote ? LOP_GROUP_REMOTE : LOP_GROUP_FS;
    case FS_LEGAL_GROUP::SWAP:
        return remote ? LOP_GROUP_REMOTE : LOP_GROUP_SWAP;
    case FS_LEGAL_GROUP::NETWARE:
        if (!kwNetWareSupport())
            return kwIsMupSet() && !remote ? LOP_MOVE : 0;
        return remote ? LOP_GROUP_REMOTE_NETWARE : LOP_GROUP_NETWARE;
    case FS_LEGAL_GROUP::NONE:
        return 0;
    }
    return 0;
}

bool IsFatGroup(const PARTITION_INFO* pi) {
    return kwKindRules(pi->ucFsKind).legalGroup == FS_LEGAL_GROUP::FAT;
}

// Free space: create where a table entry can still take it.
bool CanCreateIn(const PARTITION_INFO* pi) {
    if (BeyondChs(pi->disk, pi->EndSect()))
        return false;
    return (pi->ulFlags & PI_LOGICAL) != 0 || PrimaryEntries(pi->disk) < 4;
}

// The FAT12/16 bit: a readable boot sector with fewer than 32 sectors per cluster.
kwRet SmallClusterBit(PARTITION_INFO* pi) {
    SectorBuffer buffer;
    if (buffer.get() == nullptr)
        return ERR_NO_MEMORY;
    if (phyRead(pi->disk, pi->ulStartSect, buffer.get(), 1) == KW_OK &&
        LoadLe16(buffer.bytes(), 510) == 0xAA55 && buffer.get()[13] < 32)
        pi->ulFlags |= LOP_FAT16_SMALL_CLUSTERS;
    return KW_OK;
}

// Step 3: the groups by kind. False when the computation ends here.
bool SetKindBits(PARTITION_INFO* pi, kwRet* rc) {
    const DISK_RECORD* disk = pi->disk;
    bool remote = IsRemote(disk);
    bool local = (disk->ulFlags & DISK_REMOTE) == 0;
    uint8_t kind = pi->ucFsKind;
    if (kind == FS_KIND_RAW) {
        pi->ulFlags |= remote ? LOP_MODIFY : LOP_GROUP_RAW;
        return true;
    }
    if (kind == FS_KIND_RESERVED_DISK) {
        pi->ulFlags |= LOP_RESTRICTED;
        return true;
    }
    if (kind == FS_KIND_DYNAMIC)
        return false;
    if ((pi->ulFlags & PI_READ_ERROR) != 0) {
        pi->ulFlags |= LOP_GROUP_UNREADABLE;
        if (kwKindRules(kind).movableWhenUnreadable && local)
            pi->ulFlags |= LOP_MOVE;
        return true;
    }
    if (kind == FS_KIND_FREE) {
        if (CanCreateIn(pi))
            pi->ulFlags |= LOP_CREATE;
    } else if (kind == FS_KIND_EXTENDED) {
        if (local)
            pi->ulFlags |= LOP_GROUP_EXTENDED;
    } else if (uint32_t group = GroupFor(pi, remote); group != 0) {
        pi->ulFlags |= group;
        if (kwKindRules(kind).legalGroup == FS_LEGAL_GROUP::NETWARE)
            pi->ulFlags &= ~LOP_SET_ACTIVE;
        if (kwKindRules(kind).smallClusterBit && !remote)
            *rc = SmallClusterBit(pi);
    } else if (kwIsMupSet() && local) {
        pi->ulFlags |= LOP_MOVE;
    }
    return *rc == KW_OK;
}

bool PairsWith(const PARTITION_INFO* source, const PARTITION_INFO* other) {
    if (other == source || IsExtendedKind(other) || (other->disk->ulFlags & DISK_PREFERENCE))
        return false;
    if ((source->disk->ulFlags & DISK_REMOTE) && (other->disk->ulFlags & DISK_REMOTE))
        return false;
    if (IsFree(source)) {
        if (IsFree(other) || !kwIsMovableKind(other))
            return false;
        return FitsInto(other, source, 0);
    }
    if (!IsFree(other))
        return false;
    if (IsPrimary(other) && PrimaryEntries(other->disk) >= 4)
        return false;
    return FitsInto(source, other, 0);
}

// Step 4: marks the copy partners of the record on every disk.
void PairCopies(PARTITION_INFO* pi) {
    if (IsExtendedKind(pi) || (!IsFree(pi) && !kwIsMovableKind(pi)))
        return;
    if ((pi->disk->ulFlags & DISK_PREFERENCE) != 0)
        return;
    if (IsFree(pi) && IsPrimary(pi) && PrimaryEntries(pi->disk) >= 4)
        return;
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    bool any = false;
    for (DISK_RECORD* d = first; d != nullptr; d = d->next) {
        for (PARTITION_INFO* other = d->firstPi; other != nullptr; other = other->next) {
            other->ulFlags &= ~LOP_COPY_PARTNER;
            if (PairsWith(pi, other)) {
                other->ulFlags |= LOP_COPY_PARTNER;
                any = true;
            }
        }
    }
    if (any)
        pi->ulFlags |= LOP_COPY;
}

// Step 5: utility partitions (types 12h and DEh) are not touched.
void UtilityTypes(PARTITION_INFO* pi) {
    if (pi->ucPartType == 0x12 && pi->ucFsKind == FS_KIND_RAW)
        pi->ulFlags &= ~(LOP_SET_ACTIVE | LOP_MODIFY | LOP_RESIZE | LOP_MOVE);
    if (pi->ucPartType == 0x12 || pi->ucPartType == 0xDE)
        pi->ulFlags &= ~(LOP_SET_ACTIVE | LOP_MODIFY | LOP_MOVE | LOP_FS_OPS | LOP_FAT_CHANGE |
                         LOP_FAT16_SMALL_CLUSTERS | LOP_FAT_CONVERT);
}

const PARTITION_INFO* RecordBefore(const PARTITION_INFO* pi) {
    const PARTITION_INFO* before = nullptr;
    for (const PARTITION_INFO* p = pi->disk->firstPi; p != nullptr && p != pi; p = p->next) {
        if (IsFree(p))
            continue;
        bool counts = (pi->ulFlags & PI_LOGICAL) != 0
                          ? ((p->ulFlags & PI_LOGICAL) != 0 || p->ucFsKind == FS_KIND_EXTENDED_LINK)
                          : IsPrimary(p) && !IsExtendedKind(p);
        if (counts && p->EndSect() <= pi->ulStartSect)
            before = p;
    }
    return before;
}

bool RecordStartsAt(const PARTITION_INFO* pi, uint32_t sector) {
    for (const PARTITION_INFO* p = pi->disk->firstPi; p != nullptr; p = p->next)
        if (p != pi && !IsFree(p) && p->ulStartSect == sector)
            return true;
    return false;
}

bool NoRoomBehind(const PARTITION_INFO* pi) {
    const DISK_RECORD* disk = pi->disk;
    uint32_t track = disk->sectorsPerTrack;
    if (pi->ucFsKind == FS_KIND_EXTENDED) {
        for (const PARTITION_INFO* p = disk->firstPi; p != nullptr; p = p->next)
            if ((p->ulFlags & PI_LOGICAL) && !IsFree(p) && p->ulStartSect >= pi->ulStartSect &&
                p->ulStartSect < pi->ulStartSect + track)
                return true;
        return pi->NumSects <= disk->CylinderSize();
    }
    return RecordStartsAt(pi, pi->EndSect()) || BeyondChs(disk, pi->EndSect() - 1) ||
           (disk->chsSectors != 0 && pi->EndSect() >= disk->chsSectors);
}

// Step 6: a record that can move neither way loses the move bit.
void MoveRoom(PARTITION_INFO* pi) {
    if ((pi->ulFlags & LOP_MOVE) == 0)
        return;
    const DISK_RECORD* disk = pi->disk;
    uint32_t track = disk->sectorsPerTrack;
    uint32_t cylinder = disk->CylinderSize();
    const PARTITION_INFO* before = RecordBefore(pi);
    bool noRoomBefore = (before != nullptr && before->EndSect() + track > pi->ulStartSect) ||
                        pi->ulStartSect < track ||
                        (pi->ucFsKind == FS_KIND_EXTENDED && pi->ulStartSect < cylinder) ||
                        ((pi->ulFlags & PI_LOGICAL) && pi->ulStartSect < cylinder + track);
    if (noRoomBefore && NoRoomBehind(pi))
        pi->ulFlags &= ~LOP_MOVE;
}

bool LogicalAtLastSector(const PARTITION_INFO* ext) {
    for (const PARTITION_INFO* p = ext->disk->firstPi; p != nullptr; p = p->next)
        if ((p->ulFlags & PI_LOGICAL) && !IsFree(p) && !IsExtendedKind(p) &&
            p->EndSect() == ext->EndSect())
            return true;
    return false;
}

// NetWare partitions: partitions and segments are not resized in this
// engine, so the bit goes; the volume state comes from the NetWare layer: a
// partition whose volumes all fail the volume test is not offered for a
// copy, and an empty first segment entry clears its state bit.
void NetWareRoom(PARTITION_INFO* pi) {
    constexpr uint32_t kFirstEntryUsed = 0x10000;
    constexpr uint32_t kVolumesFail = 0x8;
    pi->ulFlags &= ~LOP_RESIZE;
    const KW_FS_HOOKS& fs = kwGetFsHooks();
    bool empty = false;
    bool usable = false;
    if (fs.netWareVolumeState == nullptr || fs.netWareVolumeState(pi, &empty, &usable) != KW_OK)
        return;
    if (empty)
        pi->ulFlags2 &= ~kFirstEntryUsed;
    if (!empty && !usable) {
        pi->ulFlags &= ~LOP_COPY;
        pi->ulFlags2 |= kVolumesFail;
    }
}

// Step 7: a record without a cylinder of play between its size limits, and
// nothing to grow into, loses the resize bit. FAT takes its file system's
// minimum (once known), the other kinds the default limits; a kind without
// limits keeps the bit.
void ResizeRoom(PARTITION_INFO* pi) {
    if ((pi->ulFlags & LOP_RESIZE) == 0)
        return;
    uint32_t cylinder = pi->disk->CylinderSize();
    if (kwKindRules(pi->ucFsKind).legalGroup == FS_LEGAL_GROUP::NETWARE && kwNetWareSupport()) {
        NetWareRoom(pi);
        return;
    }
    if (IsFatGroup(pi)) {
        // The file system's minimum, measured once and kept in the record.
        if (auto measure = kwKindRules(pi->ucFsKind).fsMinimumSize;
            pi->ulMinSize == 0 && measure != nullptr)
            pi->ulMinSize = measure(pi);
        uint32_t room = pi->ulRoom;
        if (pi->ulMinSize != 0 && (room < pi->ulMinSize || room - pi->ulMinSize < cylinder))
            pi->ulFlags &= ~LOP_RESIZE;
        return;
    }
    EN_SIZE_LIMITS limits;
    if (enGetDefaultLimits(pi, &limits) != KW_OK)
        return;
    bool extended = pi->ucFsKind == FS_KIND_EXTENDED;
    bool littlePlay = limits.maximum < limits.minimum || limits.maximum - limits.minimum < cylinder;
    bool blocked = extended ? LogicalAtLastSector(pi) : NoRoomBehind(pi);
    if ((littlePlay || extended) && blocked)
        pi->ulFlags &= ~LOP_RESIZE;
}

} // namespace

bool IsHiddenType(uint8_t type) {
    const PART_TYPE_ROW* row = PartTypeRow(type);
    return row != nullptr && row->hidden;
}

uint8_t HideType(uint8_t type, bool hide) {
    if (!hide)
        return type;
    if (type == 0x65)
        return 0x3D;
    if (HideableType(type))
        return static_cast<uint8_t>(type | 0x10);
    return type;
}

bool FitsInto(const PARTITION_INFO* pi, const PARTITION_INFO* target, uint32_t size) {
    if (pi == nullptr || target == nullptr || target->disk == nullptr)
        return false;
    const DISK_RECORD* disk = target->disk;
    uint64_t need = size != 0 ? size : pi->NumSects;
    uint32_t track = disk->sectorsPerTrack;
    uint64_t reserve = 0;
    if (track != 0 && target->ulStartSect % track != 0)
        reserve += track;
    const PARTITION_INFO* ext = disk->extendedPi;
    if ((target->ulFlags & PI_LOGICAL) != 0 &&
        (ext == nullptr || target->ulStartSect != ext->ulStartSect))
        reserve += track;
    if (reserve + need > target->NumSects)
        return false;
    if (IsFatGroup(pi) && pi->disk == disk && disk->chsLimit != 0 &&
        target->ulStartSect + reserve + need > disk->chsLimit)
        return false;
    return true;
}

kwRet ComputeLegalOps(PARTITION_INFO* pi) {
    if (pi == nullptr || pi->disk == nullptr)
        return ERR_BAD_POINTER;
    SetBasicBits(pi);
    kwRet rc = KW_OK;
    if (WithinChs(pi)) {
        if (!SetKindBits(pi, &rc))
            return rc;
        PairCopies(pi);
    }
    UtilityTypes(pi);
    MoveRoom(pi);
    ResizeRoom(pi);
    if (pi->ucPartType == 0x86 || pi->ucPartType == 0x87)
        pi->ulFlags &= (pi->disk->ulFlags & DISK_REMOTE) ? LOP_KEEP_FT_REMOTE : LOP_KEEP_FT_LOCAL;
    if (pi->ulFlags & PI_BEYOND_DISK) // its sectors do not all exist: only the entry can go
        pi->ulFlags = (pi->ulFlags & ~LOP_ALL) | LOP_DELETE;
    return KW_OK;
}

kwRet ResetLegalOps() {
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    kwRet result = KW_OK;
    for (DISK_RECORD* d = first; d != nullptr; d = d->next)
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (kwRet rc = ComputeLegalOps(pi); rc != KW_OK && result == KW_OK)
                result = rc;
    return result;
}
