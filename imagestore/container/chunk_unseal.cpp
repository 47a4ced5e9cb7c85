#include "imagestore/container/chunk_unseal.h"

#include <cstring>

namespace kwv {

SealKeys KeysOf(const uint8_t* headerBytes) {
    SealKeys k;
    std::memcpy(k.headerBytes, headerBytes, kRecordSize);
    const ChunkRecord h = ChunkRecord::Parse(headerBytes);
    k.containerFlags = h.containerFlags;
    k.passwordCrc = h.passwordCrc;
    k.dataSize = h.dataSize;
    return k;
}

void ScramblePayload(uint8_t* chunk, uint32_t passwordCrc, uint32_t dataSize) {
    const uint32_t k = passwordCrc ^ kScrambleMask;
    const uint8_t key[4] = {uint8_t(k), uint8_t(k >> 8), uint8_t(k >> 16), uint8_t(k >> 24)};
    uint32_t word;
    std::memcpy(&word, key, 4); // the key as the words lie in memory
    for (uint32_t i = GetPayloadOffset(chunk); i + 4 <= dataSize; i += 4) {
        uint32_t v;
        std::memcpy(&v, chunk + i, 4);
        v ^= word;
        std::memcpy(chunk + i, &v, 4);
    }
}

Unsealed UnsealChunk(const SealKeys& keys, const RawChunk& raw, uint32_t number, uint8_t* buf,
                     ::ChunkDecoder* stored, ::ChunkDecoder* set) {
    Unsealed u;
    u.readStatus = raw.status;
    if (u.readStatus == kStoreOk && raw.rebuild &&
        ::EccRebuildChunk(buf, raw.erased, raw.erasedCount) != 0) {
        u.readStatus = kStoreShortRead;
    }
    if (u.readStatus != kStoreOk) {
        return u;
    }
    const ChunkRecord r = ChunkRecord::Parse(buf);
    u.record = r;
    u.recordOk = CheckRecord(buf, r) == kStoreOk &&
                 CheckAgainstHeader(buf, keys.headerBytes) == kStoreOk && r.chunkNumber == number;
    if (!u.recordOk) {
        return u;
    }
    if ((keys.containerFlags & kFlagPayloadCrc) && PayloadCrc(buf, r.dataSize) != r.payloadCrc) {
        u.tailStatus = kStoreInvalid;
        return u;
    }
    if (ProtectionOf(keys.containerFlags) == 2) {
        ScramblePayload(buf, keys.passwordCrc, keys.dataSize);
    }
    u.decoder = (r.chunkFlags & kChunkCompressed) ? set : stored;
    if (u.decoder == nullptr) {
        u.tailStatus = kStoreWrongMode;
    } else if (!u.decoder->Begin(buf + kRecordSize, r.PayloadRoom(), r.dataLength,
                                 r.storedLength)) {
        u.tailStatus = kStoreInvalid; // the codec's output disagrees with bytes 64 and 72
    }
    return u;
}

} // namespace kwv
