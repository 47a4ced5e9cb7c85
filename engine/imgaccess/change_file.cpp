#include "engine/imgaccess/change_file.h"

#include "kwbytes.h"

#include <cstring>

namespace kw::imgaccess {

using kwbytes::FieldFits;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::LoadLe64;

namespace {

constexpr uint64_t kUnknownVolume = UINT64_MAX;

// Known entries rise (or stay); once one is unknown, the rest are too.
bool VolumeTableFits(const CHANGE_RECORD& r) {
    uint64_t last = 0;
    bool unknown = false;
    for (uint32_t i = 0; i < r.volumeCount; ++i) {
        const uint64_t v = r.Volume(i);
        if (v == kUnknownVolume) {
            unknown = true;
            continue;
        }
        if (unknown || v < last)
            return false;
        last = v;
    }
    return true;
}

// Entry 0 is the start of the data; every later entry lies at or behind the
// one before it and inside the partition.
bool EntriesFit(const CHANGE_RECORD& r, const CHANGE_LIMITS& limits) {
    if (r.Position(0) != 0 || r.FirstBlock(0) != 0 || r.Carry(0) != 0)
        return false;
    for (uint32_t k = 1; k < r.entries; ++k) {
        const uint64_t position = r.Position(k);
        const uint32_t block = r.FirstBlock(k);
        if (position < r.Position(k - 1) || position > limits.storedBytes ||
            block < r.FirstBlock(k - 1) || block > limits.blockLimit ||
            r.Carry(k) >= limits.blockBytes)
            return false;
    }
    return true;
}

kwRet CheckRecordShape(const CHANGE_RECORD& r, const CHANGE_LIMITS& limits) {
    if (r.volumeCount != 0 && r.volumeCount != limits.volumes)
        return ERR_IMG_NOT_CONTIGUOUS;
    if (r.entries == 0)
        return KW_OK; // a volume table alone
    if (!limits.compressed || r.stateSize != limits.stateSize || r.shift >= 32 ||
        r.entries > ChangeEntriesNeeded(limits.blockLimit, r.shift) ||
        uint64_t{r.entries} * (16 + uint64_t{r.stateSize}) > kMaxIndexBytes)
        return ERR_CHANGE_INVALID;
    return KW_OK;
}

} // namespace

uint64_t CHANGE_RECORD::Volume(uint32_t i) const {
    return LoadLe64(volumes, size_t{i} * 8);
}
uint64_t CHANGE_RECORD::Position(uint32_t k) const {
    return LoadLe64(positions, size_t{k} * 8);
}
uint32_t CHANGE_RECORD::FirstBlock(uint32_t k) const {
    return LoadLe32(firstBlocks, size_t{k} * 4);
}
uint32_t CHANGE_RECORD::Carry(uint32_t k) const {
    return LoadLe32(carries, size_t{k} * 4);
}

uint64_t ChangeEntriesNeeded(uint32_t blockLimit, uint32_t shift) {
    return shift >= 32 ? 1 : ((uint64_t{blockLimit} + 1) >> shift) + 1;
}

kwRet CheckChangeHeader(std::span<const uint8_t> file, const CHANGE_LIMITS& limits) {
    if (file.size() < kChangeHeaderBytes)
        return ERR_IMG_READ;
    if (LoadLe32(file, 0) != kChangeMagic)
        return ERR_CHANGE_INVALID;
    if (LoadLe16(file, 4) != kChangeFileVersion || LoadLe16(file, 6) != 0)
        return ERR_IMG_NEWER_VERSION;
    if (LoadLe32(file, 8) != limits.stamp || LoadLe32(file, 12) != limits.partitions)
        return ERR_CHANGE_OTHER_IMAGE;
    return KW_OK;
}

kwRet ReadChangeEntry(std::span<const uint8_t> file, const CHANGE_LIMITS& limits,
                      uint32_t* offset) {
    *offset = kChangeNoRecord;
    if (limits.number == 0 || limits.number > limits.partitions)
        return ERR_CHANGE_NO_RECORD;
    const size_t at = kChangeHeaderBytes + 4 * size_t{limits.number - 1};
    if (!FieldFits(file.size(), at, 4))
        return ERR_IMG_READ;
    *offset = LoadLe32(file, at);
    return KW_OK;
}

kwRet ParseChangeRecord(std::span<const uint8_t> file, const CHANGE_LIMITS& limits,
                        CHANGE_RECORD* record) {
    *record = CHANGE_RECORD{};
    kwRet rc = CheckChangeHeader(file, limits);
    uint32_t at = kChangeNoRecord;
    if (rc == KW_OK)
        rc = ReadChangeEntry(file, limits, &at);
    if (rc != KW_OK)
        return rc;
    if (at == kChangeNoRecord)
        return ERR_CHANGE_NO_RECORD;
    if (!FieldFits(file.size(), at, kChangeRecordHeaderBytes))
        return ERR_IMG_READ;
    if (LoadLe32(file, at) != kChangeRecordMagic)
        return ERR_CHANGE_INVALID;
    CHANGE_RECORD r;
    r.stateSize = LoadLe32(file, size_t{at} + 4);
    r.shift = LoadLe32(file, size_t{at} + 8);
    r.entries = LoadLe32(file, size_t{at} + 12);
    r.volumeCount = LoadLe32(file, size_t{at} + 16);
    if (rc = CheckRecordShape(r, limits); rc != KW_OK)
        return rc;
    const uint32_t stateSize = r.entries != 0 ? r.stateSize : 0;
    if (ChangeRecordBytes(stateSize, r.entries, r.volumeCount) > file.size() - at)
        return ERR_IMG_READ;
    size_t p = size_t{at} + kChangeRecordHeaderBytes;
    auto take = [&](size_t bytes) {
        std::span<const uint8_t> s = file.subspan(p, bytes);
        p += bytes;
        return s;
    };
    r.volumes = take(size_t{r.volumeCount} * 8);
    r.positions = take(size_t{r.entries} * 8);
    r.firstBlocks = take(size_t{r.entries} * 4);
    r.carries = take(size_t{r.entries} * 4);
    r.states = take(size_t{r.entries} * stateSize);
    if (!VolumeTableFits(r) || (r.entries != 0 && !EntriesFit(r, limits)))
        return ERR_CHANGE_INVALID;
    *record = r;
    return KW_OK;
}

bool ChangeRecordWhole(std::span<const uint8_t> file, uint32_t offset) {
    if (!FieldFits(file.size(), offset, kChangeRecordHeaderBytes) ||
        LoadLe32(file, offset) != kChangeRecordMagic)
        return false;
    const uint32_t entries = LoadLe32(file, size_t{offset} + 12);
    const uint32_t stateSize = entries != 0 ? LoadLe32(file, size_t{offset} + 4) : 0;
    const uint32_t volumes = LoadLe32(file, size_t{offset} + 16);
    return ChangeRecordBytes(stateSize, entries, volumes) <= file.size() - offset;
}

uint64_t ChangeHeaderBytes(uint32_t partitions) {
    return kChangeHeaderBytes + 4 * uint64_t{partitions};
}

void WriteChangeHeader(std::span<uint8_t> out, uint32_t stamp, uint32_t partitions) {
    kwbytes::StoreLe32(out, 0, kChangeMagic);
    kwbytes::StoreLe16(out, 4, kChangeFileVersion);
    kwbytes::StoreLe16(out, 6, 0);
    kwbytes::StoreLe32(out, 8, stamp);
    kwbytes::StoreLe32(out, 12, partitions);
    for (uint32_t i = 0; i < partitions; ++i)
        kwbytes::StoreLe32(out, kChangeHeaderBytes + 4 * size_t{i}, kChangeNoRecord);
}

uint64_t ChangeRecordBytes(uint32_t stateSize, uint32_t entries, uint32_t volumeCount) {
    return kChangeRecordHeaderBytes + 8 * uint64_t{volumeCount} +
           uint64_t{entries} * (16 + uint64_t{stateSize});
}

void WriteChangeRecord(std::span<uint8_t> out, const CHANGE_RECORD_SOURCE& s) {
    kwbytes::StoreLe32(out, 0, kChangeRecordMagic);
    kwbytes::StoreLe32(out, 4, s.stateSize);
    kwbytes::StoreLe32(out, 8, s.shift);
    kwbytes::StoreLe32(out, 12, s.entries);
    kwbytes::StoreLe32(out, 16, s.volumeCount);
    size_t p = kChangeRecordHeaderBytes;
    for (uint32_t i = 0; i < s.volumeCount; ++i, p += 8)
        kwbytes::StoreLe64(out, p, s.volumes[i]);
    for (uint32_t k = 0; k < s.entries; ++k, p += 8)
        kwbytes::StoreLe64(out, p, s.positions[k]);
    for (uint32_t k = 0; k < s.entries; ++k, p += 4)
        kwbytes::StoreLe32(out, p, s.firstBlocks[k]);
    for (uint32_t k = 0; k < s.entries; ++k, p += 4)
        kwbytes::StoreLe32(out, p, s.carries[k]);
    const size_t stateBytes = size_t{s.entries} * s.stateSize;
    if (stateBytes != 0 && kwbytes::FieldFits(out.size(), p, stateBytes))
        std::memcpy(out.data() + p, s.states, stateBytes);
}

} // namespace kw::imgaccess
