// The engine's start and stop and the few questions about partitions that
// its host and the partition operations ask. Set-up and tear-down are in
// engine_setup.h.
#pragma once

#include "engine/core/kwret.h"

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

// Alignment modes.
inline constexpr std::uint32_t EN_ALIGN_UP = 0;
inline constexpr std::uint32_t EN_ALIGN_DOWN = 1;
inline constexpr std::uint32_t EN_ALIGN_NEAREST = 2;

// The sector aligned to the partition's cylinder grid (origin: the sectors to
// its next cylinder; unit: its cylinder size).
std::uint32_t enGetCylinderBoundary(const PARTITION_INFO* pi, std::uint32_t sector,
                                    std::uint32_t mode);

struct EN_SIZE_LIMITS {
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
};
// The size limits of partitions whose file system gives none of its own: the
// room up to the next record (cut to what CHS addresses) and a minimum by
// kind. 1 for kinds it does not handle (FAT, NetWare: their file systems
// know), 4 for null arguments.
kwRet enGetDefaultLimits(const PARTITION_INFO* pi, EN_SIZE_LIMITS* limits);

// How a partition may move and grow: the sectors its start may move towards
// the disk's start (the free run before it, aligned), its size, and the
// sectors its end may grow. 4 for null arguments.
struct EN_MOVE_INFO {
    std::uint32_t left = 0;
    std::uint32_t size = 0;
    std::uint32_t right = 0;
};
kwRet enGetMoveInfo(const PARTITION_INFO* pi, EN_MOVE_INFO* info);
