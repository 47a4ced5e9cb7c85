// The free-space bitmaps of an HPFS volume, loaded for the used-sector
// estimate of engine start: the boot sector, the superblock and spare block,
// the bitmap of every band of 16384 sectors and the directory-band bitmap.
// One set of buffers for the process; the estimate releases them.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <span>

struct PARTITION_INFO;

namespace kw::hpfs {

inline constexpr std::uint32_t kSectorsPerBand = 16384;
inline constexpr std::uint32_t kBandBitmapBytes = 2048;

// Superblock and boot-sector fields the loader reads.
struct HPFS_SUPERBLOCK {
    std::uint32_t sectorsOnVolume = 0;     // offset 16
    std::uint32_t bitmapListSector = 0;    // offset 24
    std::uint32_t dirBandSectors = 0;      // offset 48
    std::uint32_t dirBandBitmapSector = 0; // offset 60
    static HPFS_SUPERBLOCK parse(std::span<const std::uint8_t> sector);
};

// What a load holds; the spans are empty when nothing is loaded.
struct HPFS_BITMAPS_VIEW {
    std::span<const std::uint8_t> bootSector;
    HPFS_SUPERBLOCK superBlock;
    std::span<const std::uint8_t> bandBitmaps; // bands x 2048 bytes, band order
    std::span<const std::uint8_t> dirBandBitmap;
    std::uint32_t bands = 0;
    std::uint32_t sectorsOnVolume = 0; // limited to the partition's size
};

// Loads the bitmaps of the partition. 0, or 6 (no partition), 1003 (a read
// failed or no memory), 1041 (superblock larger than the boot sector says),
// 102 (the boot sector is not HPFS), a handle failure or a progress stop.
// A failure leaves nothing loaded.
kwRet HpfsLoadBitmaps(PARTITION_INFO* pi);
void HpfsReleaseBitmaps();
HPFS_BITMAPS_VIEW HpfsLoaded();

// Checks the loaded boot sector: 0, or 102 unless its signature byte (offset
// 38) is 28h or 29h and one of its sector totals is not 0. Keeps the serial
// and label it holds.
kwRet CheckHpfsBootSector();
std::uint32_t HpfsBootSerial();
const char* HpfsBootLabel();

// The free sectors of the partition's HPFS volume (the estimate of engine
// start); may raise the record's limit base.
kwRet EstimateHpfsFree(PARTITION_INFO* pi, std::uint32_t* freeSects);

} // namespace kw::hpfs
