#include "engine/fat/fat_bootcode.h"

#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <array>
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

// The built-in boot code: it sets up a stack, says which loader the volume
// is made to start and that it cannot be started from here, and restarts on
// a key. The loader's name stands in directory-entry form after the text, so
// that the sector names it as the loader's own code does.
std::vector<uint8_t> StubCode(uint16_t codeAt, const char* loader, const char* shown) {
    const uint16_t base = 0x7C00;
    std::vector<uint8_t> code = {0xFA, 0x31, 0xC0, 0x8E, 0xD8, 0x8E, 0xD0, 0xBC, 0x00, 0x7C,
                                 0xFB, 0xBE, 0x00, 0x00, // mov si, text
                                 0xAC, 0x08, 0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00,
                                 0xCD, 0x10, 0xEB, 0xF2, 0x31, 0xC0, 0xCD, 0x16, 0xCD, 0x19};
    uint16_t text = static_cast<uint16_t>(base + codeAt + code.size());
    code[12] = static_cast<uint8_t>(text);
    code[13] = static_cast<uint8_t>(text >> 8);
    std::string message = std::string("\r\nThis volume starts ") + shown +
                          ", which this boot code cannot load.\r\nPress a key to restart.\r\n";
    code.insert(code.end(), message.begin(), message.end());
    code.push_back(0);
    code.insert(code.end(), loader, loader + kNameLength);
    return code;
}

std::array<uint8_t, 512> BootSector(bool fat32, const char* loader, const char* shown) {
    std::array<uint8_t, 512> s{};
    uint16_t codeAt = fat32 ? 0x5A : 0x3E;
    s[0] = 0xEB;
    s[1] = static_cast<uint8_t>(codeAt - 2);
    s[2] = 0x90;
    std::memcpy(s.data() + 3, fat32 ? "MSWIN4.1" : "MSWIN4.0", 8);
    std::vector<uint8_t> code = StubCode(codeAt, loader, shown);
    std::memcpy(s.data() + codeAt, code.data(), code.size());
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::array<uint8_t, 512> SignedEmpty() {
    std::array<uint8_t, 512> s{};
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// The three FAT32 sectors of an image: the boot sector, a sector left to
// FSInfo, and the code's second sector.
std::vector<uint8_t> Fat32Image(const char* loader, const char* shown) {
    std::vector<uint8_t> image(3 * 512, 0);
    std::array<uint8_t, 512> boot = BootSector(true, loader, shown), tail = SignedEmpty();
    std::memcpy(image.data(), boot.data(), 512);
    std::memcpy(image.data() + 2 * 512, tail.data(), 512);
    return image;
}

struct Images {
    std::array<uint8_t, 512> fat16IoSys = BootSector(false, kIoSys, "IO.SYS");
    std::array<uint8_t, 512> fat16Ntldr = BootSector(false, kNtldr, "NTLDR");
    std::vector<uint8_t> fat32IoSys = Fat32Image(kIoSys, "IO.SYS");
    std::vector<uint8_t> fat32Ntldr = Fat32Image(kNtldr, "NTLDR");
    std::array<uint8_t, 512> fat32NtldrExtra = SignedEmpty();
};

const Images& BuiltIn() {
    static const Images images;
    return images;
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
    const Images& images = BuiltIn();
    bool ioSys = NamesIoSys(fs, boot) != 0;
    if (!ioSys && NamesNtldr(fs, boot) == 0)
        return KW_OK;
    uint32_t bps = SectorBytes(fs);
    if (!IsFat32(fs)) {
        const uint8_t* code = ioSys ? images.fat16IoSys.data() : images.fat16Ntldr.data();
        std::vector<uint8_t> saved;
        if (useBackup) {
            saved.assign(bps, 0);
            kwRet rc = ReadBootSectorFile(fs, saved.data());
            if (rc == KW_OK &&
                (ioSys ? NamesIoSys(fs, saved.data()) : NamesNtldr(fs, saved.data())))
                code = saved.data();
            else if (rc != KW_OK && rc != ERR_FILE_NOT_FOUND)
                return rc;
        }
        std::memcpy(boot, code, bps);
    } else {
        const std::vector<uint8_t>& image = ioSys ? images.fat32IoSys : images.fat32Ntldr;
        uint32_t fsInfo = fs->GetBootRecord()->fsInfoSector;
        for (uint32_t s = 0; s < 3; ++s)
            if (s != fsInfo || s == 0)
                std::memcpy(boot + s * bps, image.data() + s * 512, bps);
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
    // Sector by sector, the FSInfo sector passed over: its counts stay.
    for (uint32_t s = 0; s < count && rc == KW_OK; ++s)
        if (s == 0 || s != boot.fsInfoSector)
            rc = fs->WriteSectors(s, buffer.get() + s * bps, 1);
    if (rc == KW_OK && boot.IsFat32() && NamesNtldr(fs, buffer.get()) &&
        FreeReservedSector(boot, FAT32_NTLDR_EXTRA_SECTOR))
        rc = fs->WriteSectors(FAT32_NTLDR_EXTRA_SECTOR, BuiltIn().fat32NtldrExtra.data(), 1);
    return rc;
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
