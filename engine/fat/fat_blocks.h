// FAT_BLOCKS: a volume's allocation table in memory, cut into blocks of 1024
// entries, each in the smallest of three forms: no storage when every entry
// is free, a run list when the entries form runs (free runs, or values that
// each exceed the one before by one, as contiguous chains do), a plain array
// otherwise. A map of used clusters answers free-space questions without
// touching the blocks. Entries are read from one FAT copy and written back
// to any copy, whole or only the blocks changed since.
//
// Values handed out: 0 free, FAT_BAD bad, FAT_EOC and above end of chain,
// whatever the width on disk; anything else is the next cluster (callers
// check it against the cluster range).
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/core/statemap.h"
#include "engine/disk/kwlib.h"

#include <cstdint>

inline constexpr uint32_t FAT_BAD = 0xFFFFFFF7;
inline constexpr uint32_t FAT_EOC = 0xFFFFFFF8;
inline constexpr uint32_t FAT_EOC_MARK = 0xFFFFFFFF;
inline constexpr uint32_t FAT_ENTRIES_PER_BLOCK = 1024;

class FAT_BLOCKS : public KwEngineAlloc {
public:
    // kind: FAT_KIND_12/16/32; entryCount: last cluster + 1.
    FAT_BLOCKS(uint8_t kind, uint32_t entryCount);
    ~FAT_BLOCKS();
    FAT_BLOCKS(const FAT_BLOCKS&) = delete;
    FAT_BLOCKS& operator=(const FAT_BLOCKS&) = delete;

    // Reads the copy that starts at firstSector.
    kwRet ReadFat(kwhandle handle, uint32_t firstSector);
    // Writes every block (all) or only the changed ones to the copy at
    // firstSector; clearChanged forgets the changes afterwards.
    kwRet WriteFat(kwhandle handle, uint32_t firstSector, bool all, bool clearChanged);

    uint32_t GetNextCluster(uint32_t cluster) const;
    // 0 when done; ERR_BAD_ARGUMENT for a cluster outside the table,
    // ERR_NO_MEMORY when a block cannot be expanded (nothing changed).
    kwRet SetNextCluster(uint32_t cluster, uint32_t value);

    // The next free (used) cluster at or after `from` (from 2 up), or
    // STATE_MAP_NONE.
    uint32_t FindNextFree(uint32_t from) const;
    uint32_t FindNextUsed(uint32_t from) const;
    uint32_t CountFreeClusters() const;
    uint32_t CountUsedClusters() const;

    uint32_t GetEntryCount() const { return entryCount_; }
    uint8_t GetKind() const { return kind_; }
    bool IsLoaded() const { return loaded_; }
    bool IsChanged() const;
    // Bytes held by the blocks (for the memory benchmarks).
    uint64_t BytesHeld() const;

private:
    struct Block {
        uint32_t* data = nullptr; // runs: pairs {first | count << 16, value}
        uint16_t form = 0;
        uint16_t entries = 0;
        uint16_t runs = 0;
        uint16_t used = 0; // non-zero entries
        bool changed = false;
    };

    kwRet storeBlock(uint32_t index, const uint32_t* values, uint32_t entries);
    kwRet expand(Block& block);
    void unpack(const Block& block, uint32_t* values) const;
    kwRet writeBlocks(kwhandle handle, uint32_t firstSector, uint32_t first, uint32_t count,
                      uint8_t* buffer);
    uint32_t sectorsOfBlock(uint32_t index) const;

    uint8_t kind_;
    uint32_t entryCount_;
    uint32_t blockCount_;
    Block* blocks_ = nullptr;
    STATE_MAP inUse_;
    bool loaded_ = false;
};
