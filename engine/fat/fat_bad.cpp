// FAT_FILESYSTEM: bad clusters, the hidden-sectors field, the geometry in
// the boot sector, and the label read without opening the volume.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_bootcode.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>
#include <new>

// Whether a partition-relative sector may be marked bad: 509 in the system
// area, 2022 (strict) when its cluster holds data; ERR_BAD_ARGUMENT past the
// last cluster. 0 also when the cluster is bad already.
kwRet FAT_FILESYSTEM::markBad(uint32_t sector, bool strict) {
    if (sector < boot_.FirstDataSector())
        return ERR_BAD_SECTOR_IN_FS;
    uint32_t c = boot_.SectorToCluster(sector);
    if (!boot_.IsDataCluster(c))
        return ERR_BAD_ARGUMENT;
    uint32_t v = fat_->GetNextCluster(c);
    if (v == FAT_BAD)
        return KW_OK;
    if (v != 0)
        return strict ? ERR_FAT_BAD_CLUSTER_IN_USE : KW_OK;
    return fat_->SetNextCluster(c, FAT_BAD);
}

// Every sector is checked before any is marked: a list with one sector that
// may not be marked changes nothing.
kwRet FAT_FILESYSTEM::AddBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    for (uint32_t i = 0; rc == KW_OK && i < list->GetCount(); ++i) {
        uint32_t s = list->GetAt(i);
        if (s < boot_.FirstDataSector())
            rc = ERR_BAD_SECTOR_IN_FS;
        else if (!boot_.IsDataCluster(boot_.SectorToCluster(s)))
            rc = ERR_BAD_ARGUMENT;
        else if (uint32_t v = fat_->GetNextCluster(boot_.SectorToCluster(s));
                 v != 0 && v != FAT_BAD)
            rc = ERR_FAT_BAD_CLUSTER_IN_USE;
    }
    for (uint32_t i = 0; rc == KW_OK && i < list->GetCount(); ++i)
        rc = markBad(list->GetAt(i), true);
    if (rc != KW_OK) {
        if (fat_ != nullptr && fat_->IsChanged())
            fat_->ReadFat(GetHandle(),
                          boot_.FirstFatSector() + boot_.activeFat * boot_.sectorsPerFat);
        return rc;
    }
    return FlushFat();
}

kwRet FAT_FILESYSTEM::ClearBadSectors() {
    kwRet rc = mayChange();
    for (uint32_t c = fat_ != nullptr ? fat_->FindNextBad(2) : STATE_MAP_NONE;
         rc == KW_OK && c != STATE_MAP_NONE; c = fat_->FindNextBad(c + 1))
        rc = fat_->SetNextCluster(c, 0);
    return rc == KW_OK ? FlushFat() : rc;
}

// The list holds sectors of the disk: those inside the partition replace
// the volume's bad marks; one in the system area or in a cluster with data
// is logged and left.
kwRet FAT_FILESYSTEM::SetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    for (uint32_t c = rc == KW_OK ? fat_->FindNextBad(2) : STATE_MAP_NONE;
         rc == KW_OK && c != STATE_MAP_NONE; c = fat_->FindNextBad(c + 1))
        rc = fat_->SetNextCluster(c, 0);
    PARTITION_INFO* pi = GetPI();
    for (uint32_t i = 0; rc == KW_OK && i < list->GetCount(); ++i) {
        uint32_t s = list->GetAt(i);
        if (s < pi->ulStartSect || s - pi->ulStartSect >= pi->NumSects)
            continue;
        kwRet marked = markBad(s - pi->ulStartSect, true);
        if (marked == ERR_BAD_SECTOR_IN_FS)
            DbgPrintf("Error: bad sector in FS area\r\n");
        else if (marked == ERR_FAT_BAD_CLUSTER_IN_USE)
            DbgPrintf("Error: data in bad cluster\r\n");
        else if (marked != ERR_BAD_ARGUMENT)
            rc = marked;
    }
    return rc == KW_OK ? FlushFat() : rc;
}

// The hidden-sectors field of the boot sector (and of the FAT32 backup):
// the partition's start for a primary, its distance from its extended boot
// record for a logical; then the boot-sector copies other loaders keep as
// files. A volume without a table entry keeps its field.
kwRet FAT_FILESYSTEM::UpdateHiddenSectors() {
    PARTITION_INFO* pi = GetPI();
    if (pi->ucFsKind == FS_KIND_EXTENDED || pi->ucEntryIndex == PI_NO_ENTRY)
        return KW_OK;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    uint32_t hidden =
        (pi->ulFlags & PI_LOGICAL) ? pi->ulStartSect - pi->ulTableSect : pi->ulStartSect;
    uint8_t sector[FAT_SECTOR_SIZE];
    rc = readBootSector(sector);
    if (rc != KW_OK)
        return rc;
    // The copies of the boot sector that other loaders keep as files take
    // the field too, even when the boot sector has it already.
    if (kwbytes::LoadLe32(sector + FBO_HIDDEN_SECTORS) == hidden)
        return refreshBootSectorFiles();
    kwbytes::StoreLe32(sector + FBO_HIDDEN_SECTORS, hidden);
    if (boot_.IsFat32() && boot_.backupBootSector != 0 &&
        boot_.backupBootSector < boot_.reservedSectors)
        rc = WriteSectors(boot_.backupBootSector, sector, 1);
    if (rc == KW_OK)
        rc = WriteSectors(0, sector, 1);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc != KW_OK)
        return rc;
    boot_.hiddenSectors = hidden;
    return refreshBootSectorFiles();
}

kwRet FAT_FILESYSTEM::refreshBootSectorFiles() {
    kwRet rc = UpdateBootSectorFiles(this);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::SetGeometry(uint16_t heads, uint16_t sectorsPerTrack) {
    if (heads == 0 || heads > 256 || sectorsPerTrack == 0 || sectorsPerTrack > 63)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    DISK_RECORD* disk = GetPI()->disk;
    if (rc != KW_OK || disk == nullptr)
        return rc != KW_OK ? rc : ERR_BAD_POINTER;
    uint16_t oldHeads = disk->heads, oldSpt = disk->sectorsPerTrack;
    disk->heads = heads;
    disk->sectorsPerTrack = sectorsPerTrack;
    rc = WriteBootSector();
    if (rc != KW_OK) {
        disk->heads = oldHeads;
        disk->sectorsPerTrack = oldSpt;
    }
    return rc;
}

namespace {

// The label entry among `sectors` root sectors in `bytes`, or null.
const uint8_t* FindLabel(const uint8_t* bytes, uint32_t sectors) {
    for (uint32_t i = 0; i < sectors * FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE; ++i) {
        const uint8_t* e = bytes + i * FAT_DIR_ENTRY_SIZE;
        if (e[0] == 0)
            break;
        if (e[0] != FAT_DELETED && (e[FDE_ATTR] == 0x08 || e[FDE_ATTR] == 0x28))
            return e;
    }
    return nullptr;
}

} // namespace

kwRet fatGetVolumeLabel(PARTITION_INFO* pi, char* buffer) {
    if (pi == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0);
    if (rc != KW_OK)
        return rc;
    uint8_t boot[FAT_SECTOR_SIZE];
    FAT_BOOT_RECORD record;
    rc = fs->ReadSectors(0, boot, 1);
    if (rc == KW_OK)
        rc = record.Parse(std::span<const uint8_t>(boot, FAT_SECTOR_SIZE), pi->NumSects);
    // The fixed root, or the first cluster of the FAT32 root (no FAT is read).
    uint32_t first =
        record.IsFat32() ? record.ClusterToSector(record.rootCluster) : record.FirstRootSector();
    uint32_t count = record.IsFat32() ? record.sectorsPerCluster : record.RootDirSectors();
    if (rc == KW_OK && record.IsFat32() && !record.IsDataCluster(record.rootCluster))
        count = 0;
    std::unique_ptr<uint8_t[]> root(new (std::nothrow) uint8_t[(count + 1) * FAT_SECTOR_SIZE]);
    if (rc == KW_OK && !root)
        rc = ERR_NO_MEMORY;
    if (rc == KW_OK && count != 0)
        rc = fs->ReadSectors(first, root.get(), count);
    CloseFileSystem(&fs);
    if (rc != KW_OK)
        return rc;
    const uint8_t* found = count != 0 ? FindLabel(root.get(), count) : nullptr;
    if (found == nullptr)
        found = boot + (record.IsFat32() ? FBO_LABEL_32 : FBO_LABEL_16);
    std::memcpy(buffer, found, 11);
    buffer[11] = '\0';
    for (int i = 10; i >= 0 && buffer[i] == ' '; --i)
        buffer[i] = '\0';
    return KW_OK;
}
