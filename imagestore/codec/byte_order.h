// Byte-run comparison of the codecs, on buffers of any alignment (the
// little-endian field loads and stores are in include/kwbytes.h).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Eight bytes as a native word, for comparing runs of bytes.
inline uint64_t LoadWord64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

static_assert(std::endian::native == std::endian::little,
              "CommonPrefix counts bytes from the low end");

// Number of equal leading bytes of a and b, at most `limit`.
inline uint32_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t diff = LoadWord64(a + n) ^ LoadWord64(b + n);
        if (diff != 0) {
            return n + static_cast<uint32_t>(__builtin_ctzll(diff) >> 3);
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) {
        ++n;
    }
    return n;
}
