// EA_FILE: one OS/2 extended-attribute file opened for a re-lay: its
// directory entry (through a file handle), its cluster chain, and the bytes
// of its header and handle table (the file's first base-0 clusters), all
// checked when read.
//
// Layout: the header is the file's first sector; its 16-bit words from
// byte 32 are 240 group bases, the last of which (byte 510) is the file's
// total clusters; base 0 is the clusters the header and table take. The
// table follows the header: 16-bit entries, handle h at byte 2 h, 128
// handles per group. Handle h lies at cluster base[h / 128] + entry[h] of
// the file; 0xFFFF marks an unused handle. A handle's allotment runs to
// the next used handle's location, the last one's to the total.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <span>
#include <vector>

class FAT_FILESYSTEM;
struct FAT_FILE_HANDLE;

namespace kw::fat {

inline constexpr uint32_t EA_BASES = 240;
inline constexpr uint32_t EA_TOTAL = 239; // the base that holds the total clusters
inline constexpr uint32_t EA_GROUP_HANDLES = 128;

// A used handle: its location and allotment in clusters of the file.
struct EA_HANDLE {
    uint32_t handle = 0;
    uint32_t location = 0;
    uint32_t allotment = 0;
};

// The used handles of an EA file of `clusters` clusters from its header and
// table (`region`: the file's first base-0 clusters, or at least its first
// sector), in handle order, each with its location and allotment. Handles
// past the 239 groups that have a base are not read. ERR_FAT_EA_CORRUPT,
// with no handles, for a header or table that does not describe the file
// (see EA_FILE::Read).
kwRet EaLocateHandles(std::span<const uint8_t> region, uint32_t clusters,
                      std::vector<EA_HANDLE>* handles);

// Flushes the volume's disk (0 without one).
kwRet FlushVolume(FAT_FILESYSTEM* fs);

class EA_FILE {
public:
    explicit EA_FILE(FAT_FILESYSTEM* fs);
    ~EA_FILE();
    EA_FILE(const EA_FILE&) = delete;
    EA_FILE& operator=(const EA_FILE&) = delete;

    // Opens the file and reads its chain, header and table; nothing is
    // written. ERR_FAT_EA_CORRUPT for a header or table that does not
    // describe the file: no clusters, base 0 of 0 or beyond the chain, a
    // total below base 0 or beyond the chain, a used handle inside the
    // header or table, beyond the total, or before the one before it.
    kwRet Read(const char* name);

    const std::vector<uint32_t>& Chain() const { return chain_; }
    uint32_t Base(uint32_t group) const;
    // The used handles in handle order (their locations never fall).
    const std::vector<EA_HANDLE>& Handles() const { return handles_; }

    // New bases and locations (for the handles of Handles(), in order);
    // each entry becomes its location less its group's base. Values that
    // fall below 0 give ERR_FAT_EA_CORRUPT, values above 16 bits
    // ERR_FAT_INVALID_PARAMETERS; nothing is changed then.
    kwRet SetLocations(const std::vector<int64_t>& bases, const std::vector<EA_HANDLE>& handles);

    // Writes the header and table into the first clusters of `chain` (the
    // file's chain now), flushes, and gives the entry the chain's size.
    kwRet Write(const std::vector<uint32_t>& chain);

private:
    kwRet readChain();
    kwRet readRegion();
    kwRet locate();

    FAT_FILESYSTEM* fs_;
    FAT_FILE_HANDLE* handle_ = nullptr;
    std::vector<uint32_t> chain_;
    std::vector<uint8_t> region_; // the header sector, then the table
    std::vector<EA_HANDLE> handles_;
};

} // namespace kw::fat
