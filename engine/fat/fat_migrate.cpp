// Chain migration: old chains into the new layout's numbering, with the
// checks that make a half-translated FAT impossible.
#include "engine/fat/fat_migrate.h"

#include "engine/core/dbgmgr.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>

namespace kw::fat {

namespace {

bool WithinOld(const FAT_BOOT_RECORD& old, uint32_t cluster) {
    return old.IsDataCluster(cluster);
}

// Whether an old cluster's first sector begins a new cluster: a chain may
// only start or continue there, else its data would begin mid-cluster.
bool StartsNewCluster(const FAT_BOOT_RECORD& old, const FAT_BOOT_RECORD& nw, uint32_t cluster) {
    uint64_t sector = old.FirstDataSector() + uint64_t{cluster - 2} * old.sectorsPerCluster;
    return sector >= nw.FirstDataSector() &&
           (sector - nw.FirstDataSector()) % nw.sectorsPerCluster == 0;
}

} // namespace

CLUSTER_FACTORS ClusterFactors(uint32_t oldSpc, uint32_t newSpc) {
    CLUSTER_FACTORS f;
    if (oldSpc == 0 || newSpc == 0)
        return f;
    if (oldSpc > newSpc)
        f.split = oldSpc / newSpc;
    else if (oldSpc < newSpc)
        f.merge = newSpc / oldSpc;
    return f;
}

uint32_t MapCluster(const FAT_BOOT_RECORD& old, const FAT_BOOT_RECORD& nw, uint32_t cluster) {
    if (cluster == 0 || cluster < 2 || cluster >= FAT_BAD)
        return cluster;
    if (!old.IsDataCluster(cluster) || nw.sectorsPerCluster == 0)
        return 0;
    uint64_t sector = old.FirstDataSector() + uint64_t{cluster - 2} * old.sectorsPerCluster;
    if (sector < nw.FirstDataSector())
        return 0;
    uint64_t mapped = (sector - nw.FirstDataSector()) / nw.sectorsPerCluster + 2;
    return mapped <= nw.LastCluster() ? static_cast<uint32_t>(mapped) : 0;
}

CHAIN_MIGRATION::CHAIN_MIGRATION(const FAT_BOOT_RECORD& oldLayout, const FAT_BLOCKS& oldFat,
                                 const FAT_BOOT_RECORD& newLayout)
    : old_(oldLayout), oldFat_(oldFat), new_(newLayout),
      factors_(ClusterFactors(oldLayout.sectorsPerCluster, newLayout.sectorsPerCluster)) {}

CHAIN_MIGRATION::~CHAIN_MIGRATION() {
    delete[] entries_;
}

kwRet CHAIN_MIGRATION::Start() {
    if (old_.bytesPerSector != new_.bytesPerSector || new_.sectorsPerCluster == 0 ||
        new_.clusterCount == 0)
        return ERR_FAT_INVALID_PARAMETERS;
    delete[] entries_;
    entries_ = new (std::nothrow) uint32_t[EntryCount()]();
    if (entries_ == nullptr || claimed_.Create(EntryCount(), false) != KW_OK)
        return ERR_NO_MEMORY;
    entries_[0] = FAT_EOC;
    entries_[1] = FAT_EOC_MARK;
    claimed_.SetRange(0, 2);
    for (uint32_t c = 2; c <= old_.LastCluster(); ++c)
        if (oldFat_.GetNextCluster(c) == FAT_BAD)
            if (kwRet rc = markBad(c); rc != KW_OK)
                return rc;
    return KW_OK;
}

kwRet CHAIN_MIGRATION::markBad(uint32_t c) {
    // A bad cluster past the new data area leaves the volume with the end.
    uint64_t newEnd = new_.FirstDataSector() + uint64_t{new_.clusterCount} * new_.sectorsPerCluster;
    if (old_.FirstDataSector() + uint64_t{c - 2} * old_.sectorsPerCluster >= newEnd)
        return KW_OK;
    uint32_t m = MapCluster(old_, new_, c);
    if (m == 0)
        return ERR_FAT_INVALID_PARAMETERS; // the new system area would hold it
    uint32_t count = factors_.split != 0 ? factors_.split : 1;
    if (factors_.merge != 0) {
        // Every old cluster that shares the new cluster must be free or bad.
        uint64_t first = new_.FirstDataSector() + uint64_t{m - 2} * new_.sectorsPerCluster;
        for (uint32_t k = 0; k < factors_.merge; ++k) {
            uint64_t sector = first + uint64_t{k} * old_.sectorsPerCluster;
            if (sector < old_.FirstDataSector())
                continue;
            uint64_t oc = (sector - old_.FirstDataSector()) / old_.sectorsPerCluster + 2;
            if (oc > old_.LastCluster())
                break;
            uint32_t v = oldFat_.GetNextCluster(static_cast<uint32_t>(oc));
            if (v != 0 && v != FAT_BAD)
                return ERR_FAT_BAD_CLUSTER_IN_USE;
        }
    }
    for (uint32_t k = 0; k < count && m + k <= new_.LastCluster(); ++k) {
        entries_[m + k] = FAT_BAD;
        claimed_.SetBit(m + k);
    }
    return KW_OK;
}

kwRet CHAIN_MIGRATION::MarkBadSector(uint32_t sector) {
    if (entries_ == nullptr)
        return ERR_BAD_ARGUMENT;
    if (sector < new_.FirstDataSector())
        return ERR_BAD_SECTOR_IN_FS;
    uint32_t c = new_.SectorToCluster(sector);
    if (!new_.IsDataCluster(c))
        return ERR_BAD_ARGUMENT;
    if (entries_[c] == FAT_BAD)
        return KW_OK;
    if (claimed_.IsSet(c))
        return ERR_FAT_BAD_CLUSTER_IN_USE;
    entries_[c] = FAT_BAD;
    claimed_.SetBit(c);
    return KW_OK;
}

kwRet CHAIN_MIGRATION::claim(uint32_t cluster) {
    if (!new_.IsDataCluster(cluster) || claimed_.IsSet(cluster)) {
        DbgPrintf("MigrateChain: new cluster %lu cannot be taken\n",
                  static_cast<unsigned long>(cluster));
        return ERR_FAT_INVALID_ENTRIES;
    }
    claimed_.SetBit(cluster);
    return KW_OK;
}

kwRet CHAIN_MIGRATION::link(uint32_t from, uint32_t to) {
    kwRet rc = claim(to);
    if (rc == KW_OK)
        entries_[from] = to;
    return rc;
}

uint32_t CHAIN_MIGRATION::FileTailSectors(uint32_t size) const {
    uint32_t clusterBytes = uint32_t{old_.sectorsPerCluster} * old_.bytesPerSector;
    uint32_t tail = size % clusterBytes;
    if (tail == 0)
        return old_.sectorsPerCluster;
    return (tail + old_.bytesPerSector - 1) / old_.bytesPerSector;
}

kwRet CHAIN_MIGRATION::MigrateChain(uint32_t oldStart, uint32_t tailSectors, uint32_t* newStart) {
    if (entries_ == nullptr || newStart == nullptr)
        return ERR_BAD_ARGUMENT;
    uint32_t s = oldStart;
    uint32_t m =
        WithinOld(old_, s) && StartsNewCluster(old_, new_, s) ? MapCluster(old_, new_, s) : 0;
    if (m == 0 || claim(m) != KW_OK)
        return ERR_FAT_INVALID_ENTRIES;
    *newStart = m;
    uint32_t steps = 0;
    uint32_t limit = old_.clusterCount;
    for (;;) {
        uint32_t next = oldFat_.GetNextCluster(s);
        if (next == 0) {
            DbgPrintf("MigrateChain: Chain contains a zero cluster\n");
            return ERR_FAT_INVALID_ENTRIES;
        }
        // Merging: the rest of this new cluster's old clusters, in order.
        for (uint32_t k = 1; factors_.merge != 0 && k < factors_.merge && next < FAT_BAD; ++k) {
            if (next != s + 1 || !WithinOld(old_, next) || MapCluster(old_, new_, next) != m ||
                ++steps > limit)
                return ERR_FAT_INVALID_ENTRIES;
            s = next;
            next = oldFat_.GetNextCluster(s);
        }
        if (next >= FAT_BAD || next == 0)
            break;
        for (uint32_t k = 1; k < factors_.split; ++k, ++m)
            if (kwRet rc = link(m, m + 1); rc != KW_OK)
                return rc;
        uint32_t t = WithinOld(old_, next) && StartsNewCluster(old_, new_, next)
                         ? MapCluster(old_, new_, next)
                         : 0;
        if (t == 0 || ++steps > limit)
            return ERR_FAT_INVALID_ENTRIES;
        if (kwRet rc = link(m, t); rc != KW_OK)
            return rc;
        m = t;
        s = next;
    }
    if (factors_.split != 0) {
        uint32_t used = tailSectors == 0 || tailSectors >= old_.sectorsPerCluster
                            ? old_.sectorsPerCluster
                            : tailSectors;
        uint32_t more = (used + new_.sectorsPerCluster - 1) / new_.sectorsPerCluster;
        for (uint32_t k = 1; k < more; ++k, ++m)
            if (kwRet rc = link(m, m + 1); rc != KW_OK)
                return rc;
    }
    entries_[m] = FAT_EOC_MARK;
    return KW_OK;
}

uint32_t CHAIN_MIGRATION::FindUnclaimed(uint32_t from) const {
    if (entries_ == nullptr)
        return 0;
    uint32_t c = claimed_.FindNextClear(from < 2 ? 2 : from);
    return c != STATE_MAP_NONE && c <= new_.LastCluster() ? c : 0;
}

kwRet CHAIN_MIGRATION::SetEntry(uint32_t cluster, uint32_t value) {
    if (entries_ == nullptr || !new_.IsDataCluster(cluster))
        return ERR_BAD_ARGUMENT;
    entries_[cluster] = value;
    claimed_.SetBit(cluster);
    return KW_OK;
}

void EncodeFatSector(uint8_t kind, const uint32_t* entries, uint32_t count, uint32_t index,
                     uint8_t* out) {
    std::memset(out, 0, FAT_SECTOR_SIZE);
    auto value = [&](uint64_t i) -> uint32_t { return i < count ? entries[i] : 0; };
    uint64_t firstByte = uint64_t{index} * FAT_SECTOR_SIZE;
    if (kind == FAT_KIND_32 || kind == FAT_KIND_16) {
        uint32_t width = kind == FAT_KIND_32 ? 4 : 2;
        uint32_t mask = kind == FAT_KIND_32 ? 0x0FFFFFFF : 0xFFFF;
        for (uint32_t b = 0; b < FAT_SECTOR_SIZE; b += width) {
            uint32_t v = value((firstByte + b) / width) & mask;
            if (width == 4)
                kwbytes::StoreLe32(out + b, v);
            else
                kwbytes::StoreLe16(out + b, static_cast<uint16_t>(v));
        }
        return;
    }
    // FAT12: entries 2k and 2k + 1 share bytes 3k .. 3k + 2.
    for (uint32_t b = 0; b < FAT_SECTOR_SIZE; ++b) {
        uint64_t at = firstByte + b;
        uint64_t k = at / 3;
        uint32_t pair = (value(2 * k) & 0xFFF) | (value(2 * k + 1) & 0xFFF) << 12;
        out[b] = static_cast<uint8_t>(pair >> (8 * (at - 3 * k)));
    }
}

} // namespace kw::fat
