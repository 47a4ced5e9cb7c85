// The one part store of an opened image, shared by its partition accesses
// and the editor.
//
// A part store has one selected part and one open stream at a time, and both
// change under the feet of whoever read last: the editor selects parts to
// show their properties, a listing of one partition reads another's blocks.
// SHARED_PART_STORE wraps the library's store, forwards every operation and
// keeps track of what is selected and open, so that a partition access can
// ask for its own part's data and get it, re-selecting only when someone
// else moved the store.
#pragma once

#include "kwvaults.h"

#include <cstdint>

namespace kw::imgaccess {

// Holds one reference to the library's store for its whole life.
class SHARED_PART_STORE final : public PART_STORE {
public:
    // Takes over the caller's reference to inner; the result holds one
    // reference of its own (null when out of memory: inner is released).
    static SHARED_PART_STORE* Wrap(PART_STORE* inner);

    // Reads length bytes at offset of part `part`'s data stream ("udata").
    // A short read is 1811.
    int32_t ReadPartData(uint32_t part, uint64_t offset, void* buffer, uint32_t length);
    // Reads the whole used-block bitmap ("ubmap") of part `part`; 1802 when
    // the stream is not `length` bytes long.
    int32_t ReadPartBitmap(uint32_t part, void* buffer, uint32_t length);
    PART_STORE* Inner() const { return inner_; }

    uint32_t AddRef() override;
    uint32_t Release() override;
    void* QueryExtension(const char* name) override { return inner_->QueryExtension(name); }
    int32_t DeleteImage() override;
    int32_t Commit() override;
    int32_t GetImagePath(char* buffer, uint32_t size) override;
    uint32_t GetImageFlags() override { return inner_->GetImageFlags(); }
    int32_t GetDescription(char* buffer, uint32_t size) override;
    int32_t GetCreationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                            int32_t* minute, int32_t* second) override;
    int32_t GetModificationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                int32_t* minute, int32_t* second) override;
    uint32_t GetPartCount() override { return inner_->GetPartCount(); }
    uint32_t GetVolumeCount() override { return inner_->GetVolumeCount(); }
    uint64_t GetImageSize() override { return inner_->GetImageSize(); }
    int32_t SetDescription(const char* text) override { return inner_->SetDescription(text); }
    int32_t SelectPart(uint32_t index) override;
    int32_t AddPart(uint32_t* index) override;
    int32_t ClosePart() override;
    int32_t RemovePart(uint32_t index) override;

    uint32_t GetPartFlags() override { return inner_->GetPartFlags(); }
    int32_t GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
                        int32_t* second) override;
    int32_t GetPartName(char* buffer, uint32_t size) override;
    int32_t GetPartDescription(char* buffer, uint32_t size) override;
    uint32_t GetPartitionType() override { return inner_->GetPartitionType(); }
    uint32_t GetFileSystemKind() override { return inner_->GetFileSystemKind(); }
    uint32_t GetDriveLetter() override { return inner_->GetDriveLetter(); }
    uint32_t GetBytesPerSector() override { return inner_->GetBytesPerSector(); }
    uint32_t GetTotalSectors() override { return inner_->GetTotalSectors(); }
    uint32_t GetSectorsPerBlock() override { return inner_->GetSectorsPerBlock(); }
    uint32_t GetBlockCount() override { return inner_->GetBlockCount(); }
    uint32_t GetUsedBlockCount() override { return inner_->GetUsedBlockCount(); }
    uint32_t GetBlockLimit() override { return inner_->GetBlockLimit(); }
    uint32_t GetPartValue20() override { return inner_->GetPartValue20(); }
    uint32_t GetPartValue24() override { return inner_->GetPartValue24(); }
    uint32_t GetPartValue2C() override { return inner_->GetPartValue2C(); }
    uint32_t GetPartValue40() override { return inner_->GetPartValue40(); }
    uint32_t GetPartValue44() override { return inner_->GetPartValue44(); }
    uint32_t GetPartValue48() override { return inner_->GetPartValue48(); }
    uint32_t GetPartValue4C() override { return inner_->GetPartValue4C(); }
    uint32_t GetPartValue50() override { return inner_->GetPartValue50(); }
    uint32_t GetPartValue54() override { return inner_->GetPartValue54(); }
    uint32_t GetPartValue58() override { return inner_->GetPartValue58(); }
    uint32_t GetPartValue68() override { return inner_->GetPartValue68(); }
    uint32_t GetPartValue6C() override { return inner_->GetPartValue6C(); }
    uint32_t GetPartValue70() override { return inner_->GetPartValue70(); }
    uint32_t GetPartValue74() override { return inner_->GetPartValue74(); }
    uint32_t GetPartValue78() override { return inner_->GetPartValue78(); }
    uint32_t GetPartValue7C() override { return inner_->GetPartValue7C(); }
    uint32_t GetPartValue80() override { return inner_->GetPartValue80(); }

    int32_t SetPartFlags(uint32_t v) override { return inner_->SetPartFlags(v); }
    int32_t SetPartName(const char* text) override { return inner_->SetPartName(text); }
    int32_t SetPartDescription(const char* text) override {
        return inner_->SetPartDescription(text);
    }
    int32_t SetPartitionType(uint32_t v) override { return inner_->SetPartitionType(v); }
    int32_t SetFileSystemKind(uint32_t v) override { return inner_->SetFileSystemKind(v); }
    int32_t SetDriveLetter(uint32_t v) override { return inner_->SetDriveLetter(v); }
    int32_t SetBytesPerSector(uint32_t v) override { return inner_->SetBytesPerSector(v); }
    int32_t SetTotalSectors(uint32_t v) override { return inner_->SetTotalSectors(v); }
    int32_t SetSectorsPerBlock(uint32_t v) override { return inner_->SetSectorsPerBlock(v); }
    int32_t SetBlockCount(uint32_t v) override { return inner_->SetBlockCount(v); }
    int32_t SetUsedBlockCount(uint32_t v) override { return inner_->SetUsedBlockCount(v); }
    int32_t SetBlockLimit(uint32_t v) override { return inner_->SetBlockLimit(v); }
    int32_t SetPartValue20(uint32_t v) override { return inner_->SetPartValue20(v); }
    int32_t SetPartValue24(uint32_t v) override { return inner_->SetPartValue24(v); }
    int32_t SetPartValue2C(uint32_t v) override { return inner_->SetPartValue2C(v); }
    int32_t SetPartValue40(uint32_t v) override { return inner_->SetPartValue40(v); }
    int32_t SetPartValue44(uint32_t v) override { return inner_->SetPartValue44(v); }
    int32_t SetPartValue48(uint32_t v) override { return inner_->SetPartValue48(v); }
    int32_t SetPartValue4C(uint32_t v) override { return inner_->SetPartValue4C(v); }
    int32_t SetPartValue50(uint32_t v) override { return inner_->SetPartValue50(v); }
    int32_t SetPartValue54(uint32_t v) override { return inner_->SetPartValue54(v); }
    int32_t SetPartValue58(uint32_t v) override { return inner_->SetPartValue58(v); }
    int32_t SetPartValue68(uint32_t v) override { return inner_->SetPartValue68(v); }
    int32_t SetPartValue6C(uint32_t v) override { return inner_->SetPartValue6C(v); }
    int32_t SetPartValue70(uint32_t v) override { return inner_->SetPartValue70(v); }
    int32_t SetPartValue74(uint32_t v) override { return inner_->SetPartValue74(v); }
    int32_t SetPartValue78(uint32_t v) override { return inner_->SetPartValue78(v); }
    int32_t SetPartValue7C(uint32_t v) override { return inner_->SetPartValue7C(v); }
    int32_t SetPartValue80(uint32_t v) override { return inner_->SetPartValue80(v); }

    int32_t HintPartVolume() override { return inner_->HintPartVolume(); }
    int32_t IsNativeImage() override { return inner_->IsNativeImage(); }
    int32_t CreateMbrStream() override;
    int32_t OpenMbrStream(uint64_t* length) override;
    int32_t ReadMbr(void* buffer, uint32_t length, uint32_t* got) override;
    int32_t WriteMbr(const void* data, uint32_t length) override;
    int32_t CloseMbrStream() override;
    int32_t OpenSbmap(uint64_t* length) override;
    int32_t OpenUbmap(uint64_t* length) override;
    int32_t OpenSdata(uint64_t* length) override;
    int32_t OpenUdata(uint64_t* length) override;
    int32_t CreateSbmap() override;
    int32_t CreateUbmap() override;
    int32_t CreateSdata() override;
    int32_t CreateUdata() override;
    int32_t ClosePartStream() override;
    void SetPosition(uint64_t position) override { inner_->SetPosition(position); }
    int32_t Read(void* buffer, uint32_t length, uint32_t* got) override;
    int32_t Write(const void* data, uint32_t length) override;

private:
    explicit SHARED_PART_STORE(PART_STORE* inner) : inner_(inner) {}
    ~SHARED_PART_STORE() = default;
    // Forgets what is selected and open (someone else moved the store).
    void Forget() { selected_ = kNone; }
    int32_t OpenPartData(uint32_t part);

    static constexpr uint32_t kNone = UINT32_MAX;
    PART_STORE* inner_;
    uint32_t refs_ = 1;
    uint32_t selected_ = kNone; // the part selected through this wrapper
    bool dataOpen_ = false;     // its "udata" stream is open
};

} // namespace kw::imgaccess
