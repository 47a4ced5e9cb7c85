// Opening one chunk that was read from its volume: rebuilding lost sub-blocks,
// the checks of its record and payload, unscrambling and starting its
// decoder. A pure computation on the chunk's bytes, run on the caller's thread
// or on a worker.
#pragma once

#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/error_correction.h"
#include "imagestore/container/chunk_record.h"
#include "imagestore/store_error.h"

#include <cstdint>

namespace kwv {

// What reading a chunk's stored bytes gave: a failure, the whole chunk, or
// (with error correction) the chunk read again sub-block by sub-block with
// the sub-blocks that could not be read.
struct RawChunk {
    int status = kStoreOk;
    bool rebuild = false;
    uint32_t erased[kEccSubBlocks] = {};
    uint32_t erasedCount = 0;
};

// What a chunk is checked and unscrambled with: the set's header record.
struct SealKeys {
    uint8_t headerBytes[kRecordSize] = {};
    uint32_t containerFlags = 0;
    uint32_t passwordCrc = 0;
    uint32_t dataSize = 0;
};
SealKeys KeysOf(const uint8_t* headerBytes);

// The outcome of opening a chunk, kept apart in the order its checks count:
// the read and rebuild, the record on its own, against the header and its
// number, then (after the caller checked the chunk's place in the set) the
// payload CRC and the decoder's check of the payload.
struct Unsealed {
    int readStatus = kStoreOk;
    bool recordOk = false;
    int tailStatus = kStoreOk;
    ChunkRecord record;
    ::ChunkDecoder* decoder = nullptr;
};

// Opens chunk `number` in `chunk` (the stored chunk plus the codecs' slack).
// `stored` decodes stored chunks, `set` compressed ones (null when the set
// has no codec). On success the returned decoder delivers the chunk's data
// from `chunk` until either is used again.
Unsealed UnsealChunk(const SealKeys& keys, const RawChunk& raw, uint32_t number, uint8_t* chunk,
                     ::ChunkDecoder* stored, ::ChunkDecoder* set);

// XORs the payload words of a chunk (from its payload offset up to the data
// size) with the password's key; the same call scrambles and unscrambles.
void ScramblePayload(uint8_t* chunk, uint32_t passwordCrc, uint32_t dataSize);

} // namespace kwv
