// Text marks in byte spans. The little-endian fields beside them are read
// with kwbytes' padded loads (include/kwbytes.h): a byte outside the span
// reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kwdisk {

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
