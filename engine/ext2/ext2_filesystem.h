// EXT2_FILESYSTEM: the file system of an ext2 partition, read through
// libext2fs over the engine's own I/O channel. It owns the library's handle
// of the open volume and gives the engine the used-block map, the bad-block
// list, the label, the free-space estimate and the sector runs of a file.
// The volume is opened read-only; only a bad-block change reopens it for
// writing. A volume with features the engine does not know (a journal,
// extents, ...) is refused with 510 and then maps as all sectors used, so
// it is copied sector by sector and never misread.
#pragma once

#include "engine/fs/filesystem.h"

#include <cstdint>

struct struct_ext2_filsys;

// Turns a libext2fs code into the engine's; engine codes pass unchanged.
kwRet MapExt2Error(long code);

class EXT2_FILESYSTEM : public FILESYSTEM {
public:
    explicit EXT2_FILESYSTEM(PARTITION_INFO* pi) : FILESYSTEM(pi) {}
    ~EXT2_FILESYSTEM() override;

    kwRet Init() override;
    kwRet Uninit() override;
    kwRet AddBadSectors(SECT_LIST* list) override;
    kwRet ClearBadSectors() override;
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* target) override;
    kwRet SetBadSectors(SECT_LIST* list) override;
    kwRet GetBadSectors(SECT_LIST* list) override;
    SECTOR_RUN* ListClusters(const char* path) override;
    kwRet GetVolumeLabel(char* buffer) override;

    bool IsOpen() const { return volume_ != nullptr; }
    bool IsWritable() const { return writable_; }
    uint32_t SectorsPerBlock() const { return sectorsPerBlock_; }
    uint32_t BlockCount() const { return blockCount_; }
    uint32_t FreeBlocks() const;

private:
    kwRet open(bool writable);
    kwRet writeBadBlocks(SECT_LIST* list);

    struct_ext2_filsys* volume_ = nullptr;
    bool writable_ = false;
    uint32_t sectorsPerBlock_ = 0;
    uint32_t blockCount_ = 0;
};

// The label of an ext2-kind partition (the superblock's 16-byte name, cut at
// its first NUL and trailing blanks) into a buffer of at least 17 bytes.
// Read from the superblock itself, so refused volumes have theirs too.
kwRet ext2GetVolumeLabel(PARTITION_INFO* pi, char* buffer);

// The free sectors of engine start: the free blocks of the volume.
kwRet ext2EstimateFreeSects(PARTITION_INFO* pi, uint32_t* freeSects);
