// FAT_FILESYSTEM: the volume as a whole: opening from a given boot record,
// building and writing the boot sector, writing every FAT copy, the
// protected update, the folder cache and the steps around a change.
#include "engine/core/dbgmgr.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/partition_table.h"
#include "engine/disk/pt_write.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>

using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;

namespace {

// Values of FAT entries 0 and 1 when no change is under way.
constexpr uint32_t kEntry1Clean = 0xFFFFFFFF;

bool NamesFat32(uint8_t type) {
    uint8_t t = type & 0xEF;
    return t == 0x0B || t == 0x0C;
}

} // namespace

kwRet FAT_FILESYSTEM::Init(const FAT_BOOT_RECORD& record) {
    Uninit();
    if (GetPI() == nullptr || GetHandle() == FS_NO_HANDLE)
        return ERR_BAD_HANDLE;
    if (record.version != 0)
        return ERR_FS_VERSION;
    if (record.sectorsPerCluster == 0 || record.fatCount == 0 || record.sectorsPerFat == 0 ||
        record.bytesPerSector != FAT_SECTOR_SIZE)
        return ERR_BAD_BOOT_SECTOR;
    sector_ = new (std::nothrow) uint8_t[FAT_SECTOR_SIZE];
    if (sector_ == nullptr)
        return ERR_NO_MEMORY;
    boot_ = record;
    return loadFat();
}

kwRet FAT_FILESYSTEM::InstallBootRecord(const FAT_BOOT_RECORD& record, FAT_BLOCKS* fat) {
    if (!initialised_ || fat == nullptr || fat->GetEntryCount() != record.LastCluster() + 1) {
        delete fat;
        return !initialised_ ? ERR_NOT_OPEN : ERR_BAD_ARGUMENT;
    }
    STATE_MAP seen;
    if (seen.Create(fat->GetEntryCount(), false) != KW_OK) {
        delete fat;
        return ERR_NO_MEMORY;
    }
    folders_.Drop();
    DropDirBlocks();
    delete fat_;
    fat_ = fat;
    seen_ = seen;
    boot_ = record;
    chainsChecked_ = false;
    fsInfoStale_ = boot_.IsFat32();
    return KW_OK;
}

// The fields every kind shares, and the kind's own; bytes the layout does
// not own (boot code, OEM name, label) stay as the sector has them.
kwRet FAT_FILESYSTEM::BuildBootSector(uint8_t* s, const FAT_BOOT_RECORD* record) {
    if (s == nullptr)
        return ERR_BAD_ARGUMENT;
    const FAT_BOOT_RECORD& r = record != nullptr ? *record : boot_;
    PARTITION_INFO* pi = GetPI();
    bool blank = s[0] == 0xF6 || s[0] == 0;
    if (blank) {
        s[0] = 0xEB;
        s[1] = 0x3C;
        s[2] = 0x90;
    }
    s[FBO_MEDIA] = r.media != 0 ? r.media : 0xF8;
    if (pi->disk != nullptr && pi->disk->sectorsPerTrack != 0) {
        StoreLe16(s + FBO_SECTORS_PER_TRACK, pi->disk->sectorsPerTrack);
        StoreLe16(s + FBO_HEADS, pi->disk->heads);
    }
    uint32_t hidden = r.hiddenSectors;
    if (pi->ucEntryIndex != PI_NO_ENTRY)
        hidden = (pi->ulFlags & PI_LOGICAL) ? pi->ulStartSect - pi->ulTableSect : pi->ulStartSect;
    StoreLe32(s + FBO_HIDDEN_SECTORS, hidden);
    StoreLe16(s + FBO_BYTES_PER_SECTOR, r.bytesPerSector);
    s[FBO_SECTORS_PER_CLUSTER] = static_cast<uint8_t>(r.sectorsPerCluster);
    StoreLe16(s + FBO_RESERVED_SECTORS, r.reservedSectors);
    s[FBO_FAT_COUNT] = r.fatCount;
    StoreLe16(s + FBO_ROOT_ENTRIES, r.IsFat32() ? 0 : r.rootEntries);
    bool small = !r.IsFat32() && r.totalSectors < 0x10000;
    StoreLe16(s + FBO_TOTAL_SECTORS_16, small ? static_cast<uint16_t>(r.totalSectors) : 0);
    StoreLe32(s + FBO_TOTAL_SECTORS_32, small ? 0 : r.totalSectors);
    uint32_t serial =
        r.serial != 0 ? r.serial : LoadLe32(s + (r.IsFat32() ? FBO_SERIAL_32 : FBO_SERIAL_16));
    if (r.IsFat32()) {
        StoreLe16(s + FBO_SECTORS_PER_FAT_16, 0);
        StoreLe32(s + FBO_SECTORS_PER_FAT_32, r.sectorsPerFat);
        uint16_t flags = static_cast<uint16_t>(r.extFlags & 0xFF70);
        if (!r.mirroring)
            flags = static_cast<uint16_t>(flags | 0x80 | (r.activeFat & 0x0F));
        StoreLe16(s + FBO_EXT_FLAGS, flags);
        StoreLe16(s + FBO_VERSION, 0);
        StoreLe32(s + FBO_ROOT_CLUSTER, r.rootCluster);
        StoreLe16(s + FBO_FSINFO_SECTOR, r.fsInfoSector);
        StoreLe16(s + FBO_BACKUP_BOOT, r.backupBootSector);
        StoreLe32(s + FBO_SERIAL_32, serial);
        std::memcpy(s + FBO_FS_TYPE_32, "FAT32   ", 8);
        if (blank) {
            std::memcpy(s + FBO_OEM_NAME, "MSWIN4.1", 8);
            s[64] = 0x80;
            s[66] = 0x29;
            std::memcpy(s + FBO_LABEL_32, "NO NAME    ", 11);
        }
        StoreLe32(s + FBO_SIGNATURE_32, 0xAA550000);
    } else {
        StoreLe16(s + FBO_SECTORS_PER_FAT_16, static_cast<uint16_t>(r.sectorsPerFat));
        StoreLe32(s + FBO_SERIAL_16, serial);
        std::memcpy(s + FBO_FS_TYPE_16, r.fatKind == FAT_KIND_12 ? "FAT12   " : "FAT16   ", 8);
        if (blank) {
            std::memcpy(s + FBO_OEM_NAME, "MSWIN4.0", 8);
            s[36] = 0x80;
            s[38] = 0x29;
            std::memcpy(s + FBO_LABEL_16, "NO NAME    ", 11);
        }
        StoreLe16(s + FBO_SIGNATURE, 0xAA55);
    }
    return KW_OK;
}

// The backup first, then the boot sector, then FSInfo: a crash leaves the
// boot sector whole, old or new.
kwRet FAT_FILESYSTEM::WriteBootSector() {
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (IsReadOnly())
        return damaged_ ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    uint8_t sector[FAT_SECTOR_SIZE];
    kwRet rc = readBootSector(sector);
    if (rc != KW_OK)
        return rc;
    if (boot_.serial == 0)
        boot_.serial = LoadLe32(sector + (boot_.IsFat32() ? FBO_SERIAL_32 : FBO_SERIAL_16));
    rc = BuildBootSector(sector, nullptr);
    bool backup = boot_.IsFat32() && boot_.backupBootSector != 0 &&
                  boot_.backupBootSector < boot_.reservedSectors;
    if (rc == KW_OK && backup)
        rc = WriteSectors(boot_.backupBootSector, sector, 1);
    if (rc == KW_OK)
        rc = WriteSectors(0, sector, 1);
    if (rc == KW_OK && boot_.IsFat32()) {
        fsInfoStale_ = true;
        rc = writeFat(true);
    }
    return rc == KW_OK ? flushDisk() : rc;
}

// Changed blocks (or the whole table) to every copy, copy 0 last: the copy
// that is read back changes last.
kwRet FAT_FILESYSTEM::writeFatCopies(bool whole) {
    for (uint32_t i = boot_.fatCount; i-- > 0;) {
        uint32_t first = boot_.FirstFatSector() + i * boot_.sectorsPerFat;
        kwRet rc = whole ? fat_->WriteFatAs(GetHandle(), boot_.fatKind, first, boot_.sectorsPerFat)
                         : fat_->WriteFat(GetHandle(), first, false, i == 0);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The FAT32 extended flags in the boot sector and its backup: the copy a
// reader takes (mirroring off), or every copy alike (`copy` -1).
kwRet FAT_FILESYSTEM::writeActiveFat(int copy) {
    uint8_t sector[FAT_SECTOR_SIZE];
    kwRet rc = readBootSector(sector);
    if (rc != KW_OK)
        return rc;
    uint16_t flags = static_cast<uint16_t>(LoadLe16(sector + FBO_EXT_FLAGS) & 0xFF70);
    if (copy >= 0)
        flags = static_cast<uint16_t>(flags | 0x80 | (copy & 0x0F));
    StoreLe16(sector + FBO_EXT_FLAGS, flags);
    if (boot_.backupBootSector != 0 && boot_.backupBootSector < boot_.reservedSectors)
        rc = WriteSectors(boot_.backupBootSector, sector, 1);
    if (rc == KW_OK)
        rc = WriteSectors(0, sector, 1);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK) {
        boot_.extFlags = flags;
        boot_.mirroring = copy < 0;
        boot_.activeFat = static_cast<uint16_t>(copy < 0 ? 0 : copy);
    }
    return rc;
}

// FAT32 with two copies or more: while copy 0 is written the boot sector
// sends readers to copy 1, while the others are written to copy 0, so a
// cut leaves them a whole table, old or new; then all copies are alike and
// mirroring comes back.
kwRet FAT_FILESYSTEM::writeFatsSwitched() {
    kwRet rc = writeActiveFat(1);
    if (rc == KW_OK)
        rc = fat_->WriteFatAs(GetHandle(), boot_.fatKind, boot_.FirstFatSector(),
                              boot_.sectorsPerFat);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        rc = writeActiveFat(0);
    for (uint32_t i = 1; rc == KW_OK && i < boot_.fatCount; ++i)
        rc =
            fat_->WriteFatAs(GetHandle(), boot_.fatKind,
                             boot_.FirstFatSector() + i * boot_.sectorsPerFat, boot_.sectorsPerFat);
    if (rc == KW_OK)
        rc = flushDisk();
    return rc == KW_OK ? writeActiveFat(-1) : rc;
}

kwRet FAT_FILESYSTEM::WriteAllFats() {
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (IsReadOnly())
        return damaged_ ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    if (fat_->SectorsNeeded() > boot_.sectorsPerFat || fat_->GetKind() != boot_.fatKind)
        return ERR_BAD_ARGUMENT;
    bool switched = boot_.IsFat32() && boot_.fatCount >= 2;
    kwRet rc = switched ? writeFatsSwitched() : writeFatCopies(true);
    if (rc == KW_OK && boot_.IsFat32())
        rc = updateFsInfo();
    return rc == KW_OK ? flushDisk() : rc;
}

// The type a FAT partition of this layout has: the saved one while it
// names the same kind, else the kind's own in the saved form (LBA, hidden).
uint8_t FAT_FILESYSTEM::fatPartitionType() const {
    uint8_t saved = savedType_, hidden = saved & 0x10;
    bool lba = (saved & 0xEF) == 0x0C || (saved & 0xEF) == 0x0E;
    if (saved == 0x12 || saved == 0xDE || NamesFat32(saved) == boot_.IsFat32())
        return saved;
    if (boot_.IsFat32())
        return static_cast<uint8_t>((lba ? 0x0C : 0x0B) | hidden);
    if (boot_.clusterCount <= 4086)
        return static_cast<uint8_t>(0x01 | hidden);
    if (!lba && boot_.totalSectors < 0x10000)
        return static_cast<uint8_t>(0x04 | hidden);
    return static_cast<uint8_t>((lba ? 0x0E : 0x06) | hidden);
}

// The FAT copies' first sector when marked: the first copy only goes before
// the type (a scan finds the marks there; the others still read as a sound
// FAT while the type is the old one), every other copy after it. A cut
// between the first copy and the type leaves the copies apart by the marks
// alone under the old type; the next scan clears them (RepairHalfMarkedFat).
kwRet FAT_FILESYSTEM::BeginProtectedUpdate(uint8_t marks) {
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (IsReadOnly())
        return damaged_ ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    PARTITION_INFO* pi = GetPI();
    if (typeSwitched_ || pi->ucEntryIndex == PI_NO_ENTRY)
        return KW_OK;
    if (marks == 0 || marks >= 8)
        return ERR_BAD_ARGUMENT;
    kwRet rc = writeFat(false); // what is pending goes as it is
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc != KW_OK)
        return rc;
    savedType_ = pi->ucPartType;
    rc = fat_->SetNextCluster(0, marks);
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(1, savedType_);
    if (rc == KW_OK)
        rc = fat_->WriteFat(GetHandle(), boot_.FirstFatSector(), false, false);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        rc = SetPartitionType(pi, KW_TYPE_INTERRUPTED_FAT, pi->ucFsKind);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        typeSwitched_ = true;
    return rc;
}

// The reverse: every copy but the first loses its marks, then the type comes
// back, then the first copy loses them. Cut before the type, a scan still
// finds the marks; cut after it, the volume reads from its other copies and
// the next scan clears the first copy's marks.
kwRet FAT_FILESYSTEM::EndProtectedUpdate() {
    if (!typeSwitched_)
        return KW_OK;
    if (!initialised_)
        return ERR_NOT_OPEN;
    kwRet rc = writeFatCopies(false); // the caller's last changes, still marked
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc != KW_OK)
        return rc;
    uint32_t entry0 = fat_->GetNextCluster(0);
    if (entry0 < 8 && (entry0 & FAT_MARK_ROOT_IN_CHAIN) != 0) {
        // The root still waits in a chain: the copies are in step, the type
        // stays until the root is back.
        rc = fat_->SetNextCluster(0, entry0 & ~uint32_t{FAT_MARK_COPIES_OUT_OF_STEP});
        if (rc == KW_OK)
            rc = writeFatCopies(false);
        return rc == KW_OK ? flushDisk() : rc;
    }
    rc = fat_->SetNextCluster(0, 0x0FFFFF00u | (boot_.media != 0 ? boot_.media : 0xF8));
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(1, kEntry1Clean);
    for (uint32_t i = boot_.fatCount; rc == KW_OK && i-- > 1;)
        rc = fat_->WriteFat(GetHandle(), boot_.FirstFatSector() + i * boot_.sectorsPerFat, false,
                            false);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        rc = SetPartitionType(GetPI(), fatPartitionType(),
                              boot_.IsFat32() ? FS_KIND_FAT32 : FS_KIND_FAT);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        typeSwitched_ = false;
    if (rc == KW_OK)
        rc = fat_->WriteFat(GetHandle(), boot_.FirstFatSector(), false, true);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::AddProtectedMarks(uint8_t marks) {
    if (!typeSwitched_)
        return KW_OK;
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (marks == 0 || marks >= 8)
        return ERR_BAD_ARGUMENT;
    uint32_t entry0 = fat_->GetNextCluster(0);
    if (entry0 >= 8 || (entry0 & marks) == marks)
        return KW_OK;
    kwRet rc = fat_->SetNextCluster(0, entry0 | marks);
    if (rc == KW_OK)
        rc = writeFatCopies(false);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::AppendCluster(uint32_t last, uint32_t* added) {
    if (added == nullptr)
        return ERR_BAD_ARGUMENT;
    *added = 0;
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (last != 0 && (!boot_.IsDataCluster(last) || fat_->GetNextCluster(last) < FAT_EOC))
        return ERR_BAD_ARGUMENT; // only a chain's last cluster takes a successor
    uint32_t c = 0;
    kwRet rc = allocateCluster(last != 0 ? last + 1 : 2, &c);
    if (rc == KW_OK)
        rc = fat_->SetNextCluster(c, FAT_EOC_MARK, last == 0);
    if (rc == KW_OK && last != 0)
        rc = fat_->SetNextCluster(last, c);
    if (rc != KW_OK) {
        if (c != 0)
            fat_->SetNextCluster(c, 0);
        return rc;
    }
    *added = c;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::PrepareChange() {
    kwRet rc = InitFull();
    if (rc == KW_OK)
        rc = mayChange();
    FAT_DIR_BLOCKS* dirs = nullptr;
    return rc == KW_OK ? LoadDirBlocks(nullptr, &dirs) : rc;
}

kwRet FAT_FILESYSTEM::FlushState() {
    if (!initialised_)
        return ERR_NOT_OPEN;
    kwRet rc = dirBlocks_ != nullptr ? dirBlocks_->WriteDirectory(false) : KW_OK;
    if (rc == KW_OK)
        rc = writeFat(true);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::ReReadState() {
    bool switched = typeSwitched_;
    uint8_t saved = savedType_;
    kwRet rc = Init();
    typeSwitched_ = switched; // the table entry is as it was
    savedType_ = saved;
    return rc;
}

kwRet FAT_FILESYSTEM::LoadDirBlocks(MOVE_MAP* moves, FAT_DIR_BLOCKS** dirs) {
    if (dirs == nullptr)
        return ERR_BAD_ARGUMENT;
    *dirs = nullptr;
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (dirBlocks_ != nullptr && moves == nullptr) {
        *dirs = dirBlocks_;
        return KW_OK;
    }
    DropDirBlocks();
    auto* made = new FAT_DIR_BLOCKS(this, boot_.totalSectors - 1);
    if (made == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = made->ReadDirectory(0, moves);
    if (rc != KW_OK) {
        delete made;
        return rc;
    }
    dirBlocks_ = *dirs = made;
    return KW_OK;
}

void FAT_FILESYSTEM::DropDirBlocks() {
    delete dirBlocks_;
    dirBlocks_ = nullptr;
}

void FAT_FILESYSTEM::SetMoveMap(MOVE_MAP* map) {
    if (map != moveMap_)
        delete moveMap_;
    moveMap_ = map;
}
