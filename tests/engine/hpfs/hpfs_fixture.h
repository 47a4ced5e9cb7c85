// HPFS volumes for the tests, written from the volume's own structures (no
// Debian tool makes one): boot sector, superblock, spare block, a bitmap
// list with the band bitmaps, the directory-band bitmap and the bad-sector
// list. Sectors 0 to 63 and every bitmap are in use; the rest is free but
// for the runs asked for and the bad sectors (in use, as HPFS keeps them).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace kwtest {

struct HpfsLayout {
    uint32_t sectors = 40000;
    std::vector<std::pair<uint32_t, uint32_t>> usedRuns; // first, count
    std::vector<uint32_t> badSectors;                    // at most 511
    uint32_t serial = 0x1234ABCD;
    const char* label = "KWHPFS     "; // 11 characters
};

inline constexpr uint32_t kHpfsListSector = 20;
inline constexpr uint32_t kHpfsDirBandBitmap = 24;
inline constexpr uint32_t kHpfsBadList = 28;
inline constexpr uint32_t kHpfsFirstBitmap = 64;

std::vector<uint8_t> MakeHpfsVolume(const HpfsLayout& layout);

} // namespace kwtest
