// FILESYSTEM: the file system of one partition record. Callers never make
// one directly: OpenFileSystem hands out the partition's one shared object
// (cached in the record, counted) and CloseFileSystem gives it back; the
// factory alone names the concrete classes. The base owns the partition
// handle, the volume lock it took and the used-sector map, and supplies the
// default of every operation (a file system of unknown kind: all sectors
// used, no directories). An operation a file system does not have answers
// ERR_NOT_SUPPORTED, never success for work not done; a fix-up after a copy
// that a file system does not need succeeds.
//
// Used-sector maps go to the caller, who owns and deletes them: a map handed
// out never dies with another caller's Init or Uninit of the shared object.
#pragma once

#include "engine/core/globals_mgr.h"
#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/core/sectlist.h"
#include "engine/core/statemap.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/dirlist.h"

#include <cstdint>

inline constexpr uint32_t FS_OPEN_SHARED = 0;
inline constexpr uint32_t FS_OPEN_EXCLUSIVE = 1;

// A partition handle that is not open.
inline constexpr kwhandle FS_NO_HANDLE = 0xFFFFFFFF;

// A file object's hold on its partition: the handle it opened and the
// volume lock it took (or found already taken by its own process, which it
// then shares and never releases).
struct PARTITION_HOLD {
    kwhandle handle = FS_NO_HANDLE;
    bool locked = false;
    bool shared = false; // the lock was someone else's
    // Opens the partition and takes or shares its lock; on failure holds nothing.
    kwRet Take(PARTITION_INFO* pi);
    // Gives back the lock (unless shared) and the handle.
    void Release();
};

// Used-sector map flags.
inline constexpr uint32_t FS_MAP_METADATA = 0x1;
inline constexpr uint32_t FS_MAP_FILE_DATA = 0x2;
inline constexpr uint32_t FS_MAP_SHORT_SWAP = 0x10;

// FileMatch / FileFind flags.
inline constexpr uint32_t SEARCH_STANDARD = 0x1;
inline constexpr uint32_t SEARCH_SUBDIRECTORIES = 0x2;
inline constexpr uint32_t SEARCH_DIRECTORIES_TOO = 0x4;

// ListDirectory flag: fill long names where the file system has them.
inline constexpr uint32_t LIST_LONG_NAMES = 0x1;

// One contiguous run of a file's sectors (partition-relative).
struct SECTOR_RUN : KwEngineAlloc {
    SECTOR_RUN* next = nullptr;
    SECTOR_RUN* previous = nullptr;
    uint32_t firstSector = 0;
    uint32_t sectorCount = 0;
};
void FreeSectorRuns(SECTOR_RUN* first);

class FILESYSTEM : public KwEngineAlloc {
public:
    explicit FILESYSTEM(PARTITION_INFO* pi);
    virtual ~FILESYSTEM();
    FILESYSTEM(const FILESYSTEM&) = delete;
    FILESYSTEM& operator=(const FILESYSTEM&) = delete;

    virtual kwRet Init() { return KW_OK; }
    virtual kwRet InitFull() { return KW_OK; }
    virtual kwRet Uninit() { return KW_OK; }
    virtual kwRet AddBadSectors(SECT_LIST* /*list*/) { return ERR_NOT_SUPPORTED; }
    virtual kwRet ClearBadSectors() { return ERR_NOT_SUPPORTED; }
    // Replaces (deletes) what *map holds with a new map of the caller's.
    virtual kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags);
    virtual kwRet GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags);
    virtual kwRet PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* target);
    virtual kwRet SetBadSectors(SECT_LIST* /*list*/) { return ERR_NOT_SUPPORTED; }
    virtual kwRet CheckBadSectors(STATE_MAP** map, SECT_LIST* list);
    virtual kwRet FixupAfterCopy(PARTITION_INFO* /*source*/) { return KW_OK; }
    virtual kwRet UpdateHiddenSectors() { return ERR_NOT_SUPPORTED; }
    virtual kwRet Resize(uint32_t /*unused*/, uint32_t /*newSize*/, void* /*sourceRuns*/,
                         void* /*destinationRuns*/) {
        return ERR_NOT_SUPPORTED;
    }
    // Lists one directory; flags LIST_LONG_NAMES. Whether dates and times
    // are filled comes from the list.
    virtual kwRet ListDirectory(DIRLIST* /*list*/, const char* /*path*/, uint32_t /*flags*/) {
        return ERR_NOT_SUPPORTED;
    }
    // The sector runs of one file (the caller frees them with
    // FreeSectorRuns), or null.
    virtual SECTOR_RUN* ListClusters(const char* /*path*/) { return nullptr; }
    // Every entry under the pattern path's directory whose name matches the
    // pattern (SEARCH_* flags); without a result list the result says
    // whether anything matched (ERR_FILE_NOT_FOUND when nothing did).
    kwRet FileMatch(const char* patternPath, uint32_t flags, DIRLIST* out);
    virtual uint32_t GetSerialNumber() { return 0; }
    virtual kwRet SetSerialNumber(uint32_t /*serial*/) { return ERR_NOT_SUPPORTED; }
    // At least 12 bytes; an empty text when the volume has no label.
    virtual kwRet GetVolumeLabel(char* buffer);
    virtual kwRet SetGeometry(uint16_t /*heads*/, uint16_t /*sectorsPerTrack*/) {
        return ERR_NOT_SUPPORTED;
    }
    virtual kwRet GetBadSectors(SECT_LIST* /*list*/) { return ERR_NOT_SUPPORTED; }

    void SetPartition(PARTITION_INFO* pi);
    kwRet Lock();
    kwRet Unlock(uint8_t flag);
    PARTITION_INFO* GetPI() const { return pi_; }
    kwhandle GetHandle() const { return handle_; }
    kwRet ReadSectors(uint32_t first, void* buffer, uint32_t count);
    kwRet WriteSectors(uint32_t first, const void* buffer, uint32_t count);

    uint32_t GetOpenCount() const { return openCount_; }
    uint32_t GetOpenMode() const { return openMode_; }

private:
    friend kwRet OpenFileSystem(PARTITION_INFO*, FILESYSTEM**, uint32_t, uint8_t);
    friend void CloseFileSystem(FILESYSTEM**);

    uint32_t openCount_ = 0;
    uint32_t openMode_ = FS_OPEN_EXCLUSIVE;
    PARTITION_INFO* pi_ = nullptr;
    kwhandle handle_ = FS_NO_HANDLE;
    bool locked_ = false;
};

// The partition's shared file system: kind 0 takes the record's own kind.
// 53 when it is held exclusively, 3 when it cannot be made. The caller runs
// Init (or InitFull) itself.
kwRet OpenFileSystem(PARTITION_INFO* pi, FILESYSTEM** fs, uint32_t mode, uint8_t kind);
// Drops one open; the last one destroys the object. *fs is null afterwards.
void CloseFileSystem(FILESYSTEM** fs);

// Whether the file system holds a Windows NT installation in windowsDir
// (such as "\\WINNT"): its kernel and the five registry hives. 0 when every
// file is there; else the failure of the first search that found nothing
// (ERR_FILE_NOT_FOUND) or could not list its folder.
kwRet FindNtInstallation(FILESYSTEM* fs, const char* windowsDir);
