// The extended-boot-record checks of AutoFix: entry types, entry order, empty
// records and records that lie more than one track before their logical
// partition. Each repair that writes more than one sector writes the new
// record first and the sector that points to it last, so that the chain
// always leads through either the old records or the new ones.
#include "engine/disk/autofix.h"
#include "engine/disk/autofix_io.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "include/kwbytes.h"

#include <cstring>

namespace {

unsigned long U(uint64_t v) {
    return static_cast<unsigned long>(v);
}

kwRet WriteQuietly(DISK_RECORD* disk, AUTOFIX_ENTRY* r, uint8_t type) {
    r->entry[AFE_TYPE] = type;
    return WriteTableEntry(disk, r);
}

kwRet FixTypes(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    bool crosses = false;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        kwRet rc = KW_OK;
        uint8_t t = r->Type();
        if (r->kind == AF_KIND_EXTENDED && r->End() > GetChsLimit(disk)) {
            crosses = true;
            if (t != 0x05)
                continue;
            if (kwGetOsKind() & 0xFF0000) {
                rc = WriteQuietly(disk, r, 0x0F);
            } else {
                std::string text = AfMessage(12, AfTitle(), AfNumber(disk->diskNumber + 1u));
                rc = AfAskText(disk, text);
                if (rc == KW_OK)
                    rc = WriteQuietly(disk, r, 0x0F);
                if (rc == KW_OK)
                    AfTellFixed();
            }
        } else if (r->kind == AF_KIND_LINK && t == 0x0F) {
            rc = WriteQuietly(disk, r, 0x05);
        } else if (r->kind == AF_KIND_LOGICAL && crosses) {
            const uint8_t from[] = {0x0C, 0x1C, 0x0E, 0x1E}, to[] = {0x0B, 0x1B, 0x04, 0x14};
            for (int i = 0; i < 4; ++i)
                if (t == from[i])
                    rc = WriteQuietly(disk, r, to[i]);
        }
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

AUTOFIX_ENTRY* FindIn(AUTOFIX_ENTRY* list, uint32_t table, uint32_t kind) {
    for (AUTOFIX_ENTRY* r = list; r != nullptr; r = r->next)
        if (r->tableSector == table && r->kind == kind)
            return r;
    return nullptr;
}

kwRet FixOrder(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        if (!((r->kind == AF_KIND_LOGICAL && r->slot != 0) ||
              (r->kind == AF_KIND_LINK && r->slot != 1)))
            continue;
        AfLog("AutoFix::ValidateEPBR - Disk %lu, EPBR contents out of order in sector %lu.\n",
              U(disk->diskNumber), U(r->absStart));
        kwRet rc = AfAsk(disk, AF_ERR_EPBR_ORDER, r->absStart, AfMessage(4, AfTitle()));
        if (rc == KW_OK)
            rc = ReorderEpbr(disk, list, r->tableSector);
        if (rc != KW_OK)
            return rc;
        AfTellFixed();
    }
    return KW_OK;
}

// An extended boot record is empty when no logical partition has its entry
// there; where it sits in start order says nothing about that.
bool HoldsLogical(const AUTOFIX_ENTRY* list, uint32_t table) {
    for (const AUTOFIX_ENTRY* r = list; r != nullptr; r = r->next)
        if (r->kind == AF_KIND_LOGICAL && r->tableSector == table)
            return true;
    return false;
}

kwRet DropEmpty(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r) {
    AfLog("AutoFix::ValidateEPBR - Disk %lu, Empty EPBR not cylinder aligned at sector %lu.  "
          "Removing empty EPBR\n",
          U(disk->diskNumber), U(r->absStart));
    kwRet rc = AfAsk(disk, AF_ERR_START, r->absStart, AfMessage(11, AfTitle()));
    if (rc != KW_OK)
        return rc;
    // One write: the slot that led to the empty record now leads past it.
    AUTOFIX_ENTRY* onward = FindIn(*list, r->absStart, AF_KIND_LINK);
    AUTOFIX_ENTRY moved;
    moved.tableSector = r->tableSector;
    moved.slot = r->slot;
    if (onward != nullptr)
        std::memcpy(moved.entry, onward->entry, 16);
    AF_PLAN plan(disk);
    rc = plan.PutEntry(moved);
    if (rc == KW_OK)
        rc = plan.Commit();
    if (rc != KW_OK)
        return rc;
    if (onward != nullptr) {
        onward->tableSector = r->tableSector;
        onward->slot = r->slot;
    }
    RemoveTableEntry(list, r, true);
    AfTellFixed();
    return KW_OK;
}

kwRet FixEmpty(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    for (AUTOFIX_ENTRY* r = *list; r != nullptr;) {
        AUTOFIX_ENTRY* next = r->next;
        uint32_t c = 0, h = 0, s = 0;
        AfChs(r->entry + AFE_START_CHS, &c, &h, &s);
        if (r->kind == AF_KIND_LINK && !(h == 0 && s == 1) && !HoldsLogical(*list, r->absStart)) {
            kwRet rc = DropEmpty(disk, list, r);
            if (rc != KW_OK)
                return rc;
        }
        r = next;
    }
    return KW_OK;
}

// A sector where a moved record may go: no other record starts there and no
// partition's data covers it.
bool FreeForRecord(const AUTOFIX_ENTRY* list, uint32_t sector) {
    for (const AUTOFIX_ENTRY* r = list; r != nullptr; r = r->next) {
        if (r->absStart == sector)
            return false;
        if ((r->kind == AF_KIND_PRIMARY || r->kind == AF_KIND_LOGICAL) && r->absStart <= sector &&
            sector < r->End())
            return false;
    }
    return true;
}

// The record R in its new place N: R's entry one track before it.
void Retable(AUTOFIX_ENTRY* list, AUTOFIX_ENTRY* r, uint32_t oldTable, uint32_t n, uint32_t spt) {
    for (AUTOFIX_ENTRY* x = list; x != nullptr; x = x->next)
        if (x->tableSector == oldTable && x != r && x->kind == AF_KIND_LINK)
            x->tableSector = n; // the link to the next record moved along with it
    r->tableSector = r->base = n;
    r->SetStartLba(spt);
}

kwRet MoveBehindLink(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, AUTOFIX_ENTRY* p,
                     uint32_t n) {
    AfLog("AutoFix::ValidateEPBR - Disk %lu, EPBR is > 1 head from logical.  Moving Epbr from "
          "sector %lu to %lu.\n",
          U(disk->diskNumber), U(r->absStart), U(n));
    kwRet rc = AfAsk(disk, AF_ERR_EPBR_POSITION, p->absStart, AfMessage(5, AfTitle(), AfNumber(n)));
    if (rc != KW_OK)
        return rc;
    uint8_t copy[512];
    rc = phyRead(disk, p->absStart, copy, 1);
    if (rc != KW_OK)
        return rc;
    uint32_t old = p->absStart;
    AUTOFIX_ENTRY moved = *r;
    moved.next = moved.previous = nullptr;
    moved.SetStartLba(disk->sectorsPerTrack);
    std::memcpy(copy + 446 + 16 * r->slot, moved.entry, 16);
    AUTOFIX_ENTRY link = *p;
    SetEntryStart(disk, &link, n);
    SetEntryEnd(disk, &link, r->End());
    AF_PLAN plan(disk);
    plan.Fill(n, copy); // the new record first: nothing leads to it yet
    rc = plan.PutEntry(link);
    if (rc == KW_OK)
        rc = plan.Commit();
    if (rc != KW_OK)
        return rc;
    std::memcpy(p->entry, link.entry, 16);
    p->absStart = n;
    Retable(*list, r, old, n, disk->sectorsPerTrack);
    AfTellFixed();
    return KW_OK;
}

// The first logical partition lies more than a track after the extended
// partition's first record: a new record goes one track before it, with the
// logical's entry and the link to the second record carried over; then the
// first record keeps only a link to the new one.
kwRet MoveFirst(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, AUTOFIX_ENTRY* x,
                uint32_t n) {
    AfLog("AutoFix::ValidateEPBR - Disk %lu, Extended is > 1 head from logical.  Moving extended "
          "from sector %lu to %lu.\n",
          U(disk->diskNumber), U(r->absStart), U(n));
    kwRet rc = AfAsk(disk, AF_ERR_EPBR_POSITION, r->absStart, AfMessage(3, AfTitle()));
    if (rc != KW_OK)
        return rc;
    if (x->absStart > n)
        return ERR_BAD_PARTITION_TABLE;
    uint32_t t = r->tableSector;
    AUTOFIX_ENTRY* second = FindIn(*list, t, AF_KIND_LINK);
    auto* k = new AUTOFIX_ENTRY;
    if (k == nullptr)
        return ERR_NO_MEMORY;
    k->tableSector = t;
    k->kind = AF_KIND_LINK;
    k->absStart = n;
    k->base = x->absStart;
    k->slot = 1;
    k->entry[AFE_TYPE] = 0x05;
    k->SetStartLba(n - x->absStart);
    SetEntryStart(disk, k, n);
    SetEntryEnd(disk, k, r->End());
    if (!InsertTableEntry(list, k)) {
        delete k;
        return ERR_BAD_PARTITION_TABLE;
    }
    uint8_t first[512], fresh[512];
    rc = phyRead(disk, t, first, 1);
    if (rc != KW_OK)
        return rc;
    std::memcpy(fresh, first, 512);
    std::memset(fresh + 446, 0, 64);
    kwbytes::StoreLe16(fresh + 510, KW_BOOT_SIGNATURE);
    AUTOFIX_ENTRY moved = *r;
    moved.SetStartLba(disk->sectorsPerTrack);
    std::memcpy(fresh + 446, moved.entry, 16);
    if (second != nullptr)
        std::memcpy(fresh + 446 + 16, second->entry, 16);
    std::memset(first + 446, 0, 64);
    std::memcpy(first + 446 + 16, k->entry, 16);
    AF_PLAN plan(disk);
    plan.Fill(n, fresh);
    plan.Fill(t, first);
    rc = plan.Commit();
    if (rc != KW_OK)
        return rc;
    if (second != nullptr)
        second->slot = 1;
    Retable(*list, r, t, n, disk->sectorsPerTrack);
    k->tableSector = t; // Retable moved every link of t, the new one included
    r->slot = 0;
    AfTellFixed();
    return KW_OK;
}

kwRet FixPositions(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    uint32_t spt = disk->sectorsPerTrack;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        uint32_t c = 0, h = 0, s = 0;
        AfChs(r->entry + AFE_START_CHS, &c, &h, &s);
        if (r->kind != AF_KIND_LOGICAL || r->StartLba() == spt || h != 1 || s != 1)
            continue;
        AUTOFIX_ENTRY* before = r->previous;
        if (before == nullptr || before->absStart != r->tableSector || r->absStart < spt)
            continue;
        uint32_t n = r->absStart - spt;
        if (n <= before->absStart || !FreeForRecord(*list, n)) {
            AfLog("AutoFix::ValidateEPBR - Disk %lu, the EPBR of the logical at sector %lu cannot "
                  "be moved to sector %lu\n",
                  U(disk->diskNumber), U(r->absStart), U(n));
            continue;
        }
        kwRet rc = KW_OK;
        if (before->kind == AF_KIND_LINK)
            rc = MoveBehindLink(disk, list, r, before, n);
        else if (before->kind == AF_KIND_EXTENDED)
            rc = MoveFirst(disk, list, r, before, n);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

} // namespace

kwRet ReorderEpbr(DISK_RECORD* disk, AUTOFIX_ENTRY** list, uint32_t t) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    AUTOFIX_ENTRY *logical = nullptr, *link = nullptr;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        if (r->tableSector != t)
            continue;
        AUTOFIX_ENTRY** slot = r->kind == AF_KIND_LOGICAL ? &logical
                               : r->kind == AF_KIND_LINK  ? &link
                                                          : nullptr;
        if (slot == nullptr)
            continue;
        if (*slot != nullptr)
            return ERR_BAD_PARTITION_TABLE;
        *slot = r;
    }
    AF_PLAN plan(disk);
    uint8_t* s = nullptr;
    kwRet rc = plan.Sector(t, &s);
    if (rc != KW_OK)
        return rc;
    // A missing entry leaves its slot zero.
    std::memset(s + 446, 0, 64);
    if (logical != nullptr)
        std::memcpy(s + 446, logical->entry, 16);
    if (link != nullptr)
        std::memcpy(s + 446 + 16, link->entry, 16);
    rc = plan.Commit();
    if (rc != KW_OK)
        return rc;
    if (logical != nullptr)
        logical->slot = 0;
    if (link != nullptr)
        link->slot = 1;
    return KW_OK;
}

kwRet ValidateEPBR(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = FixTypes(disk, list);
    if (rc == KW_OK)
        rc = CheckTableKinds(disk, list);
    if (rc == KW_OK)
        rc = FixOrder(disk, list);
    if (rc == KW_OK)
        rc = FixEmpty(disk, list);
    if (rc == KW_OK)
        rc = FixPositions(disk, list);
    return rc;
}
