// Partition tables on disk: the 16-byte entry, the table sector (master boot
// record or extended boot record) and the walk over the chain of extended
// boot records.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

inline constexpr uint16_t KW_BOOT_SIGNATURE = 0xAA55;
inline constexpr uint32_t KW_TABLE_OFFSET = 446;
// The type of the one entry of the protective table of a GUID-partitioned disk.
inline constexpr uint8_t KW_GPT_PROTECTIVE_TYPE = 0xEE;
// The type an operation writes into the entry of the FAT partition it changes.
inline constexpr uint8_t KW_TYPE_INTERRUPTED_FAT = 0x3C;
// Where an extended boot record keeps its logical partition's status byte and
// (behind it) 8-character name.
inline constexpr uint32_t KW_EPBR_STATUS_OFFSET = 394;
// Extended boot records followed at most; a longer or cyclic chain is a bad
// table. Linux numbers at most 255 partitions of a disk; the limit stays well
// above that and only stops a chain that never ends.
inline constexpr uint32_t KW_MAX_EXTENDED_RECORDS = 1024;

// A cylinder/head/sector triple as stored: the cylinder's bits 8-9 ride in
// bits 6-7 of the sector byte.
struct CHS_TRIPLE {
    uint32_t cylinder = 0;
    uint8_t head = 0;
    uint8_t sector = 0;
    static CHS_TRIPLE parse(std::span<const uint8_t> bytes); // 3 bytes
};

// One partition-table entry.
struct PARTITION_ENTRY {
    uint8_t bootIndicator = 0;
    CHS_TRIPLE begin;
    uint8_t type = 0;
    CHS_TRIPLE end;
    uint32_t relStart = 0;
    uint32_t numSects = 0;
    static PARTITION_ENTRY parse(std::span<const uint8_t> bytes); // 16 bytes
};

inline bool IsExtendedType(uint8_t type) {
    return type == 0x05 || type == 0x0F;
}

// The parts of a table sector the engine keeps: the signature word, the
// status byte and name that an extended boot record carries for its logical
// partition, the disk signature, and the four entries (only with 0xAA55).
struct PARTITION_SECTOR {
    uint16_t signature = 0;
    uint8_t status = 0;
    char name[9] = {};
    uint32_t diskSignature = 0;
    PARTITION_ENTRY entries[4];
    // False when the span is shorter than a sector.
    static bool parse(std::span<const uint8_t> sector, PARTITION_SECTOR* out);
    bool HasSignature() const { return signature == KW_BOOT_SIGNATURE; }
};

// An entry as found by the table walk, with its start made absolute.
struct TABLE_ENTRY {
    uint32_t tableSector = 0; // 0 for the master boot record
    uint8_t index = 0;
    PARTITION_ENTRY entry;
    uint32_t absStart = 0;
    uint8_t status = 0; // from the extended boot record, logical entries only
    char name[9] = {};  // likewise
};

// What the walk found. Entries come in table order: the master boot record,
// then each extended boot record of the chain.
struct TABLE_WALK {
    bool hasSignature = false; // the master boot record carries 0xAA55
    uint32_t diskSignature = 0;
    std::vector<TABLE_ENTRY> entries;
    bool dynamicDisk = false;  // a type-42h entry ended the walk
    bool twoExtended = false;  // a table held two extended entries (the first one wins)
    bool chainLoops = false;   // an extended boot record links back to one already read
    bool chainTooLong = false; // more than KW_MAX_EXTENDED_RECORDS extended boot records
    kwRet error = KW_OK;       // the first error met (the walk stops there)
};

// Reads one absolute sector (512 bytes) into the buffer.
using SECTOR_READER = std::function<kwRet(uint32_t sector, uint8_t* buffer)>;

// Reads the master boot record and follows the chain of extended boot
// records. Errors: a read error as the reader gives it; 100 for a chain that
// loops or exceeds KW_MAX_EXTENDED_RECORDS, and for two extended entries in
// one table unless ignoreErrors (then the first one is followed).
TABLE_WALK WalkPartitionTables(const SECTOR_READER& read, bool ignoreErrors);
