// The compressed-chunk decoder on an arbitrary payload and record fields:
// sequential, backward and skipping reads must stay inside the data length.
// One decoder per mode serves every run (Begin starts a chunk afresh), so a
// run spends its time decoding, not on the decoders' windows.
#include "imagestore/codec/chunk_codec.h"
#include "include/kwbytes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kRoom = 0x20000 - 96;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) {
        return 0;
    }
    ChunkCodecMode mode = (data[0] & 1) ? ChunkCodecMode::OwnMethod : ChunkCodecMode::Lzs;
    // Small data lengths are the common case; keep the reads short enough.
    uint32_t dataLength = kwbytes::LoadLe32(data + 1) % (4 * kRoom);
    uint32_t rawStart = kwbytes::LoadLe32(data + 5);
    if ((data[0] & 2) != 0) {
        rawStart = 0xFFFFFFFFu;
    }
    std::vector<uint8_t> payload(data + 9, data + size);
    uint32_t room = static_cast<uint32_t>(std::min<size_t>(payload.size(), kRoom));
    static ChunkDecoder* const lzs = CreateCompressedChunkDecoder(ChunkCodecMode::Lzs, kRoom);
    static ChunkDecoder* const own = CreateCompressedChunkDecoder(ChunkCodecMode::OwnMethod, kRoom);
    ChunkDecoder* decoder = mode == ChunkCodecMode::Lzs ? lzs : own;
    if (decoder == nullptr) {
        return 0;
    }
    decoder->Begin(payload.data(), room, dataLength, rawStart);
    static std::vector<uint8_t> out(kRoom);
    const uint32_t offsets[] = {0, dataLength / 2, 1, dataLength - 1};
    for (uint32_t offset : offsets) {
        uint32_t want = std::min<uint32_t>(kRoom, dataLength);
        uint32_t got = decoder->Get(offset, (offset & 1) ? nullptr : out.data(), want);
        if (got > want || (offset < dataLength && got > dataLength - offset) ||
            (offset >= dataLength && got != 0)) {
            std::abort();
        }
    }
    return 0;
}
