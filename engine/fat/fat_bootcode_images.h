// The built-in FAT boot code, assembled from engine/fat/bootcode/*.asm by
// scripts/gen-fat-bootcode.py. Each image is whole sectors of 512 bytes with
// the parameter block left zero (the volume's own goes there) and 55AAh at
// the end of every sector:
//   FAT16_*  one boot sector for FAT12 and FAT16 volumes (OEM "MSWIN4.0");
//   FAT32_*  reserved sectors 0-2 of FAT32 volumes (OEM "MSWIN4.1"), where
//            sector 1 is FSInfo's and stays as the volume has it;
//   FAT32_NTLDR_EXTRA  reserved sector 12, where the NTLDR code goes on.
// IO.SYS code loads the loader's first four sectors at 0070:0000 and enters
// at 0070:0200; NTLDR code loads the whole file at 2000:0000 and enters
// there. A missing loader or a disk error is shown and waits for a key.
#pragma once

#include <cstdint>

namespace kw::fat {

extern const uint8_t FAT16_IOSYS_BOOT[512];
extern const uint8_t FAT16_NTLDR_BOOT[512];
extern const uint8_t FAT32_IOSYS_BOOT[1536];
extern const uint8_t FAT32_NTLDR_BOOT[1536];
extern const uint8_t FAT32_NTLDR_EXTRA[512];

} // namespace kw::fat
