// Completing an interrupted alignment shift. The shift moves the sectors of
// a FAT volume from the end of its reserved sectors on up by a fixed number
// of sectors, chunk by chunk from the top of the region down, and then adds
// that number to the boot sector's reserved count, so that the data area
// lands on a new boundary. A marker sector travels down with it: it lies one
// chunk length after the first sector of the chunk being moved and says
// where the region starts, how long a chunk is and how far it moves. Finding
// such a marker, the engine moves the chunks that are left, raises the
// reserved count (in the FAT32 backup boot sector too, whose FSInfo free
// counts become unknown: the clusters pushed past the end are gone) and then
// clears the markers it left in what are now reserved sectors. Every step can be cut
// off and run again: a chunk is on disk before the marker moves below it,
// the boot sector changes only once every chunk has moved, and a reserved
// count already raised tells a later run that only the markers are left.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"

#include <cstdint>
#include <span>

inline constexpr uint32_t ALIGN_MARKER_TEXT_AT = 16;
inline constexpr char ALIGN_MARKER_TEXT[] = "KWALIGNMARKER"; // 13 bytes, no terminator

// One marker sector as found on disk.
struct ALIGN_MARKER {
    uint32_t at = 0;       // the absolute sector that holds it
    uint32_t lowest = 0;   // the first sector of the shifted region
    uint32_t distance = 0; // chunk length; the marker lies this far after its chunk
    uint32_t shift = 0;    // how far every sector of the region moves up

    // From a sector's bytes: false when it carries no marker text.
    static bool Parse(std::span<const uint8_t> sector, uint32_t at, ALIGN_MARKER* marker);
    // Why the marker cannot be followed in the partition [start, start +
    // count) with the given boot sector, or null. A chunk must land past
    // its own source and past the marker that resumes it (shift greater
    // than the distance), the region must begin where the reserved sectors
    // end (before the shift or after it), and the raised count must fit 16
    // bits.
    const char* Fault(uint32_t start, uint32_t count, std::span<const uint8_t> boot) const;
    // True when the boot sector's reserved count has been raised already.
    bool Committed(uint32_t start, std::span<const uint8_t> boot) const;
};

// The first marker in sectors start + 1 to start + count - 1, with the
// search's notice shown. A read failure ends the search with its code.
kwRet kwFindAlignMarker(DISK_RECORD* disk, uint32_t start, uint32_t count, ALIGN_MARKER* marker,
                        bool* found);

// Moves the chunks the marker leaves and raises the reserved count (FAT32
// backup boot sector first); bootSector, when given, is the caller's copy of
// the partition's first sector and is updated in place. A shift whose count
// was raised already is left as it is. ERR_FAT_BAD_GEOMETRY (nothing
// written) when the marker cannot be followed.
kwRet kwCompleteAlignShift(DISK_RECORD* disk, uint32_t start, uint32_t count, uint8_t* bootSector,
                           const ALIGN_MARKER& marker);

// Zeroes every marker in the sectors a completed shift has left, which are
// reserved sectors now. A caller that ends an operation of its own after the
// shift does so first, since a later run finds the shift by its markers.
kwRet kwClearAlignMarkers(DISK_RECORD* disk, const ALIGN_MARKER& marker);

// Finds a marker in the partition and completes the shift it describes:
// the three steps above. 0 when there is no marker (nothing is written) or
// the shift was completed; ERR_FAT_BAD_GEOMETRY when the marker cannot be
// followed (nothing is written); 3 without memory; else the first read or
// write failure, after which a later run resumes.
kwRet kwCheckAlignMarker(DISK_RECORD* disk, uint32_t start, uint32_t count, uint8_t* bootSector);
