// The volume tables of a NetWare partition: four copies of one sector at
// origin + 32, + 64, + 96 and + 128, each a header ("NetWare Volumes", an
// entry count, 12 kept bytes) and up to 8 segment entries of 60 bytes. The
// copies are merged entry by entry, the larger sync value winning. Also the
// signature sector of the signature form, the volume-table origin of either
// form, and new partition ids.
#pragma once

#include "engine/core/kwret.h"
#include "engine/netware/nw_layout.h"

#include <cstdint>
#include <ctime>

struct PARTITION_INFO;

namespace kw::netware {

class PartHandle;

// The entries a table sector names, never more than the sector holds.
uint32_t TableEntryCount(const uint8_t* sector);
// Whether a sector carries the volume-table text.
bool IsVolumeTable(const uint8_t* sector);
// Merges a later valid copy into the output (the first valid copy is taken
// whole by the caller).
void MergeVolumeTableCopy(uint8_t* out, const uint8_t* later);

// Reads and merges the four copies (1402 when none is valid; a read error
// ends the walk at once).
kwRet nwReadVolumeTables(const PartHandle& handle, uint32_t origin, uint8_t* out);
// Writes the sector to the four copies so that a cut between any two writes
// leaves the old table or the new one readable (the valid copies but the
// last are cleared first, the last valid copy is the switch, then the rest
// follow), flushing after each step; the first failure ends the walk.
kwRet nwWriteVolumeTables(PARTITION_INFO* pi, uint32_t origin, const uint8_t* sector);
// The origin of a partition as its own sectors give it: the size of the
// redirection area, else 32 for a signature sector that names a size; 1401
// otherwise.
kwRet nwPartitionOrigin(PARTITION_INFO* pi, const PartHandle& handle, uint32_t* origin);
// The merged volume table of a partition found on disk alone.
kwRet nwReadPartitionVolumeTable(PARTITION_INFO* pi, const PartHandle& handle, uint8_t* out);

// Reads sector 0 into a 512-byte buffer and says whether it carries the
// partition signature.
kwRet nwCheckPartitionSignature(const PartHandle& handle, uint8_t* sector, bool* found);
// The first 128 bytes of the signature sector, or zeros.
kwRet nwReadPartitionSector(const PartHandle& handle, uint8_t* record);
kwRet nwGetPartitionSector(PARTITION_INFO* pi, uint8_t* record);

// DOS date and time words of a time (seconds above 58 count as 58).
void nwMakeDosDateTime(std::time_t time, uint16_t* date, uint16_t* timeWord);
// A new partition id: date in the high word, time in the low word; with no
// time given, kept above the largest id on the machine by 10.
uint32_t nwNewPartitionId(std::time_t time);
kwRet nwGetLargestPartitionId(uint32_t* id);

} // namespace kw::netware
