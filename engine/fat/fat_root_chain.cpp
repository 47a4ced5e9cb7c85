// CompactRootChain: the FAT32 root packed, copy-on-write (see the header for
// the order of the writes).
#include "engine/core/dbgmgr.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_root_ops.h"

#include <new>
#include <vector>

namespace kw::fat {

namespace {

// The clusters of the root chain, bounded by the cluster count.
kwRet RootChain(FAT_FILESYSTEM* fs, std::vector<uint32_t>* chain) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    STATE_MAP seen;
    if (seen.Create(b.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    uint32_t c = b.rootCluster;
    while (c < FAT_EOC) {
        if (!b.IsDataCluster(c) || seen.IsSet(c)) {
            DbgPrintf("CompactRootChain - the root chain is broken at cluster %lu\n",
                      static_cast<unsigned long>(c));
            return ERR_FAT_INVALID_ENTRIES;
        }
        seen.SetBit(c);
        chain->push_back(c);
        c = fs->GetFat()->GetNextCluster(c);
    }
    return KW_OK;
}

// `count` free clusters, from the lowest up.
kwRet FreeClusters(FAT_FILESYSTEM* fs, size_t count, std::vector<uint32_t>* out) {
    const FAT_BLOCKS& fat = *fs->GetFat();
    uint32_t last = fs->GetBootRecord()->LastCluster();
    for (uint32_t c = fat.FindNextFree(2); out->size() < count; c = fat.FindNextFree(c + 1)) {
        if (c == STATE_MAP_NONE || c > last)
            return ERR_FAT_NO_SPACE;
        out->push_back(c);
    }
    return KW_OK;
}

// Reads (or writes) the chain's clusters to or from `bytes`, one cluster a
// request.
kwRet ChainData(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& chain, uint8_t* bytes,
                bool write) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    size_t clusterBytes = size_t{b.sectorsPerCluster} * FAT_SECTOR_SIZE;
    for (size_t i = 0; i < chain.size(); ++i) {
        uint8_t* at = bytes + i * clusterBytes;
        uint32_t sector = b.ClusterToSector(chain[i]);
        kwRet rc = write ? fs->WriteSectors(sector, at, b.sectorsPerCluster)
                         : fs->ReadSectors(sector, at, b.sectorsPerCluster);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet Flush(FAT_FILESYSTEM* fs) {
    return phyFlush(fs->GetPI()->disk);
}

// The switch from `old` to `copy` (whose clusters hold the packed root).
kwRet SwitchRoot(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& old,
                 const std::vector<uint32_t>& copy) {
    FAT_BLOCKS* fat = fs->GetFat();
    kwRet rc = fs->BeginProtectedUpdate(FAT_MARK_MOVING);
    for (size_t i = copy.size(); rc == KW_OK && i-- > 0;)
        rc = fat->SetNextCluster(copy[i], i + 1 < copy.size() ? copy[i + 1] : FAT_EOC_MARK, i == 0);
    if (rc == KW_OK)
        rc = fs->FlushFat();
    if (rc == KW_OK) {
        fs->SetRootCluster(copy[0]);
        rc = fs->WriteBootSector();
        if (rc != KW_OK)
            fs->SetRootCluster(old[0]);
    }
    for (size_t i = 0; rc == KW_OK && i < old.size(); ++i)
        rc = fat->SetNextCluster(old[i], 0);
    if (rc == KW_OK)
        rc = fs->FlushFat();
    return rc == KW_OK ? fs->EndProtectedUpdate() : rc;
}

kwRet CompactOnDisk(FAT_FILESYSTEM* fs) {
    kwRet rc = fs->PrepareChange();
    std::vector<uint32_t> chain, copy;
    if (rc == KW_OK)
        rc = RootChain(fs, &chain);
    std::vector<uint8_t> bytes;
    size_t clusterBytes = size_t{fs->GetBootRecord()->sectorsPerCluster} * FAT_SECTOR_SIZE;
    try {
        bytes.assign(rc == KW_OK ? chain.size() * clusterBytes : 0, 0);
    } catch (const std::bad_alloc&) {
        rc = ERR_NO_MEMORY;
    }
    if (rc == KW_OK)
        rc = ChainData(fs, chain, bytes.data(), false);
    if (rc != KW_OK ||
        !PackDirEntries(bytes.data(), static_cast<uint32_t>(bytes.size() / FAT_DIR_ENTRY_SIZE), 0))
        return rc;
    rc = FreeClusters(fs, chain.size(), &copy);
    if (rc == KW_OK)
        rc = ChainData(fs, copy, bytes.data(), true);
    if (rc == KW_OK)
        rc = Flush(fs);
    if (rc == KW_OK)
        rc = SwitchRoot(fs, chain, copy);
    fs->DropDirBlocks();
    fs->ForgetFolders();
    return rc;
}

} // namespace

kwRet CompactRootChain(FAT_FILESYSTEM* fs, bool write) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!fs->GetBootRecord()->IsFat32())
        return ERR_FAT_INVALID_PARAMETERS;
    if (write)
        return fs->IsReadOnly() ? ERR_WRITE_PROTECTED : CompactOnDisk(fs);
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    std::vector<uint32_t> chain, sectors;
    kwRet rc = RootChain(fs, &chain);
    for (size_t i = 0; rc == KW_OK && i < chain.size(); ++i)
        for (uint32_t k = 0; k < b.sectorsPerCluster; ++k)
            sectors.push_back(b.ClusterToSector(chain[i]) + k);
    return rc == KW_OK ? PackCachedSectors(fs, sectors, 0) : rc;
}

} // namespace kw::fat
