#include "engine/disk/disk_log.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "engine/disk/pi_checks.h"
#include "kwbytes.h"

#include <cstring>

using kwbytes::LoadLe32;

namespace {

uint32_t WholeDiskSectors(const DISK_RECORD* disk) {
    return disk->cylinders * disk->CylinderSize();
}

// An entry of type 3Ch goes to the recovery of an interrupted FAT operation
// first; a recovered partition is listed with its restored type. A FAT entry
// whose first FAT alone still carries the marks of such an operation (cut
// just before its start or just after its end) has them cleared; a failure
// there leaves the partition as it is and is no fault of the entry.
kwRet InitPi(DISK_RECORD* disk, const TABLE_ENTRY& given) {
    TABLE_ENTRY te = given;
    if (te.entry.type == KW_TYPE_INTERRUPTED_FAT) {
        bool recovered = false;
        kwRet rc = RecoverInterruptedFat(disk, &te, &recovered);
        if (rc != KW_OK)
            return rc;
    } else if (bool repaired = false; RepairHalfMarkedFat(disk, te, &repaired) != KW_OK) {
        DiskLog(DBG_LEVEL_HEADER, "The FATs of the partition at %lu could not be checked\r\n",
                static_cast<unsigned long>(te.absStart));
    }
    const PARTITION_ENTRY& e = te.entry;
    bool logical = te.tableSector != 0 && !IsExtendedType(e.type);
    PARTITION_INFO* pi = nullptr;
    kwRet rc = CreatePi(disk, te.status, logical ? te.name : nullptr, e.bootIndicator == 0x80,
                        te.absStart, e.numSects, e.type, te.tableSector, te.index, 1, &pi);
    if (rc != KW_OK)
        return rc;
    if (IsCheckedType(e.type))
        pi->ulFlags |= PI_CHECKED_TYPE;
    rc = CheckEntry(*disk, te);
    kwCompleteNetWare(pi);
    return rc;
}

// The record of the first extended boot record: from the extended
// partition's start to the end of the logical partition behind it, or one
// track when there is none.
kwRet AddFirstLinkRecord(DISK_RECORD* disk) {
    PARTITION_INFO* ext = disk->extendedPi;
    if (ext == nullptr)
        return KW_OK;
    uint32_t size = disk->sectorsPerTrack;
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        if ((pi->ulFlags & PI_LOGICAL) && pi->ulTableSect == ext->ulStartSect &&
            !IsExtendedType(pi->ucPartType) && pi->EndSect() > ext->ulStartSect) {
            size = pi->EndSect() - ext->ulStartSect;
            break;
        }
    }
    PARTITION_INFO* link = nullptr;
    return CreatePi(disk, 0, nullptr, false, ext->ulStartSect, size, 0x05, PI_NO_TABLE_SECTOR,
                    PI_NO_ENTRY, 1, &link);
}

kwRet AddEntries(DISK_RECORD* disk, const TABLE_WALK& walk, bool quiet) {
    for (const TABLE_ENTRY& te : walk.entries) {
        if (disk->ulFlags & DISK_RESERVED)
            break;
        kwRet rc = InitPi(disk, te);
        if (rc != KW_OK && (rc = BadMbr(disk, rc, quiet)) != KW_OK)
            return rc;
    }
    return KW_OK;
}

} // namespace

kwRet ScanPartitionTables(DISK_RECORD* disk, bool ignoreErrors) {
    bool mbrRead = false;
    TABLE_WALK walk = WalkPartitionTables(
        [&](uint32_t sector, uint8_t* buf) {
            kwRet rc = phyRead(disk, sector, buf, 1);
            mbrRead = mbrRead || (sector == 0 && rc == KW_OK);
            return rc;
        },
        ignoreErrors);
    if (!mbrRead) {
        DiskLog(DBG_LEVEL_HEADER, "Error %d reading MBR\n", static_cast<int>(walk.error));
        return BadMbr(disk, ERR_FIRST_SECTOR_UNREADABLE, ignoreErrors);
    }
    if (!walk.hasSignature) {
        DiskLog(DBG_LEVEL_TRACE, "No partition tables on this drive.\n");
        DiskLog(DBG_LEVEL_HEADER, "Info: No partition table present on this drive.\r\n");
        return CreateFreeSpacePi(0, WholeDiskSectors(disk), disk, PI_NO_TABLE_SECTOR);
    }
    disk->diskSignature = walk.diskSignature;
    for (const TABLE_ENTRY& te : walk.entries) {
        if (te.tableSector == 0 && te.entry.type == KW_GPT_PROTECTIVE_TYPE) {
            DiskLog(DBG_LEVEL_HEADER,
                    "Disk %d holds a GUID partition table, which is not supported.\r\n",
                    disk->diskNumber);
            return BadMbr(disk, ERR_DRIVE_NOT_SUPPORTED, false);
        }
    }
    AdoptTableGeometry(disk, walk.entries);
    if (walk.twoExtended)
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%u: Partition table contains two extended partitions.\r\n",
                static_cast<unsigned>(ERR_BAD_PARTITION_TABLE));
    kwRet added = AddEntries(disk, walk, ignoreErrors);
    if (added != KW_OK)
        return added;
    if (walk.dynamicDisk)
        return ReserveDisk(disk);
    if (walk.error != KW_OK) {
        if (walk.chainLoops)
            DiskLog(DBG_LEVEL_HEADER, "Error #%lu: Logical drive chain loops back.\r\n",
                    static_cast<unsigned long>(walk.error));
        if (walk.chainTooLong)
            DiskLog(DBG_LEVEL_HEADER,
                    "Error #%lu: Logical drive chain holds more than %lu logical partitions.\r\n",
                    static_cast<unsigned long>(walk.error),
                    static_cast<unsigned long>(KW_MAX_EXTENDED_RECORDS));
        DiskLog(DBG_LEVEL_HEADER, "Error #%lu: Logical drive chain is unusable.\r\n",
                static_cast<unsigned long>(walk.error));
        return BadMbr(disk, walk.error, ignoreErrors);
    }
    if (disk->ulFlags & DISK_RESERVED)
        return KW_OK;
    DiskLog(DBG_LEVEL_TRACE, "*** next_drive ***\n");
    kwRet rc = AddFirstLinkRecord(disk);
    if (rc != KW_OK)
        return rc;
    rc = CheckLayout(disk);
    if (rc != KW_OK && (rc = BadMbr(disk, rc, ignoreErrors)) != KW_OK)
        return rc;
    return BuildFreeSpace(disk);
}

kwRet BadMbr(DISK_RECORD* disk, kwRet error, bool quiet) {
    if (error == KW_OK || quiet)
        return KW_OK;
    DiskLog(DBG_LEVEL_TRACE, "BadMbr: Drive %d, Partition table error #%lu.\n", disk->diskNumber,
            static_cast<unsigned long>(error));
    FreePiChain(disk);
    PARTITION_INFO* pi = nullptr;
    if (CreatePi(disk, 0, nullptr, false, 0, WholeDiskSectors(disk), 0, 0, 0, 1, &pi) != KW_OK)
        return error;
    pi->ucFsKind = FS_KIND_RESERVED_DISK;
    pi->ulTableSect = error;
    pi->ucDriveLetter = '*';
    disk->ulFlags |= DISK_RESERVED;
    return KW_OK;
}

kwRet ReserveDisk(DISK_RECORD* disk) {
    DiskLog(DBG_LEVEL_TRACE,
            "ReserveDisk: Drive %d, unsupported partition type, make whole drive unaccessable.\n",
            disk->diskNumber);
    FreePiChain(disk);
    PARTITION_INFO* pi = nullptr;
    if (CreatePi(disk, 0, nullptr, false, 0, WholeDiskSectors(disk), 0x42, 0, 0, 1, &pi) != KW_OK) {
        DiskLog(DBG_LEVEL_TRACE, "ReserveDisk: Unable to allocate memory for partition info.\n");
        return ERR_NO_MEMORY;
    }
    disk->ulFlags |= DISK_DYNAMIC;
    return KW_OK;
}

namespace {

constexpr uint32_t kHotfixHead = 44;
constexpr uint32_t kMirrorHead = 96;
constexpr uint32_t kSignatureRecord = 128;

// The mirror flags and serial from the newest mirror header: an own id that
// differs from the group's first member makes the partition a mirror copy;
// a group with a second member has a mirror.
void NetWareMirror(PARTITION_INFO* pi, const KW_FS_HOOKS& fs) {
    uint8_t mirror[kMirrorHead] = {};
    pi->ulFlags2 &= ~(PI2_PART_MIRROR | PI2_HAS_MIRROR);
    if (fs.readMirrorHeader == nullptr || fs.readMirrorHeader(pi, mirror) != KW_OK ||
        std::memcmp(mirror, "MIRROR00", 8) != 0) {
        pi->ulSerial = 0;
        return;
    }
    pi->ulSerial = LoadLe32(mirror + 8);
    if (LoadLe32(mirror + 8) != LoadLe32(mirror + 32))
        pi->ulFlags2 |= PI2_PART_MIRROR;
    else if (LoadLe32(mirror + 36) != 0)
        pi->ulFlags2 |= PI2_HAS_MIRROR;
}

} // namespace

void kwCompleteNetWare(PARTITION_INFO* pi) {
    if (pi->ucFsKind != FS_KIND_NETWARE)
        return;
    std::strcpy(pi->volumeLabel, "NETWARE");
    const KW_FS_HOOKS& fs = kwGetFsHooks();
    uint8_t hotfix[kHotfixHead] = {};
    if (fs.readHotfixHeader != nullptr && fs.readHotfixHeader(pi, hotfix, kHotfixHead) != KW_OK) {
        pi->ulLDABeginSector = 0;
        pi->ulSerial = 0;
    } else if (uint32_t area = LoadLe32(hotfix + 24); area != 0) {
        pi->ulLDABeginSector = area;
        NetWareMirror(pi, fs);
    } else if (fs.getPartitionSector != nullptr) {
        pi->ulFlags2 &= ~(PI2_PART_MIRROR | PI2_HAS_MIRROR);
        uint8_t record[kSignatureRecord] = {};
        bool present = fs.getPartitionSector(pi, record) == KW_OK && record[1] != 0;
        pi->ulLDABeginSector = present ? 32 : 0;
        pi->ulSerial = present ? LoadLe32(record + 24) : 0;
    }
    if (pi->si == nullptr && fs.createSegmentList != nullptr)
        fs.createSegmentList(pi, &pi->si);
}
