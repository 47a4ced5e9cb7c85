// Text helpers of the part store: little-endian words and UTF-16 texts kept
// inside the byte images of the image header and the part records, and the
// library's 8-bit view of those texts.
#pragma once

#include "include/kwbytes.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kw::partstore {

// Little-endian words at an offset of a byte image (the callers check the
// bounds against the record's own size first).
using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

// Widens an 8-bit text; bytes above 127 become '?'. Null gives an empty text.
std::u16string WidenText(const char* text);

// Copies a UTF-16 text into an 8-bit buffer of the given size, cut to fit and
// always terminated (nothing is written when size is 0); units above 127
// become '?'.
void CopyNarrow(std::u16string_view text, char* buffer, uint32_t size);

// Reads `units` UTF-16 units at `offset` of a byte image (the caller has
// checked the bounds).
std::u16string LoadUtf16(std::span<const uint8_t> bytes, size_t offset, size_t units);

// A run of UTF-16 text inside a byte record of `size` bytes (at most
// bytes.size()): replaces the `oldUnits` units at `offset` by `text`, moving
// the bytes that follow and growing or shrinking the record. The new text is
// cut so that the record stays within bytes.size(). Answers the units stored.
uint32_t ReplaceUtf16(std::span<uint8_t> bytes, uint32_t& size, uint32_t offset, uint32_t oldUnits,
                      std::u16string_view text);

} // namespace kw::partstore
