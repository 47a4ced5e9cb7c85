#include "imagestore/partstore/store_text.h"

#include <algorithm>
#include <cstring>

namespace kw::partstore {

std::u16string WidenText(const char* text) {
    std::u16string wide;
    if (text == nullptr) {
        return wide;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        wide.push_back(byte > 127 ? u'?' : char16_t(byte));
    }
    return wide;
}

void CopyNarrow(std::u16string_view text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const size_t count = std::min<size_t>(text.size(), size - 1);
    for (size_t i = 0; i < count; ++i) {
        buffer[i] = text[i] > 127 ? '?' : char(text[i]);
    }
    buffer[count] = '\0';
}

std::u16string LoadUtf16(std::span<const uint8_t> bytes, size_t offset, size_t units) {
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
        text[i] = char16_t(kwbytes::LoadLe16(bytes, offset + 2 * i));
    }
    return text;
}

uint32_t ReplaceUtf16(std::span<uint8_t> bytes, uint32_t& size, uint32_t offset, uint32_t oldUnits,
                      std::u16string_view text) {
    const uint64_t oldEnd = uint64_t(offset) + 2 * uint64_t(oldUnits);
    if (offset > size || oldEnd > size) {
        return oldUnits; // the caller's record is inconsistent: leave it alone
    }
    const uint64_t rest = size - oldEnd;
    const uint64_t room = bytes.size() - offset - rest;
    const uint32_t units = uint32_t(std::min<uint64_t>(text.size(), room / 2));
    const size_t newEnd = offset + 2 * size_t(units);
    std::memmove(bytes.data() + newEnd, bytes.data() + oldEnd, rest);
    for (uint32_t i = 0; i < units; ++i) {
        kwbytes::StoreLe16(bytes, offset + 2 * i, uint16_t(text[i]));
    }
    size = uint32_t(newEnd + rest);
    return units;
}

} // namespace kw::partstore
