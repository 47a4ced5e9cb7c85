// FAT_FILESYSTEM: reading directories, finding paths and listing folders.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The clusters a directory may span: the format's entry limit.
uint32_t MaxDirClusters(const FAT_BOOT_RECORD& b) {
    uint32_t n = FAT_MAX_DIR_ENTRIES * FAT_DIR_ENTRY_SIZE / b.BytesPerCluster();
    return n == 0 ? 1 : n;
}

// True when the sectors hold an end mark (an entry starting with 0).
bool HasEndMark(const uint8_t* bytes, uint32_t sectors) {
    for (uint32_t i = 0; i < sectors * 16; ++i) {
        if (bytes[i * FAT_DIR_ENTRY_SIZE] == 0)
            return true;
    }
    return false;
}

} // namespace

kwRet FAT_FILESYSTEM::LoadDirectory(uint32_t cluster, FAT_DIRECTORY* dir, bool whole) {
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (cluster == 0 && !boot_.IsFat32()) {
        uint32_t n = boot_.RootDirSectors(), first = boot_.FirstRootSector();
        kwRet rc = dir->Reserve(n);
        if (rc == KW_OK)
            rc = ReadSectors(first, dir->SectorData(0), n);
        for (uint32_t i = 0; rc == KW_OK && i < n; ++i)
            dir->SetSector(i, first + i);
        dir->SetCount(rc == KW_OK ? n : 0, 0);
        return rc;
    }
    uint32_t start = cluster == 0 ? boot_.rootCluster : cluster;
    uint32_t spc = boot_.sectorsPerCluster, limit = MaxDirClusters(boot_);
    SECTOR_RUN* runs = nullptr;
    uint32_t got = 0;
    kwRet rc = ChainToRuns(start, limit + 1, &runs, &got);
    if (rc == KW_OK && got > limit)
        rc = ERR_BAD_SUBDIRECTORY;
    if (rc != KW_OK) {
        FreeSectorRuns(runs);
        DbgPrintf("LoadDirectory: the chain of directory cluster %lu is broken\n",
                  static_cast<unsigned long>(start));
        return rc == ERR_NO_MEMORY ? rc : ERR_BAD_SUBDIRECTORY;
    }
    rc = dir->Reserve(got * spc);
    uint32_t count = 0;
    for (SECTOR_RUN* r = runs; rc == KW_OK && r != nullptr; r = r->next) {
        rc = ReadSectors(r->firstSector, dir->SectorData(count), r->sectorCount);
        for (uint32_t i = 0; rc == KW_OK && i < r->sectorCount; ++i)
            dir->SetSector(count + i, r->firstSector + i);
        if (rc == KW_OK)
            count += r->sectorCount;
        if (!whole && rc == KW_OK &&
            HasEndMark(dir->SectorData(count - r->sectorCount), r->sectorCount))
            break;
    }
    FreeSectorRuns(runs);
    dir->SetCount(rc == KW_OK ? count : 0, cluster);
    return rc;
}

namespace {

// The next component of a path: skips separators; false at the end.
bool NextComponent(const char*& p, const char** start, size_t* length) {
    while (*p == '\\')
        ++p;
    if (*p == '\0')
        return false;
    *start = p;
    while (*p != '\0' && *p != '\\')
        ++p;
    *length = static_cast<size_t>(p - *start);
    return true;
}

} // namespace

kwRet FAT_FILESYSTEM::folderFor(uint32_t cluster, FAT_FOLDER** folder) {
    *folder = folders_.Get(cluster);
    if (*folder != nullptr)
        return KW_OK;
    FAT_FOLDER* made = folders_.Make(cluster);
    if (made == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = LoadDirectory(cluster, &made->dir, false);
    if (rc != KW_OK)
        return rc;
    if (!made->Index(boot_.IsFat32()))
        return ERR_NO_MEMORY;
    made->valid = true;
    *folder = made;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::FindPath(const char* path, uint8_t attribute, FAT_FOUND* found) {
    if (path == nullptr || found == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!initialised_)
        return ERR_NOT_OPEN;
    const char* p = FatVolumePath(path);
    *found = FAT_FOUND{};
    found->isRoot = true;
    found->entry[FDE_ATTR] = FAT_ATTR_DIRECTORY;
    auto name = std::unique_ptr<char[]>(new (std::nothrow) char[std::strlen(p) + 1]);
    auto wanted = std::unique_ptr<char16_t[]>(new (std::nothrow) char16_t[LFN_MAX_CHARS + 2]);
    if (!name || !wanted)
        return ERR_NO_MEMORY;
    uint32_t cluster = 0;
    const char* start;
    size_t length;
    while (NextComponent(p, &start, &length)) {
        if (!found->isRoot && (found->entry[FDE_ATTR] & FAT_ATTR_DIRECTORY) == 0)
            return ERR_FILE_NOT_FOUND;
        if (!found->isRoot) {
            FAT_DIR_ENTRY e = FAT_DIR_ENTRY::Parse(found->entry, boot_.IsFat32());
            cluster = e.firstCluster;
        }
        std::memcpy(name.get(), start, length);
        name[length] = '\0';
        // A name FAT cannot hold names nothing here (a ':' past the drive
        // prefix among them, which would otherwise cut the path short).
        if (std::strpbrk(name.get(), ":\"<>|") != nullptr)
            return ERR_INVALID_PATH;
        Utf8ToUtf16(name.get(), wanted.get(), LFN_MAX_CHARS + 2);
        FAT_FOLDER* folder = nullptr;
        kwRet rc = folderFor(cluster, &folder);
        if (rc != KW_OK)
            return rc;
        const FAT_FOLDER_ITEM* hit = folder->Find(wanted.get(), attribute == FAT_ATTR_VOLUME);
        if (hit == nullptr)
            return ERR_FILE_NOT_FOUND;
        std::memcpy(found->entry, folder->dir.Entry(hit->index), FAT_DIR_ENTRY_SIZE);
        found->isRoot = false;
        found->parentCluster = cluster;
        found->entrySector = folder->dir.SectorOf(hit->index);
        found->entryIndex = hit->index;
        found->firstPieceIndex = hit->firstIndex;
    }
    if ((attribute & FAT_ATTR_DIRECTORY) && (found->entry[FDE_ATTR] & FAT_ATTR_DIRECTORY) == 0)
        return ERR_FILE_NOT_FOUND;
    // ".." names the root with cluster 0.
    return KW_OK;
}

kwRet FAT_FILESYSTEM::ReadDirList(DIRLIST* list, const char* path, uint32_t longNames) {
    if (list == nullptr || path == nullptr)
        return ERR_BAD_ARGUMENT;
    FAT_FOUND where;
    kwRet rc = FindPath(path, FAT_ATTR_DIRECTORY, &where);
    if (rc != KW_OK)
        return rc;
    uint32_t cluster =
        where.isRoot ? 0 : FAT_DIR_ENTRY::Parse(where.entry, boot_.IsFat32()).firstCluster;
    if (!where.isRoot && cluster == 0 && where.entry[0] != '.')
        return ERR_BAD_SUBDIRECTORY;
    FAT_DIRECTORY dir;
    rc = LoadDirectory(cluster, &dir, false);
    if (rc != KW_OK)
        return rc;
    auto item = std::unique_ptr<FAT_DIR_ITEM>(new (std::nothrow) FAT_DIR_ITEM);
    auto name = std::unique_ptr<char[]>(new (std::nothrow) char[FAT_NAME_BYTES]);
    if (!item || !name)
        return ERR_NO_MEMORY;
    FAT_DIR_WALK walk(dir, boot_.IsFat32());
    while (walk.Next(item.get())) {
        const FAT_DIR_ENTRY& e = item->entry;
        if (e.IsVolumeLabel())
            continue;
        char shortName[40], stored[40];
        ShortNameDisplay(e.name, e.caseFlags, shortName, sizeof shortName);
        bool useLong = longNames && item->hasLongName;
        if (useLong)
            Utf16ToUtf8(item->longName, name.get(), FAT_NAME_BYTES);
        else
            std::memcpy(name.get(), shortName, std::strlen(shortName) + 1);
        ShortNameStored(e.name, stored, sizeof stored);
        KW_DATE date;
        KW_TIME time;
        FatDecodeDate(e.writeDate, &date);
        FatDecodeTime(e.writeTime, &time);
        bool times = list->GetWantTimes();
        const char* alias = std::strcmp(stored, name.get()) != 0 ? stored : nullptr;
        rc = list->AddEntry(name.get(), e.attributes & ~FAT_ATTR_VOLUME, times ? e.size : 0, 0,
                            times ? &date : nullptr, times ? &time : nullptr,
                            times ? item->index * FAT_DIR_ENTRY_SIZE : DIRLIST_NO_EXTRA, alias);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet FAT_FILESYSTEM::ListDirectory(DIRLIST* list, const char* path, uint32_t flags) {
    return ReadDirList(list, path, flags & LIST_LONG_NAMES);
}

kwRet FAT_FILESYSTEM::CountRootEntries(uint32_t* count, bool all) {
    if (count == nullptr)
        return ERR_BAD_ARGUMENT;
    *count = 0;
    FAT_DIRECTORY root;
    kwRet rc = LoadDirectory(0, &root, false);
    for (uint32_t i = 0; rc == KW_OK && i < root.EntryCount() && root.Entry(i)[0] != 0; ++i)
        *count += all || root.Entry(i)[0] != FAT_DELETED ? 1 : 0;
    return rc;
}
