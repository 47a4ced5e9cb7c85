// EXECUTOR_FAT: carries out a map of cluster moves (MOVE_MAP: entry c holds
// the cluster c moves to, 0 when it stays) on an initialised FAT volume. It
// copies the clusters' data, relinks their chains in the FAT, gives the
// directory entries that start a moved chain (and the "." and ".." entries
// of a moved folder, and the FAT32 root-cluster field) their new clusters,
// and keeps every folder in the volume's directory cache where its sectors
// now lie. It owns, while it runs, the map of clusters moved in the current
// batch and the cluster queue (Mover); the map itself stays the caller's and
// is emptied as the moves are done.
//
// A move whose target is free is done directly; a target still held by a
// cluster that moves itself waits until that one has gone. Cycles of moves
// (a -> b -> a) are broken through a free cluster that no move targets: one
// member goes there first and on to its target in a later batch.
//
// Safe mode: the partition's entry is marked as a move under way (type 3Ch,
// FAT_MARK_MOVING) for the whole run. When the caller marked it already
// (another protected update, such as a root in a chain), the "moving" mark
// is added to the caller's marks before the first batch and stays until
// the caller ends its update.
// Each batch is committed in this order, each step flushed before the next:
//   1. the data of the batch is copied to its (free) targets;
//   2. the FAT entries of the copies are written: each copy links on as its
//      source did (into the copy of the next cluster when that moves too),
//      and nothing links to a copy yet;
//   3. the folder sectors that change (entries starting a moved chain, the
//      "." of a moved folder at its new place, the ".." of its subfolders),
//      then the boot sector when the FAT32 root moved;
//   4. the FAT entries before moved clusters, which now name the copies;
//   5. the sources are freed in the FAT.
// FAT sectors go to every copy, the first copy last. A cut at any write
// (or a disk that reorders the writes between two flushes) leaves every
// file whole on its old clusters or on its new ones, and nothing worse
// than: clusters no entry reaches (copies not yet linked, or sources not
// yet freed), FAT copies a step apart, and a moved folder whose "." or
// whose subfolders' ".." still name its old first cluster (step 3 writes
// the parent's entry and the folder's own sectors in sector order, and the
// ".." of a subfolder cannot change together with its parent's entry).
// The recovery at the next disk scan finds the mark and completes the run
// (CompleteInterruptedMove): it frees what no entry reaches, sets every
// folder's dots and writes the first FAT to every copy, so the volume is
// clean again. The protected update's own first and last writes (the first
// FAT marked while the entry still has its type) are cleared by the scan
// too. Without safe mode the FAT and the folders are written once at the
// end.
//
// Dry run: the moves are planned and relinked in memory only; nothing is
// read or written, and the volume re-reads its state at the end.
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/statemap.h"
#include "engine/fat/fat_blocks.h"
#include "engine/fat/fat_mover.h"

#include <cstdint>
#include <memory>
#include <vector>

class FAT_FILESYSTEM;

namespace kw::fat {

// "The cluster alignment map is invalid": a free or bad source, a target out
// of range, two moves into one target, or a target held by a cluster that
// does not move.
inline constexpr kwRet ERR_FAT_MOVE_MAP_INVALID = 2020;
// Moves remain that no sweep can do.
inline constexpr kwRet ERR_MOVE_STALLED = 713;

// What a run did, for logs and tests.
struct MOVE_STATS {
    uint32_t total = 0;        // moves in the map at the start
    uint32_t direct = 0;       // clusters copied straight to their targets
    uint32_t viaTemporary = 0; // clusters that went through a temporary first
    uint32_t cycles = 0;       // cycles found in the map
    uint32_t longestChain = 0; // longest chain of moves (or cycle) in the map
    uint32_t batches = 0;
};

class EXECUTOR_FAT {
public:
    explicit EXECUTOR_FAT(FAT_FILESYSTEM* volume);
    ~EXECUTOR_FAT();
    EXECUTOR_FAT(const EXECUTOR_FAT&) = delete;
    EXECUTOR_FAT& operator=(const EXECUTOR_FAT&) = delete;

    // Carries out the map (sized for the volume: its last cluster + 1
    // entries). 0 at once for an empty map. ERR_BAD_ARGUMENT for a null or
    // missized map or an uninitialised volume; ERR_WRITE_PROTECTED (unless
    // dry); ERR_FAT_MOVE_MAP_INVALID before anything is written; ERR_FAT_NO_SPACE
    // when a cycle finds no free cluster to break it; ERR_MOVE_STALLED; 7 when
    // the user cancels (between batches, the volume whole, the marks of safe
    // mode off). Disk codes end it at once; in safe mode what was committed
    // stays so, and the marks stay for the recovery.
    kwRet Execute(MOVE_MAP* map, bool safe, bool dry);

    // The map's faults (ERR_FAT_MOVE_MAP_INVALID, each logged) and its
    // chains and cycles, measured into the stats. Nothing is changed.
    kwRet CheckMapIntegrity(uint32_t highest);

    const MOVE_STATS& Stats() const { return stats_; }

private:
    struct Job {
        uint32_t source = 0;
        uint32_t dest = 0;        // where the data goes in this batch
        uint32_t finalTarget = 0; // != dest: dest is a temporary
        uint32_t predecessor = 0; // in the FAT before the batch; 0: a chain head
    };

    kwRet prepare(bool dry);
    kwRet queueDirect(uint32_t* cursor);
    kwRet queueCycleBreaks();
    kwRet runBatch(bool safe, bool dry);
    kwRet linkCopies();
    kwRet switchReferences();
    kwRet freeSources();
    kwRet commitFat(bool safe, bool dry);
    kwRet commitFolders(bool safe, bool dry);
    kwRet finish(kwRet rc, bool safe, bool dry);
    bool ownProtect_ = false; // this run marked the partition's entry
    uint32_t destOf(uint32_t cluster) const;

    FAT_FILESYSTEM* volume_;
    MOVE_MAP* moveMap_ = nullptr;
    STATE_MAP movedBmp_;  // sources of the batch
    STATE_MAP targetBmp_; // every target still in the map
    std::unique_ptr<Mover> mover_;
    std::vector<Job> batch_;
    bool rootMoved_ = false;
    bool changed_ = false;
    uint32_t highest_ = 0;
    MOVE_STATS stats_;
};

// The "." entry of a folder (by its first cluster) and the ".." entry of
// each of its subfolders name that cluster, in the volume's directory cache
// (changed sectors flagged, nothing written). The walk over the folder's
// chain is bounded by the volume's clusters.
kwRet FixFolderDots(FAT_FILESYSTEM* volume, uint32_t folder);

// Completes a move that was cut off, on a volume whose FAT copy 0 is taken
// as it is: every file is whole there, on its old or its new clusters (see
// safe mode above). Clusters that no directory entry reaches are freed, the
// dots of every folder name their folders, and the whole FAT is written to
// every copy. The entry's marks are left to the caller. Codes of reading and
// writing the volume; ERR_FAT_INVALID_ENTRIES for a volume whose chains are
// damaged (nothing written then).
kwRet CompleteInterruptedMove(FAT_FILESYSTEM* volume, uint32_t* freed);

} // namespace kw::fat
