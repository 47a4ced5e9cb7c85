// FAT_FILESYSTEM::PrepareBadSectors: before this volume is copied sector
// for sector onto a target partition, every cluster that would land on one
// of the target's bad sectors is marked bad here, so that the copy puts no
// data there. A cluster that holds data is emptied first: its data goes to
// a free cluster through the cluster executor in safe mode (each batch
// committed so that a cut leaves every file whole), and only then are the
// clusters marked bad, in one FAT write; the partition's entry is marked
// for the start-up recovery from before the first change until the marks
// are in every FAT copy. Nothing is written before every
// listed sector has been checked and a free cluster found for every move.
#include "engine/core/dbgmgr.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {

// Adds every sector of every bad cluster of the volume to the list, as
// sectors of the disk.
kwRet AddOwnBadSectors(FAT_FILESYSTEM* fs, SECT_LIST* list) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    const FAT_BLOCKS& fat = *fs->GetFat();
    uint32_t start = fs->GetPI()->ulStartSect;
    for (uint32_t c = fat.FindNextBad(2); c != STATE_MAP_NONE && c <= b.LastCluster();
         c = fat.FindNextBad(c + 1))
        if (kwRet rc = list->AddRange(start + b.ClusterToSector(c), b.sectorsPerCluster);
            rc != KW_OK)
            return rc;
    return KW_OK;
}

// The clusters of this volume at the offsets of the listed sectors inside
// the target, sorted, each once, none bad already. ERR_BAD_SECTOR_IN_FS
// when one lies in the system area; offsets past the last cluster have no
// cluster.
kwRet ClustersUnder(FAT_FILESYSTEM* fs, const SECT_LIST& list, const PARTITION_INFO& target,
                    std::vector<uint32_t>* out) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    const FAT_BLOCKS& fat = *fs->GetFat();
    for (uint32_t i = 0; i < list.GetCount(); ++i) {
        uint32_t s = list.GetAt(i);
        if (s < target.ulStartSect || s - target.ulStartSect >= target.NumSects)
            continue;
        uint32_t offset = s - target.ulStartSect;
        if (offset < b.FirstDataSector())
            return ERR_BAD_SECTOR_IN_FS;
        uint32_t c = b.SectorToCluster(offset);
        if (!b.IsDataCluster(c) || fat.GetNextCluster(c) == FAT_BAD)
            continue;
        try {
            out->push_back(c);
        } catch (const std::bad_alloc&) {
            return ERR_NO_MEMORY;
        }
    }
    std::sort(out->begin(), out->end());
    out->erase(std::unique(out->begin(), out->end()), out->end());
    return KW_OK;
}

// A move map that sends each cluster in use among `clusters` to a free
// cluster outside them (the free ones among them are reserved, so neither a
// target nor a temporary of the executor lands there). Null map: nothing
// to move. ERR_FAT_NO_SPACE when the free clusters run out.
kwRet PlanMoves(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& clusters,
                std::unique_ptr<MOVE_MAP>* moves) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    FAT_BLOCKS& fat = *fs->GetFat();
    for (uint32_t c : clusters)
        if (fat.GetNextCluster(c) == 0)
            fat.ReserveClusters(c, c);
    uint32_t cursor = 2;
    for (uint32_t c : clusters) {
        if (fat.GetNextCluster(c) == 0)
            continue;
        if (*moves == nullptr) {
            moves->reset(new MOVE_MAP(b.LastCluster() + 1));
            if (*moves == nullptr || !(*moves)->IsLoaded())
                return ERR_NO_MEMORY;
        }
        uint32_t t = fat.FindNextFree(cursor);
        if (t == STATE_MAP_NONE || t > b.LastCluster()) {
            DbgPrintf("Unexpected ERR_NO_DISK_SPACE\r\n");
            return ERR_FAT_NO_SPACE;
        }
        if (kwRet rc = (*moves)->SetTarget(c, t); rc != KW_OK)
            return rc;
        cursor = t + 1;
    }
    return KW_OK;
}

// Empties the clusters that hold data, then marks all of them bad. The
// partition's entry stays marked as a move under way until the bad marks
// are in every FAT copy: a cut leaves the recovery to bring the copies into
// step (from the first one) and to free what a cut move left unreached.
kwRet MarkClustersBad(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& clusters) {
    kwRet rc = fs->PrepareChange();
    std::unique_ptr<MOVE_MAP> moves;
    if (rc == KW_OK)
        rc = PlanMoves(fs, clusters, &moves);
    bool own = rc == KW_OK && !fs->IsTypeSwitched();
    if (own)
        rc = fs->BeginProtectedUpdate(FAT_MARK_MOVING);
    if (rc == KW_OK && moves != nullptr) {
        DbgPrintf("PrepareBadSectors - moving %lu clusters away from bad sectors\n",
                  static_cast<unsigned long>(moves->CountMoves()));
        fs->SetMoveMap(moves.release());
        kw::fat::EXECUTOR_FAT executor(fs);
        rc = executor.Execute(fs->GetMoveMap(), true, false);
        fs->SetMoveMap(nullptr);
    }
    // A failed run reads the volume again: take the FAT it has now.
    FAT_BLOCKS* fat = fs->GetFat();
    if (fat == nullptr)
        return rc != KW_OK ? rc : ERR_NOT_OPEN;
    for (uint32_t c : clusters)
        fat->FreeReservedClusters(c, c);
    for (size_t i = 0; rc == KW_OK && i < clusters.size(); ++i)
        rc = fat->GetNextCluster(clusters[i]) == 0 ? fat->SetNextCluster(clusters[i], FAT_BAD)
                                                   : ERR_FAT_BAD_CLUSTER_IN_USE;
    if (rc == KW_OK)
        rc = fs->FlushFat();
    // A cancel comes between the executor's batches, with the volume whole:
    // the marks come off as after success (a failure leaves them for the
    // recovery).
    if (!own || (rc != KW_OK && rc != ERR_USER_CANCEL))
        return rc;
    kwRet end = fs->EndProtectedUpdate();
    return end != KW_OK ? end : rc;
}

} // namespace

kwRet FAT_FILESYSTEM::PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* target) {
    if (map == nullptr || list == nullptr || target == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = InitFull();
    if (rc == KW_OK && target->disk != nullptr && target->disk == GetPI()->disk)
        rc = AddOwnBadSectors(this, list);
    std::vector<uint32_t> clusters;
    if (rc == KW_OK)
        rc = ClustersUnder(this, *list, *target, &clusters);
    if (rc == KW_OK && !clusters.empty())
        rc = MarkClustersBad(this, clusters);
    return rc == KW_OK ? GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA) : rc;
}
