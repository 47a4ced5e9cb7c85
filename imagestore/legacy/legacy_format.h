// Byte layout of images of the older, read-only format: the image header, the
// 512-byte partition record, the file names of the volumes and the password
// scrambling of stored data. Pure functions over byte spans; no file access.
#pragma once

#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kw::legacy {

inline constexpr uint32_t kImageMagicA = 0x12268977;
inline constexpr uint32_t kImageMagicB = 0x12268978;
inline constexpr uint32_t kFirstVolumeMagic = 0x12268979;
inline constexpr uint32_t kRecordMagicA = 0x14378314;
inline constexpr uint32_t kRecordMagicB = 0x14378900;
inline constexpr uint32_t kRecordMagicC = 0x24378314;
inline constexpr uint32_t kPasswordMask = 0x3E61B7A4;

inline constexpr size_t kRecordSize = 512;
inline constexpr size_t kShortHeaderSize = 512;
inline constexpr size_t kFirstVolumeHeaderSize = 2048;
inline constexpr size_t kRecordCopiesOffset = 2048;
inline constexpr size_t kMaxHeaderExtra = 0xFE00;            // after the first 512 bytes
inline constexpr size_t kMaxFirstVolumeHeaderExtra = 0xF800; // after the first 2,048 bytes
inline constexpr uint32_t kMaxVolumes = 999;                 // three decimal digits name a volume
inline constexpr uint32_t kMaxPartitions = 1000;             // far above any partition table

// Record flags.
inline constexpr uint32_t kFlagCompressed = 0x01;
inline constexpr uint32_t kFlagBitmapZlib = 0x02;
inline constexpr uint32_t kFlagLogical = 0x04;
inline constexpr uint32_t kFlagSpans = 0x08;
inline constexpr uint32_t kFlagNoContinuation = 0x10;
inline constexpr uint32_t kFlag100 = 0x100;
inline constexpr uint32_t kFlag200 = 0x200;
inline constexpr uint32_t kFlag800 = 0x800;

// Fields at an offset of a byte span; a field that does not lie wholly inside
// reads as 0.
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

bool isRecordMagic(uint32_t magic);

// One 512-byte partition record (at the start of a partition's data in its
// volume, copied in the header). Holds the raw bytes; accessors decode them.
struct PartitionRecord {
    uint8_t raw[kRecordSize] = {};

    // Copies 512 bytes; false when the magic or the record size is wrong.
    static bool parse(std::span<const uint8_t> bytes, PartitionRecord& out);

    uint32_t u32(size_t off) const { return LoadLe32(raw, off); }
    uint32_t magic() const { return u32(0); }
    uint32_t setId() const { return u32(8); }
    uint32_t partitionType() const { return u32(16); }
    uint32_t fileSystemKind() const { return u32(20); }
    uint32_t totalSectors() const { return u32(24); }
    uint32_t sectorsPerBlock() const { return u32(28); }
    uint32_t blockCount() const { return u32(32); }
    uint32_t bytesPerSector() const { return u32(36); }
    uint16_t year() const { return LoadLe16(raw, 40); }
    uint8_t month() const { return raw[42]; }
    uint8_t day() const { return raw[43]; }
    uint32_t bitmapSize() const { return u32(48); }
    uint64_t dataLength() const { return u32(52) | uint64_t(u32(96)) << 32; }
    uint32_t flags() const { return u32(56); }
    uint32_t compressionCode() const { return u32(60); }
    uint32_t driveLetter() const { return u32(64); }
    uint32_t usedBlockCount() const { return u32(72); }
    uint32_t volume() const { return u32(80); }
    uint32_t offset() const { return u32(84); }
    uint32_t passwordValue() const;
    uint32_t blockLimit() const { return u32(100); }
    uint32_t continuationVolume() const { return u32(468); }
    uint32_t continuationOffset() const { return u32(472); }
    bool spans() const { return (flags() & (kFlagSpans | kFlagNoContinuation)) == kFlagSpans; }
    // Copies the text field at off (size bytes) into buf, always terminated.
    void text(size_t off, size_t size, char* buf, size_t bufSize) const;
};

// The image header as read (up to 64 KiB) with the values the reader uses.
struct ImageHeader {
    std::vector<uint8_t> bytes;      // what was read, at least 512 bytes
    uint32_t headerSize = 0;         // byte 4
    uint32_t partitionCount = 0;     // byte 8
    uint32_t setId = 0;              // byte 512 (0 for a 512-byte header)
    uint32_t imageVolumes = 1;       // byte 516 (1 for a 512-byte header)
    uint32_t formatVersion = 1;      // byte 2020, filled in when 0
    uint32_t readerVersion = 1;      // byte 2024, filled in when 0
    uint32_t flags = 0;              // byte 2028
    uint32_t continuationCopies = 0; // byte 2032, bounded by the bytes read

    // Decodes the fields of a header read into bytes (512 bytes or more).
    // Returns kwv::kStoreOk, kwv::kStoreInvalid or kwv::kStoreUnsupported.
    static int parse(std::vector<uint8_t> bytes, ImageHeader& out);

    bool hasFirstVolume() const { return (flags & 1) != 0; }
    bool isShort() const { return headerSize <= kShortHeaderSize; }
    // The header's copy of record n (1-based) when it is present and valid.
    bool recordCopy(uint32_t n, PartitionRecord& out) const;
    // The continuation-record copy for (volume, offset), when the header has one.
    bool continuationCopy(uint32_t volume, uint64_t offset, PartitionRecord& out) const;
    void text(size_t off, size_t size, char* buf, size_t bufSize) const;
};

// Header size to read in full from a header's first bytes; kwv::kStoreInvalid when
// the size field is below the minimum. firstVolume selects the ".KWU" rules.
int headerReadSize(std::span<const uint8_t> first, bool firstVolume, size_t& total);

// The image path split into base and extension (at most three characters).
struct VolumeNames {
    std::string path;
    std::string base;
    std::string extension; // without the point; empty when none

    explicit VolumeNames(std::string imagePath);
    // Name of volume n: 0 ".KWU", 1 the image itself, n >= 2 ".nnn".
    // Empty for a volume beyond three digits.
    std::string name(uint32_t volume) const;
};

// XORs bytes with the password key (value rotated left by 8 * rotation bits):
// whole 32-bit little-endian words first, the last 1 to 3 bytes with the
// key's bytes from the lowest.
void descramble(std::span<uint8_t> bytes, uint32_t passwordValue, uint32_t rotation);

} // namespace kw::legacy
