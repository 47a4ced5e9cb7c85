#include "engine/core/cmdline.h"
#include "engine/core/nttime.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "include/filetime.h"
#include "platform/drives/drive_table.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

kwRet OsErrorToKwRet(uint32_t hostError) {
    kwRet rc;
    switch (hostError) {
    case 0:
        rc = KW_OK;
        break;
    case 1:
    case 6:
    case 15:
    case 87:
    case 111:
    case 117:
        rc = ERR_HOST_INVALID;
        break;
    case 19:
        rc = ERR_INVALID_DRIVE;
        break;
    case 21:
    case 142:
        rc = ERR_DRIVE_NOT_READY;
        break;
    case 23:
        rc = ERR_UNKNOWN_COMMAND;
        break;
    case 27:
        rc = ERR_SECTOR_NOT_FOUND;
        break;
    case 29:
    case 88:
        rc = ERR_WRITE_FAULT;
        break;
    case 30:
        rc = ERR_READ_FAULT;
        break;
    case 31:
        rc = ERR_GENERAL_FAILURE;
        break;
    case 33:
    case 108:
        rc = ERR_LOCK_VIOLATION;
        break;
    case 119:
        rc = ERR_LOCK_NOT_RELEASED;
        break;
    case 167:
        rc = ERR_CANNOT_LOCK;
        break;
    default:
        rc = kwHostError(hostError);
        break;
    }
    DiskLog(DBG_LEVEL_TRACE, "\nOS Error %X converted to %X", hostError, rc);
    return rc;
}

namespace {

// The folder of the running program as a drive path with a trailing "\";
// empty when it cannot be had.
std::string LaunchFolder() {
    std::string exe(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
    if (n <= 0 || static_cast<size_t>(n) >= exe.size())
        return {};
    exe.resize(static_cast<size_t>(n));
    size_t slash = exe.find_last_of('/');
    std::string folder = slash == 0 ? "/" : exe.substr(0, slash);
    std::string path;
    if (!kw::drives::DriveTable::Process().FromHost(folder, &path))
        return {};
    if (path.empty() || path.back() != '\\')
        path += '\\';
    return path;
}

} // namespace

uint32_t kwGetLaunchPath(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0)
        return 0;
    std::string path = LaunchFolder();
    if (path.size() >= size)
        path.clear();
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    DiskLog(DBG_LEVEL_TRACE, "\nkwGetLaunchPath == %s", buffer);
    return static_cast<uint32_t>(path.size());
}

uint32_t kwGetOsKind() {
    return KW_OS_DOS71;
}

bool IsDriveLetter(char c) {
    return c >= 'A' && c <= 'Z';
}

void kwImplyMup() {
    if (gCommandLine != nullptr)
        gCommandLine->Imply(SW_MUP);
}

bool kwIsMupSet() {
    return kwSwitchSet(SW_MUP);
}

bool kwIsMovableKind(const PARTITION_INFO* pi) {
    if (kwIsMupSet())
        return true;
    switch (pi->ucFsKind) {
    case FS_KIND_FAT:
    case FS_KIND_NTFS:
    case FS_KIND_HPFS:
    case FS_KIND_EXT2:
    case FS_KIND_LINUX_SWAP:
    case FS_KIND_FAT32:
    case FS_KIND_RAW:
        return true;
    default:
        return false;
    }
}

void kwReboot(int exitCode) {
    // The engine never restarts the machine: it only ends the program.
    DiskLog(DBG_LEVEL_TRACE, "\nkwReboot ...");
    if (gDbgMgr != nullptr)
        gDbgMgr->Uninit();
    std::exit(exitCode);
}

kwRet kwGetDate(KW_DATE* date) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (date == nullptr || localtime_r(&now, &tm) == nullptr)
        return ERR_BAD_ARGUMENT;
    date->day = static_cast<uint8_t>(tm.tm_mday);
    date->month = static_cast<uint8_t>(tm.tm_mon + 1);
    date->year = static_cast<uint16_t>(tm.tm_year + 1900);
    date->dayOfWeek = static_cast<uint8_t>(tm.tm_wday);
    return KW_OK;
}

kwRet kwGetTime(KW_TIME* time) {
    timespec ts{};
    std::tm tm{};
    if (time == nullptr || clock_gettime(CLOCK_REALTIME, &ts) != 0 ||
        localtime_r(&ts.tv_sec, &tm) == nullptr)
        return ERR_BAD_ARGUMENT;
    time->hour = static_cast<uint8_t>(tm.tm_hour);
    time->minute = static_cast<uint8_t>(tm.tm_min);
    time->second = static_cast<uint8_t>(tm.tm_sec);
    time->hundredths = static_cast<uint8_t>(ts.tv_nsec / 10000000);
    return KW_OK;
}

namespace {

// Seconds since 1970 through NT time to local time in the DOS range
// (1980-2107); false when the time cannot be shown there.
bool ToLocalDosTime(uint32_t seconds, std::tm* tm) {
    if (seconds == 0)
        return false;
    uint64_t nt = SecondsToNtTime(seconds);
    if (nt < kwtime::kUnixEpoch)
        return false;
    // The stored offset sits a fraction of a second below the epoch: round to
    // the nearest second so that a whole second reads back as itself.
    auto t = static_cast<std::time_t>(kwtime::ToUnixRounded(nt));
    if (localtime_r(&t, tm) == nullptr)
        return false;
    return tm->tm_year >= 80 && tm->tm_year <= 207;
}

} // namespace

kwRet FileTimeToKwDate(uint32_t seconds, KW_DATE* date) {
    std::tm tm{};
    if (date == nullptr || !ToLocalDosTime(seconds, &tm))
        return ERR_BAD_ARGUMENT;
    date->day = static_cast<uint8_t>(tm.tm_mday);
    date->month = static_cast<uint8_t>(tm.tm_mon + 1);
    date->year = static_cast<uint16_t>(tm.tm_year - 80);
    date->dayOfWeek = 0;
    return KW_OK;
}

kwRet FileTimeToKwTime(uint32_t seconds, KW_TIME* time) {
    std::tm tm{};
    if (time == nullptr || !ToLocalDosTime(seconds, &tm))
        return ERR_BAD_ARGUMENT;
    time->hour = static_cast<uint8_t>(tm.tm_hour);
    time->minute = static_cast<uint8_t>(tm.tm_min);
    time->second = static_cast<uint8_t>((tm.tm_sec / 2) * 2);
    time->hundredths = 0;
    return KW_OK;
}
