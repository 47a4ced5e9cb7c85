// The image header: 36 bytes followed by the image description (UTF-16),
// kept as the inline data of the stream "kwi". At most 500 bytes in all.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kw::partstore {

// Owns the byte image of the header; fields are read and written at their
// offsets so that a header written by another writer is kept as it was.
class ImageHeader {
public:
    static constexpr uint32_t kMagic = 0x49574B24; // "$KWI", also the stream tag
    static constexpr uint32_t kBaseSize = 36;
    static constexpr uint32_t kMaxSize = 500;
    static constexpr uint32_t kFormatVersion = 4;

    // A new header: both versions 4, both times `now`, no description.
    static ImageHeader Fresh(uint32_t now);

    // Checks the inline data of "kwi" (tag: the stream's first tag word) and
    // copies it into `out`. Answers 0, 1852 (missing or inconsistent) or
    // 1818 (a newer header than this library reads).
    static int32_t Parse(std::span<const uint8_t> data, uint32_t tag, ImageHeader& out);

    uint32_t Version() const { return Word(8); }
    uint32_t CreationTime() const { return Word(20); }
    uint32_t ModificationTime() const { return Word(24); }
    void SetModificationTime(uint32_t time);

    std::u16string Description() const;
    // Replaces the description, cut so that the header fits 500 bytes.
    void SetDescription(std::u16string_view text);

    std::span<const uint8_t> Bytes() const { return {bytes_.data(), size_}; }

private:
    uint32_t Word(uint32_t offset) const;
    void SetWord(uint32_t offset, uint32_t value);

    std::array<uint8_t, kMaxSize> bytes_{};
    uint32_t size_ = 0;
};

} // namespace kw::partstore
