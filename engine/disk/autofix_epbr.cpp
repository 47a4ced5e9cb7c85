// The overlap check and the extended-boot-record checks of AutoFix.
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

kwRet AskAndWrite(DISK_RECORD* disk, AUTOFIX_ENTRY* r, kwRet code, uint64_t start,
                  const std::string& explanation) {
    kwRet rc = AfAsk(disk, code, start, explanation);
    if (rc == KW_OK)
        rc = WriteTableEntry(disk, r);
    if (rc == KW_OK)
        AfTellFixed();
    return rc;
}

kwRet PastDiskEnd(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, uint64_t end,
                  kwRet* soFar) {
    if (end <= disk->totalSectors)
        return KW_OK;
    uint8_t s[512];
    kwRet rc =
        end - 1 > UINT32_MAX ? ERR_READ_FAULT : phyRead(disk, static_cast<uint32_t>(end - 1), s, 1);
    if (rc == KW_OK && end <= UINT32_MAX) {
        AfLog("AutoFix::CheckOverlap - Disk is being extended from %lu to %lu.\n",
              U(disk->totalSectors), U(end));
        if (disk->chsSectors == disk->totalSectors)
            disk->chsSectors = static_cast<uint32_t>(end);
        disk->totalSectors = static_cast<uint32_t>(end);
        uint32_t chsCyl = uint32_t{disk->chsHeads} * disk->chsSectorsPerTrack;
        if (chsCyl != 0)
            disk->biosCylinders = static_cast<uint32_t>(end / chsCyl);
        if (disk->CylinderSize() != 0)
            disk->cylinders = static_cast<uint32_t>(end / disk->CylinderSize());
        return KW_OK;
    }
    if (rc == ERR_READ_FAULT) {
        AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  Partition extends past "
              "end of disk.\n",
              U(disk->diskNumber), U(r->absStart));
        return TruncateToFit(disk, list, r, r->Count(), disk->totalSectors);
    }
    *soFar = rc;
    return KW_OK;
}

kwRet LogicalOverlaps(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, AUTOFIX_ENTRY* ext,
                      uint64_t* extEnd) {
    unsigned long dn = disk->diskNumber;
    kwRet rc = KW_OK;
    if (r->next != nullptr && r->next->absStart < r->End()) {
        AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  Logical overlaps next "
              "partition\n",
              dn, U(r->absStart));
        rc = TruncateToFit(disk, list, r, r->Count(), r->next->absStart);
        if (rc != KW_OK)
            return rc;
    }
    uint64_t end = r->End();
    if (ext != nullptr && *extEnd < end) {
        AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  Logical overlaps end of "
              "extended\n",
              dn, U(r->absStart));
        SetEntryEnd(disk, ext, end);
        *extEnd = end;
        rc = AskAndWrite(disk, ext, AF_ERR_OVERLAP, ext->absStart, AfMessage(14));
        if (rc != KW_OK)
            return rc;
    }
    AUTOFIX_ENTRY* link = r->previous;
    if (link != nullptr && link->kind == AF_KIND_LINK && link->End() < end) {
        AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  EPBR size does not match "
              "logical.\n",
              dn, U(r->absStart));
        SetEntryEnd(disk, link, end);
        rc = AskAndWrite(disk, link, AF_ERR_OVERLAP, link->absStart, AfMessage(13));
    }
    return rc;
}

} // namespace

kwRet CheckOverlap(DISK_RECORD* disk, AUTOFIX_ENTRY** list) {
    if (disk == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    AUTOFIX_ENTRY* ext = nullptr;
    uint64_t extEnd = 0;
    kwRet result = KW_OK;
    unsigned long dn = disk->diskNumber;
    for (AUTOFIX_ENTRY* r = *list; r != nullptr; r = r->next) {
        kwRet rc = KW_OK;
        if (r->kind == AF_KIND_PRIMARY && r->next != nullptr && r->next->absStart < r->End()) {
            AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  Overlaps next "
                  "partition\n",
                  dn, U(r->absStart));
            rc = TruncateToFit(disk, list, r, r->Count(), r->next->absStart);
        } else if (r->kind == AF_KIND_EXTENDED) {
            ext = r;
            extEnd = r->End();
            AUTOFIX_ENTRY* p = r->next;
            while (p != nullptr && p->kind != AF_KIND_PRIMARY)
                p = p->next;
            if (p != nullptr && p->absStart < extEnd) {
                AfLog("AutoFix::CheckOverlap - Disk %lu Partition start = %lu.  Extended overlaps "
                      "next primary.\n",
                      dn, U(r->absStart));
                rc = TruncateToFit(disk, list, r, r->Count(), p->absStart);
                extEnd = r->End();
            }
        } else if (r->kind == AF_KIND_LOGICAL) {
            rc = LogicalOverlaps(disk, list, r, ext, &extEnd);
        }
        if (rc == KW_OK)
            rc = PastDiskEnd(disk, list, r, r->End(), &result);
        if (rc != KW_OK)
            return rc;
    }
    return result;
}
