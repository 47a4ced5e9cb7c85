// The container's view of the chunk codecs and the error correction: one
// encoder and one decoder interface, made per codec for a chunk's payload room.
#pragma once

#include <cstdint>
#include <memory>

namespace kwv {

// Fills one chunk's payload.
class ChunkEncoder {
public:
    virtual ~ChunkEncoder() = default;
    virtual void Begin(uint8_t* payload, uint32_t room) = 0;
    // Takes bytes (null writes zeros); 0 when the chunk is full.
    virtual uint32_t Put(const uint8_t* source, uint32_t length) = 0;
    virtual uint32_t GetInputCount() = 0;
    // Completes the payload; returns the raw-start offset for byte 72.
    virtual uint32_t Finish() = 0;
};

// Delivers the data bytes of one chunk's payload.
class ChunkDecoder {
public:
    virtual ~ChunkDecoder() = default;
    virtual void Begin(const uint8_t* payload, uint32_t room, uint32_t dataLength,
                       uint32_t rawStart) = 0;
    // Bytes produced from `offset` (null destination: produce and drop).
    virtual uint32_t Get(uint32_t offset, uint8_t* destination, uint32_t length) = 0;
};

// Codec 0 is the stored codec; null when the codec is unknown or out of memory.
std::unique_ptr<ChunkEncoder> MakeChunkEncoder(uint32_t codec, uint32_t room);
std::unique_ptr<ChunkDecoder> MakeChunkDecoder(uint32_t codec, uint32_t room);

// Error correction over a stored chunk of 0x46000 bytes.
constexpr uint32_t kEccSubBlock = 8192;
constexpr uint32_t kEccSubBlocks = 35;
constexpr uint32_t kEccMaxErasures = 3;
void EccEncodeChunk(uint8_t* chunk);
// Rebuilds the erased sub-blocks (at most 3) and corrects what the syndromes
// allow; the chunk's own checks tell whether it worked.
void EccRecoverChunk(uint8_t* chunk, const uint32_t* erasures, uint32_t count);

} // namespace kwv
