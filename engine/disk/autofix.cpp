#include "engine/disk/autofix.h"

#include "engine/core/msgformat.h"
#include "engine/core/ui_bridge.h"
#include "engine/disk/autofix_io.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "include/kwbytes.h"

#include <cstring>
#include <map>

uint32_t AUTOFIX_ENTRY::StartLba() const {
    return kwbytes::LoadLe32(entry + AFE_START_LBA);
}

uint32_t AUTOFIX_ENTRY::Count() const {
    return kwbytes::LoadLe32(entry + AFE_COUNT);
}

void AUTOFIX_ENTRY::SetStartLba(uint32_t value) {
    kwbytes::StoreLe32(entry + AFE_START_LBA, value);
}

void AUTOFIX_ENTRY::SetCount(uint32_t value) {
    kwbytes::StoreLe32(entry + AFE_COUNT, value);
}

namespace {

// A table that the walk may not follow again: the chain ends there.
constexpr uint32_t kMaxTables = KW_MAX_EXTENDED_RECORDS;

kwRet ReadChain(DISK_RECORD* disk, AUTOFIX_ENTRY** list, uint32_t table, uint32_t extStart,
                uint32_t* tables) {
    if (++*tables > kMaxTables) {
        AfLog("AutoFix: more than %u extended boot records; the chain is not followed further\n",
              kMaxTables);
        return KW_OK;
    }
    uint8_t s[512];
    kwRet rc = phyRead(disk, table, s, 1);
    if (rc != KW_OK)
        return rc;
    for (uint16_t slot = 0; slot < 4; ++slot) {
        const uint8_t* e = s + 446 + 16 * slot;
        if (e[AFE_TYPE] == 0)
            continue;
        auto* r = new AUTOFIX_ENTRY;
        if (r == nullptr)
            return ERR_NO_MEMORY;
        bool ext = IsExtendedType(e[AFE_TYPE]);
        r->tableSector = table;
        r->kind = table == 0 ? (ext ? AF_KIND_EXTENDED : AF_KIND_PRIMARY)
                             : (ext ? AF_KIND_LINK : AF_KIND_LOGICAL);
        r->base = r->kind == AF_KIND_LINK ? extStart : table;
        r->slot = slot;
        std::memcpy(r->entry, e, 16);
        r->absStart = r->StartLba() + r->base;
        if (!InsertTableEntry(list, r)) {
            delete r;
            continue;
        }
        if (r->kind == AF_KIND_EXTENDED)
            rc = ReadChain(disk, list, r->absStart, r->absStart, tables);
        else if (r->kind == AF_KIND_LINK)
            rc = ReadChain(disk, list, r->absStart, extStart, tables);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// A GUID-partitioned or dynamic disk keeps its real tables elsewhere; its
// master boot record only protects them and is left alone.
bool ForeignTable(const AUTOFIX_ENTRY* list) {
    for (const AUTOFIX_ENTRY* r = list; r != nullptr; r = r->next)
        if (r->tableSector == 0 && (r->Type() == KW_GPT_PROTECTIVE_TYPE || r->Type() == 0x42))
            return true;
    return false;
}

} // namespace

kwRet CheckMbrSignature(DISK_RECORD* disk) {
    if (disk == nullptr)
        return ERR_BAD_ARGUMENT;
    uint8_t s[512];
    if (phyRead(disk, 0, s, 1) != KW_OK)
        return ERR_FIRST_SECTOR_UNREADABLE;
    if (kwbytes::LoadLe16(s + 510) != KW_BOOT_SIGNATURE) {
        AfLog("AutoFix: MBR Signature not valid\n");
        return ERR_FIRST_SECTOR_UNREADABLE;
    }
    return KW_OK;
}

kwRet ReadTableChain(DISK_RECORD* disk, AUTOFIX_ENTRY** list, uint32_t tableSector,
                     uint32_t extendedStart) {
    uint32_t tables = 0;
    return ReadChain(disk, list, tableSector, extendedStart, &tables);
}

kwRet BuildTableList(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = ReadTableChain(disk, list, 0, 0);
    AUTOFIX_ENTRY* before = nullptr;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        r->previous = before;
        before = r;
    }
    return rc;
}

void FreeTableList(AUTOFIX_ENTRY** list) {
    while (list != nullptr && *list != nullptr) {
        AUTOFIX_ENTRY* next = (*list)->next;
        delete *list;
        *list = next;
    }
}

int InsertTableEntry(AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r) {
    if (*list == nullptr) {
        r->next = r->previous = nullptr;
        *list = r;
        return 1;
    }
    for (AUTOFIX_ENTRY* at = *list; at != nullptr; at = at->next)
        if (at->absStart == r->absStart)
            return 0;
    if (r->absStart < (*list)->absStart) {
        r->previous = nullptr;
        r->next = *list;
        (*list)->previous = r;
        *list = r;
        return 1;
    }
    AUTOFIX_ENTRY* at = *list;
    while (at->next != nullptr && at->next->absStart < r->absStart)
        at = at->next;
    r->next = at->next;
    r->previous = at;
    if (at->next != nullptr)
        at->next->previous = r;
    at->next = r;
    return 1;
}

void RemoveTableEntry(AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, bool free) {
    if (r->previous != nullptr)
        r->previous->next = r->next;
    if (r->next != nullptr)
        r->next->previous = r->previous;
    if (*list == r)
        *list = r->next;
    r->next = r->previous = nullptr;
    if (free)
        delete r;
}

kwRet WriteTableEntry(DISK_RECORD* disk, const AUTOFIX_ENTRY* record) {
    AF_PLAN plan(disk);
    kwRet rc = plan.PutEntry(*record);
    return rc != KW_OK ? rc : plan.Commit();
}

void SetEntryStart(const DISK_RECORD* disk, AUTOFIX_ENTRY* r, uint32_t newStart) {
    r->SetStartLba(newStart - (r->absStart - r->StartLba()));
    r->absStart = newStart;
    uint32_t c = 0, h = 0, s = 0;
    LbaToChs(newStart, disk, &c, &h, &s);
    AfPutChs(r->entry + AFE_START_CHS, c, h, s);
}

void SetEntryEnd(const DISK_RECORD* disk, AUTOFIX_ENTRY* r, uint64_t newEnd) {
    uint64_t count = newEnd > r->absStart ? newEnd - r->absStart : 0;
    r->SetCount(count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count));
    uint32_t c = 0, h = 0, s = 0;
    uint64_t last = r->End() > 0 ? r->End() - 1 : 0;
    LbaToChs(last > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(last), disk, &c, &h, &s);
    AfPutChs(r->entry + AFE_END_CHS, c, h, s);
}

bool IsCylinderAligned(const DISK_RECORD* disk, uint64_t sector) {
    uint32_t cyl = disk->CylinderSize();
    return cyl != 0 && sector % cyl == 0;
}

uint32_t GetChsLimit(const DISK_RECORD* disk) {
    return disk->chsLimit;
}

int afIsValidBootSector(DISK_RECORD* disk, uint32_t sector, uint32_t kind) {
    uint8_t s[512];
    if (phyRead(disk, sector, s, 1) != KW_OK)
        return 0;
    bool signature = kwbytes::LoadLe16(s + 510) == KW_BOOT_SIGNATURE;
    if (kind == AF_KIND_EXTENDED || kind == AF_KIND_LINK)
        return signature ? 1 : 0;
    if (kind != AF_KIND_LOGICAL && kind != AF_KIND_PRIMARY)
        return 0;
    if (!signature)
        return 0;
    if ((s[0] == 0xEB && s[1] >= 0x3C) || (s[0] == 0xE9 && kwbytes::LoadLe16(s + 1) >= 0x3C))
        return 1;
    AfLog("afIsValidBootSector: Invalid jump instruction (%02X%02X%02X)in boot sector on disk %d "
          "sector %lu.\n",
          s[0], s[1], s[2], disk->diskNumber, static_cast<unsigned long>(sector));
    return 0;
}

kwRet CheckDiskGeometry(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    int counted = 0;
    uint32_t heads = 0, spt = 0;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        uint32_t sc = 0, sh = 0, ss = 0, ec = 0, eh = 0, es = 0;
        LbaToChs(r->absStart, disk, &sc, &sh, &ss);
        uint64_t last = r->End() > 0 ? r->End() - 1 : 0;
        LbaToChs(last > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(last), disk, &ec, &eh, &es);
        uint32_t c = 0, h = 0, s = 0;
        AfChs(r->entry + AFE_START_CHS, &c, &h, &s);
        if (h > 1 || (c == sc && h == sh && s == ss))
            continue;
        uint32_t c2 = 0, h2 = 0, s2 = 0;
        AfChs(r->entry + AFE_END_CHS, &c2, &h2, &s2);
        if (h2 + 1u == disk->heads || (c2 == ec && h2 == eh && s2 == es))
            continue;
        ++counted;
        heads = h2 + 1;
        spt = s2;
    }
    if (counted < 2)
        return KW_OK;
    std::string actual =
        FormatString(kwGetMessageText(9), AfNumber(disk->totalSectors / 2048).c_str(),
                     AfNumber(disk->cylinders).c_str(), AfNumber(disk->heads).c_str(),
                     AfNumber(disk->sectorsPerTrack).c_str());
    std::string apparent = AfMessage(10, AfNumber(heads), AfNumber(spt));
    std::string text = AfMessage(8, AfNumber(disk->diskNumber + 1u), actual, apparent);
    kwGetUIBridge()->MessageBox(text.c_str(), 1, nullptr);
    AfLog("AutoFix: Disk Geometry error on disk %lu. %d partitions aligned to %lu heads, %lu "
          "sectors per track\n",
          static_cast<unsigned long>(disk->diskNumber), counted, static_cast<unsigned long>(heads),
          static_cast<unsigned long>(spt));
    return ERR_BAD_PARTITION_TABLE;
}

kwRet CheckTableKinds(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    std::map<uint32_t, int> logicals, links;
    for (const AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        if (r->kind == AF_KIND_LOGICAL && ++logicals[r->tableSector] > 1) {
            AfLog("AutoFix::ValidateEPBR - Disk %lu, Multiple logicals in EPBR at sector %lu.\n",
                  static_cast<unsigned long>(disk->diskNumber),
                  static_cast<unsigned long>(r->tableSector));
            return ERR_BAD_PARTITION_TABLE;
        }
        if ((r->kind == AF_KIND_LINK || r->kind == AF_KIND_EXTENDED) &&
            ++links[r->tableSector] > 1) {
            AfLog("AutoFix::ValidateEPBR - Disk %lu, Multiple EPBRs in EPBR at sector %lu.\n",
                  static_cast<unsigned long>(disk->diskNumber),
                  static_cast<unsigned long>(r->tableSector));
            return ERR_BAD_PARTITION_TABLE;
        }
    }
    return KW_OK;
}

kwRet AutoFix(DISK_RECORD* disk) {
    if (disk == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = CheckMbrSignature(disk);
    if (rc != KW_OK)
        return rc;
    AUTOFIX_ENTRY* list = nullptr;
    rc = BuildTableList(disk, &list);
    if (rc == KW_OK && ForeignTable(list)) {
        FreeTableList(&list);
        return KW_OK;
    }
    using Step = kwRet (*)(DISK_RECORD*, AUTOFIX_ENTRY**);
    for (Step step : {CheckTableKinds, CheckDiskGeometry, ValidateStartSectors,
                      ValidatePartitionLength, CheckOverlap, ValidateEPBR}) {
        if (rc != KW_OK)
            break;
        rc = step(disk, &list);
    }
    FreeTableList(&list);
    if (rc == ERR_USER_CANCEL)
        AfLog("AutoFix: User cancelled.\n");
    return rc;
}
