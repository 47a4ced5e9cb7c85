// FAT_DIR_BLOCKS: every directory sector of a FAT volume in memory (the
// fixed root or the FAT32 root chain, and each folder's chain below it),
// numbered by its sector in the partition. While it reads, it counts the
// entries by kind, marks the clusters that hold folders and keeps every
// entry's starting cluster in a sorted list, so that a relocation can find
// and rewrite the entry that owns a moved chain without a directory walk.
// Changed sectors are written back on request, and only those.
//
// Every walk is bounded: a folder chain that meets a cluster already read as
// a folder (a loop, or two folders sharing clusters) ends there with a log
// line, and entries after a folder's end mark are kept but never indexed.
#pragma once

#include "engine/fat/fat_blocks.h"
#include "engine/fat/system_blocks.h"

#include <cstdint>
#include <map>
#include <vector>

class FAT_FILESYSTEM;
class Progress;

// Totals over the blocks held.
struct FAT_DIR_COUNTS {
    uint32_t entries = 0; // files, folders and labels
    uint32_t files = 0;
    uint32_t directories = 0; // "." and ".." included
    uint32_t deleted = 0;
    uint32_t longNamePieces = 0;
    uint32_t free = 0;
    uint32_t labels = 0;
};

// Where an entry that starts a chain lives.
struct FAT_START_NODE {
    uint32_t sector = 0;
    uint32_t index = 0; // of the entry in its sector
    bool isFile = false;
    bool isDirectory = false;
};

// An entry found in the cache.
struct FAT_DIR_SLOT {
    uint8_t* entry = nullptr; // 32 bytes inside the cached sector
    uint32_t sector = 0;
    uint32_t index = 0;
};

class FAT_DIR_BLOCKS : public SYSTEM_BLOCKS {
public:
    // highestSector: the volume's last sector.
    FAT_DIR_BLOCKS(FAT_FILESYSTEM* volume, uint32_t highestSector);
    ~FAT_DIR_BLOCKS() override;

    // Reads every folder once. With a move map, starting clusters the map
    // moves are rewritten in the entries (and the FAT32 root cluster in the
    // boot record), and the blocks so changed are flagged. Progress goes
    // out every 100 sectors read, against progressTotal sectors (0: the
    // volume's data sectors / 400); a cancel ends the read with its code.
    kwRet ReadDirectory(uint32_t progressTotal, MOVE_MAP* moves);
    // One folder chain; with recurse, its subfolders too.
    kwRet ReadSubDirectory(uint32_t firstCluster, bool recurse);
    // Writes the changed sectors (all present ones with `all`). The disk is
    // not flushed here.
    kwRet WriteDirectory(bool all);

    // Adds a directory sector (null data: an empty one) and marks its
    // cluster (0: the sector's own) as a folder cluster.
    kwRet AddDirBlock(uint32_t sector, const uint8_t* data, uint32_t cluster);
    // Puts new bytes into a sector, present or not; flagged changed.
    kwRet ReplaceDirBlock(uint32_t sector, const uint8_t* data);
    kwRet DeleteBlock(uint32_t sector) override;
    kwRet ChangeBlockNumber(uint32_t oldSector, uint32_t newSector, bool keepClean) override;
    // Renumbers a folder cluster's sectors to another cluster's, moves its
    // folder mark, and with updateEntry the starting cluster of its entry.
    kwRet MoveDirCluster(uint32_t oldCluster, uint32_t newCluster, bool updateEntry);
    // The entry that starts at oldCluster starts at newCluster.
    kwRet UpdateStartingCluster(uint32_t oldCluster, uint32_t newCluster);
    kwRet ResetStartClustList();
    // Clears the FAT16 extended-attribute word of every file and folder.
    kwRet ClearOS2EAs();
    // Flags a present sector changed (after its bytes were edited in place).
    kwRet MarkChanged(uint32_t sector);

    // Entries that start chains, in starting-cluster order (a cluster
    // shared by two entries gives both); Next/Previous with changed flag
    // the previous entry's sector changed. False at the end.
    bool FirstEntry(FAT_DIR_SLOT* slot);
    bool NextEntry(FAT_DIR_SLOT* slot, bool changed);
    bool LastEntry(FAT_DIR_SLOT* slot);
    bool PreviousEntry(FAT_DIR_SLOT* slot, bool changed);
    // The first entry that starts at `cluster`.
    bool FindStart(uint32_t cluster, FAT_DIR_SLOT* slot);
    uint32_t CountStarts() const { return static_cast<uint32_t>(starts_.size()); }

    bool IsBlockFree(uint32_t sector);
    bool IsRead() const { return read_; }
    bool IsChanged() const { return changed_; }
    uint32_t FirstRootSector() const { return firstRootSector_; }
    void SetFirstRootSector(uint32_t sector) { firstRootSector_ = sector; }
    STATE_MAP& DirClusters() { return dirClusters_; }
    const FAT_DIR_COUNTS& Counts() const { return counts_; }

protected:
    bool CompressBlockData(BLOCK_ENTRY& entry, uint32_t flags) override;

private:
    using StartList = std::multimap<uint32_t, FAT_START_NODE>;
    uint32_t startOf(const uint8_t* entry) const;
    void setStart(uint8_t* entry, uint32_t cluster) const;
    kwRet addStart(uint32_t cluster, const FAT_START_NODE& node);
    void dropStarts(const BLOCK_ENTRY& block);
    void addCounts(const BLOCK_ENTRY& block, int sign);
    bool slotAt(StartList::iterator it, FAT_DIR_SLOT* slot);
    kwRet readChain(uint32_t first, bool isRoot, std::vector<uint32_t>* subfolders);
    kwRet addSector(uint32_t sector, const uint8_t* data, uint32_t cluster, bool* ended,
                    std::vector<uint32_t>* subfolders);
    kwRet readAll(MOVE_MAP* moves);

    FAT_FILESYSTEM* volume_;
    uint16_t ownerValue_ = 4;
    uint32_t firstRootSector_ = 0;
    StartList starts_;
    StartList::iterator cursor_;
    bool advanced_ = false; // cursor_ already stands on the next node
    STATE_MAP dirClusters_;
    MOVE_MAP* moves_ = nullptr;
    std::vector<uint32_t>* collect_ = nullptr; // subfolders of the block being added
    FAT_DIR_COUNTS counts_;
    Progress* progress_ = nullptr; // while ReadDirectory runs
    uint32_t progressTotal_ = 0;
    bool read_ = false;
    bool changed_ = false;
};

// The most starting clusters the list holds.
inline constexpr uint32_t FAT_MAX_START_NODES = 1000000;
