// Our own writer of MBR-partitioned disk images for tests: any entries the
// test wants, sound or not (overlapping, out of range, a type-3Ch entry, empty
// slots), and a chain of extended boot records for logical partitions, each
// placed where the test says. CHS triples follow a 255-head, 63-sector
// geometry, with the large-drive placeholder past cylinder 1023.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kwtest {

inline constexpr uint32_t kCyl = 255 * 63;

// One primary entry, by absolute start and size; slot -1 takes the next free
// one of the four.
struct MbrEntry {
    uint8_t type = 0;
    uint32_t start = 0;
    uint32_t count = 0;
    bool active = false;
    int slot = -1;
};

// One logical partition and the sector of its extended boot record.
struct LogicalEntry {
    uint8_t type = 0;
    uint32_t start = 0;
    uint32_t count = 0;
    uint32_t ebr = 0; // 0: one track before the partition
};

// The disk's tables. With logicals, extendedStart/extendedCount give the
// primary extended entry (type 05) that is added to the primaries; the first
// logical's boot record must lie at extendedStart.
struct MbrLayout {
    std::vector<MbrEntry> primaries;
    std::vector<LogicalEntry> logicals;
    uint32_t extendedStart = 0;
    uint32_t extendedCount = 0;
};

// A 16-byte entry; relStart is what the entry stores, absStart gives the CHS.
std::vector<uint8_t> MakeEntry(uint8_t type, uint32_t relStart, uint32_t count, uint32_t absStart,
                               bool active = false);

// Writes the master boot record and the chain of extended boot records into
// an existing image file (nothing else of it changes).
void WriteMbrLayout(const std::filesystem::path& image, const MbrLayout& layout);

} // namespace kwtest
