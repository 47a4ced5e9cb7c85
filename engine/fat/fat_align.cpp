#include "engine/fat/fat_align.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"

#include <algorithm>
#include <memory>
#include <new>

namespace kw::fat {

namespace {

constexpr uint32_t kMsgAligningData = 412;
constexpr uint32_t kPhases = 64;
constexpr uint32_t kMaxRatio = 128;

// The grid of new clusters over the old cluster numbers: group g holds the
// old clusters phase + 2 + g * r up to r of them; `groups` whole groups fit
// below the last usable cluster.
struct Grid {
    uint32_t r = 0;
    uint32_t phase = 0;
    uint32_t groups = 0;

    bool InGrid(uint32_t c) const { return c >= phase + 2; }
    bool Starts(uint32_t c) const { return InGrid(c) && (c - phase - 2) % r == 0; }
    uint32_t GroupOf(uint32_t c) const { return (c - phase - 2) / r; }
    uint32_t Offset(uint32_t c) const { return (c - phase - 2) % r; }
    uint32_t First(uint32_t g) const { return g * r + phase + 2; }
};

// Old clusters per new cluster; 0 unless newSpc is a larger power-of-two
// multiple of the old size (at most 128 times).
uint32_t Ratio(const FAT_BOOT_RECORD& b, uint32_t newSpc) {
    uint32_t s = b.sectorsPerCluster;
    if (s == 0 || newSpc <= s || newSpc % s != 0)
        return 0;
    uint32_t r = newSpc / s;
    return (r & (r - 1)) == 0 && r <= kMaxRatio ? r : 0;
}

// The grid for a phase and a last usable cluster; false for arguments no
// grid has.
bool MakeGrid(const FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t last,
              Grid* grid) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr || fs->GetFat() == nullptr || phase >= kPhases)
        return false;
    grid->r = Ratio(*b, newSpc);
    grid->phase = phase;
    last = std::min(last, b->LastCluster());
    grid->groups = grid->r != 0 && last >= phase + 2 ? (last - phase - 1) / grid->r : 0;
    return grid->r != 0;
}

// One chain in pieces of at most r clusters, from its head. Every cluster
// must be a data cluster that no walk sharing `seen` met before; a chain
// that breaks that rule (a loop, two chains joined, a link to a free
// cluster) ends the walk as faulty.
class ChunkWalk {
public:
    ChunkWalk(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, STATE_MAP& seen, uint32_t head,
              uint32_t r)
        : b_(b), fat_(fat), seen_(seen), next_(head), r_(r) {}

    // The next piece into chunk[0..*count); false at the end of the chain.
    bool Next(uint32_t* chunk, uint32_t* count) {
        *count = 0;
        while (*count < r_ && next_ != 0) {
            uint32_t c = next_;
            uint32_t v = b_.IsDataCluster(c) && !seen_.IsSet(c) ? fat_.GetNextCluster(c) : 0;
            if (v == 0 || v == FAT_BAD) {
                faulty_ = true;
                next_ = 0;
                break;
            }
            seen_.SetBit(c);
            chunk[(*count)++] = c;
            next_ = v >= FAT_EOC ? 0 : v;
        }
        return *count != 0;
    }
    bool Faulty() const { return faulty_; }

private:
    const FAT_BOOT_RECORD& b_;
    const FAT_BLOCKS& fat_;
    STATE_MAP& seen_;
    uint32_t next_;
    uint32_t r_;
    bool faulty_ = false;
};

// The first cluster wholly at or above a sector, and the last one wholly
// below an end sector, in old numbering.
uint32_t ClusterAtOrAbove(const FAT_BOOT_RECORD& b, uint32_t sector) {
    uint32_t first = b.FirstDataSector();
    return sector <= first ? 2
                           : (sector - first + b.sectorsPerCluster - 1) / b.sectorsPerCluster + 2;
}

uint32_t LastClusterBelow(const FAT_BOOT_RECORD& b, uint32_t end) {
    uint32_t first = b.FirstDataSector();
    uint32_t whole = end > first ? (end - first) / b.sectorsPerCluster : 0;
    return std::min(whole + 1, b.LastCluster());
}

// New cluster 2 must start where a group of old clusters does.
bool OnGrid(const FAT_BOOT_RECORD& b, uint32_t newSpc, uint32_t phase,
            uint32_t newFirstDataSector) {
    int64_t shift =
        int64_t{newFirstDataSector} - b.FirstDataSector() - int64_t{b.sectorsPerCluster} * phase;
    if (shift % int64_t{newSpc} == 0)
        return true;
    DbgPrintf("AlignClusters - data sector %u is off the grid of phase %u\n", newFirstDataSector,
              phase);
    return false;
}

// The planner's state: which groups are taken and which may not be used.
class AlignPlanner {
public:
    AlignPlanner(FAT_FILESYSTEM* fs, const Grid& grid, MOVE_MAP* map)
        : b_(*fs->GetBootRecord()), fat_(*fs->GetFat()), grid_(grid), map_(map) {}

    kwRet Block(uint32_t firstCluster);
    kwRet Pass(bool claim, Progress* progress);

private:
    bool Available(uint32_t p) const {
        return grid_.Starts(p) && grid_.GroupOf(p) < grid_.groups &&
               !blocked_.IsSet(grid_.GroupOf(p));
    }
    kwRet Place(const uint32_t* chunk, uint32_t count, uint32_t base);
    kwRet TakeFreeGroup(uint32_t* group);

    const FAT_BOOT_RECORD& b_;
    const FAT_BLOCKS& fat_;
    Grid grid_;
    MOVE_MAP* map_;
    STATE_MAP used_;
    STATE_MAP blocked_;
    uint32_t cursor_ = 0; // no group below it is free
};

// Groups with a bad cluster, and groups that reach below the new data
// area, are never used. A bad cluster below the new data area lies in the
// new system area.
kwRet AlignPlanner::Block(uint32_t firstCluster) {
    uint32_t bits = std::max(grid_.groups, 1u);
    if (used_.Create(bits, false) != KW_OK || blocked_.Create(bits, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t c = fat_.FindNextBad(2); c <= b_.LastCluster(); c = fat_.FindNextBad(c + 1)) {
        if (c < firstCluster) {
            DbgPrintf("BuildAlignmentMap - bad cluster %u in the new system area\n", c);
            return ERR_BAD_SECTOR_IN_FS;
        }
        if (grid_.InGrid(c) && grid_.GroupOf(c) < grid_.groups)
            blocked_.SetBit(grid_.GroupOf(c));
    }
    for (uint32_t g = 0; g < grid_.groups && grid_.First(g) < firstCluster; ++g)
        blocked_.SetBit(g);
    return KW_OK;
}

// The piece goes to the clusters from `base` on; those already there stay.
kwRet AlignPlanner::Place(const uint32_t* chunk, uint32_t count, uint32_t base) {
    for (uint32_t k = 0; k < count; ++k)
        if (chunk[k] != base + k)
            if (kwRet rc = map_->SetTarget(chunk[k], base + k); rc != KW_OK)
                return rc;
    return KW_OK;
}

kwRet AlignPlanner::TakeFreeGroup(uint32_t* group) {
    while (cursor_ < grid_.groups && (used_.IsSet(cursor_) || blocked_.IsSet(cursor_)))
        ++cursor_;
    if (cursor_ >= grid_.groups)
        return ERR_FAT_NO_SPACE;
    used_.SetBit(cursor_);
    *group = cursor_;
    return KW_OK;
}

// Claim pass: each piece that starts an available group keeps it and the
// rest of the piece moves in behind its start. Placing pass: every other
// piece goes to the first group still free.
kwRet AlignPlanner::Pass(bool claim, Progress* progress) {
    STATE_MAP seen;
    if (seen.Create(b_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    uint32_t chunk[kMaxRatio];
    uint32_t count = 0, heads = 0, total = fat_.CountChains();
    for (uint32_t h = fat_.FindNextChainHead(2); h <= b_.LastCluster();
         h = fat_.FindNextChainHead(h + 1)) {
        ChunkWalk walk(b_, fat_, seen, h, grid_.r);
        while (walk.Next(chunk, &count)) {
            uint32_t group = 0;
            kwRet rc = KW_OK;
            if (Available(chunk[0]) == claim) {
                if (claim)
                    used_.SetBit(grid_.GroupOf(chunk[0]));
                else
                    rc = TakeFreeGroup(&group);
                if (rc == KW_OK)
                    rc = Place(chunk, count, claim ? chunk[0] : grid_.First(group));
            }
            if (rc != KW_OK)
                return rc;
        }
        if (walk.Faulty()) {
            DbgPrintf("BuildAlignmentMap - the chain from cluster %u is broken\n", h);
            return ERR_FAT_INVALID_ENTRIES;
        }
        if (++heads % 1024 == 0)
            if (kwRet rc = progress->UpdateCount(heads, total); rc != KW_OK)
                return rc;
    }
    return KW_OK;
}

// Each chain in pieces of r clusters: a piece fills one usable group from
// its start, in order. The faults, each logged.
uint32_t ChainFaults(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, const Grid& grid) {
    STATE_MAP seen;
    if (seen.Create(b.LastCluster() + 1, false) != KW_OK)
        return 1;
    uint32_t faults = 0, chunk[kMaxRatio], count = 0;
    for (uint32_t h = fat.FindNextChainHead(2); h <= b.LastCluster();
         h = fat.FindNextChainHead(h + 1)) {
        ChunkWalk walk(b, fat, seen, h, grid.r);
        for (uint32_t index = 0; walk.Next(chunk, &count); index += count) {
            for (uint32_t k = 0; k < count; ++k) {
                uint32_t p = chunk[k];
                if (!grid.InGrid(p) || grid.Offset(p) != k || (k != 0 && p != chunk[k - 1] + 1)) {
                    DbgPrintf("IsDataAligned - Cluster %d (Start = %d Index = %d) not aligned\n", p,
                              h, index + k);
                    ++faults;
                } else if (grid.GroupOf(p) >= grid.groups) {
                    DbgPrintf("IsDataAligned - Cluster %d value too big\n", p);
                    ++faults;
                }
            }
        }
        if (walk.Faulty()) {
            DbgPrintf("IsDataAligned - the chain from cluster %u is broken\n", h);
            ++faults;
        }
    }
    return faults;
}

// Every group with a bad cluster (from firstCluster below lastCluster)
// holds nothing but free and bad clusters. The faults, each logged.
uint32_t BadGroupFaults(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, const Grid& grid,
                        uint32_t firstCluster, uint32_t lastCluster) {
    uint32_t faults = 0, end = std::min(lastCluster, b.LastCluster());
    for (uint32_t c = fat.FindNextBad(std::max(firstCluster, 2u)); c < end;
         c = fat.FindNextBad(c + 1)) {
        if (!grid.InGrid(c) || grid.GroupOf(c) >= grid.groups)
            continue;
        for (uint32_t q = grid.First(grid.GroupOf(c)), k = 0; k < grid.r; ++k, ++q) {
            uint32_t v = fat.GetNextCluster(q);
            if (v != 0 && v != FAT_BAD) {
                DbgPrintf("IsDataAligned - BAD Cluster %d not marked as BAD\n", q);
                ++faults;
            }
        }
    }
    return faults;
}

} // namespace

uint32_t ChooseAlignmentShift(FAT_FILESYSTEM* fs, uint32_t newSpc) {
    Grid grid;
    STATE_MAP seen;
    if (!MakeGrid(fs, newSpc, 0, UINT32_MAX, &grid))
        return 0;
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    const FAT_BLOCKS& fat = *fs->GetFat();
    if (seen.Create(b.LastCluster() + 1, false) != KW_OK)
        return 0;
    uint64_t counters[kMaxRatio] = {};
    uint32_t chunk[kMaxRatio];
    uint32_t count = 0;
    for (uint32_t h = fat.FindNextChainHead(2); h <= b.LastCluster();
         h = fat.FindNextChainHead(h + 1)) {
        ChunkWalk walk(b, fat, seen, h, grid.r);
        while (walk.Next(chunk, &count)) {
            uint32_t p = chunk[0], phase = (p - 2) % grid.r;
            if (phase > b.clusterCount ||
                (p - phase - 2) / grid.r >= (b.clusterCount - phase) / grid.r)
                continue; // no whole group there
            uint32_t inPlace = 1;
            for (uint32_t k = 1; k < count; ++k)
                inPlace += chunk[k] == p + k ? 1 : 0;
            counters[phase] += inPlace;
        }
    }
    uint32_t best = 0;
    for (uint32_t phase = 1; phase < kPhases; ++phase)
        if (counters[phase] > counters[best])
            best = phase;
    return best;
}

kwRet BuildAlignmentMap(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                        uint32_t lastCluster) {
    Grid grid;
    if (!MakeGrid(fs, newSpc, phase, lastCluster, &grid))
        return ERR_BAD_ARGUMENT;
    auto* map = new MOVE_MAP(fs->GetBootRecord()->LastCluster() + 1);
    if (map == nullptr || !map->IsLoaded()) {
        delete map;
        return ERR_NO_MEMORY;
    }
    fs->SetMoveMap(map);
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr) {
        fs->SetMoveMap(nullptr);
        return ERR_NO_MEMORY;
    }
    AlignPlanner planner(fs, grid, map);
    progress->SetRange(0, 10);
    kwRet rc = planner.Block(std::max(firstCluster, 2u));
    if (rc == KW_OK) {
        progress->NextRange(40);
        rc = planner.Pass(true, progress.get());
    }
    if (rc == KW_OK) {
        progress->NextRange(100);
        rc = planner.Pass(false, progress.get());
    }
    if (rc == ERR_FAT_NO_SPACE)
        DbgPrintf("BuildAlignmentMap - no free group left for the data\n");
    kwRet done = progress->Done();
    rc = rc != KW_OK ? rc : done;
    if (rc != KW_OK)
        fs->SetMoveMap(nullptr); // no half plan is ever carried out
    else
        DbgPrintf("BuildAlignmentMap - %u clusters to move\n", map->CountMoves());
    return rc;
}

bool IsDataAligned(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase, uint32_t firstCluster,
                   uint32_t lastCluster) {
    Grid grid;
    if (!MakeGrid(fs, newSpc, phase, lastCluster, &grid))
        return false;
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    const FAT_BLOCKS& fat = *fs->GetFat();
    uint32_t faults = ChainFaults(b, fat, grid);
    for (uint32_t c = fat.FindNextUsed(2); c < firstCluster && c <= b.LastCluster();
         c = fat.FindNextUsed(c + 1)) {
        DbgPrintf("IsDataAligned - Cluster %d found in vacated region\n", c);
        ++faults;
    }
    return faults + BadGroupFaults(b, fat, grid, firstCluster, lastCluster) == 0;
}

kwRet AlignClusters(FAT_FILESYSTEM* fs, uint32_t newSpc, uint32_t phase,
                    uint32_t newFirstDataSector, uint32_t newEndSector, uint32_t* rootCluster) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr)
        return ERR_BAD_ARGUMENT;
    if (newSpc == b->sectorsPerCluster)
        return KW_OK; // nothing to align
    Grid grid;
    if (!MakeGrid(fs, newSpc, phase, UINT32_MAX, &grid) || newEndSector <= newFirstDataSector ||
        !OnGrid(*b, newSpc, phase, newFirstDataSector))
        return ERR_BAD_ARGUMENT;
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    progress->SetTextId(kMsgAligningData);
    progress->SetRange(0, 10);
    uint32_t first = ClusterAtOrAbove(*b, newFirstDataSector);
    uint32_t last = LastClusterBelow(*b, newEndSector);
    kwRet rc = fs->PrepareChange();
    if (rc == KW_OK)
        rc = BuildAlignmentMap(fs, newSpc, phase, first, last);
    MOVE_MAP* map = fs->GetMoveMap();
    if (rc == KW_OK && rootCluster != nullptr && b->IsDataCluster(*rootCluster) &&
        map->GetTarget(*rootCluster) != 0)
        *rootCluster = map->GetTarget(*rootCluster);
    if (rc == KW_OK) {
        progress->NextRange(100);
        fs->SetMoveInProgress(true);
        EXECUTOR_FAT executor(fs);
        rc = executor.Execute(map, true, false);
        fs->SetMoveInProgress(false);
    }
    fs->SetMoveMap(nullptr);
    if (rc == KW_OK && !IsDataAligned(fs, newSpc, phase, first, last)) {
        DbgPrintf("Cluster alignment was not successful\r\n");
        rc = ERR_FAT_NOT_ALIGNED;
    }
    kwRet done = progress->Done();
    return rc != KW_OK ? rc : done;
}

} // namespace kw::fat
