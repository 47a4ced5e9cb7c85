// Emptying clusters: a move map from the clusters to vacate to free ones
// outside them, carried out by the move executor in safe mode.
#include "engine/fat/fat_evacuate.h"

#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"

#include <new>

namespace kw::fat {

namespace {

bool InUse(uint32_t value) {
    return value != 0 && value != FAT_BAD;
}

// Fills `map` with a free target outside `vacate` for each used cluster in
// it; the search for targets walks forward once over the volume.
kwRet PlanEvacuation(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, const STATE_MAP& vacate,
                     MOVE_MAP* map) {
    uint32_t last = b.LastCluster();
    uint32_t used = 0, room = 0;
    for (uint32_t c = 2; c <= last; ++c) {
        uint32_t v = fat.GetNextCluster(c);
        if (vacate.IsSet(c))
            used += InUse(v) ? 1 : 0;
        else if (v == 0 && !fat.IsReserved(c))
            ++room;
    }
    if (used > room)
        return ERR_FAT_NO_SPACE;
    uint32_t search = 2;
    for (uint32_t c = vacate.FindNextSet(2); c <= last && c != STATE_MAP_NONE;
         c = vacate.FindNextSet(c + 1)) {
        if (!InUse(fat.GetNextCluster(c)))
            continue;
        while (search <= last &&
               (vacate.IsSet(search) || fat.GetNextCluster(search) != 0 || fat.IsReserved(search)))
            ++search;
        if (search > last) {
            DbgPrintf("Unexpected ERR_NO_DISK_SPACE\r\n");
            return ERR_FAT_NO_SPACE;
        }
        if (kwRet rc = map->SetTarget(c, search++); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

} // namespace

kwRet EvacuateClusters(FAT_FILESYSTEM* fs, const STATE_MAP& vacate) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr || fs->GetFat() == nullptr || vacate.GetBitCount() < b->LastCluster() + 1)
        return ERR_BAD_ARGUMENT;
    auto* map = new MOVE_MAP(b->LastCluster() + 1);
    if (map == nullptr || !map->IsLoaded()) {
        delete map;
        return ERR_NO_MEMORY;
    }
    fs->SetMoveMap(map);
    kwRet rc = PlanEvacuation(*b, *fs->GetFat(), vacate, map);
    if (rc == KW_OK && map->CountMoves() != 0) {
        bool was = fs->IsMoveInProgress();
        fs->SetMoveInProgress(true);
        EXECUTOR_FAT executor(fs);
        rc = executor.Execute(map, true, false);
        fs->SetMoveInProgress(was);
        if (rc != KW_OK && rc != ERR_USER_CANCEL) {
            DbgPrintf("Moving clusters out of a range failed (%lu)\r\n",
                      static_cast<unsigned long>(rc));
            rc = ERR_MOVE_STALLED;
        }
    }
    fs->SetMoveMap(nullptr);
    return rc;
}

kwRet EvacuateClusterRange(FAT_FILESYSTEM* fs, uint32_t first, uint32_t last) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr)
        return ERR_BAD_ARGUMENT;
    if (first > last)
        return ERR_FAT_BAD_CLUSTER;
    first = first < 2 ? 2 : first;
    last = last > b->LastCluster() ? b->LastCluster() : last;
    STATE_MAP vacate;
    if (vacate.Create(b->LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    if (first <= last)
        vacate.SetRange(first, last - first + 1);
    return EvacuateClusters(fs, vacate);
}

} // namespace kw::fat
