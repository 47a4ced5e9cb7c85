#include "imagestore/legacy/legacy_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kw::legacy {

bool isRecordMagic(uint32_t magic) {
    return magic == kRecordMagicA || magic == kRecordMagicB || magic == kRecordMagicC;
}

static void copyText(std::span<const uint8_t> field, char* buf, size_t bufSize) {
    if (buf == nullptr || bufSize == 0)
        return;
    size_t n = 0;
    while (n < field.size() && n + 1 < bufSize && field[n] != 0) {
        buf[n] = char(field[n]);
        ++n;
    }
    buf[n] = 0;
}

bool PartitionRecord::parse(std::span<const uint8_t> bytes, PartitionRecord& out) {
    if (bytes.size() < kRecordSize)
        return false;
    if (!isRecordMagic(LoadLe32(bytes, 0)) || LoadLe32(bytes, 4) != kRecordSize)
        return false;
    std::memcpy(out.raw, bytes.data(), kRecordSize);
    return true;
}

uint32_t PartitionRecord::passwordValue() const {
    uint32_t stored = u32(92);
    return stored == 0 ? 0 : stored ^ kPasswordMask;
}

void PartitionRecord::text(size_t off, size_t size, char* buf, size_t bufSize) const {
    copyText(std::span<const uint8_t>(raw).subspan(off, size), buf, bufSize);
}

int headerReadSize(std::span<const uint8_t> first, bool firstVolume, size_t& total) {
    size_t head = firstVolume ? kFirstVolumeHeaderSize : kShortHeaderSize;
    size_t extraCap = firstVolume ? kMaxFirstVolumeHeaderExtra : kMaxHeaderExtra;
    uint32_t size = LoadLe32(first, 4);
    if (size < head)
        return kwv::kStoreInvalid;
    total = head + std::min<size_t>(size - head, extraCap);
    return kwv::kStoreOk;
}

int ImageHeader::parse(std::vector<uint8_t> bytes, ImageHeader& out) {
    if (bytes.size() < kShortHeaderSize)
        return kwv::kStoreInvalid;
    out = ImageHeader{};
    out.headerSize = LoadLe32(bytes, 4);
    out.partitionCount = LoadLe32(bytes, 8);
    if (out.headerSize < kShortHeaderSize || out.partitionCount > kMaxPartitions)
        return kwv::kStoreInvalid;
    if (out.headerSize > kShortHeaderSize) {
        out.setId = LoadLe32(bytes, 512);
        out.imageVolumes = LoadLe32(bytes, 516);
        out.formatVersion = LoadLe32(bytes, 2020);
        out.readerVersion = LoadLe32(bytes, 2024);
        out.flags = LoadLe32(bytes, 2028);
        out.continuationCopies = LoadLe32(bytes, 2032);
    }
    uint32_t fill = out.isShort() ? 1 : 2;
    if (out.formatVersion == 0)
        out.formatVersion = fill;
    if (out.readerVersion == 0)
        out.readerVersion = fill;
    if (out.readerVersion >= 4)
        return kwv::kStoreUnsupported;
    if (out.imageVolumes == 0 || out.imageVolumes > kMaxVolumes)
        return kwv::kStoreInvalid;
    out.bytes = std::move(bytes);
    return kwv::kStoreOk;
}

bool ImageHeader::recordCopy(uint32_t n, PartitionRecord& out) const {
    if (isShort() || n == 0 || n > partitionCount)
        return false;
    size_t off = kRecordCopiesOffset + kRecordSize * size_t(n - 1);
    if (off + kRecordSize > bytes.size())
        return false;
    return PartitionRecord::parse(std::span<const uint8_t>(bytes).subspan(off), out);
}

bool ImageHeader::continuationCopy(uint32_t volume, uint64_t offset, PartitionRecord& out) const {
    if (isShort())
        return false;
    size_t first = kRecordCopiesOffset + kRecordSize * size_t(partitionCount);
    for (uint32_t k = 0; k < continuationCopies; ++k) {
        size_t off = first + kRecordSize * size_t(k);
        if (off + kRecordSize > bytes.size())
            return false; // copies beyond the bytes read count as missing
        PartitionRecord copy;
        if (!PartitionRecord::parse(std::span<const uint8_t>(bytes).subspan(off), copy))
            continue;
        if (copy.continuationVolume() == volume && copy.continuationOffset() == offset) {
            out = copy;
            return true;
        }
    }
    return false;
}

void ImageHeader::text(size_t off, size_t size, char* buf, size_t bufSize) const {
    std::span<const uint8_t> all(bytes);
    copyText(all.subspan(off, std::min(size, all.size() - off)), buf, bufSize);
}

VolumeNames::VolumeNames(std::string imagePath) : path(std::move(imagePath)), base(path) {
    size_t dot = path.rfind('.');
    size_t sep = path.find_last_of("\\/:");
    if (dot == std::string::npos || (sep != std::string::npos && sep > dot))
        return;
    if (path.size() - dot - 1 > 3)
        return;
    base = path.substr(0, dot);
    extension = path.substr(dot + 1);
}

std::string VolumeNames::name(uint32_t volume) const {
    if (volume == 0)
        return base + ".KWU";
    if (volume == 1)
        return path;
    if (volume > kMaxVolumes)
        return {};
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%03u", unsigned(volume));
    return base + digits;
}

void descramble(std::span<uint8_t> bytes, uint32_t passwordValue, uint32_t rotation) {
    if (passwordValue == 0)
        return;
    unsigned bits = 8 * (rotation & 3);
    uint32_t key =
        bits == 0 ? passwordValue : (passwordValue << bits | passwordValue >> (32 - bits));
    size_t whole = bytes.size() & ~size_t(3);
    for (size_t i = 0; i < whole; i += 4) {
        uint32_t w = LoadLe32(bytes, i) ^ key;
        StoreLe32(bytes, i, w);
    }
    for (size_t i = whole; i < bytes.size(); ++i)
        bytes[i] ^= uint8_t(key >> (8 * (i - whole)));
}

} // namespace kw::legacy
