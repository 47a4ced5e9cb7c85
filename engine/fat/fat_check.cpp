// FAT_FILESYSTEM: the check a volume passes before its first change in a
// session, and the drive prefix of paths.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"

#include <cstring>
#include <vector>

// "X:\path" and "X:" only: the ':' comes before the first '\' and is
// followed by one or ends the path.
const char* FatVolumePath(const char* path) {
    const char* colon = std::strchr(path, ':');
    if (colon == nullptr || (colon[1] != '\\' && colon[1] != '\0'))
        return path;
    const char* slash = std::strchr(path, '\\');
    return slash == nullptr || colon < slash ? colon + 1 : path;
}

kwRet FAT_FILESYSTEM::mayChange() {
    if (!initialised_)
        return ERR_NOT_OPEN;
    folders_.Drop(); // what a change writes, a path walk must read afresh
    if (readOnly_ || diskReadOnly_)
        return ERR_WRITE_PROTECTED;
    if (dirBlocks_ != nullptr) { // a file change goes to the disk: the cache would go stale
        kwRet rc = dirBlocks_->WriteDirectory(false);
        if (rc != KW_OK)
            return rc;
        DropDirBlocks();
    }
    if (!damaged_ && !chainsChecked_) {
        kwRet rc = checkChains();
        if (rc != KW_OK && rc != ERR_FAT_INVALID_ENTRIES)
            return rc;
        chainsChecked_ = rc == KW_OK;
    }
    return damaged_ ? ERR_FAT_INVALID_ENTRIES : KW_OK;
}

// Takes the clusters of one chain for its owner: every cluster must be a
// data cluster in use and owned by no other chain.
kwRet FAT_FILESYSTEM::claimChain(uint32_t first, STATE_MAP& owned) {
    uint32_t c = first;
    for (uint32_t n = 0; n <= boot_.clusterCount; ++n) {
        if (!boot_.IsDataCluster(c) || owned.IsSet(c))
            break;
        uint32_t next = fat_->GetNextCluster(c);
        if (next == 0 || next == FAT_BAD)
            break;
        owned.SetBit(c);
        if (next >= FAT_EOC)
            return KW_OK;
        c = next;
    }
    DbgPrintf("FAT check: the chain from cluster %lu meets cluster %lu, free or owned twice\n",
              static_cast<unsigned long>(first), static_cast<unsigned long>(c));
    return ERR_FAT_INVALID_ENTRIES;
}

// Walks every folder and claims every chain an entry starts. Clusters that
// no entry reaches (left by an interrupted write) are no damage.
kwRet FAT_FILESYSTEM::checkChains() {
    STATE_MAP owned;
    if (owned.Create(boot_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    kwRet rc = boot_.IsFat32() ? claimChain(boot_.rootCluster, owned) : KW_OK;
    std::vector<uint32_t> pending{0};
    FAT_DIRECTORY dir;
    FAT_DIR_ITEM item;
    while (rc == KW_OK && !pending.empty()) {
        uint32_t cluster = pending.back();
        pending.pop_back();
        rc = LoadDirectory(cluster, &dir, true);
        if (rc == ERR_BAD_SUBDIRECTORY || rc == ERR_FILE_READ)
            rc = ERR_FAT_INVALID_ENTRIES;
        FAT_DIR_WALK walk(dir, boot_.IsFat32());
        while (rc == KW_OK && walk.Next(&item)) {
            const FAT_DIR_ENTRY& e = item.entry;
            if (e.IsVolumeLabel() || e.IsDot() || e.firstCluster == 0)
                continue;
            rc = claimChain(e.firstCluster, owned);
            if (rc == KW_OK && e.IsDirectory())
                pending.push_back(e.firstCluster);
        }
    }
    if (rc == ERR_FAT_INVALID_ENTRIES) {
        DbgPrintf("FAT check: the volume is damaged; it stays read-only\n");
        damaged_ = true;
    }
    return rc;
}
