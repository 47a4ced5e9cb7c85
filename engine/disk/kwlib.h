// The disk library: the engine's only path to sectors. It opens the disks of
// the platform's disk driver, keeps the list of disk records, reads and
// writes physical sectors, serves the image pseudo-disk through the installed
// read hook, and hands out partition handles for partition-relative I/O and
// volume locks.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Largest run of sectors sent to the driver in one request.
inline constexpr uint32_t KW_MAX_REQUEST_SECTORS = 10000;
// Size of the partition-handle table.
inline constexpr uint32_t KW_MAX_HANDLES = 8;

using kwhandle = uint32_t;
using KWI_PHY_READ = kwRet (*)(uint32_t sector, void* buffer, uint32_t count);

// Library.
kwRet kwLibOpen();
kwRet kwLibClose();
bool kwLibIsOpen();
// One line for each disk the last kwLibOpen could not open ("PATH: reason").
std::vector<std::string> kwSkippedDisks();
kwRet kwGetDiskList(DISK_RECORD** first);
kwRet kwGetDiskListEx(DISK_RECORD** first, uint32_t ignored);
kwRet AddDiskRecord(DISK_RECORD** disk, uint32_t* position);
kwRet RemoveDiskRecord(DISK_RECORD* disk);
void FreeDiskList(DISK_RECORD* first);

// The image pseudo-disk that owns the partition records of an open image.
// It is never in the disk list; its reads go to the read hook only and it
// cannot be written.
DISK_RECORD* kwGetImageDisk();

// Physical I/O in 512-byte sectors at absolute sector numbers.
kwRet phyRead(DISK_RECORD* disk, uint32_t sector, void* buffer, uint32_t count);
kwRet phyWrite(DISK_RECORD* disk, uint32_t sector, const void* buffer, uint32_t count);
// Returns once the disk's earlier writes are on the medium: what must come
// after them on disk is written after this.
kwRet phyFlush(DISK_RECORD* disk);
void kwSetUseKwiPhyRead(uint8_t on);
void kwSetKwiPhyRead(KWI_PHY_READ hook);
kwRet TestReadSector(DISK_RECORD* disk, uint32_t sector);

// Partition handles.
kwRet kwLogOpen(PARTITION_INFO* pi, kwhandle* handle);
kwRet kwLogClose(kwhandle handle);
kwRet kwLogGetPi(kwhandle handle, PARTITION_INFO** pi);
kwRet kwLogRead(kwhandle handle, uint32_t sector, void* buffer, uint32_t count);
kwRet kwLogWrite(kwhandle handle, uint32_t sector, const void* buffer, uint32_t count);
kwRet kwLogLock(kwhandle handle);
kwRet kwLogUnlock(kwhandle handle, uint8_t quarantine);
// Slots of the handle table no one holds.
uint32_t kwLogFreeHandles();

// What the disk library needs of the reboot manager; both may be null.
struct KW_RESTART_HOOKS {
    bool (*hasChanges)() = nullptr;
    void (*recordUnsafe)(uint16_t diskNumber, uint32_t startSect) = nullptr;
};
void kwSetRestartHooks(const KW_RESTART_HOOKS& hooks);

// What the disk layer asks of the file systems above it, installed at engine
// start. A null entry answers as a file system that is not there: NTFS labels
// stay empty, no NetWare volume is registered, NetWare records carry no
// segment list.
struct KW_FS_HOOKS {
    // The volume name of an NTFS partition as UTF-16LE text (at most 256
    // units) into a 512-byte buffer; non-zero when it cannot be had.
    kwRet (*ntfsVolumeLabel)(PARTITION_INFO* pi, uint8_t* buffer) = nullptr;
    // The volume name of an ext2-kind partition into a buffer of at least 17
    // bytes; non-zero when it cannot be had.
    kwRet (*ext2VolumeLabel)(PARTITION_INFO* pi, char* buffer) = nullptr;
    // Registers the NetWare volumes of every NetWare partition of every disk.
    kwRet (*registerNetWareVolumes)() = nullptr;
    // The segment information of a NetWare partition; *list must be null and
    // stays null on failure. deleteSegmentList frees it and clears *list.
    kwRet (*createSegmentList)(PARTITION_INFO* pi, void** list) = nullptr;
    void (*deleteSegmentList)(void** list) = nullptr;
    // The newest mirror header (96 bytes) of a NetWare partition.
    kwRet (*readMirrorHeader)(PARTITION_INFO* pi, uint8_t* header) = nullptr;
    // The first length bytes of the newest hot-fix header of a NetWare
    // partition (zeros when it has none).
    kwRet (*readHotfixHeader)(PARTITION_INFO* pi, uint8_t* buffer, uint32_t length) = nullptr;
    // The first 128 bytes of a NetWare signature sector (zeros when sector 0
    // carries no signature).
    kwRet (*getPartitionSector)(PARTITION_INFO* pi, uint8_t* record) = nullptr;
    // Whether the first segment entry of a NetWare partition is empty and
    // whether any of its volumes passes the volume test.
    kwRet (*netWareVolumeState)(PARTITION_INFO* pi, bool* firstEntryEmpty,
                                bool* volumesUsable) = nullptr;
    // Whether every cluster of a FAT partition from the one that holds
    // partition sector `from` up to (not including) the one that would hold
    // sector `to` is free (*free); non-zero when the volume cannot be read.
    kwRet (*fatClustersFree)(PARTITION_INFO* pi, uint32_t from, uint32_t to, bool* free) = nullptr;
    // Completes a move of clusters inside a FAT partition that was cut off
    // (see fat_recovery.h); non-zero when the volume cannot be read or
    // written.
    kwRet (*completeFatMove)(PARTITION_INFO* pi) = nullptr;
    // At most maxBytes of a file inside a partition's own file system (a
    // path such as "\hiberfil.sys"), read through the engine's file objects;
    // non-zero (504 and others) when it cannot be opened or read.
    kwRet (*readPartitionFile)(PARTITION_INFO* pi, const char* path, uint32_t maxBytes,
                               std::string* bytes) = nullptr;
};
void kwSetFsHooks(const KW_FS_HOOKS& hooks);
const KW_FS_HOOKS& kwGetFsHooks();

// OS kinds (one bit each).
inline constexpr uint32_t KW_OS_DOS71 = 64;
inline constexpr uint32_t KW_OS_WIN95B = 512;
inline constexpr uint32_t KW_OS_WIN98 = 1024;
inline constexpr uint32_t KW_OS_WINME = 2048;
inline constexpr uint32_t KW_OS_NT3 = 0x10000;
inline constexpr uint32_t KW_OS_NT4 = 0x20000;
inline constexpr uint32_t KW_OS_NT5 = 0x40000;
inline constexpr uint32_t KW_OS_NT_KINDS = KW_OS_NT3 | KW_OS_NT4 | KW_OS_NT5;
// The host answers as the DOS 7.10 kind, under which every partition change
// that the running system would not see is recorded by the reboot manager
// and summarised; the engine never restarts the machine.
uint32_t kwGetOsKind();

// Partition operations reported to the reboot manager.
inline constexpr uint32_t KW_OP_CREATED = 3;
inline constexpr uint32_t KW_OP_CREATED_LOGICAL = 4;
inline constexpr uint32_t KW_OP_DELETED = 5;
inline constexpr uint32_t KW_OP_UNSAFE = 9;
inline constexpr uint32_t KW_OP_MOVED = 11;
inline constexpr uint32_t KW_OP_HIDDEN = 16;
inline constexpr uint32_t KW_OP_UNHIDDEN = 17;
inline constexpr uint32_t KW_OP_TYPE_CHANGED = 100;
// Records a change that needs a restart (disk 1, sector 1) unless the host is
// an NT kind and bit 0 of flags is clear.
void kwRequestRestart(uint32_t flags);
// Routes a partition operation to the reboot manager (nothing under NT kinds).
void kwPartitionChanged(uint32_t operation, const PARTITION_INFO* pi, uint32_t argument);

// Utilities.
kwRet OsErrorToKwRet(uint32_t hostError);
bool IsDriveLetter(char c);
// The program's folder as a drive path with its trailing "\" (empty when it
// cannot be had or does not fit); the length of the text.
uint32_t kwGetLaunchPath(char* buffer, uint32_t size);
// True with /MUP ("Allow moves on unknown partitions", given or implied) or
// for the kinds the engine can move.
bool kwIsMovableKind(const PARTITION_INFO* pi);
void kwImplyMup();
bool kwIsMupSet();
[[noreturn]] void kwReboot(int exitCode);

struct KW_DATE {
    uint8_t day = 0;
    uint8_t month = 0;
    uint16_t year = 0;
    uint8_t dayOfWeek = 0;
};
struct KW_TIME {
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t hundredths = 0;
};
kwRet kwGetDate(KW_DATE* date);
kwRet kwGetTime(KW_TIME* time);
// From seconds since 1970 (UTC) to local DOS date and time: years since 1980,
// seconds in steps of two.
kwRet FileTimeToKwDate(uint32_t seconds, KW_DATE* date);
kwRet FileTimeToKwTime(uint32_t seconds, KW_TIME* time);

// Geometry and the first partition scan of one disk.
kwRet InitDiskRecord(uint32_t unit, uint32_t* diskCounter);
void AdjustDiskGeometry(DISK_RECORD* disk);
kwRet LbaToChs(uint32_t sector, const DISK_RECORD* disk, uint32_t* cylinder, uint32_t* head,
               uint32_t* sectorOut);
uint32_t RoundToCylinder(const DISK_RECORD* disk, uint32_t sector, uint32_t mode);

// Disk overlays (EZ-Drive, Disk Manager) recorded in the disk's flags.
kwRet SetEzDriveInstalledFlag(DISK_RECORD* disk);
kwRet SetDiskManagerInstalledFlag(DISK_RECORD* disk);
bool HasPartitionType(std::span<const uint8_t> mbr, uint8_t type);
// True when the sector carries the EZ-Drive signature; bootFlag from byte 90.
bool FindEzDriveSignature(std::span<const uint8_t> sector, bool* bootFlag);
// The Disk Manager flags that a master boot record shows.
uint32_t DiskManagerFlags(std::span<const uint8_t> mbr);

// Partition enumeration.
kwRet ScanPartitionTables(DISK_RECORD* disk, bool ignoreErrors);
// Gives each partition that Linux has mounted the drive table's letter of its
// mount point (record flag PI_HOST_LETTER); the others keep '*'. Having no
// letters at all is normal.
kwRet DriveLetters();
kwRet BadMbr(DISK_RECORD* disk, kwRet error, bool quiet);
kwRet ReserveDisk(DISK_RECORD* disk);

// The disk driver's source behind a disk record (null for the image disk or
// after close). Writable reports whether its writes can succeed.
bool kwDiskWritable(const DISK_RECORD* disk);
// True when Linux uses any sector of the partition (a file system mounted
// over it, the program's own volume), when its mounts cannot be told, or
// when it took a drive letter: such a partition is never written.
bool kwPartitionMounted(const PARTITION_INFO* pi);
