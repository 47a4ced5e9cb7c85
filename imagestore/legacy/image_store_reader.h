// The reader of images of the older format behind the IMAGE_STORE interface.
#pragma once

#include "imagestore/legacy/legacy_decoder.h"
#include "imagestore/legacy/legacy_format.h"
#include "imagestore/legacy/volume_file.h"
#include "include/kwvaults_image_store.h"

#include <memory>
#include <string>
#include <vector>

class MEDIA_CHANGE_CALLBACK;

namespace kw::legacy {

inline constexpr uint64_t kUnknownEntry = ~uint64_t(0);

// Owns one opened image of the older format: the header, the open volume
// file, the selected partition with its record and read positions, the
// volume tables of all partitions and the decoder of the selected partition.
class IMAGE_STORE_READER final : public IMAGE_STORE, private StoredSource {
public:
    IMAGE_STORE_READER(std::string path, MEDIA_CHANGE_CALLBACK* callback);
    ~IMAGE_STORE_READER();

    // Opens the image: header, ".KWU" volume, and with a callback a trial
    // selection of every partition.
    int Open();
    std::string VolumeName(uint32_t volume) const { return names_.name(volume); }

    uint32_t AddRef() override;
    uint32_t Release() override;
    int32_t Close() override;
    uint32_t GetMediaFlags() override { return removable_ ? 1 : 0; }
    uint32_t GetPartitionCount() override { return header_.partitionCount; }
    uint32_t GetVolumeCount() override;
    int32_t GetPartitionLocation(uint32_t index, uint32_t* volume, uint64_t* offset,
                                 uint64_t* value) override;
    int32_t GetVolumePath(uint32_t volume, char* buffer, uint32_t size) override;
    int32_t NotSupported8() override { return kwv::kStoreNotSupported; }
    int32_t SelectPartition(uint32_t number) override;
    int32_t NotSupported10() override { return kwv::kStoreNotSupported; }
    int32_t ReadBitmap(void* buffer, uint32_t size, uint32_t* sectorsPerBlock,
                       uint32_t* count) override;
    int32_t ReadRawBitmap(void* buffer, uint32_t size, uint32_t* count, uint32_t* code) override;
    int32_t NotSupported13() override { return kwv::kStoreNotSupported; }
    int32_t NotSupported14() override { return kwv::kStoreNotSupported; }
    int32_t SeekData(uint64_t offset) override;
    int32_t ReadData(void* buffer, uint32_t length, uint32_t* count) override;
    int32_t ReadRawData(void* buffer, uint32_t length, uint32_t* count, uint32_t* code) override;
    int32_t NotSupported18() override { return kwv::kStoreNotSupported; }
    int32_t NotSupported19() override { return kwv::kStoreNotSupported; }
    int32_t GetImageTitle(char* buffer, uint32_t size) override;
    int32_t NotSupported21() override { return kwv::kStoreNotSupported; }
    int32_t GetImageDescription(char* buffer, uint32_t size) override;
    int32_t NotSupported23() override { return kwv::kStoreNotSupported; }
    int32_t GetPartitionName(char* buffer, uint32_t size) override;
    int32_t NotSupported25() override { return kwv::kStoreNotSupported; }
    int32_t NotSupported26() override { return kwv::kStoreNotSupported; }
    int32_t GetPartitionDescription(char* buffer, uint32_t size) override;
    int32_t NotSupported28() override { return kwv::kStoreNotSupported; }
    int32_t NotSupported29() override { return kwv::kStoreNotSupported; }
    int32_t GetPartitionType(uint32_t* v) override { return field(16, v); }
    int32_t GetFileSystemKind(uint32_t* value) override;
    int32_t GetBlockCount(uint32_t* v) override { return field(32, v); }
    int32_t GetSectorsPerBlock(uint32_t* v) override { return field(28, v); }
    int32_t GetBytesPerSector(uint32_t* v) override { return field(36, v); }
    int32_t GetPartitionDate(uint32_t* year, uint32_t* month, uint32_t* day) override;
    int32_t NotSupported36() override { return kwv::kStoreNotSupported; }
    int32_t GetStoredDataLength(uint32_t* low, uint32_t* high, uint32_t flag) override;
    int32_t GetRecordValue68(uint32_t* v) override { return field(68, v); }
    int32_t NotSupported39() override { return kwv::kStoreNotSupported; }
    int32_t GetPartitionKind(uint32_t* value) override;
    int32_t NotSupported41() override { return kwv::kStoreNotSupported; }
    int32_t GetTotalSectors(uint32_t* v) override { return field(24, v); }
    int32_t GetDriveLetter(uint8_t* value) override;
    int32_t GetCompressionCode(uint32_t* v) override { return field(60, v); }
    int32_t GetBitmapSize(uint32_t* v) override { return field(48, v); }
    int32_t GetUsedBlockCount(uint32_t* v) override { return field(72, v); }
    int32_t ClosePartition() override;
    int32_t GetRecordValue88(uint32_t* v) override { return field(88, v); }
    int32_t NotSupported49() override { return kwv::kStoreNotSupported; }
    int32_t GetPasswordValue(uint32_t* value) override;
    int32_t NotSupported51() override { return kwv::kStoreNotSupported; }
    int32_t GetBlockLimit(uint32_t* v) override { return field(100, v); }
    int32_t NotSupported53() override { return kwv::kStoreNotSupported; }
    int32_t GetRecordValue104(uint32_t* v) override { return field(104, v); }
    int32_t NotSupported55() override { return kwv::kStoreNotSupported; }
    int32_t GetRecordValue76(uint32_t* v) override { return field(76, v); }
    int32_t NotSupported57() override { return kwv::kStoreNotSupported; }
    int32_t GetRecordValue108(uint32_t* v) override { return field(108, v); }
    int32_t NotSupported59() override { return kwv::kStoreNotSupported; }
    int32_t GetFormatVersion(uint16_t* version, uint16_t* reserved) override;
    int32_t GetRecordValue508(uint32_t* v) override { return field(508, v); }
    int32_t NotSupported62() override { return kwv::kStoreNotSupported; }
    void Prepare() override {}
    void Reserved64() override {}
    void Reserved65() override {}
    int32_t IsPartFlag100(uint32_t* v) override { return flag(kFlag100, v); }
    int32_t IsPartFlag200(uint32_t* v) override { return flag(kFlag200, v); }
    int32_t IsReadOnly(uint32_t* value) override;
    int32_t IsSpanning(uint32_t* v) override { return flag(kFlagSpans, v); }
    uint32_t GetImageVolumeCount() override { return header_.imageVolumes; }
    int32_t FreeDecoderBuffers() override;
    uint64_t GetDataPosition() override;
    uint32_t GetPendingCount() override;
    int32_t SaveDecoderState(void* buffer) override;
    int32_t RestoreDecoderState(const void* buffer) override;
    uint32_t GetDecoderStateSize() override;
    uint32_t GetImageId() override { return header_.setId; }
    uint32_t GetSelectedPartition() override { return selected_; }
    int32_t BuildVolumeTable() override;
    int32_t SetVolumeTable(uint32_t count, const uint64_t* table) override;
    const uint64_t* GetVolumeTable(uint32_t* count) override;
    void SetKeyRotation(uint32_t rotation) override { rotation_ = rotation & 3; }
    void AdvanceKeyRotation(uint32_t steps) override { rotation_ = (rotation_ + steps) & 3; }
    void GetKeyRotation(uint32_t* rotation) override;
    int32_t IsPartFlag800(uint32_t* v) override { return flag(kFlag800, v); }

private:
    // StoredSource
    int ReadStored(uint8_t* buffer, size_t len, size_t* got) override;
    uint64_t StoredLeft() const override;

    int field(size_t offset, uint32_t* value) const;
    int flag(uint32_t bit, uint32_t* value) const;

    // Opening (image_store_open.cpp)
    int openFirstFile(uint32_t* volume);
    int readHeaderOf(uint32_t volume, std::vector<uint8_t>* bytes);
    int adoptFirstVolumeHeader();
    int trialSelectAll();
    int findRecord(uint32_t number, PartitionRecord* record, uint64_t* volume, uint64_t* offset);
    int walkTo(uint32_t number);
    int readRecordAt(uint32_t volume, uint64_t offset, PartitionRecord* record);
    int readRecordHere(uint64_t offset, PartitionRecord* record);
    int selectVolume(uint32_t volume);
    bool askForVolume(uint32_t volume, bool firstFailure);
    uint64_t firstRecordOffset() const;
    int checkVolumeRecord(uint32_t volume);
    bool belongsHere(const PartitionRecord& record, uint32_t volume, uint64_t place) const;
    void noteVolumeOpened(uint32_t volume);

    // Data (image_store_data.cpp)
    int readSpanning(uint8_t* buffer, size_t len, size_t* got);
    int enterDataVolume();
    int enterNextDataVolume();
    int checkDataRead(const void* buffer, uint32_t length) const;
    uint64_t dataStartIn(uint32_t volume) const;
    int measureSpan();
    int continuationOf(uint32_t volume, PartitionRecord* record);
    uint64_t spanEnd(uint32_t volume) const;
    int seekSpanning(uint64_t offset);
    int spanTable(std::vector<uint64_t>* table);
    std::vector<uint64_t>* table();

    uint32_t refs_ = 1;
    MEDIA_CHANGE_CALLBACK* callback_;
    VolumeNames names_;
    bool removable_ = false;
    bool cancelled_ = false; // set for good by a refused media prompt
    ImageHeader header_;
    uint64_t volume1HeaderSize_ = 0;

    VolumeFile file_;
    uint32_t volume_ = 0;           // the open volume (valid while file_ is open)
    uint32_t volumeBitmapSize_ = 0; // of the record at the open volume's known place
    uint32_t volumeDataLength_ = 0; // byte 52 of that record
    PartitionRecord volumeRecord_;  // that record (its header copy when there is one)

    // Records found by walking volume 1: offset of record n at index n - 1,
    // and where the record after the last one found lies.
    std::vector<uint64_t> walked_;
    uint64_t walkNext_ = 0;

    uint32_t selected_ = 0; // 0: none
    PartitionRecord record_;
    uint32_t recordVolume_ = 0;
    uint64_t recordOffset_ = 0;
    uint32_t dataVolume_ = 0;   // volume the read position refers to
    uint64_t readPosition_ = 0; // offset in that volume's file
    uint64_t storedPosition_ = 0;
    uint32_t rotation_ = 0;
    std::unique_ptr<LegacyDecoder> decoder_;
    std::vector<std::vector<uint64_t>> tables_; // per partition; empty until made

    // Where each volume's part of a partition's stored data ends, from the
    // continuation records (the data in the record's own volume is what the
    // later volumes do not hold): ends[i] is the stored-data offset just past
    // the bytes of volume first + i. Per partition; empty until measured.
    struct Span {
        uint32_t first = 0;
        std::vector<uint64_t> ends;
    };
    std::vector<Span> spans_;
};

} // namespace kw::legacy
