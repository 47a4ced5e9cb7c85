#include "imagestore/container/chunk_record.h"

#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <cstring>
#include <libdeflate.h>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

ChunkRecord ChunkRecord::Parse(const uint8_t* p) {
    ChunkRecord r;
    r.magic = LoadLe32(p);
    r.payloadOffset = LoadLe32(p + 4);
    r.recordSize = LoadLe32(p + 8);
    r.reserved12 = LoadLe16(p + 12);
    r.writerVersion = p[14];
    r.readerVersion = p[15];
    r.creationTime = LoadLe32(p + 16);
    r.containerFlags = LoadLe32(p + 20);
    r.passwordCrc = LoadLe32(p + 24);
    r.storedChunkSize = LoadLe32(p + 28);
    r.dataSize = LoadLe32(p + 32);
    std::memcpy(r.reserved36, p + 36, sizeof r.reserved36);
    r.chunkNumber = LoadLe32(p + 48);
    r.chunkFlags = LoadLe32(p + 52);
    r.streamOffset = LoadLe64(p + 56);
    r.dataLength = LoadLe32(p + 64);
    r.directoryOffset = int32_t(LoadLe32(p + 68));
    r.storedLength = LoadLe32(p + 72);
    std::memcpy(r.reserved76, p + 76, sizeof r.reserved76);
    r.headerCrc = LoadLe32(p + 88);
    r.payloadCrc = LoadLe32(p + 92);
    return r;
}

void ChunkRecord::Serialise(uint8_t* p) const {
    StoreLe32(p, magic);
    StoreLe32(p + 4, payloadOffset);
    StoreLe32(p + 8, recordSize);
    StoreLe16(p + 12, reserved12);
    p[14] = writerVersion;
    p[15] = readerVersion;
    StoreLe32(p + 16, creationTime);
    StoreLe32(p + 20, containerFlags);
    StoreLe32(p + 24, passwordCrc);
    StoreLe32(p + 28, storedChunkSize);
    StoreLe32(p + 32, dataSize);
    std::memcpy(p + 36, reserved36, sizeof reserved36);
    StoreLe32(p + 48, chunkNumber);
    StoreLe32(p + 52, chunkFlags);
    StoreLe64(p + 56, streamOffset);
    StoreLe32(p + 64, dataLength);
    StoreLe32(p + 68, uint32_t(directoryOffset));
    StoreLe32(p + 72, storedLength);
    std::memcpy(p + 76, reserved76, sizeof reserved76);
    StoreLe32(p + 88, headerCrc);
    StoreLe32(p + 92, payloadCrc);
}

uint32_t Crc32(const uint8_t* data, size_t length) {
    return libdeflate_crc32(0, data, length);
}

uint32_t RecordCrc(const uint8_t* bytes) {
    return Crc32(bytes, 88);
}

uint32_t PayloadCrc(const uint8_t* chunk, uint32_t dataSize) {
    return dataSize > kRecordSize ? Crc32(chunk + kRecordSize, dataSize - kRecordSize) : 0;
}

uint32_t GetPayloadOffset(const uint8_t* chunk) {
    return LoadLe32(chunk + 4);
}
uint32_t GetChunkFlags(const uint8_t* chunk) {
    return LoadLe32(chunk + 52);
}
void PutChunkFlags(uint8_t* chunk, uint32_t flags) {
    StoreLe32(chunk + 52, flags);
}
void PutRecordCrc(uint8_t* chunk) {
    StoreLe32(chunk + 88, RecordCrc(chunk));
}

namespace {

// The only pairs of stored chunk size and data size a writer produces.
bool SizesKnown(const ChunkRecord& r) {
    return (r.storedChunkSize == kPlainChunkSize && r.dataSize == kPlainChunkSize) ||
           (r.storedChunkSize == kEccStoredSize && r.dataSize == kEccChunkDataSize);
}

// The lengths at bytes 64 and 72 must fit the payload the chunk has. Byte 72
// is the codec's raw-start offset: 0 for a stored chunk; for a compressed one
// inside the payload, or all bits set when every byte is compressed.
bool LengthsFit(const ChunkRecord& r) {
    const uint32_t room = r.PayloadRoom();
    if (r.chunkFlags & kChunkCompressed) {
        if (r.storedLength != 0xFFFFFFFFu && r.storedLength >= room) {
            return false;
        }
    } else if (r.dataLength > room || r.storedLength != 0) {
        return false;
    }
    // The stream space is addressed with 64-bit offsets; keep ends from wrapping.
    return r.streamOffset <= (uint64_t(1) << 62);
}

} // namespace

void PutCommittedEnd(uint8_t* chunk, const CommittedEnd& end) {
    StoreLe32(chunk + 76, kMagicCommittedEnd);
    StoreLe32(chunk + 80, end.chunks);
    StoreLe32(chunk + 84, end.volumes);
}

bool GetCommittedEnd(const ChunkRecord& r, CommittedEnd* end) {
    if (LoadLe32(r.reserved76) != kMagicCommittedEnd) {
        return false;
    }
    end->chunks = LoadLe32(r.reserved76 + 4);
    end->volumes = LoadLe32(r.reserved76 + 8);
    return true;
}

int CheckRecord(const uint8_t* bytes, const ChunkRecord& r) {
    const bool oldSig = r.magic == kMagicOldSig && r.streamOffset == 0 && r.chunkNumber == 0;
    if (r.magic != kMagicChunk && !oldSig) {
        return kStoreInvalid;
    }
    if (r.recordSize < kRecordSize || r.recordSize >= r.dataSize ||
        r.dataSize > r.storedChunkSize || !SizesKnown(r)) {
        return kStoreInvalid;
    }
    // Byte 4 holds the one value writers give it: scrambling starts there.
    if (r.payloadOffset != (oldSig ? kOldSigPayloadOffset : kRecordSize) ||
        (r.chunkFlags & ~(kChunkCompressed | kChunkHasDirectory)) != 0) {
        return kStoreInvalid;
    }
    if (RecordCrc(bytes) != r.headerCrc || !LengthsFit(r)) {
        return kStoreInvalid;
    }
    return kStoreOk;
}

int CheckAgainstHeader(const uint8_t* bytes, const uint8_t* headerBytes) {
    if (std::memcmp(bytes + 8, headerBytes + 8, 4) != 0 ||
        std::memcmp(bytes + kSharedFrom, headerBytes + kSharedFrom, kSharedTo - kSharedFrom) != 0) {
        return kStoreInvalid;
    }
    return kStoreOk;
}

int CheckHeaderOptions(const ChunkRecord& h) {
    if (h.readerVersion > 1) {
        return kStoreUnsupported;
    }
    const uint32_t codec = CodecOf(h.containerFlags);
    if (codec != kCodecNone && codec != kCodecLzs && codec != kCodecOwn) {
        return kStoreUnsupported;
    }
    if (EccOf(h.containerFlags) > 1 || ProtectionOf(h.containerFlags) > 2) {
        return kStoreUnsupported;
    }
    const bool ecc = EccOf(h.containerFlags) == 1;
    if (ecc != (h.storedChunkSize == kEccStoredSize)) {
        return kStoreInvalid;
    }
    return kStoreOk;
}

} // namespace kwv
