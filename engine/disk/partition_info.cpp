#include "engine/disk/partition_info.h"

#include "engine/core/codepage.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "engine/disk/sector_buffer.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>

PARTITION_INFO::PARTITION_INFO() = default;

PARTITION_INFO::~PARTITION_INFO() {
    next = nullptr;
    disk = nullptr;
    fileSystem = nullptr;
    cache1 = nullptr;
    cache2 = nullptr;
}

namespace {

void CopyName(PARTITION_INFO* pi, const char* name) {
    size_t n = 0;
    while (n < 8 && name[n] != '\0')
        ++n;
    std::memcpy(pi->name, name, n);
    pi->name[n] = '\0';
    TrimTrailingSpaces(pi->name);
}

// Logs when the disk holds more cylinders than its geometry says: the last
// sector of the cylinder that holds the partition's end reads.
void ProbeCylinderBeyondEnd(PARTITION_INFO* pi) {
    DISK_RECORD* disk = pi->disk;
    uint32_t cylSize = disk->CylinderSize();
    if (cylSize == 0)
        return;
    uint64_t lastSect = uint64_t{pi->ulStartSect} + pi->NumSects - 1;
    uint64_t cylinder = lastSect / cylSize;
    if (cylinder > 1023 && (disk->ulFlags & DISK_EXTENDED_BIOS) == 0)
        return;
    uint64_t probe = (cylinder + 1) * cylSize - 1;
    SectorBuffer buf;
    if (probe > UINT32_MAX || buf.get() == nullptr)
        return;
    if (phyRead(disk, static_cast<uint32_t>(probe), buf.get(), 1) == KW_OK)
        DiskLog(2, "Warning: The OS reported too few cylinders.  %lu cylinders are present.\r\n",
                static_cast<unsigned long>(disk->cylinders));
}

} // namespace

kwRet CreatePi(DISK_RECORD* disk, uint8_t status, const char* name, bool active, uint32_t startSect,
               uint32_t numSects, uint8_t type, uint32_t tableSect, uint8_t entryIndex,
               uint32_t linkMode, PARTITION_INFO** out) {
    *out = nullptr;
    auto* pi = new PARTITION_INFO;
    if (pi == nullptr)
        return ERR_NO_MEMORY;
    uint64_t end = uint64_t{startSect} + numSects;
    pi->disk = disk;
    pi->ulFlags = PI_OPENABLE | (active ? PI_ACTIVE : 0) | (tableSect != 0 ? PI_LOGICAL : 0) |
                  (end > disk->chsLimit ? PI_BEYOND_CHS : 0);
    if (type != 0 && disk->mediumSectors != 0 && end > disk->mediumSectors) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error: Partition at %lu of %lu sectors reaches past the disk's end (%llu "
                "sectors); only its entry can be deleted.\r\n",
                static_cast<unsigned long>(startSect), static_cast<unsigned long>(numSects),
                static_cast<unsigned long long>(disk->mediumSectors));
        pi->ulFlags = (pi->ulFlags & ~PI_OPENABLE) | PI_BEYOND_DISK;
    }
    pi->ulStartSect = startSect;
    pi->NumSects = pi->ulUsedSects = pi->ulRoom = pi->ulBootTotal = numSects;
    pi->ulLimitBase = 1;
    pi->ulCylSize = disk->CylinderSize();
    pi->ulSectsToNextCyl = pi->ulCylSize ? pi->ulCylSize - startSect % pi->ulCylSize : 0;
    pi->ulTableSect = tableSect;
    pi->ucEntryIndex = entryIndex;
    pi->ucPartType = type;
    if (name != nullptr)
        CopyName(pi, name);
    pi->ucStatus = status;
    pi->usBytesPerSector = 512;
    if (type != 0) {
        if (end > disk->totalSectors)
            ProbeCylinderBeyondEnd(pi);
        kwRet rc = SetFsKind(pi);
        if (rc != KW_OK) {
            delete pi;
            return rc;
        }
    }
    if (linkMode == 1)
        LinkPi(disk, pi);
    else
        pi->ulFlags |= PI_NOT_LINKED;
    *out = pi;
    return KW_OK;
}

kwRet CreateFreeSpacePi(uint32_t startSect, uint32_t numSects, DISK_RECORD* disk,
                        uint32_t tableSect) {
    PARTITION_INFO* pi = nullptr;
    kwRet rc =
        CreatePi(disk, 0, nullptr, false, startSect, numSects, 0, tableSect, PI_NO_ENTRY, 1, &pi);
    if (rc != KW_OK)
        return rc;
    pi->ucFsKind = FS_KIND_FREE;
    pi->ulUsedSects = 0;
    pi->ulFreeSects = numSects;
    pi->ulTableSect = PI_NO_TABLE_SECTOR;
    return KW_OK;
}

namespace {

// Reads the sector at offset `rel` of the partition into buf.
kwRet ReadPiSector(PARTITION_INFO* pi, uint32_t rel, uint8_t* buf) {
    return phyRead(pi->disk, pi->ulStartSect + rel, buf, 1);
}

kwRet CheckSuperBlock(PARTITION_INFO* pi) {
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    if (ReadPiSector(pi, 2, buf.get()) != KW_OK) {
        pi->ulFlags |= PI_READ_ERROR;
        return KW_OK;
    }
    const char* line = nullptr;
    pi->ucFsKind = ClassifySuperBlock(buf.bytes(), &line);
    if (line != nullptr)
        DiskLog(DBG_LEVEL_TRACE, "%s", line);
    const KW_FS_HOOKS& fs = kwGetFsHooks();
    char label[17] = {};
    if (pi->ucFsKind == FS_KIND_EXT2 && fs.ext2VolumeLabel != nullptr &&
        fs.ext2VolumeLabel(pi, label) == KW_OK)
        std::memcpy(pi->volumeLabel, label, sizeof label);
    return KW_OK;
}

kwRet CheckSwap(PARTITION_INFO* pi) {
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    pi->ucFsKind = FS_KIND_NONE;
    if (ReadPiSector(pi, 7, buf.get()) != KW_OK)
        return KW_OK;
    char label[11];
    pi->ucFsKind = ClassifySwapPage(buf.bytes(), label);
    std::memcpy(pi->volumeLabel, label, sizeof label);
    return KW_OK;
}

// A UTF-16LE label (NUL-terminated, at most 256 units) as host text.
void Utf16LabelToHost(const uint8_t* in, char* out, uint32_t size) {
    char16_t wide[257];
    for (size_t i = 0; i < 256; ++i)
        wide[i] = static_cast<char16_t>(kwbytes::LoadLe16(in + 2 * i));
    wide[256] = 0;
    cpConvertString(CPKIND_UTF8, out, CPKIND_UTF16, wide, size);
    TrimTrailingSpaces(out);
}

// A boot-sector label in the DOS code page as host text; its bytes stay as
// they are while no DOS table is loaded.
void DosLabelToHost(const char* in, char* out, uint32_t size) {
    if (cpGetTable(CPKIND_DOS) == nullptr) {
        std::strncpy(out, in, size - 1);
        out[size - 1] = '\0';
        return;
    }
    cpConvertString(CPKIND_UTF8, out, CPKIND_DOS, in, size);
}

kwRet ReadNtfsLabel(PARTITION_INFO* pi) {
    uint8_t* label = nullptr;
    if (kwGetMemory(512, &label) != KW_OK)
        return ERR_NO_MEMORY;
    std::memset(label, 0, 512);
    const KW_FS_HOOKS& fs = kwGetFsHooks();
    if (fs.ntfsVolumeLabel != nullptr && fs.ntfsVolumeLabel(pi, label) == KW_OK)
        Utf16LabelToHost(label, pi->volumeLabel, sizeof pi->volumeLabel);
    else
        pi->volumeLabel[0] = '\0';
    kwFreeMemory(&label);
    return KW_OK;
}

// Reads the first sector, or for FAT32 its backup when the first fails.
bool ReadBootSector(PARTITION_INFO* pi, uint8_t* buf) {
    if (ReadPiSector(pi, 0, buf) == KW_OK)
        return true;
    return IsFat32Type(pi->ucPartType) && ReadPiSector(pi, 6, buf) == KW_OK;
}

kwRet ReadVolumeInfo(PARTITION_INFO* pi) {
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    if (!ReadBootSector(pi, buf.get())) {
        pi->ulFlags |= PI_READ_ERROR;
        return KW_OK;
    }
    BOOT_SECTOR_INFO info =
        ClassifyBootSector(pi->ucPartType, pi->ucFsKind, pi->ulFlags2, buf.bytes());
    pi->ucFsKind = info.fsKind;
    pi->ulFlags2 |= info.flags2Set;
    if (info.raw) {
        pi->ulUsedSects = 0;
        pi->ulFreeSects = pi->NumSects;
        return KW_OK;
    }
    if (info.ntfs || info.hasVolumeInfo) {
        pi->ulSerial = info.serial;
        pi->ulBootTotal = info.bootTotal;
    }
    if (info.hasVolumeInfo)
        DosLabelToHost(info.label, pi->volumeLabel, sizeof pi->volumeLabel);
    if (info.hasSectorSize) {
        pi->usBytesPerSector = info.bytesPerSector;
        pi->usSectorFactor = info.sectorFactor;
    }
    return info.ntfs ? ReadNtfsLabel(pi) : KW_OK;
}

} // namespace

kwRet SetFsKind(PARTITION_INFO* pi) {
    if (pi->ucFsKind == FS_KIND_FREE)
        return KW_OK;
    uint8_t type = pi->ucPartType;
    pi->ucFsKind = FsKindFromType(type, pi->ulTableSect != 0);
    if (pi->ucFsKind == FS_KIND_EXTENDED)
        pi->disk->extendedPi = pi;
    if (type == 0x42)
        pi->disk->ulFlags |= DISK_DYNAMIC;
    switch (pi->ucFsKind) {
    case FS_KIND_FAT:
    case FS_KIND_HPFS:
    case FS_KIND_FAT32:
        return ReadVolumeInfo(pi);
    case FS_KIND_LINUX:
        return CheckSuperBlock(pi);
    default:
        return type == 0x82 ? CheckSwap(pi) : KW_OK;
    }
}

namespace {

bool IsPrimaryExtended(const PARTITION_INFO* pi) {
    return pi->ulTableSect == 0 && IsExtendedType(pi->ucPartType);
}

bool IsLink(const PARTITION_INFO* pi) {
    return pi->ulTableSect != 0 && IsExtendedType(pi->ucPartType);
}

// True when pi goes before `at` of the same start sector.
bool GoesBefore(const PARTITION_INFO* pi, const PARTITION_INFO* at) {
    if (IsPrimaryExtended(pi))
        return true;
    return IsLink(pi) && !IsPrimaryExtended(at);
}

} // namespace

void LinkPi(DISK_RECORD* disk, PARTITION_INFO* pi) {
    pi->ulFlags &= ~PI_NOT_LINKED;
    if (IsPrimaryExtended(pi))
        disk->extendedPi = pi;
    PARTITION_INFO** link = &disk->firstPi;
    while (*link != nullptr) {
        PARTITION_INFO* at = *link;
        if (pi->ulStartSect < at->ulStartSect ||
            (pi->ulStartSect == at->ulStartSect && GoesBefore(pi, at)))
            break;
        link = &at->next;
    }
    pi->next = *link;
    *link = pi;
}

namespace {

void ReleasePi(PARTITION_INFO* pi) {
    kwForgetPi(pi);
    pi->ulLDABeginSector = 0;
    if (pi->si != nullptr && kwGetFsHooks().deleteSegmentList != nullptr)
        kwGetFsHooks().deleteSegmentList(&pi->si);
    if (pi->disk != nullptr && pi->disk->extendedPi == pi)
        pi->disk->extendedPi = nullptr;
    delete pi;
}

} // namespace

kwRet DeletePi(PARTITION_INFO** ref) {
    PARTITION_INFO* pi = *ref;
    *ref = nullptr;
    if (pi == nullptr)
        return KW_OK;
    kwRet rc = KW_OK;
    if ((pi->ulFlags & PI_NOT_LINKED) == 0) {
        PARTITION_INFO** link = pi->disk ? &pi->disk->firstPi : nullptr;
        while (link != nullptr && *link != nullptr && *link != pi)
            link = &(*link)->next;
        if (link != nullptr && *link == pi)
            *link = pi->next;
        else
            rc = ERR_BAD_POINTER;
    }
    ReleasePi(pi);
    return rc;
}

void FreePiChain(DISK_RECORD* disk) {
    PARTITION_INFO* pi = disk->firstPi;
    disk->firstPi = nullptr;
    disk->extendedPi = nullptr;
    while (pi != nullptr) {
        PARTITION_INFO* next = pi->next;
        ReleasePi(pi);
        pi = next;
    }
}
