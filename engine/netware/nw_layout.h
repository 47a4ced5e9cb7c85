// The bytes of a NetWare partition: where each record lies and the offsets of
// its fields. Records are read and written as byte images through kwbytes,
// so that fields no code gives a meaning survive a rewrite unchanged.
//
// Sector numbers count from the partition start. A partition either begins
// with a redirection area (the hot-fix form: hot-fix and mirror headers, the
// redirection and error tables, spare blocks) or with a signature sector (the
// signature form). The volume tables follow at the volume-table origin.
#pragma once

#include "engine/netware/nw_codes.h"

#include <cstddef>
#include <cstdint>

namespace kw::netware {

inline constexpr uint32_t kSectorBytes = 512;

// Hot-fix header: four copies at 0x20, 0x40, 0x60, 0x80 (plus the area's
// start offset). The copy with the newest update counter is current.
inline constexpr uint32_t kHotfixFirstCopy = 0x20;
inline constexpr uint32_t kHeaderCopyStride = 0x20;
inline constexpr uint32_t kHeaderCopies = 4;
inline constexpr char kHotfixMagic[8] = {'H', 'O', 'T', 'F', 'I', 'X', '0', '0'};
enum HotfixField : size_t {
    HF_MAGIC = 0,
    HF_PARTITION_ID = 8,
    HF_FAILED_COPIES = 12,
    HF_COUNTER = 14,
    HF_SECTORS_PER_BLOCK = 16,
    HF_SPB_COMPLEMENT = 17,
    HF_SPB_LOG2 = 18,
    HF_SPB_MASK = 19,
    HF_DATA_SECTORS = 20,
    HF_AREA_SECTORS = 24,
    HF_TABLES = 28,
};
// What other layers read of the current hot-fix header.
inline constexpr uint32_t kHotfixHeadBytes = 44;
// Table descriptors: redirection table, error table, their copies.
inline constexpr uint32_t kMaxRedirectTables = 30;
inline constexpr uint32_t kDescriptorBytes = 16;
enum DescriptorField : size_t {
    TD_REDIRECT = 0,
    TD_ERROR = 4,
    TD_REDIRECT_COPY = 8,
    TD_ERROR_COPY = 12,
};

// Mirror header: four copies at 0x21, 0x41, 0x61, 0x81.
inline constexpr uint32_t kMirrorFirstCopy = 0x21;
inline constexpr char kMirrorMagic[8] = {'M', 'I', 'R', 'R', 'O', 'R', '0', '0'};
enum MirrorField : size_t {
    MF_MAGIC = 0,
    MF_PARTITION_ID = 8,
    MF_FAILED_COPIES = 12,
    MF_COUNTER = 14,
    MF_SECTORS_PER_BLOCK = 16,
    MF_SECOND_COUNTER = 22,
    MF_CREATED_MARK = 24, // 8144 when created
    MF_ID_PLUS_9 = 28,
    MF_MEMBERS = 32, // 16 partition ids, 0 = empty slot
};
inline constexpr uint32_t kMirrorHeadBytes = 96;
inline constexpr uint32_t kMirrorMembers = 16;
inline constexpr uint32_t kMirrorCreatedMark = 8144;

// Signature sector (sector 0 of the signature form).
inline constexpr char kPartitionSignature[15] = {'N', 'w', '_', 'P', 'a', 'R', 't', 'I',
                                                 't', 'I', 'o', 'N', 0,   0,   0};
enum SignatureField : size_t {
    SG_SIGNATURE = 1,
    SG_PARTITION_SECTORS = 20,
    SG_PARTITION_ID = 24,
};
inline constexpr uint32_t kSignatureRecordBytes = 128;
inline constexpr uint32_t kSignatureOrigin = 32;
inline constexpr uint32_t kSignatureSystemSectors = 161;

// Volume table: four copies at origin + 32, + 64, + 96, + 128.
inline constexpr uint32_t kVolumeTableStride = 32;
inline constexpr uint32_t kVolumeTableCopies = 4;
inline constexpr char kVolumeTableText[16] = {'N', 'e', 't', 'W', 'a', 'r', 'e', ' ',
                                              'V', 'o', 'l', 'u', 'm', 'e', 's', 0};
enum VolumeTableField : size_t {
    VT_TEXT = 0,
    VT_ENTRY_COUNT = 16,
    VT_HEADER_BYTES = 20, // 12 bytes kept as read
    VT_ENTRIES = 32,
};
inline constexpr uint32_t kVolumeTableHeaderBytes = 12;
inline constexpr uint32_t kSegmentEntryBytes = 60;
inline constexpr uint32_t kMaxTableEntries = 8; // what one sector holds
// The volume-table zone behind the origin: the four copies.
inline constexpr uint32_t kVolumeTableZone = 160;

// Segment entry (60 bytes).
enum SegmentField : size_t {
    SE_NAME_LENGTH = 0,
    SE_NAME = 1, // 15 characters, no terminator
    SE_SYNC = 16,
    SE_BLOCK_SHIFT = 20,
    SE_SEGMENT_COUNT = 21,
    SE_POSITION = 22,
    SE_FLAGS = 23,
    SE_START = 24, // from the volume-table origin
    SE_SECTORS = 28,
    SE_VOLUME_BLOCKS = 32,
    SE_FIRST_BLOCK = 36,
    SE_FAT = 40,
    SE_MIRROR_FAT = 44,
    SE_DIRECTORY = 48,
    SE_MIRROR_DIRECTORY = 52,
};
inline constexpr uint32_t kMaxNameLength = 15;
inline constexpr uint32_t kMaxVolumeSegments = 8;

// FAT entry (8 bytes): position in its chain, next block.
inline constexpr uint32_t kFatEntryBytes = 8;
inline constexpr uint32_t kChainEnd = 0xFFFFFFFF;
inline constexpr uint32_t kReservedLink = 0xFFFFFFFE;
inline constexpr uint32_t kSuballocBit = 0x80000000;

// Directory entry (128 bytes).
inline constexpr uint32_t kDirEntryBytes = 128;
enum DirField : size_t {
    DE_PARENT = 0,
    DE_ROOT_FLAGS = 4,
    DE_ATTRIBUTES = 9,
    DE_NAME_SPACE = 10,
    DE_NAME_LENGTH = 11,
    DE_NAME = 12,
    DE_SUBALLOC_NEXT = 12,
    DE_SUBALLOC_HEADS = 16, // 28 first blocks
    DE_NS1_BLOCK = 44,
    DE_FIRST_BLOCK = 52,
    DE_ROOT_CHAIN = 104,
    DE_ROOT_CHAIN2 = 108,
    DE_ROOT_SUBALLOC = 120,
};
inline constexpr uint32_t kSuballocSlots = 28;
inline constexpr uint32_t kEntryFree = 0xFFFFFFFF;
inline constexpr uint32_t kEntryRoot = 0xFFFFFFFD;
inline constexpr uint32_t kEntrySuballoc = 0xFFFFFFFB;
inline constexpr uint8_t kRootFlag = 0x10;
inline constexpr uint8_t kDirectoryAttribute = 0x04;

// Redirection table entries.
inline constexpr uint32_t kRedirFree = 0;
inline constexpr uint32_t kRedirSystem = 0xFFFFFFFF;
inline constexpr uint32_t kRedirReserved = 0xFFFFFFFE;

} // namespace kw::netware
