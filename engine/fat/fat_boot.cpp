#include "engine/fat/fat_boot.h"

#include "include/kwbytes.h"

#include <bit>

using kwbytes::LoadLe16;
using kwbytes::LoadLe32;

namespace {

// Clusters a FAT of the given kind and size can address.
uint64_t AddressableClusters(uint8_t kind, uint32_t sectorsPerFat) {
    uint64_t bytes = uint64_t{sectorsPerFat} * FAT_SECTOR_SIZE;
    uint64_t entries = kind == FAT_KIND_32   ? bytes / 4
                       : kind == FAT_KIND_16 ? bytes / 2
                                             : bytes * 2 / 3;
    return entries > 2 ? entries - 2 : 0;
}

bool SoundGeometry(std::span<const uint8_t> s) {
    uint16_t bps = LoadLe16(s, FBO_BYTES_PER_SECTOR);
    uint8_t spc = s[FBO_SECTORS_PER_CLUSTER];
    // One to four FATs: a count beyond would have writes put copies over the
    // data area.
    return bps == FAT_SECTOR_SIZE && spc != 0 && spc <= 128 && std::has_single_bit(spc) &&
           s[FBO_FAT_COUNT] >= 1 && s[FBO_FAT_COUNT] <= 4 && LoadLe16(s, FBO_RESERVED_SECTORS) != 0;
}

} // namespace

kwRet FAT_BOOT_RECORD::Parse(std::span<const uint8_t> s, uint32_t partitionSectors) {
    if (s.size() < FAT_SECTOR_SIZE || !SoundGeometry(s))
        return ERR_BAD_BOOT_SECTOR;
    *this = FAT_BOOT_RECORD{};
    bytesPerSector = LoadLe16(s, FBO_BYTES_PER_SECTOR);
    sectorsPerCluster = s[FBO_SECTORS_PER_CLUSTER];
    fatCount = s[FBO_FAT_COUNT];
    rootEntries = LoadLe16(s, FBO_ROOT_ENTRIES);
    reservedSectors = LoadLe16(s, FBO_RESERVED_SECTORS);
    hiddenSectors = LoadLe32(s, FBO_HIDDEN_SECTORS);
    media = s[FBO_MEDIA];
    sectorsPerFat = LoadLe16(s, FBO_SECTORS_PER_FAT_16);
    // Both kinds take the 16-bit total when it is set (small FAT32 volumes do).
    totalSectors = LoadLe16(s, FBO_TOTAL_SECTORS_16);
    if (totalSectors == 0)
        totalSectors = LoadLe32(s, FBO_TOTAL_SECTORS_32);
    if (sectorsPerFat != 0) {
        if (LoadLe16(s, FBO_SIGNATURE) != 0xAA55)
            return ERR_BAD_BOOT_SECTOR;
        serial = LoadLe32(s, FBO_SERIAL_16);
        fatKind = FAT_KIND_16;
        // The fixed root fills whole sectors; the size checks below keep it
        // inside the volume.
        if (rootEntries == 0 || rootEntries % (FAT_SECTOR_SIZE / 32) != 0)
            return ERR_BAD_BOOT_SECTOR;
    } else {
        if (LoadLe32(s, FBO_SIGNATURE_32) != 0xAA550000)
            return ERR_BAD_BOOT_SECTOR;
        sectorsPerFat = LoadLe32(s, FBO_SECTORS_PER_FAT_32);
        extFlags = LoadLe16(s, FBO_EXT_FLAGS);
        mirroring = (extFlags & 0x80) == 0;
        activeFat = mirroring ? 0 : extFlags & 0x0F;
        version = LoadLe16(s, FBO_VERSION);
        rootCluster = LoadLe32(s, FBO_ROOT_CLUSTER);
        serial = LoadLe32(s, FBO_SERIAL_32);
        fsInfoSector = LoadLe16(s, FBO_FSINFO_SECTOR);
        backupBootSector = LoadLe16(s, FBO_BACKUP_BOOT);
        fatKind = FAT_KIND_32;
        if (rootEntries != 0 || sectorsPerFat == 0 || activeFat >= fatCount)
            return ERR_BAD_BOOT_SECTOR;
    }
    if (version != 0)
        return ERR_FS_VERSION;
    // The sizes must leave a data area inside the partition.
    uint64_t firstData =
        uint64_t{reservedSectors} + uint64_t{fatCount} * sectorsPerFat + RootDirSectors();
    if (totalSectors > partitionSectors)
        totalSectors = partitionSectors;
    if (totalSectors <= firstData)
        return ERR_BAD_BOOT_SECTOR;
    uint64_t clusters = (totalSectors - firstData) / sectorsPerCluster;
    if (!IsFat32())
        fatKind = clusters <= FAT12_MAX_CLUSTERS ? FAT_KIND_12 : FAT_KIND_16;
    // A FAT cannot describe more clusters than it has entries for.
    uint64_t addressable = AddressableClusters(fatKind, sectorsPerFat);
    if (clusters > addressable) {
        clusters = addressable;
        totalSectors = static_cast<uint32_t>(firstData + clusters * sectorsPerCluster);
        // Cut below its kind's threshold the FAT would read as another kind.
        if (fatKind == FAT_KIND_16 && clusters <= FAT12_MAX_CLUSTERS)
            return ERR_BAD_BOOT_SECTOR;
    }
    if (clusters == 0 || (fatKind == FAT_KIND_16 && clusters > FAT16_MAX_CLUSTERS) ||
        clusters > 0x0FFFFFF5)
        return ERR_BAD_BOOT_SECTOR;
    clusterCount = static_cast<uint32_t>(clusters);
    if (IsFat32() && !IsDataCluster(rootCluster))
        return ERR_BAD_BOOT_SECTOR;
    return KW_OK;
}
