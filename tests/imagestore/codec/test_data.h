// Inputs shared by the codec tests: the table of data kinds every codec must
// round-trip.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace codec_test {

inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

// Text-like data with repeats at all distances.
inline std::vector<uint8_t> TextBytes(size_t size, uint32_t seed) {
    static const char* words[] = {"the ",   "image ", "chunk ", "sector ", "partition ",
                                  "FAT ",   "of ",    "and ",   "a ",      "store\n",
                                  "block ", "0x1F ",  "data ",  "volume ", "is "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(size);
    while (out.size() < size) {
        const char* w = words[rng() % 15];
        for (const char* p = w; *p && out.size() < size; ++p) {
            out.push_back(static_cast<uint8_t>(*p));
        }
    }
    return out;
}

// Mixed content: text, zeros, random, short repeating patterns.
inline std::vector<uint8_t> MixedBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(size);
    while (out.size() < size) {
        size_t piece = std::min<size_t>(size - out.size(), 1000 + rng() % 20000);
        std::vector<uint8_t> part;
        switch (rng() % 4) {
        case 0:
            part = TextBytes(piece, rng());
            break;
        case 1:
            part.assign(piece, 0);
            break;
        case 2:
            part = RandomBytes(piece, rng());
            break;
        default:
            for (size_t i = 0; i < piece; ++i) {
                part.push_back(static_cast<uint8_t>((i % 7) * 3 + (i % 13)));
            }
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct NamedInput {
    std::string name;
    std::vector<uint8_t> data;
};

// The inputs every codec round-trips.
inline std::vector<NamedInput> RoundTripInputs() {
    return {
        {"empty", {}},
        {"one_byte", {0x42}},
        {"short", TextBytes(3000, 1)},
        {"zeros", std::vector<uint8_t>(200000, 0)},
        {"random", RandomBytes(150000, 2)},
        {"text", TextBytes(300000, 3)},
        {"mixed_1MiB", MixedBytes(1 << 20, 4)},
    };
}

} // namespace codec_test
