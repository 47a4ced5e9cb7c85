// FAT_FILESYSTEM: the file system of FAT12, FAT16 and FAT32 partitions. It
// owns the parsed boot record, the FAT in memory (FAT_BLOCKS), a map of
// clusters seen by the current chain walk (so no walk can loop), and one
// sector buffer; it lists directories, maps used sectors, keeps serial and
// label, and serves files through FAT_FILE_HANDLE. Every sector goes through
// the partition handle of the base (kwLogRead / kwLogWrite).
//
// Read-only (set by the caller, or implied by a disk that takes no writes):
// every operation that would change the volume fails with
// ERR_WRITE_PROTECTED and nothing is written.
//
// Damaged: before its first change in a session the volume's chains are
// checked (every chain that an entry starts must run through used clusters
// and no cluster may belong to two chains). A volume that fails, or a chain
// found broken later, stays readable but refuses every change with
// ERR_FAT_INVALID_ENTRIES: a write there would turn repairable damage into
// lost files.
//
// Order of writes, so that a crash between any two leaves the old or the
// new state (at worst with clusters no entry uses): a file that grows gets
// its clusters in the FAT first, then its data, then its entry (written when
// the handle is committed); a file that shrinks gets its entry first, then
// its clusters freed. FAT copies are written from the last to the first, and
// the disk is flushed before an entry that depends on earlier writes and at
// the end of every change.
#pragma once

#include "engine/fat/fat_blocks.h"
#include "engine/fat/fat_boot.h"
#include "engine/fat/fat_dir.h"
#include "engine/fat/fat_dir_blocks.h"
#include "engine/fat/fat_folders.h"
#include "engine/fs/filesystem.h"

#include <cstdint>
#include <string>

class FAT_FILESYSTEM;

// An open FAT file or directory: a copy of its directory entry, where that
// entry lives, the byte position and the file's sector runs (built on first
// use). Owned by whoever opened it.
struct FAT_FILE_HANDLE : KwEngineAlloc {
    FAT_FILE_HANDLE() = default;
    ~FAT_FILE_HANDLE() { FreeSectorRuns(runs); }
    FAT_FILE_HANDLE(const FAT_FILE_HANDLE&) = delete;
    FAT_FILE_HANDLE& operator=(const FAT_FILE_HANDLE&) = delete;

    FAT_FILESYSTEM* fs = nullptr;
    uint8_t entry[FAT_DIR_ENTRY_SIZE] = {};
    uint32_t position = 0;
    SECTOR_RUN* runs = nullptr;
    uint32_t runClusters = 0;     // clusters the runs cover
    uint32_t parentCluster = 0;   // 0: the root
    uint32_t entrySector = 0;     // partition sector holding the entry
    uint32_t entryIndex = 0;      // of the short entry in its directory
    uint32_t firstPieceIndex = 0; // of its first long-name piece
    bool isRoot = false;
    bool entryChanged = false; // the entry copy differs from the disk

    bool IsDirectory() const { return (entry[FDE_ATTR] & FAT_ATTR_DIRECTORY) != 0; }
    bool IsFile() const { return (entry[FDE_ATTR] & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME)) == 0; }
    uint8_t GetAttribute() const { return entry[FDE_ATTR]; }
    uint32_t GetSize() const;
    uint32_t GetPosition() const { return position; }
    uint32_t FirstCluster() const;
    void SetFirstCluster(uint32_t cluster);
    void SetSize(uint32_t size);
    kwRet Seek(uint32_t newPosition);
};

// Where a path's entry was found.
struct FAT_FOUND {
    uint8_t entry[FAT_DIR_ENTRY_SIZE] = {};
    uint32_t parentCluster = 0;
    uint32_t entrySector = 0;
    uint32_t entryIndex = 0;
    uint32_t firstPieceIndex = 0;
    bool isRoot = false;
};

class FAT_FILESYSTEM : public FILESYSTEM {
public:
    explicit FAT_FILESYSTEM(PARTITION_INFO* pi);
    ~FAT_FILESYSTEM() override;

    kwRet Init() override;
    kwRet InitFull() override;
    kwRet Uninit() override;
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) override;
    kwRet ListDirectory(DIRLIST* list, const char* path, uint32_t flags) override;
    SECTOR_RUN* ListClusters(const char* path) override;
    uint32_t GetSerialNumber() override;
    kwRet SetSerialNumber(uint32_t serial) override;
    kwRet GetVolumeLabel(char* buffer) override;
    kwRet GetBadSectors(SECT_LIST* list) override;
    kwRet AddBadSectors(SECT_LIST* list) override;
    kwRet ClearBadSectors() override;
    kwRet SetBadSectors(SECT_LIST* list) override;
    // Before a sector-for-sector copy onto `target`: the clusters at the
    // offsets of the listed sectors inside the target (disk sectors) are
    // marked bad, those with data emptied first (moved to free clusters);
    // with the target on this volume's disk, this volume's own bad sectors
    // join the list. Then the used-sector map. ERR_BAD_SECTOR_IN_FS for a
    // listed sector in the system area and ERR_FAT_NO_SPACE when the data
    // finds no room, both before anything is written.
    kwRet PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* target) override;
    kwRet UpdateHiddenSectors() override;
    kwRet SetGeometry(uint16_t heads, uint16_t sectorsPerTrack) override;
    // Relinks the clusters whose data the caller copied from the source
    // runs to the destination runs (SECTOR_RUN lists of whole clusters,
    // paired cluster by cluster; see RelinkCopiedRuns), shortens swap files
    // to 4096 bytes, then gives the volume newSize sectors within its limits
    // (FAT kind kept, clusters no larger). A destination in use by a cluster
    // that does not move gives ERR_MOVE_STALLED (713) before anything is
    // written; a size below the limits ERR_FAT_NO_SPACE, above them
    // ERR_RESIZE_TOO_LARGE, both before anything is written; inside them
    // the size is taken as the limits align it (to a cylinder boundary when
    // one lies within them). The volume is read again at the end, whatever
    // the result.
    kwRet Resize(uint32_t unused, uint32_t newSize, void* sourceRuns, void* destRuns) override;

    // Opens the volume from a boot record already parsed (in place of
    // sector 0): its FAT is read. ERR_FS_VERSION for a version other than 0.
    kwRet Init(const FAT_BOOT_RECORD& record);
    // Makes `record` and `fat` (owned from now on, even on failure) the
    // volume's layout, as a rewrite of its critical area leaves it. Nothing
    // is written.
    kwRet InstallBootRecord(const FAT_BOOT_RECORD& record, FAT_BLOCKS* fat);
    // The boot sector for `record` (null: the volume's own) built over the
    // 512 bytes in `sector` (unknown bytes are kept).
    kwRet BuildBootSector(uint8_t* sector, const FAT_BOOT_RECORD* record);
    // Writes the volume's boot sector, on FAT32 also its backup and FSInfo.
    kwRet WriteBootSector();
    // Writes the whole FAT to every copy (copy 0 last), then flushes. On
    // FAT32 the boot sector names a whole copy as the one to read while
    // another is written, and every copy alike (mirrored) at the end.
    kwRet WriteAllFats();

    // Protected update: while on, the partition's table entry has type 3Ch
    // and the FAT copies carry `marks` (FAT_MARK_*) in entry 0 and the real
    // type in entry 1, so that an interrupted change is recovered when the
    // disk is next scanned. Begin puts the marks on disk before the type;
    // End takes them off after the caller's last write, then gives the type
    // back (the FAT kind's type when the kind changed). A volume without a
    // table entry has nothing to mark. A failure keeps the marks.
    kwRet BeginProtectedUpdate(uint8_t marks);
    kwRet EndProtectedUpdate();
    // Adds `marks` to those of the protected update under way (one begun
    // for another purpose, e.g. the root put in a chain), on every FAT copy
    // and flushed, before the caller writes anything under them: the scan
    // then completes what the new marks stand for too. Nothing when no
    // update is on or the marks are there already.
    kwRet AddProtectedMarks(uint8_t marks);
    bool IsTypeSwitched() const { return typeSwitched_; }

    // Fixed budget: the volume grows into the partition's new room before a
    // cluster change (off unless a caller sets it). Move in progress: a
    // relocation is under way.
    void SetFixedBudget(bool on) { fixedBudget_ = on; }
    bool IsFixedBudget() const { return fixedBudget_; }
    void SetMoveInProgress(bool on) { moveInProgress_ = on; }
    bool IsMoveInProgress() const { return moveInProgress_; }

    // Links a free cluster after `last` (0: a new chain), marks it end of
    // chain and gives it back; ERR_FAT_NO_SPACE when none is free. The FAT
    // is changed in memory only.
    kwRet AppendCluster(uint32_t last, uint32_t* added);
    // Before a change: the FAT and every folder in memory.
    kwRet PrepareChange();
    // Writes what is held in memory (folders, FAT, FSInfo) and flushes.
    kwRet FlushState();
    // Forgets what is held in memory and reads the volume again.
    kwRet ReReadState();

    // The whole-volume folder cache, read on first use (with a move map:
    // see FAT_DIR_BLOCKS::ReadDirectory); null until then.
    kwRet LoadDirBlocks(MOVE_MAP* moves, FAT_DIR_BLOCKS** dirs);
    FAT_DIR_BLOCKS* GetDirBlocks() const { return dirBlocks_; }
    void DropDirBlocks();
    // The move map of a relocation, owned by the volume once set.
    MOVE_MAP* GetMoveMap() const { return moveMap_; }
    void SetMoveMap(MOVE_MAP* map);
    void SetRootCluster(uint32_t cluster) { boot_.rootCluster = cluster; }
    void ForgetFolders() { folders_.Drop(); }

    // The root's entries up to its end mark (the first entry that starts
    // with 0): every one with `all`, else those not deleted.
    kwRet CountRootEntries(uint32_t* count, bool all);
    // Counts over the data clusters.
    uint32_t CountBadClusters() const { return fat_ != nullptr ? fat_->CountBadClusters() : 0; }

    // One directory into the list; longNames: show long names where present.
    kwRet ReadDirList(DIRLIST* list, const char* path, uint32_t longNames);

    // Files (a path inside the volume, components separated by '\').
    kwRet OpenFile(const char* path, FAT_FILE_HANDLE** handle, uint8_t attribute);
    kwRet Read(FAT_FILE_HANDLE* handle, void* buffer, uint32_t count);
    kwRet Write(FAT_FILE_HANDLE* handle, const void* buffer, uint32_t count);
    kwRet SeekCluster(FAT_FILE_HANDLE* handle, uint32_t newPosition);
    kwRet SetFileSize(FAT_FILE_HANDLE* handle, uint32_t newSize);
    // The entry's write time and date and its access date from a Windows
    // file time, as local time in steps of two seconds (as listings read it
    // back); the entry is committed. ERR_BAD_ARGUMENT for a time FAT cannot
    // hold (before 1980 or past 2107).
    kwRet SetFileTime(FAT_FILE_HANDLE* handle, uint64_t fileTime);
    kwRet FlushEntry(FAT_FILE_HANDLE* handle);
    // Writes a written file's entry (size, first cluster, time) after its
    // data and FAT are on the disk, and flushes; nothing when unchanged.
    kwRet CommitFile(FAT_FILE_HANDLE* handle);
    kwRet FileCreate(const char* path, uint8_t attribute);
    kwRet FileDelete(const char* path, uint8_t attribute);
    kwRet FileRename(const char* oldPath, const char* newPath, uint8_t attribute);
    kwRet MkDir(const char* path) { return FileCreate(path, FAT_ATTR_DIRECTORY); }
    // A new file at `destination` with the source's attribute, bytes, write
    // date and time. ERR_FILE_EXISTS when the destination exists (left as
    // it is); any other failure removes the partial copy. Folders are not
    // copied (ERR_NOT_SUPPORTED).
    kwRet FileCopy(const char* source, const char* destination, uint8_t attribute);
    // Writes at the handle's position; a file that must grow takes its new
    // size in steps of FAT_GROW_STEP (and keeps it), so that a file written
    // a piece at a time is laid out in few runs. The entry is written back.
    kwRet WriteGrowing(FAT_FILE_HANDLE* handle, const void* buffer, uint32_t count);

    const FAT_BOOT_RECORD* GetBootRecord() const { return initialised_ ? &boot_ : nullptr; }
    FAT_BLOCKS* GetFat() const { return fat_; }
    bool IsInitialised() const { return initialised_; }
    bool IsReadOnly() const { return readOnly_ || diskReadOnly_ || damaged_; }
    bool IsDamaged() const { return damaged_; }
    void SetReadOnly(bool on) { readOnly_ = on; }

    // A directory by its first cluster (0: the root), read whole or only up
    // to its end mark.
    kwRet LoadDirectory(uint32_t cluster, FAT_DIRECTORY* dir, bool whole);
    // Finds a path's entry; attribute FAT_ATTR_DIRECTORY: it must be a folder.
    kwRet FindPath(const char* path, uint8_t attribute, FAT_FOUND* found);
    // The sector runs of the chain from `first`, at most `want` clusters.
    // ERR_FILE_READ when a link is broken or the chain meets itself; a chain
    // that ends early gives what it has (*got).
    kwRet ChainToRuns(uint32_t first, uint32_t want, SECTOR_RUN** runs, uint32_t* got);
    // Writes the changed FAT blocks to every copy (and FSInfo on FAT32).
    kwRet FlushFat();
    // Puts the volume's parameter block, as its boot sector holds it now,
    // into a boot-sector buffer; jump, OEM name, code and signature stay.
    kwRet BuildBootSector(uint8_t* buffer);

private:
    // 0 when the volume may be changed now (its chains checked once per
    // session); else why not.
    kwRet mayChange();
    kwRet resizeWithinLimits(uint32_t newSize);
    kwRet checkChains();
    kwRet claimChain(uint32_t first, STATE_MAP& owned);
    kwRet flushDisk();
    // The boot-sector copies other loaders keep, from the boot sector.
    kwRet refreshBootSectorFiles();
    kwRet writeFat(bool withFsInfo);
    kwRet growChain(FAT_FILE_HANDLE* handle, uint32_t clusters);
    kwRet shrinkChain(FAT_FILE_HANDLE* handle, uint32_t clusters);
    kwRet writeData(FAT_FILE_HANDLE* handle, const uint8_t* in, uint32_t count);
    kwRet zeroTail(FAT_FILE_HANDLE* handle, uint32_t from, uint32_t to);
    // A folder for a path walk, from the cache or read now.
    kwRet folderFor(uint32_t cluster, FAT_FOLDER** folder);
    kwRet readBootSector(uint8_t* sector);
    kwRet writeBootFields();
    kwRet loadFat();
    kwRet writeFatCopies(bool whole);
    kwRet writeActiveFat(int copy);
    kwRet writeFatsSwitched();
    uint8_t fatPartitionType() const;
    kwRet markBad(uint32_t sector, bool strict);
    kwRet updateFsInfo();
    kwRet mapDirectoryTree(STATE_MAP* meta, STATE_MAP* data, uint32_t flags);
    kwRet mapDirectory(FAT_DIRECTORY& dir, STATE_MAP* meta, STATE_MAP* data, uint32_t flags,
                       STATE_MAP& dirSeen, struct DirStack& stack);
    void markChain(STATE_MAP* map, uint32_t first, uint32_t sectors);
    kwRet openRoot(FAT_FILE_HANDLE* handle);
    kwRet ensureRuns(FAT_FILE_HANDLE* handle, uint32_t clusters);
    kwRet allocateCluster(uint32_t near, uint32_t* cluster);
    kwRet zeroCluster(uint32_t cluster);
    void freeChain(uint32_t first);
    kwRet chainClusters(uint32_t first, uint32_t limit, uint32_t** out, uint32_t* count);
    kwRet writeDirEntries(FAT_DIRECTORY& dir, uint32_t first, uint32_t count);
    kwRet growDirectory(uint32_t cluster);
    kwRet pickShortName(const FAT_DIRECTORY& dir, const char16_t* name, uint8_t* short11,
                        bool* needsLong);
    kwRet insertEntry(uint32_t parent, const char16_t* name, uint8_t* entry, FAT_FOUND* where);
    kwRet parentOf(const char* path, uint32_t* cluster, std::u16string* name);
    kwRet makeDirectoryCluster(uint32_t parent, const uint8_t* entry, uint32_t* cluster);
    kwRet removeEntry(const FAT_FOUND& found);
    // Finds the entry a delete or rename changes: refuses a missing path, an
    // unopened or read-only volume and the root.
    kwRet findToChange(const char* path, uint8_t attribute, FAT_FOUND* found);
    kwRet dropPieces(const FAT_FOUND& found);
    bool isBelow(uint32_t cluster, uint32_t ancestor);

    FAT_BOOT_RECORD boot_;
    FAT_BLOCKS* fat_ = nullptr;
    STATE_MAP seen_;
    uint8_t* sector_ = nullptr;
    bool initialised_ = false;
    bool readOnly_ = false;
    bool diskReadOnly_ = false;
    bool damaged_ = false;
    bool chainsChecked_ = false;
    bool fsInfoStale_ = false;
    bool fixedBudget_ = false;
    bool moveInProgress_ = false;
    bool typeSwitched_ = false;
    uint8_t savedType_ = 0;
    FAT_DIR_BLOCKS* dirBlocks_ = nullptr;
    MOVE_MAP* moveMap_ = nullptr;
    FAT_FOLDERS folders_; // dropped at every change and every Init
};

// The path inside the volume: a drive prefix ("C:" in "C:\x") is skipped. A
// ':' anywhere else is part of a name, which FAT refuses.
const char* FatVolumePath(const char* path);

// The step in which WriteGrowing makes a file longer.
inline constexpr uint32_t FAT_GROW_STEP = 0x800000;

// The label of a FAT partition read from its boot sector and root folder
// (the FAT is not read); at least 12 bytes.
kwRet fatGetVolumeLabel(PARTITION_INFO* pi, char* buffer);

// The date and time words of a directory entry for the engine's records.
uint16_t FatEncodeDate(const KW_DATE& date);
uint16_t FatEncodeTime(const KW_TIME& time);
void FatDecodeDate(uint16_t word, KW_DATE* date);
void FatDecodeTime(uint16_t word, KW_TIME* time);
// Sets an entry's write time and date and its access date to now.
void FatStampWrite(uint8_t* entry);
// A Windows file time as local DOS date and time words; false for a time
// before 1980 or past 2107.
bool FatWordsFromFileTime(uint64_t fileTime, uint16_t* date, uint16_t* time);
