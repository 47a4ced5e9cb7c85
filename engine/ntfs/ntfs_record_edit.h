// Changes to the byte image of one NTFS file record, the write side of
// ntfs_layout.h: update-sequence fix-ups applied before a write, empty
// records, attribute records added, removed and resized, resident values
// replaced, mapping pairs encoded and stored, attribute-list entries.
//
// Every function works on a record whose fix-ups are removed (as
// DecodeRecord leaves it) and that passed the attribute walk; it checks the
// room it needs against the record's size and fails with 1519 (no room) or
// 1513 (a damaged record) without changing a byte. Nothing here reads or
// writes a disk.
#pragma once

#include "engine/ntfs/ntfs_layout.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kw::ntfs {

using MutableBytes = std::span<uint8_t>;

// File record header fields.
inline constexpr uint32_t FRS_SEQUENCE = 0x10;
inline constexpr uint32_t FRS_LINK_COUNT = 0x12;
inline constexpr uint32_t FRS_FIRST_ATTRIBUTE = 0x14;
inline constexpr uint32_t FRS_FLAGS = 0x16;
inline constexpr uint32_t FRS_BYTES_IN_USE = 0x18;
inline constexpr uint32_t FRS_BYTES_ALLOCATED = 0x1C;
inline constexpr uint32_t FRS_BASE_REFERENCE = 0x20;
inline constexpr uint32_t FRS_NEXT_INSTANCE = 0x28;
inline constexpr uint32_t FRS_RECORD_NUMBER = 0x2C; // NTFS 3.1 records only
inline constexpr uint16_t FRS_IN_USE = 1;
inline constexpr uint16_t FRS_DIRECTORY = 2;

// Attribute record fields.
inline constexpr uint32_t AR_LENGTH = 4;
inline constexpr uint32_t AR_NON_RESIDENT = 8;
inline constexpr uint32_t AR_NAME_LENGTH = 9;
inline constexpr uint32_t AR_NAME_OFFSET = 10;
inline constexpr uint32_t AR_FLAGS = 12;
inline constexpr uint32_t AR_INSTANCE = 14;
inline constexpr uint32_t AR_VALUE_LENGTH = 0x10;
inline constexpr uint32_t AR_VALUE_OFFSET = 0x14;
inline constexpr uint32_t AR_LOWEST_VCN = 0x10;
inline constexpr uint32_t AR_HIGHEST_VCN = 0x18;
inline constexpr uint32_t AR_PAIRS_OFFSET = 0x20;
inline constexpr uint32_t AR_ALLOCATED = 0x28;
inline constexpr uint32_t AR_DATA_SIZE = 0x30;
inline constexpr uint32_t AR_INITIALIZED = 0x38;

// Puts a new update-sequence number (the old one + 1, skipping 0 and FFFFh)
// at the end of every sector and saves the words it covers in the array.
// The array's place and count come from the record header, checked as
// RemoveFixups checks them (1527).
kwRet ApplyFixups(MutableBytes record);

// An empty record of record.size() bytes: "FILE", the update-sequence array
// at 48 (NTFS 3.1 layout, its record number at 2Ch), the end marker, the
// given flags and sequence number, no attributes.
void BuildEmptyRecord(MutableBytes record, uint32_t number, uint16_t flags, uint16_t sequence);

// Where an attribute lies: its offset in the record, 0 when there is none.
// A non-resident match must have the given lowest VCN (the first extent is
// VCN 0); name is UTF-16LE bytes, compared exactly.
uint32_t FindAttribute(Bytes record, uint32_t type, Bytes name, uint64_t lowestVcn = 0);

// A new resident or empty non-resident attribute record (instance 0; the
// record it is added to gives it one).
std::vector<uint8_t> ResidentAttribute(uint32_t type, Bytes name, Bytes value);
std::vector<uint8_t> NonResidentAttribute(uint32_t type, Bytes name, uint16_t flags = 0);

// Adds an attribute record at its sorted place (by type, then name) with the
// record's next instance; *offset gets where it went.
kwRet InsertAttribute(MutableBytes record, Bytes attribute, uint32_t* offset);
// Removes the attribute record at offset.
void RemoveAttribute(MutableBytes record, uint32_t offset);
// Gives the attribute at offset a new record length (a multiple of 8),
// moving what follows it; new bytes are zero.
kwRet ResizeAttributeRecord(MutableBytes record, uint32_t offset, uint32_t newLength);
// Replaces a resident value (its length may change).
kwRet SetResidentValue(MutableBytes record, uint32_t offset, Bytes value);

// Mapping pairs of runs (their VCNs must follow on from the first), the
// fewest bytes for each value, ended by a 0 byte. At most `room` bytes in
// all: *taken is the number of runs that fit (all of them when it returns
// the whole list).
std::vector<uint8_t> EncodeRuns(std::span<const Run> runs, size_t room, size_t* taken);

// Stores the mapping pairs of runs[0..) into the non-resident attribute at
// offset: lowest VCN = runs[0].vcn (or `firstVcn` when runs is empty), highest
// VCN = the last run's end - 1, the record grown or shrunk to hold them.
// *taken runs fit; 1519 when not even the end byte fits.
kwRet StoreRuns(MutableBytes record, uint32_t offset, std::span<const Run> runs, uint64_t firstVcn,
                size_t* taken);

// Sets the three sizes of a non-resident attribute record.
void SetSizes(MutableBytes record, uint32_t offset, uint64_t allocated, uint64_t data,
              uint64_t initialized);

// One attribute-list entry as the engine writes it (name at 1Ah).
std::vector<uint8_t> ListEntryBytes(uint32_t type, Bytes name, uint64_t lowestVcn,
                                    uint64_t reference, uint16_t instance);

} // namespace kw::ntfs
