// Partition-table repair: AutoFix checks the master boot record and the chain
// of extended boot records of one disk and repairs what is inconsistent, one
// repair at a time and each only after the user said Yes through the UI
// bridge. It works on raw sectors and on its own list of table entries; the
// disk's partition records are neither read nor changed.
//
// Every repair keeps the sectors it is about to change in a backup file
// before its first write, writes them in an order that leaves a readable
// chain with every logical partition at its start after each single write,
// and flushes after each write. No, Cancel, a closed box or no user interface
// at all write nothing.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"

#include <cstdint>
#include <string>

// Codes a repair shows as the error it found.
inline constexpr kwRet AF_ERR_LENGTH = 110;
inline constexpr kwRet AF_ERR_EPBR_ORDER = 111;
inline constexpr kwRet AF_ERR_OVERLAP = 113;
inline constexpr kwRet AF_ERR_EPBR_POSITION = 114;
inline constexpr kwRet AF_ERR_START = 116;

// Kinds of table entries.
inline constexpr uint32_t AF_KIND_LINK = 0;     // type 05h/0Fh inside an extended boot record
inline constexpr uint32_t AF_KIND_PRIMARY = 1;  // other type in the master boot record
inline constexpr uint32_t AF_KIND_EXTENDED = 2; // type 05h/0Fh in the master boot record
inline constexpr uint32_t AF_KIND_LOGICAL = 4;  // other type inside an extended boot record

// Offsets inside a 16-byte entry.
inline constexpr uint32_t AFE_BOOT = 0;
inline constexpr uint32_t AFE_START_CHS = 1;
inline constexpr uint32_t AFE_TYPE = 4;
inline constexpr uint32_t AFE_END_CHS = 5;
inline constexpr uint32_t AFE_START_LBA = 8;
inline constexpr uint32_t AFE_COUNT = 12;

// One used table entry. The list is kept in ascending order of absolute start
// with no two records at the same start.
struct AUTOFIX_ENTRY : KwEngineAlloc {
    uint32_t absStart = 0;    // start LBA + base (a link: the next record's sector)
    uint32_t tableSector = 0; // the table holding the entry (0: the MBR)
    uint32_t base = 0;        // what the start LBA counts from
    uint32_t kind = AF_KIND_PRIMARY;
    uint16_t slot = 0;
    uint8_t entry[16] = {};
    AUTOFIX_ENTRY* next = nullptr;
    AUTOFIX_ENTRY* previous = nullptr;

    uint8_t Type() const { return entry[AFE_TYPE]; }
    uint32_t StartLba() const;
    uint32_t Count() const;
    void SetStartLba(uint32_t value);
    void SetCount(uint32_t value);
    // The first sector after the partition, in 64 bits.
    uint64_t End() const { return uint64_t{absStart} + Count(); }
};

// The whole repair of one disk: the result of the first step that failed or
// was declined (7), else 0.
kwRet AutoFix(DISK_RECORD* disk);

// Where the old sectors of each repair are kept: the host folder given here,
// or (empty) the program's own folder. The file is "AUTOFIX.BAK" there.
void AutoFixSetBackupFolder(const std::string& folder);
std::string AutoFixBackupPath();

// Steps and the routines they share.
kwRet CheckMbrSignature(DISK_RECORD* disk);
kwRet BuildTableList(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet ReadTableChain(DISK_RECORD* disk, AUTOFIX_ENTRY** list, uint32_t tableSector,
                     uint32_t extendedStart);
void FreeTableList(AUTOFIX_ENTRY** list);
int InsertTableEntry(AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* record);
void RemoveTableEntry(AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* record, bool free);
kwRet WriteTableEntry(DISK_RECORD* disk, const AUTOFIX_ENTRY* record);
void SetEntryStart(const DISK_RECORD* disk, AUTOFIX_ENTRY* record, uint32_t newStart);
void SetEntryEnd(const DISK_RECORD* disk, AUTOFIX_ENTRY* record, uint64_t newEnd);
bool IsCylinderAligned(const DISK_RECORD* disk, uint64_t sector);
uint32_t GetChsLimit(const DISK_RECORD* disk);
int afIsValidBootSector(DISK_RECORD* disk, uint32_t sector, uint32_t kind);
kwRet CheckDiskGeometry(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
// Refuses (100) a table that holds two logical or two link entries, or a
// master boot record with two extended entries: no repair is safe there.
kwRet CheckTableKinds(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet ValidateStartSectors(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet ValidatePartitionLength(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet TruncateToFit(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* record, uint32_t length,
                    uint64_t newEnd);
kwRet CheckOverlap(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet ValidateEPBR(DISK_RECORD* disk, AUTOFIX_ENTRY** list);
kwRet ReorderEpbr(DISK_RECORD* disk, AUTOFIX_ENTRY** list, uint32_t tableSector);
