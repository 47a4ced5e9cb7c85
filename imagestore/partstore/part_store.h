// PartStore: the PART_STORE of an image of the current format. It owns one
// reference to the image's container, the image header, the list of part
// stream paths, the current part's record and at most one open stream (a part
// stream or the MBR stream) with its position.
#pragma once

#include "imagestore/partstore/image_header.h"
#include "imagestore/partstore/part_record.h"
#include "kwvaults.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kwv {
class StoreContainer;
class StreamReader;
class StreamWriter;
} // namespace kwv

namespace kw::partstore {

class PartStore final : public PART_STORE {
public:
    enum class Mode { Closed, Read, Write };

    PartStore() = default;
    PartStore(const PartStore&) = delete;
    PartStore& operator=(const PartStore&) = delete;

    // Opening (part_store_open.cpp); each answers 0 or an error code and
    // leaves the store closed on failure.
    int32_t OpenRead(const char* path, MEDIA_CHANGE_CALLBACK* callback);
    int32_t OpenAppend(const char* path, uint64_t limit, MEDIA_CHANGE_CALLBACK* callback);
    int32_t Create(const char* path, const char16_t* password, uint64_t limit, uint32_t flags,
                   MEDIA_CHANGE_CALLBACK* callback);

    // The data check of PartStoreVerifyData, read mode (part_store_verify.cpp):
    // every part's record and streams, then every chunk of the set. 1802 for a
    // damaged part (the debug log names it).
    int32_t VerifyData();

    uint32_t AddRef() override;
    uint32_t Release() override;
    void* QueryExtension(const char*) override { return nullptr; }
    int32_t DeleteImage() override;
    int32_t Commit() override;
    int32_t GetImagePath(char* buffer, uint32_t size) override;
    uint32_t GetImageFlags() override;
    int32_t GetDescription(char* buffer, uint32_t size) override;
    int32_t GetCreationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                            int32_t* minute, int32_t* second) override;
    int32_t GetModificationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                int32_t* minute, int32_t* second) override;
    uint32_t GetPartCount() override { return uint32_t(parts_.size()); }
    uint32_t GetVolumeCount() override;
    uint64_t GetImageSize() override;
    int32_t SetDescription(const char* text) override;
    int32_t SelectPart(uint32_t index) override;
    int32_t AddPart(uint32_t* index) override;
    int32_t ClosePart() override;
    int32_t RemovePart(uint32_t index) override;

    uint32_t GetPartFlags() override { return Value(PartField::Flags); }
    int32_t GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
                        int32_t* second) override;
    int32_t GetPartName(char* buffer, uint32_t size) override;
    int32_t GetPartDescription(char* buffer, uint32_t size) override;
    uint32_t GetPartitionType() override { return Value(PartField::PartitionType); }
    uint32_t GetFileSystemKind() override { return Value(PartField::FileSystemKind); }
    uint32_t GetDriveLetter() override { return Value(PartField::DriveLetter); }
    uint32_t GetBytesPerSector() override { return Value(PartField::BytesPerSector); }
    uint32_t GetTotalSectors() override { return Value(PartField::TotalSectors); }
    uint32_t GetSectorsPerBlock() override { return Value(PartField::SectorsPerBlock); }
    uint32_t GetBlockCount() override { return Value(PartField::BlockCount); }
    uint32_t GetUsedBlockCount() override { return Value(PartField::UsedBlockCount); }
    uint32_t GetBlockLimit() override { return Value(PartField::BlockLimit); }
    // The further values are named after their offsets in the record.
    uint32_t GetPartValue20() override { return Value(0x20); }
    uint32_t GetPartValue24() override { return Value(0x24); }
    uint32_t GetPartValue2C() override { return Value(0x2C); }
    uint32_t GetPartValue40() override { return Value(0x40); }
    uint32_t GetPartValue44() override { return Value(0x44); }
    uint32_t GetPartValue48() override { return Value(0x48); }
    uint32_t GetPartValue4C() override { return Value(0x4C); }
    uint32_t GetPartValue50() override { return Value(0x50); }
    uint32_t GetPartValue54() override { return Value(0x54); }
    uint32_t GetPartValue58() override { return Value(0x58); }
    uint32_t GetPartValue68() override { return Value(0x68); }
    uint32_t GetPartValue6C() override { return Value(0x6C); }
    uint32_t GetPartValue70() override { return Value(0x70); }
    uint32_t GetPartValue74() override { return Value(0x74); }
    uint32_t GetPartValue78() override { return Value(0x78); }
    uint32_t GetPartValue7C() override { return Value(0x7C); }
    uint32_t GetPartValue80() override { return Value(0x80); }

    int32_t SetPartFlags(uint32_t v) override { return SetValue(PartField::Flags, v); }
    int32_t SetPartName(const char* text) override;
    int32_t SetPartDescription(const char* text) override;
    int32_t SetPartitionType(uint32_t v) override { return SetValue(PartField::PartitionType, v); }
    int32_t SetFileSystemKind(uint32_t v) override {
        return SetValue(PartField::FileSystemKind, v);
    }
    int32_t SetDriveLetter(uint32_t v) override { return SetValue(PartField::DriveLetter, v); }
    int32_t SetBytesPerSector(uint32_t v) override {
        return SetValue(PartField::BytesPerSector, v);
    }
    int32_t SetTotalSectors(uint32_t v) override { return SetValue(PartField::TotalSectors, v); }
    int32_t SetSectorsPerBlock(uint32_t v) override {
        return SetValue(PartField::SectorsPerBlock, v);
    }
    int32_t SetBlockCount(uint32_t v) override { return SetValue(PartField::BlockCount, v); }
    int32_t SetUsedBlockCount(uint32_t v) override {
        return SetValue(PartField::UsedBlockCount, v);
    }
    int32_t SetBlockLimit(uint32_t v) override { return SetValue(PartField::BlockLimit, v); }
    int32_t SetPartValue20(uint32_t v) override { return SetValue(0x20, v); }
    int32_t SetPartValue24(uint32_t v) override { return SetValue(0x24, v); }
    int32_t SetPartValue2C(uint32_t v) override { return SetValue(0x2C, v); }
    int32_t SetPartValue40(uint32_t v) override { return SetValue(0x40, v); }
    int32_t SetPartValue44(uint32_t v) override { return SetValue(0x44, v); }
    int32_t SetPartValue48(uint32_t v) override { return SetValue(0x48, v); }
    int32_t SetPartValue4C(uint32_t v) override { return SetValue(0x4C, v); }
    int32_t SetPartValue50(uint32_t v) override { return SetValue(0x50, v); }
    int32_t SetPartValue54(uint32_t v) override { return SetValue(0x54, v); }
    int32_t SetPartValue58(uint32_t v) override { return SetValue(0x58, v); }
    int32_t SetPartValue68(uint32_t v) override { return SetValue(0x68, v); }
    int32_t SetPartValue6C(uint32_t v) override { return SetValue(0x6C, v); }
    int32_t SetPartValue70(uint32_t v) override { return SetValue(0x70, v); }
    int32_t SetPartValue74(uint32_t v) override { return SetValue(0x74, v); }
    int32_t SetPartValue78(uint32_t v) override { return SetValue(0x78, v); }
    int32_t SetPartValue7C(uint32_t v) override { return SetValue(0x7C, v); }
    int32_t SetPartValue80(uint32_t v) override { return SetValue(0x80, v); }

    int32_t HintPartVolume() override;
    int32_t IsNativeImage() override { return 1; }
    int32_t CreateMbrStream() override;
    int32_t OpenMbrStream(uint64_t* length) override;
    int32_t ReadMbr(void* buffer, uint32_t length, uint32_t* got) override;
    int32_t WriteMbr(const void* data, uint32_t length) override;
    int32_t CloseMbrStream() override;
    int32_t OpenSbmap(uint64_t* length) override { return OpenPartStream("sbmap", length); }
    int32_t OpenUbmap(uint64_t* length) override { return OpenPartStream("ubmap", length); }
    int32_t OpenSdata(uint64_t* length) override { return OpenPartStream("sdata", length); }
    int32_t OpenUdata(uint64_t* length) override { return OpenPartStream("udata", length); }
    int32_t CreateSbmap() override { return CreatePartStream("sbmap"); }
    int32_t CreateUbmap() override { return CreatePartStream("ubmap"); }
    int32_t CreateSdata() override { return CreatePartStream("sdata"); }
    int32_t CreateUdata() override { return CreatePartStream("udata"); }
    int32_t ClosePartStream() override;
    void SetPosition(uint64_t position) override { position_ = position; }
    int32_t Read(void* buffer, uint32_t length, uint32_t* got) override;
    int32_t Write(const void* data, uint32_t length) override;

private:
    // One part of the image: its stream path and whether it was added since
    // the image was opened (only such a part can be removed again).
    struct Part {
        std::string path;
        bool addedNow = false;
        int32_t failedWrite = 0; // a write to its streams failed: it cannot be kept
        int32_t damage = 0;      // 1802: listed, but its record or streams are damaged
    };
    enum class StreamKind { None, Part, Mbr };

    ~PartStore();

    int32_t CommitNow();
    int32_t LoadHeader();
    int32_t ListParts();
    // A child of "kwi" that is meant to be a part but fails its check.
    bool LooksLikePart(const std::string& name, uint32_t tag, size_t inlineLength) const;
    int32_t CheckPartRecord(const std::string& path, const PartRecord& record);
    int32_t CheckPartStreams(const std::string& path);
    int32_t CountBitmapBits(uint64_t length, uint64_t& bits);
    // A stream entry's first tag word and up to buffer.size() bytes of its
    // inline data (held: the bytes copied).
    int32_t ReadEntry(const char* path, std::span<uint8_t> buffer, uint32_t& tag, size_t& held);
    int32_t ReadRecord(const std::string& path, PartRecord& record);
    int32_t FindFreePartName(std::string& path);
    bool HasCurrentPart() const { return current_ >= 0; }
    uint32_t Value(PartField field) const { return Value(uint32_t(field)); }
    uint32_t Value(uint32_t offset) const;
    int32_t SetValue(PartField field, uint32_t value) { return SetValue(uint32_t(field), value); }
    int32_t SetValue(uint32_t offset, uint32_t value);
    int32_t SetText(bool name, const char* text);

    int32_t OpenPartStream(const char* child, uint64_t* length);
    int32_t CreatePartStream(const char* child);
    int32_t OpenReader(const std::string& path, StreamKind kind, uint64_t* length);
    int32_t OpenWriter(const std::string& path, uint32_t tag, StreamKind kind);
    void CloseStream();
    void DropCurrentPart();
    int32_t DiscardPart(size_t index);
    void CloseContainer();
    // True when an append has something to keep: a part added, the
    // description changed or the MBR stream made.
    bool KeepsAppend() const;
    // The first failure that forbids committing what was written: a part
    // record not written, a part or MBR write that failed.
    int32_t WriteFailure() const;

    uint32_t refs_ = 1;
    Mode mode_ = Mode::Closed;
    kwv::StoreContainer* container_ = nullptr;

    ImageHeader header_;
    bool headerChanged_ = false;

    std::string path_; // the image's volume-0 path, for the debug log
    std::vector<Part> parts_;
    int32_t current_ = -1;
    PartRecord record_;

    StreamKind streamKind_ = StreamKind::None;
    kwv::StreamReader* reader_ = nullptr;
    kwv::StreamWriter* writer_ = nullptr;
    uint64_t position_ = 0;

    int32_t closeError_ = 0; // the first error met while closing parts
    int32_t mbrFailed_ = 0;  // a write to the MBR stream failed

    bool appending_ = false;  // opened for appending to an existing image
    bool described_ = false;  // the description was set
    bool mbrCreated_ = false; // the MBR stream was made
};

} // namespace kw::partstore
