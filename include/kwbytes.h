// Little-endian loads and stores of 16-, 32- and 64-bit fields, the one place
// the engine, the library and the editor turn on-disk and in-memory record
// bytes into numbers and back. Owns no data: free functions over
//  - a raw pointer, for callers that have checked the room themselves;
//  - a byte span and an offset, checked: a field that does not lie wholly in
//    the span reads as 0 and is not written;
//  - a byte span and an offset, "Padded": each byte past the end of the span
//    reads as 0, so a field cut by the end keeps its bytes that are present.
// Works on buffers of any alignment and on hosts of either byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kwbytes {

// --- Raw pointers: the caller vouches for the room. ---

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint64_t LoadLe64(const uint8_t* p) {
    return uint64_t{LoadLe32(p)} | (uint64_t{LoadLe32(p + 4)} << 32);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    StoreLe16(p, static_cast<uint16_t>(v));
    StoreLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
    StoreLe32(p, static_cast<uint32_t>(v));
    StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// --- Spans, checked: the whole field must lie inside. ---

// True when `width` bytes at `at` lie inside a buffer of `size` bytes (no
// overflow for any `at`).
constexpr bool FieldFits(size_t size, size_t at, size_t width) {
    return at <= size && size - at >= width;
}

// 0 when the field does not lie wholly inside the span.
inline uint16_t LoadLe16(std::span<const uint8_t> b, size_t at) {
    return FieldFits(b.size(), at, 2) ? LoadLe16(b.data() + at) : 0;
}

inline uint32_t LoadLe32(std::span<const uint8_t> b, size_t at) {
    return FieldFits(b.size(), at, 4) ? LoadLe32(b.data() + at) : 0;
}

inline uint64_t LoadLe64(std::span<const uint8_t> b, size_t at) {
    return FieldFits(b.size(), at, 8) ? LoadLe64(b.data() + at) : 0;
}

// False, and nothing written, when the field does not lie wholly inside.
inline bool StoreLe16(std::span<uint8_t> b, size_t at, uint16_t v) {
    if (!FieldFits(b.size(), at, 2))
        return false;
    StoreLe16(b.data() + at, v);
    return true;
}

inline bool StoreLe32(std::span<uint8_t> b, size_t at, uint32_t v) {
    if (!FieldFits(b.size(), at, 4))
        return false;
    StoreLe32(b.data() + at, v);
    return true;
}

inline bool StoreLe64(std::span<uint8_t> b, size_t at, uint64_t v) {
    if (!FieldFits(b.size(), at, 8))
        return false;
    StoreLe64(b.data() + at, v);
    return true;
}

// --- Spans, padded: bytes past the end read as 0, one by one. ---

inline uint8_t LoadU8Padded(std::span<const uint8_t> b, size_t at) {
    return at < b.size() ? b[at] : 0;
}

inline uint16_t LoadLe16Padded(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(LoadU8Padded(b, at) | (LoadU8Padded(b, at + 1) << 8));
}

inline uint32_t LoadLe32Padded(std::span<const uint8_t> b, size_t at) {
    return uint32_t{LoadLe16Padded(b, at)} | (uint32_t{LoadLe16Padded(b, at + 2)} << 16);
}

inline uint64_t LoadLe64Padded(std::span<const uint8_t> b, size_t at) {
    return uint64_t{LoadLe32Padded(b, at)} | (uint64_t{LoadLe32Padded(b, at + 4)} << 32);
}

} // namespace kwbytes
