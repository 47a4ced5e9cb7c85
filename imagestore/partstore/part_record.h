// The record of one part: 136 bytes of 32-bit words followed by the part's
// name and description (UTF-16), kept as the inline data of the part's stream
// "kwi/part<n>". At most 500 bytes in all.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kw::partstore {

// Byte offsets of the record's words.
enum class PartField : uint32_t {
    Magic = 0,
    Size = 4,
    Flags = 8,
    Time = 12,
    PartitionType = 16,
    FileSystemKind = 20,
    DriveLetter = 24,
    BytesPerSector = 28,
    Value20 = 32,
    Value24 = 36,
    TotalSectors = 40,
    Value2C = 44,
    SectorsPerBlock = 48,
    BlockCount = 52,
    UsedBlockCount = 56,
    BlockLimit = 60,
    Value40 = 64, // 0x40 .. 0x58 follow word by word up to 88
    TextOffset = 92,
    NameLength = 96,
    DescriptionLength = 100,
    Value68 = 104, // 0x68 .. 0x80 follow word by word up to 128
    VolumeHint = 132,
};

// Owns the byte image of one record; every word is read and written at its
// offset, so values the part store does not interpret are kept exactly.
class PartRecord {
public:
    static constexpr uint32_t kMagic = 0x54524150; // "PART", also the stream tag
    static constexpr uint32_t kBaseSize = 136;
    static constexpr uint32_t kMinSize = 132;
    static constexpr uint32_t kMaxSize = 500;

    // A new record: magic, size 136, texts at 136, the given time, no hint.
    static PartRecord Fresh(uint32_t time);

    // Checks the inline data of a part stream (tag is the stream's first tag
    // word) and copies it into `out`. Answers 0 or 1802.
    static int32_t Parse(std::span<const uint8_t> data, uint32_t tag, PartRecord& out);

    // A word of the record; 0 for a word beyond the bytes held.
    uint32_t Get(PartField field) const { return Get(uint32_t(field)); }
    uint32_t Get(uint32_t offset) const;
    // Sets a word; a word beyond the bytes held is left alone.
    void Set(PartField field, uint32_t value) { Set(uint32_t(field), value); }
    void Set(uint32_t offset, uint32_t value);

    std::u16string Name() const;
    std::u16string Description() const;
    // Replace a text in place, cut so that record and texts fit 500 bytes.
    void SetName(std::u16string_view text);
    void SetDescription(std::u16string_view text);

    // The bytes to store (the record's size).
    std::span<const uint8_t> Bytes() const { return {bytes_.data(), size_}; }
    uint32_t Size() const { return size_; }

private:
    bool TextsValid() const;
    void ReplaceText(uint32_t lengthWord, uint32_t start, std::u16string_view text);

    std::array<uint8_t, kMaxSize> bytes_{};
    uint32_t size_ = 0;
};

} // namespace kw::partstore
