// Finding partition records across all disks: by drive letter, by serial
// number, the partitions of a NetWare mirror group, and a partition's boot
// sector.
#pragma once

#include "engine/disk/partition_info.h"

#include <cstdint>
#include <span>
#include <string>

// The record with the drive letter (either case), or null.
PARTITION_INFO* FindPiByDriveLetter(char letter);

// With *pi set: reports its 1-based disk and partition positions. Without:
// finds the first record whose serial is the one given. False when none.
bool FindPiBySerial(PARTITION_INFO** pi, uint32_t serial, uint32_t* diskNumber,
                    uint32_t* partitionNumber);

// The partitions of a NetWare partition's mirror group, from the sixteen
// serials of its newest mirror header. GetNextVolumePi walks them with *index
// (below 16, else 1415 and the index reset); a serial of 0 ends the walk
// with no record. GetFirstVolumePi gives the first one, 1419 when none.
kwRet GetNextVolumePi(PARTITION_INFO* netware, PARTITION_INFO** out, uint32_t* index);
kwRet GetFirstVolumePi(PARTITION_INFO* netware, PARTITION_INFO** out);

// Reads a partition's boot sector (FAT, FAT32, NTFS, HPFS; 101 for others)
// into 512 bytes; a null record means the active primary partition of the
// first disk. FAT32 falls back to its backup at sector 6.
kwRet ReadBootSect(PARTITION_INFO* pi, uint8_t* buffer);

// The boot-sector dump: the BIOS parameter block of a FAT, FAT32, NTFS or
// HPFS boot sector as numbered lines, with its heading for the partition.
std::string BootSectorDump(const PARTITION_INFO& pi, std::span<const uint8_t> sector);
// Writes the dump of every such partition of every disk to the debug log
// (engine start).
void LogBootSectors();
