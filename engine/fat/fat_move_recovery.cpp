// Completing a cluster move that was cut off, for the recovery of the next
// disk scan.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"

namespace kw::fat {

namespace {

// Marks every cluster of the chain from `first` (bounded by the clusters).
void Reach(const FAT_BOOT_RECORD& b, const FAT_BLOCKS& fat, uint32_t first, STATE_MAP* reached) {
    uint32_t c = first;
    for (uint32_t steps = 0; b.IsDataCluster(c) && !reached->IsSet(c) && steps <= b.clusterCount;
         ++steps, c = fat.GetNextCluster(c))
        reached->SetBit(c);
}

bool IsFolder(const uint8_t* e) {
    return (e[FDE_ATTR] & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME)) == FAT_ATTR_DIRECTORY &&
           e[0] != '.';
}

} // namespace

kwRet CompleteInterruptedMove(FAT_FILESYSTEM* volume, uint32_t* freed) {
    *freed = 0;
    kwRet rc = volume->PrepareChange();
    if (rc != KW_OK)
        return rc;
    const FAT_BOOT_RECORD& b = *volume->GetBootRecord();
    FAT_BLOCKS& fat = *volume->GetFat();
    FAT_DIR_BLOCKS* dirs = volume->GetDirBlocks();
    STATE_MAP reached;
    if (reached.Create(b.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    if (b.IsFat32())
        Reach(b, fat, b.rootCluster, &reached);
    std::vector<uint32_t> folders;
    FAT_DIR_SLOT slot;
    for (bool more = dirs->FirstEntry(&slot); more; more = dirs->NextEntry(&slot, false)) {
        uint32_t start = kwbytes::LoadLe16(slot.entry + FDE_CLUSTER_LOW);
        if (b.IsFat32())
            start |= uint32_t{kwbytes::LoadLe16(slot.entry + FDE_CLUSTER_HIGH)} << 16;
        Reach(b, fat, start, &reached);
        if (IsFolder(slot.entry) && b.IsDataCluster(start))
            folders.push_back(start);
    }
    for (uint32_t c = 2; c <= b.LastCluster(); ++c) {
        uint32_t v = fat.GetNextCluster(c);
        if (v == 0 || v == FAT_BAD || reached.IsSet(c))
            continue;
        if ((rc = fat.SetNextCluster(c, 0)) != KW_OK)
            return rc;
        ++*freed;
    }
    for (uint32_t folder : folders)
        if ((rc = FixFolderDots(volume, folder)) != KW_OK)
            return rc;
    DbgPrintf("CompleteInterruptedMove - %lu clusters no entry reached freed\n",
              static_cast<unsigned long>(*freed));
    rc = dirs->WriteDirectory(false);
    return rc == KW_OK ? volume->WriteAllFats() : rc;
}

} // namespace kw::fat

// The recovery's hook: the volume of a partition record made for it.
kwRet FatCompleteMove(PARTITION_INFO* pi) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_NONE);
    if (rc != KW_OK)
        return rc;
    auto* fat = dynamic_cast<FAT_FILESYSTEM*>(fs);
    uint32_t freed = 0;
    rc = fat != nullptr ? fat->Init() : ERR_UNKNOWN_FS;
    if (rc == KW_OK)
        rc = kw::fat::CompleteInterruptedMove(fat, &freed);
    CloseFileSystem(&fs);
    return rc;
}
