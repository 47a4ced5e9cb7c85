// LZS decompressor on arbitrary bytes: blocks decoded one after another with
// the history carried, optionally from a restored (arbitrary) state; long
// enough inputs are also compressed and must come back unchanged.
#include "imagestore/codec/lzs.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void RoundTrip(const uint8_t* data, uint32_t size) {
    std::vector<uint8_t> work(LzsCompressWorkSize());
    LzsCompressInit(work.data());
    std::vector<uint8_t> packed(size + size / 8 + 16);
    uint32_t in = size, out = static_cast<uint32_t>(packed.size());
    if (LzsCompress(data, &in, packed.data(), &out, work.data(), 0) != kLzsEndMarker) {
        std::abort();
    }
    std::vector<uint8_t> state(LzsDecompressWorkSize());
    LzsDecompressInit(state.data());
    std::vector<uint8_t> back(size);
    uint32_t pin = out, pout = size;
    if (LzsDecompress(packed.data(), &pin, back.data(), &pout, state.data(), 0) != kLzsEndMarker ||
        pin != out || pout != size || std::memcmp(back.data(), data, size) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint32_t room = data[0] < 128 ? data[0] : uint32_t(data[0]) << 8;
    bool restored = (data[1] & 1) != 0 && size >= 2 + kLzsDecompressWorkSize;
    std::vector<uint8_t> state(LzsDecompressWorkSize());
    LzsDecompressInit(state.data());
    const uint8_t* in = data + 2;
    size_t left = size - 2;
    if (restored) {
        std::memcpy(state.data(), in, kLzsDecompressWorkSize);
        in += kLzsDecompressWorkSize;
        left -= kLzsDecompressWorkSize;
    }
    std::vector<uint8_t> out(room);
    for (int block = 0; block < 8 && left > 0; ++block) {
        uint32_t inCount = static_cast<uint32_t>(left), outCount = room;
        uint32_t status = LzsDecompress(in, &inCount, out.data(), &outCount, state.data(), 0);
        if (inCount > left || outCount > room) {
            std::abort();
        }
        if (status != kLzsEndMarker || inCount == 0) {
            break;
        }
        in += inCount;
        left -= inCount;
    }
    if (size <= 0x10000) {
        RoundTrip(data, static_cast<uint32_t>(size));
    }
    return 0;
}
