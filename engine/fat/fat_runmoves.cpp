// RelinkCopiedRuns: the chains and entries of clusters a caller copied
// follow them to their copies.
#include "engine/fat/fat_runmoves.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kw::fat {

namespace {

// The clusters of a run list, in order; false when a run does not start on
// a cluster or is not whole clusters, or the walk does not end.
bool RunClusters(const FAT_BOOT_RECORD& b, const SECTOR_RUN* run, std::vector<uint32_t>* out) {
    for (uint32_t guard = 0; run != nullptr; run = run->next, ++guard) {
        if (guard > b.clusterCount || run->firstSector < b.FirstDataSector() ||
            (run->firstSector - b.FirstDataSector()) % b.sectorsPerCluster != 0 ||
            run->sectorCount % b.sectorsPerCluster != 0)
            return false;
        uint32_t first = b.SectorToCluster(run->firstSector);
        for (uint32_t k = 0; k < run->sectorCount / b.sectorsPerCluster; ++k) {
            if (!b.IsDataCluster(first + k))
                return false;
            out->push_back(first + k);
        }
    }
    return true;
}

// The moves of paired runs as a move map. A destination must be free or a
// cluster that moves itself; two sources may not share one.
kwRet PlanRunMoves(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, const SECTOR_RUN* sources,
                   const SECTOR_RUN* destinations, MOVE_MAP* map) {
    std::vector<uint32_t> from, to;
    if (!RunClusters(b, sources, &from) || !RunClusters(b, destinations, &to) ||
        from.size() != to.size())
        return ERR_BAD_ARGUMENT;
    STATE_MAP source, taken;
    if (source.Create(b.LastCluster() + 1, false) != KW_OK ||
        taken.Create(b.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (size_t i = 0; i < from.size(); ++i) {
        source.SetBit(from[i]);
        uint32_t v = fat.GetNextCluster(from[i]);
        if (from[i] == to[i] && v != 0 && v != FAT_BAD) // it stays: its place is its own
            taken.SetBit(from[i]);
    }
    for (size_t i = 0; i < from.size(); ++i) {
        uint32_t s = from[i], d = to[i], v = fat.GetNextCluster(s);
        if (v == 0 || v == FAT_BAD || s == d)
            continue; // nothing to carry
        uint32_t held = fat.GetNextCluster(d);
        if (taken.IsSet(d) || held == FAT_BAD || (held != 0 && !source.IsSet(d))) {
            DbgPrintf("Resize - destination cluster %lu is in use\r\n",
                      static_cast<unsigned long>(d));
            return ERR_MOVE_STALLED;
        }
        taken.SetBit(d);
        if (kwRet rc = map->SetTarget(s, d); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The relinking of one set of copied clusters: the pairs, and the FAT as it
// was before (links and predecessors).
class Relink {
public:
    Relink(FAT_FILESYSTEM* fs, MOVE_MAP* map) : fs_(fs), b_(*fs->GetBootRecord()), map_(map) {}
    kwRet Run();

private:
    kwRet snapshot();
    uint32_t placeOf(uint32_t value) const;
    kwRet linkCopies(bool sourcesToo);
    kwRet switchAndFree();
    kwRet rewriteFolders();

    FAT_FILESYSTEM* fs_;
    const FAT_BOOT_RECORD b_;
    MOVE_MAP* map_;
    std::vector<std::pair<uint32_t, uint32_t>> pairs_; // source, destination
    std::vector<uint32_t> oldNext_, predecessor_;
    STATE_MAP source_, target_;
};

kwRet Relink::snapshot() {
    if (source_.Create(b_.LastCluster() + 1, false) != KW_OK ||
        target_.Create(b_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    FAT_BLOCKS& fat = *fs_->GetFat();
    std::unordered_map<uint32_t, size_t> index;
    for (uint32_t s = map_->FindNextUsed(2); s <= b_.LastCluster(); s = map_->FindNextUsed(s + 1)) {
        uint32_t d = map_->GetTarget(s);
        index[s] = pairs_.size();
        pairs_.emplace_back(s, d);
        oldNext_.push_back(fat.GetNextCluster(s));
        source_.SetBit(s);
        target_.SetBit(d);
    }
    // The predecessors in one pass over the FAT.
    predecessor_.assign(pairs_.size(), 0);
    for (uint32_t c = 2; c <= b_.LastCluster(); ++c) {
        uint32_t v = fat.GetNextCluster(c);
        if (b_.IsDataCluster(v) && source_.IsSet(v))
            predecessor_[index[v]] = c;
    }
    return KW_OK;
}

// Where a link now leads: the copy of a moved cluster.
uint32_t Relink::placeOf(uint32_t value) const {
    return b_.IsDataCluster(value) && source_.IsSet(value) ? map_->GetTarget(value) : value;
}

// The copies take their sources' links; the first pass only the copies on
// free clusters, the second those on clusters that moved away.
kwRet Relink::linkCopies(bool sourcesToo) {
    FAT_BLOCKS& fat = *fs_->GetFat();
    for (size_t i = 0; i < pairs_.size(); ++i)
        if (source_.IsSet(pairs_[i].second) == sourcesToo)
            if (kwRet rc = fat.SetNextCluster(pairs_[i].second, placeOf(oldNext_[i])); rc != KW_OK)
                return rc;
    return KW_OK;
}

// Links before the copies name them; sources no copy took are freed. (A
// freed cluster marks what it linked to as a chain head in the FAT's map:
// setting the copies' links again puts that right.)
kwRet Relink::switchAndFree() {
    FAT_BLOCKS& fat = *fs_->GetFat();
    kwRet rc = linkCopies(true);
    for (size_t i = 0; rc == KW_OK && i < pairs_.size(); ++i) {
        uint32_t p = predecessor_[i];
        if (p != 0 && !source_.IsSet(p))
            rc = fat.SetNextCluster(p, pairs_[i].second);
    }
    for (size_t i = 0; rc == KW_OK && i < pairs_.size(); ++i)
        if (!target_.IsSet(pairs_[i].first))
            rc = fat.SetNextCluster(pairs_[i].first, 0);
    for (size_t i = 0; rc == KW_OK && i < pairs_.size(); ++i)
        rc = fat.SetNextCluster(pairs_[i].second, fat.GetNextCluster(pairs_[i].second));
    return rc;
}

// The folders read again along the new chains, their entries (and the
// FAT32 root cluster) naming the copies, the dots of moved folders fixed;
// written, folders first.
kwRet Relink::rewriteFolders() {
    FAT_DIR_BLOCKS* dirs = nullptr;
    kwRet rc = fs_->LoadDirBlocks(map_, &dirs);
    for (size_t i = 0; rc == KW_OK && i < pairs_.size(); ++i)
        if (predecessor_[i] == 0 && dirs->DirClusters().IsSet(pairs_[i].second))
            rc = FixFolderDots(fs_, pairs_[i].second);
    if (rc == KW_OK)
        rc = dirs->WriteDirectory(false);
    if (rc == KW_OK && fs_->GetPI() != nullptr && fs_->GetPI()->disk != nullptr)
        rc = phyFlush(fs_->GetPI()->disk);
    if (rc == KW_OK && b_.IsFat32() && fs_->GetBootRecord()->rootCluster != b_.rootCluster)
        rc = fs_->WriteBootSector();
    return rc;
}

kwRet Relink::Run() {
    kwRet rc = snapshot();
    if (rc != KW_OK || pairs_.empty())
        return rc;
    if ((rc = fs_->PrepareChange()) != KW_OK)
        return rc;
    rc = fs_->BeginProtectedUpdate(FAT_MARK_MOVING);
    bool marked = rc == KW_OK && fs_->IsTypeSwitched();
    if (rc == KW_OK)
        rc = linkCopies(false);
    if (rc == KW_OK)
        rc = fs_->FlushFat();
    if (rc == KW_OK)
        rc = switchAndFree();
    if (rc == KW_OK)
        rc = rewriteFolders();
    if (rc == KW_OK)
        rc = fs_->FlushFat();
    // A run cut short keeps the marks: the recovery completes it.
    if (rc == KW_OK && marked)
        rc = fs_->EndProtectedUpdate();
    return rc;
}

} // namespace

kwRet RelinkCopiedRuns(FAT_FILESYSTEM* fs, const SECTOR_RUN* sources,
                       const SECTOR_RUN* destinations) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr || sources == nullptr || destinations == nullptr)
        return ERR_BAD_ARGUMENT;
    auto map = std::unique_ptr<MOVE_MAP>(new MOVE_MAP(b->LastCluster() + 1));
    if (map == nullptr || !map->IsLoaded())
        return ERR_NO_MEMORY;
    kwRet rc = PlanRunMoves(*b, *fs->GetFat(), sources, destinations, map.get());
    if (rc != KW_OK)
        return rc;
    Relink relink(fs, map.get());
    rc = relink.Run();
    if (rc != KW_OK) {
        fs->DropDirBlocks();
        fs->ReReadState();
    }
    return rc;
}

} // namespace kw::fat
