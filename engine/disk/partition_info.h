// Disk records and partition records: one DISK_RECORD per disk in the disk
// library's list, each owning the chain of PARTITION_INFO records of its
// partition-table entries, extended links and free-space runs.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/volume_probe.h"

#include <cstdint>

class FILESYSTEM;
class KW_REMOTE_DISKS;
struct PARTITION_INFO;

// Disk-record flags.
inline constexpr uint32_t DISK_FREE_SPACE_BUILT = 0x2;
inline constexpr uint32_t DISK_RESERVED = 0x4;
inline constexpr uint32_t DISK_EXTENDED_BIOS = 0x8;
inline constexpr uint32_t DISK_PREFERENCE = 0x10;
inline constexpr uint32_t DISK_FIRST_BOOT_DISK = 0x20;
inline constexpr uint32_t DISK_EZ_DRIVE = 0x200;
inline constexpr uint32_t DISK_EZ_BOOT = 0x400;
inline constexpr uint32_t DISK_DM_INSTALLED = 0x800;
inline constexpr uint32_t DISK_DM_TYPE_54 = 0x1000;
inline constexpr uint32_t DISK_DM_SECOND_FORM = 0x2000;
inline constexpr uint32_t DISK_DYNAMIC = 0x4000;
inline constexpr uint32_t DISK_REMOTE = 0x8000;

// One disk: its geometry and its chain of partition records, which it owns.
struct DISK_RECORD : KwEngineAlloc {
    DISK_RECORD* next = nullptr;
    PARTITION_INFO* firstPi = nullptr;
    uint32_t ulFlags = 0;
    uint16_t diskNumber = 0;
    uint32_t cylinders = 0;
    uint16_t heads = 0;
    uint16_t sectorsPerTrack = 0;
    uint32_t biosCylinders = 0;
    uint16_t chsHeads = 0;
    uint16_t chsSectorsPerTrack = 0;
    PARTITION_INFO* extendedPi = nullptr;
    uint32_t chsLimit = 0;
    uint32_t chsSectors = 0;
    uint32_t totalSectors = 0;
    uint32_t diskSignature = 0;
    uint16_t unitCode = 0xFFFF;
    uint32_t driverUnit = 0;
    // The image pseudo-disk: its sectors come from the read hook only.
    bool imageDisk = false;
    // The medium's own sector count (the geometry may cover less of it); 0
    // when the disk record has no medium behind it.
    uint64_t mediumSectors = 0;
    // A remote or object disk's interface (flag DISK_REMOTE), shared with
    // the other disks it serves; not owned.
    KW_REMOTE_DISKS* remote = nullptr;

    uint32_t CylinderSize() const { return uint32_t{heads} * sectorsPerTrack; }
};

// PARTITION_INFO flags.
inline constexpr uint32_t PI_OPENABLE = 0x1;
inline constexpr uint32_t PI_ACTIVE = 0x2;
inline constexpr uint32_t PI_LOGICAL = 0x4;
inline constexpr uint32_t PI_READ_ERROR = 0x8;
// The entry starts or ends past the disk's last sector (or wraps past 2^32):
// it is never opened, and deleting the entry is its only operation.
inline constexpr uint32_t PI_BEYOND_DISK = 0x10;
inline constexpr uint32_t PI_NOT_LINKED = 0x20;
inline constexpr uint32_t PI_LOCKED = 0x80;
inline constexpr uint32_t PI_TYPE_3C = 0x100;
inline constexpr uint32_t PI_QUARANTINED = 0x200;
inline constexpr uint32_t PI_BEYOND_CHS = 0x400;
inline constexpr uint32_t PI_HOST_LETTER = 0x800;
inline constexpr uint32_t PI_CHECKED_TYPE = 0x1000;
inline constexpr uint32_t PI_WINDOWS = 0x40;

// ulFlags2 bits.
inline constexpr uint32_t PI2_PART_MIRROR = 0x1;
inline constexpr uint32_t PI2_HAS_MIRROR = 0x2;

inline constexpr uint32_t PI_NO_TABLE_SECTOR = 0xFFFFFFFF;
inline constexpr uint8_t PI_NO_ENTRY = 0xFF;

// One partition-table entry, free-space run, extended link or reserved
// disk. Owned by its disk's chain (or by its creator while not linked).
struct PARTITION_INFO : KwEngineAlloc {
    PARTITION_INFO();
    ~PARTITION_INFO();
    PARTITION_INFO(const PARTITION_INFO&) = delete;
    PARTITION_INFO& operator=(const PARTITION_INFO&) = delete;

    PARTITION_INFO* next = nullptr;
    DISK_RECORD* disk = nullptr;
    uint32_t ulFlags = 0;
    uint32_t reserved1[2] = {};
    uint32_t ulStartSect = 0;
    uint32_t NumSects = 0;
    uint32_t ulUsedSects = 0;
    uint32_t ulFreeSects = 0;
    uint32_t ulLimitBase = 0;
    uint32_t ulRoom = 0;
    uint32_t ulSectsToNextCyl = 0;
    uint32_t ulCylSize = 0;
    uint32_t ulTableSect = 0;
    uint8_t ucEntryIndex = 0;
    uint8_t ucPartType = 0;
    uint8_t ucFsKind = FS_KIND_NONE;
    uint8_t ucDriveLetter = '*';
    uint32_t ulSerial = 0;
    char volumeLabel[256] = {};
    char name[9] = {};
    uint8_t ucStatus = 0;
    uint16_t usBytesPerSector = 0;
    uint16_t usSectorFactor = 1;
    uint8_t reserved2[20] = {};
    FILESYSTEM* fileSystem = nullptr;
    uint32_t ulMinSize = 0;
    uint32_t reserved3 = 0;
    uint32_t ulBootTotal = 0;
    uint32_t ulFlags2 = 0;
    uint32_t ulLDABeginSector = 0;
    void* si = nullptr;
    void* cache1 = nullptr;
    void* cache2 = nullptr;

    // The first sector behind the record, in 64 bits: an entry's start and
    // size may add up past 2^32.
    uint64_t EndSect() const { return uint64_t{ulStartSect} + NumSects; }
};

// Makes a record for a table entry (see the field comments above); link mode
// 1 links it into the disk's chain, any other value leaves it out with flag
// PI_NOT_LINKED. On failure *out is null and nothing is linked.
kwRet CreatePi(DISK_RECORD* disk, uint8_t status, const char* name, bool active, uint32_t startSect,
               uint32_t numSects, uint8_t type, uint32_t tableSect, uint8_t entryIndex,
               uint32_t linkMode, PARTITION_INFO** out);

// A linked free-space record.
kwRet CreateFreeSpacePi(uint32_t startSect, uint32_t numSects, DISK_RECORD* disk,
                        uint32_t tableSect);

// Sets the record's FS_KIND from its type byte and its first sectors.
kwRet SetFsKind(PARTITION_INFO* pi);

// The NetWare fields of a NetWare record, through the file-system hooks: the
// label "NETWARE", the volume-area start and serial (from the newest hot-fix
// header, else the signature sector), the mirror flags and the segment list.
void kwCompleteNetWare(PARTITION_INFO* pi);

// Inserts the record into its disk's chain in ascending start order.
void LinkPi(DISK_RECORD* disk, PARTITION_INFO* pi);

// Unlinks (when linked), releases and frees the record; clears *pi. 6 when a
// linked record was not found in its disk's chain.
kwRet DeletePi(PARTITION_INFO** pi);

// Frees every record of the disk's chain.
void FreePiChain(DISK_RECORD* disk);

// Called for every record about to be freed (the disk library closes the
// partition handles that name it).
void kwForgetPi(const PARTITION_INFO* pi);
