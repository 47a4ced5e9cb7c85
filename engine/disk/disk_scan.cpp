#include "engine/core/cmdline.h"
#include "engine/disk/autofix.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib_state.h"

#include <cstdlib>
#include <string>

namespace {

// The largest heads and sectors per track a CHS address can hold.
constexpr uint32_t kMaxChsHeads = 255;
constexpr uint32_t kMaxChsSectors = 63;

bool Switch(uint32_t mask) {
    return kwSwitchSet(mask);
}

// The driver's geometry, with the cylinders held so that the total sector
// count fits the disk record's 32 bits. A geometry with a zero in it (which
// would divide by zero and give an empty disk) makes way for the usual
// translation of the disk's size.
void TakeGeometry(DISK_RECORD* disk, const kw::plat::SectorSource& src) {
    kw::plat::DiskGeometry g = src.Geometry();
    if (g.cylinders == 0 || g.heads == 0 || g.sectorsPerTrack == 0) {
        DiskLog(DBG_LEVEL_TRACE, "Drive %d reported %lu/%lu/%lu; geometry taken from its size\n",
                disk->diskNumber + 1, static_cast<unsigned long>(g.cylinders),
                static_cast<unsigned long>(g.heads), static_cast<unsigned long>(g.sectorsPerTrack));
        g = kw::plat::SynthesiseGeometry(src.SectorCount());
    }
    disk->heads = disk->chsHeads = static_cast<uint16_t>(g.heads > 0xFFFF ? 0xFFFF : g.heads);
    disk->sectorsPerTrack = disk->chsSectorsPerTrack =
        static_cast<uint16_t>(g.sectorsPerTrack > 0xFFFF ? 0xFFFF : g.sectorsPerTrack);
    uint32_t maxCylinders = UINT32_MAX / disk->CylinderSize();
    disk->cylinders = disk->biosCylinders = g.cylinders < maxCylinders ? g.cylinders : maxCylinders;
}

void ChooseExtendedBios(DISK_RECORD* disk) {
    if (Switch(SW_IEB)) {
        DiskLog(DBG_LEVEL_TRACE, "/IEB (Ignore Extended BIOS)\n");
    } else if (Switch(SW_UEB)) {
        disk->ulFlags |= DISK_EXTENDED_BIOS;
        DiskLog(DBG_LEVEL_TRACE, "/UEB (Use Extended BIOS)\n");
    } else if (disk->cylinders > 1024 || disk->heads > 256 || disk->sectorsPerTrack >= 65) {
        disk->ulFlags |= DISK_EXTENDED_BIOS;
        DiskLog(DBG_LEVEL_TRACE, "Disk Geometry requires extended BIOS support\n");
    } else {
        DiskLog(DBG_LEVEL_TRACE, "Extended BIOS calls not used\n");
    }
}

// /CEC: a readable sector past the last cylinder adds one cylinder.
void CheckExtraCylinder(DISK_RECORD* disk) {
    if (!Switch(SW_CEC))
        return;
    uint64_t probe = (uint64_t{disk->cylinders} + 1) * disk->CylinderSize() - 1;
    if (probe <= UINT32_MAX && TestReadSector(disk, static_cast<uint32_t>(probe)) == KW_OK &&
        disk->cylinders < UINT32_MAX / disk->CylinderSize() - 1) {
        ++disk->cylinders;
        ++disk->biosCylinders;
    }
}

uint32_t Clamp32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

void SetSectorCounts(DISK_RECORD* disk) {
    uint64_t cyl = disk->CylinderSize();
    disk->chsLimit = Clamp32(cyl * 1024);
    disk->totalSectors = Clamp32(cyl * disk->cylinders);
    disk->chsSectors = disk->totalSectors;
    if ((disk->ulFlags & DISK_EXTENDED_BIOS) == 0 && disk->chsSectors > disk->chsLimit)
        disk->chsSectors = disk->chsLimit;
}

// Reads the next decimal field of a /USG value; false when none.
bool NextField(const char** p, uint32_t* value) {
    if (**p != ',')
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(*p + 1, &end, 10);
    if (end == *p + 1 || v > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(v);
    *p = end;
    return true;
}

// Takes a /USG heads or sectors-per-track value. Zero (which would divide by
// zero later) is ignored with a log line; a value beyond what a CHS address
// holds is cut to that limit.
void SetGeometryField(int drive, const char* what, uint32_t v, uint32_t limit, uint16_t* field) {
    if (v == 0) {
        DiskLog(DBG_LEVEL_TRACE, "/USG switch for drive %d ignored: %lu %s cannot be used\n", drive,
                static_cast<unsigned long>(v), what);
        return;
    }
    if (v > limit) {
        DiskLog(DBG_LEVEL_TRACE, "/USG switch for drive %d: %lu %s cut to %lu\n", drive,
                static_cast<unsigned long>(v), what, static_cast<unsigned long>(limit));
        v = limit;
    }
    DiskLog(DBG_LEVEL_TRACE, "/USG switch changed geometry for drive %d from %d %s to %d %s\n",
            drive, *field, what, static_cast<int>(v), what);
    *field = static_cast<uint16_t>(v);
}

void LogDiskBanner(const DISK_RECORD* disk, uint32_t unit) {
    DiskLog(DBG_LEVEL_HEADER,
            "\r\n=====================================================================\r\n"
            "Disk %u:  %lu Cylinders, %u Heads, %u Sectors/Track.\r\n",
            unit + 1, static_cast<unsigned long>(disk->biosCylinders), disk->chsHeads,
            disk->chsSectorsPerTrack);
    if (disk->ulFlags & DISK_EZ_DRIVE)
        DiskLog(DBG_LEVEL_HEADER, "EZ-Drive is installed on this drive.\r\n");
    if (disk->ulFlags & DISK_DM_INSTALLED)
        DiskLog(DBG_LEVEL_HEADER, "Disk Manager is installed on this drive.\r\n");
    // The heads of the columns that each table entry's line fills.
    for (const char* line :
         {"========================== Partition Tables =========================\r\n",
          "Partition        -----Begin----    ------End-----   Start     Num\r\n",
          "Sector    # Boot  Cyl Head Sect FS  Cyl Head Sect   Sect      Sects\r\n",
          "--------- - ---- ---- ---- ---- -- ---- ---- ---- --------- ---------\r\n"})
        DiskLog(DBG_LEVEL_HEADER, "%s", line);
}

} // namespace

void AdjustDiskGeometry(DISK_RECORD* disk) {
    std::string value;
    if (!Switch(SW_USG) || gCommandLine->GetValue(SW_USG, &value) != KW_OK || value.size() < 3 ||
        value[0] != static_cast<char>('1' + disk->diskNumber) || value[1] != ',')
        return;
    const char* p = value.c_str() + 1;
    int n = disk->diskNumber + 1;
    uint32_t v = 0;
    if (NextField(&p, &v) && v != 0) {
        DiskLog(DBG_LEVEL_TRACE,
                "/USG switch changed geometry for drive %d from %lu cylinders to %lu cylinders\n",
                n, static_cast<unsigned long>(disk->cylinders), static_cast<unsigned long>(v));
        disk->cylinders = v;
    }
    if (NextField(&p, &v))
        SetGeometryField(n, "heads", v, kMaxChsHeads, &disk->heads);
    if (NextField(&p, &v))
        SetGeometryField(n, "sectors", v, kMaxChsSectors, &disk->sectorsPerTrack);
    uint32_t maxCylinders = UINT32_MAX / disk->CylinderSize();
    if (disk->cylinders > maxCylinders)
        disk->cylinders = maxCylinders;
}

kwRet InitDiskRecord(uint32_t unit, uint32_t* diskCounter) {
    if (unit >= DiskLib().units.size())
        return ERR_NO_MORE_UNITS;
    const kw::plat::SectorSource& src = *DiskLib().units[unit];
    DISK_RECORD* disk = nullptr;
    if (AddDiskRecord(&disk, nullptr) != KW_OK)
        return ERR_NO_MEMORY;
    disk->driverUnit = unit;
    disk->diskNumber = static_cast<uint16_t>((*diskCounter)++);
    TakeGeometry(disk, src);
    disk->mediumSectors = src.SectorCount();
    ChooseExtendedBios(disk);
    CheckExtraCylinder(disk);
    AdjustDiskGeometry(disk);
    SetSectorCounts(disk);
    if (src.SectorCount() > UINT32_MAX || src.LogicalSectorBytes() != kw::plat::kSectorBytes) {
        DiskLog(DBG_LEVEL_HEADER,
                "Disk %u (%llu sectors of %u bytes) is larger than 2 TiB or does not use "
                "512-byte sectors: not supported\r\n",
                disk->diskNumber, static_cast<unsigned long long>(src.SectorCount()),
                src.LogicalSectorBytes());
        return BadMbr(disk, ERR_DRIVE_NOT_SUPPORTED, false);
    }
    if (disk->heads >= 256) {
        DiskLog(DBG_LEVEL_HEADER, "Disk %u has %u heads and is left without partitions\n",
                disk->diskNumber, disk->heads);
        return KW_OK; // the disk stays listed without partitions; the others still open
    }
    // An unreadable first sector is reported by the table scan; a damaged
    // overlay makes only this disk unusable.
    kwRet overlay = SetEzDriveInstalledFlag(disk);
    SetDiskManagerInstalledFlag(disk);
    // The repair's result does not matter here: a refusal or a failure ends
    // the repair of this disk, and the scan reads what is on it now.
    AutoFix(disk);
    LogDiskBanner(disk, unit);
    if (overlay == ERR_EZ_DRIVE_CORRUPT) {
        DiskLog(DBG_LEVEL_HEADER, "\r\nEZ-Drive is installed on drive %lu, but is corrupt.\r\n",
                static_cast<unsigned long>(unit));
        return BadMbr(disk, ERR_EZ_DRIVE_CORRUPT, false);
    }
    return ScanPartitionTables(disk, Switch(SW_IPE));
}

kwRet LbaToChs(uint32_t sector, const DISK_RECORD* disk, uint32_t* cylinder, uint32_t* head,
               uint32_t* sectorOut) {
    uint32_t spt = disk->chsSectorsPerTrack ? disk->chsSectorsPerTrack : 1;
    uint32_t heads = disk->chsHeads ? disk->chsHeads : 1;
    *sectorOut = sector % spt + 1;
    uint32_t track = sector / spt;
    *head = track % heads;
    *cylinder = track / heads;
    return KW_OK;
}

uint32_t RoundToCylinder(const DISK_RECORD* disk, uint32_t sector, uint32_t mode) {
    uint32_t c = disk->CylinderSize();
    if (c == 0)
        return sector;
    uint32_t r = sector % c;
    if (r == 0)
        return sector;
    bool up = mode == 1 || (mode == 2 && r >= c / 2);
    if (up && uint64_t{sector} + (c - r) <= UINT32_MAX)
        return sector + (c - r);
    return sector - r;
}
