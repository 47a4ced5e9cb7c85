// The start and length checks of AutoFix and the truncation offer they share
// with the overlap check.
#include "engine/disk/autofix.h"
#include "engine/disk/autofix_io.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "include/kwbytes.h"

#include <cstring>

namespace {

uint32_t Clip32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

struct Chs {
    uint32_t c = 0, h = 0, s = 0;
};

Chs ChsOf(const DISK_RECORD* disk, uint64_t sector) {
    Chs t;
    LbaToChs(Clip32(sector), disk, &t.c, &t.h, &t.s);
    return t;
}

Chs EntryChs(const AUTOFIX_ENTRY* r, uint32_t at) {
    Chs t;
    AfChs(r->entry + at, &t.c, &t.h, &t.s);
    return t;
}

// The sector a stored triple names (with the disk's working geometry).
uint64_t SectorOf(const DISK_RECORD* disk, const Chs& t) {
    return (uint64_t{disk->heads} * t.c + t.h) * disk->sectorsPerTrack + t.s;
}

bool InGroup(uint8_t type, std::initializer_list<uint8_t> group) {
    for (uint8_t t : group)
        if (t == type)
            return true;
    return false;
}

bool FatBootGroup(uint8_t t) {
    return InGroup(
        t, {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0x11, 0x12, 0x14, 0x16, 0x1B, 0x1C, 0x1E, 0x84});
}
bool NtfsHpfsGroup(uint8_t t) {
    return t == 0x07 || t == 0x17;
}

// True when the start triple agrees with the start LBA. Past cylinder 1023
// only head and sector are compared, and the large-drive placeholder agrees.
bool StartAgrees(const DISK_RECORD* disk, const AUTOFIX_ENTRY* r) {
    Chs want = ChsOf(disk, r->absStart), have = EntryChs(r, AFE_START_CHS);
    if (want.c >= 1024 && AfIsLargePlaceholder(disk, have.c, have.h, have.s))
        return true;
    if (want.c < 1024 && want.c != have.c)
        return false;
    return want.h == have.h && want.s == have.s;
}

// The file system's own length from the boot sector at `sector`; 0 when the
// sector carries no length this check trusts.
kwRet FsLength(DISK_RECORD* disk, uint32_t sector, uint8_t type, uint32_t* length) {
    uint8_t s[512];
    *length = 0;
    kwRet rc = phyRead(disk, sector, s, 1);
    if (rc != KW_OK || kwbytes::LoadLe16(s + 510) != KW_BOOT_SIGNATURE)
        return rc;
    uint32_t small = kwbytes::LoadLe16(s + 19), large = kwbytes::LoadLe32(s + 32);
    if (FatBootGroup(type))
        *length = small != 0 ? small : large;
    else if (std::memcmp(s + 3, "NTFS", 4) == 0)
        *length = kwbytes::LoadLe32(s + 40);
    else if (std::memcmp(s + 54, "HPFS", 4) == 0)
        *length = small != 0 ? small : large;
    return KW_OK;
}

kwRet AskAndWrite(DISK_RECORD* disk, AUTOFIX_ENTRY* r, kwRet code, uint64_t start,
                  const std::string& explanation) {
    kwRet rc = AfAsk(disk, code, start, explanation);
    if (rc == KW_OK)
        rc = WriteTableEntry(disk, r);
    if (rc == KW_OK)
        AfTellFixed();
    return rc;
}

kwRet FixStart(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, bool* moved) {
    Chs have = EntryChs(r, AFE_START_CHS);
    uint64_t s = SectorOf(disk, have) - (have.s != 0 ? 1 : 0);
    bool lbaValid = afIsValidBootSector(disk, r->absStart, r->kind) != 0;
    bool chsValid = s <= UINT32_MAX && afIsValidBootSector(disk, Clip32(s), r->kind) != 0;
    unsigned long dn = disk->diskNumber;
    if (lbaValid && chsValid) {
        AfLog("AutoFix::ValidateStartSectors - Disk %lu CHS (%lu) and LBA (%lu) disagree but "
              "both point to valid boot sectors.\n",
              dn, static_cast<unsigned long>(s), static_cast<unsigned long>(r->absStart));
        return ERR_BAD_PARTITION_TABLE;
    }
    std::string why = AfMessage(20, AfNumber(r->absStart), AfNumber(s));
    if (lbaValid) {
        AfLog("AutoFix::ValidateStartSectors - Disk %lu, fixing CHS value from %lu to %lu\n", dn,
              static_cast<unsigned long>(s), static_cast<unsigned long>(r->absStart));
        Chs want = ChsOf(disk, r->absStart);
        AfPutChs(r->entry + AFE_START_CHS, want.c, want.h, want.s);
        return AskAndWrite(disk, r, AF_ERR_START, r->absStart, why + AfMessage(21, AfTitle()));
    }
    if (!chsValid)
        return KW_OK;
    AfLog("AutoFix::ValidateStartSectors - Disk %lu, fixing LBA value from %lu to %lu\n", dn,
          static_cast<unsigned long>(r->absStart), static_cast<unsigned long>(s));
    kwRet rc = AfAsk(disk, AF_ERR_START, s, why + AfMessage(19, AfTitle()));
    if (rc != KW_OK)
        return rc;
    RemoveTableEntry(list, r, false);
    r->absStart = Clip32(s);
    r->SetStartLba(r->absStart - r->base);
    if (!InsertTableEntry(list, r)) {
        delete r;
        return ERR_BAD_PARTITION_TABLE;
    }
    *moved = true;
    rc = WriteTableEntry(disk, r);
    if (rc == KW_OK)
        AfTellFixed();
    return rc;
}

} // namespace

kwRet ValidateStartSectors(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    // A record that moves is met again at its new place; the cap ends a walk
    // that a geometry mismatch would keep moving.
    int budget = 4 * KW_MAX_EXTENDED_RECORDS;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr && budget-- > 0;) {
        if (StartAgrees(disk, r)) {
            r = r->next;
            continue;
        }
        bool moved = false;
        kwRet rc = FixStart(disk, list, r, &moved);
        if (rc != KW_OK)
            return rc;
        r = r->next;
    }
    return KW_OK;
}

namespace {

// The length check's view of one record.
struct LengthView {
    uint64_t eLba = 0;
    uint64_t eChs = 0;
    Chs last; // the triple of the last sector by LBA
    bool disagree = false;
};

LengthView ViewOf(const DISK_RECORD* disk, const AUTOFIX_ENTRY* r) {
    LengthView v;
    v.eLba = r->End();
    v.last = ChsOf(disk, v.eLba > 0 ? v.eLba - 1 : 0);
    Chs have = EntryChs(r, AFE_END_CHS);
    if (v.last.c >= 1024 && AfIsLargePlaceholder(disk, have.c, have.h, have.s)) {
        v.eChs = v.eLba; // the placeholder says nothing about the length
        return v;
    }
    uint32_t c = have.c;
    if (v.last.c < 1024)
        v.disagree = v.last.c != have.c;
    else if (have.c < 1022 && (v.last.c & 0x3FF) != have.c)
        v.disagree = true;
    else
        c = v.last.c;
    v.eChs = SectorOf(disk, Chs{c, have.h, have.s});
    v.disagree = v.disagree || have.h != v.last.h || have.s != v.last.s;
    return v;
}

int64_t Span(uint64_t end, uint32_t start) {
    return static_cast<int64_t>(end) - static_cast<int64_t>(start);
}

kwRet ChangeLength(DISK_RECORD* disk, AUTOFIX_ENTRY* r, const LengthView& v, uint32_t fsLength,
                   const char* logFormat) {
    uint64_t chsEnd = v.eChs < r->absStart ? v.eLba : v.eChs;
    std::string why = AfMessage(15);
    if (fsLength != 0)
        why += AfMessage(16, AfNumber(chsEnd - r->absStart), AfNumber(v.eLba - r->absStart),
                         AfNumber(fsLength));
    else
        why += AfMessage(17, AfNumber(chsEnd - r->absStart), AfNumber(v.eLba - r->absStart));
    why += AfMessage(18, AfTitle(), AfNumber(r->Count()));
    if (fsLength != 0)
        AfLog(logFormat, static_cast<unsigned long>(disk->diskNumber),
              static_cast<unsigned long>(chsEnd - r->absStart),
              static_cast<unsigned long>(v.eLba - r->absStart),
              static_cast<unsigned long>(fsLength), static_cast<unsigned long>(r->Count()));
    else
        AfLog(logFormat, static_cast<unsigned long>(disk->diskNumber),
              static_cast<unsigned long>(chsEnd - r->absStart),
              static_cast<unsigned long>(v.eLba - r->absStart),
              static_cast<unsigned long>(r->Count()));
    return AskAndWrite(disk, r, AF_ERR_LENGTH, r->absStart, why);
}

// The limit a record's new end may not pass: the next record's start (for a
// partition, not for the extended entry or a link that hold the records
// after them) and the end of the disk.
uint64_t EndLimit(const DISK_RECORD* disk, const AUTOFIX_ENTRY* r) {
    uint64_t limit = disk->totalSectors;
    if (r->next != nullptr && (r->kind == AF_KIND_PRIMARY || r->kind == AF_KIND_LOGICAL) &&
        r->next->absStart < limit)
        limit = r->next->absStart;
    return limit;
}

kwRet LengthFromFs(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, LengthView v,
                   uint32_t f) {
    if (r->Count() < f || Span(v.eChs, r->absStart) < f) {
        bool pastNeighbour = uint64_t{r->absStart} + f > disk->totalSectors ||
                             (r->next != nullptr && uint64_t{r->absStart} + f > r->next->absStart);
        if (!v.disagree && pastNeighbour && v.last.h + 1u == disk->heads &&
            v.last.s == disk->sectorsPerTrack)
            return TruncateToFit(disk, list, r, f, v.eLba);
        v.disagree = true;
    }
    if (!v.disagree)
        return KW_OK;
    unsigned long dn = disk->diskNumber;
    if (f == 0) {
        AfLog("AutoFix::ValidatePartitionLength - Partition length conflict with invalid boot "
              "sector length on disk %lu, startsect = %lu\n",
              dn, static_cast<unsigned long>(r->absStart));
        return ERR_BAD_PARTITION_TABLE;
    }
    Chs fsLast = ChsOf(disk, uint64_t{r->absStart} + f - 1);
    uint64_t newEnd = (uint64_t{fsLast.c} + 1) * disk->CylinderSize();
    uint64_t limit = EndLimit(disk, r);
    if (newEnd > limit)
        newEnd = limit;
    if (newEnd < uint64_t{r->absStart} + f) {
        // Reaching the file system's end would run into the next partition.
        AfLog("AutoFix::ValidatePartitionLength - Disk %lu, startsect = %lu: the file system "
              "runs past the next partition; the length is left alone\n",
              dn, static_cast<unsigned long>(r->absStart));
        return ERR_BAD_PARTITION_TABLE;
    }
    SetEntryEnd(disk, r, newEnd);
    if (newEnd % disk->CylinderSize() == 0)
        AfPutChs(r->entry + AFE_END_CHS, fsLast.c, disk->heads - 1u, disk->sectorsPerTrack);
    return ChangeLength(disk, r, v, f,
                        "AutoFix::ValidatePartitionLength - Changing partition length: Disk %lu, "
                        "CHS was %lu, LBA was %lu, BootSector was: %lu, changing "
                        "to: %lu\n");
}

uint64_t ExtendedEnd(const DISK_RECORD* disk, const AUTOFIX_ENTRY* r, const LengthView& v) {
    const AUTOFIX_ENTRY* last = nullptr;
    for (const AUTOFIX_ENTRY* n = r->next;
         n != nullptr && (n->kind == AF_KIND_LOGICAL || n->kind == AF_KIND_LINK); n = n->next)
        last = n;
    if (last == nullptr) {
        uint64_t end = (v.eChs == 0 || v.eChs > v.eLba) ? v.eLba : v.eChs;
        uint32_t cyl = disk->CylinderSize();
        return cyl == 0 ? end : (end + cyl - 1) / cyl * cyl;
    }
    uint64_t eLast = last->End();
    if (v.eChs < eLast && eLast <= v.eLba)
        return v.eLba;
    if (v.eLba < eLast && eLast <= v.eChs)
        return v.eChs;
    if (eLast > v.eChs && eLast > v.eLba)
        return eLast;
    if (v.eChs > disk->totalSectors || v.eLba > disk->totalSectors)
        return disk->totalSectors;
    return v.eLba;
}

uint64_t LinkEnd(const DISK_RECORD* disk, const AUTOFIX_ENTRY* r, const LengthView& v) {
    if (r->next != nullptr && r->next->kind == AF_KIND_LOGICAL)
        return r->next->End();
    if (IsCylinderAligned(disk, v.eLba))
        return v.eLba;
    if (IsCylinderAligned(disk, v.eChs))
        return v.eChs;
    return RoundToCylinder(disk, Clip32(v.eLba), 1);
}

kwRet LengthWithoutFs(DISK_RECORD* disk, AUTOFIX_ENTRY* r, const LengthView& v) {
    if (r->kind == AF_KIND_EXTENDED || r->kind == AF_KIND_LINK) {
        bool ext = r->kind == AF_KIND_EXTENDED;
        SetEntryEnd(disk, r, ext ? ExtendedEnd(disk, r, v) : LinkEnd(disk, r, v));
        return ChangeLength(disk, r, v, 0,
                            ext ? "AutoFix::ValidatePartitionLength - Changing extended partition "
                                  "length: Disk %lu, CHS was %lu, LBA was %lu, changing "
                                  "to: %lu\n"
                                : "AutoFix::ValidatePartitionLength - Changing epbr length: Disk "
                                  "%lu, CHS was %lu, LBA was %lu, changing to: %lu\n");
    }
    AfLog("AutoFix::ValidatePartitionLength - Partition length conflict with no method to verify "
          "correct length on disk %lu, startsect = %lu\n",
          static_cast<unsigned long>(disk->diskNumber), static_cast<unsigned long>(r->absStart));
    return ERR_BAD_PARTITION_TABLE;
}

} // namespace

kwRet ValidatePartitionLength(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        LengthView v = ViewOf(disk, r);
        kwRet rc = KW_OK;
        uint8_t type = r->Type();
        if ((FatBootGroup(type) || NtfsHpfsGroup(type)) &&
            afIsValidBootSector(disk, r->absStart, r->kind)) {
            uint32_t f = 0;
            rc = FsLength(disk, r->absStart, type, &f);
            if (rc == KW_OK)
                rc = LengthFromFs(disk, list, r, v, f);
        } else if (v.disagree) {
            rc = LengthWithoutFs(disk, r, v);
        }
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}
