#include "engine/disk/byte_reader.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"

#include <vector>

using kwbytes::LoadLe16Padded;
using kwbytes::LoadU8Padded;
using kwdisk::BytesEqual;

bool HasPartitionType(std::span<const uint8_t> mbr, uint8_t type) {
    for (size_t at : {450u, 466u, 482u, 498u}) {
        if (LoadU8Padded(mbr, at) == type)
            return true;
    }
    return false;
}

bool FindEzDriveSignature(std::span<const uint8_t> sector, bool* bootFlag) {
    for (size_t at = 0; at <= 506; ++at) {
        if (BytesEqual(sector, at, "AERMH")) {
            *bootFlag = (LoadU8Padded(sector, 90) & 1) != 0;
            return true;
        }
    }
    return false;
}

uint32_t DiskManagerFlags(std::span<const uint8_t> mbr) {
    uint16_t v = LoadLe16Padded(mbr, 2);
    if (v >= 431)
        return 0;
    uint32_t flags = 0;
    if (LoadU8Padded(mbr, v) == 0xAA && LoadU8Padded(mbr, v + 1) == 0x55) {
        flags |= DISK_DM_INSTALLED;
        if (HasPartitionType(mbr, 0x54))
            flags |= DISK_DM_TYPE_54;
    }
    if (LoadU8Padded(mbr, v) == 0x55 && LoadU8Padded(mbr, v + 1) == 0xAA)
        flags |= DISK_DM_SECOND_FORM;
    return flags;
}

namespace {

kwRet ReadSector(DISK_RECORD* disk, uint32_t sector, std::vector<uint8_t>* buf) {
    buf->assign(512, 0);
    return phyRead(disk, sector, buf->data(), 1);
}

} // namespace

kwRet SetEzDriveInstalledFlag(DISK_RECORD* disk) {
    DiskLog(DBG_LEVEL_TRACE, "\nSetEzDriveInstalledFlag ...");
    std::vector<uint8_t> s;
    kwRet rc = ReadSector(disk, 0, &s);
    if (rc != KW_OK) {
        DiskLog(DBG_LEVEL_TRACE, "\nIsEZDriveInstalled: Error reading sector 0.\r\n");
        return ERR_BAD_PARTITION_TABLE;
    }
    if (HasPartitionType(s, 0x55))
        disk->ulFlags |= DISK_EZ_DRIVE | DISK_EZ_BOOT;
    for (uint32_t sector : {2u, 3u}) {
        if (ReadSector(disk, sector, &s) != KW_OK) {
            DiskLog(DBG_LEVEL_TRACE, "\nIsEZDriveInstalled: Error reading sector %lu.\r\n",
                    static_cast<unsigned long>(sector));
            return ERR_BAD_PARTITION_TABLE;
        }
        bool boot = false;
        if (FindEzDriveSignature(s, &boot)) {
            disk->ulFlags |= DISK_EZ_DRIVE | (boot ? DISK_EZ_BOOT : 0);
            DiskLog(DBG_LEVEL_TRACE, "\nSetEZDriveInstalledFlag complete (kwRet == %lu)", 0ul);
            return KW_OK;
        }
    }
    if (disk->ulFlags & DISK_EZ_DRIVE) {
        DiskLog(DBG_LEVEL_TRACE, "\nIsEZDriveInstalled: EZDrive signature not detected, EZDrive "
                                 "is corrupt.");
        disk->ulFlags &= ~DISK_EZ_DRIVE;
        rc = ERR_EZ_DRIVE_CORRUPT;
    }
    DiskLog(DBG_LEVEL_TRACE, "\nSetEZDriveInstalledFlag complete (kwRet == %lu)",
            static_cast<unsigned long>(rc));
    return rc;
}

kwRet SetDiskManagerInstalledFlag(DISK_RECORD* disk) {
    DiskLog(DBG_LEVEL_TRACE, "\nSetDiskManagerInstalledFlag ...");
    std::vector<uint8_t> s;
    if (ReadSector(disk, 0, &s) != KW_OK) {
        DiskLog(DBG_LEVEL_TRACE, "\nSetDiskManagerInstalledFlag: Error reading sector 0.\r\n");
        return ERR_BAD_PARTITION_TABLE;
    }
    disk->ulFlags |= DiskManagerFlags(s);
    DiskLog(DBG_LEVEL_TRACE, "\nSetDiskManagerInstalledFlag complete (kwRet == %lu)", 0ul);
    return KW_OK;
}
