// Where the sectors of one stored partition lie in its "udata" stream.
//
// An image keeps a partition as a used-block bitmap ("ubmap": bit b set when
// block b is stored) and the stored blocks one after the other in ascending
// block order ("udata"). The stream offset of a stored block b is therefore
// the number of set bits below b times the block size. A skip index of the
// counts at every 2^shift-th block, filled lazily as reads reach further,
// bounds each count to one index interval.
//
// Pure: built from the bitmap's bytes, it reads nothing itself.
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/statemap.h"

#include <cstdint>
#include <span>

namespace kw::imgaccess {

inline constexpr uint32_t kSectorBytes = 512;
// Largest skip index, in entries.
inline constexpr uint32_t kMaxSkipEntries = 0x400000 / 8;

// The shift of a skip index of at most `entries` entries that covers blocks
// 0 to `limit`: the smallest s with (limit >> s) < entries.
uint32_t SkipShift(uint32_t limit, uint32_t entries);

// Owns the used-block bitmap and the skip index of one part.
class UDATA_MAP {
public:
    UDATA_MAP() = default;
    ~UDATA_MAP();
    UDATA_MAP(const UDATA_MAP&) = delete;
    UDATA_MAP& operator=(const UDATA_MAP&) = delete;

    // bitmap holds (blockCount + 7) / 8 bytes (1802 otherwise). storedLimit
    // is the part's recorded block limit; 0 means "the last stored block".
    // 1802 for a part with no blocks or no sectors per block, 3 without
    // memory.
    kwRet Build(uint32_t blockCount, uint32_t sectorsPerBlock, uint32_t storedLimit,
                std::span<const uint8_t> bitmap);

    // The stream offset of `count` sectors from `sector` on. Every block of
    // the range must lie at or below the block limit (else 56) and be stored
    // (else 305); the range is then one contiguous run of the stream.
    kwRet Locate(uint32_t sector, uint32_t count, uint64_t* offset);

    bool IsBuilt() const { return used_.GetBitCount() != 0; }
    uint32_t BlockCount() const { return blockCount_; }
    uint32_t BlockBytes() const { return sectorsPerBlock_ * kSectorBytes; }
    uint32_t SectorsPerBlock() const { return sectorsPerBlock_; }
    uint32_t UsedBlocks() const { return usedBlocks_; }
    // Highest block that may be read; meaningless when no block is stored.
    uint32_t BlockLimit() const { return blockLimit_; }
    bool HasStoredBlock() const { return usedBlocks_ != 0; }
    uint32_t IndexShift() const { return shift_; }
    uint32_t IndexEntries() const { return entries_; }
    bool IsStored(uint32_t block) const { return used_.IsSet(block); }
    // The first stored block at or after `block` (STATE_MAP_NONE: none).
    uint32_t NextStored(uint32_t block) const { return used_.FindNextSet(block); }
    // The last stored block at or before `block` (STATE_MAP_NONE: none).
    uint32_t PrevStored(uint32_t block) const { return used_.FindPrevSet(block); }
    // Where the data of `block` begins in the stream: the bytes of the
    // stored blocks below it. Blocks past the limit give the stream's
    // length up to the limit.
    uint64_t DataOffset(uint64_t block);

private:
    kwRet AllocateIndex();
    // Number of stored blocks below `block`.
    uint32_t Rank(uint32_t block);

    STATE_MAP used_;
    uint32_t blockCount_ = 0;
    uint32_t sectorsPerBlock_ = 0;
    uint32_t usedBlocks_ = 0;
    uint32_t blockLimit_ = 0;
    uint32_t* index_ = nullptr; // entry k: stored blocks below k << shift_
    uint32_t entries_ = 0;
    uint32_t shift_ = 0;
    uint32_t lastEntry_ = 0; // highest filled entry
};

} // namespace kw::imgaccess
