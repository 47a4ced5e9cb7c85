#include "imagestore/container/chunk_seal.h"

#include "include/kwbytes.h"

#include <cstring>

namespace kwv {

using namespace kwbytes; // little-endian field stores

ChunkRecord FreshRecord(const uint8_t* headerBytes, uint32_t number, uint64_t streamOffset) {
    ChunkRecord r = ChunkRecord::Parse(headerBytes);
    r.magic = kMagicChunk;
    r.payloadOffset = kRecordSize;
    r.chunkNumber = number;
    r.chunkFlags = 0;
    r.streamOffset = streamOffset;
    r.dataLength = r.storedLength = 0;
    r.directoryOffset = 0;
    std::memset(r.reserved76, 0, sizeof r.reserved76);
    r.headerCrc = r.payloadCrc = 0;
    return r;
}

void SealPayload(uint8_t* chunk, ChunkRecord& r, const SealKeys& keys) {
    r.headerCrc = r.payloadCrc = 0;
    r.Serialise(chunk);
    if (ProtectionOf(keys.containerFlags) == 2) {
        ScramblePayload(chunk, keys.passwordCrc, keys.dataSize);
    }
    if (keys.containerFlags & kFlagPayloadCrc) {
        r.payloadCrc = PayloadCrc(chunk, keys.dataSize);
        StoreLe32(chunk + 92, r.payloadCrc);
    }
    if (EccOf(keys.containerFlags) == 1) {
        ::EccEncodeChunk(chunk);
    }
}

void StampChunk(uint8_t* chunk, ChunkRecord& r, uint32_t number, const SealKeys& keys) {
    r.chunkNumber = number;
    StoreLe32(chunk + 48, number);
    r.headerCrc = RecordCrc(chunk);
    StoreLe32(chunk + 88, r.headerCrc);
    if (EccOf(keys.containerFlags) == 1) {
        ::EccEncodeLeadingWords(chunk, kRecordSize);
    }
}

} // namespace kwv
