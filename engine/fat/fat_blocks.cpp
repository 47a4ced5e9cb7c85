#include "engine/fat/fat_blocks.h"

#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_boot.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

enum : uint16_t { FORM_FREE = 0, FORM_RUNS = 1, FORM_ARRAY = 2 };

// Values from here up are bad or end of chain; kept as 28-bit values.
constexpr uint32_t kHighValues = 0x0FFFFFF7;
constexpr uint32_t kValueMask = 0x0FFFFFFF;
// A batch of FAT reads or writes.
constexpr uint32_t kBatchSectors = 960;
// A run list is kept while it takes at most half the bytes of an array.
constexpr uint32_t kMaxRuns = FAT_ENTRIES_PER_BLOCK * 4 / 2 / 8;

uint32_t SectorsPerBlock(uint8_t kind) {
    return kind == FAT_KIND_32 ? 8 : kind == FAT_KIND_16 ? 4 : 3;
}

uint32_t BytesForEntries(uint8_t kind, uint32_t entries) {
    return kind == FAT_KIND_32   ? entries * 4
           : kind == FAT_KIND_16 ? entries * 2
                                 : (entries * 3 + 1) / 2;
}

void Decode(uint8_t kind, const uint8_t* raw, uint32_t entries, uint32_t* values) {
    for (uint32_t j = 0; j < entries; ++j) {
        uint32_t v;
        if (kind == FAT_KIND_32) {
            v = kwbytes::LoadLe32(raw + 4 * j) & kValueMask;
        } else if (kind == FAT_KIND_16) {
            v = kwbytes::LoadLe16(raw + 2 * j);
            if (v >= 0xFFF7)
                v += 0x0FFF0000;
        } else {
            uint32_t at = j * 3 / 2;
            uint32_t w = raw[at] | (at + 1 < (entries * 3 + 1) / 2 ? raw[at + 1] << 8 : 0);
            v = (j & 1) ? w >> 4 : w & 0xFFF;
            if (v >= 0xFF7)
                v += 0x0FFFF000;
        }
        values[j] = v;
    }
}

void Encode(uint8_t kind, const uint32_t* values, uint32_t entries, uint8_t* raw) {
    for (uint32_t j = 0; j < entries; ++j) {
        uint32_t v = values[j];
        if (kind == FAT_KIND_32) {
            kwbytes::StoreLe32(raw + 4 * j, v & kValueMask);
        } else if (kind == FAT_KIND_16) {
            kwbytes::StoreLe16(raw + 2 * j, static_cast<uint16_t>(v));
        } else {
            uint32_t at = j * 3 / 2;
            v &= 0xFFF;
            if (j & 1) {
                raw[at] = static_cast<uint8_t>((raw[at] & 0x0F) | (v << 4));
                raw[at + 1] = static_cast<uint8_t>(v >> 4);
            } else {
                raw[at] = static_cast<uint8_t>(v);
                raw[at + 1] = static_cast<uint8_t>((raw[at + 1] & 0xF0) | (v >> 8));
            }
        }
    }
}

// Runs of the values: free runs, or values rising by one. 0 when there are
// more than kMaxRuns.
uint32_t BuildRuns(const uint32_t* values, uint32_t entries, uint32_t* runs) {
    uint32_t count = 0;
    for (uint32_t j = 0; j < entries;) {
        uint32_t k = j + 1;
        if (values[j] == 0) {
            while (k < entries && values[k] == 0)
                ++k;
        } else {
            while (k < entries && values[k] == values[k - 1] + 1 && values[k] < kHighValues)
                ++k;
        }
        if (count == kMaxRuns)
            return 0;
        runs[2 * count] = j | ((k - j) << 16);
        runs[2 * count + 1] = values[j];
        ++count;
        j = k;
    }
    return count;
}

} // namespace

FAT_BLOCKS::FAT_BLOCKS(uint8_t kind, uint32_t entryCount)
    : kind_(kind), entryCount_(entryCount),
      blockCount_((entryCount + FAT_ENTRIES_PER_BLOCK - 1) / FAT_ENTRIES_PER_BLOCK) {}

FAT_BLOCKS::~FAT_BLOCKS() {
    if (blocks_ != nullptr) {
        for (uint32_t i = 0; i < blockCount_; ++i)
            delete[] blocks_[i].data;
    }
    delete[] blocks_;
}

uint32_t FAT_BLOCKS::sectorsOfBlock(uint32_t index) const {
    uint32_t entries = index + 1 < blockCount_ ? FAT_ENTRIES_PER_BLOCK
                                               : entryCount_ - index * FAT_ENTRIES_PER_BLOCK;
    return (BytesForEntries(kind_, entries) + FAT_SECTOR_SIZE - 1) / FAT_SECTOR_SIZE;
}

kwRet FAT_BLOCKS::storeBlock(uint32_t index, const uint32_t* values, uint32_t entries) {
    Block& b = blocks_[index];
    delete[] b.data;
    b = Block{};
    b.entries = static_cast<uint16_t>(entries);
    uint32_t first = index * FAT_ENTRIES_PER_BLOCK;
    for (uint32_t j = 0; j < entries; ++j) {
        if (values[j] != 0) {
            ++b.used;
            inUse_.SetBit(first + j);
        }
    }
    if (b.used == 0)
        return KW_OK;
    uint32_t runs[2 * kMaxRuns];
    uint32_t runCount = BuildRuns(values, entries, runs);
    uint32_t words = runCount != 0 ? 2 * runCount : entries;
    b.data = new (std::nothrow) uint32_t[words];
    if (b.data == nullptr)
        return ERR_NO_MEMORY;
    b.form = runCount != 0 ? FORM_RUNS : FORM_ARRAY;
    b.runs = static_cast<uint16_t>(runCount);
    std::memcpy(b.data, runCount != 0 ? runs : values, words * 4);
    return KW_OK;
}

void FAT_BLOCKS::unpack(const Block& b, uint32_t* values) const {
    if (b.form == FORM_ARRAY) {
        std::memcpy(values, b.data, b.entries * 4u);
        return;
    }
    std::memset(values, 0, b.entries * 4u);
    for (uint32_t r = 0; b.form == FORM_RUNS && r < b.runs; ++r) {
        uint32_t start = b.data[2 * r] & 0xFFFF, count = b.data[2 * r] >> 16;
        uint32_t v = b.data[2 * r + 1];
        for (uint32_t k = 0; v != 0 && k < count; ++k)
            values[start + k] = v + k;
    }
}

kwRet FAT_BLOCKS::ReadFat(kwhandle handle, uint32_t firstSector) {
    for (uint32_t i = 0; blocks_ != nullptr && i < blockCount_; ++i)
        delete[] blocks_[i].data;
    delete[] blocks_;
    loaded_ = false;
    blocks_ = new (std::nothrow) Block[blockCount_];
    if (blocks_ == nullptr || inUse_.Create(entryCount_, false) != KW_OK)
        return ERR_NO_MEMORY;
    inUse_.SetRange(0, 2);
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[kBatchSectors * FAT_SECTOR_SIZE]);
    std::unique_ptr<uint32_t[]> values(new (std::nothrow) uint32_t[FAT_ENTRIES_PER_BLOCK]);
    if (!raw || !values)
        return ERR_NO_MEMORY;
    uint32_t spb = SectorsPerBlock(kind_), perBatch = kBatchSectors / spb;
    DbgPrintf("Reading FAT - %lu blocks at %lu\n", static_cast<unsigned long>(blockCount_),
              static_cast<unsigned long>(firstSector));
    for (uint32_t first = 0; first < blockCount_; first += perBatch) {
        uint32_t count = blockCount_ - first < perBatch ? blockCount_ - first : perBatch;
        uint32_t sectors = (count - 1) * spb + sectorsOfBlock(first + count - 1);
        std::memset(raw.get(), 0, sectors * FAT_SECTOR_SIZE);
        kwRet rc = kwLogRead(handle, firstSector + first * spb, raw.get(), sectors);
        if (rc != KW_OK)
            return rc;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t index = first + i;
            uint32_t entries = index + 1 < blockCount_
                                   ? FAT_ENTRIES_PER_BLOCK
                                   : entryCount_ - index * FAT_ENTRIES_PER_BLOCK;
            Decode(kind_, raw.get() + i * spb * FAT_SECTOR_SIZE, entries, values.get());
            rc = storeBlock(index, values.get(), entries);
            if (rc != KW_OK)
                return rc;
        }
    }
    loaded_ = true;
    return KW_OK;
}

uint32_t FAT_BLOCKS::GetNextCluster(uint32_t cluster) const {
    if (!loaded_ || cluster >= entryCount_)
        return 0;
    const Block& b = blocks_[cluster / FAT_ENTRIES_PER_BLOCK];
    uint32_t j = cluster % FAT_ENTRIES_PER_BLOCK, v = 0;
    if (b.form == FORM_ARRAY) {
        v = b.data[j];
    } else if (b.form == FORM_RUNS) {
        uint32_t lo = 0, hi = b.runs;
        while (hi - lo > 1) {
            uint32_t mid = (lo + hi) / 2;
            if ((b.data[2 * mid] & 0xFFFF) <= j)
                lo = mid;
            else
                hi = mid;
        }
        uint32_t start = b.data[2 * lo] & 0xFFFF, first = b.data[2 * lo + 1];
        v = first == 0 ? 0 : first + (j - start);
    }
    return v >= kHighValues ? v | 0xF0000000 : v;
}

kwRet FAT_BLOCKS::expand(Block& b) {
    if (b.form == FORM_ARRAY)
        return KW_OK;
    auto* array = new (std::nothrow) uint32_t[FAT_ENTRIES_PER_BLOCK];
    if (array == nullptr)
        return ERR_NO_MEMORY;
    unpack(b, array);
    delete[] b.data;
    b.data = array;
    b.form = FORM_ARRAY;
    b.runs = 0;
    return KW_OK;
}

kwRet FAT_BLOCKS::SetNextCluster(uint32_t cluster, uint32_t value) {
    if (!loaded_ || cluster >= entryCount_)
        return ERR_BAD_ARGUMENT;
    value = value >= FAT_BAD ? value & kValueMask : value;
    Block& b = blocks_[cluster / FAT_ENTRIES_PER_BLOCK];
    uint32_t j = cluster % FAT_ENTRIES_PER_BLOCK;
    uint32_t old = GetNextCluster(cluster);
    old = old >= FAT_BAD ? old & kValueMask : old;
    if (old == value)
        return KW_OK;
    kwRet rc = expand(b);
    if (rc != KW_OK)
        return rc;
    b.data[j] = value;
    b.changed = true;
    if (old == 0) {
        ++b.used;
        inUse_.SetBit(cluster);
    } else if (value == 0) {
        --b.used;
        if (cluster >= 2)
            inUse_.ClearBit(cluster);
    }
    if (b.used == 0) {
        delete[] b.data;
        b.data = nullptr;
        b.form = FORM_FREE;
    }
    return KW_OK;
}

uint32_t FAT_BLOCKS::FindNextFree(uint32_t from) const {
    return inUse_.FindNextClear(from < 2 ? 2 : from);
}

uint32_t FAT_BLOCKS::FindNextUsed(uint32_t from) const {
    return inUse_.FindNextSet(from < 2 ? 2 : from);
}

uint32_t FAT_BLOCKS::CountFreeClusters() const {
    return entryCount_ > 2 ? inUse_.CountClear(2, entryCount_ - 1, entryCount_) : 0;
}

uint32_t FAT_BLOCKS::CountUsedClusters() const {
    return entryCount_ > 2 ? inUse_.CountSet(2, entryCount_ - 1, entryCount_) : 0;
}

bool FAT_BLOCKS::IsChanged() const {
    for (uint32_t i = 0; loaded_ && i < blockCount_; ++i) {
        if (blocks_[i].changed)
            return true;
    }
    return false;
}

uint64_t FAT_BLOCKS::BytesHeld() const {
    uint64_t bytes = uint64_t{blockCount_} * sizeof(Block);
    for (uint32_t i = 0; loaded_ && i < blockCount_; ++i) {
        const Block& b = blocks_[i];
        bytes += b.form == FORM_ARRAY ? FAT_ENTRIES_PER_BLOCK * 4u : b.runs * 8u;
    }
    return bytes;
}

kwRet FAT_BLOCKS::writeBlocks(kwhandle handle, uint32_t firstSector, uint32_t first, uint32_t count,
                              uint8_t* buffer) {
    uint32_t spb = SectorsPerBlock(kind_);
    uint32_t sectors = (count - 1) * spb + sectorsOfBlock(first + count - 1);
    std::memset(buffer, 0, sectors * FAT_SECTOR_SIZE);
    uint32_t values[FAT_ENTRIES_PER_BLOCK];
    for (uint32_t i = 0; i < count; ++i) {
        const Block& b = blocks_[first + i];
        unpack(b, values);
        Encode(kind_, values, b.entries, buffer + i * spb * FAT_SECTOR_SIZE);
    }
    return kwLogWrite(handle, firstSector + first * spb, buffer, sectors);
}

kwRet FAT_BLOCKS::WriteFat(kwhandle handle, uint32_t firstSector, bool all, bool clearChanged) {
    if (!loaded_)
        return ERR_FAT_NOT_LOADED;
    uint32_t perBatch = kBatchSectors / SectorsPerBlock(kind_);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBatchSectors * FAT_SECTOR_SIZE]);
    if (!buffer)
        return ERR_NO_MEMORY;
    for (uint32_t i = 0; i < blockCount_;) {
        if (!all && !blocks_[i].changed) {
            ++i;
            continue;
        }
        uint32_t count = 1;
        while (i + count < blockCount_ && count < perBatch && (all || blocks_[i + count].changed))
            ++count;
        kwRet rc = writeBlocks(handle, firstSector, i, count, buffer.get());
        if (rc != KW_OK)
            return rc;
        i += count;
    }
    for (uint32_t i = 0; clearChanged && i < blockCount_; ++i)
        blocks_[i].changed = false;
    return KW_OK;
}
