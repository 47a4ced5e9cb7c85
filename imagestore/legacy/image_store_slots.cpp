// The value and text getters of the older-format reader.
#include "imagestore/legacy/image_store_reader.h"
#include "imagestore/partstore/shield.h"

#include <algorithm>
#include <cstring>

namespace kw::legacy {

int IMAGE_STORE_READER::field(size_t offset, uint32_t* value) const {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (value != nullptr)
        *value = record_.u32(offset);
    return kwv::kStoreOk;
}

int IMAGE_STORE_READER::flag(uint32_t bit, uint32_t* value) const {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (value != nullptr)
        *value = (record_.flags() & bit) ? 1 : 0;
    return kwv::kStoreOk;
}

uint32_t IMAGE_STORE_READER::GetVolumeCount() {
    return header_.imageVolumes + (header_.hasFirstVolume() ? 1 : 0);
}

int32_t IMAGE_STORE_READER::GetPartitionLocation(uint32_t index, uint32_t* volume, uint64_t* offset,
                                                 uint64_t* value) {
    uint64_t vol = 0, off = 0;
    PartitionRecord rec;
    bool found = index < header_.partitionCount && header_.recordCopy(index + 1, rec);
    if (found) {
        vol = rec.volume();
        off = rec.offset();
    }
    if (volume != nullptr)
        *volume = uint32_t(vol);
    if (offset != nullptr)
        *offset = off;
    if (value != nullptr)
        *value = 0;
    return found ? 1 : 0;
}

static int32_t copyOut(const std::string& text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0)
        return kwv::kStoreBufferSmall;
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetVolumePath(uint32_t volume, char* buffer, uint32_t size) {
    return kw::partstore::Shield([&]() -> int32_t {
        const std::string name = names_.name(volume);
        if (name.empty())
            return kwv::kStoreNotSupported;
        return copyOut(name, buffer, size);
    });
}

int32_t IMAGE_STORE_READER::GetImageTitle(char* buffer, uint32_t size) {
    header_.text(12, 100, buffer, size);
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetImageDescription(char* buffer, uint32_t size) {
    header_.text(112, 400, buffer, size);
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetPartitionName(char* buffer, uint32_t size) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    record_.text(112, 100, buffer, size);
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetPartitionDescription(char* buffer, uint32_t size) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    record_.text(212, 256, buffer, size);
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetFileSystemKind(uint32_t* value) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    uint32_t kind = record_.fileSystemKind();
    uint32_t type = record_.partitionType();
    if (kind == 1 && (type == 0x0B || type == 0x0C || type == 0x1B || type == 0x1C))
        kind = 15; // FAT32 partitions recorded as FAT
    if (value != nullptr)
        *value = kind;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetPartitionDate(uint32_t* year, uint32_t* month, uint32_t* day) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (year != nullptr)
        *year = record_.year();
    if (month != nullptr)
        *month = record_.month();
    if (day != nullptr)
        *day = record_.day();
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetStoredDataLength(uint32_t* low, uint32_t* high, uint32_t flag) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    uint64_t length = record_.dataLength();
    if (record_.spans() && flag != 0)
        length += volumeDataLength_;
    if (low != nullptr)
        *low = uint32_t(length);
    if (high != nullptr)
        *high = uint32_t(length >> 32);
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetPartitionKind(uint32_t* value) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (value != nullptr)
        *value = (record_.flags() & kFlagLogical) ? 1 : 2;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetDriveLetter(uint8_t* value) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (value != nullptr)
        *value = uint8_t(record_.driveLetter());
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetPasswordValue(uint32_t* value) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (value != nullptr)
        *value = record_.passwordValue();
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::GetFormatVersion(uint16_t* version, uint16_t* reserved) {
    if (version != nullptr)
        *version = uint16_t(header_.formatVersion);
    if (reserved != nullptr)
        *reserved = 0;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::IsReadOnly(uint32_t* value) {
    if (value != nullptr)
        *value = 1;
    return kwv::kStoreOk;
}

void IMAGE_STORE_READER::GetKeyRotation(uint32_t* rotation) {
    if (rotation != nullptr)
        *rotation = rotation_;
}

} // namespace kw::legacy
