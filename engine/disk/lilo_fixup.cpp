#include "engine/disk/lilo_fixup.h"

#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/volume_probe.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint8_t kHardDisk = 0x80;
constexpr uint8_t kLinear = 0x40;
constexpr uint8_t kDeviceBits = 0x3F;
constexpr uint32_t kDescriptorTableAt = 24;
constexpr uint32_t kSecondAt = 34;
constexpr uint32_t kMapAt = 42;
constexpr uint32_t kListAt = 52;
constexpr uint32_t kMapAddresses = 19;
constexpr uint32_t kListAddresses = 10;
constexpr uint32_t kDescriptors = 19;
constexpr uint32_t kDescriptorBytes = 52;
constexpr uint32_t kChainAddresses = 102;
constexpr uint32_t kChainNextAt = 505;
constexpr uint32_t kMostChainSectors = 4096; // bounds a chain that loops

// The older layout's bytes and where the newer one keeps them.
struct Moved {
    uint32_t older, newer, length;
};
constexpr Moved kLayout[] = {{0, 0, 2},   {2, 6, 4},   {6, 10, 2},  {8, 12, 2},
                             {10, 14, 2}, {12, 16, 2}, {14, 18, 3}, {20, 24, 15},
                             {35, 39, 2}, {38, 42, 5}, {43, 52, 50}};

uint8_t Count(const uint8_t* address) {
    return address[4];
}

DISK_RECORD* DiskOfDevice(uint8_t device) {
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    while (d != nullptr && (d->diskNumber & kDeviceBits) != device)
        d = d->next;
    return d;
}

uint32_t Heads(const DISK_RECORD* d) {
    return d->chsHeads != 0 ? d->chsHeads : 1;
}

uint32_t SectorsPerTrack(const DISK_RECORD* d) {
    return d->chsSectorsPerTrack != 0 ? d->chsSectorsPerTrack : 1;
}

// The absolute sector an address names on `disk`; false for a CHS address
// with sector 0.
bool SectorOf(const uint8_t* a, const DISK_RECORD* disk, uint64_t* sector) {
    if (a[2] & kLinear) {
        *sector = a[0] | uint32_t{a[1]} << 8 | uint32_t{a[3]} << 16;
        return true;
    }
    const uint32_t s = a[0] & 0x3F;
    const uint32_t cylinder = a[1] | uint32_t(a[0] & 0xC0) << 2;
    if (s == 0)
        return false;
    *sector = (uint64_t{cylinder} * Heads(disk) + a[3]) * SectorsPerTrack(disk) + s - 1;
    return true;
}

// Whether [sector, sector + count) lies inside one ext2 partition of the disk.
bool InsideExt2(const DISK_RECORD* disk, uint64_t sector, uint32_t count) {
    for (const PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        if (pi->ulStartSect > sector)
            break;
        if (pi->ucFsKind == FS_KIND_EXT2 &&
            sector + count <= uint64_t{pi->ulStartSect} + pi->NumSects)
            return true;
    }
    return false;
}

// Reads or writes the sectors a list of addresses names, at most `budget`.
// Every run must lie in an ext2 partition of the disk its address names
// (35 when not): only a loader's own files are ever read or written.
kwRet TransferLiloSectors(bool write, uint32_t budget, uint8_t* buffer, uint32_t addresses,
                          const uint8_t* first) {
    for (uint32_t i = 0; i < addresses && budget > 0; ++i) {
        const uint8_t* a = first + i * LILO_ADDRESS_BYTES;
        if (Count(a) == 0)
            break;
        if (write && Count(a) > budget)
            return ERR_END_OF_FILE;
        const uint32_t n = Count(a) < budget ? Count(a) : budget;
        DISK_RECORD* disk = (a[2] & kHardDisk) ? DiskOfDevice(a[2] & kDeviceBits) : nullptr;
        uint64_t sector = 0;
        if (disk == nullptr || !SectorOf(a, disk, &sector) || !InsideExt2(disk, sector, n))
            return ERR_UNKNOWN_FS_INTERNAL;
        const uint32_t at = static_cast<uint32_t>(sector);
        kwRet rc = write ? phyWrite(disk, at, buffer, n) : phyRead(disk, at, buffer, n);
        if (rc != KW_OK)
            return rc;
        buffer += size_t{n} * kSector;
        budget -= n;
    }
    return KW_OK;
}

// A write worked out while the tables are followed: sectors and the
// addresses they go through.
struct PendingWrite {
    std::vector<uint8_t> addresses;
    std::vector<uint8_t> data;
};

// What one boot sector's fix-up will write.
struct FixPlan {
    const LILO_MOVE& move;
    std::vector<PendingWrite> writes;
    uint8_t map[kSector] = {};

    void Add(const uint8_t* addresses, uint32_t count, const uint8_t* data, uint32_t sectors) {
        writes.push_back({{addresses, addresses + count * LILO_ADDRESS_BYTES},
                          {data, data + size_t{sectors} * kSector}});
    }
    kwRet FollowChain(const uint8_t* address);
    kwRet Descriptors(uint8_t* table, bool* changed);
    kwRet DescriptorTable(uint8_t* record, bool* changed);
    kwRet MapSector(uint8_t* record, bool* changed);
};

// A chain of map sectors from a (rewritten) address: each sector's
// addresses are rewritten, and so is its link to the next one.
kwRet FixPlan::FollowChain(const uint8_t* address) {
    uint8_t at[LILO_ADDRESS_BYTES];
    std::memcpy(at, address, sizeof at);
    for (uint32_t n = 0; Count(at) != 0; ++n) {
        if (n == kMostChainSectors)
            return ERR_UNKNOWN_FS_INTERNAL; // a chain that loops
        kwRet rc = TransferLiloSectors(false, 1, map, 1, at);
        if (rc == ERR_UNKNOWN_FS_INTERNAL)
            return KW_OK; // the chain ends outside every ext2 partition
        if (rc != KW_OK)
            return rc;
        bool changed = false;
        rc = RelocateLiloAddresses(move, kChainAddresses - 1, map, &changed);
        LILO_RELOCATION next = RelocateLiloAddress(move, map + kChainNextAt);
        if (rc == KW_OK && next == LILO_RELOCATION::TooFar)
            rc = ERR_OUT_OF_RANGE;
        if (rc != KW_OK)
            return rc;
        if (changed || next == LILO_RELOCATION::Rewritten)
            Add(at, 1, map, 1);
        std::memcpy(at, map + kChainNextAt, sizeof at);
    }
    return KW_OK;
}

kwRet FixPlan::Descriptors(uint8_t* table, bool* changed) {
    for (uint32_t i = 0; i < kDescriptors; ++i) {
        uint8_t* d = table + 2 + i * kDescriptorBytes;
        if (d[0] == 0)
            break;
        for (uint32_t at : {36u, 41u}) {
            uint8_t* a = d + at;
            if (at == 36 && (kwbytes::LoadLe32(d + 32) == 0 || Count(a) == 0))
                continue;
            const LILO_RELOCATION r = RelocateLiloAddress(move, a);
            if (r == LILO_RELOCATION::TooFar)
                return ERR_OUT_OF_RANGE;
            *changed = *changed || r == LILO_RELOCATION::Rewritten;
            if (kwRet rc = FollowChain(a); rc != KW_OK)
                return rc;
        }
    }
    return KW_OK;
}

kwRet FixPlan::DescriptorTable(uint8_t* record, bool* changed) {
    uint8_t* at = record + kDescriptorTableAt;
    if (Count(at) == 0)
        return KW_OK;
    kwRet rc = RelocateLiloAddresses(move, 2, at, changed);
    uint8_t table[2 * kSector] = {};
    if (rc == KW_OK)
        rc = TransferLiloSectors(false, 2, table, 2, at);
    bool tableChanged = false;
    if (rc == KW_OK)
        rc = Descriptors(table, &tableChanged);
    if (rc == KW_OK && tableChanged) {
        kwbytes::StoreLe16(table, LiloChecksum(table));
        Add(at, 2, table, 2);
    }
    return rc;
}

kwRet FixPlan::MapSector(uint8_t* record, bool* changed) {
    uint8_t* at = record + kMapAt;
    if (Count(at) == 0)
        return KW_OK;
    const LILO_RELOCATION r = RelocateLiloAddress(move, at);
    if (r == LILO_RELOCATION::TooFar)
        return ERR_OUT_OF_RANGE;
    *changed = *changed || r == LILO_RELOCATION::Rewritten;
    kwRet rc = TransferLiloSectors(false, 1, map, 1, at);
    bool mapChanged = false;
    if (rc == KW_OK)
        rc = RelocateLiloAddresses(move, kMapAddresses, map, &mapChanged);
    if (rc == KW_OK && mapChanged)
        Add(at, 1, map, 1);
    return rc;
}

// Sector 0 of a disk or of a partition, read or written; the partition's
// handle is closed on every path.
kwRet BootSector(bool write, DISK_RECORD* disk, PARTITION_INFO* partition, uint8_t* sector) {
    if (partition == nullptr)
        return write ? phyWrite(disk, 0, sector, 1) : phyRead(disk, 0, sector, 1);
    kwhandle h = 0;
    kwRet rc = kwLogOpen(partition, &h);
    if (rc != KW_OK)
        return rc;
    rc = write ? kwLogWrite(h, 0, sector, 1) : kwLogRead(h, 0, sector, 1);
    kwRet closed = kwLogClose(h);
    return rc != KW_OK ? rc : closed;
}

kwRet PlanAndWrite(DISK_RECORD* disk, PARTITION_INFO* partition, const LILO_MOVE& move,
                   LILO_RECORD& lilo) {
    FixPlan plan{move, {}, {}};
    uint8_t* record = lilo.record;
    bool changed = false;
    kwRet rc = plan.DescriptorTable(record, &changed);
    if (rc == KW_OK && Count(record + kSecondAt) != 0) {
        const LILO_RELOCATION r = RelocateLiloAddress(move, record + kSecondAt);
        rc = r == LILO_RELOCATION::TooFar ? ERR_OUT_OF_RANGE : KW_OK;
        changed = changed || r == LILO_RELOCATION::Rewritten;
    }
    if (rc == KW_OK)
        rc = plan.MapSector(record, &changed);
    if (rc == KW_OK && Count(record + kListAt) != 0)
        rc = RelocateLiloAddresses(move, kListAddresses, record + kListAt, &changed);
    // Nothing is written unless every address could be followed and fits.
    for (size_t i = 0; rc == KW_OK && i < plan.writes.size(); ++i) {
        PendingWrite& w = plan.writes[i];
        rc =
            TransferLiloSectors(true, static_cast<uint32_t>(w.data.size() / kSector), w.data.data(),
                                static_cast<uint32_t>(w.addresses.size() / 5), w.addresses.data());
    }
    if (rc == KW_OK && !plan.writes.empty())
        rc = phyFlush(disk);
    if (rc == KW_OK && changed) {
        lilo.ToSector();
        rc = BootSector(true, disk, partition, lilo.sector);
        if (rc == KW_OK)
            rc = phyFlush(disk);
    }
    return rc;
}

} // namespace

LILO_RELOCATION RelocateLiloAddress(const LILO_MOVE& move, uint8_t* a) {
    if (!(a[2] & kHardDisk) || (a[2] & kDeviceBits) != move.device || move.disk == nullptr)
        return LILO_RELOCATION::Unchanged;
    uint64_t s = 0;
    if (!SectorOf(a, move.disk, &s) || s < move.oldStart || s >= move.oldEnd)
        return LILO_RELOCATION::Unchanged;
    const uint64_t moved = s - move.oldStart + move.newStart;
    if (a[2] & kLinear) {
        if (moved > 0xFFFFFF)
            return LILO_RELOCATION::TooFar;
        a[0] = static_cast<uint8_t>(moved);
        a[1] = static_cast<uint8_t>(moved >> 8);
        a[3] = static_cast<uint8_t>(moved >> 16);
        a[2] = static_cast<uint8_t>(move.device | 0xC0);
        return LILO_RELOCATION::Rewritten;
    }
    uint32_t cylinder = 0, head = 0, sector = 0;
    if (moved > UINT32_MAX ||
        LbaToChs(static_cast<uint32_t>(moved), move.disk, &cylinder, &head, &sector) != KW_OK ||
        cylinder > 1023 || head > 255 || sector > 63)
        return LILO_RELOCATION::TooFar;
    a[0] = static_cast<uint8_t>(sector | (cylinder >> 8) << 6);
    a[1] = static_cast<uint8_t>(cylinder);
    a[3] = static_cast<uint8_t>(head);
    a[2] = static_cast<uint8_t>(move.device | kHardDisk);
    return LILO_RELOCATION::Rewritten;
}

kwRet RelocateLiloAddresses(const LILO_MOVE& move, uint32_t count, uint8_t* first, bool* changed) {
    kwRet rc = KW_OK;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* a = first + i * LILO_ADDRESS_BYTES;
        if (Count(a) == 0)
            break;
        const LILO_RELOCATION r = RelocateLiloAddress(move, a);
        if (r == LILO_RELOCATION::TooFar && rc == KW_OK)
            rc = ERR_OUT_OF_RANGE;
        *changed = *changed || r == LILO_RELOCATION::Rewritten;
    }
    return rc;
}

void LILO_RECORD::FromSector() {
    olderLayout = std::memcmp(sector + 2, "LILO", 4) == 0;
    if (!olderLayout) {
        std::memcpy(record, sector, kSector);
        return;
    }
    std::memset(record, 0, kSector);
    for (const Moved& m : kLayout)
        std::memcpy(record + m.newer, sector + m.older, m.length);
}

void LILO_RECORD::ToSector() {
    if (!olderLayout) {
        std::memcpy(sector, record, kSector);
        return;
    }
    for (const Moved& m : kLayout)
        std::memcpy(sector + m.older, record + m.newer, m.length);
}

bool LILO_RECORD::FirstStage() const {
    return std::memcmp(record + 6, "LILO", 4) == 0 && kwbytes::LoadLe16(record + 10) == 1;
}

uint16_t LiloChecksum(const uint8_t* table) {
    uint16_t sum = 0xABCD;
    for (uint32_t i = 1; i < 512; ++i)
        sum ^= kwbytes::LoadLe16(table + 2 * i);
    return sum;
}

kwRet FixLiloSector(DISK_RECORD* disk, PARTITION_INFO* partition, const LILO_MOVE& move) {
    try {
        auto lilo = std::make_unique<LILO_RECORD>();
        kwRet rc = BootSector(false, disk, partition, lilo->sector);
        if (rc != KW_OK)
            return rc;
        lilo->FromSector();
        return lilo->FirstStage() ? PlanAndWrite(disk, partition, move, *lilo) : KW_OK;
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
}

kwRet FixLiloAfterMove(uint32_t operation, PARTITION_INFO* partition, uint32_t oldStart,
                       uint32_t newStart) {
    if (operation != LILO_OPERATION_MOVED || oldStart == newStart || partition == nullptr ||
        partition->disk == nullptr)
        return KW_OK;
    LILO_MOVE move;
    move.disk = partition->disk;
    move.device = static_cast<uint8_t>(partition->disk->diskNumber & kDeviceBits);
    move.oldStart = oldStart;
    move.oldEnd = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{oldStart} + partition->NumSects, UINT32_MAX));
    move.newStart = newStart;
    kwRet first = KW_OK;
    auto note = [&first](kwRet rc) {
        if (first == KW_OK && rc != KW_OK && rc != ERR_UNKNOWN_FS_INTERNAL)
            first = rc;
    };
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    for (; d != nullptr; d = d->next) {
        note(FixLiloSector(d, nullptr, move));
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind != FS_KIND_FREE && pi->ucFsKind != FS_KIND_EXTENDED_LINK &&
                pi->ucFsKind != FS_KIND_RESERVED_DISK)
                note(FixLiloSector(d, pi, move));
    }
    if (first != KW_OK)
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%lu: a LILO loader could not follow the moved partition\r\n",
                static_cast<unsigned long>(first));
    return first;
}
