// FAT_FILESYSTEM: the used-sector maps. They follow what the directories
// reference, not the FAT: clusters no entry reaches and the slack after a
// file's last byte count as unused. The tree is walked one directory at a
// time from an explicit stack; a map of directory clusters already visited
// cuts loops (a folder that names its ancestor is visited once).
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"

#include <cstring>
#include <new>

// Pending directories of the walk.
struct DirStack {
    struct Node {
        Node* below;
        uint32_t cluster;
    };
    Node* top = nullptr;
    ~DirStack() {
        while (top != nullptr)
            Pop();
    }
    bool Push(uint32_t cluster) {
        auto* n = new (std::nothrow) Node{top, cluster};
        if (n == nullptr)
            return false;
        top = n;
        return true;
    }
    uint32_t Pop() {
        Node* n = top;
        top = n->below;
        uint32_t c = n->cluster;
        delete n;
        return c;
    }
};

namespace {

// PAGEFILE.SYS and WIN386.SWP count with their first 4096 bytes only.
bool IsSwapFile(const FAT_DIR_ENTRY& e) {
    if (e.name[8] != 'S' && e.name[8] != 's')
        return false;
    return std::memcmp(e.name, "PAGEFILESYS", 11) == 0 ||
           std::memcmp(e.name, "WIN386  SWP", 11) == 0;
}

constexpr uint32_t kSwapKeptBytes = 4096;

} // namespace

void FAT_FILESYSTEM::markChain(STATE_MAP* map, uint32_t first, uint32_t sectors) {
    uint32_t spc = boot_.sectorsPerCluster;
    SECTOR_RUN* runs = nullptr;
    uint32_t got = 0;
    if (ChainToRuns(first, (sectors + spc - 1) / spc, &runs, &got) != KW_OK)
        DbgPrintf("GenerateBitmap: the chain from cluster %lu is broken\n",
                  static_cast<unsigned long>(first));
    for (SECTOR_RUN* r = runs; r != nullptr && sectors > 0; r = r->next) {
        uint32_t n = r->sectorCount < sectors ? r->sectorCount : sectors;
        map->SetRange(r->firstSector, n);
        sectors -= n;
    }
    FreeSectorRuns(runs);
}

kwRet FAT_FILESYSTEM::mapDirectory(FAT_DIRECTORY& dir, STATE_MAP* meta, STATE_MAP* data,
                                   uint32_t flags, STATE_MAP& dirSeen, DirStack& stack) {
    for (uint32_t i = 0; meta != nullptr && i < dir.SectorCount(); ++i)
        meta->SetBit(dir.SectorOf(i * 16));
    FAT_DIR_WALK walk(dir, boot_.IsFat32());
    auto* item = new (std::nothrow) FAT_DIR_ITEM;
    if (item == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = KW_OK;
    while (rc == KW_OK && walk.Next(item)) {
        const FAT_DIR_ENTRY& e = item->entry;
        if (e.IsVolumeLabel() || e.firstCluster == 0 || e.IsDot())
            continue;
        if (e.IsDirectory()) {
            if (!boot_.IsDataCluster(e.firstCluster) || dirSeen.IsSet(e.firstCluster)) {
                DbgPrintf("GenerateBitmap: folder cluster %lu skipped\n",
                          static_cast<unsigned long>(e.firstCluster));
                continue;
            }
            dirSeen.SetBit(e.firstCluster);
            rc = stack.Push(e.firstCluster) ? KW_OK : ERR_NO_MEMORY;
        } else if (data != nullptr) {
            uint32_t size = (flags & FS_MAP_SHORT_SWAP) && IsSwapFile(e) && e.size > 8 * 512
                                ? kSwapKeptBytes
                                : e.size;
            markChain(data, e.firstCluster, static_cast<uint32_t>((uint64_t{size} + 511) / 512));
        }
    }
    delete item;
    return rc;
}

kwRet FAT_FILESYSTEM::mapDirectoryTree(STATE_MAP* meta, STATE_MAP* data, uint32_t flags) {
    STATE_MAP dirSeen;
    if (dirSeen.Create(boot_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    if (boot_.IsFat32())
        dirSeen.SetBit(boot_.rootCluster);
    DirStack stack;
    FAT_DIRECTORY dir;
    uint32_t cluster = 0;
    for (;;) {
        kwRet rc = LoadDirectory(cluster, &dir, true);
        if (rc == ERR_NO_MEMORY || (rc != KW_OK && cluster == 0))
            return rc;
        if (rc == KW_OK)
            rc = mapDirectory(dir, meta, data, flags, dirSeen, stack);
        if (rc == ERR_NO_MEMORY)
            return rc;
        if (stack.top == nullptr)
            return KW_OK;
        cluster = stack.Pop();
    }
}

kwRet FAT_FILESYSTEM::GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) {
    if (!initialised_)
        return ERR_NOT_OPEN;
    bool wantMeta = (flags & FS_MAP_METADATA) != 0, wantData = (flags & FS_MAP_FILE_DATA) != 0;
    if ((wantMeta && map1 == nullptr) || (wantData && map2 == nullptr))
        return ERR_BAD_ARGUMENT;
    STATE_MAP* made[2] = {};
    uint32_t bits = GetPI()->NumSects;
    for (int i = 0; i < 2; ++i) {
        if (!(i == 0 ? wantMeta : wantData))
            continue;
        made[i] = new (std::nothrow) STATE_MAP;
        if (made[i] == nullptr || made[i]->Create(bits, false) != KW_OK) {
            delete made[0];
            delete made[1];
            return ERR_NO_MEMORY;
        }
    }
    if (made[0] != nullptr)
        made[0]->SetRange(0, boot_.FirstDataSector());
    kwRet rc = mapDirectoryTree(made[0], made[1], flags);
    if (rc != KW_OK) {
        delete made[0];
        delete made[1];
        return rc;
    }
    for (int i = 0; i < 2; ++i) {
        STATE_MAP** out = i == 0 ? map1 : map2;
        if (made[i] == nullptr)
            continue;
        made[i]->ulLastUsed = made[i]->LastSet();
        delete *out;
        *out = made[i];
    }
    return KW_OK;
}

kwRet FAT_FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t flags) {
    if (map == nullptr)
        return ERR_BAD_ARGUMENT;
    STATE_MAP* data = nullptr;
    kwRet rc = GenerateBitmaps(map, &data, flags | FS_MAP_METADATA);
    if (rc == KW_OK && data != nullptr)
        (*map)->OrWith(*data);
    delete data;
    return rc;
}
