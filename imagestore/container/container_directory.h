// The container's directory: the "$CDH" record, the chunk index and the volume
// table, as parsed from and written to the stream space.
#pragma once

#include <array>
#include <cstdint>

namespace kwv {

constexpr uint32_t kMagicDirectory = 0x48444324; // "$CDH"
constexpr uint32_t kDirectoryRecordSize = 96;
constexpr uint32_t kIndexEntries = 1024;
constexpr uint32_t kVolumeEntries = 999;
constexpr uint32_t kIndexBytes = kIndexEntries * 8;
constexpr uint32_t kVolumeTableBytes = kVolumeEntries * 4;
constexpr uint32_t kDirectoryFixedBytes =
    kDirectoryRecordSize + kIndexBytes + kVolumeTableBytes; // 12,284
constexpr uint32_t kStreamTableMax = 30000;
constexpr uint32_t kReservedAreaSize = kDirectoryFixedBytes + kStreamTableMax; // 42,284

// CONTAINER_DIRECTORY, field by field.
struct DirectoryRecord {
    uint32_t magic = kMagicDirectory;
    uint32_t tableOffset = kDirectoryFixedBytes;
    uint32_t indexOffset = kDirectoryRecordSize;
    uint32_t tableLength = 0;
    uint64_t streamLength = 0;
    uint32_t chunkCount = 0;
    uint32_t volumeCount = 0;
    uint32_t reservedSize = 0;
    uint32_t groupSize = 1;
    uint32_t indexEntries = kIndexEntries;
    uint32_t volumeEntries = kVolumeEntries;

    static DirectoryRecord Parse(const uint8_t* bytes);
    void Serialise(uint8_t* bytes) const;
    bool Valid() const { return magic == kMagicDirectory && tableOffset >= kDirectoryRecordSize; }
};

// CHUNK_INDEX: for each group of chunks, the stream offset where the group ends.
class ChunkIndex {
public:
    void Reset();
    // Notes that chunk `number` ends at `end`; doubles the group size when
    // the chunk falls past the last entry.
    void Record(uint32_t number, uint64_t end);
    uint32_t GroupSize() const { return groupSize_; }
    uint64_t Entry(uint32_t i) const { return entries_[i]; }
    // Writes the 1,024 entries; unused ones repeat the last used value.
    void Serialise(uint8_t* bytes) const;
    // Reads `count` entries (at most 1,024) with the given group size and
    // makes the table non-decreasing.
    void Parse(const uint8_t* bytes, uint32_t count, uint32_t groupSize);
    // The first chunk of the first group whose end lies past `offset`, and the
    // start offset of that group; false when no group ends past it.
    bool Find(uint64_t offset, uint32_t* firstChunk, uint64_t* groupStart) const;
    // What the index says of chunk `number` when it covers the first `covered`
    // chunks: the chunk lies within [start, end]; it starts at `start` when
    // it opens its group and ends at `end` when it closes it. False when the
    // index does not cover the chunk.
    struct Bounds {
        uint64_t start = 0;
        uint64_t end = 0;
        bool startsGroup = false;
        bool endsGroup = false;
    };
    bool BoundsOf(uint32_t number, uint32_t covered, Bounds* bounds) const;

private:
    std::array<uint64_t, kIndexEntries> entries_{};
    uint32_t groupSize_ = 1;
    uint32_t usedGroups_ = 0;
};

// VOLUME_TABLE: entry n is the number of chunks held by volumes 0 to n.
class VolumeTable {
public:
    void Reset() { entries_.fill(0); }
    uint32_t Entry(uint32_t n) const { return entries_[n]; }
    // Volume n holds chunks [first, first + count).
    void Note(uint32_t n, uint32_t first, uint32_t count);
    // Volume n holds chunks [first, first + count) and is the last volume:
    // the entries after it repeat its end.
    void Cut(uint32_t n, uint32_t first, uint32_t count);
    void Serialise(uint8_t* bytes, uint32_t volumeCount) const;
    void Parse(const uint8_t* bytes, uint32_t count);
    // The volume whose range holds `chunk`, or `fallback` when none does.
    uint32_t VolumeOf(uint32_t chunk, uint32_t fallback) const;

private:
    std::array<uint32_t, kVolumeEntries> entries_{};
};

} // namespace kwv
