// FAT_BLOCKS: a volume's allocation table in memory, cut into blocks of 1024
// entries, each in the smallest of three forms: no storage when every entry
// is free, a run list when the entries form runs (free runs, or values that
// each exceed the one before by one, as contiguous chains do), a plain array
// otherwise. Three maps answer questions without touching the blocks: used
// clusters, chain heads (used clusters no entry points to) and clusters
// reserved by a relocation (never handed out as free). Entries are read from
// one FAT copy and written back to any copy, whole or only the blocks
// changed since, in the width read or in another (a table read as FAT16 may
// be written as FAT32).
//
// MOVE_MAP: a table of the same shape whose entry for a cluster is the
// cluster it moves to (0: it stays); made empty, filled by the planners.
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
    virtual ~FAT_BLOCKS();
    FAT_BLOCKS(const FAT_BLOCKS&) = delete;
    FAT_BLOCKS& operator=(const FAT_BLOCKS&) = delete;

    // Reads the copy that starts at firstSector.
    kwRet ReadFat(kwhandle handle, uint32_t firstSector);
    // A loaded table of free entries only (entries 0 and 1 as well).
    kwRet InitEmpty();
    // Writes the whole table to the copy at firstSector in `kind` (which
    // becomes the table's width), then zeros up to sectorsToFill sectors.
    kwRet WriteFatAs(kwhandle handle, uint8_t kind, uint32_t firstSector, uint32_t sectorsToFill);
    // Sectors one copy takes in the table's width.
    uint32_t SectorsNeeded() const;
    // Writes every block (all) or only the changed ones to the copy at
    // firstSector; clearChanged forgets the changes afterwards.
    kwRet WriteFat(kwhandle handle, uint32_t firstSector, bool all, bool clearChanged);

    uint32_t GetNextCluster(uint32_t cluster) const;
    // 0 when done; ERR_BAD_ARGUMENT for a cluster outside the table,
    // ERR_NO_MEMORY when a block cannot be expanded (nothing changed).
    kwRet SetNextCluster(uint32_t cluster, uint32_t value);
    // As above; chainHead marks the cluster as the head of a chain.
    kwRet SetNextCluster(uint32_t cluster, uint32_t value, bool chainHead);

    // The cluster whose entry points to `cluster`; 0 when none does (a free
    // cluster, a chain head, or a cluster outside the table).
    uint32_t FindPreviousCluster(uint32_t cluster);
    // The next chain head / bad cluster at or after `from`, or STATE_MAP_NONE.
    uint32_t FindNextChainHead(uint32_t from) const;
    uint32_t FindNextBad(uint32_t from) const;
    bool IsChainHead(uint32_t cluster) const { return chainHead_.IsSet(cluster); }
    bool IsReserved(uint32_t cluster) const { return reserved_.IsSet(cluster); }
    // Reserved clusters are never found free; a reversed range does nothing.
    void ReserveClusters(uint32_t first, uint32_t last);
    void FreeReservedClusters(uint32_t first, uint32_t last);
    // Counts over [first, last], cut to clusters 2 .. the last entry.
    uint32_t CountFreeClusters(uint32_t first, uint32_t last) const;
    uint32_t CountUsedClusters(uint32_t first, uint32_t last) const;
    uint32_t CountReservedClusters(uint32_t first, uint32_t last) const;
    uint32_t CountBadClusters(uint32_t first, uint32_t last) const;
    uint32_t CountBadClusters() const { return CountBadClusters(2, entryCount_ - 1); }
    // Chain heads among the used clusters.
    uint32_t CountChains() const;
    // Grows the table by `count` free entries.
    kwRet AppendEntries(uint32_t count);

    // The next free (used) cluster at or after `from` (from 2 up), or
    // STATE_MAP_NONE. Reserved clusters are not free.
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

protected:
    // The move map's predecessor search also answers for clusters it does
    // not use itself.
    bool searchUnused_ = false;

private:
    struct Block {
        uint32_t* data = nullptr; // runs: pairs {first | count << 16, value}
        uint16_t form = 0;
        uint16_t entries = 0;
        uint16_t runs = 0;
        uint16_t used = 0; // non-zero entries
        uint16_t bad = 0;  // bad entries
        bool changed = false;
    };

    kwRet storeBlock(uint32_t index, const uint32_t* values, uint32_t entries);
    kwRet expand(Block& block);
    void unpack(const Block& block, uint32_t* values) const;
    kwRet writeBlocks(kwhandle handle, uint32_t firstSector, uint32_t first, uint32_t count,
                      uint8_t* buffer);
    uint32_t sectorsOfBlock(uint32_t index) const;
    uint32_t entriesOfBlock(uint32_t index) const;
    kwRet freshBlocks();
    kwRet createMaps();
    void noteLinks(uint32_t first, const uint32_t* values, uint32_t entries);
    uint32_t findIn(const Block& block, uint32_t base, uint32_t cluster) const;

    uint8_t kind_;
    uint32_t entryCount_;
    uint32_t blockCount_;
    Block* blocks_ = nullptr;
    STATE_MAP inUse_;
    STATE_MAP chainHead_;
    STATE_MAP reserved_;
    uint32_t lastSearch_ = 0; // block of the last predecessor found
    bool loaded_ = false;
};

class MOVE_MAP : public FAT_BLOCKS {
public:
    // entryCount: the volume's last cluster + 1. Check IsLoaded after making.
    explicit MOVE_MAP(uint32_t entryCount);
    // old -> target (0: stays).
    kwRet SetTarget(uint32_t cluster, uint32_t target) { return SetNextCluster(cluster, target); }
    uint32_t GetTarget(uint32_t cluster) const { return GetNextCluster(cluster); }
    // The cluster that moves to `target`, or 0.
    uint32_t FindSource(uint32_t target) { return FindPreviousCluster(target); }
    uint32_t CountMoves() const { return CountUsedClusters(); }
};
