// Return codes of the engine. Every engine operation reports its outcome as a
// kwRet; 0 is success. The image store uses the same numbering (1800 and up).
// Every code up to 4000 that has a name here has a text in the error table
// (errtext.h); codes above 4000 have none. A host error n travels as 10000 + n.
#pragma once

#include <cstdint>

using kwRet = std::uint32_t;

inline constexpr kwRet KW_OK = 0;

// General (1-99).
// The operation is not supported by this file system or file class (no text).
inline constexpr kwRet ERR_NOT_SUPPORTED = 1;
inline constexpr kwRet ERR_ILLEGAL_OPERATION = 2;
inline constexpr kwRet ERR_NO_MEMORY = 3;
inline constexpr kwRet ERR_BAD_ARGUMENT = 4;
inline constexpr kwRet ERR_BAD_POINTER = 6;
inline constexpr kwRet ERR_USER_CANCEL = 7;
inline constexpr kwRet ERR_DOS_MEMORY = 8;
inline constexpr kwRet ERR_NO_MEMORY_NO_CHANGES = 9;
inline constexpr kwRet ERR_END_OF_FILE = 10;
inline constexpr kwRet ERR_USER_SKIP = 12;
inline constexpr kwRet ERR_NO_MORE_NAMES = 19;
// The same code ends the scan of disk units: no such unit.
inline constexpr kwRet ERR_NO_MORE_UNITS = ERR_NO_MORE_NAMES;
inline constexpr kwRet ERR_NOT_OPEN = 20;
inline constexpr kwRet ERR_BAD_HANDLE = 21;
inline constexpr kwRet ERR_UNSUPPORTED_OS = 23;
inline constexpr kwRet ERR_DRIVE_NOT_SUPPORTED = 26;
inline constexpr kwRet ERR_CANNOT_LOCK = 27;
inline constexpr kwRet ERR_CANNOT_UNLOCK = 28;
inline constexpr kwRet ERR_ALREADY_LOCKED = 29;
inline constexpr kwRet ERR_ALREADY_UNLOCKED = 30;
inline constexpr kwRet ERR_RESTART_PENDING = 33;
inline constexpr kwRet ERR_UNKNOWN_FS_INTERNAL = 35;
inline constexpr kwRet ERR_OWN_VOLUME = 38;
inline constexpr kwRet ERR_LOCK_NOT_RELEASED = 40;
inline constexpr kwRet ERR_INVALID_DRIVE = 41;
inline constexpr kwRet ERR_DRIVE_NOT_READY = 44;
inline constexpr kwRet ERR_UNKNOWN_COMMAND = 45;
inline constexpr kwRet ERR_DATA_ERROR = 46;
inline constexpr kwRet ERR_UNKNOWN_MEDIA = 47;
inline constexpr kwRet ERR_SECTOR_NOT_FOUND = 48;
inline constexpr kwRet ERR_WRITE_FAULT = 49;
inline constexpr kwRet ERR_READ_FAULT = 50;
inline constexpr kwRet ERR_GENERAL_FAILURE = 51;
inline constexpr kwRet ERR_LOCK_VIOLATION = 53;
inline constexpr kwRet ERR_WRITE_PROTECTED = 55;
inline constexpr kwRet ERR_OUT_OF_RANGE = 56;
inline constexpr kwRet ERR_WRITE_TEST_FAILED = 58;
// Result codes of the engine host's Start that still count as started:
// changes the running system forbids.
inline constexpr kwRet EN_START_FORBIDDEN_70 = 70;
inline constexpr kwRet EN_START_FORBIDDEN_73 = 73;
inline constexpr kwRet EN_START_FORBIDDEN_74 = 74;
inline constexpr kwRet ERR_ENGINE_INIT = 87;
inline constexpr kwRet ERR_NO_DRIVE = 88;
inline constexpr kwRet ERR_EZ_DRIVE_CORRUPT = 90;
inline constexpr kwRet ERR_DRIVER_TOO_OLD = 97;

// Partition tables and boot sectors (100-159).
inline constexpr kwRet ERR_BAD_PARTITION_TABLE = 100;
inline constexpr kwRet ERR_UNKNOWN_FS = 101;
inline constexpr kwRet ERR_BAD_BOOT_SECTOR = 102;
inline constexpr kwRet ERR_ENTRY_EMPTY = 104;
inline constexpr kwRet ERR_BEGIN_HEAD = 105;
inline constexpr kwRet ERR_BEGIN_SECTOR = 106;
inline constexpr kwRet ERR_BEGINS_PAST_END = 107;
inline constexpr kwRet ERR_END_NOT_CYLINDER = 108;
inline constexpr kwRet ERR_ENDS_PAST_END = 109;
inline constexpr kwRet ERR_SIZE_INCONSISTENT = 110;
inline constexpr kwRet ERR_PARTITIONS_OVERLAP = 113;
inline constexpr kwRet ERR_LOGICAL_NOT_ONE_TRACK = 114;
inline constexpr kwRet ERR_START_INCONSISTENT = 116;
inline constexpr kwRet ERR_CHAIN_BACKWARDS = 120;
inline constexpr kwRet ERR_FIRST_SECTOR_UNREADABLE = 121;
inline constexpr kwRet ERR_BAD_SECTOR_IN_AREA = 122;
inline constexpr kwRet ERR_NO_BOOT_SIGNATURE = 130;
inline constexpr kwRet ERR_NO_JUMP_CODE = 131;

// Working directory and restart preparation (180-186).
inline constexpr kwRet ERR_WORKDIR = 180;
inline constexpr kwRet ERR_SYSTEM_DIR = 182;

// Host files (300-357).
inline constexpr kwRet ERR_FILE_EXISTS = 300;
inline constexpr kwRet ERR_FILE_OPEN = 301;
inline constexpr kwRet ERR_FILE_CREATE = 302;
inline constexpr kwRet ERR_FILE_CLOSE = 303;
inline constexpr kwRet ERR_FILE_READ = 304;
inline constexpr kwRet ERR_FILE_SHORT_READ = 305;
inline constexpr kwRet ERR_FILE_WRITE = 306;
inline constexpr kwRet ERR_FILE_SHORT_WRITE = 307;
inline constexpr kwRet ERR_FILE_SEEK = 308;
inline constexpr kwRet ERR_FILE_TELL = 309;
inline constexpr kwRet ERR_FILE_SIZE = 310;
inline constexpr kwRet ERR_FILE_SET_ATTR = 311;
inline constexpr kwRet ERR_FILE_GET_ATTR = 312;
inline constexpr kwRet ERR_FILE_RENAME = 313;
inline constexpr kwRet ERR_NO_DRIVE_LETTER = 320;
inline constexpr kwRet ERR_NO_FILE_IO = 321;
inline constexpr kwRet ERR_FILE_TOO_BIG = 330;
inline constexpr kwRet ERR_DIR_NOT_EMPTY = 353;

// File-system operations (500-514).
inline constexpr kwRet ERR_BAD_SUBDIRECTORY = 500;
inline constexpr kwRet ERR_CROSS_LINKED = 501;
inline constexpr kwRet ERR_DIR_FULL = 502;
inline constexpr kwRet ERR_PATH_NOT_FOUND = 503;
inline constexpr kwRet ERR_FILE_NOT_FOUND = 504;
inline constexpr kwRet ERR_INVALID_PATH = 505;
inline constexpr kwRet ERR_NO_ROOM_TO_SHRINK = 506;
inline constexpr kwRet ERR_FS_NOT_SUPPORTED = 507;
inline constexpr kwRet ERR_NO_CHANGE = 508;
inline constexpr kwRet ERR_BAD_SECTOR_IN_FS = 509;
inline constexpr kwRet ERR_FS_VERSION = 510;
inline constexpr kwRet ERR_NO_ROOM_TO_RESIZE = 511;
inline constexpr kwRet ERR_NO_ROOM_FOR_CLUSTER_CHANGE = 512;
inline constexpr kwRet ERR_NO_ROOM_FOR_CHANGES = 513;

// Host arguments, sector buffers (702, 715; no text), partition creation and
// limits, lists (718-748). The list codes have no text.
inline constexpr kwRet ERR_HOST_INVALID = 702;
inline constexpr kwRet ERR_NO_SECTOR_BUFFER = 715;
inline constexpr kwRet ERR_LINK_MISSING_GROWING = 704;
inline constexpr kwRet ERR_LINK_MISSING_SHRINKING = 705;
inline constexpr kwRet ERR_NO_EXTENDED = 716;
inline constexpr kwRet ERR_NO_MORE_PRIMARY = 718;
inline constexpr kwRet ERR_RESIZE_TOO_LARGE = 719;
inline constexpr kwRet ERR_NOT_CYLINDER_ALIGNED = 720;
inline constexpr kwRet ERR_LIST_EMPTY = 735;
inline constexpr kwRet ERR_LIST_FULL = 736;
inline constexpr kwRet ERR_LIST_SHORT = 737;
inline constexpr kwRet ERR_LIST_INDEX = 741;

// User interface and validation (800-998).
inline constexpr kwRet ERR_NO_DISKS = 950;
inline constexpr kwRet ERR_BAD_PARAMETER = 955;
inline constexpr kwRet ERR_TOO_MANY_ERRORS = 983;
inline constexpr kwRet ERR_BAD_PATH_GIVEN = 984;
inline constexpr kwRet ERR_CANNOT_FIX = 990;

// HPFS, ext2, NetWare, NTFS (first codes of each range).
inline constexpr kwRet ERR_HPFS_INIT = 1003;
inline constexpr kwRet ERR_TOO_MANY_BAD_SECTORS = 1035;
inline constexpr kwRet ERR_HPFS_SUPERBLOCK_SIZE = 1041;
inline constexpr kwRet ERR_EXT2_MISC = 1100;
inline constexpr kwRet ERR_NW_REDIR_BLOCK_SIZE = 1400;
inline constexpr kwRet ERR_NW_VOLUME_FAT = 1415;
inline constexpr kwRet ERR_NW_NO_PRIMARY = 1419;
inline constexpr kwRet ERR_NW_NO_ROOM_TO_RESIZE_REDIR = 1431;
inline constexpr kwRet ERR_NTFS_BOOT_SIGNATURE = 1500;

// Image store and image operations (1800-1878).
inline constexpr kwRet ERR_IMG_NOT_OPEN = 1800;
inline constexpr kwRet ERR_IMG_PART_NOT_FOUND = 1801;
inline constexpr kwRet ERR_IMG_INVALID = 1802;
inline constexpr kwRet ERR_IMG_READ_ONLY = 1803;
inline constexpr kwRet ERR_IMG_NO_BITMAP = 1804;
inline constexpr kwRet ERR_IMG_WRITE = 1805;
inline constexpr kwRet ERR_IMG_NO_MEMORY = 1806;
inline constexpr kwRet ERR_IMG_COMPRESSION = 1807;
inline constexpr kwRet ERR_IMG_BUFFER_SMALL = 1808;
inline constexpr kwRet ERR_IMG_NO_SPACE = 1809;
inline constexpr kwRet ERR_IMG_OPEN = 1810;
inline constexpr kwRet ERR_IMG_READ = 1811;
inline constexpr kwRet ERR_IMG_NOT_CONTIGUOUS = 1812;
inline constexpr kwRet ERR_IMG_NO_DATA = 1815; // a read of an image gave nothing (no text)
inline constexpr kwRet ERR_IMG_PASSWORD = 1816;
inline constexpr kwRet ERR_IMG_DISK_FULL = 1817;
inline constexpr kwRet ERR_IMG_NEWER_VERSION = 1818;
inline constexpr kwRet ERR_IMG_UNKNOWN_COMPRESSION = 1819;
inline constexpr kwRet ERR_IMG_NOT_FOUND = 1831;
inline constexpr kwRet ERR_IMG_CANNOT_OPEN_FILE = 1851;
inline constexpr kwRet ERR_IMG_NOT_IMAGE_FILE = 1852;
inline constexpr kwRet ERR_IMG_SPAN_EXTENSION = 1878;

// Command-line switch values (no text).
inline constexpr kwRet ERR_SWITCH_NOT_GIVEN = 1880;
inline constexpr kwRet ERR_SWITCH_NO_VALUE = 1881;
inline constexpr kwRet ERR_SWITCH_VALUE_UNUSABLE = 1882;

// FAT (2001-2027).
inline constexpr kwRet ERR_FAT_COPIES_DIFFER = 2001;
inline constexpr kwRet ERR_FAT_INVALID_ENTRIES = 2002;
inline constexpr kwRet ERR_FAT_BAD_CLUSTER = 2004;
inline constexpr kwRet ERR_FAT_NO_SPACE = 2008;
inline constexpr kwRet ERR_FAT_ROOT_FULL = 2010; // the fixed root of FAT12/16 has no free entry
inline constexpr kwRet ERR_FAT_BAD_GEOMETRY = 2013;
inline constexpr kwRet ERR_FAT_NOT_LOADED = 2019;
// Layouts, limits and structure rewrites.
inline constexpr kwRet ERR_FAT_TOO_MANY_CLUSTERS = 2006;
inline constexpr kwRet ERR_FAT_STATIC_ROOT_TOO_SMALL = 2009;
inline constexpr kwRet ERR_FAT_BAD_CLUSTER_IN_USE = 2022;
inline constexpr kwRet ERR_FAT_TOO_MANY_ROOT_ENTRIES = 2025;
inline constexpr kwRet ERR_FAT_INVALID_PARAMETERS = 2026;

inline constexpr kwRet ERR_BLOCK_NOT_FOUND = 4000;

// Image access: no memory for a partition access (no text).
inline constexpr kwRet ERR_PART_ACCESS_NO_MEMORY = 242424;

// The highest code with a place in the error table.
inline constexpr kwRet KW_LAST_TEXT_CODE = 4000;

// A host (operating-system) error n is returned as KW_HOST_ERROR_BASE + n.
inline constexpr kwRet KW_HOST_ERROR_BASE = 10000;
inline constexpr kwRet kwHostError(std::uint32_t n) {
    return KW_HOST_ERROR_BASE + n;
}

// 7 and 12 end an operation without an error message.
inline constexpr bool kwIsUserStop(kwRet r) {
    return r == ERR_USER_CANCEL || r == ERR_USER_SKIP;
}
