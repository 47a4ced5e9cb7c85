// The change file of an image of the older format (the image's name with the
// extension ".kwx"): read-restart points of its compressed partitions and the
// volume tables of its spanning partitions, so that a later opening of the
// same image need not decode from the start again. It never holds sector
// data. Little-endian:
//
//   header     0  magic 0x12263355
//              4  version (16-bit): kChangeFileVersion; 6: 0 (16-bit)
//              8  image stamp, 12: partition count N
//             16  N record offsets (32-bit), one per partition number
//                 1..N; 0xFFFFFFFF = no record
//   record     0  magic 0x14378310, 4: decoder-state size X, 8: index shift,
//             12  entry count E (0: no restart points), 16: volume count R
//             20  R volume-table entries (64-bit)
//                 E positions (64-bit), E first blocks, E carries (32-bit),
//                 E decoder states of X bytes each
//
// Entry k is a restart point: decoding may start at stored-data position k
// with decoder state k; the first block that begins in the data decoded from
// there starts `carry` bytes into it. Records are appended and never
// replaced. The decoder state is the image library's own work area, so the
// version tags files of this implementation: files of any other version are
// refused (and the index rebuilt by decoding), never misread.
//
// Pure: parsing and writing work on byte spans; the partition access does
// the file I/O.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <span>

namespace kw::imgaccess {

// Codes of the change file and of the older-format reads.
inline constexpr kwRet ERR_CHANGE_INVALID = 1890;       // bad magic or an index that does not fit
inline constexpr kwRet ERR_CHANGE_OTHER_IMAGE = 1891;   // stamp or partition count differ
inline constexpr kwRet ERR_CHANGE_NO_RECORD = 1892;     // no record for this partition
inline constexpr kwRet ERR_CHANGE_RECORD_EXISTS = 1893; // records are never replaced
inline constexpr kwRet ERR_CHANGE_REFUSED = 1894;       // the user would not go on without it
inline constexpr kwRet ERR_NO_CACHE_PIECE = 1896;       // no piece of the cache to decode into

inline constexpr uint32_t kChangeMagic = 0x12263355;
inline constexpr uint32_t kChangeRecordMagic = 0x14378310;
// Above 2, so that readers of the version-2 layout refuse our decoder states.
inline constexpr uint16_t kChangeFileVersion = 0x4B02;
inline constexpr uint32_t kChangeNoRecord = 0xFFFFFFFF;
inline constexpr uint32_t kChangeHeaderBytes = 16;
inline constexpr uint32_t kChangeRecordHeaderBytes = 20;
// The restart-point index of one partition is at most this large.
inline constexpr uint64_t kMaxIndexBytes = 0x400000;

// What the image and the partition say a record must fit.
struct CHANGE_LIMITS {
    uint32_t stamp = 0;       // IMAGE_STORE::GetImageStamp
    uint32_t partitions = 0;  // partition count N
    uint32_t number = 0;      // this partition's number, 1..N
    uint32_t stateSize = 0;   // the decoder's state size
    uint32_t volumes = 0;     // the image's volume count (volume-table entries)
    uint32_t blockLimit = 0;  // highest block that may be read
    uint32_t blockBytes = 0;  // bytes per block (not 0)
    uint64_t storedBytes = 0; // length of the partition's stored data
    bool compressed = false;  // restart points are kept only for compressed data
};

// A parsed record: views into the file's bytes.
struct CHANGE_RECORD {
    uint32_t stateSize = 0;
    uint32_t shift = 0;
    uint32_t entries = 0;
    uint32_t volumeCount = 0;
    std::span<const uint8_t> volumes; // 8 * volumeCount bytes
    std::span<const uint8_t> positions, firstBlocks, carries, states;

    uint64_t Volume(uint32_t i) const;
    uint64_t Position(uint32_t k) const;
    uint32_t FirstBlock(uint32_t k) const;
    uint32_t Carry(uint32_t k) const;
    const uint8_t* State(uint32_t k) const { return states.data() + size_t{k} * stateSize; }
};

// Entries an index of `shift` needs to cover blocks 0 to blockLimit.
uint64_t ChangeEntriesNeeded(uint32_t blockLimit, uint32_t shift);

// Checks the header: 1811 short, 1890 magic, 1818 another version, 1891
// another image (stamp or partition count).
kwRet CheckChangeHeader(std::span<const uint8_t> file, const CHANGE_LIMITS& limits);
// The offset of this partition's record (kChangeNoRecord when none); 1811
// when the table is cut short. The header must have been checked.
kwRet ReadChangeEntry(std::span<const uint8_t> file, const CHANGE_LIMITS& limits, uint32_t* offset);
// Parses this partition's record: header and record checks, then 1892 no
// record, 1811 cut short, 1890 a record that does not fit the partition
// (magic, state size, shift, entry count, entries out of order or out of
// range), 1812 a volume table of another size than the image's.
kwRet ParseChangeRecord(std::span<const uint8_t> file, const CHANGE_LIMITS& limits,
                        CHANGE_RECORD* record);

// Whether a whole record (its header and every column) lies at `offset`:
// false for a record a torn write left cut short or never wrote.
bool ChangeRecordWhole(std::span<const uint8_t> file, uint32_t offset);

// A new file's header with every record offset 0xFFFFFFFF; the span holds
// ChangeHeaderBytes(partitions) bytes.
uint64_t ChangeHeaderBytes(uint32_t partitions);
void WriteChangeHeader(std::span<uint8_t> out, uint32_t stamp, uint32_t partitions);
// A record of E entries whose columns are given; the span holds
// ChangeRecordBytes(X, E, R) bytes.
uint64_t ChangeRecordBytes(uint32_t stateSize, uint32_t entries, uint32_t volumeCount);
struct CHANGE_RECORD_SOURCE {
    uint32_t stateSize = 0;
    uint32_t shift = 0;
    uint32_t entries = 0;
    uint32_t volumeCount = 0;
    const uint64_t* volumes = nullptr;
    const uint64_t* positions = nullptr;
    const uint32_t* firstBlocks = nullptr;
    const uint32_t* carries = nullptr;
    const uint8_t* states = nullptr; // entries * stateSize bytes
};
void WriteChangeRecord(std::span<uint8_t> out, const CHANGE_RECORD_SOURCE& source);

} // namespace kw::imgaccess
