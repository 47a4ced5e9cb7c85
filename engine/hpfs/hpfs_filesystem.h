// HPFS_FILESYSTEM: what the engine knows of an HPFS volume without reading
// its folders: the superblock (checked by its signature), the spare block,
// the free-space bitmap of every band (a set bit is a free sector) and the
// bad-sector list, so that only used sectors are copied. A volume whose
// superblock cannot be read or is not HPFS fails: it is never mapped empty.
#pragma once

#include "engine/fs/filesystem.h"

#include <array>
#include <cstdint>

inline constexpr uint32_t HPFS_SUPER_MAGIC1 = 0xF995E849;
inline constexpr uint32_t HPFS_SUPER_MAGIC2 = 0xFA53E9C5;

class HPFS_FILESYSTEM : public FILESYSTEM {
public:
    explicit HPFS_FILESYSTEM(PARTITION_INFO* pi);
    ~HPFS_FILESYSTEM() override = default;

    // The result of reading the superblock and spare block.
    kwRet Init() override { return loaded_; }
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet GetBadSectors(SECT_LIST* list) override;
    uint32_t GetSerialNumber() override;
    kwRet GetVolumeLabel(char* buffer) override;

    // Sectors of the volume: the superblock's total, cut at the partition.
    uint32_t TotalSectors() const;
    // Marks count sectors from first in use (or free) in the band bitmaps;
    // 967 when first is at or above the total, a count past it is cut.
    kwRet MarkSectors(uint32_t first, uint32_t count, bool used);

private:
    // Walks the bands: use(band, bitmap sector) for each, in order.
    template <class Use> kwRet forEachBand(Use use);

    kwRet loaded_ = KW_OK;
    std::array<uint8_t, 512> super_ = {};
    std::array<uint8_t, 512> spare_ = {};
};
