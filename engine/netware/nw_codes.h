// The result codes of the NetWare layer (1400-1481, with the engine's common
// ones); their texts are the engine's error texts.
#pragma once

#include "engine/core/kwret.h"

namespace kw::netware {

inline constexpr kwRet ERR_NW_BAD_REDIRECT_AREA = 1401;
inline constexpr kwRet ERR_NW_NO_VOLUME_TABLE = 1402;
inline constexpr kwRet ERR_NW_SEGMENT_NOT_FOUND = 1403;
inline constexpr kwRet ERR_NW_INVALID_BLOCK = 1406;
inline constexpr kwRet ERR_NW_MISSING_SEGMENTS = 1414;
inline constexpr kwRet ERR_NW_PRIMARY_NOT_FOUND = 1419;
inline constexpr kwRet ERR_NW_CANNOT_FORMAT = 1421;
inline constexpr kwRet ERR_NW_SUBALLOC_ENTRY = 1422;
inline constexpr kwRet ERR_NW_ROOT_ENTRY = 1423;
inline constexpr kwRet ERR_NW_SUBALLOC_COUNT = 1424;
inline constexpr kwRet ERR_NW_DIR_ENTRY = 1425;
inline constexpr kwRet ERR_NW_PARENT_NOT_DIR = 1426;
inline constexpr kwRet ERR_NW_REDIRECT_COPIES = 1429;
inline constexpr kwRet ERR_NW_ERROR_COPIES = 1430;
inline constexpr kwRet ERR_NW_FAT_IN_USE = 1436;
inline constexpr kwRet ERR_NW_FAT_SIZE = 1437;
inline constexpr kwRet ERR_NW_NO_MIRROR_HEADER = 1439;
inline constexpr kwRet ERR_NW_SEGMENT_COUNT = 1440;
inline constexpr kwRet ERR_NW_VOLUME_BLOCKS = 1441;
inline constexpr kwRet ERR_NW_BLOCK_SHIFT = 1442;
inline constexpr kwRet ERR_NW_SEGMENT_POSITION = 1443;
inline constexpr kwRet ERR_NW_SEGMENTS_COUNT = 1444;
inline constexpr kwRet ERR_NW_SYNC_VALUE = 1445;
inline constexpr kwRet ERR_NW_SEGMENT_START = 1446;
inline constexpr kwRet ERR_NW_FIRST_BLOCK = 1447;
inline constexpr kwRet ERR_NW_BLOCK_COUNT = 1448;
inline constexpr kwRet ERR_NW_FIRST_FAT = 1449;
inline constexpr kwRet ERR_NW_FIRST_MIRROR_FAT = 1450;
inline constexpr kwRet ERR_NW_FIRST_DIR = 1451;
inline constexpr kwRet ERR_NW_FIRST_MIRROR_DIR = 1452;
inline constexpr kwRet ERR_NW_BAD_REFERENCE = 1456;
inline constexpr kwRet ERR_NW_NO_SEGMENT = 1457;
inline constexpr kwRet ERR_NW_BAD_REGION = 1459;
inline constexpr kwRet ERR_NW_TOO_MANY_SEGMENTS = 1460;
inline constexpr kwRet ERR_NW_REGION_INVALID = 1462;
inline constexpr kwRet ERR_NW_DIR_CHAIN = 1463;
inline constexpr kwRet ERR_NW_FAT_CHAIN = 1464;
inline constexpr kwRet ERR_NW_FAT_BLOCKS = 1465;
inline constexpr kwRet ERR_NW_NO_TABLE_ROOM = 1466;
inline constexpr kwRet ERR_NW_FAT_MEMORY = 1471;
inline constexpr kwRet ERR_NW_DIR_MEMORY = 1473;
inline constexpr kwRet ERR_NW_FILE_CHAIN = 1476;
inline constexpr kwRet ERR_NW_SUBALLOC_CHAIN = 1477;
inline constexpr kwRet ERR_NW_UNEXPECTED_PI = 706;
// Resize and relocation.
inline constexpr kwRet ERR_NW_BAD_RANGE = 712;
inline constexpr kwRet ERR_NW_FAT_FORWARD_LINK = 1455;
inline constexpr kwRet ERR_NW_RESIZE_MEMORY = 1469;
inline constexpr kwRet ERR_NW_PART_LIMITS = 1480;
inline constexpr kwRet ERR_NW_SEGMENT_LIMITS = 1481;
inline constexpr kwRet ERR_NW_BAD_REMAP = 2020;
inline constexpr kwRet ERR_FAT_LOST_CLUSTERS = 2005;

} // namespace kw::netware
