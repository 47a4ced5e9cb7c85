// The boot code of FAT volumes: the built-in boot sectors for the loaders
// IO.SYS and NTLDR, putting them in place with the volume's own parameters,
// the boot-sector backup file "\BOOTSECT.F16", and the copies of the boot
// sector that other boot loaders keep as files.
#pragma once

#include "engine/core/kwret.h"

#include <cstddef>
#include <cstdint>

class FAT_FILESYSTEM;

// 1 when the pattern occurs at a start from 0 up to, not including,
// length - patternLength; else 0.
int FindInBuffer(const uint8_t* buffer, std::size_t length, const void* pattern,
                 std::size_t patternLength);
// Whether the first bytes-per-sector bytes of the buffer name the loader.
int NamesNtldr(FAT_FILESYSTEM* fs, const uint8_t* buffer);
int NamesIoSys(FAT_FILESYSTEM* fs, const uint8_t* buffer);

// Puts the built-in boot code for the loader the buffer names over it (one
// sector for FAT12/16, sectors 0-2 for FAT32, where the sector that holds
// FSInfo keeps what it has) and then the volume's parameters. For FAT12/16
// with useBackup, a "\BOOTSECT.F16" that names the same loader is the code
// taken instead. A buffer that names neither loader is left alone (0).
kwRet ApplyBootCodeTemplate(FAT_FILESYSTEM* fs, uint8_t* boot, bool useBackup);
// Rewrites the volume's boot code in place (FAT32 with NTLDR: also the extra
// code in reserved sector 12 when that sector is free).
kwRet RewriteBootCode(FAT_FILESYSTEM* fs);
// Saves the boot sector to "\BOOTSECT.F16" in the root (created with
// attributes 27h when missing).
kwRet BackupBootSector(FAT_FILESYSTEM* fs);
kwRet SaveBootSectorFile(FAT_FILESYSTEM* fs, const uint8_t* sector);
kwRet ReadBootSectorFile(FAT_FILESYSTEM* fs, uint8_t* sector);
// Puts the volume's current parameters into the boot-sector copies that
// other loaders keep (boot.os2, boot.dos, bootsect.dat, bootsect.dos,
// bootsect.w40); missing or short files are passed over.
kwRet UpdateBootSectorFiles(FAT_FILESYSTEM* fs);

// The FAT32 reserved sector that holds the NTLDR code's second part.
inline constexpr uint32_t FAT32_NTLDR_EXTRA_SECTOR = 12;
