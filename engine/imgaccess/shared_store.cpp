#include "engine/imgaccess/shared_store.h"

#include "engine/core/kwret.h"

#include <new>

namespace kw::imgaccess {

SHARED_PART_STORE* SHARED_PART_STORE::Wrap(PART_STORE* inner) {
    auto* shared = new (std::nothrow) SHARED_PART_STORE(inner);
    if (shared == nullptr)
        inner->Release();
    return shared;
}

uint32_t SHARED_PART_STORE::AddRef() {
    return ++refs_;
}

uint32_t SHARED_PART_STORE::Release() {
    if (--refs_ != 0)
        return refs_;
    inner_->Release();
    delete this;
    return 0;
}

int32_t SHARED_PART_STORE::OpenPartData(uint32_t part) {
    if (selected_ == part && dataOpen_)
        return KW_OK;
    Forget();
    int32_t rc = inner_->SelectPart(part);
    if (rc == 0)
        rc = inner_->OpenUdata(nullptr);
    if (rc != 0)
        return rc;
    selected_ = part;
    dataOpen_ = true;
    return KW_OK;
}

int32_t SHARED_PART_STORE::ReadPartData(uint32_t part, uint64_t offset, void* buffer,
                                        uint32_t length) {
    int32_t rc = OpenPartData(part);
    if (rc != 0)
        return rc;
    inner_->SetPosition(offset);
    uint32_t got = 0;
    rc = inner_->Read(buffer, length, &got);
    if (rc != 0) {
        Forget(); // the stream's state is unknown after a failure
        return rc;
    }
    return got == length ? KW_OK : static_cast<int32_t>(ERR_IMG_READ);
}

int32_t SHARED_PART_STORE::ReadPartBitmap(uint32_t part, void* buffer, uint32_t length) {
    Forget();
    int32_t rc = inner_->SelectPart(part);
    uint64_t size = 0;
    if (rc == 0)
        rc = inner_->OpenUbmap(&size);
    if (rc == 0 && size != length)
        rc = ERR_IMG_INVALID;
    uint32_t got = 0;
    if (rc == 0 && length != 0)
        rc = inner_->Read(buffer, length, &got);
    if (rc == 0 && got != length)
        rc = ERR_IMG_READ;
    inner_->ClosePartStream();
    if (rc == 0)
        selected_ = part; // selected, no stream open
    dataOpen_ = false;
    return rc;
}

int32_t SHARED_PART_STORE::DeleteImage() {
    Forget();
    return inner_->DeleteImage();
}

int32_t SHARED_PART_STORE::Commit() {
    Forget();
    return inner_->Commit();
}

int32_t SHARED_PART_STORE::GetImagePath(char* buffer, uint32_t size) {
    return inner_->GetImagePath(buffer, size);
}

int32_t SHARED_PART_STORE::GetDescription(char* buffer, uint32_t size) {
    return inner_->GetDescription(buffer, size);
}

int32_t SHARED_PART_STORE::GetCreationTime(int32_t* year, int32_t* month, int32_t* day,
                                           int32_t* hour, int32_t* minute, int32_t* second) {
    return inner_->GetCreationTime(year, month, day, hour, minute, second);
}

int32_t SHARED_PART_STORE::GetModificationTime(int32_t* year, int32_t* month, int32_t* day,
                                               int32_t* hour, int32_t* minute, int32_t* second) {
    return inner_->GetModificationTime(year, month, day, hour, minute, second);
}

int32_t SHARED_PART_STORE::SelectPart(uint32_t index) {
    Forget();
    int32_t rc = inner_->SelectPart(index);
    if (rc == 0) {
        selected_ = index;
        dataOpen_ = false;
    }
    return rc;
}

int32_t SHARED_PART_STORE::AddPart(uint32_t* index) {
    Forget();
    return inner_->AddPart(index);
}

int32_t SHARED_PART_STORE::ClosePart() {
    Forget();
    return inner_->ClosePart();
}

int32_t SHARED_PART_STORE::RemovePart(uint32_t index) {
    Forget();
    return inner_->RemovePart(index);
}

int32_t SHARED_PART_STORE::GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                       int32_t* minute, int32_t* second) {
    return inner_->GetPartTime(year, month, day, hour, minute, second);
}

int32_t SHARED_PART_STORE::GetPartName(char* buffer, uint32_t size) {
    return inner_->GetPartName(buffer, size);
}

int32_t SHARED_PART_STORE::GetPartDescription(char* buffer, uint32_t size) {
    return inner_->GetPartDescription(buffer, size);
}

// Streams opened or closed by others: the selection stays, the data stream
// does not.
#define KW_STREAM_OP(call)                                                                         \
    dataOpen_ = false;                                                                             \
    return inner_->call

int32_t SHARED_PART_STORE::CreateMbrStream() {
    KW_STREAM_OP(CreateMbrStream());
}
int32_t SHARED_PART_STORE::OpenMbrStream(uint64_t* length) {
    KW_STREAM_OP(OpenMbrStream(length));
}
int32_t SHARED_PART_STORE::ReadMbr(void* buffer, uint32_t length, uint32_t* got) {
    KW_STREAM_OP(ReadMbr(buffer, length, got));
}
int32_t SHARED_PART_STORE::WriteMbr(const void* data, uint32_t length) {
    KW_STREAM_OP(WriteMbr(data, length));
}
int32_t SHARED_PART_STORE::CloseMbrStream() {
    KW_STREAM_OP(CloseMbrStream());
}
int32_t SHARED_PART_STORE::OpenSbmap(uint64_t* length) {
    KW_STREAM_OP(OpenSbmap(length));
}
int32_t SHARED_PART_STORE::OpenUbmap(uint64_t* length) {
    KW_STREAM_OP(OpenUbmap(length));
}
int32_t SHARED_PART_STORE::OpenSdata(uint64_t* length) {
    KW_STREAM_OP(OpenSdata(length));
}
int32_t SHARED_PART_STORE::OpenUdata(uint64_t* length) {
    KW_STREAM_OP(OpenUdata(length));
}
int32_t SHARED_PART_STORE::CreateSbmap() {
    KW_STREAM_OP(CreateSbmap());
}
int32_t SHARED_PART_STORE::CreateUbmap() {
    KW_STREAM_OP(CreateUbmap());
}
int32_t SHARED_PART_STORE::CreateSdata() {
    KW_STREAM_OP(CreateSdata());
}
int32_t SHARED_PART_STORE::CreateUdata() {
    KW_STREAM_OP(CreateUdata());
}
int32_t SHARED_PART_STORE::ClosePartStream() {
    KW_STREAM_OP(ClosePartStream());
}
#undef KW_STREAM_OP

int32_t SHARED_PART_STORE::Read(void* buffer, uint32_t length, uint32_t* got) {
    return inner_->Read(buffer, length, got);
}

int32_t SHARED_PART_STORE::Write(const void* data, uint32_t length) {
    return inner_->Write(data, length);
}

} // namespace kw::imgaccess
