// IMAGE_STORE: the library's reader of images of the older, read-only format.
//
// Returned by ImageStoreOpenReadOnly (kwvaults.h); reference-counted, the
// caller drops its reference through Release. One partition is selected at a
// time (numbered from 1); every partition operation answers 1800 when none is
// selected. The slot order below is part of the binary interface: the number
// before each operation is its slot. The image is never written: the slots
// named NotSupported answer 2.
#pragma once

#include <cstdint>

class IMAGE_STORE {
public:
    /*  0 */ virtual uint32_t AddRef() = 0;
    /*  1 */ virtual uint32_t Release() = 0; // the last release closes and frees
    /*  2 */ virtual int32_t Close() = 0;
    /*  3 */ virtual uint32_t GetMediaFlags() = 0; // bit 0: removable media
    /*  4 */ virtual uint32_t GetPartitionCount() = 0;
    /*  5 */ virtual uint32_t GetVolumeCount() = 0; // image volumes, + 1 with a ".KWU" volume
    // Location of the record of partition index + 1 (index from 0): 1 with
    // volume and offset, 0 (all outputs 0) for an index out of range.
    /*  6 */ virtual int32_t GetPartitionLocation(uint32_t index, uint32_t* volume,
                                                  uint64_t* offset, uint64_t* value) = 0;
    /*  7 */ virtual int32_t GetVolumePath(uint32_t volume, char* buffer, uint32_t size) = 0;
    /*  8 */ virtual int32_t NotSupported8() = 0;
    /*  9 */ virtual int32_t SelectPartition(uint32_t number) = 0;
    /* 10 */ virtual int32_t NotSupported10() = 0;
    /* 11 */ virtual int32_t ReadBitmap(void* buffer, uint32_t size, uint32_t* sectorsPerBlock,
                                        uint32_t* count) = 0;
    /* 12 */ virtual int32_t ReadRawBitmap(void* buffer, uint32_t size, uint32_t* count,
                                           uint32_t* code) = 0;
    /* 13 */ virtual int32_t NotSupported13() = 0;
    /* 14 */ virtual int32_t NotSupported14() = 0;
    /* 15 */ virtual int32_t SeekData(uint64_t offset) = 0;
    /* 16 */ virtual int32_t ReadData(void* buffer, uint32_t length, uint32_t* count) = 0;
    /* 17 */ virtual int32_t ReadRawData(void* buffer, uint32_t length, uint32_t* count,
                                         uint32_t* code) = 0;
    /* 18 */ virtual int32_t NotSupported18() = 0;
    /* 19 */ virtual int32_t NotSupported19() = 0;
    /* 20 */ virtual int32_t GetImageTitle(char* buffer, uint32_t size) = 0;
    /* 21 */ virtual int32_t NotSupported21() = 0;
    /* 22 */ virtual int32_t GetImageDescription(char* buffer, uint32_t size) = 0;
    /* 23 */ virtual int32_t NotSupported23() = 0;
    /* 24 */ virtual int32_t GetPartitionName(char* buffer, uint32_t size) = 0;
    /* 25 */ virtual int32_t NotSupported25() = 0;
    /* 26 */ virtual int32_t NotSupported26() = 0;
    /* 27 */ virtual int32_t GetPartitionDescription(char* buffer, uint32_t size) = 0;
    /* 28 */ virtual int32_t NotSupported28() = 0;
    /* 29 */ virtual int32_t NotSupported29() = 0;
    /* 30 */ virtual int32_t GetPartitionType(uint32_t* value) = 0;
    /* 31 */ virtual int32_t GetFileSystemKind(uint32_t* value) = 0;
    /* 32 */ virtual int32_t GetBlockCount(uint32_t* value) = 0;
    /* 33 */ virtual int32_t GetSectorsPerBlock(uint32_t* value) = 0;
    /* 34 */ virtual int32_t GetBytesPerSector(uint32_t* value) = 0;
    /* 35 */ virtual int32_t GetPartitionDate(uint32_t* year, uint32_t* month, uint32_t* day) = 0;
    /* 36 */ virtual int32_t NotSupported36() = 0;
    // Stored data length; for a spanning partition with flag != 0 the current
    // volume's own piece is added.
    /* 37 */ virtual int32_t GetStoredDataLength(uint32_t* low, uint32_t* high, uint32_t flag) = 0;
    /* 38 */ virtual int32_t GetRecordValue68(uint32_t* value) = 0;
    /* 39 */ virtual int32_t NotSupported39() = 0;
    /* 40 */ virtual int32_t GetPartitionKind(uint32_t* value) = 0; // 1 logical, 2 primary
    /* 41 */ virtual int32_t NotSupported41() = 0;
    /* 42 */ virtual int32_t GetTotalSectors(uint32_t* value) = 0;
    /* 43 */ virtual int32_t GetDriveLetter(uint8_t* value) = 0;
    /* 44 */ virtual int32_t GetCompressionCode(uint32_t* value) = 0;
    /* 45 */ virtual int32_t GetBitmapSize(uint32_t* value) = 0;
    /* 46 */ virtual int32_t GetUsedBlockCount(uint32_t* value) = 0;
    /* 47 */ virtual int32_t ClosePartition() = 0;
    /* 48 */ virtual int32_t GetRecordValue88(uint32_t* value) = 0;
    /* 49 */ virtual int32_t NotSupported49() = 0;
    /* 50 */ virtual int32_t GetPasswordValue(uint32_t* value) = 0; // 0: no password
    /* 51 */ virtual int32_t NotSupported51() = 0;
    /* 52 */ virtual int32_t GetBlockLimit(uint32_t* value) = 0;
    /* 53 */ virtual int32_t NotSupported53() = 0;
    /* 54 */ virtual int32_t GetRecordValue104(uint32_t* value) = 0;
    /* 55 */ virtual int32_t NotSupported55() = 0;
    /* 56 */ virtual int32_t GetRecordValue76(uint32_t* value) = 0;
    /* 57 */ virtual int32_t NotSupported57() = 0;
    /* 58 */ virtual int32_t GetRecordValue108(uint32_t* value) = 0;
    /* 59 */ virtual int32_t NotSupported59() = 0;
    /* 60 */ virtual int32_t GetFormatVersion(uint16_t* version, uint16_t* reserved) = 0;
    /* 61 */ virtual int32_t GetRecordValue508(uint32_t* value) = 0;
    /* 62 */ virtual int32_t NotSupported62() = 0;
    /* 63 */ virtual void Prepare() = 0; // does nothing
    /* 64 */ virtual void Reserved64() = 0;
    /* 65 */ virtual void Reserved65() = 0;
    /* 66 */ virtual int32_t IsPartFlag100(uint32_t* value) = 0;
    /* 67 */ virtual int32_t IsPartFlag200(uint32_t* value) = 0;
    /* 68 */ virtual int32_t IsReadOnly(uint32_t* value) = 0;
    /* 69 */ virtual int32_t IsSpanning(uint32_t* value) = 0;
    /* 70 */ virtual uint32_t GetImageVolumeCount() = 0;
    /* 71 */ virtual int32_t FreeDecoderBuffers() = 0;
    // Position in the stored data of the first byte the decoder has not consumed.
    /* 72 */ virtual uint64_t GetDataPosition() = 0;
    /* 73 */ virtual uint32_t GetPendingCount() = 0; // decoded bytes held back
    /* 74 */ virtual int32_t SaveDecoderState(void* buffer) = 0;
    /* 75 */ virtual int32_t RestoreDecoderState(const void* buffer) = 0;
    /* 76 */ virtual uint32_t GetDecoderStateSize() = 0;
    /* 77 */ virtual uint32_t GetImageId() = 0;
    /* 78 */ virtual uint32_t GetSelectedPartition() = 0; // 0 when none
    /* 79 */ virtual int32_t BuildVolumeTable() = 0;
    /* 80 */ virtual int32_t SetVolumeTable(uint32_t count, const uint64_t* table) = 0;
    /* 81 */ virtual const uint64_t* GetVolumeTable(uint32_t* count) = 0;
    /* 82 */ virtual void SetKeyRotation(uint32_t rotation) = 0;
    /* 83 */ virtual void AdvanceKeyRotation(uint32_t steps) = 0;
    /* 84 */ virtual void GetKeyRotation(uint32_t* rotation) = 0;
    /* 85 */ virtual int32_t IsPartFlag800(uint32_t* value) = 0;

    // Other names of the slots above, as the program's image access uses them.
    int32_t Seek(uint64_t offset) { return SeekData(offset); }
    int32_t Read(void* buffer, uint32_t length, uint32_t* count) {
        return ReadData(buffer, length, count);
    }
    uint64_t GetPosition() { return GetDataPosition(); }
    uint32_t GetPartitionNumber() { return GetSelectedPartition(); }
    void SetPhase(uint32_t phase) { SetKeyRotation(phase); }
    void AdvancePhase(uint32_t steps) { AdvanceKeyRotation(steps); }
    uint32_t GetImageStamp() { return GetImageId(); }
    int32_t UsesVolumeTable(uint32_t* flag) { return IsSpanning(flag); }

protected:
    ~IMAGE_STORE() = default; // destroyed only through Release
};
