// The FAT16 root moved between its fixed area and a chain, and packed, in
// an order the start-up recovery can finish from any cut (see the header).
#include "engine/fat/fat_root_ops.h"

#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace kw::fat {

bool PackDirEntries(uint8_t* entries, uint32_t count, uint32_t keep) {
    uint32_t used = 0;
    while (used < count && entries[size_t{used} * FAT_DIR_ENTRY_SIZE] != 0)
        ++used;
    uint32_t out = std::min(used, keep);
    for (uint32_t i = out; i < used; ++i) {
        const uint8_t* e = entries + size_t{i} * FAT_DIR_ENTRY_SIZE;
        if (e[0] == FAT_DELETED)
            continue;
        if (out != i)
            std::memmove(entries + size_t{out} * FAT_DIR_ENTRY_SIZE, e, FAT_DIR_ENTRY_SIZE);
        ++out;
    }
    if (out == used)
        return false;
    std::memset(entries + size_t{out} * FAT_DIR_ENTRY_SIZE, 0,
                size_t{count - out} * FAT_DIR_ENTRY_SIZE);
    return true;
}

namespace {

constexpr char kDynRootName[] = "DYN_ROOT   ";
constexpr uint32_t kFat16EntriesPerSector = FAT_SECTOR_SIZE / 2;

kwRet CheckFat16(FAT_FILESYSTEM* fs) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    if (fs->GetBootRecord()->fatKind != FAT_KIND_16)
        return ERR_NOT_SUPPORTED;
    return fs->IsReadOnly() ? ERR_WRITE_PROTECTED : KW_OK;
}

kwRet Flush(FAT_FILESYSTEM* fs) {
    return phyFlush(fs->GetPI()->disk);
}

// The fixed root area as the disk holds it.
kwRet ReadFixedRoot(FAT_FILESYSTEM* fs, std::vector<uint8_t>* root) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    try {
        root->assign(size_t{b.RootDirSectors()} * FAT_SECTOR_SIZE, 0);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    return fs->ReadSectors(b.FirstRootSector(), root->data(), b.RootDirSectors());
}

// Entries up to the end mark (the first entry that starts with 0).
uint32_t SlotsUsed(const std::vector<uint8_t>& root) {
    uint32_t n = 0, all = static_cast<uint32_t>(root.size() / FAT_DIR_ENTRY_SIZE);
    while (n < all && root[size_t{n} * FAT_DIR_ENTRY_SIZE] != 0)
        ++n;
    return n;
}

// The fixed root's live entries after its first sector packed behind it;
// false when nothing would move. The first sector keeps its slots: a cut
// while the root lies in its chain may leave the recovery only the chain's
// first sector to put back in front of the fixed area's other sectors, and
// the chain holds the root as it was.
bool Pack(std::vector<uint8_t>* root) {
    return PackDirEntries(root->data(), static_cast<uint32_t>(root->size() / FAT_DIR_ENTRY_SIZE),
                          FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE);
}

// `count` free clusters whose FAT16 entries share one FAT sector, so that
// the chain reaches the first copy in one write.
kwRet FindChainClusters(FAT_FILESYSTEM* fs, uint32_t count, std::vector<uint32_t>* chain) {
    const FAT_BLOCKS* fat = fs->GetFat();
    uint32_t last = fs->GetBootRecord()->LastCluster();
    for (uint32_t c = fat->FindNextFree(2); c != STATE_MAP_NONE && c <= last;) {
        uint32_t window = c / kFat16EntriesPerSector;
        chain->clear();
        for (uint32_t k = c; k != STATE_MAP_NONE && k <= last &&
                             k / kFat16EntriesPerSector == window && chain->size() < count;
             k = fat->FindNextFree(k + 1))
            chain->push_back(k);
        if (chain->size() == count)
            return KW_OK;
        c = fat->FindNextFree((window + 1) * kFat16EntriesPerSector);
    }
    return ERR_FAT_NO_SPACE;
}

// The fixed area's first sector while the root lies in a chain. The chain's
// first cluster is both the entry's starting cluster and the word right
// after the name, where the start-up recovery reads it.
void BuildDynRootSector(uint32_t first, uint8_t* sector) {
    std::memset(sector, 0, FAT_SECTOR_SIZE);
    std::memcpy(sector, kDynRootName, 11);
    kwbytes::StoreLe16(sector + 8, static_cast<uint16_t>(first));
    sector[FDE_ATTR] = FAT_ATTR_DIRECTORY;
    FatStampWrite(sector);
    kwbytes::StoreLe16(sector + FDE_CLUSTER_LOW, static_cast<uint16_t>(first));
}

// Writes `root` (the fixed area's sectors) into the chain's clusters.
kwRet WriteChainData(FAT_FILESYSTEM* fs, const std::vector<uint8_t>& root,
                     const std::vector<uint32_t>& chain) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    uint32_t spc = b.sectorsPerCluster;
    std::vector<uint8_t> cluster(size_t{spc} * FAT_SECTOR_SIZE);
    for (size_t i = 0; i < chain.size(); ++i) {
        size_t from = i * cluster.size();
        std::fill(cluster.begin(), cluster.end(), 0);
        if (from < root.size())
            std::copy(root.begin() + from,
                      root.begin() + std::min(root.size(), from + cluster.size()), cluster.begin());
        if (kwRet rc = fs->WriteSectors(b.ClusterToSector(chain[i]), cluster.data(), spc);
            rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet LinkChain(FAT_BLOCKS* fat, const std::vector<uint32_t>& chain) {
    for (size_t i = chain.size(); i-- > 0;)
        if (kwRet rc = fat->SetNextCluster(
                chain[i], i + 1 < chain.size() ? chain[i + 1] : FAT_EOC_MARK, i == 0);
            rc != KW_OK)
            return rc;
    return KW_OK;
}

// The switch into the chain, once its sectors are on the disk.
kwRet SwitchToChain(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& chain) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    kwRet rc = fs->BeginProtectedUpdate(FAT_MARK_COPIES_OUT_OF_STEP | FAT_MARK_ROOT_IN_CHAIN);
    uint8_t sector[FAT_SECTOR_SIZE];
    BuildDynRootSector(chain[0], sector);
    if (rc == KW_OK)
        rc = fs->WriteSectors(b.FirstRootSector(), sector, 1);
    if (rc == KW_OK)
        rc = Flush(fs);
    if (rc == KW_OK)
        rc = LinkChain(fs->GetFat(), chain);
    if (rc == KW_OK) // the first copy, which the recovery follows, in one write
        rc = fs->GetFat()->WriteFat(fs->GetHandle(), b.FirstFatSector(), false, false);
    if (rc == KW_OK)
        rc = Flush(fs);
    if (rc == KW_OK)
        rc = fs->FlushFat();
    std::vector<uint8_t> zeros;
    if (rc == KW_OK && b.RootDirSectors() > 1) {
        zeros.assign(size_t{b.RootDirSectors() - 1} * FAT_SECTOR_SIZE, 0);
        rc = fs->WriteSectors(b.FirstRootSector() + 1, zeros.data(), b.RootDirSectors() - 1);
    }
    if (rc == KW_OK)
        rc = Flush(fs);
    return rc == KW_OK ? fs->EndProtectedUpdate() : rc;
}

// Puts `root` into a new chain and switches the fixed area to it.
kwRet RootToChain(FAT_FILESYSTEM* fs, const std::vector<uint8_t>& root, uint32_t* first) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    uint32_t spc = b.sectorsPerCluster, rootSectors = b.RootDirSectors();
    // The recovery takes at most the clusters that hold the whole area.
    uint32_t most = (rootSectors + spc - 1) / spc;
    uint32_t needed =
        (SlotsUsed(root) * FAT_DIR_ENTRY_SIZE + FAT_SECTOR_SIZE - 1) / FAT_SECTOR_SIZE;
    uint32_t sectors = std::min(rootSectors, needed + 1); // room for the end mark
    uint32_t clusters = std::min(most, std::max(1u, (sectors + spc - 1) / spc));
    std::vector<uint32_t> chain;
    kwRet rc = FindChainClusters(fs, clusters, &chain);
    if (rc == KW_OK)
        rc = WriteChainData(fs, root, chain);
    if (rc == KW_OK)
        rc = Flush(fs);
    if (rc == KW_OK)
        rc = SwitchToChain(fs, chain);
    fs->DropDirBlocks();
    fs->ForgetFolders();
    if (rc != KW_OK)
        return rc;
    fs->SetRootCluster(chain[0]);
    *first = chain[0];
    return KW_OK;
}

// The chain named by a DYN_ROOT sector, at most `most` clusters.
kwRet ReadChain(FAT_FILESYSTEM* fs, const uint8_t* sector, std::vector<uint32_t>* chain) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    if (std::memcmp(sector, kDynRootName, 8) != 0)
        return ERR_BAD_ARGUMENT;
    uint32_t spc = b.sectorsPerCluster;
    uint32_t most = (b.RootDirSectors() + spc - 1) / spc;
    uint32_t c = kwbytes::LoadLe16(sector + FDE_CLUSTER_LOW);
    while (chain->size() < most) {
        if (!b.IsDataCluster(c) || std::find(chain->begin(), chain->end(), c) != chain->end())
            return ERR_BAD_ARGUMENT;
        chain->push_back(c);
        uint32_t next = fs->GetFat()->GetNextCluster(c);
        if (next >= FAT_EOC)
            return KW_OK;
        c = next;
    }
    return ERR_BAD_ARGUMENT; // longer than the fixed area
}

// The recovery's order: every fixed sector but the first, the chain freed
// (the first copy last), then the first sector, which ends the DYN_ROOT.
// The fixed area takes `content` when given (its first sector the chain's),
// else the chain's sectors.
kwRet ChainToFixed(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& chain,
                   const std::vector<uint8_t>* content) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    uint32_t spc = b.sectorsPerCluster, n = b.RootDirSectors();
    std::vector<uint8_t> root(size_t{n} * FAT_SECTOR_SIZE, 0);
    if (content != nullptr)
        root = *content;
    for (uint32_t i = 0; content == nullptr && i < n && i / spc < chain.size(); i += spc) {
        uint32_t count = std::min(spc, n - i);
        if (kwRet rc = fs->ReadSectors(b.ClusterToSector(chain[i / spc]),
                                       root.data() + size_t{i} * FAT_SECTOR_SIZE, count);
            rc != KW_OK)
            return rc;
    }
    kwRet rc = n > 1
                   ? fs->WriteSectors(b.FirstRootSector() + 1, root.data() + FAT_SECTOR_SIZE, n - 1)
                   : KW_OK;
    if (rc == KW_OK)
        rc = Flush(fs);
    for (size_t i = 0; rc == KW_OK && i < chain.size(); ++i)
        rc = fs->GetFat()->SetNextCluster(chain[i], 0);
    if (rc == KW_OK)
        rc = fs->FlushFat();
    if (rc == KW_OK)
        rc = fs->WriteSectors(b.FirstRootSector(), root.data(), 1);
    if (rc == KW_OK)
        rc = Flush(fs);
    return rc;
}

} // namespace

kwRet ConvertRootToDynamic(FAT_FILESYSTEM* fs, uint32_t* rootCluster) {
    if (rootCluster == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = CheckFat16(fs);
    std::vector<uint8_t> root;
    if (rc == KW_OK)
        rc = ReadFixedRoot(fs, &root);
    if (rc != KW_OK)
        return rc;
    if (std::memcmp(root.data(), kDynRootName, 8) == 0)
        return ERR_BAD_ARGUMENT; // in a chain already
    return RootToChain(fs, root, rootCluster);
}

namespace {

kwRet ChainedRootToFixed(FAT_FILESYSTEM* fs, const std::vector<uint8_t>* content) {
    kwRet rc = CheckFat16(fs);
    if (rc != KW_OK)
        return rc;
    // The marks and the type of the switch into the chain must be this
    // session's, so that ending the update gives the type back.
    if (!fs->IsTypeSwitched() && fs->GetPI()->ucEntryIndex != PI_NO_ENTRY)
        return ERR_BAD_ARGUMENT;
    uint8_t sector[FAT_SECTOR_SIZE];
    rc = fs->ReadSectors(fs->GetBootRecord()->FirstRootSector(), sector, 1);
    std::vector<uint32_t> chain;
    if (rc == KW_OK)
        rc = ReadChain(fs, sector, &chain);
    if (rc == KW_OK)
        rc = ChainToFixed(fs, chain, content);
    fs->DropDirBlocks();
    fs->ForgetFolders();
    if (rc != KW_OK)
        return rc;
    fs->SetRootCluster(0);
    // The root is home: only the copies' step is left to mark.
    FAT_BLOCKS* fat = fs->GetFat();
    uint32_t entry0 = fat->GetNextCluster(0);
    if (fs->IsTypeSwitched() && entry0 < 8)
        rc = fat->SetNextCluster(0, (entry0 & ~uint32_t{FAT_MARK_ROOT_IN_CHAIN}) |
                                        FAT_MARK_COPIES_OUT_OF_STEP);
    return rc == KW_OK ? fs->EndProtectedUpdate() : rc;
}

} // namespace

kwRet ConvertRootToStatic(FAT_FILESYSTEM* fs) {
    return ChainedRootToFixed(fs, nullptr);
}

kwRet PackCachedSectors(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& sectors, uint32_t keep) {
    FAT_DIR_BLOCKS* dirs = nullptr;
    kwRet rc = fs->LoadDirBlocks(nullptr, &dirs);
    if (rc != KW_OK)
        return rc;
    std::vector<uint8_t> bytes;
    try {
        bytes.assign(sectors.size() * FAT_SECTOR_SIZE, 0);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    for (size_t i = 0; i < sectors.size(); ++i)
        if (dirs->IsPresent(sectors[i]))
            dirs->ReadBlock(sectors[i], bytes.data() + i * FAT_SECTOR_SIZE, FAT_SECTOR_SIZE);
    if (!PackDirEntries(bytes.data(), static_cast<uint32_t>(bytes.size() / FAT_DIR_ENTRY_SIZE),
                        keep))
        return KW_OK;
    for (size_t i = 0; rc == KW_OK && i < sectors.size(); ++i)
        rc = dirs->ReplaceDirBlock(sectors[i], bytes.data() + i * FAT_SECTOR_SIZE);
    return rc == KW_OK ? dirs->ResetStartClustList() : rc;
}

kwRet CompactStaticRoot(FAT_FILESYSTEM* fs, bool write) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    if (fs->GetBootRecord()->IsFat32())
        return ERR_FAT_INVALID_PARAMETERS;
    if (!write) {
        const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
        std::vector<uint32_t> sectors;
        for (uint32_t i = 0; i < b.RootDirSectors(); ++i)
            sectors.push_back(b.FirstRootSector() + i);
        return PackCachedSectors(fs, sectors, FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE);
    }
    kwRet rc = CheckFat16(fs);
    std::vector<uint8_t> root;
    if (rc == KW_OK)
        rc = ReadFixedRoot(fs, &root);
    std::vector<uint8_t> packed = root;
    if (rc != KW_OK || !Pack(&packed))
        return rc;
    // The root as it is goes into the chain; while it waits there, the
    // fixed area is free to take the packed entries.
    uint32_t first = 0;
    rc = RootToChain(fs, root, &first);
    return rc == KW_OK ? ChainedRootToFixed(fs, &packed) : rc;
}

} // namespace kw::fat
