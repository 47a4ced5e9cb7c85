// FAT layout arithmetic: the FAT size of a cluster count, the refinement of
// FAT size against data area, and the distribution of the sectors left over.
#include "engine/fat/fat_layout.h"

#include "engine/disk/legal_ops.h"

#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

namespace kw::fat {

namespace {

uint32_t CeilDiv(uint64_t a, uint64_t b) {
    return static_cast<uint32_t>((a + b - 1) / b);
}

uint32_t Fat32Cap(uint32_t sectorsPerCluster) {
    if (sectorsPerCluster == 0)
        return 0x0FFFFFF5; // what FAT32 entries can name
    return sectorsPerCluster == 64 ? kFat32MaxClusters64 : kFat32MaxClusters;
}

// Clusters of a data area that starts at firstData, capped outside FAT32
// at what FAT16 holds.
uint32_t ClustersAfter(const FAT_LAYOUT_PLAN& plan, uint32_t firstData) {
    if (firstData >= plan.totalSectors)
        return 0;
    uint32_t clusters = (plan.totalSectors - firstData) / plan.sectorsPerCluster;
    return plan.fat32 ? clusters : std::min(clusters, FAT16_MAX_CLUSTERS);
}

uint32_t FirstDataOf(const FAT_LAYOUT_PLAN& plan, const FAT_LAYOUT& l, uint32_t sectorsPerFat) {
    uint64_t first = uint64_t{plan.fatCount} * sectorsPerFat + l.reservedSectors + l.rootSectors;
    first = std::min<uint64_t>(first, 0xFFFFFFFFu - plan.sectorsPerCluster);
    auto at = static_cast<uint32_t>(first);
    if (plan.alignTarget != 0)
        at += AlignGap(plan.alignTarget, at, plan.sectorsPerCluster);
    return at;
}

// Step one: reserved area and root area.
void StartAreas(const FAT_LAYOUT_PLAN& plan, FAT_LAYOUT* l) {
    uint32_t perSector = plan.bytesPerSector / 32;
    l->sectorsPerCluster = plan.sectorsPerCluster;
    if (plan.fat32) {
        l->rootSectors = l->rootEntries = 0;
        l->reservedSectors = std::max<uint32_t>(plan.reservedSectors, 32);
        return;
    }
    l->rootSectors = CeilDiv(uint64_t{plan.rootEntries} * 32, plan.bytesPerSector);
    l->reservedSectors = std::max<uint32_t>(plan.reservedSectors, 1);
    l->rootEntries = l->rootSectors * perSector;
}

// FAT size against data area: the FAT shrinks the data area, which shrinks
// the FAT; four rounds, and the smaller of the last two sizes (the larger
// would waste a sector where the two alternate).
uint32_t RefineFatSize(const FAT_LAYOUT_PLAN& plan, const FAT_LAYOUT& l) {
    uint32_t base = l.reservedSectors + l.rootSectors;
    uint32_t clusters = base < plan.totalSectors ? ClustersAfter(plan, base) : 0;
    uint32_t spf = SectorsPerFat(clusters, plan.bytesPerSector, plan.fat32);
    uint32_t third = spf;
    for (int round = 0; round < 4; ++round) {
        clusters = ClustersAfter(plan, FirstDataOf(plan, l, spf));
        spf = SectorsPerFat(clusters, plan.bytesPerSector, plan.fat32);
        if (round == 2)
            third = spf;
    }
    return std::min(third, spf);
}

// FAT12/16: sectors between the FATs' end and the data area go to the FATs
// (whole sectors per copy, no copy past 255 sectors) and the rest to the
// root area.
void SpreadGap(const FAT_LAYOUT_PLAN& plan, FAT_LAYOUT* l) {
    uint32_t used = plan.fatCount * l->sectorsPerFat + l->reservedSectors + l->rootSectors;
    uint32_t gap = l->firstDataSector - used;
    if (l->sectorsPerFat < 255) {
        uint32_t perFat = std::min(gap / plan.fatCount, 255 - l->sectorsPerFat);
        l->sectorsPerFat += perFat;
        gap -= perFat * plan.fatCount;
    }
    l->rootSectors += gap;
}

// FAT12/16 root areas past 64 sectors give whole clusters back to the data
// start while they keep 32 sectors and the requested entries; with
// 128-sector clusters the area is cut to 96 sectors and the cut goes to the
// FATs.
void TrimRoot(const FAT_LAYOUT_PLAN& plan, FAT_LAYOUT* l) {
    uint32_t perSector = plan.bytesPerSector / 32;
    uint32_t spc = plan.sectorsPerCluster;
    uint32_t needed = CeilDiv(plan.rootEntries, perSector);
    if (spc != 128) {
        while (l->rootSectors > 64 && l->rootSectors - 32 >= spc &&
               l->rootSectors - spc >= needed) {
            l->rootSectors -= spc;
            l->firstDataSector -= spc;
        }
        return;
    }
    uint32_t keep = 96;
    if (l->rootSectors <= keep)
        return;
    uint32_t excess = l->rootSectors - keep;
    if (uint32_t rest = excess % plan.fatCount; rest != 0) {
        keep -= plan.fatCount - rest;
        excess += plan.fatCount - rest;
    }
    if (keep < needed)
        return;
    l->rootSectors = keep;
    l->sectorsPerFat += excess / plan.fatCount;
}

} // namespace

uint32_t SectorsPerFat(uint32_t clusters, uint32_t bytesPerSector, bool fat32) {
    if (bytesPerSector == 0)
        return 0;
    if (fat32)
        return CeilDiv((uint64_t{clusters} + 2) * 4, bytesPerSector) + 1;
    uint64_t bytes = clusters <= FAT12_MAX_CLUSTERS
                         ? uint64_t{clusters} + 3 + (uint64_t{clusters} + 4) / 2
                         : (uint64_t{clusters} + 2) * 2;
    return CeilDiv(bytes, bytesPerSector);
}

uint32_t MaxClustersOfFat(uint32_t sectorsPerFat, uint32_t bytesPerSector, bool fat32,
                          uint32_t sectorsPerCluster) {
    uint64_t bytes = uint64_t{sectorsPerFat} * bytesPerSector;
    if (fat32) {
        uint64_t n = bytes / 4 > 2 ? bytes / 4 - 2 : 0;
        return static_cast<uint32_t>(std::min<uint64_t>(n, Fat32Cap(sectorsPerCluster)));
    }
    uint64_t as16 = bytes / 2 > 2 ? bytes / 2 - 2 : 0;
    if (as16 > FAT12_MAX_CLUSTERS)
        return static_cast<uint32_t>(std::min<uint64_t>(as16, FAT16_MAX_CLUSTERS));
    uint64_t as12 = bytes * 2 / 3 > 2 ? bytes * 2 / 3 - 2 : 0;
    return static_cast<uint32_t>(std::min<uint64_t>(as12, FAT12_MAX_CLUSTERS));
}

uint32_t AlignGap(uint32_t target, uint32_t position, uint32_t unit) {
    if (unit == 0)
        return 0;
    uint32_t distance = position >= target ? position - target : target - position;
    uint32_t rest = distance % unit;
    if (rest == 0)
        return 0;
    return position >= target ? unit - rest : rest;
}

void ComputeLayout(const FAT_LAYOUT_PLAN& plan, FAT_LAYOUT* out) {
    FAT_LAYOUT l;
    if (plan.bytesPerSector < 32 || plan.sectorsPerCluster == 0 || plan.fatCount == 0) {
        *out = l;
        return;
    }
    StartAreas(plan, &l);
    l.sectorsPerFat = RefineFatSize(plan, l);
    l.firstDataSector = FirstDataOf(plan, l, l.sectorsPerFat);
    l.clusters = ClustersAfter(plan, l.firstDataSector);
    // A FAT that cannot describe every cluster: the clusters past it are
    // cut and their sectors join the area before the data.
    // (The engine's FAT32 cap is not a cut: such a layout is refused.)
    uint32_t most = MaxClustersOfFat(l.sectorsPerFat, plan.bytesPerSector, plan.fat32,
                                     plan.fat32 ? 0 : plan.sectorsPerCluster);
    if (l.clusters > most) {
        l.firstDataSector += (l.clusters - most) * plan.sectorsPerCluster;
        l.clusters = most;
    }
    l.dataSectors = l.clusters * plan.sectorsPerCluster;
    if (plan.fat32) {
        uint32_t gap = l.firstDataSector - l.reservedSectors;
        l.sectorsPerFat = gap / plan.fatCount;
        l.reservedSectors += gap % plan.fatCount;
    } else {
        SpreadGap(plan, &l);
        TrimRoot(plan, &l);
        l.rootEntries = l.rootSectors * (plan.bytesPerSector / 32);
    }
    l.firstDataSector = l.reservedSectors + plan.fatCount * l.sectorsPerFat + l.rootSectors;
    l.totalSectors = l.firstDataSector + l.dataSectors;
    *out = l;
}

kwRet BuildBootRecord(FAT_BOOT_RECORD* boot, const FAT_LAYOUT_PLAN& asked, FAT_LAYOUT* layout) {
    if (boot == nullptr)
        return ERR_BAD_ARGUMENT;
    FAT_LAYOUT_PLAN plan = asked;
    if (!plan.fat32)
        plan.rootEntries = std::max(plan.rootEntries, kMinRootEntries);
    FAT_LAYOUT l;
    ComputeLayout(plan, &l);
    if (layout != nullptr)
        *layout = l;
    FAT_BOOT_RECORD b = *boot;
    b.rootCluster = 0;
    b.sectorsPerFat = l.sectorsPerFat;
    b.rootEntries = static_cast<uint16_t>(std::min<uint32_t>(l.rootEntries, 0xFFFF));
    b.reservedSectors = static_cast<uint16_t>(l.reservedSectors);
    b.bytesPerSector = static_cast<uint16_t>(plan.bytesPerSector);
    b.sectorsPerCluster = static_cast<uint16_t>(plan.sectorsPerCluster);
    b.totalSectors = l.totalSectors;
    b.fatCount = static_cast<uint8_t>(plan.fatCount);
    b.mirroring = true;
    b.activeFat = 0;
    b.version = 0;
    b.extFlags = 0;
    b.fsInfoSector = 1;
    b.backupBootSector = 6;
    b.clusterCount = l.clusters;
    b.fatKind = plan.fat32                         ? FAT_KIND_32
                : l.clusters <= FAT12_MAX_CLUSTERS ? FAT_KIND_12
                                                   : FAT_KIND_16;
    *boot = b;
    if (!plan.fat32 && l.clusters > FAT16_MAX_CLUSTERS)
        return ERR_FAT_TOO_MANY_CLUSTERS;
    if (!plan.fat32 && l.rootEntries > kMaxRootEntries)
        return ERR_FAT_TOO_MANY_ROOT_ENTRIES;
    uint32_t low = b.fatKind == FAT_KIND_12   ? 1
                   : b.fatKind == FAT_KIND_16 ? FAT12_MAX_CLUSTERS + 1
                                              : FAT16_MAX_CLUSTERS + 1;
    uint32_t high = b.fatKind == FAT_KIND_12   ? FAT12_MAX_CLUSTERS
                    : b.fatKind == FAT_KIND_16 ? FAT16_MAX_CLUSTERS
                                               : Fat32Cap(plan.sectorsPerCluster);
    if (l.clusters < low || l.clusters > high)
        return ERR_FAT_INVALID_PARAMETERS;
    return KW_OK;
}

namespace {

// The extended fields as a FAT12/16 or FAT32 sector holds them.
struct ExtendedFields {
    uint8_t drive = 0x80;
    uint32_t serial = 0;
    uint8_t label[11];
};

bool SectorIsFat32(const uint8_t* s) {
    return kwbytes::LoadLe16(s + FBO_SECTORS_PER_FAT_16) == 0 &&
           kwbytes::LoadLe32(s + FBO_SECTORS_PER_FAT_32) != 0;
}

ExtendedFields TakeExtended(const uint8_t* s) {
    ExtendedFields e;
    bool fat32 = SectorIsFat32(s);
    uint32_t base = fat32 ? 64 : 36;
    std::memcpy(e.label, "NO NAME    ", 11);
    if (s[base + 2] == 0x29) {
        e.drive = s[base] != 0 ? s[base] : 0x80;
        e.serial = kwbytes::LoadLe32(s + base + 3);
        std::memcpy(e.label, s + base + 7, 11);
    }
    return e;
}

void PutExtended(const ExtendedFields& e, const FAT_BOOT_RECORD& boot, uint8_t* s) {
    uint32_t base = boot.IsFat32() ? 64 : 36;
    s[base] = e.drive;
    s[base + 1] = 0;
    s[base + 2] = 0x29;
    kwbytes::StoreLe32(s + base + 3, boot.serial != 0 ? boot.serial : e.serial);
    std::memcpy(s + base + 7, e.label, 11);
    const char* name = boot.IsFat32()                ? "FAT32   "
                       : boot.fatKind == FAT_KIND_12 ? "FAT12   "
                                                     : "FAT16   ";
    std::memcpy(s + base + 18, name, 8);
}

} // namespace

void StoreBootRecord(const FAT_BOOT_RECORD& boot, uint8_t* s) {
    using kwbytes::StoreLe16;
    using kwbytes::StoreLe32;
    ExtendedFields ext = TakeExtended(s);
    bool wasFat32 = SectorIsFat32(s);
    if (s[0] == 0xF6 || s[0] == 0 || (wasFat32 != boot.IsFat32() && s[0] == 0xEB)) {
        s[0] = 0xEB;
        s[1] = boot.IsFat32() ? 0x58 : 0x3C;
        s[2] = 0x90;
    }
    if (wasFat32 != boot.IsFat32()) // the old extended fields would lie in the new BPB
        std::memset(s + 36, 0, 90 - 36);
    StoreLe16(s + FBO_BYTES_PER_SECTOR, boot.bytesPerSector);
    s[FBO_SECTORS_PER_CLUSTER] = static_cast<uint8_t>(boot.sectorsPerCluster);
    StoreLe16(s + FBO_RESERVED_SECTORS, boot.reservedSectors);
    s[FBO_FAT_COUNT] = boot.fatCount;
    StoreLe16(s + FBO_ROOT_ENTRIES, boot.IsFat32() ? 0 : boot.rootEntries);
    bool small = !boot.IsFat32() && boot.totalSectors < 0x10000;
    StoreLe16(s + FBO_TOTAL_SECTORS_16, small ? static_cast<uint16_t>(boot.totalSectors) : 0);
    StoreLe32(s + FBO_TOTAL_SECTORS_32, small ? 0 : boot.totalSectors);
    if (s[FBO_MEDIA] < 0xF0)
        s[FBO_MEDIA] = 0xF8;
    if (boot.IsFat32()) {
        StoreLe16(s + FBO_SECTORS_PER_FAT_16, 0);
        StoreLe32(s + FBO_SECTORS_PER_FAT_32, boot.sectorsPerFat);
        uint16_t flags = boot.extFlags & 0xFF70;
        if (!boot.mirroring)
            flags |= 0x80 | (boot.activeFat & 0x0F);
        StoreLe16(s + FBO_EXT_FLAGS, flags);
        StoreLe16(s + FBO_VERSION, boot.version);
        StoreLe32(s + FBO_ROOT_CLUSTER, boot.rootCluster);
        StoreLe16(s + FBO_FSINFO_SECTOR, boot.fsInfoSector);
        StoreLe16(s + FBO_BACKUP_BOOT, boot.backupBootSector);
        StoreLe32(s + FBO_SIGNATURE_32, 0xAA550000);
    } else {
        StoreLe16(s + FBO_SECTORS_PER_FAT_16, static_cast<uint16_t>(boot.sectorsPerFat));
        StoreLe16(s + FBO_SIGNATURE, 0xAA55);
    }
    PutExtended(ext, boot, s);
}

uint8_t FatPartitionType(const FAT_BOOT_RECORD& b, uint8_t current, bool pastBiosLimit) {
    if (current == 0x12 || current == 0xDE)
        return current;
    bool hidden = IsHiddenType(current);
    uint8_t plain = static_cast<uint8_t>(hidden ? current & ~0x10 : current);
    bool lba = pastBiosLimit || plain == 0x0C || plain == 0x0E;
    uint8_t type = 0;
    if (b.IsFat32())
        type = lba ? 0x0C : 0x0B;
    else if (b.clusterCount <= FAT12_MAX_CLUSTERS)
        type = 0x01;
    else if (b.totalSectors < 0x10000)
        type = 0x04;
    else
        type = lba ? 0x0E : 0x06;
    return HideType(type, hidden);
}

} // namespace kw::fat
