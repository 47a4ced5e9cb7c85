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

uint32_t FAT_BLOCKS::entriesOfBlock(uint32_t index) const {
    return index + 1 < blockCount_ ? FAT_ENTRIES_PER_BLOCK
                                   : entryCount_ - index * FAT_ENTRIES_PER_BLOCK;
}

// The chain heads the values show: a free entry is no head, and a cluster an
// entry points to is none either.
void FAT_BLOCKS::noteLinks(uint32_t first, const uint32_t* values, uint32_t entries) {
    for (uint32_t j = 0; j < entries; ++j) {
        uint32_t v = values[j];
        if (v == 0 || v == (FAT_BAD & kValueMask)) // free and bad clusters head nothing
            chainHead_.ClearBit(first + j);
        else if (v >= 2 && v < kHighValues && v < entryCount_)
            chainHead_.ClearBit(v);
    }
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
        if (values[j] == (FAT_BAD & kValueMask))
            ++b.bad;
    }
    noteLinks(first, values, entries);
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
    kwRet rc = freshBlocks();
    if (rc != KW_OK)
        return rc;
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
        rc = kwLogRead(handle, firstSector + first * spb, raw.get(), sectors);
        if (rc != KW_OK)
            return rc;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t index = first + i;
            uint32_t entries = entriesOfBlock(index);
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
    return SetNextCluster(cluster, value, false);
}

kwRet FAT_BLOCKS::SetNextCluster(uint32_t cluster, uint32_t value, bool chainHead) {
    if (!loaded_ || cluster >= entryCount_)
        return ERR_BAD_ARGUMENT;
    value = value >= FAT_BAD ? value & kValueMask : value;
    Block& b = blocks_[cluster / FAT_ENTRIES_PER_BLOCK];
    uint32_t j = cluster % FAT_ENTRIES_PER_BLOCK;
    uint32_t old = GetNextCluster(cluster);
    old = old >= FAT_BAD ? old & kValueMask : old;
    if (old != value) {
        kwRet rc = expand(b);
        if (rc != KW_OK)
            return rc;
        b.data[j] = value;
        b.changed = true;
        b.used = static_cast<uint16_t>(b.used + (old == 0) - (value == 0));
        b.bad = static_cast<uint16_t>(b.bad + (value == (FAT_BAD & kValueMask)) -
                                      (old == (FAT_BAD & kValueMask)));
        if (b.used == 0) {
            delete[] b.data;
            b.data = nullptr;
            b.form = FORM_FREE;
        }
        // A cluster that loses the entry pointing to it heads what is left.
        // Entries 0 and 1 hold the media byte (or a protected update's marks
        // and saved type): they point at no cluster.
        if (cluster >= 2 && old >= 2 && old < kHighValues && old < entryCount_ && inUse_.IsSet(old))
            chainHead_.SetBit(old);
    }
    if (cluster < 2)
        return KW_OK;
    if (value == 0) {
        inUse_.ClearBit(cluster);
        chainHead_.ClearBit(cluster);
        return KW_OK;
    }
    inUse_.SetBit(cluster);
    if (value >= 2 && value < kHighValues && value < entryCount_)
        chainHead_.ClearBit(value);
    if (value == (FAT_BAD & kValueMask))
        chainHead_.ClearBit(cluster);
    else if (chainHead)
        chainHead_.SetBit(cluster);
    return KW_OK;
}

uint32_t FAT_BLOCKS::FindNextFree(uint32_t from) const {
    uint32_t c = inUse_.FindNextClear(from < 2 ? 2 : from);
    while (c != STATE_MAP_NONE && reserved_.IsSet(c))
        c = inUse_.FindNextClear(reserved_.FindNextClear(c));
    return c;
}

uint32_t FAT_BLOCKS::FindNextUsed(uint32_t from) const {
    return inUse_.FindNextSet(from < 2 ? 2 : from);
}

uint32_t FAT_BLOCKS::CountFreeClusters() const {
    return CountFreeClusters(2, entryCount_ - 1);
}

uint32_t FAT_BLOCKS::CountUsedClusters() const {
    return CountUsedClusters(2, entryCount_ - 1);
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

// Every block free and without storage, the maps as for an empty table.
kwRet FAT_BLOCKS::freshBlocks() {
    for (uint32_t i = 0; blocks_ != nullptr && i < blockCount_; ++i)
        delete[] blocks_[i].data;
    delete[] blocks_;
    loaded_ = false;
    blocks_ = new (std::nothrow) Block[blockCount_];
    return blocks_ == nullptr ? ERR_NO_MEMORY : createMaps();
}

kwRet FAT_BLOCKS::createMaps() {
    if (inUse_.Create(entryCount_, false) != KW_OK ||
        chainHead_.Create(entryCount_, true) != KW_OK ||
        reserved_.Create(entryCount_, false) != KW_OK)
        return ERR_NO_MEMORY;
    inUse_.SetRange(0, 2);
    chainHead_.ClearRange(0, 2);
    return KW_OK;
}

kwRet FAT_BLOCKS::InitEmpty() {
    kwRet rc = freshBlocks();
    if (rc != KW_OK)
        return rc;
    for (uint32_t i = 0; i < blockCount_; ++i)
        blocks_[i].entries = static_cast<uint16_t>(entriesOfBlock(i));
    chainHead_.ClearRange(0, entryCount_);
    loaded_ = true;
    return KW_OK;
}

uint32_t FAT_BLOCKS::SectorsNeeded() const {
    return (BytesForEntries(kind_, entryCount_) + FAT_SECTOR_SIZE - 1) / FAT_SECTOR_SIZE;
}

kwRet FAT_BLOCKS::WriteFatAs(kwhandle handle, uint8_t kind, uint32_t firstSector,
                             uint32_t sectorsToFill) {
    if (kind != FAT_KIND_12 && kind != FAT_KIND_16 && kind != FAT_KIND_32)
        return ERR_BAD_ARGUMENT;
    kind_ = kind;
    kwRet rc = WriteFat(handle, firstSector, true, true);
    uint32_t own = SectorsNeeded();
    if (rc != KW_OK || sectorsToFill <= own)
        return rc;
    std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[kBatchSectors * FAT_SECTOR_SIZE]());
    if (!zeros)
        return ERR_NO_MEMORY;
    for (uint32_t at = own; rc == KW_OK && at < sectorsToFill;) {
        uint32_t n = sectorsToFill - at < kBatchSectors ? sectorsToFill - at : kBatchSectors;
        rc = kwLogWrite(handle, firstSector + at, zeros.get(), n);
        at += n;
    }
    return rc;
}

// The cluster of `block` (its first entry is `base`) that points to
// `cluster`, or 0.
uint32_t FAT_BLOCKS::findIn(const Block& b, uint32_t base, uint32_t cluster) const {
    if (b.form == FORM_ARRAY) {
        for (uint32_t j = 0; j < b.entries; ++j)
            if (b.data[j] == cluster && base + j >= 2)
                return base + j;
    } else if (b.form == FORM_RUNS) {
        for (uint32_t r = 0; r < b.runs; ++r) {
            uint32_t start = b.data[2 * r] & 0xFFFF, count = b.data[2 * r] >> 16;
            uint32_t v = b.data[2 * r + 1];
            if (v != 0 && v < kHighValues && cluster >= v && cluster - v < count &&
                base + start + (cluster - v) >= 2)
                return base + start + (cluster - v);
        }
    }
    return 0;
}

uint32_t FAT_BLOCKS::FindPreviousCluster(uint32_t cluster) {
    if (!loaded_ || cluster < 2 || cluster >= entryCount_)
        return 0;
    if (!searchUnused_ && (inUse_.IsClear(cluster) || chainHead_.IsSet(cluster) ||
                           GetNextCluster(cluster) == FAT_BAD))
        return 0;
    uint32_t own = cluster / FAT_ENTRIES_PER_BLOCK;
    // The block of the last hit first, then down from the cluster's own
    // block (chains mostly run upward), then up.
    uint32_t order[2] = {lastSearch_ < blockCount_ ? lastSearch_ : own, own};
    for (uint32_t i : order) {
        if (uint32_t p = findIn(blocks_[i], i * FAT_ENTRIES_PER_BLOCK, cluster)) {
            lastSearch_ = i;
            return p;
        }
    }
    for (uint32_t step = 1; step < blockCount_; ++step) {
        for (uint32_t i : {own - step, own + step}) {
            if (i >= blockCount_) // below 0 wraps past the end
                continue;
            if (uint32_t p = findIn(blocks_[i], i * FAT_ENTRIES_PER_BLOCK, cluster)) {
                lastSearch_ = i;
                return p;
            }
        }
    }
    if (!searchUnused_)
        chainHead_.SetBit(cluster);
    return 0;
}

uint32_t FAT_BLOCKS::FindNextChainHead(uint32_t from) const {
    return chainHead_.FindNextSet(from < 2 ? 2 : from);
}

uint32_t FAT_BLOCKS::FindNextBad(uint32_t from) const {
    if (!loaded_)
        return STATE_MAP_NONE;
    for (uint32_t c = from < 2 ? 2 : from; c < entryCount_;) {
        uint32_t i = c / FAT_ENTRIES_PER_BLOCK;
        if (blocks_[i].bad == 0) { // skipped whole
            c = (i + 1) * FAT_ENTRIES_PER_BLOCK;
            continue;
        }
        if (GetNextCluster(c) == FAT_BAD)
            return c;
        ++c;
    }
    return STATE_MAP_NONE;
}

void FAT_BLOCKS::ReserveClusters(uint32_t first, uint32_t last) {
    if (first > last) {
        DbgPrintf("ReserveClusters - Range start is greater than range end\n");
        return;
    }
    if (first < entryCount_)
        reserved_.SetRange(first, (last < entryCount_ ? last : entryCount_ - 1) - first + 1);
}

void FAT_BLOCKS::FreeReservedClusters(uint32_t first, uint32_t last) {
    if (first > last) {
        DbgPrintf("FreeReservedClusters - Range start is greater than range end\n");
        return;
    }
    if (first < entryCount_)
        reserved_.ClearRange(first, (last < entryCount_ ? last : entryCount_ - 1) - first + 1);
}

namespace {

// [first, last] cut to the data clusters of a table of `entries`; false
// when nothing is left.
bool CutRange(const char* what, uint32_t entries, uint32_t* first, uint32_t* last) {
    if (*first < 2) {
        DbgPrintf("%s Warning - Including the first 2 clusters\n", what);
        *first = 2;
    }
    if (*last >= entries) {
        DbgPrintf("%s Warning - Trying to count beyond the last cluster\n", what);
        *last = entries - 1;
    }
    return entries > 2 && *first <= *last;
}

} // namespace

uint32_t FAT_BLOCKS::CountFreeClusters(uint32_t first, uint32_t last) const {
    if (!CutRange("CountFreeClusters", entryCount_, &first, &last))
        return 0;
    uint32_t clear = inUse_.CountClear(first, last, entryCount_);
    uint32_t reservedFree = 0;
    for (uint32_t c = reserved_.FindNextSet(first); c != STATE_MAP_NONE && c <= last;
         c = reserved_.FindNextSet(c + 1))
        reservedFree += inUse_.IsClear(c);
    return clear - reservedFree;
}

uint32_t FAT_BLOCKS::CountUsedClusters(uint32_t first, uint32_t last) const {
    if (!CutRange("CountUsedClusters", entryCount_, &first, &last))
        return 0;
    return inUse_.CountSet(first, last, entryCount_);
}

uint32_t FAT_BLOCKS::CountReservedClusters(uint32_t first, uint32_t last) const {
    if (!CutRange("CountReservedClusters", entryCount_, &first, &last))
        return 0;
    return reserved_.CountSet(first, last, entryCount_);
}

uint32_t FAT_BLOCKS::CountBadClusters(uint32_t first, uint32_t last) const {
    if (!CutRange("CountBadClusters", entryCount_, &first, &last))
        return 0;
    uint32_t n = 0;
    for (uint32_t c = FindNextBad(first); c != STATE_MAP_NONE && c <= last; c = FindNextBad(c + 1))
        ++n;
    return n;
}

uint32_t FAT_BLOCKS::CountChains() const {
    return entryCount_ > 2 ? chainHead_.CountSet(2, entryCount_ - 1, entryCount_) : 0;
}

kwRet FAT_BLOCKS::AppendEntries(uint32_t count) {
    if (!loaded_)
        return ERR_FAT_NOT_LOADED;
    if (count == 0)
        return KW_OK;
    if (uint64_t{entryCount_} + count > 0x10000000ull)
        return ERR_BAD_ARGUMENT;
    uint32_t entries = entryCount_ + count;
    uint32_t blocks = (entries + FAT_ENTRIES_PER_BLOCK - 1) / FAT_ENTRIES_PER_BLOCK;
    auto* grown = new (std::nothrow) Block[blocks];
    if (grown == nullptr)
        return ERR_NO_MEMORY;
    for (STATE_MAP* m : {&inUse_, &chainHead_, &reserved_}) {
        if (m->Grow(count) != KW_OK) {
            delete[] grown;
            return ERR_NO_MEMORY;
        }
        m->ClearRange(entryCount_, count);
    }
    for (uint32_t i = 0; i < blockCount_; ++i)
        grown[i] = blocks_[i];
    delete[] blocks_;
    blocks_ = grown;
    Block& tail = blocks_[blockCount_ - 1];
    uint32_t oldBlocks = blockCount_;
    entryCount_ = entries;
    blockCount_ = blocks;
    // The last block gains free entries: an array is made whole (its new
    // entries zero), a run list gets a free run at its end.
    kwRet rc = KW_OK;
    if (tail.form == FORM_RUNS)
        rc = expand(tail);
    if (rc == KW_OK && tail.form == FORM_ARRAY)
        std::memset(tail.data + tail.entries, 0, (FAT_ENTRIES_PER_BLOCK - tail.entries) * 4u);
    tail.entries = static_cast<uint16_t>(entriesOfBlock(oldBlocks - 1));
    for (uint32_t i = oldBlocks; i < blockCount_; ++i)
        blocks_[i].entries = static_cast<uint16_t>(entriesOfBlock(i));
    return rc;
}

MOVE_MAP::MOVE_MAP(uint32_t entryCount) : FAT_BLOCKS(FAT_KIND_32, entryCount) {
    searchUnused_ = true;
    InitEmpty();
}
