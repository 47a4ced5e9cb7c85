#include "engine/host/prefs.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "engine/host/engine.h"
#include "engine/host/engine_setup.h"
#include "include/kwbytes.h"
#include "platform/drives/drive_table.h"
#include "platform/files/sysfile.h"
#include "platform/settings/settings_file.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

ENGINE_PREFS* gEnginePrefs = nullptr;

namespace {

uint32_t gLocation = 0; // 0 not searched, 1 the file, else the marked sector
constexpr uint32_t kLocationFile = 1;
constexpr uint32_t kFirstSearched = 10;
constexpr uint32_t kDefaultValue = 0xFFFFFFFF;

bool MarkingEnabled() {
    return kw::settings::SettingsFile::OpenDefault().GetInt("Disks", "MarkPreferenceSector", 0) ==
           1;
}

bool IsMarked(const uint8_t* s) {
    return kwbytes::LoadLe32(s) == PREFS_MARK_FIRST ||
           kwbytes::LoadLe32(s + 4) == PREFS_MARK_SECOND;
}

// The track-0 sectors in search order: from 10 up to the end of the track,
// then from 1; never sector 0 and never past the track.
uint32_t NextSector(uint32_t s, uint32_t spt) {
    return s + 1 >= spt ? 1 : s + 1;
}

// Marks the sector: the second mark word, the record area zeroed.
bool Mark(DISK_RECORD* disk, uint32_t s, uint8_t* buf) {
    kwbytes::StoreLe32(buf + 4, PREFS_MARK_SECOND);
    std::memset(buf + PREFS_RECORD_OFFSET, 0, 16);
    return phyWrite(disk, s, buf, 1) == KW_OK;
}

// Whether the track-0 sectors behind the master boot record are unused, so
// that one of them may be taken: no GUID partition table (its protective
// entry says its header and entries lie there), no partition starting inside
// the track, and every sector free in the sense of IsFreeSector (a boot
// loader's code lives here too). Whatever cannot be read counts as used.
bool TrackGapFree(DISK_RECORD* disk, uint32_t spt, uint8_t* buf) {
    PARTITION_SECTOR mbr;
    if (phyRead(disk, 0, buf, 1) != KW_OK || !PARTITION_SECTOR::parse({buf, 512}, &mbr))
        return false;
    for (const PARTITION_ENTRY& e : mbr.entries) {
        bool inTrack = e.type == KW_GPT_PROTECTIVE_TYPE || e.relStart < spt;
        if (mbr.HasSignature() && e.type != 0 && inTrack) {
            DbgPrintf("Preference record: track 0 holds a partition table or partition; no "
                      "sector marked\n");
            return false;
        }
    }
    for (uint32_t s = 1; s < spt; ++s) {
        if (phyRead(disk, s, buf, 1) != KW_OK || !IsFreeSector({buf, 512}, s, disk)) {
            DbgPrintf("Preference record: sector %lu of track 0 is in use; no sector marked\n",
                      static_cast<unsigned long>(s));
            return false;
        }
    }
    return true;
}

// The preference file beside the program: the path cut after its last "\" or
// "/" (or ":"), as a host path.
std::string PrefsFile(const std::string& programPath) {
    size_t cut = programPath.find_last_of("\\/");
    if (cut == std::string::npos)
        cut = programPath.find_last_of(':');
    std::string path = (cut == std::string::npos ? std::string() : programPath.substr(0, cut + 1)) +
                       PREFS_FILE_NAME;
    std::string host;
    return kw::drives::DriveTable::Process().ToHost(path, &host) ? host : path;
}

void ReadPrefsFile(const std::string& programPath, PREFS_RECORD* record) {
    int fd = ::open(PrefsFile(programPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return; // no file: the defaults
    uint8_t bytes[16];
    size_t got = 0;
    if (kw::sys::sysRead(fd, bytes, sizeof bytes, &got) && got == sizeof bytes)
        *record = PREFS_RECORD::parse(bytes);
    ::close(fd);
}

} // namespace

PREFS_RECORD PREFS_RECORD::parse(std::span<const uint8_t> b) {
    PREFS_RECORD r;
    r.state = kwbytes::LoadLe32Padded(b, 0);
    r.flags = kwbytes::LoadLe32Padded(b, 4);
    r.value = kwbytes::LoadLe32Padded(b, 8);
    r.diskBits = kwbytes::LoadLe32Padded(b, 12);
    return r;
}

void CompletePrefsRecord(PREFS_RECORD* r) {
    if (r->state == PREFS_STATE_EMPTY) {
        r->flags = PREFS_MODE_A;
        r->value = kDefaultValue;
        r->diskBits = 0;
    } else if (r->state == PREFS_STATE_NO_DISK_BITS) {
        r->diskBits = 0;
    }
    r->state = PREFS_STATE_COMPLETE;
}

bool IsFreeSector(std::span<const uint8_t> s, uint32_t n, DISK_RECORD* disk) {
    if (s.size() < 512)
        return false;
    if (std::all_of(s.begin(), s.begin() + 512, [&](uint8_t b) { return b == s[0]; }))
        return true;
    size_t p = 1;
    while (p <= 491 && s[20 + p] != s[20])
        ++p;
    if (p > 20)
        return false;
    for (size_t i = 20; i + p < 512; ++i)
        if (s[i] != s[i + p])
            return false;
    if (kwbytes::LoadLe32(&s[0]) != n || kwbytes::LoadLe32(&s[508]) != n)
        return false;
    uint8_t next[512];
    return phyRead(disk, n + 1, next, 1) == KW_OK && std::memcmp(next + 4, &s[4], 504) == 0;
}

void FindPreferenceSector(DISK_RECORD* disk, bool allowMark) {
    gLocation = kLocationFile;
    if (disk == nullptr || disk->sectorsPerTrack < 2)
        return;
    uint32_t spt = disk->sectorsPerTrack;
    uint32_t first = kFirstSearched < spt ? kFirstSearched : 1;
    uint8_t buf[512];
    for (uint32_t s = first, n = 0; n + 1 < spt; ++n, s = NextSector(s, spt)) {
        if (phyRead(disk, s, buf, 1) == KW_OK && IsMarked(buf)) {
            gLocation = s;
            return;
        }
    }
    if (!allowMark || !TrackGapFree(disk, spt, buf))
        return;
    // Every sector of the gap was found free just now: the first one in
    // search order that reads and takes the mark is it.
    for (uint32_t s = first, n = 0; n + 1 < spt; ++n, s = NextSector(s, spt)) {
        if (s == kLocationFile)
            continue; // a location of 1 means the file, so sector 1 is never taken
        if (phyRead(disk, s, buf, 1) == KW_OK && Mark(disk, s, buf)) {
            DbgPrintf("Preference record: sector %lu of track 0 marked\n",
                      static_cast<unsigned long>(s));
            gLocation = s;
            return;
        }
    }
}

uint32_t PreferenceLocation() {
    return gLocation;
}

void ResetPreferenceLocation() {
    gLocation = 0;
}

kwRet ReadPreferenceRecord(const std::string& programPath, PREFS_RECORD* record) {
    if (record == nullptr)
        return ERR_BAD_ARGUMENT;
    record->state = PREFS_STATE_EMPTY;
    DISK_RECORD* first = nullptr;
    kwRet rc = kwGetDiskList(&first);
    if (rc != KW_OK)
        return rc;
    if (gLocation == 0)
        FindPreferenceSector(first, kwDiskWritable(first) && MarkingEnabled());
    if (gLocation != kLocationFile && first != nullptr) {
        uint8_t buf[512];
        rc = phyRead(first, gLocation, buf, 1);
        if (rc != KW_OK)
            return rc;
        *record = PREFS_RECORD::parse(std::span<const uint8_t>(buf + PREFS_RECORD_OFFSET, 16));
    } else {
        ReadPrefsFile(programPath, record);
    }
    CompletePrefsRecord(record);
    return KW_OK;
}

namespace {

std::string ProgramPath() {
    char path[4096];
    kwGetLaunchPath(path, sizeof path);
    return path;
}

} // namespace

kwRet ENGINE_PREFS::Load() {
    kwRet rc = ReadPreferenceRecord(ProgramPath(), &record);
    record.flags = (record.flags | PREFS_ALLOW_CANCEL) & ~PREFS_FLAG_40;
    return rc;
}

void ENGINE_PREFS::SetMode(uint32_t) {
    record.flags = (record.flags & ~PREFS_MODE_A) | PREFS_MODE_B;
}

kwRet ENGINE_PREFS::Apply() {
    kwRet rc = ReadPreferenceRecord(ProgramPath(), &record);
    record.flags |= PREFS_ALLOW_CANCEL;
    SetMode((record.flags & PREFS_MODE_A) ? 0 : (record.flags & PREFS_MODE_B) ? 1 : 2);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    for (; disk != nullptr; disk = disk->next) {
        bool on = disk->diskNumber < 32 && (record.diskBits >> disk->diskNumber) & 1;
        enSetDiskFlag(disk->diskNumber, on);
    }
    return rc;
}

void PrefsAddServiceHooks(EN_SERVICE_HOOKS* hooks) {
    hooks->createPrefs = [] {
        if (gEnginePrefs == nullptr)
            gEnginePrefs = new ENGINE_PREFS;
        return gEnginePrefs != nullptr ? KW_OK : ERR_NO_MEMORY;
    };
    hooks->destroyPrefs = [] {
        delete gEnginePrefs;
        gEnginePrefs = nullptr;
        ResetPreferenceLocation();
    };
    hooks->loadPrefs = [] { return gEnginePrefs != nullptr ? gEnginePrefs->Load() : KW_OK; };
    hooks->applyPrefs = [] { return gEnginePrefs != nullptr ? gEnginePrefs->Apply() : KW_OK; };
}
