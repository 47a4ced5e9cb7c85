// FAT_FILESYSTEM: set-up, boot-sector fields, FAT write-back, chains and the
// used-sector maps.
#include "engine/fat/fat_filesystem.h"

#include "engine/core/dbgmgr.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

FAT_FILESYSTEM::FAT_FILESYSTEM(PARTITION_INFO* pi) : FILESYSTEM(pi) {}

FAT_FILESYSTEM::~FAT_FILESYSTEM() {
    Uninit();
}

kwRet FAT_FILESYSTEM::Uninit() {
    initialised_ = false;
    folders_.Drop();
    DropDirBlocks();
    SetMoveMap(nullptr);
    delete fat_;
    fat_ = nullptr;
    seen_.Free();
    delete[] sector_;
    sector_ = nullptr;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::readBootSector(uint8_t* sector) {
    return ReadSectors(0, sector, 1);
}

kwRet FAT_FILESYSTEM::Init() {
    Uninit();
    PARTITION_INFO* pi = GetPI();
    if (pi == nullptr || GetHandle() == FS_NO_HANDLE)
        return ERR_BAD_HANDLE;
    sector_ = new (std::nothrow) uint8_t[FAT_SECTOR_SIZE];
    if (sector_ == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = readBootSector(sector_);
    if (rc == KW_OK)
        rc = boot_.Parse(std::span<const uint8_t>(sector_, FAT_SECTOR_SIZE), pi->NumSects);
    if (rc != KW_OK) {
        DbgPrintf("FAT_FILESYSTEM::Init: boot sector refused (kwRet == %lu)\n",
                  static_cast<unsigned long>(rc));
        Uninit();
        return rc;
    }
    return loadFat();
}

// The FAT of the parsed boot record, from its active copy.
kwRet FAT_FILESYSTEM::loadFat() {
    uint32_t entries = boot_.LastCluster() + 1;
    fat_ = new FAT_BLOCKS(boot_.fatKind, entries);
    if (fat_ == nullptr || seen_.Create(entries, false) != KW_OK) {
        Uninit();
        return ERR_NO_MEMORY;
    }
    kwRet rc =
        fat_->ReadFat(GetHandle(), boot_.FirstFatSector() + boot_.activeFat * boot_.sectorsPerFat);
    if (rc != KW_OK) {
        Uninit();
        return rc;
    }
    diskReadOnly_ = !kwDiskWritable(GetPI()->disk);
    damaged_ = false;
    chainsChecked_ = false;
    fsInfoStale_ = false;
    initialised_ = true;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::InitFull() {
    return initialised_ ? KW_OK : Init();
}

uint32_t FAT_FILESYSTEM::GetSerialNumber() {
    uint8_t sector[FAT_SECTOR_SIZE];
    if (readBootSector(sector) != KW_OK)
        return 0;
    bool fat32 = kwbytes::LoadLe16(sector + FBO_SECTORS_PER_FAT_16) == 0;
    return LoadLe32(sector + (fat32 ? FBO_SERIAL_32 : FBO_SERIAL_16));
}

// Patches the serial into the boot sector in place (every other byte, the
// label and the media byte among them, is kept), and into the FAT32 backup
// copy.
kwRet FAT_FILESYSTEM::writeBootFields() {
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    uint8_t sector[FAT_SECTOR_SIZE];
    rc = readBootSector(sector);
    if (rc != KW_OK)
        return rc;
    bool fat32 = boot_.IsFat32();
    StoreLe32(sector + (fat32 ? FBO_SERIAL_32 : FBO_SERIAL_16), boot_.serial);
    if (fat32 && boot_.backupBootSector != 0 && boot_.backupBootSector < boot_.reservedSectors)
        rc = WriteSectors(boot_.backupBootSector, sector, 1);
    if (rc == KW_OK)
        rc = WriteSectors(0, sector, 1);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::SetSerialNumber(uint32_t serial) {
    if (!initialised_)
        return ERR_NOT_OPEN;
    if (serial == 0) {
        KW_DATE d;
        KW_TIME t;
        kwGetDate(&d);
        kwGetTime(&t);
        serial = (uint32_t{FatEncodeDate(d)} << 16 | FatEncodeTime(t)) ^ 0x5A5A0000u;
        serial = serial != 0 ? serial : 1;
    }
    uint32_t old = boot_.serial;
    boot_.serial = serial;
    kwRet rc = writeBootFields();
    if (rc != KW_OK) {
        boot_.serial = old;
        return rc;
    }
    GetPI()->ulSerial = serial;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    if (!initialised_)
        return ERR_NOT_OPEN;
    FAT_DIRECTORY root;
    kwRet rc = LoadDirectory(0, &root, false);
    const uint8_t* found = nullptr;
    for (uint32_t i = 0; rc == KW_OK && i < root.EntryCount() && found == nullptr; ++i) {
        const uint8_t* e = root.Entry(i);
        if (e[0] == 0)
            break;
        if (e[0] != FAT_DELETED && (e[FDE_ATTR] == 0x08 || e[FDE_ATTR] == 0x28))
            found = e;
    }
    uint8_t sector[FAT_SECTOR_SIZE];
    if (found == nullptr) {
        rc = readBootSector(sector);
        if (rc != KW_OK)
            return rc;
        found = sector + (boot_.IsFat32() ? FBO_LABEL_32 : FBO_LABEL_16);
    }
    std::memcpy(buffer, found, 11);
    buffer[11] = '\0';
    for (int i = 10; i >= 0 && buffer[i] == ' '; --i)
        buffer[i] = '\0';
    if (std::strcmp(buffer, "NO NAME") == 0)
        buffer[0] = '\0';
    return KW_OK;
}

kwRet FAT_FILESYSTEM::GetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!initialised_)
        return ERR_NOT_OPEN;
    for (uint32_t c = 2; c <= boot_.LastCluster(); ++c) {
        if (fat_->GetNextCluster(c) != FAT_BAD)
            continue;
        kwRet rc = list->AddRange(boot_.ClusterToSector(c), boot_.sectorsPerCluster);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet FAT_FILESYSTEM::updateFsInfo() {
    uint32_t at = boot_.fsInfoSector;
    if (at == 0 || at >= boot_.reservedSectors)
        return KW_OK;
    uint8_t sector[FAT_SECTOR_SIZE];
    kwRet rc = ReadSectors(at, sector, 1);
    if (rc != KW_OK || LoadLe32(sector + FSI_LEAD_SIGNATURE) != FSI_LEAD_VALUE ||
        LoadLe32(sector + FSI_STRUCT_SIGNATURE) != FSI_STRUCT_VALUE)
        return rc;
    StoreLe32(sector + FSI_FREE_COUNT, fat_->CountFreeClusters());
    uint32_t next = fat_->FindNextFree(2);
    StoreLe32(sector + FSI_NEXT_FREE, next == STATE_MAP_NONE ? 0xFFFFFFFF : next);
    return WriteSectors(at, sector, 1);
}

kwRet FAT_FILESYSTEM::flushDisk() {
    return phyFlush(GetPI()->disk);
}

// Writes the changed FAT blocks to every copy, the last copy first, so the
// first copy (the one read back) changes last; FSInfo only when asked (its
// free count is a hint, written once at the end of a change).
kwRet FAT_FILESYSTEM::writeFat(bool withFsInfo) {
    if (IsReadOnly())
        return damaged_ ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    if (fat_->IsChanged()) {
        uint32_t copies = boot_.mirroring ? boot_.fatCount : 1;
        for (uint32_t i = copies; i-- > 0;) {
            uint32_t copy = boot_.mirroring ? i : boot_.activeFat;
            kwRet rc = fat_->WriteFat(
                GetHandle(), boot_.FirstFatSector() + copy * boot_.sectorsPerFat, false, i == 0);
            if (rc != KW_OK)
                return rc;
        }
        fsInfoStale_ = boot_.IsFat32();
    }
    if (!withFsInfo || !fsInfoStale_)
        return KW_OK;
    kwRet rc = updateFsInfo();
    fsInfoStale_ = rc != KW_OK;
    return rc;
}

kwRet FAT_FILESYSTEM::FlushFat() {
    kwRet rc = writeFat(true);
    return rc == KW_OK ? flushDisk() : rc;
}

kwRet FAT_FILESYSTEM::ChainToRuns(uint32_t first, uint32_t want, SECTOR_RUN** runs, uint32_t* got) {
    *runs = nullptr;
    *got = 0;
    SECTOR_RUN* last = nullptr;
    kwRet rc = KW_OK;
    uint32_t cluster = first;
    while (*got < want) {
        if (!boot_.IsDataCluster(cluster) || seen_.IsSet(cluster)) {
            DbgPrintf("\r\nError getting next cluster %lu for %lu",
                      static_cast<unsigned long>(cluster), static_cast<unsigned long>(first));
            damaged_ = true; // a chain through a free cluster, or one that meets itself
            rc = ERR_FILE_READ;
            break;
        }
        seen_.SetBit(cluster);
        uint32_t sector = boot_.ClusterToSector(cluster);
        if (last != nullptr && last->firstSector + last->sectorCount == sector) {
            last->sectorCount += boot_.sectorsPerCluster;
        } else {
            auto* run = new SECTOR_RUN;
            if (run == nullptr) {
                rc = ERR_NO_MEMORY;
                break;
            }
            run->firstSector = sector;
            run->sectorCount = boot_.sectorsPerCluster;
            run->previous = last;
            (last != nullptr ? last->next : *runs) = run;
            last = run;
        }
        ++*got;
        uint32_t next = fat_->GetNextCluster(cluster);
        if (next >= FAT_EOC)
            break;
        cluster = next;
    }
    for (SECTOR_RUN* r = *runs; r != nullptr; r = r->next)
        for (uint32_t s = 0; s < r->sectorCount; s += boot_.sectorsPerCluster)
            seen_.ClearBit(boot_.SectorToCluster(r->firstSector + s));
    if (rc != KW_OK) {
        FreeSectorRuns(*runs);
        *runs = nullptr;
        *got = 0;
    }
    return rc;
}

SECTOR_RUN* FAT_FILESYSTEM::ListClusters(const char* path) {
    FAT_FILE_HANDLE* handle = nullptr;
    if (OpenFile(path, &handle, 0) != KW_OK)
        return nullptr;
    uint32_t want = handle->IsDirectory() ? boot_.clusterCount
                                          : (handle->GetSize() + boot_.BytesPerCluster() - 1) /
                                                boot_.BytesPerCluster();
    SECTOR_RUN* runs = nullptr;
    uint32_t got = 0;
    if (handle->FirstCluster() != 0)
        ChainToRuns(handle->FirstCluster(), want, &runs, &got);
    delete handle;
    return runs;
}

uint16_t FatEncodeDate(const KW_DATE& d) {
    uint32_t year = d.year >= 1980 ? d.year - 1980u : 0u;
    return static_cast<uint16_t>(d.day + d.month * 32u + (year > 127 ? 127 : year) * 512u);
}

uint16_t FatEncodeTime(const KW_TIME& t) {
    return static_cast<uint16_t>(t.second / 2u + t.minute * 32u + t.hour * 2048u);
}

void FatDecodeDate(uint16_t w, KW_DATE* d) {
    *d = KW_DATE{};
    d->day = static_cast<uint8_t>(w & 31);
    d->month = static_cast<uint8_t>((w >> 5) & 15);
    d->year = static_cast<uint16_t>(w >> 9);
}

void FatDecodeTime(uint16_t w, KW_TIME* t) {
    *t = KW_TIME{};
    t->hour = static_cast<uint8_t>(w >> 11);
    t->minute = static_cast<uint8_t>((w >> 5) & 63);
    t->second = static_cast<uint8_t>((w & 31) * 2);
}
