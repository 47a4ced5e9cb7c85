// The on-disk records of an NTFS volume, decoded from byte spans: the boot
// sector, the update-sequence fix-up of file records and index buffers, the
// attribute records of a file record, run lists, the attribute list, index
// roots, index buffers and their entries, and $FILE_NAME keys.
//
// Every decoder is a pure function over the span it is given. It checks
// every length and offset against that span before use; on failure it
// returns a code and leaves its outputs as they were (or, where said,
// partly filled), never reading outside the span. Nothing here reads a disk.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kw::ntfs {

using Bytes = std::span<const uint8_t>;

// --- Boot sector ---

struct Geometry {
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerCluster = 0;
    uint32_t bytesPerRecord = 0;
    uint32_t bytesPerIndexBuffer = 0; // 0 when the boot sector's value is out of range
    uint64_t totalSectors = 0;
    uint64_t clusterCount = 0;
    uint64_t mftCluster = 0;
    uint64_t mftMirrorCluster = 0;
    uint64_t serial = 0;
};

// Bytes of a file record or index buffer from its boot-sector byte: a
// negative byte -c means 2^c bytes, else that many clusters (512-byte units
// for clusters above 4 KiB). 0 when the result lies outside [512, 65536].
uint32_t RecordSizeFromBoot(uint8_t value, uint32_t bytesPerCluster);

// Decodes sector 0. Requires the jump opcode E9h/EBh and "NTFS    " (1500),
// 512 bytes per sector and a power-of-two cluster size (1503), records of
// 512 to 4096 bytes (1541), fewer than 2^32 sectors (1524) and the $MFT
// inside the volume (1523).
kwRet ParseBootSector(Bytes sector, Geometry* out);

// --- Update-sequence fix-up ---

// Checks the update-sequence array of a "FILE" or "INDX" record of
// record.size() bytes (a multiple of 512) and puts the saved words back at
// the end of each sector. The array's offset comes from the record: it must
// be even, at least minOffset, with count = sectors + 1 words, and end before
// `limit` (the first attribute or entry); else, or on a sector whose last word
// differs, 1527. On 1527 after the array was found sound, sectors before the
// bad one are already restored.
kwRet RemoveFixups(std::span<uint8_t> record, uint32_t minOffset, uint32_t limit);

// --- File records ---

struct RecordHeader {
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    uint16_t firstAttribute = 0;
    uint16_t flags = 0; // 1 in use, 2 directory
    uint32_t bytesInUse = 0;
    uint64_t baseReference = 0; // 0 in a base record
    bool InUse() const { return (flags & 1) != 0; }
    bool IsDirectory() const { return (flags & 2) != 0; }
};

// Checks a record read from the $MFT and removes its fix-ups: "FILE" (1507),
// the update-sequence array at 42 (NTFS 3.0) or at 48 (NTFS 3.1), or
// anywhere between them and the first attribute, as the record says (1527);
// the first attribute 8-aligned after the array and bytes in use within the
// record (1513).
kwRet DecodeRecord(std::span<uint8_t> record, RecordHeader* out);

inline constexpr uint32_t ATTR_STANDARD_INFORMATION = 0x10;
inline constexpr uint32_t ATTR_ATTRIBUTE_LIST = 0x20;
inline constexpr uint32_t ATTR_FILE_NAME = 0x30;
inline constexpr uint32_t ATTR_VOLUME_NAME = 0x60;
inline constexpr uint32_t ATTR_VOLUME_INFORMATION = 0x70;
inline constexpr uint32_t ATTR_DATA = 0x80;
inline constexpr uint32_t ATTR_INDEX_ROOT = 0x90;
inline constexpr uint32_t ATTR_INDEX_ALLOCATION = 0xA0;
inline constexpr uint32_t ATTR_BITMAP = 0xB0;
inline constexpr uint32_t ATTR_END = 0xFFFFFFFF;

inline constexpr uint16_t ATTR_FLAG_COMPRESSED = 0x0001;
inline constexpr uint16_t ATTR_FLAG_ENCRYPTED = 0x4000;
inline constexpr uint16_t ATTR_FLAG_SPARSE = 0x8000;

// One attribute record, its spans inside the record.
struct Attribute {
    uint32_t type = 0;
    bool nonResident = false;
    uint16_t flags = 0;
    uint16_t instance = 0;
    Bytes name;  // UTF-16LE, 2 bytes per character
    Bytes value; // resident: the value
    // Non-resident:
    uint64_t lowestVcn = 0;
    uint64_t highestVcn = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;
    Bytes mappingPairs;
};

// Walks the attribute records of a decoded record in order. Next() returns
// 0 with *out filled, 19 after the end marker, or a code for a damaged
// record (1513 a record that leaves the bytes in use or is too short for
// its fields, 1546 a bad residency byte, 1545 types out of order); after a
// failure every further call fails the same way.
class AttributeWalk {
public:
    AttributeWalk(Bytes record, const RecordHeader& header);
    kwRet Next(Attribute* out);

private:
    Bytes record_;
    uint32_t position_;
    uint32_t end_;
    uint32_t lastType_ = 0;
    kwRet failed_ = KW_OK;
};

// True when the attribute's name equals `name` (UTF-16LE bytes) exactly.
bool NameIs(const Attribute& a, Bytes name);

// --- Run lists ---

enum class RunKind : uint8_t { Clusters, Sparse, NoClusters };

struct Run {
    uint64_t vcn = 0;
    uint64_t length = 0;
    uint64_t lcn = 0; // only for RunKind::Clusters
    RunKind kind = RunKind::Clusters;
};

// Decodes mapping pairs that start at `firstVcn` and must end by
// highestVcn + 1, appending to *runs. Sparse pairs (no offset field) become
// Sparse runs; pairs whose cluster is negative (the $BadClus form) become
// NoClusters runs, which have no clusters anywhere. A field size above 8, a
// zero length, a pair past the span or past highestVcn gives 1533; clusters
// at or past clusterCount give 1523. On failure *runs keeps what it held
// before the call.
kwRet DecodeRuns(Bytes pairs, uint64_t firstVcn, uint64_t highestVcn, uint64_t clusterCount,
                 std::vector<Run>* runs);

// --- Attribute list ---

struct ListEntry {
    uint32_t type = 0;
    Bytes name;
    uint64_t lowestVcn = 0;
    uint64_t reference = 0; // record number in the low 48 bits
    uint16_t instance = 0;
};

// Decodes every entry of an $ATTRIBUTE_LIST value; an entry shorter than its
// fields or past the value gives 1513 (out then holds the entries before it).
kwRet DecodeAttributeList(Bytes value, std::vector<ListEntry>* out);

// --- Indexes ---

// The entries of an index node: [first, end) of the node's span.
struct IndexNode {
    Bytes entries;
    bool hasSubNodes = false;
};

// $INDEX_ROOT value: indexed type 30h only; entries inside the value (1526).
kwRet DecodeIndexRoot(Bytes value, uint32_t* bytesPerBuffer, IndexNode* out);

// An "INDX" buffer of buffer.size() bytes: signature (1508), fix-ups (1527),
// entries inside the buffer (1526).
kwRet DecodeIndexBuffer(std::span<uint8_t> buffer, uint64_t* vcn, IndexNode* out);

inline constexpr uint16_t ENTRY_SUBNODE = 1;
inline constexpr uint16_t ENTRY_LAST = 2;

struct IndexEntry {
    uint64_t reference = 0;
    uint16_t flags = 0;
    Bytes key;               // empty for the last entry
    uint64_t subNodeVcn = 0; // when flags has ENTRY_SUBNODE
};

// Walks the entries of one node; Next() returns 0 with an entry, 19 after the
// last entry, 1526 for an entry of zero or bad length or whose key or sub-node
// lies past it (and every later call fails the same way).
class EntryWalk {
public:
    explicit EntryWalk(Bytes entries) : entries_(entries) {}
    kwRet Next(IndexEntry* out);

private:
    Bytes entries_;
    uint32_t position_ = 0;
    kwRet done_ = KW_OK;
};

inline constexpr uint8_t NAMESPACE_POSIX = 0;
inline constexpr uint8_t NAMESPACE_WIN32 = 1;
inline constexpr uint8_t NAMESPACE_DOS = 2;

inline constexpr uint32_t FILE_ATTR_DIRECTORY_BIT = 0x10000000;

struct FileName {
    uint64_t parent = 0;
    uint64_t created = 0;
    uint64_t modified = 0;
    uint64_t changed = 0;
    uint64_t accessed = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint32_t attributes = 0;
    uint8_t nameSpace = 0;
    Bytes name; // UTF-16LE
};

// A $FILE_NAME value or index key; 1526 when the name lies past it.
kwRet DecodeFileName(Bytes key, FileName* out);

inline uint64_t RecordNumber(uint64_t reference) {
    return reference & 0xFFFFFFFFFFFFull;
}

} // namespace kw::ntfs
