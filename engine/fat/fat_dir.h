// FAT directories: the 32-byte entry record, one directory held in memory
// with the sector behind each of its 512-byte pieces, and the walk over its
// entries that pairs every short entry with its long name. A directory is
// bounded (65,536 entries, as the format allows): a longer cluster chain is a
// loop and fails that directory only.
#pragma once

#include "engine/core/kwret.h"
#include "engine/fat/fat_names.h"

#include <cstdint>
#include <span>

inline constexpr uint32_t FAT_DIR_ENTRY_SIZE = 32;
inline constexpr uint32_t FAT_MAX_DIR_ENTRIES = 65536;

inline constexpr uint8_t FAT_ATTR_READONLY = 0x01;
inline constexpr uint8_t FAT_ATTR_HIDDEN = 0x02;
inline constexpr uint8_t FAT_ATTR_SYSTEM = 0x04;
inline constexpr uint8_t FAT_ATTR_VOLUME = 0x08;
inline constexpr uint8_t FAT_ATTR_DIRECTORY = 0x10;
inline constexpr uint8_t FAT_ATTR_ARCHIVE = 0x20;

// Entry offsets.
enum FAT_DIR_OFFSET : uint32_t {
    FDE_NAME = 0,
    FDE_ATTR = 11,
    FDE_CASE = 12,
    FDE_CTIME_MS = 13,
    FDE_CTIME = 14,
    FDE_CDATE = 16,
    FDE_ADATE = 18,
    FDE_CLUSTER_HIGH = 20,
    FDE_WTIME = 22,
    FDE_WDATE = 24,
    FDE_CLUSTER_LOW = 26,
    FDE_SIZE = 28,
};

// One parsed short entry.
struct FAT_DIR_ENTRY {
    uint8_t name[11] = {};
    uint8_t attributes = 0;
    uint8_t caseFlags = 0;
    uint32_t firstCluster = 0;
    uint32_t size = 0;
    uint16_t writeTime = 0;
    uint16_t writeDate = 0;

    static FAT_DIR_ENTRY Parse(std::span<const uint8_t, FAT_DIR_ENTRY_SIZE> raw, bool fat32);
    bool IsDirectory() const { return (attributes & FAT_ATTR_DIRECTORY) != 0; }
    bool IsVolumeLabel() const { return (attributes & FAT_ATTR_VOLUME) != 0; }
    bool IsDot() const { return name[0] == '.'; }
};

// One directory's bytes and, for each 512-byte piece, its sector in the
// partition. Owns its buffers.
class FAT_DIRECTORY {
public:
    FAT_DIRECTORY() = default;
    ~FAT_DIRECTORY();
    FAT_DIRECTORY(const FAT_DIRECTORY&) = delete;
    FAT_DIRECTORY& operator=(const FAT_DIRECTORY&) = delete;

    // Room for `sectors` sectors (kept when already large enough).
    kwRet Reserve(uint32_t sectors);
    uint8_t* SectorData(uint32_t i) { return bytes_ + i * 512; }
    void SetSector(uint32_t i, uint32_t sector) { sectors_[i] = sector; }
    void SetCount(uint32_t sectors, uint32_t cluster) {
        count_ = sectors;
        cluster_ = cluster;
    }

    uint32_t EntryCount() const { return count_ * 16; }
    uint8_t* Entry(uint32_t index) { return bytes_ + index * FAT_DIR_ENTRY_SIZE; }
    const uint8_t* Entry(uint32_t index) const { return bytes_ + index * FAT_DIR_ENTRY_SIZE; }
    // The partition sector that holds the entry.
    uint32_t SectorOf(uint32_t index) const { return sectors_[index / 16]; }
    uint32_t SectorCount() const { return count_; }
    // The directory's first cluster; 0 for the fixed root.
    uint32_t Cluster() const { return cluster_; }

private:
    uint8_t* bytes_ = nullptr;
    uint32_t* sectors_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t count_ = 0;
    uint32_t cluster_ = 0;
};

// One in-use short entry (file, directory or label) with its long name.
struct FAT_DIR_ITEM {
    uint32_t index = 0;      // of the short entry
    uint32_t firstIndex = 0; // of its first long-name piece, or index
    bool hasLongName = false;
    char16_t longName[LFN_MAX_CHARS + 1] = {};
    FAT_DIR_ENTRY entry;
};

// Walks a directory's entries in order up to its end mark.
class FAT_DIR_WALK {
public:
    FAT_DIR_WALK(const FAT_DIRECTORY& dir, bool fat32) : dir_(dir), fat32_(fat32) {}
    // False at the end of the directory.
    bool Next(FAT_DIR_ITEM* item);

private:
    const FAT_DIRECTORY& dir_;
    bool fat32_;
    uint32_t at_ = 0;
    LFN_COLLECTOR lfn_;
};
