// Test-only writer of images of the older format, from its byte layouts:
// header with its record copies, partition records, bitmaps, stored data in
// every compression code, password scrambling, continuation volumes and the
// ".KWU" first volume. Not part of the library (the library never writes this
// format).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kw::legacy::testing {

struct LegacyPartition {
    std::vector<uint8_t> data;   // the plain data: the used blocks one after the other
    std::vector<uint8_t> bitmap; // the plain used-block bitmap
    bool bitmapZlib = false;
    uint32_t code = 0;          // compression code
    bool compressedFlag = true; // record flag 0x01 when code != 0; clear: stored plainly
    uint32_t passwordValue = 0; // 0: none
    size_t blockSize = 0x8000;  // input bytes per LZS / own-method block
    uint32_t partitionType = 0x06;
    uint32_t fileSystemKind = 1;
    uint32_t totalSectors = 0;
    uint32_t sectorsPerBlock = 1;
    uint32_t blockCount = 0;
    uint32_t bytesPerSector = 512;
    uint32_t usedBlocks = 0;
    uint32_t extraFlags = 0; // 0x04 logical, 0x10, 0x100, 0x200, 0x800
    uint32_t driveLetter = 'C';
    uint16_t year = 2001;
    uint8_t month = 7, day = 14;
    uint32_t value68 = 0x68, value76 = 0x76, value88 = 0x88, value104 = 0x104;
    uint32_t value108 = 0x108, value508 = 0x508, blockLimit = 0;
    std::string name = "DATA", description;
};

struct LegacyImage {
    std::string title = "Test image";
    std::string description;
    uint32_t magic = 0x12268977;
    uint32_t setId = 0x5EED0001;
    bool shortHeader = false;        // the oldest 512-byte header, records found by walking
    bool recordCopies = true;        // copies of the records in the header
    bool continuationCopies = false; // copies of the continuation records in the header
    bool firstVolume = false;        // also write the ".KWU" volume 0
    uint64_t volumeLimit = 0;        // bytes per volume file; 0: one volume
    uint32_t formatVersion = 2;
    uint32_t readerVersion = 1;
};

// Writes the image at path (POSIX) and returns the files written.
std::vector<std::string> writeLegacyImage(const std::string& path, const LegacyImage& image,
                                          const std::vector<LegacyPartition>& partitions);

// LZS blocks of blockSize input bytes each; with history, matches reach back
// into earlier blocks.
std::vector<uint8_t> lzsEncodeBlocks(const std::vector<uint8_t>& data, size_t blockSize,
                                     bool history);
// XOR with the password value's bytes, lowest first, from offset 0.
void scramble(std::vector<uint8_t>& data, uint32_t passwordValue);
// The stored password value for a password text (as the library converts it).
uint32_t storedPasswordValue(uint32_t value);

} // namespace kw::legacy::testing
