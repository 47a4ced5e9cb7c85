// FAT_FILESYSTEM: creating, deleting and renaming entries. A name that is
// not a strict 8.3 name gets long-name pieces and a unique 8.3 alias, as
// FAT file systems write them. New clusters reach the FAT before the entry
// that names them; a rename writes the new entry before it removes the old
// one, so an interruption never loses a file.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Deeper folders than this cannot exist (a path has at most 260 characters).
constexpr uint32_t kMaxDepth = 256;
constexpr uint32_t kMaxAliasTail = 999999;

bool IsFree(const uint8_t* e) {
    return e[0] == 0 || e[0] == FAT_DELETED;
}

// The parent part and the name part of a path (split at the last '\').
void SplitPath(const char* path, std::string* parent, std::string* name) {
    std::string p = FatVolumePath(path);
    size_t slash = p.find_last_of('\\');
    if (slash == std::string::npos) {
        parent->assign(1, '\\');
        name->assign(p);
        return;
    }
    parent->assign(p, 0, slash);
    name->assign(p, slash + 1, std::string::npos);
    if (parent->empty())
        parent->assign(1, '\\');
}

void SetCluster(uint8_t* entry, uint32_t cluster, bool fat32) {
    kwbytes::StoreLe16(entry + FDE_CLUSTER_LOW, static_cast<uint16_t>(cluster));
    kwbytes::StoreLe16(entry + FDE_CLUSTER_HIGH, fat32 ? static_cast<uint16_t>(cluster >> 16) : 0);
}

} // namespace

kwRet FAT_FILESYSTEM::writeDirEntries(FAT_DIRECTORY& dir, uint32_t first, uint32_t count) {
    folders_.Drop();
    uint32_t lastSector = STATE_MAP_NONE;
    for (uint32_t i = first; i < first + count; ++i) {
        if (i / 16 == lastSector)
            continue;
        lastSector = i / 16;
        kwRet rc = WriteSectors(dir.SectorOf(i), dir.SectorData(lastSector), 1);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Appends one zeroed cluster to a folder's chain.
kwRet FAT_FILESYSTEM::growDirectory(uint32_t cluster) {
    if (cluster == 0 && !boot_.IsFat32())
        return ERR_FAT_ROOT_FULL;
    uint32_t* chain = nullptr;
    uint32_t count = 0;
    uint32_t first = cluster == 0 ? boot_.rootCluster : cluster;
    kwRet rc = chainClusters(first, boot_.clusterCount, &chain, &count);
    uint32_t added = 0;
    if (rc == KW_OK && count * boot_.BytesPerCluster() / FAT_DIR_ENTRY_SIZE >= FAT_MAX_DIR_ENTRIES)
        rc = ERR_DIR_FULL;
    if (rc == KW_OK)
        rc = allocateCluster(chain[count - 1] + 1, &added);
    if (rc == KW_OK)
        rc = zeroCluster(added);
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(added, FAT_EOC_MARK);
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(chain[count - 1], added);
    delete[] chain;
    return rc == KW_OK ? FlushFat() : rc;
}

// A unique 8.3 name for `name` in the folder, and whether it needs pieces.
kwRet FAT_FILESYSTEM::pickShortName(const FAT_DIRECTORY& dir, const char16_t* name,
                                    uint8_t* short11, bool* needsLong) {
    std::vector<std::array<uint8_t, 11>> taken;
    for (uint32_t i = 0; i < dir.EntryCount(); ++i) {
        const uint8_t* e = dir.Entry(i);
        if (e[0] == 0)
            break;
        // A volume label's name is no file's: a file may take it.
        if (!IsFree(e) && e[FDE_ATTR] != FAT_ATTR_LFN && (e[FDE_ATTR] & FAT_ATTR_VOLUME) == 0) {
            std::array<uint8_t, 11> n;
            std::memcpy(n.data(), e, 11);
            taken.push_back(n);
        }
    }
    std::sort(taken.begin(), taken.end());
    auto isTaken = [&](const uint8_t* candidate) {
        std::array<uint8_t, 11> n;
        std::memcpy(n.data(), candidate, 11);
        return std::binary_search(taken.begin(), taken.end(), n);
    };
    short11[FDE_CASE] = 0;
    *needsLong = !FatShortFormWithCase(name, short11, &short11[FDE_CASE]);
    if (!*needsLong)
        return isTaken(short11) ? ERR_FILE_EXISTS : KW_OK;
    uint8_t basis[11];
    FatAliasBasis(name, basis);
    for (uint32_t n = 1; n <= kMaxAliasTail; ++n) {
        FatAliasWithTail(basis, n, short11);
        if (!isTaken(short11))
            return KW_OK;
    }
    return ERR_DIR_FULL;
}

// Writes `entry` (its name filled here) and its long-name pieces into a
// free run of the folder, growing the folder when it has none.
kwRet FAT_FILESYSTEM::insertEntry(uint32_t parent, const char16_t* name, uint8_t* entry,
                                  FAT_FOUND* where) {
    FAT_DIRECTORY dir;
    kwRet rc = LoadDirectory(parent, &dir, true);
    bool needsLong = false;
    if (rc == KW_OK)
        rc = pickShortName(dir, name, entry, &needsLong);
    if (rc != KW_OK)
        return rc;
    size_t length = 0;
    while (name[length] != 0)
        ++length;
    uint32_t pieces = needsLong ? static_cast<uint32_t>((length + 12) / 13) : 0;
    uint32_t needed = pieces + 1;
    for (uint32_t attempt = 0; attempt < 4; ++attempt) {
        uint32_t run = 0, start = 0;
        bool ended = false;
        for (uint32_t i = 0; i < dir.EntryCount() && run < needed; ++i) {
            const uint8_t* e = dir.Entry(i);
            ended = ended || e[0] == 0;
            if (ended || IsFree(e)) {
                start = run == 0 ? i : start;
                ++run;
            } else {
                run = 0;
            }
        }
        if (run == needed) {
            uint8_t sum = LfnChecksum(entry);
            for (uint32_t k = 0; k < pieces; ++k)
                FatLongNamePiece(name, pieces - k, k == 0, sum, dir.Entry(start + k));
            std::memcpy(dir.Entry(start + pieces), entry, FAT_DIR_ENTRY_SIZE);
            rc = writeDirEntries(dir, start, needed);
            if (rc == KW_OK && where != nullptr) {
                std::memcpy(where->entry, entry, FAT_DIR_ENTRY_SIZE);
                where->parentCluster = parent;
                where->entryIndex = start + pieces;
                where->entrySector = dir.SectorOf(start + pieces);
                where->firstPieceIndex = start;
                where->isRoot = false;
            }
            return rc;
        }
        rc = growDirectory(parent);
        if (rc == KW_OK)
            rc = LoadDirectory(parent, &dir, true);
        if (rc != KW_OK)
            return rc;
    }
    return ERR_DIR_FULL;
}

kwRet FAT_FILESYSTEM::parentOf(const char* path, uint32_t* cluster, std::u16string* name) {
    std::string parentPath, leaf;
    SplitPath(path, &parentPath, &leaf);
    std::vector<char16_t> wide(leaf.size() + 2);
    Utf8ToUtf16(leaf.c_str(), wide.data(), wide.size());
    *name = wide.data();
    if (leaf.empty() || !FatNameValid(name->c_str()))
        return ERR_INVALID_PATH;
    FAT_FOUND parent;
    kwRet rc = FindPath(parentPath.c_str(), FAT_ATTR_DIRECTORY, &parent);
    if (rc != KW_OK)
        return rc;
    *cluster = parent.isRoot ? 0 : FAT_DIR_ENTRY::Parse(parent.entry, boot_.IsFat32()).firstCluster;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::FileCreate(const char* path, uint8_t attribute) {
    if (path == nullptr)
        return ERR_BAD_POINTER;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    FAT_FOUND found;
    rc = FindPath(path, attribute & FAT_ATTR_VOLUME, &found);
    if (rc == KW_OK)
        return ERR_FILE_EXISTS;
    if (rc != ERR_FILE_NOT_FOUND)
        return rc;
    uint32_t parent = 0;
    std::u16string name;
    rc = parentOf(path, &parent, &name);
    if (rc != KW_OK)
        return rc;
    uint8_t entry[FAT_DIR_ENTRY_SIZE] = {};
    entry[FDE_ATTR] = attribute;
    FatStampWrite(entry);
    std::memcpy(entry + FDE_CTIME, entry + FDE_WTIME, 4);
    uint32_t cluster = 0;
    if (attribute & FAT_ATTR_DIRECTORY) {
        rc = makeDirectoryCluster(parent, entry, &cluster);
        if (rc != KW_OK)
            return rc;
        SetCluster(entry, cluster, boot_.IsFat32());
    }
    rc = insertEntry(parent, name.c_str(), entry, nullptr);
    if (rc != KW_OK && cluster != 0) {
        fat_->SetNextCluster(cluster, 0);
        FlushFat();
    }
    return rc == KW_OK ? flushDisk() : rc;
}

// A new folder's first cluster with "." and "..", in the FAT.
kwRet FAT_FILESYSTEM::makeDirectoryCluster(uint32_t parent, const uint8_t* entry,
                                           uint32_t* cluster) {
    kwRet rc = allocateCluster(2, cluster);
    if (rc == KW_OK)
        rc = zeroCluster(*cluster);
    if (rc != KW_OK)
        return rc;
    std::memset(sector_, 0, FAT_SECTOR_SIZE);
    for (int i = 0; i < 2; ++i) {
        uint8_t* dot = sector_ + i * FAT_DIR_ENTRY_SIZE;
        std::memcpy(dot, entry, FAT_DIR_ENTRY_SIZE);
        std::memcpy(dot, i == 0 ? ".          " : "..         ", 11);
        SetCluster(dot, i == 0 ? *cluster : parent, boot_.IsFat32());
    }
    rc = WriteSectors(boot_.ClusterToSector(*cluster), sector_, 1);
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(*cluster, FAT_EOC_MARK);
    return rc == KW_OK ? FlushFat() : rc;
}

// Marks a found entry and its long-name pieces deleted.
kwRet FAT_FILESYSTEM::removeEntry(const FAT_FOUND& found) {
    FAT_DIRECTORY dir;
    kwRet rc = LoadDirectory(found.parentCluster, &dir, true);
    if (rc != KW_OK)
        return rc;
    if (found.entryIndex >= dir.EntryCount() ||
        std::memcmp(dir.Entry(found.entryIndex), found.entry, 11) != 0)
        return ERR_FILE_NOT_FOUND;
    for (uint32_t i = found.firstPieceIndex; i <= found.entryIndex; ++i)
        dir.Entry(i)[0] = FAT_DELETED;
    return writeDirEntries(dir, found.firstPieceIndex,
                           found.entryIndex - found.firstPieceIndex + 1);
}

// The entry keeps its place and its 8.3 name; its long name goes.
kwRet FAT_FILESYSTEM::dropPieces(const FAT_FOUND& found) {
    FAT_DIRECTORY dir;
    kwRet rc = LoadDirectory(found.parentCluster, &dir, true);
    if (rc != KW_OK)
        return rc;
    if (found.entryIndex >= dir.EntryCount() ||
        std::memcmp(dir.Entry(found.entryIndex), found.entry, 11) != 0)
        return ERR_FILE_NOT_FOUND;
    for (uint32_t i = found.firstPieceIndex; i < found.entryIndex; ++i)
        dir.Entry(i)[0] = FAT_DELETED;
    dir.Entry(found.entryIndex)[FDE_CASE] = 0;
    return writeDirEntries(dir, found.firstPieceIndex,
                           found.entryIndex - found.firstPieceIndex + 1);
}

kwRet FAT_FILESYSTEM::findToChange(const char* path, uint8_t attribute, FAT_FOUND* found) {
    if (path == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    rc = FindPath(path, attribute, found);
    if (rc != KW_OK)
        return rc;
    return found->isRoot ? ERR_ILLEGAL_OPERATION : KW_OK;
}

kwRet FAT_FILESYSTEM::FileDelete(const char* path, uint8_t attribute) {
    FAT_FOUND found;
    kwRet rc = findToChange(path, attribute, &found);
    if (rc != KW_OK)
        return rc;
    FAT_DIR_ENTRY e = FAT_DIR_ENTRY::Parse(found.entry, boot_.IsFat32());
    if (e.IsDirectory() && e.firstCluster != 0) {
        FAT_DIRECTORY dir;
        rc = LoadDirectory(e.firstCluster, &dir, false);
        FAT_DIR_WALK walk(dir, boot_.IsFat32());
        FAT_DIR_ITEM item;
        while (rc == KW_OK && walk.Next(&item)) {
            if (!item.entry.IsDot())
                rc = ERR_DIR_NOT_EMPTY;
        }
        if (rc != KW_OK)
            return rc;
    }
    // The entry goes first: until its clusters are free, a crash leaves them
    // unused, never owned twice.
    rc = removeEntry(found);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc != KW_OK)
        return rc;
    freeChain(e.firstCluster);
    return FlushFat();
}

// True when `cluster` (a folder) is `ancestor` or lies below it.
bool FAT_FILESYSTEM::isBelow(uint32_t cluster, uint32_t ancestor) {
    FAT_DIRECTORY dir;
    for (uint32_t depth = 0; depth < kMaxDepth; ++depth) {
        if (cluster == ancestor)
            return true;
        if (cluster == 0 || LoadDirectory(cluster, &dir, false) != KW_OK || dir.EntryCount() < 2)
            return false;
        const uint8_t* dots = dir.Entry(1);
        if (std::memcmp(dots, "..         ", 11) != 0)
            return false;
        cluster = FAT_DIR_ENTRY::Parse(std::span<const uint8_t, 32>(dots, 32), boot_.IsFat32())
                      .firstCluster;
    }
    return true;
}

kwRet FAT_FILESYSTEM::FileRename(const char* oldPath, const char* newPath, uint8_t attribute) {
    if (newPath == nullptr)
        return ERR_BAD_ARGUMENT;
    FAT_FOUND src;
    kwRet rc = findToChange(oldPath, attribute, &src);
    if (rc != KW_OK)
        return rc;
    uint32_t parent = 0;
    std::u16string name;
    rc = parentOf(newPath, &parent, &name);
    if (rc != KW_OK)
        return rc;
    FAT_FOUND existing;
    rc = FindPath(newPath, 0, &existing);
    bool same = rc == KW_OK && existing.parentCluster == src.parentCluster &&
                existing.entryIndex == src.entryIndex;
    if (rc == KW_OK && !same)
        return ERR_FILE_EXISTS;
    if (rc != KW_OK && rc != ERR_FILE_NOT_FOUND)
        return rc;
    FAT_DIR_ENTRY e = FAT_DIR_ENTRY::Parse(src.entry, boot_.IsFat32());
    bool moved = parent != src.parentCluster;
    if (e.IsDirectory() && moved && isBelow(parent, e.firstCluster))
        return ERR_ILLEGAL_OPERATION;
    uint8_t entry[FAT_DIR_ENTRY_SIZE];
    std::memcpy(entry, src.entry, FAT_DIR_ENTRY_SIZE);
    entry[FDE_CASE] = 0;
    uint8_t strict[11];
    if (same && FatShortForm(name.c_str(), strict) && std::memcmp(strict, src.entry, 11) == 0) {
        rc = dropPieces(src);
        return rc == KW_OK ? flushDisk() : rc;
    }
    rc = insertEntry(parent, name.c_str(), entry, nullptr);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        rc = removeEntry(src);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc != KW_OK || !e.IsDirectory() || !moved || e.firstCluster == 0)
        return rc;
    uint32_t first = boot_.ClusterToSector(e.firstCluster);
    rc = ReadSectors(first, sector_, 1);
    if (rc != KW_OK)
        return rc;
    uint8_t* dots = sector_ + FAT_DIR_ENTRY_SIZE;
    if (std::memcmp(dots, "..         ", 11) != 0)
        return KW_OK;
    SetCluster(dots, parent, boot_.IsFat32());
    folders_.Drop();
    rc = WriteSectors(first, sector_, 1);
    return rc == KW_OK ? flushDisk() : rc;
}
