// GetGeometryLimits: measures what a FAT volume's data needs at each cluster
// size (from the FAT's chains, or exactly from every file's size) and works
// out the smallest and largest FAT12/16 and FAT32 volume for each.
#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/disk/part_limits.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_limits.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kw::fat {

namespace {

uint64_t CeilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

uint32_t Clip(uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

// What the measurement reads from the volume.
struct Volume {
    const FAT_BOOT_RECORD* boot;
    FAT_BLOCKS* fat;
    PARTITION_INFO* pi;
    uint32_t s = 1;         // sectors per cluster now
    uint32_t b = 512;       // bytes per sector
    uint32_t rootSects = 0; // FAT12/16 root area
    uint32_t firstData = 0;
    uint32_t usedClusters = 0;
    uint32_t freeClusters = 0;
};

// Fast measurement: every chain that starts at a cluster no other entry
// points to, counted and converted to each cluster size. Each walk is
// bounded by the cluster count; a link below 2 is damage.
kwRet CountChains(const Volume& v, FAT_LIMIT_TABLES* t, Progress* progress) {
    uint32_t last = v.boot->LastCluster();
    STATE_MAP pointed;
    if (pointed.Create(last + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t c = 2; c <= last; ++c)
        if (uint32_t n = v.fat->GetNextCluster(c); n >= 2 && n <= last)
            pointed.SetBit(n);
    for (uint32_t c = v.fat->FindNextUsed(2); c <= last; c = v.fat->FindNextUsed(c + 1)) {
        uint32_t value = v.fat->GetNextCluster(c);
        if (value == FAT_BAD || pointed.IsSet(c))
            continue;
        uint64_t count = 1;
        for (uint32_t at = value; at < FAT_BAD; at = v.fat->GetNextCluster(at)) {
            if (at < 2 || at > last) {
                DbgPrintf("GetGeometryLimits: cluster %lu links to %lu\n",
                          static_cast<unsigned long>(c), static_cast<unsigned long>(at));
                return ERR_FAT_INVALID_ENTRIES;
            }
            if (++count > last)
                break; // a loop: counted once round
        }
        for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
            uint32_t f = 1u << i;
            uint64_t sectors = v.s * count;
            t->clustersNeeded[i] += Clip(v.s < f ? CeilDiv(sectors, f) : sectors / f);
        }
        if (kwRet rc = progress->Update(1 + 19 * (c - 2) / (last - 1)); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Adds one stretch of `bytes` bytes to each cluster size's totals.
void AddBytes(FAT_LIMIT_TABLES* t, uint64_t bytes, uint32_t b) {
    for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
        uint64_t cluster = uint64_t{b} << i;
        t->dataBytes[i] += bytes;
        t->slackBytes[i] += CeilDiv(bytes, cluster) * cluster - bytes;
    }
}

// Exact measurement: the bytes of every file and directory in the tree,
// each rounded up to whole clusters. Folders are walked from an explicit
// list, each at most once.
kwRet MeasureTree(FAT_FILESYSTEM* fs, const Volume& v, FAT_LIMIT_TABLES* t, Progress* progress) {
    STATE_MAP seen;
    if (seen.Create(v.boot->LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    std::vector<uint32_t> pending{v.boot->IsFat32() ? v.boot->rootCluster : 0};
    auto dir = std::make_unique<FAT_DIRECTORY>();
    auto item = std::make_unique<FAT_DIR_ITEM>();
    uint64_t entries = 0;
    while (!pending.empty()) {
        uint32_t cluster = pending.back();
        pending.pop_back();
        if (kwRet rc =
                fs->LoadDirectory(cluster == v.boot->rootCluster ? 0 : cluster, dir.get(), true);
            rc != KW_OK)
            return rc;
        if (cluster != 0)
            AddBytes(t, uint64_t{dir->SectorCount()} * v.b, v.b);
        FAT_DIR_WALK walk(*dir, v.boot->IsFat32());
        while (walk.Next(item.get())) {
            const FAT_DIR_ENTRY& e = item->entry;
            if (e.IsVolumeLabel() || e.IsDot())
                continue;
            if (e.IsDirectory()) {
                if (v.boot->IsDataCluster(e.firstCluster) && !seen.IsSet(e.firstCluster)) {
                    seen.SetBit(e.firstCluster);
                    pending.push_back(e.firstCluster);
                }
            } else if (e.size != 0) {
                AddBytes(t, e.size, v.b);
            }
            if (++entries % 100 == 0)
                if (kwRet rc = progress->Update(std::min<uint64_t>(49, 1 + entries / 100));
                    rc != KW_OK)
                    return rc;
        }
    }
    for (uint32_t i = 0; i < kClusterSizeSlots; ++i)
        t->clustersNeeded[i] =
            Clip(CeilDiv(t->dataBytes[i] + t->slackBytes[i], uint64_t{v.b} << i));
    return KW_OK;
}

// The clusters of the OS/2 extended-attribute file, if the root has one,
// generously converted to each other cluster size.
kwRet CountEaClusters(FAT_FILESYSTEM* fs, const Volume& v, uint32_t* ea) {
    auto dir = std::make_unique<FAT_DIRECTORY>();
    if (kwRet rc = fs->LoadDirectory(0, dir.get(), false); rc != KW_OK)
        return rc;
    auto item = std::make_unique<FAT_DIR_ITEM>();
    FAT_DIR_WALK walk(*dir, v.boot->IsFat32());
    while (walk.Next(item.get())) {
        if (std::memcmp(item->entry.name, "EA DATA  SF", 11) != 0 || item->entry.IsDirectory())
            continue;
        uint32_t n = static_cast<uint32_t>(CeilDiv(item->entry.size, uint64_t{v.s} * v.b));
        for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
            uint32_t f = 1u << i;
            if (f != v.s)
                ea[i] = v.s < f ? f / v.s * n : v.s / f * n;
        }
        return KW_OK;
    }
    return KW_OK;
}

struct Budget {
    uint32_t sectors = 0;
    bool ok = false;
};

// The sectors a new layout's system area may use at cluster size f.
Budget SectorBudget(const Volume& v, uint32_t f, uint32_t needed, bool fixed) {
    if (fixed)
        return {f == 64 ? 65536u : 16384u, true};
    if (v.s < f) {
        uint32_t k = (v.boot->clusterCount - v.usedClusters) / (f / v.s);
        if (k < needed)
            return {};
        return {Clip(uint64_t{f} * (k - needed) + v.firstData), true};
    }
    return {Clip(uint64_t{v.freeClusters} * v.s + v.firstData), true};
}

void Fat1216Pair(const Volume& v, uint32_t f, uint64_t clusters, const Budget& budget, bool fixed,
                 uint32_t* minimum, uint32_t* maximum) {
    *minimum = *maximum = 0;
    uint32_t fats = v.boot->fatCount;
    uint32_t reserved = v.boot->reservedSectors;
    clusters = std::max<uint64_t>(clusters, 1);
    if (clusters > FAT16_MAX_CLUSTERS)
        return;
    uint32_t fatSects = SectorsPerFat(static_cast<uint32_t>(clusters), v.b, false);
    uint64_t start =
        std::max<uint64_t>(reserved + uint64_t{fats} * fatSects + v.rootSects, v.firstData);
    *minimum = Clip(clusters * f + start);
    uint64_t base = uint64_t{v.rootSects} + reserved;
    if (budget.sectors <= base)
        return;
    uint32_t m = fixed ? 255 : std::min<uint32_t>(Clip((budget.sectors - base) / fats), 255);
    uint32_t c = MaxClustersOfFat(m, v.b, false, f);
    if (c == 0)
        return;
    *maximum = Clip(uint64_t{f} * c + base + uint64_t{fats} * m);
}

void Fat32Pair(const Volume& v, uint32_t f, uint64_t clusters, const Budget& budget, bool fixed,
               uint32_t* minimum, uint32_t* maximum) {
    *minimum = *maximum = 0;
    uint32_t fats = v.boot->fatCount;
    uint64_t base = 32 + uint64_t{v.rootSects};
    uint32_t cap = f == 64 ? 65536 : 16384;
    uint32_t m = fixed ? cap : (budget.sectors > base ? Clip((budget.sectors - base) / fats) : 0);
    if (m < 514)
        return;
    uint64_t minClusters = 514ull * v.b / 4 - 2;
    uint64_t fatSects = 514;
    if (minClusters < clusters) {
        minClusters = clusters;
        fatSects = SectorsPerFat(Clip(clusters), v.b, true);
    }
    *minimum = Clip(uint64_t{f} * minClusters + fats * fatSects + base);
    uint32_t g = std::min(m, cap);
    uint64_t most =
        std::min<uint64_t>(MaxClustersOfFat(g, v.b, true, f), uint64_t{g} * v.b / 4 - 2);
    // FAT32 has no root area: sectors counted for one would only become
    // clusters past what the FAT describes.
    *maximum = Clip(most * f + uint64_t{fats} * g + 32);
}

void AlignPair(PARTITION_INFO* pi, uint32_t* minimum, uint32_t* maximum) {
    *minimum = enGetCylinderBoundary(pi, *minimum, EN_ALIGN_UP);
    *maximum = enGetCylinderBoundary(pi, *maximum, EN_ALIGN_DOWN);
}

void DropBadPair(uint32_t* minimum, uint32_t* maximum) {
    if (*minimum == 0 || *maximum == 0 || *maximum < *minimum)
        *minimum = *maximum = 0;
}

// Cluster sizes below the present one: the data now, split into smaller
// clusters, needs a larger FAT; a range that cannot hold it goes.
void CheckSmaller(const Volume& v, FAT_LIMIT_TABLES* t, uint32_t idx) {
    uint64_t data = uint64_t{v.s} * t->clustersNeeded[idx];
    uint32_t fats = v.boot->fatCount;
    for (uint32_t i = 0; i < idx && i < kClusterSizeSlots; ++i) {
        uint32_t f = 1u << i;
        uint32_t clusters = Clip(data / f);
        uint64_t need16 =
            uint64_t{SectorsPerFat(clusters, v.b, false)} * fats + v.s + v.rootSects + 1;
        uint64_t need32 = uint64_t{SectorsPerFat(clusters, v.b, true)} * fats + v.s + 32;
        struct {
            uint32_t* lo;
            uint32_t* hi;
            uint64_t need;
        } pairs[] = {{&t->fatMin[i], &t->fatMax[i], need16},
                     {&t->fat32Min[i], &t->fat32Max[i], need32}};
        for (auto& p : pairs) {
            uint64_t total = std::max<uint64_t>(p.need, v.firstData) + data;
            if (*p.hi != 0 && *p.hi < total)
                *p.lo = *p.hi = 0;
            else if (*p.lo != 0 && *p.lo < total)
                *p.lo = Clip(total);
        }
    }
}

uint32_t RootEntriesInUse(FAT_FILESYSTEM* fs) {
    auto dir = std::make_unique<FAT_DIRECTORY>();
    if (fs->LoadDirectory(0, dir.get(), false) != KW_OK)
        return 0;
    uint32_t n = 0;
    for (uint32_t i = 0; i < dir->EntryCount(); ++i) {
        uint8_t first = dir->Entry(i)[0];
        if (first == 0)
            break;
        if (first != FAT_DELETED)
            ++n;
    }
    return n;
}

kwRet FillPairs(const Volume& v, FAT_LIMIT_TABLES* t, const uint32_t* ea,
                const FAT_GEOMETRY_OPTIONS& opt) {
    DbgPrintf("GetGeometryLimits: Analyzing cluster chains\r\n");
    bool noFat32 = v.pi->ucPartType == 0x12 || v.pi->ucPartType == 0xDE;
    for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
        uint32_t f = 1u << i;
        Budget budget = SectorBudget(v, f, t->clustersNeeded[i], opt.fixedBudget);
        if (!budget.ok)
            break;
        uint64_t clusters = uint64_t{t->clustersNeeded[i]} + ea[i];
        Fat1216Pair(v, f, clusters, budget, opt.fixedBudget, &t->fatMin[i], &t->fatMax[i]);
        if (!noFat32)
            Fat32Pair(v, f, clusters, budget, opt.fixedBudget, &t->fat32Min[i], &t->fat32Max[i]);
        if (opt.align) {
            AlignPair(v.pi, &t->fatMin[i], &t->fatMax[i]);
            AlignPair(v.pi, &t->fat32Min[i], &t->fat32Max[i]);
        }
        DropBadPair(&t->fatMin[i], &t->fatMax[i]);
        DropBadPair(&t->fat32Min[i], &t->fat32Max[i]);
    }
    uint32_t idx = 0;
    while ((1u << idx) < v.s)
        ++idx;
    CheckSmaller(v, t, idx);
    return KW_OK;
}

} // namespace

kwRet GetGeometryLimits(FAT_FILESYSTEM* fs, FAT_LIMITS* limits, const FAT_GEOMETRY_OPTIONS& opt) {
    if (fs == nullptr || limits == nullptr || fs->GetBootRecord() == nullptr ||
        fs->GetPI() == nullptr)
        return ERR_BAD_ARGUMENT;
    auto progress = std::unique_ptr<Progress>(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    Volume v{fs->GetBootRecord(), fs->GetFat(), fs->GetPI()};
    v.s = v.boot->sectorsPerCluster;
    v.b = v.boot->bytesPerSector;
    v.rootSects = v.boot->RootDirSectors();
    v.firstData = v.boot->FirstDataSector();
    v.usedClusters = v.fat->CountUsedClusters();
    v.freeClusters = v.fat->CountFreeClusters();
    auto t = std::make_unique<FAT_LIMIT_TABLES>();
    kwRet rc = progress->Update(1);
    if (rc == KW_OK)
        rc = opt.exact ? MeasureTree(fs, v, t.get(), progress.get())
                       : CountChains(v, t.get(), progress.get());
    uint32_t ea[kClusterSizeSlots] = {};
    if (rc == KW_OK)
        rc = CountEaClusters(fs, v, ea);
    FAT_GEOMETRY_OPTIONS fill = opt;
    fill.fixedBudget = opt.fixedBudget || fs->IsFixedBudget();
    if (rc == KW_OK)
        rc = FillPairs(v, t.get(), ea, fill);
    if (rc == KW_OK) {
        FAT_LIMITS_VOLUME vol;
        vol.size = v.boot->totalSectors;
        vol.sectorsPerCluster = v.s;
        vol.bytesPerSector = v.b;
        vol.rootEntriesInUse = RootEntriesInUse(fs);
        vol.rootEntries = v.boot->rootEntries;
        vol.firstDataSector = v.firstData;
        vol.reservedSectors = v.boot->reservedSectors;
        vol.cap = opt.cap;
        vol.largeClusters = opt.largeClusters;
        rc = limits->Init(t.get(), vol, v.pi);
    }
    if (rc == KW_OK)
        rc = progress->Update(100);
    return rc;
}

uint32_t FatMinimumSize(FAT_FILESYSTEM* fs) {
    FAT_LIMITS limits;
    FAT_GEOMETRY_OPTIONS opt;
    if (GetGeometryLimits(fs, &limits, opt) != KW_OK)
        return 0;
    return limits.GetMinSize();
}

} // namespace kw::fat
