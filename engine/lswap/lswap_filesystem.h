// LSWAP_FILESYSTEM: the file system of a Linux swap partition. A swap area
// holds no files; the object owns the copy of the header page (the first
// 4096 bytes of the partition) and knows from it the version, the number of
// pages and the bad pages. Only the header page is worth copying.
//
// Version 2 keeps the Linux layout: version at 1024, last page at 1028,
// bad-page count at 1032, UUID at 1036, label at 1052, the bad-page list from
// 1536; "SWAPSPACE2" at 4086. Version 1 is a bitmap of usable pages ended by
// "SWAP-SPACE".
#pragma once

#include "engine/fs/filesystem.h"

#include <array>
#include <cstdint>

inline constexpr uint32_t LSWAP_PAGE_BYTES = 4096;
inline constexpr uint32_t LSWAP_SECTORS_PER_PAGE = 8;
// Pages a version-1 bitmap can describe (the bits of its 4086 bytes, rounded
// down to whole words).
inline constexpr uint32_t LSWAP_V1_MAX_PAGES = 32688;
// The largest version-2 area the engine formats.
inline constexpr uint32_t LSWAP_V2_MAX_PAGES = 0x7FFFE;
// Entries of the version-2 bad-page list (from 1536 up to the signature).
inline constexpr uint32_t LSWAP_V2_MAX_BAD = (4086 - 1536) / 4;

class LSWAP_FILESYSTEM : public FILESYSTEM {
public:
    explicit LSWAP_FILESYSTEM(PARTITION_INFO* pi) : FILESYSTEM(pi) {}
    ~LSWAP_FILESYSTEM() override = default;

    kwRet Init() override { return Init(false, false); }
    // Reads the header, or with `format` makes a new one in memory (version 2
    // when `version2`) that Uninit writes.
    kwRet Init(bool format, bool version2);
    kwRet Uninit() override;
    kwRet AddBadSectors(SECT_LIST* list) override;
    kwRet ClearBadSectors() override;
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* target) override;
    kwRet SetBadSectors(SECT_LIST* list) override;
    kwRet GetBadSectors(SECT_LIST* list) override;
    kwRet GetVolumeLabel(char* buffer) override;

    bool IsLoaded() const { return (state_ & kLoaded) != 0; }
    bool IsVersion1() const;
    uint32_t PageCount() const { return pageCount_; }
    // Bad pages as the header records them.
    uint32_t BadPageCount() const;
    // Sectors left for swapping: the area less the header page and the bad
    // pages.
    uint32_t UsableSectors() const;

private:
    static constexpr uint32_t kLoaded = 0x1;
    static constexpr uint32_t kChanged = 0x2;

    bool pageUsable(uint32_t page) const;
    void setPageUsable(uint32_t page, bool usable);
    kwRet readHeader();

    uint32_t state_ = 0;
    uint32_t pageCount_ = 0;
    std::array<uint8_t, LSWAP_PAGE_BYTES> header_ = {};
};

// The partition's swap signature as its label (10 characters and a NUL);
// reads the header only when the record's label does not hold it yet.
kwRet lswapGetVolumeLabel(PARTITION_INFO* pi, char* buffer);

// The free sectors of engine start: every usable sector of the area.
kwRet lswapEstimateFreeSects(PARTITION_INFO* pi, uint32_t* freeSects);
