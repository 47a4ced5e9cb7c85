// The truncation offer of AutoFix: a partition that runs into its neighbour
// or past the disk is cut back, with its FAT file system, when nothing is
// stored past the new end.
#include "engine/disk/autofix.h"
#include "engine/disk/autofix_io.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>

namespace {

bool Fat16Truncation(uint8_t t) {
    for (uint8_t x : {0x01, 0x04, 0x06, 0x0E, 0x11, 0x12, 0x14, 0x16, 0x1E, 0x84})
        if (x == t)
            return true;
    return false;
}

bool Fat32Truncation(uint8_t t) {
    return t == 0x0B || t == 0x0C || t == 0x1B || t == 0x1C;
}

// What the cut needs of a FAT boot sector.
struct FatBpb {
    uint32_t bytesPerSector = 0, sectorsPerCluster = 0, reserved = 0, fats = 0, rootEntries = 0;
    uint32_t sectorsPerFat = 0, total = 0, fsInfo = 0, backupBoot = 0;

    bool Parse(const uint8_t* s, bool fat32) {
        bytesPerSector = kwbytes::LoadLe16(s + 11);
        sectorsPerCluster = s[13];
        reserved = kwbytes::LoadLe16(s + 14);
        fats = s[16];
        rootEntries = kwbytes::LoadLe16(s + 17);
        uint32_t small = kwbytes::LoadLe16(s + 19);
        total = small != 0 ? small : kwbytes::LoadLe32(s + 32);
        sectorsPerFat = kwbytes::LoadLe16(s + 22);
        if (fat32 && sectorsPerFat == 0) {
            sectorsPerFat = kwbytes::LoadLe32(s + 36);
            fsInfo = kwbytes::LoadLe16(s + 48);
            backupBoot = kwbytes::LoadLe16(s + 50);
        }
        return bytesPerSector == 512 && sectorsPerCluster != 0 && fats != 0 && reserved != 0 &&
               sectorsPerFat != 0;
    }
    uint64_t DataStart() const {
        return reserved + uint64_t{fats} * sectorsPerFat + (uint64_t{rootEntries} * 32 + 511) / 512;
    }
    // 12, 16 or 32 by the cluster count of a volume of `sectors` sectors;
    // 0 when it leaves no data area.
    int KindAt(uint64_t sectors) const {
        if (sectors <= DataStart())
            return 0;
        uint64_t clusters = (sectors - DataStart()) / sectorsPerCluster;
        return clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    }
    // A reserved sector that holds a copy of the boot sector or FSInfo.
    bool IsReservedCopy(uint32_t sector) const {
        return sector != 0 && sector != 0xFFFF && sector < reserved;
    }
};

void SetTotal(uint8_t* s, uint32_t n) {
    kwbytes::StoreLe16(s + 19, n < 65536 ? static_cast<uint16_t>(n) : 0);
    kwbytes::StoreLe32(s + 32, n < 65536 ? 0 : n);
}

// Marks an FSInfo sector's free count and next-free hint as unknown, so that
// nothing trusts counts made for the longer volume.
void ForgetFsInfo(uint8_t* s) {
    if (std::memcmp(s, "RRaA", 4) != 0 || std::memcmp(s + 484, "rrAa", 4) != 0)
        return;
    kwbytes::StoreLe32(s + 488, 0xFFFFFFFF);
    kwbytes::StoreLe32(s + 492, 0xFFFFFFFF);
}

// Whether the clusters past the new end are free, through the FAT row.
kwRet ClustersFree(DISK_RECORD* disk, const AUTOFIX_ENTRY* r, uint32_t length, uint32_t cut,
                   bool fat32, bool* free) {
    *free = false;
    const KW_FS_HOOKS& hooks = kwGetFsHooks();
    if (hooks.fatClustersFree == nullptr) {
        AfLog("AutoFix::TruncateToFit - no FAT reader; the cut is not offered\n");
        return KW_OK;
    }
    std::unique_ptr<PARTITION_INFO> pi(new PARTITION_INFO);
    if (pi == nullptr)
        return ERR_NO_MEMORY;
    uint32_t c = 0, h = 0, s = 0;
    AfChs(r->entry + AFE_START_CHS, &c, &h, &s);
    pi->disk = disk;
    pi->ulStartSect = r->absStart;
    pi->NumSects = pi->ulBootTotal = length;
    pi->ulTableSect = r->tableSector;
    pi->ucEntryIndex = static_cast<uint8_t>(r->slot);
    pi->ucPartType = r->Type();
    pi->ucFsKind = fat32 ? FS_KIND_FAT32 : FS_KIND_FAT;
    pi->usBytesPerSector = 512;
    pi->ulSectsToNextCyl = h * disk->sectorsPerTrack + (s != 0 ? s - 1 : 0);
    pi->ulCylSize = disk->CylinderSize();
    pi->ulFlags = PI_OPENABLE | PI_NOT_LINKED;
    return hooks.fatClustersFree(pi.get(), cut, length, free);
}

// The sectors of the cut in the order they are written: FSInfo first (its
// counts become unknown), then the boot sector, then its backup, each with the
// shorter total. The entry follows last.
kwRet PlanFatCut(AF_PLAN& plan, const AUTOFIX_ENTRY* r, const FatBpb& bpb, bool fat32, uint32_t n) {
    uint8_t* s = nullptr;
    kwRet rc = KW_OK;
    if (fat32 && bpb.IsReservedCopy(bpb.fsInfo)) {
        rc = plan.Sector(r->absStart + bpb.fsInfo, &s);
        if (rc == KW_OK)
            ForgetFsInfo(s);
        if (rc == KW_OK && bpb.IsReservedCopy(bpb.backupBoot + bpb.fsInfo)) {
            rc = plan.Sector(r->absStart + bpb.backupBoot + bpb.fsInfo, &s);
            if (rc == KW_OK)
                ForgetFsInfo(s);
        }
    }
    if (rc == KW_OK)
        rc = plan.Sector(r->absStart, &s);
    if (rc == KW_OK)
        SetTotal(s, n);
    if (rc == KW_OK && fat32 && bpb.IsReservedCopy(bpb.backupBoot)) {
        rc = plan.Sector(r->absStart + bpb.backupBoot, &s);
        if (rc == KW_OK && kwbytes::LoadLe16(s + 510) == 0xAA55)
            SetTotal(s, n);
    }
    return rc;
}

// Whether the FAT volume can lose its sectors from `cut` on: its kind stays
// the same and every cluster there is free.
kwRet FatCutPossible(DISK_RECORD* disk, const AUTOFIX_ENTRY* r, uint32_t length, uint32_t cut,
                     FatBpb* bpb, bool* possible) {
    bool fat32 = Fat32Truncation(r->Type());
    uint8_t s[512];
    *possible = false;
    kwRet rc = phyRead(disk, r->absStart, s, 1);
    if (rc != KW_OK)
        return rc;
    if (!bpb->Parse(s, fat32) || bpb->KindAt(cut) != bpb->KindAt(bpb->total) ||
        bpb->KindAt(cut) == 0) {
        AfLog("AutoFix::TruncateToFit - Disk %lu, startsect = %lu: a cut to %lu sectors would "
              "change the FAT kind; not offered\n",
              static_cast<unsigned long>(disk->diskNumber), static_cast<unsigned long>(r->absStart),
              static_cast<unsigned long>(cut));
        return KW_OK;
    }
    return ClustersFree(disk, r, length, cut, fat32, possible);
}

// An extended partition is never cut below a logical partition it holds.
bool HoldsPast(const AUTOFIX_ENTRY* list, uint64_t end) {
    for (const AUTOFIX_ENTRY* x = list; x != nullptr; x = x->next)
        if ((x->kind == AF_KIND_LOGICAL || x->kind == AF_KIND_LINK) && x->End() > end)
            return true;
    return false;
}

} // namespace

kwRet TruncateToFit(DISK_RECORD* disk, AUTOFIX_ENTRY** list, AUTOFIX_ENTRY* r, uint32_t length,
                    uint64_t newEnd) {
    if (disk == nullptr || r == nullptr || list == nullptr)
        return ERR_BAD_ARGUMENT;
    uint8_t type = r->Type();
    bool fat = Fat16Truncation(type) || Fat32Truncation(type);
    if (!fat && !(r->kind == AF_KIND_EXTENDED || r->kind == AF_KIND_LINK))
        return KW_OK;
    if (newEnd <= r->absStart)
        return KW_OK;
    uint32_t cut = static_cast<uint32_t>(newEnd - r->absStart);
    FatBpb bpb;
    bool possible = !fat && !HoldsPast(*list, newEnd);
    if (fat) {
        kwRet rc = FatCutPossible(disk, r, length, cut, &bpb, &possible);
        if (rc != KW_OK)
            return rc;
    }
    if (!possible)
        return KW_OK;
    kwRet rc = AfAsk(disk, AF_ERR_OVERLAP, r->absStart,
                     AfMessage(24, AfTitle(), AfNumber(length), AfNumber(cut)));
    if (rc != KW_OK)
        return rc;
    AF_PLAN plan(disk);
    if (fat)
        rc = PlanFatCut(plan, r, bpb, Fat32Truncation(type), cut);
    SetEntryEnd(disk, r, newEnd);
    if (rc == KW_OK)
        rc = plan.PutEntry(*r);
    if (rc == KW_OK)
        rc = plan.Commit();
    if (rc == KW_OK)
        AfTellFixed();
    return rc;
}
