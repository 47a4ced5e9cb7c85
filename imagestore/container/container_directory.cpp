#include "imagestore/container/container_directory.h"

#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

DirectoryRecord DirectoryRecord::Parse(const uint8_t* p) {
    DirectoryRecord d;
    d.magic = LoadLe32(p);
    d.tableOffset = LoadLe32(p + 4);
    d.indexOffset = LoadLe32(p + 8);
    d.tableLength = LoadLe32(p + 12);
    d.streamLength = LoadLe64(p + 16);
    d.chunkCount = LoadLe32(p + 24);
    d.volumeCount = LoadLe32(p + 28);
    d.reservedSize = LoadLe32(p + 32);
    d.groupSize = LoadLe32(p + 36);
    d.indexEntries = LoadLe32(p + 40);
    d.volumeEntries = LoadLe32(p + 44);
    return d;
}

void DirectoryRecord::Serialise(uint8_t* p) const {
    std::memset(p, 0, kDirectoryRecordSize);
    StoreLe32(p, magic);
    StoreLe32(p + 4, tableOffset);
    StoreLe32(p + 8, indexOffset);
    StoreLe32(p + 12, tableLength);
    StoreLe64(p + 16, streamLength);
    StoreLe32(p + 24, chunkCount);
    StoreLe32(p + 28, volumeCount);
    StoreLe32(p + 32, reservedSize);
    StoreLe32(p + 36, groupSize);
    StoreLe32(p + 40, indexEntries);
    StoreLe32(p + 44, volumeEntries);
}

void ChunkIndex::Reset() {
    entries_.fill(0);
    groupSize_ = 1;
    usedGroups_ = 0;
}

void ChunkIndex::Record(uint32_t number, uint64_t end) {
    while (number / groupSize_ >= kIndexEntries && groupSize_ < 0x80000000u) {
        for (uint32_t j = 0; j < kIndexEntries / 2; ++j) {
            entries_[j] = entries_[2 * j + 1];
        }
        for (uint32_t j = kIndexEntries / 2; j < kIndexEntries; ++j) {
            entries_[j] = entries_[kIndexEntries - 1];
        }
        groupSize_ *= 2;
        usedGroups_ = (usedGroups_ + 1) / 2;
    }
    const uint32_t group = std::min(number / groupSize_, kIndexEntries - 1);
    entries_[group] = std::max(entries_[group], end);
    usedGroups_ = std::max(usedGroups_, group + 1);
}

void ChunkIndex::Serialise(uint8_t* p) const {
    uint64_t last = 0;
    for (uint32_t i = 0; i < kIndexEntries; ++i) {
        if (i < usedGroups_) {
            last = std::max(last, entries_[i]);
        }
        StoreLe64(p + 8 * i, last);
    }
}

void ChunkIndex::Parse(const uint8_t* p, uint32_t count, uint32_t groupSize) {
    Reset();
    count = std::min(count, kIndexEntries);
    groupSize_ = groupSize == 0 ? 1 : groupSize;
    uint64_t last = 0;
    for (uint32_t i = 0; i < kIndexEntries; ++i) {
        if (i < count) {
            last = std::max(last, LoadLe64(p + 8 * i));
        }
        entries_[i] = last;
    }
    // The groups that hold chunks are those before the run of repeated last values.
    usedGroups_ = count;
    while (usedGroups_ > 1 && entries_[usedGroups_ - 2] == entries_[usedGroups_ - 1]) {
        --usedGroups_;
    }
}

bool ChunkIndex::Find(uint64_t offset, uint32_t* firstChunk, uint64_t* groupStart) const {
    const auto it = std::upper_bound(entries_.begin(), entries_.begin() + usedGroups_, offset);
    if (it == entries_.begin() + usedGroups_) {
        return false;
    }
    const uint32_t group = uint32_t(it - entries_.begin());
    *firstChunk = uint32_t(std::min<uint64_t>(uint64_t(group) * groupSize_, 0xFFFFFFFFu));
    *groupStart = group == 0 ? 0 : entries_[group - 1];
    return true;
}

bool ChunkIndex::BoundsOf(uint32_t number, uint32_t covered, Bounds* b) const {
    const uint32_t group = number / groupSize_;
    if (number >= covered || group >= usedGroups_ || group >= kIndexEntries) {
        return false;
    }
    b->start = group == 0 ? 0 : entries_[group - 1];
    b->end = entries_[group];
    b->startsGroup = number % groupSize_ == 0;
    b->endsGroup = number % groupSize_ == groupSize_ - 1 || number + 1 == covered;
    return true;
}

void VolumeTable::Note(uint32_t n, uint32_t first, uint32_t count) {
    if (n >= kVolumeEntries) {
        return;
    }
    if (n > 0) {
        entries_[n - 1] = first;
    }
    entries_[n] = first + count;
    // Keep the table non-decreasing around the entries just set.
    for (uint32_t i = n; i-- > 0;) {
        entries_[i] = std::min(entries_[i], entries_[i + 1]);
    }
    for (uint32_t i = n + 1; i < kVolumeEntries; ++i) {
        entries_[i] = std::max(entries_[i], entries_[i - 1]);
    }
}

void VolumeTable::Cut(uint32_t n, uint32_t first, uint32_t count) {
    Note(n, first, count);
    for (uint32_t i = n + 1; i < kVolumeEntries; ++i) {
        entries_[i] = first + count;
    }
}

void VolumeTable::Serialise(uint8_t* p, uint32_t volumeCount) const {
    uint32_t last = 0;
    for (uint32_t i = 0; i < kVolumeEntries; ++i) {
        if (i < volumeCount) {
            last = entries_[i];
        }
        StoreLe32(p + 4 * i, last);
    }
}

void VolumeTable::Parse(const uint8_t* p, uint32_t count) {
    count = std::min(count, kVolumeEntries);
    uint32_t last = 0;
    for (uint32_t i = 0; i < kVolumeEntries; ++i) {
        if (i < count) {
            last = std::max(last, LoadLe32(p + 4 * i));
        }
        entries_[i] = last;
    }
}

uint32_t VolumeTable::VolumeOf(uint32_t chunk, uint32_t fallback) const {
    const auto it = std::upper_bound(entries_.begin(), entries_.end(), chunk);
    return it == entries_.end() ? fallback : uint32_t(it - entries_.begin());
}

} // namespace kwv
