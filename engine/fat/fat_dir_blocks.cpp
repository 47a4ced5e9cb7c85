#include "engine/fat/fat_dir_blocks.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

namespace {

constexpr uint32_t kEntries = FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE;
// Per-block counts kept in the block's statistics.
enum : uint32_t { S_ENTRIES, S_FILES, S_DIRS, S_DELETED, S_PIECES, S_FREE, S_LABELS };
constexpr uint16_t kIndexed = kEntries; // owner value 2 of a block read before its end mark

bool IsDot(const uint8_t* e) {
    return e[0] == '.';
}

} // namespace

FAT_DIR_BLOCKS::FAT_DIR_BLOCKS(FAT_FILESYSTEM* volume, uint32_t highestSector)
    : SYSTEM_BLOCKS(highestSector, FAT_SECTOR_SIZE), volume_(volume), cursor_(starts_.end()) {}

FAT_DIR_BLOCKS::~FAT_DIR_BLOCKS() = default;

uint32_t FAT_DIR_BLOCKS::startOf(const uint8_t* e) const {
    uint32_t low = kwbytes::LoadLe16(e + FDE_CLUSTER_LOW);
    return ownerValue_ == 5 ? low | uint32_t{kwbytes::LoadLe16(e + FDE_CLUSTER_HIGH)} << 16 : low;
}

void FAT_DIR_BLOCKS::setStart(uint8_t* e, uint32_t cluster) const {
    kwbytes::StoreLe16(e + FDE_CLUSTER_LOW, static_cast<uint16_t>(cluster));
    if (ownerValue_ == 5)
        kwbytes::StoreLe16(e + FDE_CLUSTER_HIGH, static_cast<uint16_t>(cluster >> 16));
}

kwRet FAT_DIR_BLOCKS::addStart(uint32_t cluster, const FAT_START_NODE& node) {
    if (starts_.size() >= FAT_MAX_START_NODES) {
        DbgPrintf("AddToList - 1 million node limit exceeded\n");
        return ERR_NO_MEMORY;
    }
    try {
        starts_.emplace_hint(starts_.upper_bound(cluster), cluster, node);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    return KW_OK;
}

// Counts a block's entries, applies the move map to them and lists their
// starting clusters; collects subfolders when asked. Entries after the end
// mark are left alone.
bool FAT_DIR_BLOCKS::CompressBlockData(BLOCK_ENTRY& b, uint32_t flags) {
    std::memset(b.stats, 0, sizeof b.stats);
    b.owner2 = (flags & ADD_PAST_END) ? 0 : kIndexed;
    if (b.data == nullptr || b.owner2 == 0 || b.data[0] == 0) {
        b.stats[S_FREE] = b.owner2 == 0 ? 0 : kEntries;
        if (b.data != nullptr && b.data[0] == 0)
            MakeFree(b);
        addCounts(b, 1);
        return b.data == nullptr;
    }
    for (uint32_t i = 0; i < kEntries; ++i) {
        uint8_t* e = b.data + i * FAT_DIR_ENTRY_SIZE;
        if (e[0] == 0) {
            b.stats[S_FREE] += kEntries - i;
            break;
        }
        if (e[0] == FAT_DELETED) {
            ++b.stats[S_DELETED];
            continue;
        }
        if (e[FDE_ATTR] == FAT_ATTR_LFN) {
            ++b.stats[S_PIECES];
            continue;
        }
        ++b.stats[S_ENTRIES];
        if (e[FDE_ATTR] & FAT_ATTR_VOLUME) {
            ++b.stats[S_LABELS];
            continue;
        }
        bool dir = (e[FDE_ATTR] & FAT_ATTR_DIRECTORY) != 0;
        ++b.stats[dir ? S_DIRS : S_FILES];
        uint32_t start = startOf(e);
        if (IsDot(e) || start == 0) {
            if (dir && !IsDot(e))
                DbgPrintf("Warning: Subdirectory has a starting cluster number of 0\n");
            continue;
        }
        if (moves_ != nullptr && start < moves_->GetEntryCount() && moves_->GetTarget(start) != 0) {
            start = moves_->GetTarget(start);
            setStart(e, start);
            b.flags |= BLOCK_CHANGED;
            changed_ = true;
        }
        if (dir && (flags & ADD_COLLECT_DIRS) && collect_ != nullptr)
            collect_->push_back(start);
        if (addStart(start, {b.number, i, !dir, dir}) != KW_OK)
            DbgPrintf("CompressBlockData: Unable to add cluster %lu to the starting clust list\n",
                      static_cast<unsigned long>(start));
    }
    addCounts(b, 1);
    return false;
}

void FAT_DIR_BLOCKS::addCounts(const BLOCK_ENTRY& b, int sign) {
    auto add = [sign](uint32_t& total, uint32_t n) { total += sign > 0 ? n : 0u - n; };
    add(counts_.entries, b.stats[S_ENTRIES]);
    add(counts_.files, b.stats[S_FILES]);
    add(counts_.directories, b.stats[S_DIRS]);
    add(counts_.deleted, b.stats[S_DELETED]);
    add(counts_.longNamePieces, b.stats[S_PIECES]);
    add(counts_.free, b.stats[S_FREE]);
    add(counts_.labels, b.stats[S_LABELS]);
}

// Takes the block's entries off the starting-cluster list.
void FAT_DIR_BLOCKS::dropStarts(const BLOCK_ENTRY& b) {
    for (auto it = starts_.begin(); b.data != nullptr && it != starts_.end();) {
        if (it->second.sector != b.number) {
            ++it;
            continue;
        }
        if (it == cursor_) {
            cursor_ = std::next(it);
            advanced_ = true;
        }
        it = starts_.erase(it);
    }
}

kwRet FAT_DIR_BLOCKS::AddDirBlock(uint32_t sector, const uint8_t* data, uint32_t cluster) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot == nullptr)
        return ERR_NOT_OPEN;
    if (dirClusters_.GetWords() == nullptr)
        return ERR_BAD_POINTER;
    uint32_t c = cluster != 0 ? cluster : boot->SectorToCluster(sector);
    if (c != 0)
        dirClusters_.SetBit(c);
    kwRet rc = AddBlock(sector, data, ownerValue_, kEntries, 0);
    if (rc == KW_OK)
        changed_ = true;
    return rc;
}

kwRet FAT_DIR_BLOCKS::ReplaceDirBlock(uint32_t sector, const uint8_t* data) {
    if (IsPresent(sector)) {
        kwRet rc = DeleteBlock(sector);
        if (rc != KW_OK)
            return rc;
    }
    return AddDirBlock(sector, data, 0);
}

kwRet FAT_DIR_BLOCKS::DeleteBlock(uint32_t sector) {
    BLOCK_ENTRY* b = nullptr;
    kwRet rc = FindBlock(sector, &b);
    if (rc != KW_OK)
        return rc;
    addCounts(*b, -1);
    dropStarts(*b);
    return SYSTEM_BLOCKS::DeleteBlock(sector);
}

kwRet FAT_DIR_BLOCKS::ChangeBlockNumber(uint32_t oldSector, uint32_t newSector, bool keepClean) {
    if (newSector > GetHighestBlock()) {
        DbgPrintf("ChangeBlockNumber : ulNewBlockNumber is out of range\n");
        return ERR_BAD_ARGUMENT;
    }
    if (IsPresent(newSector)) {
        DbgPrintf("ChangeBlockNumber : ulNewBlockNumber is already occupied\n");
        return ERR_BLOCK_EXISTS;
    }
    kwRet rc = SYSTEM_BLOCKS::ChangeBlockNumber(oldSector, newSector, keepClean);
    if (rc != KW_OK)
        return rc;
    for (auto& [cluster, node] : starts_)
        if (node.sector == oldSector)
            node.sector = newSector;
    if (firstRootSector_ == oldSector)
        firstRootSector_ = newSector;
    if (!keepClean)
        changed_ = true;
    return KW_OK;
}

kwRet FAT_DIR_BLOCKS::MoveDirCluster(uint32_t oldCluster, uint32_t newCluster, bool updateEntry) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot == nullptr)
        return ERR_NOT_OPEN;
    if (dirClusters_.GetWords() == nullptr)
        return ERR_BAD_POINTER;
    if (!boot->IsDataCluster(oldCluster) || !boot->IsDataCluster(newCluster))
        return ERR_BAD_ARGUMENT;
    uint32_t from = boot->ClusterToSector(oldCluster), to = boot->ClusterToSector(newCluster);
    for (uint32_t i = 0; i < boot->sectorsPerCluster; ++i) {
        if (!IsPresent(from + i))
            continue;
        kwRet rc = ChangeBlockNumber(from + i, to + i, false);
        if (rc != KW_OK)
            return rc;
    }
    dirClusters_.ClearBit(oldCluster);
    dirClusters_.SetBit(newCluster);
    return updateEntry ? UpdateStartingCluster(oldCluster, newCluster) : KW_OK;
}

kwRet FAT_DIR_BLOCKS::UpdateStartingCluster(uint32_t oldCluster, uint32_t newCluster) {
    auto [lo, hi] = starts_.equal_range(oldCluster);
    if (lo == hi)
        return ERR_BLOCK_NOT_FOUND;
    FAT_START_NODE node = lo->second;
    BLOCK_ENTRY* b = nullptr;
    if (node.sector == 0 || FindBlock(node.sector, &b) != KW_OK || b->data == nullptr) {
        DbgPrintf(node.sector == 0 ? "UpdateStartingCluster Error: Block Number = 0\n"
                                   : "UpdateStartingCluster Error: Block not found\n");
        return ERR_BLOCK_NOT_FOUND;
    }
    uint8_t* e = b->data + node.index * FAT_DIR_ENTRY_SIZE;
    if (startOf(e) != oldCluster) {
        DbgPrintf("UpdateStartingCluster Error: Old starting cluster does not match\n");
        return ERR_BAD_ARGUMENT;
    }
    if (ownerValue_ == 4 && newCluster > 0xFFFF) {
        DbgPrintf("UpdateStartingCluster Error: Cluster %lu too large for FAT16\n",
                  static_cast<unsigned long>(newCluster));
        return ERR_BAD_ARGUMENT;
    }
    setStart(e, newCluster);
    b->flags |= BLOCK_CHANGED;
    changed_ = true;
    if (lo == cursor_) {
        cursor_ = std::next(lo);
        advanced_ = true;
    }
    starts_.erase(lo);
    return addStart(newCluster, node);
}

kwRet FAT_DIR_BLOCKS::ResetStartClustList() {
    starts_.clear();
    cursor_ = starts_.end();
    for (uint32_t s = NextPresent(0); s != STATE_MAP_NONE; s = NextPresent(s + 1)) {
        BLOCK_ENTRY* b = nullptr;
        if (FindBlock(s, &b) != KW_OK) {
            DbgPrintf("ResetStartClustList: Unable to find block %lu\n",
                      static_cast<unsigned long>(s));
            continue;
        }
        for (uint32_t i = 0; b->data != nullptr && b->owner2 != 0 && i < kEntries; ++i) {
            const uint8_t* e = b->data + i * FAT_DIR_ENTRY_SIZE;
            if (e[0] == 0)
                break;
            if (e[0] == FAT_DELETED || e[FDE_ATTR] == FAT_ATTR_LFN ||
                (e[FDE_ATTR] & FAT_ATTR_VOLUME) || IsDot(e) || startOf(e) == 0)
                continue;
            bool dir = (e[FDE_ATTR] & FAT_ATTR_DIRECTORY) != 0;
            kwRet rc = addStart(startOf(e), {s, i, !dir, dir});
            if (rc != KW_OK) {
                DbgPrintf("ResetStartClustList: Unable to add cluster %lu to the starting clust "
                          "list\n",
                          static_cast<unsigned long>(startOf(e)));
                return rc;
            }
        }
    }
    return KW_OK;
}

kwRet FAT_DIR_BLOCKS::ClearOS2EAs() {
    if (ownerValue_ == 5)
        return ERR_NOT_SUPPORTED; // the word is the high half of the starting cluster
    for (uint32_t s = NextPresent(0); s != STATE_MAP_NONE; s = NextPresent(s + 1)) {
        BLOCK_ENTRY* b = nullptr;
        if (FindBlock(s, &b) != KW_OK) {
            DbgPrintf("ClearOS2EAs Internal fatal error\n");
            return ERR_BLOCK_NOT_FOUND;
        }
        for (uint32_t i = 0; b->data != nullptr && b->owner2 != 0 && i < kEntries; ++i) {
            uint8_t* e = b->data + i * FAT_DIR_ENTRY_SIZE;
            if (e[0] == 0)
                break;
            if (e[0] == FAT_DELETED || e[FDE_ATTR] == FAT_ATTR_LFN ||
                (e[FDE_ATTR] & FAT_ATTR_VOLUME) || kwbytes::LoadLe16(e + FDE_CLUSTER_HIGH) == 0)
                continue;
            kwbytes::StoreLe16(e + FDE_CLUSTER_HIGH, 0);
            b->flags |= BLOCK_CHANGED;
            changed_ = true;
        }
    }
    return KW_OK;
}

kwRet FAT_DIR_BLOCKS::MarkChanged(uint32_t sector) {
    BLOCK_ENTRY* b = nullptr;
    kwRet rc = FindBlock(sector, &b);
    if (rc == KW_OK) {
        b->flags |= BLOCK_CHANGED;
        changed_ = true;
    }
    return rc;
}

bool FAT_DIR_BLOCKS::slotAt(StartList::iterator it, FAT_DIR_SLOT* slot) {
    cursor_ = it;
    advanced_ = false;
    BLOCK_ENTRY* b = nullptr;
    if (it == starts_.end() || FindBlock(it->second.sector, &b) != KW_OK || b->data == nullptr)
        return false;
    slot->entry = b->data + it->second.index * FAT_DIR_ENTRY_SIZE;
    slot->sector = it->second.sector;
    slot->index = it->second.index;
    return true;
}

bool FAT_DIR_BLOCKS::FirstEntry(FAT_DIR_SLOT* slot) {
    return slotAt(starts_.begin(), slot);
}

bool FAT_DIR_BLOCKS::NextEntry(FAT_DIR_SLOT* slot, bool changed) {
    if (changed)
        MarkChanged(slot->sector);
    if (advanced_)
        return slotAt(cursor_, slot); // the entry last handed out left the list
    if (cursor_ == starts_.end())
        return false;
    return slotAt(std::next(cursor_), slot);
}

bool FAT_DIR_BLOCKS::LastEntry(FAT_DIR_SLOT* slot) {
    return !starts_.empty() && slotAt(std::prev(starts_.end()), slot);
}

bool FAT_DIR_BLOCKS::PreviousEntry(FAT_DIR_SLOT* slot, bool changed) {
    if (changed)
        MarkChanged(slot->sector);
    if (cursor_ == starts_.begin())
        return false;
    return slotAt(std::prev(cursor_), slot); // a node that left the list: its successor's
}

bool FAT_DIR_BLOCKS::FindStart(uint32_t cluster, FAT_DIR_SLOT* slot) {
    auto it = starts_.find(cluster);
    return it != starts_.end() && slotAt(it, slot);
}

bool FAT_DIR_BLOCKS::IsBlockFree(uint32_t sector) {
    BLOCK_ENTRY* b = nullptr;
    if (FindBlock(sector, &b) != KW_OK)
        return false;
    for (uint32_t i = 0; b->data != nullptr && i < kEntries; ++i)
        if (b->data[i * FAT_DIR_ENTRY_SIZE] != 0)
            return false;
    return true;
}

// Adds one sector read from a folder; *ended once its end mark was seen.
kwRet FAT_DIR_BLOCKS::addSector(uint32_t sector, const uint8_t* data, uint32_t cluster, bool* ended,
                                std::vector<uint32_t>* subfolders) {
    if (cluster != 0)
        dirClusters_.SetBit(cluster);
    collect_ = subfolders;
    kwRet rc = AddBlock(sector, data, ownerValue_, kEntries,
                        ADD_NOT_CHANGED | (*ended ? ADD_PAST_END : ADD_COLLECT_DIRS));
    collect_ = nullptr;
    if (rc == ERR_BLOCK_EXISTS) {
        DbgPrintf("ReadSubDirectory - sector %lu read twice\n", static_cast<unsigned long>(sector));
        return KW_OK;
    }
    for (uint32_t i = 0; rc == KW_OK && !*ended && i < kEntries; ++i)
        *ended = data[i * FAT_DIR_ENTRY_SIZE] == 0;
    if (rc == KW_OK && progress_ != nullptr && GetBlockCount() % 100 == 0)
        rc = progress_->UpdateCount(GetBlockCount(), progressTotal_);
    return rc;
}

// One folder's chain. A chain that reaches a cluster already read as a
// folder ends there, so no walk outlasts the volume's clusters.
kwRet FAT_DIR_BLOCKS::readChain(uint32_t first, bool isRoot, std::vector<uint32_t>* subfolders) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    const FAT_BLOCKS* fat = volume_->GetFat();
    if (first > boot->LastCluster()) {
        DbgPrintf("ReadSubDirectory - Starting directory cluster %lu is too big (Total Clusters = "
                  "%lu)\n",
                  static_cast<unsigned long>(first),
                  static_cast<unsigned long>(boot->clusterCount));
        return KW_OK;
    }
    uint32_t spc = boot->sectorsPerCluster;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[spc * FAT_SECTOR_SIZE]);
    if (!buffer)
        return ERR_NO_MEMORY;
    bool ended = false;
    uint32_t c = first;
    for (uint32_t link = 0;; ++link) {
        if (!boot->IsDataCluster(c) || dirClusters_.IsSet(c)) {
            DbgPrintf("ReadSubDirectory - Directory cluster chain starting at cluster %lu meets "
                      "cluster %lu again or leaves the volume at link %lu\n",
                      static_cast<unsigned long>(first), static_cast<unsigned long>(c),
                      static_cast<unsigned long>(link));
            return KW_OK;
        }
        dirClusters_.SetBit(c);
        kwRet rc = volume_->ReadSectors(boot->ClusterToSector(c), buffer.get(), spc);
        if (rc != KW_OK)
            return rc;
        if (link == 0 && !isRoot && (buffer[0] != '.' || buffer[32] != '.' || buffer[33] != '.')) {
            DbgPrintf("ReadSubDirectory - Cluster %lu appears to contain garbage\n",
                      static_cast<unsigned long>(c));
            return KW_OK;
        }
        for (uint32_t s = 0; rc == KW_OK && s < spc; ++s)
            rc = addSector(boot->ClusterToSector(c) + s, buffer.get() + s * FAT_SECTOR_SIZE, c,
                           &ended, subfolders);
        if (rc != KW_OK)
            return rc;
        uint32_t next = fat->GetNextCluster(c);
        if (next == 0 || next == FAT_BAD || (next >= FAT_EOC && next != FAT_EOC_MARK)) {
            if (next == 0)
                DbgPrintf("ReadSubDirectory - Directory cluster chain starting at cluster %lu has "
                          "a zero at link %lu\n",
                          static_cast<unsigned long>(first), static_cast<unsigned long>(link));
            else
                DbgPrintf("ReadSubDirectory - Directory cluster chain starting at cluster %lu has "
                          "a bad value (%lu) at link %lu\n",
                          static_cast<unsigned long>(first), static_cast<unsigned long>(next),
                          static_cast<unsigned long>(link));
        }
        if (next < 2 || next >= FAT_BAD)
            return KW_OK;
        c = next;
    }
}

kwRet FAT_DIR_BLOCKS::ReadSubDirectory(uint32_t firstCluster, bool recurse) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot == nullptr)
        return ERR_NOT_OPEN;
    if (dirClusters_.GetWords() == nullptr &&
        dirClusters_.Create(boot->LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    std::vector<uint32_t> pending{firstCluster};
    while (!pending.empty()) {
        uint32_t c = pending.back();
        pending.pop_back();
        std::vector<uint32_t> subfolders;
        kwRet rc = KW_OK;
        try {
            rc = readChain(c, c == boot->rootCluster, &subfolders);
            if (recurse)
                pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
        } catch (const std::bad_alloc&) {
            rc = ERR_NO_MEMORY;
        }
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet FAT_DIR_BLOCKS::ReadDirectory(uint32_t progressTotal, MOVE_MAP* moves) {
    if (read_)
        return KW_OK;
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot == nullptr)
        return ERR_NOT_OPEN;
    auto progress = std::unique_ptr<Progress>(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    uint64_t dataSectors = uint64_t{boot->clusterCount} * boot->sectorsPerCluster;
    progressTotal_ = progressTotal != 0
                         ? progressTotal
                         : static_cast<uint32_t>(std::max<uint64_t>(1, dataSectors / 400));
    progress_ = progress.get();
    kwRet rc = readAll(moves);
    progress_ = nullptr;
    if (rc == KW_OK)
        progress->Complete();
    return rc;
}

kwRet FAT_DIR_BLOCKS::readAll(MOVE_MAP* moves) {
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    DbgPrintf("ReadDirectory - Begin\n");
    if (dirClusters_.Create(boot->LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    moves_ = moves;
    ownerValue_ = boot->IsFat32() ? 5 : 4;
    kwRet rc = KW_OK;
    // A FAT16 root this session put in a chain (its fixed area holds only
    // the DYN_ROOT entry) is read from the chain, as a FAT32 root.
    if (boot->IsFat32() || boot->rootCluster != 0) {
        uint32_t root = boot->rootCluster;
        if (root == 0) {
            DbgPrintf("ReadDirectory - The root directory cluster is zero\n");
            moves_ = nullptr;
            return ERR_FAT_BAD_CLUSTER;
        }
        if (moves != nullptr && root < moves->GetEntryCount() && moves->GetTarget(root) != 0) {
            root = moves->GetTarget(root);
            volume_->SetRootCluster(root);
        }
        firstRootSector_ = boot->ClusterToSector(root);
        rc = ReadSubDirectory(root, true);
    } else {
        firstRootSector_ = boot->FirstRootSector();
        uint32_t n = boot->RootDirSectors();
        std::unique_ptr<uint8_t[]> root(new (std::nothrow) uint8_t[n * FAT_SECTOR_SIZE]);
        rc = root ? volume_->ReadSectors(firstRootSector_, root.get(), n) : ERR_NO_MEMORY;
        std::vector<uint32_t> subfolders;
        bool ended = false;
        for (uint32_t i = 0; rc == KW_OK && i < n; ++i)
            rc = addSector(firstRootSector_ + i, root.get() + i * FAT_SECTOR_SIZE, 0, &ended,
                           &subfolders);
        for (uint32_t i = 0; rc == KW_OK && i < subfolders.size(); ++i)
            rc = ReadSubDirectory(subfolders[i], true);
    }
    moves_ = nullptr;
    if (rc != KW_OK)
        return rc;
    read_ = true;
    DbgPrintf("ReadDirectory - Successful (Directory has %lu blocks with %lu entries)\n",
              static_cast<unsigned long>(GetBlockCount()),
              static_cast<unsigned long>(counts_.entries));
    return KW_OK;
}

kwRet FAT_DIR_BLOCKS::WriteDirectory(bool all) {
    if (volume_->IsReadOnly())
        return volume_->IsDamaged() ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    if (!all && !changed_)
        return KW_OK;
    uint8_t buffer[FAT_SECTOR_SIZE];
    uint32_t written = 0;
    for (uint32_t s = NextPresent(0); s != STATE_MAP_NONE; s = NextPresent(s + 1)) {
        BLOCK_ENTRY* b = nullptr;
        kwRet rc = FindBlock(s, &b);
        if (rc != KW_OK)
            return rc;
        if (!all && (b->flags & BLOCK_CHANGED) == 0)
            continue;
        rc = ReadBlock(s, buffer, FAT_SECTOR_SIZE);
        if (rc == KW_OK)
            rc = volume_->WriteSectors(s, buffer, 1);
        if (rc != KW_OK)
            return rc;
        b->flags &= static_cast<uint16_t>(~BLOCK_CHANGED);
        ++written;
    }
    volume_->ForgetFolders();
    const FAT_BOOT_RECORD* boot = volume_->GetBootRecord();
    if (boot->IsFat32())
        volume_->SetRootCluster(boot->SectorToCluster(firstRootSector_));
    changed_ = false;
    DbgPrintf("WriteDirectory - %lu dirty blocks (out of %lu) written to disk\n",
              static_cast<unsigned long>(written), static_cast<unsigned long>(GetBlockCount()));
    return KW_OK;
}
