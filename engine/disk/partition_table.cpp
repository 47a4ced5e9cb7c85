#include "engine/disk/partition_table.h"

#include "include/kwbytes.h"

#include <cstring>
#include <set>

using kwbytes::LoadLe16Padded;
using kwbytes::LoadLe32Padded;
using kwbytes::LoadU8Padded;

CHS_TRIPLE CHS_TRIPLE::parse(std::span<const uint8_t> b) {
    CHS_TRIPLE t;
    t.head = LoadU8Padded(b, 0);
    t.sector = LoadU8Padded(b, 1) & 0x3F;
    t.cylinder = LoadU8Padded(b, 2) | ((LoadU8Padded(b, 1) & 0xC0u) << 2);
    return t;
}

PARTITION_ENTRY PARTITION_ENTRY::parse(std::span<const uint8_t> b) {
    PARTITION_ENTRY e;
    e.bootIndicator = LoadU8Padded(b, 0);
    e.begin = CHS_TRIPLE::parse(b.size() > 1 ? b.subspan(1) : std::span<const uint8_t>{});
    e.type = LoadU8Padded(b, 4);
    e.end = CHS_TRIPLE::parse(b.size() > 5 ? b.subspan(5) : std::span<const uint8_t>{});
    e.relStart = LoadLe32Padded(b, 8);
    e.numSects = LoadLe32Padded(b, 12);
    return e;
}

bool PARTITION_SECTOR::parse(std::span<const uint8_t> s, PARTITION_SECTOR* out) {
    if (s.size() < 512)
        return false;
    *out = PARTITION_SECTOR{};
    out->signature = LoadLe16Padded(s, 510);
    if (!out->HasSignature())
        return true;
    out->status = s[394];
    std::memcpy(out->name, s.data() + 395, 8);
    out->diskSignature = LoadLe32Padded(s, 440);
    for (int i = 0; i < 4; ++i)
        out->entries[i] = PARTITION_ENTRY::parse(s.subspan(KW_TABLE_OFFSET + 16 * i, 16));
    return true;
}

namespace {

// The walk's state: the extended partition of the master boot record and the
// extended boot records already seen.
struct ChainWalker {
    ChainWalker(const SECTOR_READER& r, bool ignore, TABLE_WALK& w)
        : read(r), ignoreErrors(ignore), walk(w) {}

    const SECTOR_READER& read;
    bool ignoreErrors;
    TABLE_WALK& walk;
    uint32_t extendedStart = 0;
    std::set<uint32_t> seen;

    // Reads one table sector; false ends the walk.
    bool ReadTable(uint32_t sector, PARTITION_SECTOR* table) {
        uint8_t buffer[512];
        std::memset(buffer, 0, sizeof buffer);
        kwRet rc = read(sector, buffer);
        if (rc != KW_OK) {
            walk.error = rc;
            return false;
        }
        PARTITION_SECTOR::parse(buffer, table);
        return true;
    }

    // Adds the used entries of one table; gives the link to the next
    // extended boot record (0 when none) or false when the walk must stop.
    bool AddEntries(uint32_t tableSector, const PARTITION_SECTOR& t, uint32_t* next);
    void Follow(uint32_t first);
};

bool ChainWalker::AddEntries(uint32_t tableSector, const PARTITION_SECTOR& t, uint32_t* next) {
    *next = 0;
    bool haveLink = false;
    for (uint8_t i = 0; i < 4; ++i) {
        const PARTITION_ENTRY& e = t.entries[i];
        if (e.type == 0)
            continue;
        TABLE_ENTRY te;
        te.tableSector = tableSector;
        te.index = i;
        te.entry = e;
        if (tableSector == 0) {
            te.absStart = e.relStart;
        } else if (IsExtendedType(e.type)) {
            te.absStart = extendedStart + e.relStart; // 32-bit wrap as on disk
        } else {
            te.absStart = tableSector + e.relStart;
            te.status = t.status;
            std::memcpy(te.name, t.name, 8);
        }
        walk.entries.push_back(te);
        if (e.type == 0x42 && tableSector != 0) {
            walk.dynamicDisk = true;
            return false;
        }
        if (!IsExtendedType(e.type))
            continue;
        if (haveLink) {
            walk.twoExtended = true;
            if (ignoreErrors)
                continue;
            walk.error = ERR_BAD_PARTITION_TABLE;
            return false;
        }
        haveLink = true;
        *next = te.absStart;
    }
    return true;
}

void ChainWalker::Follow(uint32_t sector) {
    while (sector != 0) {
        bool again = !seen.insert(sector).second;
        if (again || seen.size() > KW_MAX_EXTENDED_RECORDS) {
            walk.chainLoops = again;
            walk.chainTooLong = !again;
            walk.error = ERR_BAD_PARTITION_TABLE;
            return;
        }
        PARTITION_SECTOR t;
        if (!ReadTable(sector, &t))
            return;
        if (!t.HasSignature())
            return; // the chain points to a sector without a table: it ends here
        uint32_t next = 0;
        if (!AddEntries(sector, t, &next))
            return;
        sector = next;
    }
}

} // namespace

TABLE_WALK WalkPartitionTables(const SECTOR_READER& read, bool ignoreErrors) {
    TABLE_WALK walk;
    ChainWalker w(read, ignoreErrors, walk);
    PARTITION_SECTOR mbr;
    if (!w.ReadTable(0, &mbr))
        return walk;
    walk.hasSignature = mbr.HasSignature();
    if (!walk.hasSignature)
        return walk;
    walk.diskSignature = mbr.diskSignature;
    uint32_t first = 0;
    if (!w.AddEntries(0, mbr, &first))
        return walk;
    if (!walk.entries.empty() && walk.entries.front().entry.type == 0x42) {
        walk.dynamicDisk = true;
        return walk;
    }
    w.extendedStart = first;
    w.Follow(first);
    return walk;
}
