// What the engine core asks of the NetWare file system: the volume
// registration when the disk library opens and the partition-record queries.
// The disk layer reaches them through the hooks of NetWare's row
// (nw_module.cpp).
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Registers the NetWare volumes of every NetWare partition of every disk.
kwRet nwRegisterAllVolumes();

// The first length bytes of the newest hot-fix header of a NetWare partition.
kwRet nwReadHotfixHeader(PARTITION_INFO* pi, uint8_t* buffer, uint32_t length);
// The first 128 bytes of sector 0 when it carries the NetWare signature.
kwRet nwGetPartitionSector(PARTITION_INFO* pi, uint8_t* record);
// The newest mirror header (96 bytes), zeros when none.
kwRet nwReadMirrorHeader(PARTITION_INFO* pi, uint8_t* header);

// The segment information of a NetWare partition; *list must be null and
// stays null on failure.
kwRet CreateSegmentList(PARTITION_INFO* pi, void** list);
void DeleteSegmentList(void** list);

// Whether the first segment entry is empty and whether any volume of the
// partition passes the volume test (the legal operations ask).
kwRet nwVolumeState(PARTITION_INFO* pi, bool* firstEntryEmpty, bool* volumesUsable);
