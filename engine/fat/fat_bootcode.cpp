#include "engine/fat/fat_bootcode.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_bootcode_images.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kNtldr[] = "NTLDR      ";
constexpr char kIoSys[] = "IO      SYS";
constexpr uint32_t kNameLength = 11;
constexpr const char* kBackupFile = "\\BOOTSECT.F16";
constexpr uint8_t kBackupAttributes = 0x27;

constexpr uint32_t kImageSector = 512;

// Puts `count` sectors of a built-in image (512-byte sectors) over the
// buffer's sectors of bps bytes; a larger sector's tail is cleared. The
// sector FSInfo is kept in is passed over.
void PutImage(const uint8_t* image, uint32_t count, uint8_t* boot, uint32_t bps, uint32_t fsInfo) {
    uint32_t take = bps < kImageSector ? bps : kImageSector;
    for (uint32_t s = 0; s < count; ++s) {
        if (s != 0 && s == fsInfo)
            continue;
        std::memcpy(boot + s * bps, image + s * kImageSector, take);
        std::memset(boot + s * bps + take, 0, bps - take);
    }
}

uint32_t SectorBytes(FAT_FILESYSTEM* fs) {
    const FAT_BOOT_RECORD* boot = fs->GetBootRecord();
    return boot != nullptr ? boot->bytesPerSector : FAT_SECTOR_SIZE;
}

bool IsFat32(FAT_FILESYSTEM* fs) {
    const FAT_BOOT_RECORD* boot = fs->GetBootRecord();
    return boot != nullptr && boot->IsFat32();
}

// Owns an open file of the volume until it goes.
struct OpenedFile {
    FAT_FILE_HANDLE* handle = nullptr;
    ~OpenedFile() { delete handle; }
};

kwRet OpenBackupFile(FAT_FILESYSTEM* fs, OpenedFile* file) {
    kwRet rc = fs->OpenFile(kBackupFile, &file->handle, 0);
    if (rc != KW_OK)
        DbgPrintf("Unable to create or open backup boot sector file\r\n");
    return rc;
}

// Whether a reserved sector of a FAT32 volume holds nothing the volume needs.
bool FreeReservedSector(const FAT_BOOT_RECORD& boot, uint32_t sector) {
    bool inBackup = boot.backupBootSector != 0 && boot.backupBootSector != 0xFFFF &&
                    sector >= boot.backupBootSector && sector < boot.backupBootSector + 3u;
    return sector < boot.reservedSectors && sector != boot.fsInfoSector && !inBackup;
}

// Where a FAT32 volume keeps its backup boot sectors; 0 for none (FAT12/16,
// a field of 0 or FFFFh, or three sectors that do not fit the reserved area).
uint32_t BackupBootStart(const FAT_BOOT_RECORD& boot) {
    uint32_t at = boot.backupBootSector;
    if (!boot.IsFat32() || at == 0 || at == 0xFFFF || at + 3u > boot.reservedSectors)
        return 0;
    return at;
}

// The NTLDR code's third part, in a sector of the volume's size.
kwRet WriteExtraCode(FAT_FILESYSTEM* fs, uint32_t bps) {
    std::vector<uint8_t> sector(bps, 0);
    PutImage(kw::fat::FAT32_NTLDR_EXTRA, 1, sector.data(), bps, 0);
    return fs->WriteSectors(FAT32_NTLDR_EXTRA_SECTOR, sector.data(), 1);
}

} // namespace

int FindInBuffer(const uint8_t* buffer, std::size_t length, const void* pattern,
                 std::size_t patternLength) {
    if (buffer == nullptr || pattern == nullptr || patternLength > length)
        return 0;
    for (std::size_t at = 0; at < length - patternLength; ++at)
        if (std::memcmp(buffer + at, pattern, patternLength) == 0)
            return 1;
    return 0;
}

int NamesNtldr(FAT_FILESYSTEM* fs, const uint8_t* buffer) {
    return FindInBuffer(buffer, SectorBytes(fs), kNtldr, kNameLength);
}

int NamesIoSys(FAT_FILESYSTEM* fs, const uint8_t* buffer) {
    return FindInBuffer(buffer, SectorBytes(fs), kIoSys, kNameLength);
}

kwRet ApplyBootCodeTemplate(FAT_FILESYSTEM* fs, uint8_t* boot, bool useBackup) {
    if (fs == nullptr || boot == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    bool ioSys = NamesIoSys(fs, boot) != 0;
    if (!ioSys && NamesNtldr(fs, boot) == 0)
        return KW_OK;
    uint32_t bps = SectorBytes(fs);
    if (!IsFat32(fs)) {
        std::vector<uint8_t> saved;
        if (useBackup) {
            saved.assign(bps, 0);
            kwRet rc = ReadBootSectorFile(fs, saved.data());
            if (rc != KW_OK && rc != ERR_FILE_NOT_FOUND)
                return rc;
            if (rc != KW_OK ||
                !(ioSys ? NamesIoSys(fs, saved.data()) : NamesNtldr(fs, saved.data())))
                saved.clear();
        }
        if (!saved.empty())
            std::memcpy(boot, saved.data(), bps);
        else
            PutImage(ioSys ? kw::fat::FAT16_IOSYS_BOOT : kw::fat::FAT16_NTLDR_BOOT, 1, boot, bps,
                     0);
    } else {
        PutImage(ioSys ? kw::fat::FAT32_IOSYS_BOOT : kw::fat::FAT32_NTLDR_BOOT, 3, boot, bps,
                 fs->GetBootRecord()->fsInfoSector);
    }
    return fs->BuildBootSector(boot);
}

kwRet RewriteBootCode(FAT_FILESYSTEM* fs) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    const FAT_BOOT_RECORD& boot = *fs->GetBootRecord();
    uint32_t bps = boot.bytesPerSector, count = boot.IsFat32() ? 3 : 1;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[count * bps]);
    if (buffer == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = fs->ReadSectors(0, buffer.get(), count);
    if (rc == KW_OK)
        rc = ApplyBootCodeTemplate(fs, buffer.get(), true);
    // Sector by sector, the FSInfo sector passed over: its counts stay. A
    // FAT32 volume's backup boot sectors take the same code after the first
    // copy, so that a start from the backup finds the same loader.
    uint32_t backup = BackupBootStart(boot);
    for (uint32_t copy : {0u, backup})
        for (uint32_t s = 0; s < count && rc == KW_OK && (copy == 0 || backup != 0); ++s)
            if (s == 0 || s != boot.fsInfoSector)
                rc = fs->WriteSectors(copy + s, buffer.get() + s * bps, 1);
    if (rc == KW_OK && boot.IsFat32() && NamesNtldr(fs, buffer.get()) &&
        FreeReservedSector(boot, FAT32_NTLDR_EXTRA_SECTOR))
        rc = WriteExtraCode(fs, bps);
    return rc == KW_OK && fs->GetPI() != nullptr ? phyFlush(fs->GetPI()->disk) : rc;
}

kwRet SaveBootSectorFile(FAT_FILESYSTEM* fs, const uint8_t* sector) {
    fs->FileCreate(kBackupFile, kBackupAttributes); // an existing file stays
    OpenedFile file;
    kwRet rc = OpenBackupFile(fs, &file);
    if (rc != KW_OK)
        return rc;
    rc = fs->Write(file.handle, sector, SectorBytes(fs));
    if (rc == KW_OK)
        rc = fs->CommitFile(file.handle);
    return rc;
}

kwRet ReadBootSectorFile(FAT_FILESYSTEM* fs, uint8_t* sector) {
    OpenedFile file;
    kwRet rc = OpenBackupFile(fs, &file);
    if (rc != KW_OK)
        return rc;
    return fs->Read(file.handle, sector, SectorBytes(fs));
}

kwRet BackupBootSector(FAT_FILESYSTEM* fs) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    std::vector<uint8_t> sector(SectorBytes(fs));
    kwRet rc = fs->ReadSectors(0, sector.data(), 1);
    return rc != KW_OK ? rc : SaveBootSectorFile(fs, sector.data());
}

kwRet UpdateBootSectorFiles(FAT_FILESYSTEM* fs) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    static const char* const kFat16Files[] = {"\\os2\\system\\boot.os2", "\\os2\\system\\boot.dos",
                                              "\\$win_nt$.~bt\\bootsect.dat", "\\bootsect.dos",
                                              "\\bootsect.w40"};
    static const char* const kFat32Files[] = {"\\$win_nt$.~bt\\bootsect.dat", "\\bootsect.dos",
                                              "\\bootsect.w40"};
    const FAT_BOOT_RECORD& boot = *fs->GetBootRecord();
    // One buffer of the volume's sector size: what is read is what is written.
    std::vector<uint8_t> sector(boot.bytesPerSector);
    auto each = [&](const char* path) -> kwRet {
        OpenedFile file;
        kwRet rc = fs->OpenFile(path, &file.handle, 0);
        if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND)
            return KW_OK;
        if (rc == KW_OK)
            rc = fs->Read(file.handle, sector.data(), boot.bytesPerSector);
        if (rc == ERR_OUT_OF_RANGE)
            return KW_OK; // shorter than a sector: not a boot-sector copy
        if (rc == KW_OK)
            rc = fs->BuildBootSector(sector.data());
        if (rc == KW_OK)
            rc = fs->WriteSectors(boot.ClusterToSector(file.handle->FirstCluster()), sector.data(),
                                  1);
        return rc;
    };
    if (boot.IsFat32()) {
        for (const char* path : kFat32Files)
            if (kwRet rc = each(path); rc != KW_OK)
                return rc;
    } else {
        for (const char* path : kFat16Files)
            if (kwRet rc = each(path); rc != KW_OK)
                return rc;
    }
    return KW_OK;
}

kwRet FAT_FILESYSTEM::BuildBootSector(uint8_t* buffer) {
    if (buffer == nullptr || !initialised_)
        return ERR_BAD_ARGUMENT;
    std::vector<uint8_t> current(boot_.bytesPerSector);
    kwRet rc = ReadSectors(0, current.data(), 1);
    if (rc != KW_OK)
        return rc;
    // The parameter block (and FAT32's extended one) as the volume has it.
    std::size_t end = boot_.IsFat32() ? 90 : 62;
    std::memcpy(buffer + 11, current.data() + 11, end - 11);
    return KW_OK;
}
