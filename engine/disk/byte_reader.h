// Little-endian field readers over byte spans; a field outside the span
// reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kwdisk {

inline uint8_t Le8(std::span<const uint8_t> b, size_t at) {
    return at < b.size() ? b[at] : 0;
}

inline uint16_t Le16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(Le8(b, at) | (Le8(b, at + 1) << 8));
}

inline uint32_t Le32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{Le16(b, at)} | (uint32_t{Le16(b, at + 2)} << 16);
}

inline uint64_t Le64(std::span<const uint8_t> b, size_t at) {
    return uint64_t{Le32(b, at)} | (uint64_t{Le32(b, at + 4)} << 32);
}

inline void PutLe16(std::span<uint8_t> b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void PutLe32(std::span<uint8_t> b, size_t at, uint32_t v) {
    PutLe16(b, at, static_cast<uint16_t>(v));
    PutLe16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// True when the bytes at `at` equal text (without its NUL).
template <size_t N> bool BytesEqual(std::span<const uint8_t> b, size_t at, const char (&text)[N]) {
    if (at > b.size() || b.size() - at < N - 1)
        return false;
    for (size_t i = 0; i + 1 < N; ++i) {
        if (b[at + i] != static_cast<uint8_t>(text[i]))
            return false;
    }
    return true;
}

} // namespace kwdisk
