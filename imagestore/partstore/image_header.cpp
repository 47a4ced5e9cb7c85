#include "imagestore/partstore/image_header.h"

#include "imagestore/partstore/store_text.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>

namespace kw::partstore {

namespace {
constexpr uint32_t kSizeAt = 4;
constexpr uint32_t kVersionAt = 8;
constexpr uint32_t kLowestVersionAt = 12;
constexpr uint32_t kCreatedAt = 20;
constexpr uint32_t kModifiedAt = 24;
constexpr uint32_t kTextOffsetAt = 28;
constexpr uint32_t kTextLengthAt = 32;
} // namespace

ImageHeader ImageHeader::Fresh(uint32_t now) {
    ImageHeader header;
    header.size_ = kBaseSize;
    header.SetWord(0, kMagic);
    header.SetWord(kSizeAt, kBaseSize);
    header.SetWord(kVersionAt, kFormatVersion);
    header.SetWord(kLowestVersionAt, kFormatVersion);
    header.SetWord(kCreatedAt, now);
    header.SetWord(kModifiedAt, now);
    header.SetWord(kTextOffsetAt, kBaseSize);
    return header;
}

int32_t ImageHeader::Parse(std::span<const uint8_t> data, uint32_t tag, ImageHeader& out) {
    if (tag != kMagic || data.size() < kBaseSize || LoadLe32(data, 0) != kMagic) {
        return kwv::kStoreBadImageHeader;
    }
    const uint32_t size = LoadLe32(data, kSizeAt);
    const uint32_t version = LoadLe32(data, kVersionAt);
    const uint32_t lowest = LoadLe32(data, kLowestVersionAt);
    if (size < kBaseSize) {
        return kwv::kStoreBadImageHeader;
    }
    if (size > kMaxSize || lowest > kFormatVersion) {
        return kwv::kStoreUnsupported;
    }
    const uint64_t textEnd =
        uint64_t(LoadLe32(data, kTextOffsetAt)) + 2 * uint64_t(LoadLe32(data, kTextLengthAt));
    if (size > data.size() || textEnd > size || version < lowest) {
        return kwv::kStoreBadImageHeader;
    }
    out = ImageHeader();
    std::memcpy(out.bytes_.data(), data.data(), size);
    out.size_ = size;
    return kwv::kStoreOk;
}

uint32_t ImageHeader::Word(uint32_t offset) const {
    return uint64_t(offset) + 4 <= size_ ? LoadLe32(bytes_, offset) : 0;
}

void ImageHeader::SetWord(uint32_t offset, uint32_t value) {
    if (uint64_t(offset) + 4 <= size_) {
        StoreLe32(bytes_, offset, value);
    }
}

void ImageHeader::SetModificationTime(uint32_t time) {
    SetWord(kModifiedAt, time);
}

std::u16string ImageHeader::Description() const {
    return LoadUtf16(bytes_, Word(kTextOffsetAt), Word(kTextLengthAt));
}

void ImageHeader::SetDescription(std::u16string_view text) {
    if (Word(kTextOffsetAt) < kBaseSize) {
        return; // text laid over the fields: never rewrite it
    }
    uint32_t size = size_;
    const uint32_t units =
        ReplaceUtf16(bytes_, size, Word(kTextOffsetAt), Word(kTextLengthAt), text);
    size_ = size;
    SetWord(kTextLengthAt, units);
    SetWord(kSizeAt, size_);
}

} // namespace kw::partstore
