#include "imagestore/partstore/part_record.h"

#include "imagestore/partstore/store_text.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>

namespace kw::partstore {

namespace {
constexpr uint32_t kNoHint = 0xFFFFFFFF;
}

PartRecord PartRecord::Fresh(uint32_t time) {
    PartRecord record;
    record.size_ = kBaseSize;
    record.Set(PartField::Magic, kMagic);
    record.Set(PartField::Size, kBaseSize);
    record.Set(PartField::Time, time);
    record.Set(PartField::TextOffset, kBaseSize);
    record.Set(PartField::VolumeHint, kNoHint);
    return record;
}

int32_t PartRecord::Parse(std::span<const uint8_t> data, uint32_t tag, PartRecord& out) {
    // Only the first 500 bytes of the inline data are ever read.
    const auto held = uint32_t(std::min<size_t>(data.size(), kMaxSize));
    if (tag != kMagic || held < kMinSize || LoadLe32(data, 0) != kMagic) {
        return kwv::kStoreInvalid;
    }
    // Read as 64-bit values so that the sum of the text words cannot wrap.
    const auto word = [&](PartField field) { return uint64_t(LoadLe32(data, uint32_t(field))); };
    const auto size = uint32_t(word(PartField::Size));
    if (size < kMinSize || size > held) {
        return kwv::kStoreInvalid;
    }
    const uint64_t texts = word(PartField::TextOffset) +
                           2 * (word(PartField::NameLength) + word(PartField::DescriptionLength));
    if (texts > size) {
        return kwv::kStoreInvalid;
    }
    out = PartRecord();
    std::memcpy(out.bytes_.data(), data.data(), size);
    out.size_ = size;
    return kwv::kStoreOk;
}

uint32_t PartRecord::Get(uint32_t offset) const {
    if (uint64_t(offset) + 4 > size_) {
        return 0;
    }
    return LoadLe32(bytes_, offset);
}

void PartRecord::Set(uint32_t offset, uint32_t value) {
    if (uint64_t(offset) + 4 <= size_) {
        StoreLe32(bytes_, offset, value);
    }
}

bool PartRecord::TextsValid() const {
    const uint64_t end =
        uint64_t(Get(PartField::TextOffset)) +
        2 * (uint64_t(Get(PartField::NameLength)) + Get(PartField::DescriptionLength));
    return size_ >= kBaseSize && end <= size_;
}

std::u16string PartRecord::Name() const {
    if (!TextsValid()) {
        return {};
    }
    return LoadUtf16(bytes_, Get(PartField::TextOffset), Get(PartField::NameLength));
}

std::u16string PartRecord::Description() const {
    if (!TextsValid()) {
        return {};
    }
    const uint32_t start = Get(PartField::TextOffset) + 2 * Get(PartField::NameLength);
    return LoadUtf16(bytes_, start, Get(PartField::DescriptionLength));
}

void PartRecord::ReplaceText(uint32_t lengthWord, uint32_t start, std::u16string_view text) {
    if (Get(PartField::TextOffset) < kBaseSize) {
        return; // texts laid over the words: never rewrite them
    }
    uint32_t size = size_;
    const uint32_t units = ReplaceUtf16(bytes_, size, start, Get(lengthWord), text);
    size_ = size;
    Set(lengthWord, units);
    Set(PartField::Size, size_);
}

void PartRecord::SetName(std::u16string_view text) {
    if (TextsValid()) {
        ReplaceText(uint32_t(PartField::NameLength), Get(PartField::TextOffset), text);
    }
}

void PartRecord::SetDescription(std::u16string_view text) {
    if (TextsValid()) {
        const uint32_t start = Get(PartField::TextOffset) + 2 * Get(PartField::NameLength);
        ReplaceText(uint32_t(PartField::DescriptionLength), start, text);
    }
}

} // namespace kw::partstore
