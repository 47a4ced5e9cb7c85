#include "engine/disk/pi_find.h"

#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"

#include <cctype>
#include <cstdio>

namespace {

constexpr uint32_t kMirrorSerials = 16;
constexpr uint32_t kMirrorSerialOffset = 32;
constexpr uint32_t kMirrorHeaderBytes = 96;
constexpr uint32_t kFat32BackupSector = 6;

DISK_RECORD* Disks() {
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    return d;
}

// The serial at the index of the partition's mirror header; false when the
// header cannot be read.
bool MirrorSerial(PARTITION_INFO* netware, uint32_t index, uint32_t* serial) {
    const KW_FS_HOOKS& fs = kwGetFsHooks();
    uint8_t header[kMirrorHeaderBytes] = {};
    if (fs.readMirrorHeader == nullptr || fs.readMirrorHeader(netware, header) != KW_OK)
        return false;
    *serial = kwbytes::LoadLe32(header + kMirrorSerialOffset + 4 * index);
    return true;
}

bool IsBootKind(uint8_t kind) {
    return kind == FS_KIND_FAT || kind == FS_KIND_FAT32 || kind == FS_KIND_NTFS ||
           kind == FS_KIND_HPFS;
}

PARTITION_INFO* ActivePrimaryOfFirstDisk() {
    DISK_RECORD* d = Disks();
    while (d != nullptr && !(d->ulFlags & DISK_FIRST_BOOT_DISK))
        d = d->next;
    if (d == nullptr) {
        DiskLog(DBG_LEVEL_TRACE, "\nReadBootSect error locating Drive 80h.");
        return nullptr;
    }
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
        if ((pi->ulFlags & PI_ACTIVE) && !(pi->ulFlags & PI_LOGICAL))
            return pi;
    DiskLog(DBG_LEVEL_TRACE, "\nReadBootSect error locating the active partition.");
    return nullptr;
}

} // namespace

PARTITION_INFO* FindPiByDriveLetter(char letter) {
    int up = std::toupper(static_cast<unsigned char>(letter));
    for (DISK_RECORD* d = Disks(); d != nullptr; d = d->next)
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucDriveLetter == up)
                return pi;
    return nullptr;
}

bool FindPiBySerial(PARTITION_INFO** pi, uint32_t serial, uint32_t* diskNumber,
                    uint32_t* partitionNumber) {
    uint32_t dn = 1;
    for (DISK_RECORD* d = Disks(); d != nullptr; d = d->next, ++dn) {
        uint32_t pn = 1;
        for (PARTITION_INFO* p = d->firstPi; p != nullptr; p = p->next, ++pn) {
            bool hit = *pi != nullptr ? p == *pi : p->ulSerial == serial;
            if (!hit)
                continue;
            *pi = p;
            if (diskNumber != nullptr)
                *diskNumber = dn;
            if (partitionNumber != nullptr)
                *partitionNumber = pn;
            return true;
        }
    }
    return false;
}

kwRet GetNextVolumePi(PARTITION_INFO* netware, PARTITION_INFO** out, uint32_t* index) {
    *out = nullptr;
    if (*index >= kMirrorSerials) {
        *index = 0;
        return ERR_NW_VOLUME_FAT;
    }
    uint32_t serial = 0;
    if (!MirrorSerial(netware, *index, &serial) || serial == 0) {
        *index = 0;
        return KW_OK;
    }
    PARTITION_INFO* found = nullptr;
    FindPiBySerial(&found, serial, nullptr, nullptr);
    *out = found;
    ++*index;
    return KW_OK;
}

kwRet GetFirstVolumePi(PARTITION_INFO* netware, PARTITION_INFO** out) {
    *out = nullptr;
    uint32_t serial = 0;
    if (!MirrorSerial(netware, 0, &serial) || serial == 0)
        return ERR_NW_NO_PRIMARY;
    PARTITION_INFO* found = nullptr;
    if (!FindPiBySerial(&found, serial, nullptr, nullptr))
        return ERR_NW_NO_PRIMARY;
    *out = found;
    return KW_OK;
}

kwRet ReadBootSect(PARTITION_INFO* pi, uint8_t* buffer) {
    if (pi == nullptr)
        pi = ActivePrimaryOfFirstDisk();
    if (pi == nullptr || !IsBootKind(pi->ucFsKind))
        return ERR_UNKNOWN_FS;
    kwRet rc = phyRead(pi->disk, pi->ulStartSect, buffer, 1);
    if (rc == KW_OK)
        return KW_OK;
    DiskLog(DBG_LEVEL_TRACE, "\nError %lu reading the boot record", static_cast<unsigned long>(rc));
    if (pi->ucFsKind != FS_KIND_FAT32)
        return rc;
    DiskLog(DBG_LEVEL_TRACE, "\nReading the backup boot record (sector 6) of FAT32 volume.");
    rc = phyRead(pi->disk, pi->ulStartSect + kFat32BackupSector, buffer, 1);
    if (rc != KW_OK)
        DiskLog(DBG_LEVEL_TRACE, "\nError %lu reading the backup boot record",
                static_cast<unsigned long>(rc));
    return rc;
}

namespace {

const char* KindText(uint8_t kind) {
    switch (kind) {
    case FS_KIND_FAT32:
        return "FAT32";
    case FS_KIND_NTFS:
        return "NTFS";
    case FS_KIND_HPFS:
        return "HPFS";
    default:
        return "FAT";
    }
}

// A text field with its printable characters only.
std::string Printable(std::span<const uint8_t> s, size_t at, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = kwbytes::LoadU8Padded(s, at + i);
        if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
    }
    return out;
}

struct Line {
    std::string* out;
    int n = 1;
    void Add(const char* name, unsigned long long value, bool hex = false) {
        char buf[96];
        std::snprintf(buf, sizeof buf, hex ? "%2d. %-22s0x%llX\r\n" : "%2d. %-22s%llu\r\n", n++,
                      name, value);
        *out += buf;
    }
    void Text(const char* name, const std::string& value) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%2d. %-22s%s\r\n", n++, name, value.c_str());
        *out += buf;
    }
};

void DumpCommon(Line& l, std::span<const uint8_t> s, bool ntfs) {
    using namespace kwbytes;
    l.Add("Jump:", (uint64_t{LoadU8Padded(s, 0)} << 16) | LoadLe16Padded(s, 1), true);
    l.Text("OEM Name:", Printable(s, 3, 8));
    l.Add("Bytes per sector:", LoadLe16Padded(s, 11));
    l.Add("Sectors per cluster:", LoadU8Padded(s, 13));
    l.Add("Reserved sectors:", LoadLe16Padded(s, 14));
    l.Add(ntfs ? "Reserved:" : "Number of FATs:", LoadU8Padded(s, 16));
    l.Add(ntfs ? "Reserved:" : "Root entries:", LoadLe16Padded(s, 17));
    l.Add("Total sectors:", LoadLe16Padded(s, 19));
    l.Add("Media descriptor:", LoadU8Padded(s, 21), true);
    l.Add("Sectors per FAT:", LoadLe16Padded(s, 22));
    l.Add("Sectors per track:", LoadLe16Padded(s, 24));
    l.Add("Heads:", LoadLe16Padded(s, 26));
    l.Add("Hidden sectors:", LoadLe32Padded(s, 28));
    l.Add("Big total sectors:", LoadLe32Padded(s, 32));
}

// The extended fields from `at` (36 for FAT and HPFS, 64 for FAT32).
void DumpExtended(Line& l, std::span<const uint8_t> s, size_t at) {
    using namespace kwbytes;
    l.Add("Drive id:", LoadU8Padded(s, at), true);
    l.Add("Dirty flag:", LoadU8Padded(s, at + 1), true);
    l.Add("Extended signature:", LoadU8Padded(s, at + 2), true);
    l.Add("Serial:", LoadLe32Padded(s, at + 3), true);
    l.Text("Volume name:", Printable(s, at + 7, 11));
    l.Text("File system type:", Printable(s, at + 18, 8));
    l.Add("Boot signature:", LoadLe16Padded(s, 510), true);
}

} // namespace

std::string BootSectorDump(const PARTITION_INFO& pi, std::span<const uint8_t> s) {
    using namespace kwbytes;
    char head[160];
    std::snprintf(head, sizeof head,
                  "Boot Sector for drive %c:  (Drive %lu,  Starting Sector: %lu, Type:  %s\r\n",
                  pi.ucDriveLetter, static_cast<unsigned long>(pi.disk ? pi.disk->diskNumber : 0),
                  static_cast<unsigned long>(pi.ulStartSect), KindText(pi.ucFsKind));
    std::string out = head;
    Line l{&out};
    DumpCommon(l, s, pi.ucFsKind == FS_KIND_NTFS);
    if (pi.ucFsKind == FS_KIND_NTFS) {
        l.Add("Total sectors (64-bit):", LoadLe64Padded(s, 40));
        l.Add("MFT cluster:", LoadLe64Padded(s, 48));
        l.Add("MFT mirror cluster:", LoadLe64Padded(s, 56));
        l.Add("Clusters per record:", LoadU8Padded(s, 64));
        l.Add("Clusters per index:", LoadU8Padded(s, 68));
        l.Add("Serial:", LoadLe64Padded(s, 72), true);
        l.Add("Boot signature:", LoadLe16Padded(s, 510), true);
    } else if (pi.ucFsKind == FS_KIND_FAT32) {
        l.Add("Big sectors per FAT:", LoadLe32Padded(s, 36));
        l.Add("Extended flags:", LoadLe16Padded(s, 40), true);
        l.Add("Version:", LoadLe16Padded(s, 42), true);
        l.Add("Root cluster:", LoadLe32Padded(s, 44));
        l.Add("FS info sector:", LoadLe16Padded(s, 48));
        l.Add("Backup boot sector:", LoadLe16Padded(s, 50));
        DumpExtended(l, s, 64);
    } else {
        DumpExtended(l, s, 36);
    }
    return out;
}

void LogBootSectors() {
    uint8_t sector[512];
    for (DISK_RECORD* d = Disks(); d != nullptr; d = d->next) {
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next) {
            if (!IsBootKind(pi->ucFsKind) || ReadBootSect(pi, sector) != KW_OK)
                continue;
            DiskLog(DBG_LEVEL_HEADER, "%s", BootSectorDump(*pi, sector).c_str());
        }
    }
}
