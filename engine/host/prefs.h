// The engine's preference record: 16 bytes kept either in a marked sector of
// track 0 of the first disk or in the file KWDATA.002 beside the program.
// ENGINE_PREFS holds it after reading. Nothing writes the record back; the
// one write is marking a free track-0 sector when none is marked, and that
// only on a writable disk with [Disks] MarkPreferenceSector=1 in the settings.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>
#include <span>
#include <string>

struct DISK_RECORD;

inline constexpr uint32_t PREFS_STATE_EMPTY = 0;
inline constexpr uint32_t PREFS_STATE_NO_DISK_BITS = 1;
inline constexpr uint32_t PREFS_STATE_COMPLETE = 2;

inline constexpr uint32_t PREFS_MODE_A = 0x4;
inline constexpr uint32_t PREFS_MODE_B = 0x8;
inline constexpr uint32_t PREFS_LARGE_CLUSTERS = 0x10;
inline constexpr uint32_t PREFS_ALLOW_CANCEL = 0x20;
inline constexpr uint32_t PREFS_FLAG_40 = 0x40;

// The sector marks and where the record lies in a marked sector.
inline constexpr uint32_t PREFS_MARK_FIRST = 0x94028FC2;
inline constexpr uint32_t PREFS_MARK_SECOND = 0x17C49628;
inline constexpr uint32_t PREFS_RECORD_OFFSET = 408;
inline constexpr const char* PREFS_FILE_NAME = "KWDATA.002";

// The 16-byte record (little-endian in the sector and the file).
struct PREFS_RECORD {
    uint32_t state = PREFS_STATE_EMPTY;
    uint32_t flags = 0;
    uint32_t value = 0;
    uint32_t diskBits = 0; // bit d: the preference of disk number d
    static PREFS_RECORD parse(std::span<const uint8_t> bytes); // 16 bytes
};

// Fills the defaults of an empty record and drops per-disk bits that are
// not valid; the state becomes complete.
void CompletePrefsRecord(PREFS_RECORD* record);

// True when the sector (number s of the disk) holds nothing and may become
// the marked sector: all bytes equal, or a short pattern repeated from byte
// 20 that the next sector repeats too, framed by its own sector number.
bool IsFreeSector(std::span<const uint8_t> sector, uint32_t s, DISK_RECORD* disk);

// Searches track 0 of the disk (sectors 1 to sectors-per-track - 1) for the
// marked sector, marking a free one when allowed and only when the whole
// track behind the master boot record is unused: not on a disk with a GUID
// partition table, a partition inside the track, or anything (a boot loader)
// in a sector of it. Sets the location.
void FindPreferenceSector(DISK_RECORD* disk, bool allowMark);
// The location: 0 not searched yet, 1 the file, else the marked sector.
uint32_t PreferenceLocation();
void ResetPreferenceLocation();

// Reads the record from where the search found it: the marked sector, or the
// file beside the program (programPath is the program's path, drive or host
// form). A missing file leaves the defaults; a failed sector read is returned.
kwRet ReadPreferenceRecord(const std::string& programPath, PREFS_RECORD* record);

// The global record, created at engine set-up.
class ENGINE_PREFS : public KwEngineAlloc {
public:
    // Reads the record with the program's own path, allows cancel, clears 0x40.
    kwRet Load();
    // Reads it again, applies the mode and sets or clears each disk's
    // preference flag from the per-disk bits.
    kwRet Apply();
    // Whatever the mode, mode bit 0x4 is cleared and 0x8 set.
    void SetMode(uint32_t mode);
    bool AllowLargeClusters() const { return (record.flags & PREFS_LARGE_CLUSTERS) != 0; }
    bool AllowCancel() const { return (record.flags & PREFS_ALLOW_CANCEL) != 0; }

    PREFS_RECORD record;
};

extern ENGINE_PREFS* gEnginePrefs;

struct EN_SERVICE_HOOKS;
// Fills the preference entries of the engine's service hooks: set-up creates
// gEnginePrefs, engine start loads it, the host applies it.
void PrefsAddServiceHooks(EN_SERVICE_HOOKS* hooks);
