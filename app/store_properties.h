// What the properties dialogs show of an image and of one of its
// partitions, read from the image's part store. The dialogs get these
// records and never call the store themselves.
#pragma once

#include <cstdint>
#include <string>

class PART_STORE;

namespace kw::app {

// Image flags of the store that the properties show.
inline constexpr uint32_t IMAGE_FLAG_LOW_COMPRESSION = 0x02;
inline constexpr uint32_t IMAGE_FLAG_HIGH_COMPRESSION = 0x04;
inline constexpr uint32_t IMAGE_FLAG_PASSWORD = 0x20;
// Part flag of a logical partition.
inline constexpr uint32_t PART_FLAG_LOGICAL = 0x04;

// The image as a whole.
struct ImageProperties {
    uint32_t flags = 0;
    std::string description;
    uint64_t imageBytes = 0;
    // The last change as a FILETIME of the stored calendar values (taken
    // as they are, no time-zone shift); 0 when the store holds no valid time.
    uint64_t modified = 0;
    uint32_t volumeCount = 0;
};

// One stored partition. code is the store's answer to selecting it; the
// other fields are only read when it is 0.
struct PartitionProperties {
    int32_t code = 0;
    std::string name;
    std::string description;
    uint32_t driveLetter = 0;
    uint32_t flags = 0;
    uint64_t partitionBytes = 0; // bytes per sector x total sectors
    uint64_t usedBytes = 0;      // used blocks x block bytes
    uint64_t unusedBytes = 0;    // never below 0, even for a record that claims more used than size
    uint64_t physicalBytes = 0;  // its data and bitmap streams in the image
};

// Reads the image's header values. Leaves no part selected.
ImageProperties ReadImageProperties(PART_STORE& store);
// Selects the part at index, reads its record and the lengths of its two
// streams, and closes the part again.
PartitionProperties ReadPartitionProperties(PART_STORE& store, uint32_t index);

// The FILETIME of a calendar time taken as UTC; 0 for values that are no
// valid date and time.
uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second);

} // namespace kw::app
