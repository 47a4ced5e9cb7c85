// Constants and tables of the own method's block format shared by its
// compressor and decompressor.
#pragma once

#include <cstdint>

namespace own_method {

constexpr uint16_t kBlockMagic = 0x0081;
constexpr uint32_t kMainSymbols = 336;
constexpr uint32_t kPreSymbols = 22;
constexpr uint32_t kEndSymbol = 335;
constexpr uint32_t kMaxCodeLength = 15;
constexpr uint32_t kFirstShortMatch = 256; // 256-264: distances 1-3
constexpr uint32_t kFirstGroupMatch = 265; // 265-318: distances 4-2,047
constexpr uint32_t kFirstLongMatch = 319;  // 319-334: lengths 6-21
constexpr uint32_t kMaxShortDistance = 2047;
constexpr uint32_t kMaxDistance = 2720;
// Longest match the format can say: 21 + 15 + 255 + 4,095 + 65,535.
constexpr uint32_t kMaxMatchLength = 21 + 15 + 255 + 4095 + 65535;

// Pre-code symbols beyond the lengths 0 to 15.
constexpr uint32_t kTwoZeros = 16;
constexpr uint32_t kThreeZeros = 17;
constexpr uint32_t kZeroRun = 18;
constexpr uint32_t kRepeatTwice = 19;
constexpr uint32_t kRepeatThrice = 20;
constexpr uint32_t kRepeatRun = 21;

// Long-match distance forms: selector 0 to 3 gives the extra bits and base.
constexpr uint8_t kLongDistanceBits[4] = {5, 7, 9, 11};
constexpr uint16_t kLongDistanceBase[4] = {1, 33, 161, 673};

// Distance base of a group match symbol (index i = symbol - 265).
constexpr uint32_t GroupBase(uint32_t i) {
    uint32_t g = i / 6;
    return (i % 6) < 3 ? 1u << (g + 2) : 3u << (g + 1);
}
constexpr uint32_t GroupExtraBits(uint32_t i) {
    return i / 6 + 1;
}

// Canonical code: codes handed out by increasing length, then symbol.
// Fills codes[s] for every symbol with a non-zero length.
inline void CanonicalCodes(const uint8_t* lengths, uint32_t symbols, uint16_t* codes) {
    uint32_t count[kMaxCodeLength + 2] = {};
    for (uint32_t s = 0; s < symbols; ++s) {
        ++count[lengths[s]];
    }
    uint32_t next[kMaxCodeLength + 2] = {};
    uint32_t code = 0;
    count[0] = 0;
    for (uint32_t len = 1; len <= kMaxCodeLength; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (uint32_t s = 0; s < symbols; ++s) {
        if (lengths[s] != 0) {
            codes[s] = static_cast<uint16_t>(next[lengths[s]]++);
        }
    }
}

} // namespace own_method
