// Chunk codecs: the objects through which the container fills a chunk's payload
// while writing (encoders) and takes the chunk's data out again while reading
// (decoders).
//
// A compressed chunk holds a run of compressed blocks followed, from the
// raw-start offset on, by bytes stored uncompressed up to the chunk's data
// length. The encoders switch to raw storage as soon as a block does not
// shrink (or is shorter than kMinCompressedBlock); the raw-start offset is what
// Finish returns and what the container records in the chunk record.
//
// All objects are reference-counted: they are created with one reference and
// destroyed by the Release that drops the count to 0. No method throws.
#pragma once

#include <cstddef>
#include <cstdint>

// Raw-start value of a chunk whose whole payload is compressed.
constexpr uint32_t kRawStartNone = 0xFFFFFFFFu;
// Blocks shorter than this are never compressed.
constexpr uint32_t kMinCompressedBlock = 4096;
// Largest block the own-method encoder compresses at once.
constexpr uint32_t kOwnMethodBlockLimit = 0xD800;
// Size of the own-method encoder's staging buffer.
constexpr uint32_t kOwnMethodStagingSize = 0xFF80;

// The compressed format a compressed-chunk decoder reads.
enum class ChunkCodecMode { Lzs, OwnMethod };

// Fills one chunk's payload. Encoders never write past payload + room.
class ChunkEncoder {
public:
    virtual uint32_t AddRef() = 0;
    // Drops a reference; destroys the object when the count reaches 0.
    virtual uint32_t Release() = 0;
    // Starts a chunk: the payload buffer and its room in bytes. Any earlier
    // chunk is forgotten.
    virtual void Begin(uint8_t* payload, uint32_t room) = 0;
    // Offers `length` bytes (a null source offers zeros). Returns how many were
    // taken; 0 means the chunk is full. Taking fewer than offered is normal:
    // the caller offers the rest again.
    virtual uint32_t Put(const uint8_t* source, uint32_t length) = 0;
    // Bytes taken since Begin (the chunk's uncompressed data length).
    virtual uint32_t GetInputCount() const = 0;
    // Writes out what is staged, zero-fills the rest of the room and returns
    // the raw-start offset (0 for a stored chunk, kRawStartNone when all of
    // the payload is compressed).
    virtual uint32_t Finish() = 0;

protected:
    virtual ~ChunkEncoder() = default;
};

// Takes a chunk's data out of its payload.
class ChunkDecoder {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Starts a chunk: payload, its room, the chunk's data length and its
    // raw-start offset (as Finish returned them). Returns false when the room
    // is larger than the decoder was made for, or (compressed chunks) when the
    // payload is not what an encoder makes of that data length and raw start:
    // blocks that produce the data length exactly, landing on the raw start
    // when there is one, and zeros behind the last byte written. Get then
    // produces nothing.
    virtual bool Begin(const uint8_t* payload, uint32_t room, uint32_t dataLength,
                       uint32_t rawStart) = 0;
    // Produces up to `length` bytes of the chunk's data from `offset` on into
    // `dest` (a null destination skips them). Returns the bytes produced; fewer
    // than asked (cut at the data length, or damaged data) ends the data.
    virtual uint32_t Get(uint32_t offset, uint8_t* dest, uint32_t length) = 0;

protected:
    virtual ~ChunkDecoder() = default;
};

// Factories: each returns null when a buffer cannot be allocated. `room` is
// the largest payload room the object will be given (data size - 96).
ChunkEncoder* CreateStoredChunkEncoder();
ChunkEncoder* CreateLzsChunkEncoder(uint32_t room);
ChunkEncoder* CreateOwnMethodChunkEncoder();
ChunkDecoder* CreateStoredChunkDecoder();
ChunkDecoder* CreateCompressedChunkDecoder(ChunkCodecMode mode, uint32_t room);
