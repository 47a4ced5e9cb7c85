// What the disk library asks of the systems installed on the disks while it
// opens: whether a Windows on them was hibernated (its partitions must not be
// changed then), where Windows 9x keeps its folders, and which partition
// holds the running Windows.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"

#include <string>

// A Windows 2000 hibernation file ("hibr") or a Windows Millennium one
// ("JSYP") was found: the disks are not opened.
inline constexpr kwRet ERR_HIBERNATED_W2K = 98;
inline constexpr kwRet ERR_HIBERNATED_WINME = 99;
// The Windows folder lies on no partition the engine knows.
inline constexpr kwRet ERR_NO_WINDOWS_PARTITION = 183;

// Looks through every FAT, FAT32 and NTFS partition of every disk for a
// hibernation file with its signature: 98, 99, or 0 when none was found.
kwRet CheckForHibernate();

// The WinDir, WinBootDir and HostWinBootDir values of the "\msdos.sys" of a
// primary FAT or FAT32 partition (null outputs are not looked for; outputs
// start empty). 4 for any other partition; a missing file leaves them empty.
kwRet ReadMsdosSysDirs(PARTITION_INFO* pi, std::string* winDir, std::string* winBootDir,
                       std::string* hostWinBootDir);
// The same over the text of such a file: a key counts only where no letter
// stands before it, so that HostWinBootDir= is never taken for WinBootDir=.
void ParseMsdosSysDirs(const std::string& text, std::string* winDir, std::string* winBootDir,
                       std::string* hostWinBootDir);

// Gives flag 0x40 to the first partition, in disk order, whose drive letter
// is the first character of the Windows folder: 0, or 183 when none has it.
// Linux has no Windows folder: the probe answers an empty one, and nothing
// is marked.
kwRet SetWindowsPartition();
kwRet SetWindowsPartitionFor(const std::string& windowsDirectory);
// The running Windows' folder; empty on this host.
std::string kwGetWindowsDirectory();
// Asked by engine start: mark the Windows partition when the library opens.
void kwMarkWindowsPartitionOnOpen(bool on);
bool kwMarkWindowsPartitionOnOpenSet();

// The parts of one table sector the disk scan keeps: the signature word
// (0xF6F6 when the read left it unset), and with 0xAA55 the byte at 394, the
// 8 bytes at 395 and the four entries; sector 0 also gives the disk's
// signature to the disk record. 715 without a sector buffer; read errors but
// 57 are returned.
struct PARTITION_SECTOR_RECORD {
    uint16_t signature = 0;
    uint8_t status = 0;
    uint8_t name[8] = {};
    uint8_t entries[64] = {};
};
kwRet ReadPartitionSector(DISK_RECORD* disk, uint32_t sector, PARTITION_SECTOR_RECORD* record);

struct CHS_RECORD {
    uint32_t cylinder = 0;
    uint32_t head = 0;
    uint32_t sector = 0;
};
kwRet LbaToChsRecord(uint32_t sector, const DISK_RECORD* disk, CHS_RECORD* chs);

// Tells the running system that a partition changed size. Linux has no
// view of a volume's geometry that the engine could update: a partition
// with a drive letter from the host (one Linux has mounted) is recorded as
// needing a restart, as Windows does when it does not take the new
// geometry; a partition without a letter needs nothing.
kwRet NotifyPartitionSize(PARTITION_INFO* pi, const uint8_t* bootSector, bool* restart,
                          bool strict);
// After a resize or move: reads the partition's new boot sector and notifies
// the system (new sectors 0: nothing to tell), then, for a move (operation
// 10, where old and new are the starts), lets the LILO loaders on every disk
// follow the partition. *changed ends 0 for a partition without a drive
// letter.
kwRet NotifyPartitionResized(uint32_t operation, PARTITION_INFO* pi, uint32_t* changed,
                             uint32_t oldSectors, uint32_t newSectors);
