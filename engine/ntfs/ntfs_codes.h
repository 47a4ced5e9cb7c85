// The return codes of the NTFS file system (1500-1699) and the common codes
// it gives with their NTFS meaning. Texts are the engine's error table.
#pragma once

#include "engine/core/kwret.h"

namespace kw::ntfs {

inline constexpr kwRet ERR_AT_END_OF_FILE = 10;
inline constexpr kwRet ERR_SEEK = 46;
inline constexpr kwRet ERR_READ_ONLY_MEDIA = 79;
inline constexpr kwRet ERR_EXTENSION_RECORD = 721;
inline constexpr kwRet ERR_SPARSE_READ = 722;
inline constexpr kwRet ERR_VOLUME_NOT_OPEN = 725;
inline constexpr kwRet ERR_NO_VOLUME_BITMAP = 726;
inline constexpr kwRet ERR_CLUSTERS_NOT_MOVED = 728;
inline constexpr kwRet ERR_BOOT_SIGNATURE = 1500;
inline constexpr kwRet ERR_CLUSTER_SIZE = 1503;
inline constexpr kwRet ERR_RECORD_SIGNATURE = 1507;
inline constexpr kwRet ERR_INDEX_SIGNATURE = 1508;
inline constexpr kwRet ERR_ATTRIBUTE_POSITION = 1513;
inline constexpr kwRet ERR_ATTRIBUTE_MISSING = 1517;
inline constexpr kwRet ERR_ATTRIBUTE_FIT = 1518;
inline constexpr kwRet ERR_ATTRIBUTE_DATA_FIT = 1519;
inline constexpr kwRet ERR_EXTENSION_MISMATCH = 1520;
inline constexpr kwRet ERR_MUST_BE_NONRESIDENT = 1521;
inline constexpr kwRet ERR_MUST_BE_RESIDENT = 1522;
inline constexpr kwRet ERR_CLUSTER_BEYOND_END = 1523;
inline constexpr kwRet ERR_CLUSTER_NUMBER_TOO_LARGE = 1524;
inline constexpr kwRet ERR_INDEX_BUFFER_SIZE = 1525;
inline constexpr kwRet ERR_INDEX_ENTRY = 1526;
inline constexpr kwRet ERR_UPDATE_SEQUENCE = 1527;
inline constexpr kwRet ERR_TOO_FEW_CLUSTERS = 1531;
inline constexpr kwRet ERR_RUN_LIST = 1533;
inline constexpr kwRet ERR_RECORD_SIZE = 1541;
inline constexpr kwRet ERR_NESTED_ATTRIBUTE_LIST = 1544;
inline constexpr kwRet ERR_ATTRIBUTE_ORDER = 1545;
inline constexpr kwRet ERR_RESIDENCY = 1546;
inline constexpr kwRet ERR_MFT_TOO_SMALL = 1548;
inline constexpr kwRet ERR_MFT_TOO_LARGE = 1549;
inline constexpr kwRet ERR_PARTITION_FULL = 1551;
inline constexpr kwRet ERR_RECORD_UNUSED = 1552;
inline constexpr kwRet ERR_NO_CONTIGUOUS_SPACE = 1538;
inline constexpr kwRet ERR_NO_INDEX_ALLOCATION = 1617;
inline constexpr kwRet ERR_COMPRESSED = 1681;

} // namespace kw::ntfs
