#include "imagestore/legacy/legacy_part_store.h"

#include "imagestore/legacy/legacy_decoder.h"
#include "imagestore/legacy/legacy_format.h"
#include "imagestore/partstore/password_value.h"
#include "imagestore/partstore/shield.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kw::legacy {
namespace {

void copyOut(const std::string& text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0)
        return;
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

void setTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute,
             int32_t* second, int32_t y, int32_t mo, int32_t d) {
    if (year)
        *year = y;
    if (month)
        *month = mo;
    if (day)
        *day = d;
    if (hour)
        *hour = 0;
    if (minute)
        *minute = 0;
    if (second)
        *second = 0;
}

} // namespace

LEGACY_PART_STORE::LEGACY_PART_STORE(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback)
    : store_(store), callback_(callback) {
    if (store_ != nullptr)
        store_->AddRef();
}

LEGACY_PART_STORE::~LEGACY_PART_STORE() {
    if (store_ != nullptr)
        store_->Release();
}

uint32_t LEGACY_PART_STORE::Release() {
    uint32_t left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

int32_t LEGACY_PART_STORE::Open() {
    if (store_ == nullptr)
        return kReadOnly;
    uint32_t count = store_->GetPartitionCount();
    int32_t result = 0;
    for (uint32_t n = 1; n <= count; ++n) {
        if (int32_t r = store_->SelectPartition(n))
            return r;
        uint32_t password = 0;
        store_->GetPasswordValue(&password);
        if (password == 0)
            continue;
        result = checkPassword();
        break;
    }
    store_->ClosePartition();
    if (result == 0)
        measureImage();
    return result;
}

// Estimate of the image's size: its headers plus every partition's stored
// data with its record.
void LEGACY_PART_STORE::measureImage() {
    imageSize_ = (uint64_t(store_->GetVolumeCount()) + 15) * 512;
    uint32_t count = store_->GetPartitionCount();
    for (uint32_t n = 1; n <= count; ++n) {
        uint32_t low = 0, high = 0;
        if (store_->SelectPartition(n) != 0)
            continue;
        store_->GetStoredDataLength(&low, &high, 0);
        imageSize_ += (uint64_t(high) << 32 | low) + 512;
    }
    store_->ClosePartition();
}

bool LEGACY_PART_STORE::accepted(uint32_t value) const {
    return std::find(accepted_.begin(), accepted_.end(), value) != accepted_.end();
}

// The selected partition is protected: its password must have been accepted,
// else the user is asked for it.
int32_t LEGACY_PART_STORE::checkPassword() {
    uint32_t password = 0;
    store_->GetPasswordValue(&password);
    if (password == 0 || accepted(password))
        return 0;
    if (callback_ != nullptr)
        callback_->AskPassword(this);
    if (accepted(password))
        return 0;
    store_->ClosePartition();
    return kwv::kStoreCancelled;
}

uint32_t LEGACY_PART_STORE::TryPassword(const char16_t* text) {
    // Called from the caller's password prompt: no exception may go back there.
    return kw::partstore::Shield([&]() -> int32_t {
               std::string narrow;
               for (size_t i = 0; text != nullptr && text[i] != 0 && i < 255; ++i)
                   narrow.push_back(char(text[i] & 0xFF));
               uint32_t password = 0;
               if (store_->GetPasswordValue(&password) != 0 || password == 0)
                   return 0;
               if (kw::partstore::PasswordValue(narrow.c_str()) != password)
                   return 0;
               if (!accepted(password))
                   accepted_.push_back(password);
               return 1;
           }) == 1;
}

int32_t LEGACY_PART_STORE::SelectPart(uint32_t index) {
    ClosePartStream();
    if (index >= store_->GetPartitionCount()) {
        store_->ClosePartition();
        return kNoSuchStream;
    }
    if (int32_t r = store_->SelectPartition(index + 1))
        return r == kwv::kStorePartitionRange ? kNoSuchStream : r;
    return checkPassword();
}

int32_t LEGACY_PART_STORE::ClosePart() {
    ClosePartStream();
    return store_->ClosePartition();
}

uint32_t LEGACY_PART_STORE::value(int32_t (IMAGE_STORE::*getter)(uint32_t*)) {
    uint32_t v = 0;
    return (store_->*getter)(&v) == 0 ? v : 0;
}

uint32_t LEGACY_PART_STORE::GetDriveLetter() {
    uint8_t letter = 0;
    return store_->GetDriveLetter(&letter) == 0 ? letter : 0;
}

uint32_t LEGACY_PART_STORE::GetPartFlags() {
    uint32_t kind = 0, f100 = 0, f200 = 0, f800 = 0;
    if (store_->GetPartitionKind(&kind) != 0)
        return 0;
    store_->IsPartFlag100(&f100);
    store_->IsPartFlag200(&f200);
    store_->IsPartFlag800(&f800);
    return kind << 2 | (f100 ? 0x01 : 0) | (f200 ? 0x02 : 0) | (f800 ? 0x40 : 0);
}

int32_t LEGACY_PART_STORE::GetImagePath(char* buffer, uint32_t size) {
    // The ".KWU" file is the first volume only where the image has one.
    uint32_t first = store_->GetVolumeCount() > store_->GetImageVolumeCount() ? 0 : 1;
    return store_->GetVolumePath(first, buffer, size);
}

uint32_t LEGACY_PART_STORE::GetImageFlags() {
    bool temporary = store_->GetSelectedPartition() == 0;
    if (temporary && store_->SelectPartition(1) != 0)
        temporary = false;
    uint32_t code = 0, flags = 0;
    store_->GetCompressionCode(&code);
    if (temporary)
        store_->ClosePartition();
    DecoderKind kind = decoderKindFor(code);
    if (kind == DecoderKind::LzsHistory || kind == DecoderKind::LzsFresh)
        flags |= KW_IMAGE_LOW_COMPRESSION;
    else if (kind == DecoderKind::Zlib || kind == DecoderKind::OwnMethod)
        flags |= KW_IMAGE_HIGH_COMPRESSION;
    if (!accepted_.empty())
        flags |= KW_IMAGE_PASSWORD;
    if (store_->GetMediaFlags() & 1)
        flags |= KW_IMAGE_MEDIA_HANDLER;
    return flags;
}

int32_t LEGACY_PART_STORE::GetDescription(char* buffer, uint32_t size) {
    char title[101] = {}, description[401] = {};
    store_->GetImageTitle(title, sizeof title);
    store_->GetImageDescription(description, sizeof description);
    return kw::partstore::Shield([&] {
        std::string text = title;
        if (!text.empty())
            text += " - ";
        text += description;
        copyOut(text, buffer, size);
        return kwv::kStoreOk;
    });
}

// The partition's date (the selected one, else partition 1), 1980-01-01 when
// none can be had.
void LEGACY_PART_STORE::dateOf(int32_t* year, int32_t* month, int32_t* day) {
    *year = 1980;
    *month = 1;
    *day = 1;
    bool temporary = store_->GetSelectedPartition() == 0;
    if (temporary && store_->SelectPartition(1) != 0)
        return;
    uint32_t y = 0, m = 0, d = 0;
    if (store_->GetPartitionDate(&y, &m, &d) == 0) {
        *year = int32_t(y);
        *month = int32_t(m);
        *day = int32_t(d);
    }
    if (temporary)
        store_->ClosePartition();
}

int32_t LEGACY_PART_STORE::GetCreationTime(int32_t* year, int32_t* month, int32_t* day,
                                           int32_t* hour, int32_t* minute, int32_t* second) {
    int32_t y, m, d;
    dateOf(&y, &m, &d);
    setTime(year, month, day, hour, minute, second, y, m, d);
    return 0;
}

int32_t LEGACY_PART_STORE::GetModificationTime(int32_t* year, int32_t* month, int32_t* day,
                                               int32_t* hour, int32_t* minute, int32_t* second) {
    return GetCreationTime(year, month, day, hour, minute, second);
}

int32_t LEGACY_PART_STORE::GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                       int32_t* minute, int32_t* second) {
    if (store_->GetSelectedPartition() == 0)
        return kReadOnly;
    return GetCreationTime(year, month, day, hour, minute, second);
}

int32_t LEGACY_PART_STORE::GetPartName(char* buffer, uint32_t size) {
    copyOut("", buffer, size);
    return store_->GetPartitionName(buffer, size) == 0 ? 0 : kReadOnly;
}

int32_t LEGACY_PART_STORE::GetPartDescription(char* buffer, uint32_t size) {
    copyOut("", buffer, size);
    return store_->GetPartitionDescription(buffer, size) == 0 ? 0 : kReadOnly;
}

int32_t LEGACY_PART_STORE::OpenUbmap(uint64_t* length) {
    ClosePartStream();
    uint32_t blocks = 0;
    if (store_->GetBlockCount(&blocks) != 0)
        return kReadOnly;
    stream_ = Stream::Bitmap;
    length_ = (uint64_t(blocks) + 7) / 8;
    if (length)
        *length = length_;
    return 0;
}

int32_t LEGACY_PART_STORE::OpenUdata(uint64_t* length) {
    ClosePartStream();
    uint32_t used = 0, spb = 0, bps = 0;
    if (store_->GetUsedBlockCount(&used) != 0)
        return kReadOnly;
    store_->GetSectorsPerBlock(&spb);
    store_->GetBytesPerSector(&bps);
    // The data is read from its start, whatever was read before.
    if (int32_t r = store_->SeekData(0))
        return r;
    stream_ = Stream::Data;
    length_ = uint64_t(used) * spb * bps;
    if (length)
        *length = length_;
    return 0;
}

int32_t LEGACY_PART_STORE::ClosePartStream() {
    stream_ = Stream::None;
    position_ = 0;
    length_ = 0;
    return 0;
}

void LEGACY_PART_STORE::SetPosition(uint64_t position) {
    // The stream is read straight through: any other position ends it.
    if (position != position_)
        ClosePartStream();
}

int32_t LEGACY_PART_STORE::Read(void* buffer, uint32_t length, uint32_t* got) {
    uint32_t ignored = 0;
    got = got != nullptr ? got : &ignored;
    *got = 0;
    if (stream_ == Stream::Bitmap) {
        if (length < length_)
            return kReadOnly;
        uint32_t spb = 0, count = 0;
        int32_t r = store_->ReadBitmap(buffer, length, &spb, &count);
        *got = count;
        position_ += count;
        return r;
    }
    if (stream_ != Stream::Data)
        return kReadOnly;
    uint32_t want = uint32_t(std::min<uint64_t>(length, length_ - std::min(position_, length_)));
    // Scrambling runs in 32-bit words from the start of the data: keep the
    // key in step with the position.
    store_->SetKeyRotation((4 - uint32_t(position_ & 3)) & 3);
    int32_t r = store_->ReadData(buffer, want, got);
    position_ += *got;
    return r;
}

} // namespace kw::legacy
