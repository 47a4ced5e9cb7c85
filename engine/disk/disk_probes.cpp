#include "engine/disk/disk_probes.h"

#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/lilo_fixup.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <vector>

namespace {

bool gMarkWindowsPartition = false;

// The first 512 bytes of a file on the partition; false when it cannot be
// opened or holds fewer.
bool FileHead(PARTITION_INFO* pi, const std::string& path, std::string* head) {
    const KW_FS_HOOKS& hooks = kwGetFsHooks();
    head->clear();
    return hooks.readPartitionFile != nullptr &&
           hooks.readPartitionFile(pi, path.c_str(), 512, head) == KW_OK;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    if (gDbgMgr == nullptr)
        return;
    va_list args;
    va_start(args, format);
    gDbgMgr->VPrint(false, DBG_LEVEL_TRACE, format, args);
    va_end(args);
}

bool IsFat(const PARTITION_INFO* pi) {
    return pi->ucFsKind == FS_KIND_FAT || pi->ucFsKind == FS_KIND_FAT32;
}

// Windows 2000: "\hiberfil.sys" starting with "hibr".
bool W2kHibernated(PARTITION_INFO* pi) {
    char d = static_cast<char>(pi->ucDriveLetter);
    Log("CheckForHibernate(%c:) under W2K\n", d);
    std::string head;
    bool found = FileHead(pi, "\\hiberfil.sys", &head);
    Log(found ? "%c:\\hiberfile.sys found.\n" : "%c:\\hiberfile.sys NOT found.\n", d);
    if (found && head.size() == 512 && head.compare(0, 4, "hibr") == 0) {
        Log("Hibernate signature found (\"hibr\").\n");
        return true;
    }
    Log("Hibernate signature NOT found.\n");
    return false;
}

// Windows Millennium: the hibernation file under the Windows folder carries
// "JSYP" at offset 4.
bool MeHibernated(PARTITION_INFO* pi, const std::string& path) {
    std::string head;
    if (!FileHead(pi, path, &head) || head.size() < 512) {
        Log("%s NOT found.\n", path.c_str());
        return false;
    }
    Log("%s found.\n", path.c_str());
    if (head.compare(4, 4, "JSYP") == 0) {
        Log("Hibernate signature found (\"JSYP\").\n");
        return true;
    }
    Log("Hibernate signature NOT found.\n");
    return false;
}

template <class Fn> kwRet ForEachPartition(Fn fn) {
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    for (; disk != nullptr; disk = disk->next)
        for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next)
            if (kwRet rc = fn(pi); rc != KW_OK)
                return rc;
    return KW_OK;
}

bool KeyAt(const std::string& text, size_t at, const char* key) {
    size_t n = std::strlen(key);
    if (text.compare(at, n, key) != 0)
        return false;
    return at == 0 || !std::isalpha(static_cast<unsigned char>(text[at - 1]));
}

void TakeValue(const std::string& text, size_t at, std::string* out) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    size_t end = at;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                 text[end] == ':' || text[end] == '\\'))
        ++end;
    if (end > at)
        *out = text.substr(at, end - at);
}

} // namespace

void ParseMsdosSysDirs(const std::string& text, std::string* winDir, std::string* winBootDir,
                       std::string* hostWinBootDir) {
    struct Key {
        const char* name;
        std::string* out;
    };
    const Key keys[] = {
        {"WinDir=", winDir}, {"WinBootDir=", winBootDir}, {"HostWinBootDir=", hostWinBootDir}};
    for (const Key& k : keys)
        if (k.out != nullptr)
            k.out->clear();
    for (size_t at = 0; at < text.size(); ++at)
        for (const Key& k : keys)
            if (k.out != nullptr && KeyAt(text, at, k.name))
                TakeValue(text, at + std::strlen(k.name), k.out);
}

kwRet ReadMsdosSysDirs(PARTITION_INFO* pi, std::string* winDir, std::string* winBootDir,
                       std::string* hostWinBootDir) {
    for (std::string* out : {winDir, winBootDir, hostWinBootDir})
        if (out != nullptr)
            out->clear();
    if (pi == nullptr || !IsFat(pi) || (pi->ulFlags & PI_LOGICAL))
        return ERR_BAD_ARGUMENT;
    const KW_FS_HOOKS& hooks = kwGetFsHooks();
    std::string text;
    if (hooks.readPartitionFile == nullptr ||
        hooks.readPartitionFile(pi, "\\msdos.sys", 64 * 1024, &text) != KW_OK || text.size() < 10)
        return KW_OK;
    ParseMsdosSysDirs(text, winDir, winBootDir, hostWinBootDir);
    return KW_OK;
}

kwRet CheckForHibernate() {
    std::vector<std::string> remembered;
    kwRet rc = ForEachPartition([&](PARTITION_INFO* pi) -> kwRet {
        if (IsFat(pi) || pi->ucFsKind == FS_KIND_NTFS) {
            if (W2kHibernated(pi))
                return ERR_HIBERNATED_W2K;
        }
        if (!IsFat(pi) || (pi->ulFlags & PI_LOGICAL))
            return KW_OK;
        Log("CheckForHibernate(%c:) under Millennium primaries\n",
            static_cast<char>(pi->ucDriveLetter));
        std::string winDir;
        ReadMsdosSysDirs(pi, &winDir, nullptr, nullptr);
        if (winDir.size() < 2)
            return KW_OK;
        std::string path = winDir.substr(2) + "\\vmmhiber.w9x";
        if (std::toupper(static_cast<unsigned char>(winDir[0])) == 'C')
            return MeHibernated(pi, path) ? ERR_HIBERNATED_WINME : KW_OK;
        if (remembered.size() < 100 &&
            std::find(remembered.begin(), remembered.end(), path) == remembered.end())
            remembered.push_back(path);
        return KW_OK;
    });
    if (rc != KW_OK || remembered.empty())
        return rc;
    return ForEachPartition([&](PARTITION_INFO* pi) -> kwRet {
        if (!IsFat(pi))
            return KW_OK;
        Log("CheckForHibernate(%c:) under Millennium when the WinDir is not on C:.\n",
            static_cast<char>(pi->ucDriveLetter));
        for (const std::string& path : remembered)
            if (MeHibernated(pi, path))
                return ERR_HIBERNATED_WINME;
        return KW_OK;
    });
}

std::string kwGetWindowsDirectory() {
    return {};
}

kwRet SetWindowsPartition() {
    return SetWindowsPartitionFor(kwGetWindowsDirectory());
}

kwRet SetWindowsPartitionFor(const std::string& dir) {
    Log("\nWindows Directory:  %s", dir.c_str());
    PARTITION_INFO* found = nullptr;
    if (!dir.empty()) {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(dir[0])));
        ForEachPartition([&](PARTITION_INFO* pi) -> kwRet {
            if (pi->ucDriveLetter != letter)
                return KW_OK;
            found = pi;
            return ERR_NO_CHANGE; // stops the walk
        });
    }
    if (found == nullptr) {
        Log("\nSetWindowsPartition error (pi not found)");
        return ERR_NO_WINDOWS_PARTITION;
    }
    found->ulFlags |= PI_WINDOWS;
    Log(" (pi == %0X)", static_cast<unsigned>(reinterpret_cast<uintptr_t>(found)));
    return KW_OK;
}

void kwMarkWindowsPartitionOnOpen(bool on) {
    gMarkWindowsPartition = on;
}

bool kwMarkWindowsPartitionOnOpenSet() {
    return gMarkWindowsPartition;
}

kwRet ReadPartitionSector(DISK_RECORD* disk, uint32_t sector, PARTITION_SECTOR_RECORD* record) {
    if (disk == nullptr || record == nullptr)
        return ERR_BAD_ARGUMENT;
    uint8_t s[512] = {};
    s[510] = 0xF6;
    s[511] = 0xF6;
    kwRet rc = phyRead(disk, sector, s, 1);
    if (rc != KW_OK && rc != 57)
        return rc;
    *record = PARTITION_SECTOR_RECORD{};
    record->signature = static_cast<uint16_t>(s[510] | s[511] << 8);
    if (record->signature == 0xAA55) {
        record->status = s[394];
        std::memcpy(record->name, s + 395, 8);
        std::memcpy(record->entries, s + 446, 64);
        if (sector == 0)
            disk->diskSignature = static_cast<uint32_t>(s[440] | s[441] << 8 | s[442] << 16 |
                                                        static_cast<uint32_t>(s[443]) << 24);
    }
    return KW_OK;
}

kwRet LbaToChsRecord(uint32_t sector, const DISK_RECORD* disk, CHS_RECORD* chs) {
    if (disk == nullptr || chs == nullptr)
        return ERR_BAD_ARGUMENT;
    return LbaToChs(sector, disk, &chs->cylinder, &chs->head, &chs->sector);
}

kwRet NotifyPartitionSize(PARTITION_INFO* pi, const uint8_t* bootSector, bool* restart,
                          bool strict) {
    (void)strict;
    if (pi == nullptr || bootSector == nullptr || restart == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!IsDriveLetter(static_cast<char>(pi->ucDriveLetter)))
        return KW_OK;
    *restart = true;
    if ((pi->ulFlags & PI_HOST_LETTER) == 0)
        return KW_OK;
    Log("NotifyPartitionSize: the host cannot be given the new geometry of %c:; a restart is "
        "recorded\n",
        static_cast<char>(pi->ucDriveLetter));
    kwRequestRestart(0);
    return KW_OK;
}

kwRet NotifyPartitionResized(uint32_t operation, PARTITION_INFO* pi, uint32_t* changed,
                             uint32_t oldSectors, uint32_t newSectors) {
    if (pi == nullptr || changed == nullptr)
        return ERR_BAD_ARGUMENT;
    *changed = 1;
    kwRet rc = KW_OK;
    if (newSectors != 0 && pi->ucFsKind != FS_KIND_RAW) {
        uint8_t boot[512];
        kwhandle h = 0;
        rc = kwLogOpen(pi, &h);
        if (rc == KW_OK) {
            rc = kwLogRead(h, 0, boot, 1);
            kwLogClose(h);
        }
        bool restart = false;
        if (rc == KW_OK)
            rc = NotifyPartitionSize(pi, boot, &restart, oldSectors != newSectors);
    }
    // A moved partition takes the LILO addresses that pointed into its old
    // place along (a no-op for any other operation); the first failure wins.
    kwRet lilo = FixLiloAfterMove(operation, pi, oldSectors, newSectors);
    if (rc == KW_OK)
        rc = lilo;
    if (!IsDriveLetter(static_cast<char>(pi->ucDriveLetter)))
        *changed = 0;
    return rc;
}
