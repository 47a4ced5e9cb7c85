#include "engine/fat/fat_move.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kw::fat {

namespace {

constexpr uint32_t kEntriesPerSector = FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE;
constexpr uint32_t kMsgProcessingBatch = 288;

uint32_t StartOf(const uint8_t* e, bool fat32) {
    uint32_t low = kwbytes::LoadLe16(e + FDE_CLUSTER_LOW);
    return fat32 ? low | uint32_t{kwbytes::LoadLe16(e + FDE_CLUSTER_HIGH)} << 16 : low;
}

void SetStart(uint8_t* e, uint32_t cluster, bool fat32) {
    kwbytes::StoreLe16(e + FDE_CLUSTER_LOW, static_cast<uint16_t>(cluster));
    if (fat32)
        kwbytes::StoreLe16(e + FDE_CLUSTER_HIGH, static_cast<uint16_t>(cluster >> 16));
}

bool IsSubfolder(const uint8_t* e) {
    return e[0] != 0 && e[0] != FAT_DELETED && e[0] != '.' && e[FDE_ATTR] != FAT_ATTR_LFN &&
           (e[FDE_ATTR] & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME)) == FAT_ATTR_DIRECTORY;
}

kwRet SetDotEntry(FAT_DIR_BLOCKS* dirs, uint32_t sector, uint32_t index, const char* name,
                  uint32_t cluster, bool fat32) {
    BLOCK_ENTRY* b = nullptr;
    if (dirs->FindBlock(sector, &b) != KW_OK || b->data == nullptr)
        return KW_OK;
    uint8_t* e = b->data + index * FAT_DIR_ENTRY_SIZE;
    if (std::memcmp(e, name, 11) != 0 || StartOf(e, fat32) == cluster)
        return KW_OK;
    SetStart(e, cluster, fat32);
    return dirs->MarkChanged(sector);
}

kwRet Flush(FAT_FILESYSTEM* fs) {
    PARTITION_INFO* pi = fs->GetPI();
    return pi != nullptr && pi->disk != nullptr ? phyFlush(pi->disk) : KW_OK;
}

} // namespace

EXECUTOR_FAT::EXECUTOR_FAT(FAT_FILESYSTEM* volume) : volume_(volume) {}

EXECUTOR_FAT::~EXECUTOR_FAT() = default;

kwRet EXECUTOR_FAT::CheckMapIntegrity(uint32_t h) {
    const FAT_BLOCKS* fat = volume_->GetFat();
    if (moveMap_ == nullptr || fat == nullptr) {
        DbgPrintf("EXECUTOR_FAT::CheckMapIntegrity - moveMap is NULL.\n");
        return ERR_BAD_ARGUMENT;
    }
    if (targetBmp_.Create(h + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t c = moveMap_->FindNextUsed(2); c <= h; c = moveMap_->FindNextUsed(c + 1)) {
        uint32_t t = moveMap_->GetTarget(c), v = fat->GetNextCluster(c);
        const char* fault = nullptr;
        if (v == 0 || v == FAT_BAD)
            fault = "CheckMapIntegrity - Cluster %d scheduled to be moved (it is a free cluster)\n";
        else if (t < 2 || t > h)
            fault = "CheckMapIntegrity - Cluster %d scheduled to be moved beyond last cluster\n";
        if (fault != nullptr) {
            DbgPrintf(fault, c);
            return ERR_FAT_MOVE_MAP_INVALID;
        }
        if (targetBmp_.IsSet(t)) {
            DbgPrintf("CheckMapIntegrity - Cluster %d is destination for more than one move\n", t);
            return ERR_FAT_MOVE_MAP_INVALID;
        }
        targetBmp_.SetBit(t);
        if (fat->GetNextCluster(t) != 0 && moveMap_->GetTarget(t) == 0) {
            DbgPrintf("CheckMapIntegrity - Target cluster %d is occupied and is not scheduled for "
                      "a move\n",
                      t);
            return ERR_FAT_MOVE_MAP_INVALID;
        }
    }
    // Chains run from a source no move targets; what no chain reaches lies
    // on cycles.
    STATE_MAP seen;
    if (seen.Create(h + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t c = moveMap_->FindNextUsed(2); c <= h; c = moveMap_->FindNextUsed(c + 1)) {
            if (seen.IsSet(c) || (pass == 0 && targetBmp_.IsSet(c)))
                continue;
            uint32_t n = 0;
            for (uint32_t x = c; x != 0 && !seen.IsSet(x); x = moveMap_->GetTarget(x), ++n)
                seen.SetBit(x);
            stats_.longestChain = std::max(stats_.longestChain, n);
            stats_.cycles += pass;
        }
    }
    if (stats_.cycles != 0)
        DbgPrintf("CheckMapIntegrity - Move map contains %d looping chains\n", stats_.cycles);
    return KW_OK;
}

kwRet EXECUTOR_FAT::prepare(bool dry) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot == nullptr || moveMap_->GetEntryCount() != boot->LastCluster() + 1)
        return ERR_BAD_ARGUMENT;
    highest_ = boot->LastCluster();
    if (!dry && volume_->IsReadOnly())
        return ERR_WRITE_PROTECTED;
    // A cluster that "moves" onto itself stays.
    for (uint32_t c = moveMap_->FindNextUsed(2); c <= highest_; c = moveMap_->FindNextUsed(c + 1))
        if (moveMap_->GetTarget(c) == c)
            moveMap_->SetTarget(c, 0);
    // A FAT16 root in a chain is named by its DYN_ROOT sector, which no
    // batch rewrites: its first cluster stays.
    uint32_t root = boot->rootCluster;
    if (!boot->IsFat32() && root != 0 && root < moveMap_->GetEntryCount() &&
        moveMap_->GetTarget(root) != 0) {
        DbgPrintf("Execute - the chained root's first cluster %lu cannot move\n",
                  static_cast<unsigned long>(root));
        return ERR_FAT_MOVE_MAP_INVALID;
    }
    kwRet rc = dry ? KW_OK : volume_->PrepareChange();
    FAT_DIR_BLOCKS* dirs = nullptr;
    if (rc == KW_OK)
        rc = volume_->LoadDirBlocks(nullptr, &dirs);
    if (rc == KW_OK)
        rc = CheckMapIntegrity(highest_);
    if (rc == KW_OK && movedBmp_.Create(highest_ + 1, false) != KW_OK)
        rc = ERR_NO_MEMORY;
    if (rc != KW_OK)
        return rc;
    mover_.reset(new Mover(volume_->GetHandle(), boot->BytesPerCluster()));
    if (mover_ == nullptr)
        return ERR_NO_MEMORY;
    rc = mover_->Init(stats_.total);
    if (rc == KW_OK) {
        DbgPrintf("Execute - QueueSize = %d\n", mover_->GetMaxJobs());
        DbgPrintf("Execute - Longest Move Chain = %d\n", stats_.longestChain);
    }
    return rc;
}

// Moves whose target is free, from the cursor on, as many as the queue
// takes; the cursor stops at the first one that did not fit.
kwRet EXECUTOR_FAT::queueDirect(uint32_t* cursor) {
    const FAT_BLOCKS* fat = volume_->GetFat();
    uint32_t c = moveMap_->FindNextUsed(*cursor);
    for (; c <= highest_; c = moveMap_->FindNextUsed(c + 1)) {
        uint32_t t = moveMap_->GetTarget(c);
        if (fat->GetNextCluster(t) != 0)
            continue;
        if (batch_.size() >= mover_->GetMaxJobs()) {
            *cursor = c;
            return KW_OK;
        }
        batch_.push_back(Job{c, t, t, 0});
    }
    *cursor = highest_ + 1;
    return KW_OK;
}

// When no target is free every remaining move lies on a cycle (a target
// held by a cluster that stays was refused at the start). One member of
// each cycle goes to a free cluster that no move targets.
kwRet EXECUTOR_FAT::queueCycleBreaks() {
    const FAT_BLOCKS* fat = volume_->GetFat();
    STATE_MAP seen;
    if (seen.Create(highest_ + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    uint32_t from = 2;
    for (uint32_t c = moveMap_->FindNextUsed(2);
         c <= highest_ && batch_.size() < mover_->GetMaxJobs(); c = moveMap_->FindNextUsed(c + 1)) {
        if (seen.IsSet(c))
            continue;
        for (uint32_t x = c; x != 0 && !seen.IsSet(x); x = moveMap_->GetTarget(x))
            seen.SetBit(x);
        uint32_t temporary = fat->FindNextFree(from);
        while (temporary <= highest_ && targetBmp_.IsSet(temporary))
            temporary = fat->FindNextFree(temporary + 1);
        if (temporary > highest_) {
            DbgPrintf("CheckMapIntegrity - No temp clusts available to break looping move "
                      "chain\n");
            return ERR_FAT_NO_SPACE;
        }
        from = temporary + 1;
        batch_.push_back(Job{c, temporary, moveMap_->GetTarget(c), 0});
    }
    return KW_OK;
}

uint32_t EXECUTOR_FAT::destOf(uint32_t cluster) const {
    auto it = std::lower_bound(batch_.begin(), batch_.end(), cluster,
                               [](const Job& j, uint32_t c) { return j.source < c; });
    return it != batch_.end() && it->source == cluster ? it->dest : 0;
}

kwRet EXECUTOR_FAT::commitFat(bool safe, bool dry) {
    if (dry || !safe)
        return KW_OK;
    return volume_->FlushFat();
}

// Folder sectors first, then the boot sector when the FAT32 root moved,
// then the FAT.
kwRet EXECUTOR_FAT::commitFolders(bool safe, bool dry) {
    if (dry || !safe)
        return KW_OK;
    kwRet rc = volume_->GetDirBlocks()->WriteDirectory(false);
    if (rc == KW_OK)
        rc = Flush(volume_);
    if (rc == KW_OK && rootMoved_)
        rc = volume_->WriteBootSector();
    rootMoved_ = rootMoved_ && rc != KW_OK;
    return rc == KW_OK ? commitFat(safe, dry) : rc;
}

// The copies take their sources' links (into the copies where the next
// cluster moves too). Nothing points at them yet.
kwRet EXECUTOR_FAT::linkCopies() {
    FAT_BLOCKS* fat = volume_->GetFat();
    for (const Job& j : batch_) {
        uint32_t v = fat->GetNextCluster(j.source);
        if (v >= 2 && v <= highest_ && movedBmp_.IsSet(v))
            v = destOf(v);
        if (kwRet rc = fat->SetNextCluster(j.dest, v); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Every reference to a moved cluster names its copy: the FAT entry before
// it, or, for the first cluster of a chain, the directory entries that
// start there (or the FAT32 root-cluster field). Folder clusters are
// renumbered in the directory cache first.
kwRet EXECUTOR_FAT::switchReferences() {
    const FAT_BOOT_RECORD& b = *volume_->GetBootRecord();
    FAT_BLOCKS* fat = volume_->GetFat();
    FAT_DIR_BLOCKS* dirs = volume_->GetDirBlocks();
    std::vector<uint32_t> movedFolders; // heads of folders, by index into the batch
    for (const Job& j : batch_)
        if (dirs->DirClusters().IsSet(j.source))
            if (kwRet rc = dirs->MoveDirCluster(j.source, j.dest, false); rc != KW_OK)
                return rc;
    for (size_t k = 0; k < batch_.size(); ++k) {
        const Job& j = batch_[k];
        if (j.predecessor != 0) {
            if (movedBmp_.IsSet(j.predecessor))
                continue; // the predecessor's copy links here already
            if (kwRet rc = fat->SetNextCluster(j.predecessor, j.dest); rc != KW_OK)
                return rc;
            continue;
        }
        if (b.IsFat32() && j.source == b.rootCluster) {
            volume_->SetRootCluster(j.dest);
            rootMoved_ = true;
            continue;
        }
        bool any = false;
        while (dirs->UpdateStartingCluster(j.source, j.dest) == KW_OK)
            any = true;
        if (!any)
            DbgPrintf("EXECUTOR_FAT - no entry starts at moved cluster %d\n", j.source);
        if (dirs->DirClusters().IsSet(j.dest))
            movedFolders.push_back(static_cast<uint32_t>(k));
    }
    for (uint32_t k : movedFolders)
        if (kwRet rc = FixFolderDots(volume_, batch_[k].dest); rc != KW_OK)
            return rc;
    return KW_OK;
}

// The sources are freed. Freeing a cluster marks what it linked to as a
// chain head in the FAT's map, though a copy links there now: setting the
// copy's link again puts that right.
kwRet EXECUTOR_FAT::freeSources() {
    FAT_BLOCKS* fat = volume_->GetFat();
    for (const Job& j : batch_)
        if (kwRet rc = fat->SetNextCluster(j.source, 0); rc != KW_OK)
            return rc;
    for (const Job& j : batch_)
        if (kwRet rc = fat->SetNextCluster(j.dest, fat->GetNextCluster(j.dest)); rc != KW_OK)
            return rc;
    return KW_OK;
}

kwRet EXECUTOR_FAT::runBatch(bool safe, bool dry) {
    const FAT_BOOT_RECORD& b = *volume_->GetBootRecord();
    FAT_BLOCKS* fat = volume_->GetFat();
    std::sort(batch_.begin(), batch_.end(),
              [](const Job& x, const Job& y) { return x.source < y.source; });
    for (Job& j : batch_) {
        movedBmp_.SetBit(j.source);
        j.predecessor = fat->FindPreviousCluster(j.source);
    }
    kwRet rc = KW_OK;
    if (!dry) {
        mover_->Clear();
        for (const Job& j : batch_)
            mover_->AddJob(b.ClusterToSector(j.source), b.ClusterToSector(j.dest));
        rc = mover_->ReadQueue();
        if (rc == KW_OK)
            rc = mover_->WriteTargets();
        if (rc == KW_OK)
            rc = Flush(volume_);
    }
    changed_ = changed_ || (rc == KW_OK && !dry);
    if (rc == KW_OK)
        rc = linkCopies();
    if (rc == KW_OK)
        rc = commitFat(safe, dry);
    if (rc == KW_OK)
        rc = switchReferences();
    if (rc == KW_OK)
        rc = commitFolders(safe, dry);
    if (rc == KW_OK)
        rc = freeSources();
    if (rc == KW_OK)
        rc = commitFat(safe, dry);
    for (const Job& j : batch_) {
        movedBmp_.ClearBit(j.source);
        if (rc != KW_OK)
            continue;
        moveMap_->SetTarget(j.source, 0);
        if (j.dest != j.finalTarget) {
            moveMap_->SetTarget(j.dest, j.finalTarget);
            ++stats_.viaTemporary;
        } else {
            targetBmp_.ClearBit(j.dest);
            ++stats_.direct;
        }
    }
    ++stats_.batches;
    return rc;
}

// Safe mode committed every batch; otherwise the FAT and the folders are
// written now. A failure in safe mode leaves memory ahead of the disk, and
// a dry run changed memory only: the volume reads its state again.
kwRet EXECUTOR_FAT::finish(kwRet rc, bool safe, bool dry) {
    if (rc == ERR_USER_CANCEL)
        DbgPrintf("Execute cancelled with %d out of %d clusters moved\n", stats_.direct,
                  stats_.total);
    if (!dry && !safe && changed_) {
        kwRet wr = volume_->GetDirBlocks()->WriteDirectory(false);
        if (wr == KW_OK && rootMoved_)
            wr = volume_->WriteBootSector();
        if (wr == KW_OK)
            wr = volume_->FlushFat();
        rc = rc != KW_OK ? rc : wr;
    }
    // A run cut short by a failure keeps the marks: the recovery completes
    // it. A cancel is heard only between batches, each of them committed:
    // the volume is whole, and the marks come off as after success.
    if (ownProtect_ && (rc == KW_OK || (safe && rc == ERR_USER_CANCEL))) {
        kwRet end = volume_->EndProtectedUpdate();
        rc = end != KW_OK ? end : rc;
    }
    ownProtect_ = false;
    if (dry || (safe && rc != KW_OK && changed_)) {
        volume_->DropDirBlocks();
        kwRet rr = volume_->ReReadState();
        rc = rc != KW_OK ? rc : rr;
    }
    mover_.reset();
    movedBmp_.Free();
    targetBmp_.Free();
    batch_.clear();
    return rc;
}

kwRet EXECUTOR_FAT::Execute(MOVE_MAP* map, bool safe, bool dry) {
    if (volume_ == nullptr || map == nullptr || !map->IsLoaded() ||
        volume_->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    moveMap_ = map;
    stats_ = MOVE_STATS{};
    uint32_t last = volume_->GetBootRecord()->LastCluster();
    stats_.total = map->CountUsedClusters(2, std::min(last, map->GetEntryCount() - 1));
    DbgPrintf("Execute - Total Clusters to be Moved = %d\n", stats_.total);
    if (stats_.total == 0)
        return KW_OK;
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    progress->SetTextId(kMsgProcessingBatch);
    kwRet rc = prepare(dry);
    // A caller's protected update carries other marks: "moving" joins them,
    // or the scan would leave a cut move half done.
    if (rc == KW_OK && safe && !dry && volume_->IsTypeSwitched())
        rc = volume_->AddProtectedMarks(FAT_MARK_MOVING);
    else if (rc == KW_OK && safe && !dry) {
        rc = volume_->BeginProtectedUpdate(FAT_MARK_MOVING);
        ownProtect_ = rc == KW_OK && volume_->IsTypeSwitched();
    }
    uint32_t cursor = 2;
    while (rc == KW_OK && moveMap_->FindNextUsed(2) <= highest_) {
        batch_.clear();
        rc = queueDirect(&cursor);
        if (rc == KW_OK && batch_.empty() && cursor != 2) {
            cursor = 2; // a new sweep: earlier batches freed targets
            rc = queueDirect(&cursor);
        }
        if (rc == KW_OK && batch_.empty())
            rc = queueCycleBreaks();
        if (rc == KW_OK && batch_.empty()) {
            DbgPrintf("Execute - There are %d entries still in the move map\n",
                      moveMap_->CountMoves());
            rc = ERR_MOVE_STALLED;
        }
        if (rc == KW_OK)
            rc = runBatch(safe, dry);
        if (rc == KW_OK)
            rc = progress->UpdateCount(uint64_t{stats_.direct}, uint64_t{stats_.total});
    }
    DbgPrintf("Execute - Clusters Moved Directly = %d, through a temporary = %d\n", stats_.direct,
              stats_.viaTemporary);
    rc = finish(rc, safe, dry);
    kwRet done = progress->Done();
    return rc != KW_OK ? rc : done;
}

kwRet FixFolderDots(FAT_FILESYSTEM* volume, uint32_t folder) {
    const FAT_BOOT_RECORD& b = *volume->GetBootRecord();
    const FAT_BLOCKS* fat = volume->GetFat();
    FAT_DIR_BLOCKS* dirs = volume->GetDirBlocks();
    if (dirs == nullptr || !b.IsDataCluster(folder))
        return ERR_BAD_ARGUMENT;
    bool fat32 = b.IsFat32();
    kwRet rc = SetDotEntry(dirs, b.ClusterToSector(folder), 0, ".          ", folder, fat32);
    uint32_t c = folder;
    for (uint32_t steps = 0; rc == KW_OK && b.IsDataCluster(c) && steps <= b.clusterCount;
         ++steps, c = fat->GetNextCluster(c)) {
        for (uint32_t s = 0; s < b.sectorsPerCluster; ++s) {
            BLOCK_ENTRY* block = nullptr;
            if (dirs->FindBlock(b.ClusterToSector(c) + s, &block) != KW_OK ||
                block->data == nullptr)
                continue;
            for (uint32_t i = 0; rc == KW_OK && i < kEntriesPerSector; ++i) {
                const uint8_t* e = block->data + i * FAT_DIR_ENTRY_SIZE;
                uint32_t sub = StartOf(e, fat32);
                if (IsSubfolder(e) && b.IsDataCluster(sub))
                    rc = SetDotEntry(dirs, b.ClusterToSector(sub), 1, "..         ", folder, fat32);
            }
        }
    }
    return rc;
}

} // namespace kw::fat
