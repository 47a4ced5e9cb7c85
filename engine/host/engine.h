// The engine's start and stop and the few questions about partitions that
// its host and the partition operations ask. Set-up and tear-down are in
// engine_setup.h.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/part_limits.h"

#include <cstdint>

struct DISK_RECORD;
struct PARTITION_INFO;

// Engine states.
inline constexpr std::uint8_t EN_STATE_STOPPED = 0;
inline constexpr std::uint8_t EN_STATE_LIBRARY_OPEN = 1;
inline constexpr std::uint8_t EN_STATE_STARTED = 2;

// Start flags (ORed into the global flag word).
inline constexpr std::uint32_t EN_START_NETWARE = 0x1;

// Opens the disk library, enumerates the disks and partitions, estimates
// their used sectors, computes their legal operations and logs them. The
// first failure is the result; the state tells how far start came. 20 when
// the engine is not set up.
kwRet enStartEngine(std::uint32_t flags);
// Releases remote disks and closes the debug log (after a full start) and
// the disk library (33 while a restart is pending). 0 when not started.
kwRet enStopEngine();
std::uint8_t enGetEngineState();
// Used-sector estimates, legal operations and the partition table of the log.
kwRet enInitializeEngine();
kwRet enGetDiskList(DISK_RECORD** first);

// Recomputes the legal operations of every partition of every disk.
kwRet enResetLegalOps();
// True for a logical partition that is not an extended one or a link.
bool enIsUsedLogical(const PARTITION_INFO* pi);
// Sets (and then recomputes the legal operations) or clears disk flag 0x10
// of the disk with that number; 4 when there is none.
kwRet enSetDiskFlag(std::uint32_t diskNumber, bool on);
// "C:LABEL", "*:LABEL", or "partition at <start>" without letter and label.
// The text lives until the next call.
const char* enGetPartitionName(const PARTITION_INFO* pi);
// The type byte in its hidden form when the partition's own type is hidden.
kwRet enApplyHiddenType(const PARTITION_INFO* pi, std::uint8_t* type);
// The partition's resize and move limits, made for the caller (who deletes
// them): its file system's own when its row gives them, else the default
// limits of its kind; then how far it may move. exact: a file system
// measures every file rather than its allocation chains. 4 for null
// arguments, 3 when no limits could be made (*limits is then null), else
// the file system's or the default limits' failure.
kwRet enGetResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** limits, std::uint32_t exact);
