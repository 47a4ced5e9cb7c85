// The 96-byte record at the start of every stored chunk of a container, and the
// constants of the container format that go with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwv {

constexpr uint32_t kRecordSize = 96;
constexpr uint32_t kMagicChunk = 0x4E414324;  // "$CAN"
constexpr uint32_t kMagicOldSig = 0x12268978; // older-format signature, chunk 0 only
constexpr uint32_t kOldSigPayloadOffset = 2048;
constexpr uint32_t kOldSigVersionAt = 2020; // and 2024: the value 4
constexpr uint32_t kPlainChunkSize = 0x20000;
constexpr uint32_t kEccStoredSize = 0x46000;
constexpr uint32_t kEccChunkDataSize = 0x40000;
constexpr uint32_t kChunkSlack = 10112; // spare bytes after a chunk buffer
constexpr uint32_t kScrambleMask = 0x5A17C3E9;
constexpr uint32_t kMaxWriteVolumes = 998;
constexpr uint32_t kMaxReadVolumes = 999;

// CONTAINER_FLAGS (byte 20 of every record).
constexpr uint32_t kFlagDirectoryCopy = 0x1;
constexpr uint32_t kFlagPayloadCrc = 0x2;
constexpr uint32_t kFlagClosed = 0x4;
inline uint32_t CodecOf(uint32_t flags) {
    return (flags >> 16) & 0xF;
}
inline uint32_t ProtectionOf(uint32_t flags) {
    return (flags >> 20) & 0xF;
}
inline uint32_t EccOf(uint32_t flags) {
    return (flags >> 24) & 0xF;
}
constexpr uint32_t kCodecNone = 0, kCodecLzs = 2, kCodecOwn = 3;

// Chunk flags (byte 52).
constexpr uint32_t kChunkCompressed = 0x1;
constexpr uint32_t kChunkHasDirectory = 0x2;

// The byte range of a record that every chunk repeats from the header.
constexpr uint32_t kSharedFrom = 14, kSharedTo = 48;

// CHUNK_RECORD, field by field.
struct ChunkRecord {
    uint32_t magic = kMagicChunk;
    uint32_t payloadOffset = kRecordSize;
    uint32_t recordSize = kRecordSize;
    uint16_t reserved12 = 0;
    uint8_t writerVersion = 1;
    uint8_t readerVersion = 1;
    uint32_t creationTime = 0;
    uint32_t containerFlags = 0;
    uint32_t passwordCrc = 0;
    uint32_t storedChunkSize = kPlainChunkSize;
    uint32_t dataSize = kPlainChunkSize;
    uint8_t reserved36[12] = {};
    uint32_t chunkNumber = 0;
    uint32_t chunkFlags = 0;
    uint64_t streamOffset = 0;
    uint32_t dataLength = 0;
    int32_t directoryOffset = 0;
    uint32_t storedLength = 0;
    uint8_t reserved76[12] = {};
    uint32_t headerCrc = 0;
    uint32_t payloadCrc = 0;

    static ChunkRecord Parse(const uint8_t* bytes);
    void Serialise(uint8_t* bytes) const;

    uint32_t PayloadRoom() const { return dataSize - kRecordSize; }
    uint64_t StreamEnd() const { return streamOffset + dataLength; }
    // The stream offset byte 68 names; false when it lies before 0.
    bool DirectoryAt(uint64_t* at) const {
        const int64_t pos = int64_t(streamOffset) + directoryOffset;
        *at = pos < 0 ? 0 : uint64_t(pos);
        return pos >= 0;
    }
};

// The standard CRC-32 (reflected, polynomial 0xEDB88320) of `length` bytes,
// computed with a folding implementation; equal to zlib's crc32.
uint32_t Crc32(const uint8_t* data, size_t length);
// While an append runs, chunk 0 (its directory copy cleared) names the set's
// committed end in bytes 76 to 87 of its record: the chunks and volumes the
// set held before the append. Readers of the format leave these bytes alone;
// the commit clears them with the new copy.
struct CommittedEnd {
    uint32_t chunks = 0;
    uint32_t volumes = 0;
};
constexpr uint32_t kMagicCommittedEnd = 0x444E4524; // "$END"
// Writes the committed end into the record bytes of `chunk` (the record CRC
// is the caller's).
void PutCommittedEnd(uint8_t* chunk, const CommittedEnd& end);
// The committed end a record names; false when it names none.
bool GetCommittedEnd(const ChunkRecord& record, CommittedEnd* end);

// CRC-32 of a record's bytes 0-87, as stored at byte 88.
uint32_t RecordCrc(const uint8_t* bytes);
// CRC-32 of a chunk's payload, bytes 96 up to the data size, as stored at
// byte 92.
uint32_t PayloadCrc(const uint8_t* chunk, uint32_t dataSize);

// Field access on the raw bytes of a chunk buffer.
uint32_t GetPayloadOffset(const uint8_t* chunk);
uint32_t GetChunkFlags(const uint8_t* chunk);
void PutChunkFlags(uint8_t* chunk, uint32_t flags);
// Stores the CRC of bytes 0-87 at byte 88.
void PutRecordCrc(uint8_t* chunk);

// Checks a record on its own: magic, sizes, offsets, lengths and the record
// CRC. Returns 0 or 1802.
int CheckRecord(const uint8_t* bytes, const ChunkRecord& record);

// Checks that a record belongs to the set of the given header record (record
// size and bytes 14-47 equal). Returns 0 or 1802.
int CheckAgainstHeader(const uint8_t* bytes, const uint8_t* headerBytes);

// Checks that a header's container flags and chunk sizes describe a set this
// library reads. Returns 0, 1802 or 1818.
int CheckHeaderOptions(const ChunkRecord& header);

} // namespace kwv
