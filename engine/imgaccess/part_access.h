// Partition access: one partition stored in an image made to look like a
// disk partition to the engine.
//
// A partition access owns a PARTITION_INFO on the disk library's image disk
// (start sector 0, the imaged partition's size). The engine's file systems
// are opened on that record; every sector they read goes kwLogRead, phyRead,
// the read hook kwiPhyRead, and lands in ReadSectors of the access that is
// current, which serves it from the part's data stream. On top of that the
// access lists directories and opens files for the image browser.
//
// Only one access is current at a time (process-wide); every operation that
// makes a file system read sectors makes its own access current first.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"
#include "engine/imgaccess/sector_cache.h"
#include "engine/imgaccess/shared_store.h"
#include "engine/imgaccess/udata_map.h"

#include <cstdint>
#include <string>

struct PARTITION_INFO;
class FILESYSTEM;
class DIRLIST;

namespace kw::imgaccess {

// One directory entry as the browser sees it.
struct IMG_ENTRY {
    char name[260] = {};
    uint32_t attributes = 0;
    uint64_t time = 0;   // FILETIME, UTC; 0 when unknown
    bool hasTime = true; // false: the time output is left alone
    KW_DATE date;        // as the file system stores it (years since 1980)
    KW_TIME dosTime;
    char shortName[40] = {}; // the 8.3 name when a long name differs from it
    uint64_t size = 0;
};

// An open file inside a partition.
class PART_FILE {
public:
    virtual ~PART_FILE() = default;
    virtual uint64_t GetSize() const = 0;
    // Reads count bytes at the file position and advances it; a read past
    // the end of the file fails (56) and reads nothing.
    virtual kwRet Read(void* buffer, uint32_t count) = 0;
};

// The abstract partition access; owns its partition record (once open), its
// file system, its last directory listing and its sector cache.
class KWIPART_ACCESS {
public:
    virtual ~KWIPART_ACCESS();
    KWIPART_ACCESS(const KWIPART_ACCESS&) = delete;
    KWIPART_ACCESS& operator=(const KWIPART_ACCESS&) = delete;

    virtual kwRet Open(const char* changeFile) = 0;
    // Partition-relative 512-byte sectors.
    virtual kwRet ReadSectors(uint32_t sector, void* buffer, uint32_t count) = 0;
    virtual kwRet LoadChanges(const char* changeFile) = 0;
    virtual kwRet SaveChanges(const char* changeFile) = 0;
    virtual uint32_t CheckChangeFile(const char* changeFile) = 0;
    virtual kwRet BuildUsedMap() = 0;

    PARTITION_INFO* GetPI() const { return pi_; }
    uint32_t GetPartIndex() const { return part_; }
    SHARED_PART_STORE* GetStore() const { return store_; }

    // Opens the partition's file system (FAT or NTFS) once; 47 for other
    // kinds.
    kwRet MountFileSystem();
    // Closes the file system unless a file is open on it (true when done).
    bool UnmountFileSystem();
    // Mounted with no file open: its file system may be given back.
    bool IsIdle() const { return fs_ != nullptr && openFiles_ == 0; }
    uint64_t LastUse() const { return lastUse_; }
    // Delivers entry `cookie` of the directory at path (inside the
    // partition); the next cookie, 0 at the end or on failure (*code then
    // says why: 0 at the end).
    uint32_t Enumerate(uint32_t cookie, const char* path, IMG_ENTRY* entry, kwRet* code);
    // Opens the file at path (inside the partition); on success the access
    // counts the open until the file is closed with CloseFile.
    kwRet OpenFile(const char* path, PART_FILE** file);
    void CloseFile(PART_FILE* file);

protected:
    KWIPART_ACCESS(SHARED_PART_STORE* store, uint32_t part);
    // Frees the file system, the listing and the partition record, in this
    // order.
    void CloseAll();
    // The partition record of an imaged partition (start sector 0).
    kwRet MakePartitionRecord(uint32_t totalSectors, uint32_t type, uint32_t kind);
    // Serves sectors from the listing cache, from the first on, advancing
    // the three values; true when none remain.
    bool ServeFromCache(uint32_t* sector, uint8_t** out, uint32_t* count);
    // While a directory is listed, sectors just read enter the cache.
    void KeepListed(uint32_t sector, const uint8_t* data, uint32_t count);

    SHARED_PART_STORE* store_; // one reference held
    uint32_t part_;            // index of the part in the store
    PARTITION_INFO* pi_ = nullptr;
    SECTOR_CACHE cache_;
    bool listing_ = false; // sectors read now enter the cache

private:
    kwRet SelectDirectory(const char* path);
    kwRet ListDirectory(const std::string& path);
    kwRet ReadEntry(uint32_t index, IMG_ENTRY* entry);
    kwRet OpenFileSystem();

    FILESYSTEM* fs_ = nullptr;
    DIRLIST* list_ = nullptr;
    std::string listed_; // the directory in list_; empty for none
    uint32_t openFiles_ = 0;
    uint64_t lastUse_ = 0; // for giving back file systems not used lately
};

// A partition of an image of the current format, read straight from the
// part's "udata" stream.
class KWI_ACCESS final : public KWIPART_ACCESS {
public:
    KWI_ACCESS(SHARED_PART_STORE* store, uint32_t part) : KWIPART_ACCESS(store, part) {}
    ~KWI_ACCESS() override;

    kwRet Open(const char* changeFile) override;
    kwRet ReadSectors(uint32_t sector, void* buffer, uint32_t count) override;
    kwRet LoadChanges(const char*) override { return KW_OK; }
    kwRet SaveChanges(const char*) override { return KW_OK; }
    uint32_t CheckChangeFile(const char*) override { return 1; }
    kwRet BuildUsedMap() override;

    const UDATA_MAP& Map() const { return map_; }

private:
    kwRet ReadStored(uint32_t sector, uint8_t* out, uint32_t count);

    UDATA_MAP map_;
    uint32_t blocks_ = 0;
    uint32_t sectorsPerBlock_ = 0;
    uint32_t storedLimit_ = 0;
    bool native_ = true;
};

// Makes a KWI_ACCESS for part `part` of the store (which must be selected);
// null with 242424 when out of memory.
KWIPART_ACCESS* CreatePartAccess(SHARED_PART_STORE* store, uint32_t part, kwRet* code);

// Closes the file system of the mounted access used least recently that has
// no open file (never `keep`), so that its partition handle is free again;
// false when there is none.
bool ReleaseIdleFileSystem(const KWIPART_ACCESS* keep);

// The access that the read hook serves (null: none).
KWIPART_ACCESS* GetCurrentPartAccess();

// Makes an access the one the read hook serves for the guard's life; the one
// before it comes back at its end (unless it was destroyed meanwhile: then
// none). Every path that reads a partition's sectors through the disk layer
// holds one.
class CURRENT_PART_SCOPE {
public:
    explicit CURRENT_PART_SCOPE(KWIPART_ACCESS* access);
    ~CURRENT_PART_SCOPE();
    CURRENT_PART_SCOPE(const CURRENT_PART_SCOPE&) = delete;
    CURRENT_PART_SCOPE& operator=(const CURRENT_PART_SCOPE&) = delete;

    // Forgets a destroyed access wherever a guard would bring it back.
    static void Forget(const KWIPART_ACCESS* access);

private:
    KWIPART_ACCESS* previous_;
    CURRENT_PART_SCOPE* outer_; // the guard opened before this one
};

// FILETIME (UTC) of a local DOS date and time; 0 for a date or time that is
// not a real one (month 0, day 0, hour 24, ...).
uint64_t DosDateToFileTime(uint32_t yearsSince1980, uint32_t month, uint32_t day, uint32_t hour,
                           uint32_t minute, uint32_t second);

} // namespace kw::imgaccess

// The disk library's read hook: the current partition access's ReadSectors;
// 1800 when no access is current.
kwRet kwiPhyRead(uint32_t sector, void* buffer, uint32_t count);
