#include "engine/disk/pi_checks.h"

#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pi_type_names.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <vector>

namespace {

uint32_t Spt(const DISK_RECORD& d) {
    return d.chsSectorsPerTrack ? d.chsSectorsPerTrack : 1;
}

uint32_t Heads(const DISK_RECORD& d) {
    return d.chsHeads ? d.chsHeads : 1;
}

uint64_t ChsToLba(const DISK_RECORD& d, const CHS_TRIPLE& t) {
    return (uint64_t{t.cylinder} * Heads(d) + t.head) * Spt(d) + (t.sector ? t.sector - 1 : 0);
}

bool SameTriple(const CHS_TRIPLE& a, const CHS_TRIPLE& b) {
    return a.cylinder == b.cylinder && a.head == b.head && a.sector == b.sector;
}

bool IsLbaType(uint8_t type) {
    return type == 0x0E || type == 0x1E || type == 0x0C || type == 0x1C || type == 0x0F;
}

bool IsNetWarePlaceholderType(uint8_t type) {
    return type == 0x65 || type == 0x3D || type == 0x69;
}

void LogFinding(bool counts, kwRet code, const char* text) {
    if (counts)
        DiskLog(DBG_LEVEL_HEADER, "Error #%u%s", static_cast<unsigned>(code), text);
    else
        DiskLog(DBG_LEVEL_HEADER, "Info%s", text);
}

void LogEntry(const DISK_RECORD& disk, const TABLE_ENTRY& te) {
    const PARTITION_ENTRY& e = te.entry;
    DiskLog(DBG_LEVEL_HEADER, "%9lu %d   %02X %4lu %4u %4u %02X %4lu %4u %4u %9lu %9lu\r\n",
            static_cast<unsigned long>(te.tableSector), te.index, e.bootIndicator,
            static_cast<unsigned long>(e.begin.cylinder), e.begin.head, e.begin.sector, e.type,
            static_cast<unsigned long>(e.end.cylinder), e.end.head, e.end.sector,
            static_cast<unsigned long>(e.relStart), static_cast<unsigned long>(e.numSects));
    for (const auto& [t, lba, which] : {std::tuple{e.begin, te.absStart, "Begin"},
                                        std::tuple{e.end, te.absStart + e.numSects - 1, "End"}}) {
        if (t.cylinder != 1023 || e.numSects == 0)
            continue;
        CHS_TRIPLE real = ChsOf(disk, lba);
        DiskLog(DBG_LEVEL_HEADER,
                "Info: %s C,H,S values were large drive placeholders.\r\n  Actual values are: "
                "%lu %u %u\r\n",
                which, static_cast<unsigned long>(real.cylinder), real.head, real.sector);
    }
}

} // namespace

CHS_TRIPLE ChsOf(const DISK_RECORD& disk, uint32_t sector) {
    CHS_TRIPLE t;
    t.sector = static_cast<uint8_t>(sector % Spt(disk) + 1);
    uint32_t track = sector / Spt(disk);
    t.head = static_cast<uint8_t>(track % Heads(disk));
    t.cylinder = track / Heads(disk);
    return t;
}

bool IsChsPlaceholder(const CHS_TRIPLE& t, const DISK_RECORD& disk, uint8_t type, uint32_t sector) {
    if (t.cylinder == 1023 || (t.cylinder == 1022 && IsNetWarePlaceholderType(type)) ||
        IsLbaType(type))
        return true;
    CHS_TRIPLE real = ChsOf(disk, sector);
    if (real.cylinder > 1023 && t.head == real.head && t.sector == real.sector &&
        t.cylinder == real.cylinder % 1024)
        return true;
    const PARTITION_INFO* ext = disk.extendedPi;
    if (ext != nullptr && sector >= ext->ulStartSect && sector < ext->EndSect() &&
        sector >= disk.chsLimit && t.cylinder == 1022)
        return true;
    return sector >= disk.chsLimit;
}

bool IsCheckedType(uint8_t type) {
    switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0E:
    case 0x11:
    case 0x14:
    case 0x16:
    case 0x1E:
    case 0x0B:
    case 0x0C:
    case 0x1B:
    case 0x1C:
    case 0x07:
    case 0x17:
        return true;
    default:
        return false;
    }
}

namespace {

// A cylinder/head/sector translation: the disk's own, or the 255-head,
// 63-sector one that partitioning tools use for disk images and LBA disks.
struct ChsGeometry {
    uint32_t heads;
    uint32_t spt;
};
constexpr ChsGeometry kToolGeometry{255, 63};

CHS_TRIPLE ChsIn(const ChsGeometry& g, uint32_t sector) {
    CHS_TRIPLE t;
    t.sector = static_cast<uint8_t>(sector % g.spt + 1);
    uint32_t track = sector / g.spt;
    t.head = static_cast<uint8_t>(track % g.heads);
    t.cylinder = track / g.heads;
    return t;
}

uint64_t LbaIn(const ChsGeometry& g, const CHS_TRIPLE& t) {
    return (uint64_t{t.cylinder} * g.heads + t.head) * g.spt + (t.sector ? t.sector - 1 : 0);
}

// The translation under which the begin triple names the entry's start;
// false under none. A table written under the tools' translation is as sound
// as one written under the geometry this host reports for the disk.
bool BeginGeometry(const DISK_RECORD& disk, const TABLE_ENTRY& te, ChsGeometry* g) {
    for (const ChsGeometry& c : {ChsGeometry{Heads(disk), Spt(disk)}, kToolGeometry}) {
        if (SameTriple(te.entry.begin, ChsIn(c, te.absStart))) {
            *g = c;
            return true;
        }
    }
    return false;
}

// Whether a stored triple names the sector under g; triples that cannot name
// it (placeholders, cylinders past 1023) agree with anything.
bool TripleAgrees(const ChsGeometry& g, const CHS_TRIPLE& t, uint64_t sector) {
    if (t.cylinder >= 1022 || sector > UINT32_MAX)
        return true;
    CHS_TRIPLE real = ChsIn(g, static_cast<uint32_t>(sector));
    return real.cylinder > 1023 || SameTriple(t, real);
}

bool TableAgrees(const ChsGeometry& g, const std::vector<TABLE_ENTRY>& entries) {
    for (const TABLE_ENTRY& te : entries) {
        const PARTITION_ENTRY& e = te.entry;
        if (IsLbaType(e.type) || e.numSects == 0)
            continue;
        if (!TripleAgrees(g, e.begin, te.absStart) ||
            !TripleAgrees(g, e.end, uint64_t{te.absStart} + e.numSects - 1))
            return false;
    }
    return true;
}

// The pair the end triples imply: the largest head + 1 and sector seen.
ChsGeometry ImpliedGeometry(const std::vector<TABLE_ENTRY>& entries) {
    ChsGeometry g{1, 1};
    for (const TABLE_ENTRY& te : entries) {
        if (te.entry.end.cylinder >= 1022 || IsLbaType(te.entry.type))
            continue;
        g.heads = std::max<uint32_t>(g.heads, te.entry.end.head + 1u);
        g.spt = std::max<uint32_t>(g.spt, te.entry.end.sector);
    }
    return g;
}

} // namespace

void AdoptTableGeometry(DISK_RECORD* disk, const std::vector<TABLE_ENTRY>& entries) {
    ChsGeometry own{Heads(*disk), Spt(*disk)};
    if (entries.empty() || TableAgrees(own, entries))
        return;
    for (const ChsGeometry& g : {kToolGeometry, ImpliedGeometry(entries)}) {
        if (g.heads > 255 || g.spt > 63 || !TableAgrees(g, entries))
            continue;
        DiskLog(DBG_LEVEL_HEADER,
                "Info: The partition table was written for %lu heads and %lu sectors per "
                "track; its CHS values are read that way.\r\n",
                static_cast<unsigned long>(g.heads), static_cast<unsigned long>(g.spt));
        disk->chsHeads = static_cast<uint16_t>(g.heads);
        disk->chsSectorsPerTrack = static_cast<uint16_t>(g.spt);
        return;
    }
}

namespace {

// The begin and end triples against the sectors the entry names: 116 and 110.
kwRet CheckTriples(const DISK_RECORD& disk, const TABLE_ENTRY& te, bool link) {
    const PARTITION_ENTRY& e = te.entry;
    uint32_t last = te.absStart + (e.numSects ? e.numSects - 1 : 0);
    if (IsChsPlaceholder(e.begin, disk, e.type, te.absStart))
        return KW_OK;
    ChsGeometry g{};
    if (!BeginGeometry(disk, te, &g)) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%u: Starting sector of partition is inconsistent.\r\n  ulStartSect = "
                "%lu\r\n  Begin C,H,S = %lu\r\n",
                static_cast<unsigned>(ERR_START_INCONSISTENT),
                static_cast<unsigned long>(te.absStart),
                static_cast<unsigned long>(ChsToLba(disk, e.begin)));
        return ERR_START_INCONSISTENT;
    }
    if (link || e.numSects == 0 || IsChsPlaceholder(e.end, disk, e.type, last) ||
        e.end.cylinder == 1023)
        return KW_OK;
    uint64_t span = LbaIn(g, e.end) - std::min(LbaIn(g, e.begin), LbaIn(g, e.end));
    if (span + 1 != e.numSects) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%u: Number of sectors in partition is inconsistent.\r\n  ucSectors   = "
                "%lu\n  end - begin = %lu\n",
                static_cast<unsigned>(ERR_SIZE_INCONSISTENT),
                static_cast<unsigned long>(e.numSects), static_cast<unsigned long>(span + 1));
        return ERR_SIZE_INCONSISTENT;
    }
    return KW_OK;
}

// Findings on where the entry lies that are logged only.
void LogPlacement(const DISK_RECORD& disk, const TABLE_ENTRY& te, bool link, bool checked) {
    const PARTITION_ENTRY& e = te.entry;
    if (e.bootIndicator != 0 && e.bootIndicator != 0x80)
        DiskLog(DBG_LEVEL_HEADER,
                "Warning: Partition boot flag expected to be 0x00 or 0x80,\r\n  not 0x%02X. This "
                "should not be a problem.\n",
                e.bootIndicator);
    if (e.begin.cylinder >= disk.cylinders && !IsChsPlaceholder(e.begin, disk, e.type, te.absStart))
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%u: Partition begins after end of disk.\r\n  ucBeginCylinder (%lu) must be "
                "less than %lu.\r\n",
                static_cast<unsigned>(ERR_BEGINS_PAST_END),
                static_cast<unsigned long>(e.begin.cylinder),
                static_cast<unsigned long>(disk.cylinders));
    if (e.begin.head > 1)
        LogFinding(false, ERR_BEGIN_HEAD, ": Partition didn't begin on head boundary.\r\n");
    if (e.begin.sector != 1)
        LogFinding(false, ERR_BEGIN_SECTOR, ": Partition didn't begin on head boundary.\r\n");
    if (!link && (e.end.head != Heads(disk) - 1 || e.end.sector != Spt(disk)) && checked)
        LogFinding(false, ERR_END_NOT_CYLINDER, ": Partition didn't end on cylinder boundary.\r\n");
}

} // namespace

kwRet CheckEntry(const DISK_RECORD& disk, const TABLE_ENTRY& te) {
    const PARTITION_ENTRY& e = te.entry;
    bool link = te.tableSector != 0 && IsExtendedType(e.type);
    bool checked = IsCheckedType(e.type);
    LogEntry(disk, te);
    LogPlacement(disk, te, link, checked);
    kwRet rc = CheckTriples(disk, te, link);
    if (rc != KW_OK)
        return rc;
    if (te.tableSector != 0 && te.absStart < te.tableSector) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%u: Logical Drive chain extends toward start of drive.\r\n  This is "
                "incompatible with DOS FDISK.\r\n  Linux fdisk is one source of this problem.\r\n",
                static_cast<unsigned>(ERR_CHAIN_BACKWARDS));
        return ERR_CHAIN_BACKWARDS;
    }
    if (!link && e.numSects == 0) {
        LogFinding(checked, ERR_ENTRY_EMPTY,
                   ": This partition unexpectedly contains no sectors.\r\n");
        return checked ? ERR_ENTRY_EMPTY : KW_OK;
    }
    return KW_OK;
}

namespace {

bool IsFree(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_FREE;
}

bool IsLinkRecord(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_EXTENDED_LINK;
}

bool IsPrimary(const PARTITION_INFO* pi) {
    return (pi->ulFlags & PI_LOGICAL) == 0 && !IsFree(pi);
}

// One line of the partition-information table, written in one piece so that
// the log's indentation stays at its start.
void LogRecordLine(const PARTITION_INFO* pi) {
    bool letter = IsDriveLetter(static_cast<char>(pi->ucDriveLetter));
    char status[16];
    std::snprintf(status, sizeof status, "%s%s", (pi->ulFlags & PI_LOGICAL) ? "Log" : "Pri",
                  (pi->ulFlags & PI_ACTIVE) ? ",Boot" : "");
    uint32_t tenths = (pi->NumSects % 2048 * 10 + 1024) / 2048;
    uint32_t mb = pi->NumSects / 2048 + (tenths == 10 ? 1 : 0);
    char entry[32] = "      None -";
    if (pi->ulTableSect != PI_NO_TABLE_SECTOR)
        std::snprintf(entry, sizeof entry, "%10lu %d", static_cast<unsigned long>(pi->ulTableSect),
                      pi->ucEntryIndex);
    DiskLog(DBG_LEVEL_HEADER, "%c%c%-12s%-16s%-9s%5lu.%u%s%10lu%10lu\r\n",
            letter ? pi->ucDriveLetter : ' ', letter ? ':' : ' ', pi->volumeLabel,
            PartitionTypeName(*pi, true).c_str(), status, static_cast<unsigned long>(mb),
            tenths % 10, entry, static_cast<unsigned long>(pi->ulStartSect),
            static_cast<unsigned long>(pi->NumSects));
}

// The table's head, a line at a time (the log cuts longer pieces at 119
// characters).
void LogTableHead(const DISK_RECORD* disk) {
    uint32_t total = disk->totalSectors;
    DiskLog(DBG_LEVEL_HEADER, "Disk %d:  %lu.%d Megabytes\r\n", disk->diskNumber + 1,
            static_cast<unsigned long>(total / 2048), static_cast<int>(total % 2048 * 10 / 2048));
    for (const char* line :
         {"============================= Partition Information ==========================\r\n",
          "Volume        Partition                        Partition       Start     Total\r\n",
          "Letter:Label  Type            Status   Size MB Sector    #    Sector   Sectors\r\n",
          "------------- --------------- -------- ------- --------- - --------- ---------\r\n"})
        DiskLog(DBG_LEVEL_HEADER, "%s", line);
}

// 113 when a logical partition or link lies outside the extended partition.
kwRet CheckLogical(const DISK_RECORD* disk, const PARTITION_INFO* pi) {
    const PARTITION_INFO* ext = disk->extendedPi;
    if (ext == nullptr)
        return KW_OK;
    bool outside =
        pi->ulStartSect < ext->ulStartSect || (!IsLinkRecord(pi) && pi->EndSect() > ext->EndSect());
    if (outside) {
        DiskLog(DBG_LEVEL_HEADER, "Error #%u: %s starting at %lu overlaps extended partition.\r\n",
                static_cast<unsigned>(ERR_PARTITIONS_OVERLAP),
                IsLinkRecord(pi) ? "EPBR partition" : "Logical",
                static_cast<unsigned long>(pi->ulStartSect));
        return ERR_PARTITIONS_OVERLAP;
    }
    bool oneTrack = pi->ulTableSect == PI_NO_TABLE_SECTOR ||
                    pi->ulStartSect - pi->ulTableSect == pi->disk->sectorsPerTrack;
    if (!IsLinkRecord(pi) && !oneTrack)
        DiskLog(DBG_LEVEL_HEADER,
                "Info: Logical starting at %lu is not one head away from EPBR.\r\n",
                static_cast<unsigned long>(pi->ulStartSect));
    return KW_OK;
}

} // namespace

kwRet CheckLayout(DISK_RECORD* disk) {
    LogTableHead(disk);
    kwRet rc = KW_OK;
    uint64_t primaryEnd = 0;
    int actives = 0;
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        LogRecordLine(pi);
        if (IsPrimary(pi)) {
            if (pi->ulStartSect < primaryEnd && rc == KW_OK) {
                DiskLog(DBG_LEVEL_HEADER,
                        "Error #%u: Primary partition starting at %lu overlaps previous "
                        "partition.\r\n",
                        static_cast<unsigned>(ERR_PARTITIONS_OVERLAP),
                        static_cast<unsigned long>(pi->ulStartSect));
                rc = ERR_PARTITIONS_OVERLAP;
            }
            primaryEnd = std::max(primaryEnd, pi->EndSect());
            actives += (pi->ulFlags & PI_ACTIVE) ? 1 : 0;
        } else if (!IsFree(pi)) {
            kwRet r = CheckLogical(disk, pi);
            rc = rc == KW_OK ? r : rc;
        }
    }
    if (actives > 1)
        DiskLog(DBG_LEVEL_HEADER, "Warning: More than one partition is marked active.\r\n");
    return rc;
}

void RemoveFreeSpace(DISK_RECORD* disk) {
    PARTITION_INFO** link = &disk->firstPi;
    while (*link != nullptr) {
        PARTITION_INFO* pi = *link;
        if (IsFree(pi)) {
            *link = pi->next;
            pi->ulFlags |= PI_NOT_LINKED;
            DeletePi(&pi);
        } else {
            link = &pi->next;
        }
    }
    disk->ulFlags &= ~DISK_FREE_SPACE_BUILT;
}

namespace {

uint64_t RoundUp(uint64_t v, uint64_t unit) {
    return (v + unit - 1) / unit * unit;
}

// A free run [start, end), cut in two at the disk's CHS-addressable count.
kwRet AddFree(DISK_RECORD* disk, uint64_t start, uint64_t end, bool logical, uint32_t* total) {
    uint64_t cut = disk->chsSectors;
    if (start < cut && cut < end) {
        kwRet rc = AddFree(disk, start, cut, logical, total);
        return rc != KW_OK ? rc : AddFree(disk, cut, end, logical, total);
    }
    *total += static_cast<uint32_t>(end - start);
    return CreateFreeSpacePi(static_cast<uint32_t>(start), static_cast<uint32_t>(end - start), disk,
                             logical ? static_cast<uint32_t>(start) : 0);
}

// The gap [from, to) as free space when at least `least` sectors of it lie
// between cylinder boundaries; a logical gap leaves one track for its
// extended boot record.
kwRet AddGap(DISK_RECORD* disk, uint64_t from, uint64_t to, bool logical, uint32_t* total) {
    uint64_t cyl = disk->CylinderSize() ? disk->CylinderSize() : 1;
    uint64_t start = from == disk->sectorsPerTrack && !logical ? from : RoundUp(from, cyl);
    uint64_t end = to / cyl * cyl;
    uint64_t least = logical ? cyl - disk->sectorsPerTrack : cyl;
    if (end <= start || end - start < least)
        return KW_OK;
    if (logical)
        start += disk->sectorsPerTrack;
    return AddFree(disk, start, end, logical, total);
}

// The start of a logical partition's extended boot record, or of a link (the
// boot record it points to; its table sector is the boot record before).
uint64_t LogicalFloor(const PARTITION_INFO* pi) {
    if (IsLinkRecord(pi))
        return pi->ulStartSect;
    return pi->ulTableSect != PI_NO_TABLE_SECTOR && pi->ulTableSect < pi->ulStartSect
               ? pi->ulTableSect
               : pi->ulStartSect;
}

// The sectors from the record's start to limit (none when it lies behind).
uint32_t RoomUpTo(const PARTITION_INFO* pi, uint64_t limit) {
    return limit > pi->ulStartSect ? static_cast<uint32_t>(limit - pi->ulStartSect) : 0;
}

kwRet AddLogicalGaps(DISK_RECORD* disk, PARTITION_INFO* ext) {
    std::vector<PARTITION_INFO*> inside;
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next)
        if ((pi->ulFlags & PI_LOGICAL) && !IsFree(pi))
            inside.push_back(pi);
    uint32_t total = 0;
    uint64_t at = ext->ulStartSect;
    uint64_t extEnd = std::min<uint64_t>(ext->EndSect(), disk->totalSectors);
    kwRet rc = KW_OK;
    for (size_t i = 0; i < inside.size(); ++i) {
        PARTITION_INFO* pi = inside[i];
        uint64_t floor = std::min<uint64_t>(LogicalFloor(pi), disk->totalSectors);
        if (rc == KW_OK && floor > at)
            rc = AddGap(disk, at, floor, true, &total);
        at = std::max<uint64_t>(at, IsLinkRecord(pi) ? pi->ulStartSect + 1 : pi->EndSect());
        if (!IsLinkRecord(pi)) // room up to the next boot record or the extended end
            pi->ulRoom = RoomUpTo(pi, i + 1 < inside.size() ? LogicalFloor(inside[i + 1]) : extEnd);
    }
    if (rc == KW_OK && extEnd > at)
        rc = AddGap(disk, at, extEnd, true, &total);
    ext->ulFreeSects = total;
    ext->ulUsedSects = ext->NumSects - std::min(total, ext->NumSects);
    return rc;
}

} // namespace

kwRet BuildFreeSpace(DISK_RECORD* disk) {
    if (disk->ulFlags & (DISK_RESERVED | DISK_DYNAMIC))
        return KW_OK;
    RemoveFreeSpace(disk);
    std::vector<PARTITION_INFO*> primaries;
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next)
        if (IsPrimary(pi))
            primaries.push_back(pi);
    uint64_t diskEnd = disk->totalSectors;
    uint32_t total = 0;
    kwRet rc = KW_OK;
    uint64_t at = disk->sectorsPerTrack;
    for (size_t i = 0; i < primaries.size() && rc == KW_OK; ++i) {
        PARTITION_INFO* pi = primaries[i];
        uint64_t next = i + 1 < primaries.size() ? primaries[i + 1]->ulStartSect : diskEnd;
        next = std::min(next, diskEnd); // entries past the disk's end get no room there
        pi->ulRoom = RoomUpTo(pi, next);
        uint64_t gapEnd = std::min<uint64_t>(pi->ulStartSect, diskEnd);
        if (gapEnd > at)
            rc = AddGap(disk, at, gapEnd, false, &total);
        at = std::max<uint64_t>(at, pi->EndSect());
        if (pi->ucFsKind == FS_KIND_EXTENDED && rc == KW_OK)
            rc = AddLogicalGaps(disk, pi);
    }
    if (rc == KW_OK && diskEnd > at)
        rc = primaries.empty() && at < diskEnd ? AddFree(disk, at, diskEnd, false, &total)
                                               : AddGap(disk, at, diskEnd, false, &total);
    if (rc == KW_OK)
        disk->ulFlags |= DISK_FREE_SPACE_BUILT;
    return rc;
}
