// LEGACY_PART_STORE: an image of the older format shown through the
// PART_STORE interface, read-only, over an IMAGE_STORE.
#pragma once

#include "include/kwvaults.h"
#include "include/kwvaults_callbacks.h"
#include "include/kwvaults_image_store.h"

#include <cstdint>
#include <vector>

namespace kw::legacy {

// Owns one reference to its IMAGE_STORE, the passwords accepted so far (one
// value per protected partition at most) and the open part stream: its kind,
// position and length. Part index i is partition i + 1 of the image store.
class LEGACY_PART_STORE final : public PART_STORE, public PASSWORD_SINK {
public:
    LEGACY_PART_STORE(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback);
    ~LEGACY_PART_STORE();

    // Selects every partition once and asks for the password of the first
    // protected one. 0, 2 without a store, 7 when no password was accepted.
    int32_t Open();

    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override;
    void* QueryExtension(const char*) override { return nullptr; }
    int32_t DeleteImage() override { return 0; }
    int32_t Commit() override { return 0; }
    int32_t GetImagePath(char* buffer, uint32_t size) override;
    uint32_t GetImageFlags() override;
    int32_t GetDescription(char* buffer, uint32_t size) override;
    int32_t GetCreationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                            int32_t* minute, int32_t* second) override;
    int32_t GetModificationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                int32_t* minute, int32_t* second) override;
    uint32_t GetPartCount() override { return store_->GetPartitionCount(); }
    uint32_t GetVolumeCount() override { return store_->GetVolumeCount(); }
    uint64_t GetImageSize() override { return imageSize_; }
    int32_t SetDescription(const char*) override { return kReadOnly; }
    int32_t SelectPart(uint32_t index) override;
    int32_t AddPart(uint32_t*) override { return kReadOnly; }
    int32_t ClosePart() override;
    int32_t RemovePart(uint32_t) override { return kReadOnly; }

    uint32_t GetPartFlags() override;
    int32_t GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
                        int32_t* second) override;
    int32_t GetPartName(char* buffer, uint32_t size) override;
    int32_t GetPartDescription(char* buffer, uint32_t size) override;
    uint32_t GetPartitionType() override { return value(&IMAGE_STORE::GetPartitionType); }
    uint32_t GetFileSystemKind() override { return value(&IMAGE_STORE::GetFileSystemKind); }
    uint32_t GetDriveLetter() override;
    uint32_t GetBytesPerSector() override { return value(&IMAGE_STORE::GetBytesPerSector); }
    uint32_t GetTotalSectors() override { return value(&IMAGE_STORE::GetTotalSectors); }
    uint32_t GetSectorsPerBlock() override { return value(&IMAGE_STORE::GetSectorsPerBlock); }
    uint32_t GetBlockCount() override { return value(&IMAGE_STORE::GetBlockCount); }
    uint32_t GetUsedBlockCount() override { return value(&IMAGE_STORE::GetUsedBlockCount); }
    uint32_t GetBlockLimit() override { return value(&IMAGE_STORE::GetBlockLimit); }
    uint32_t GetPartValue20() override { return value(&IMAGE_STORE::GetRecordValue76); }
    uint32_t GetPartValue24() override { return value(&IMAGE_STORE::GetRecordValue108); }
    uint32_t GetPartValue2C() override { return value(&IMAGE_STORE::GetRecordValue68); }
    uint32_t GetPartValue40() override { return value(&IMAGE_STORE::GetRecordValue104); }
    uint32_t GetPartValue44() override { return 0; }
    uint32_t GetPartValue48() override { return 0; }
    uint32_t GetPartValue4C() override { return 0; }
    uint32_t GetPartValue50() override { return 0xFFFFFFFF; }
    uint32_t GetPartValue54() override { return 0xFFFFFFFF; }
    uint32_t GetPartValue58() override { return value(&IMAGE_STORE::GetRecordValue508); }
    uint32_t GetPartValue68() override { return 0; }
    uint32_t GetPartValue6C() override { return 0; }
    uint32_t GetPartValue70() override { return 0; }
    uint32_t GetPartValue74() override { return 0; }
    uint32_t GetPartValue78() override { return 0; }
    uint32_t GetPartValue7C() override { return 0; }
    uint32_t GetPartValue80() override { return 0; }

    int32_t SetPartFlags(uint32_t) override { return kReadOnly; }
    int32_t SetPartName(const char*) override { return kReadOnly; }
    int32_t SetPartDescription(const char*) override { return kReadOnly; }
    int32_t SetPartitionType(uint32_t) override { return kReadOnly; }
    int32_t SetFileSystemKind(uint32_t) override { return kReadOnly; }
    int32_t SetDriveLetter(uint32_t) override { return kReadOnly; }
    int32_t SetBytesPerSector(uint32_t) override { return kReadOnly; }
    int32_t SetTotalSectors(uint32_t) override { return kReadOnly; }
    int32_t SetSectorsPerBlock(uint32_t) override { return kReadOnly; }
    int32_t SetBlockCount(uint32_t) override { return kReadOnly; }
    int32_t SetUsedBlockCount(uint32_t) override { return kReadOnly; }
    int32_t SetBlockLimit(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue20(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue24(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue2C(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue40(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue44(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue48(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue4C(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue50(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue54(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue58(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue68(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue6C(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue70(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue74(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue78(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue7C(uint32_t) override { return kReadOnly; }
    int32_t SetPartValue80(uint32_t) override { return kReadOnly; }

    int32_t HintPartVolume() override { return 0; }
    int32_t IsNativeImage() override { return 0; }
    int32_t CreateMbrStream() override { return kReadOnly; }
    int32_t OpenMbrStream(uint64_t*) override { return kReadOnly; }
    int32_t ReadMbr(void*, uint32_t, uint32_t*) override { return kReadOnly; }
    int32_t WriteMbr(const void*, uint32_t) override { return kReadOnly; }
    int32_t CloseMbrStream() override { return 0; }
    int32_t OpenSbmap(uint64_t*) override { return kNoSuchStream; }
    int32_t OpenUbmap(uint64_t* length) override;
    int32_t OpenSdata(uint64_t*) override { return kNoSuchStream; }
    int32_t OpenUdata(uint64_t* length) override;
    int32_t CreateSbmap() override { return kReadOnly; }
    int32_t CreateUbmap() override { return kReadOnly; }
    int32_t CreateSdata() override { return kReadOnly; }
    int32_t CreateUdata() override { return kReadOnly; }
    int32_t ClosePartStream() override;
    void SetPosition(uint64_t position) override;
    int32_t Read(void* buffer, uint32_t length, uint32_t* got) override;
    int32_t Write(const void*, uint32_t) override { return kReadOnly; }

    uint32_t TryPassword(const char16_t* text) override;

private:
    static constexpr int32_t kReadOnly = 2;
    static constexpr int32_t kNoSuchStream = 504;
    enum class Stream { None, Bitmap, Data };

    uint32_t value(int32_t (IMAGE_STORE::*getter)(uint32_t*));
    int32_t checkPassword();
    bool accepted(uint32_t value) const;
    void dateOf(int32_t* year, int32_t* month, int32_t* day);
    void measureImage();

    uint32_t refs_ = 1;
    IMAGE_STORE* store_;
    MEDIA_CHANGE_CALLBACK* callback_;
    std::vector<uint32_t> accepted_;
    uint64_t imageSize_ = 0;
    Stream stream_ = Stream::None;
    uint64_t position_ = 0;
    uint64_t length_ = 0;
};

// The data check of an older image through its adapter: bitmap and data
// sizes of every part, then a read of every stored block, with progress.
int32_t verifyLegacyData(PART_STORE* store, MEDIA_CHANGE_CALLBACK* callback);

} // namespace kw::legacy
