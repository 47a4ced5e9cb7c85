// Sealing a filled chunk for its volume, in two steps: everything that does
// not depend on the chunk's number (scrambling, the payload CRC, the check
// bytes of error correction), then the number itself with the record CRC and
// the check bytes the record reaches. The first step is the costly one and
// runs on any thread; the second is cheap and runs where chunks are numbered,
// in the order they are stored.
#pragma once

#include "imagestore/container/chunk_record.h"
#include "imagestore/container/chunk_unseal.h"

#include <cstdint>

namespace kwv {

// The record of a chunk that starts at `streamOffset`: bytes 14 to 47 from the
// header, no flags, no lengths yet.
ChunkRecord FreshRecord(const uint8_t* headerBytes, uint32_t number, uint64_t streamOffset);

// Step one: writes `record` (its CRCs as 0) into the chunk, scrambles the
// payload, stores the payload CRC and computes the check bytes, as the set's
// flags ask. `record` gets the payload CRC.
void SealPayload(uint8_t* chunk, ChunkRecord& record, const SealKeys& keys);

// Step two: gives the sealed chunk its number and its record CRC and brings
// the check bytes of the record's code words up to date.
void StampChunk(uint8_t* chunk, ChunkRecord& record, uint32_t number, const SealKeys& keys);

} // namespace kwv
