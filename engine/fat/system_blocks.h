// SYSTEM_BLOCKS: a cache of a volume's metadata blocks by number (a sector
// number for directories), each kept in full, or as a free block that holds
// no bytes and reads as zeros. It tracks which numbers are present, which
// blocks changed since they were last written, and lets a subclass shrink a
// block's data as it is added (CompressBlockData) and count what it holds.
// Blocks are handed out in ascending number order.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/core/statemap.h"

#include <cstdint>
#include <map>

// Block flags.
inline constexpr uint16_t BLOCK_FREE = 0x01;      // every entry free; no data
inline constexpr uint16_t BLOCK_CHANGED = 0x1000; // not written since changed

// AddBlock flags.
inline constexpr uint32_t ADD_NOT_CHANGED = 0x02;  // the block is as on disk
inline constexpr uint32_t ADD_COLLECT_DIRS = 0x04; // directories: collect subfolders
inline constexpr uint32_t ADD_PAST_END = 0x08;     // directories: after the end mark

inline constexpr uint32_t BLOCK_STATS = 7;

// A block of that number is already present.
inline constexpr kwRet ERR_BLOCK_EXISTS = 4002;

struct BLOCK_ENTRY {
    uint32_t number = 0;
    uint8_t* data = nullptr; // owned; null for a free block
    uint16_t flags = 0;
    uint16_t owner1 = 0; // the owner's kind of block
    uint16_t owner2 = 0; // entries in the block
    uint32_t size = 0;   // bytes of data
    uint32_t stats[BLOCK_STATS] = {};
};

class SYSTEM_BLOCKS : public KwEngineAlloc {
public:
    SYSTEM_BLOCKS(uint32_t highestBlock, uint32_t blockSize);
    virtual ~SYSTEM_BLOCKS();
    SYSTEM_BLOCKS(const SYSTEM_BLOCKS&) = delete;
    SYSTEM_BLOCKS& operator=(const SYSTEM_BLOCKS&) = delete;

    // Adds a block of blockSize bytes (null data: a free block). ERR_BLOCK_EXISTS
    // when the number is present, ERR_BAD_ARGUMENT past the highest number.
    kwRet AddBlock(uint32_t number, const uint8_t* data, uint16_t owner1, uint16_t owner2,
                   uint32_t flags);
    // ERR_BLOCK_NOT_FOUND when absent.
    kwRet FindBlock(uint32_t number, BLOCK_ENTRY** entry);
    // The block's bytes (zeros past its data, or for a free block).
    kwRet ReadBlock(uint32_t number, uint8_t* buffer, uint32_t size);
    virtual kwRet DeleteBlock(uint32_t number);
    // Renumbers a block, flagged changed unless keepClean.
    virtual kwRet ChangeBlockNumber(uint32_t oldNumber, uint32_t newNumber, bool keepClean);
    // Moves the highest number a block may have.
    kwRet SetHighestBlock(uint32_t number);
    void Reset();

    bool IsPresent(uint32_t number) const { return present_.IsSet(number); }
    uint32_t GetBlockCount() const { return static_cast<uint32_t>(blocks_.size()); }
    uint32_t GetHighestBlock() const { return highest_; }
    uint32_t GetBlockSize() const { return blockSize_; }
    // The present block numbered at or after `number`, or STATE_MAP_NONE.
    uint32_t NextPresent(uint32_t number) const { return present_.FindNextSet(number); }

protected:
    // May replace the entry's data by a smaller form; true when it did.
    virtual bool CompressBlockData(BLOCK_ENTRY& entry, uint32_t flags);
    // Fills the buffer from a form of the subclass's; true when it did.
    virtual bool UncompressBlockData(const BLOCK_ENTRY& entry, uint8_t* buffer, uint32_t size);
    // Drops a block's data and makes it free.
    static void MakeFree(BLOCK_ENTRY& entry);

    uint32_t blockSize_;

private:
    std::map<uint32_t, BLOCK_ENTRY> blocks_;
    STATE_MAP present_;
    uint32_t highest_;
};
