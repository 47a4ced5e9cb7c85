#include "engine/imgaccess/udata_map.h"

#include "engine/core/kwmemory.h"

#include <cstring>

namespace kw::imgaccess {

uint32_t SkipShift(uint32_t limit, uint32_t entries) {
    uint32_t shift = 0;
    while (shift < 32 && (limit >> shift) >= entries)
        ++shift;
    return shift;
}

UDATA_MAP::~UDATA_MAP() {
    kwFreeMemory(&index_);
}

kwRet UDATA_MAP::Build(uint32_t blockCount, uint32_t sectorsPerBlock, uint32_t storedLimit,
                       std::span<const uint8_t> bitmap) {
    used_.Free();
    kwFreeMemory(&index_);
    entries_ = 0;
    if (blockCount == 0 || sectorsPerBlock == 0 || sectorsPerBlock > UINT32_MAX / kSectorBytes ||
        bitmap.size() != (uint64_t{blockCount} + 7) / 8)
        return ERR_IMG_INVALID;
    if (used_.Create(blockCount, false) != KW_OK)
        return ERR_NO_MEMORY;
    std::memcpy(used_.pulBits, bitmap.data(), bitmap.size()); // bit i: byte i / 8, bit i % 8
    // Bits past the last block are no part of the map.
    for (uint32_t w = blockCount / 32; w < used_.ulBmpBufSize; ++w)
        used_.pulBits[w] &= w == blockCount / 32 ? (1u << (blockCount % 32)) - 1 : 0;
    blockCount_ = blockCount;
    sectorsPerBlock_ = sectorsPerBlock;
    usedBlocks_ = used_.CountSet(0, blockCount - 1, UINT32_MAX);
    uint32_t lastStored = used_.FindPrevSet(blockCount);
    blockLimit_ = storedLimit != 0 ? storedLimit : (lastStored == STATE_MAP_NONE ? 0 : lastStored);
    if (blockLimit_ >= blockCount)
        blockLimit_ = blockCount - 1;
    return AllocateIndex();
}

kwRet UDATA_MAP::AllocateIndex() {
    uint32_t want = blockLimit_ < kMaxSkipEntries ? blockLimit_ + 1 : kMaxSkipEntries;
    kwRet rc = ERR_NO_MEMORY;
    while (want != 0) {
        rc = kwGetMemory(want * uint32_t{sizeof(uint32_t)}, &index_);
        if (rc == KW_OK)
            break;
        want /= 2; // a smaller table with a larger interval still covers every block
    }
    if (rc != KW_OK)
        return rc;
    entries_ = want;
    shift_ = SkipShift(blockLimit_, entries_);
    index_[0] = 0;
    lastEntry_ = 0;
    return KW_OK;
}

uint32_t UDATA_MAP::Rank(uint32_t block) {
    const uint32_t k = block >> shift_;
    for (; lastEntry_ < k; ++lastEntry_) {
        const uint32_t from = lastEntry_ << shift_;
        const uint32_t to = ((lastEntry_ + 1) << shift_) - 1;
        index_[lastEntry_ + 1] = index_[lastEntry_] + used_.CountSet(from, to, UINT32_MAX);
    }
    const uint32_t start = k << shift_;
    return index_[k] + (block > start ? used_.CountSet(start, block - 1, UINT32_MAX) : 0);
}

uint64_t UDATA_MAP::DataOffset(uint64_t block) {
    if (!IsBuilt() || entries_ == 0 || !HasStoredBlock())
        return 0;
    if (block > blockLimit_)
        return (uint64_t{Rank(blockLimit_)} + (IsStored(blockLimit_) ? 1 : 0)) * BlockBytes();
    return uint64_t{Rank(static_cast<uint32_t>(block))} * BlockBytes();
}

kwRet UDATA_MAP::Locate(uint32_t sector, uint32_t count, uint64_t* offset) {
    if (!IsBuilt() || entries_ == 0)
        return ERR_IMG_INVALID;
    if (!HasStoredBlock())
        return ERR_FILE_SHORT_READ;
    const uint64_t first = sector / sectorsPerBlock_;
    const uint64_t last = (uint64_t{sector} + (count == 0 ? 1 : count) - 1) / sectorsPerBlock_;
    if (last > blockLimit_)
        return ERR_OUT_OF_RANGE;
    // Every block of the range is stored: the first unstored one lies beyond it.
    const uint32_t gap = used_.FindNextClear(static_cast<uint32_t>(first));
    if (gap != STATE_MAP_NONE && gap <= last)
        return ERR_FILE_SHORT_READ;
    const uint32_t block = static_cast<uint32_t>(first);
    *offset =
        uint64_t{Rank(block)} * BlockBytes() + uint64_t{sector % sectorsPerBlock_} * kSectorBytes;
    return KW_OK;
}

} // namespace kw::imgaccess
