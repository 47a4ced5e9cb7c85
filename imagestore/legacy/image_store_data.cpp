// Reading a partition's stored bitmap and data, across volumes, with the
// volume tables that make positions in spanning data seekable.
#include "imagestore/legacy/image_store_reader.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

namespace kw::legacy {

uint64_t IMAGE_STORE_READER::dataStartIn(uint32_t volume) const {
    if (volume == recordVolume_)
        return recordOffset_ + kRecordSize + record_.bitmapSize();
    return kRecordSize + volumeBitmapSize_;
}

uint64_t IMAGE_STORE_READER::StoredLeft() const {
    uint64_t length = record_.dataLength();
    return length > storedPosition_ ? length - storedPosition_ : 0;
}

int IMAGE_STORE_READER::enterDataVolume() {
    if (file_.isOpen() && volume_ == dataVolume_)
        return kwv::kStoreOk;
    return selectVolume(dataVolume_);
}

// Reads len stored bytes at the read position. Data that spans volumes goes
// on after the record and bitmap at the start of the next volume; elsewhere a
// short read means a damaged image.
int IMAGE_STORE_READER::readSpanning(uint8_t* buffer, size_t len, size_t* got) {
    *got = 0;
    while (*got < len) {
        if (int r = enterDataVolume())
            return r;
        size_t n = 0;
        if (!file_.readAt(readPosition_, buffer + *got, len - *got, &n))
            return kwv::kStoreShortRead;
        readPosition_ += n;
        storedPosition_ += n;
        *got += n;
        if (*got == len)
            break;
        if (!record_.spans() || dataVolume_ >= header_.imageVolumes)
            return kwv::kStoreInvalid;
        dataVolume_ += 1;
        if (int r = selectVolume(dataVolume_))
            return r;
        readPosition_ = dataStartIn(dataVolume_);
    }
    return kwv::kStoreOk;
}

int IMAGE_STORE_READER::ReadStored(uint8_t* buffer, size_t len, size_t* got) {
    len = size_t(std::min<uint64_t>(len, StoredLeft()));
    return readSpanning(buffer, len, got);
}

int IMAGE_STORE_READER::checkDataRead(const void* buffer, uint32_t length) const {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (cancelled_)
        return kwv::kStoreCancelled;
    if (buffer == nullptr && length != 0)
        return kwv::kStoreNotSupported;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::ReadData(void* buffer, uint32_t length, uint32_t* count) {
    if (count != nullptr)
        *count = 0;
    if (int r = checkDataRead(buffer, length))
        return r;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    int r = kwv::kStoreOk;
    bool compressed = (record_.flags() & kFlagCompressed) && record_.compressionCode() != 0;
    if (!compressed)
        r = ReadStored(out, length, &got);
    else if (!decoder_)
        return kwv::kStoreUnknownCode;
    else
        r = decoder_->Read(*this, out, length, &got);
    if (cancelled_)
        r = kwv::kStoreCancelled;
    if (count != nullptr)
        *count = uint32_t(got);
    if (r == kwv::kStoreOk)
        descramble({out, got}, record_.passwordValue(), rotation_);
    return r;
}

int32_t IMAGE_STORE_READER::ReadRawData(void* buffer, uint32_t length, uint32_t* count,
                                        uint32_t* code) {
    if (count != nullptr)
        *count = 0;
    if (int r = checkDataRead(buffer, length))
        return r;
    uint32_t stored = (record_.flags() & kFlagCompressed) ? record_.compressionCode() : 0;
    if (code != nullptr)
        *code = stored;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    int r = ReadStored(out, length, &got);
    if (count != nullptr)
        *count = uint32_t(got);
    if (r == kwv::kStoreOk && stored == 0)
        descramble({out, got}, record_.passwordValue(), rotation_);
    return r;
}

int32_t IMAGE_STORE_READER::SeekData(uint64_t offset) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (!record_.spans() || offset == 0 || offset >= record_.dataLength()) {
        dataVolume_ = recordVolume_;
        readPosition_ = dataStartIn(recordVolume_) + std::min(offset, record_.dataLength());
        storedPosition_ = offset;
    } else if (int r = seekSpanning(offset)) {
        return r;
    }
    if (decoder_)
        decoder_->Seek(offset);
    return kwv::kStoreOk;
}

// Finds the volume holding the offset from the partition's volume table,
// opening volumes whose entry is not known yet (which fills it in).
int IMAGE_STORE_READER::seekSpanning(uint64_t offset) {
    std::vector<uint64_t>* t = table();
    if (t == nullptr)
        return kwv::kStoreVolumeTable;
    uint32_t v = recordVolume_;
    for (; v <= header_.imageVolumes; ++v) {
        if ((*t)[v - 1] == kUnknownEntry)
            if (int r = selectVolume(v))
                return r;
        if ((*t)[v - 1] == kUnknownEntry)
            return kwv::kStoreVolumeTable;
        if ((*t)[v - 1] >= offset)
            break;
    }
    if (v > header_.imageVolumes)
        return kwv::kStoreInvalid;
    if (int r = selectVolume(v))
        return r;
    uint64_t start = 0;
    if (v != recordVolume_ && v >= 2 && (*t)[v - 2] != 0)
        start = (*t)[v - 2] + 1;
    if (offset < start)
        return kwv::kStoreVolumeTable;
    dataVolume_ = v;
    readPosition_ = dataStartIn(v) + (offset - start);
    storedPosition_ = offset;
    return kwv::kStoreOk;
}

std::vector<uint64_t>* IMAGE_STORE_READER::table() {
    if (selected_ == 0 || selected_ > tables_.size() || tables_[selected_ - 1].empty())
        return nullptr;
    return &tables_[selected_ - 1];
}

// Entry for volume n: the stored-data offset of the last data byte it holds.
// The record's own volume counts from the record's data start; each later
// volume adds its bytes behind its own record and bitmap.
int IMAGE_STORE_READER::fillTableEntry(uint32_t volume) {
    std::vector<uint64_t>* t = table();
    if (t == nullptr || volume == 0 || volume > t->size() || (*t)[volume - 1] != kUnknownEntry)
        return kwv::kStoreOk;
    if (volume < recordVolume_)
        return kwv::kStoreOk;
    uint64_t start = dataStartIn(volume);
    uint64_t held = file_.size() > start ? file_.size() - start : 0;
    if (volume == recordVolume_ && held != 0)
        (*t)[volume - 1] = held - 1;
    else if (volume > recordVolume_ && (*t)[volume - 2] != kUnknownEntry)
        (*t)[volume - 1] = (*t)[volume - 2] + held;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::BuildVolumeTable() {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (tables_.size() < header_.partitionCount) {
        try {
            tables_.resize(header_.partitionCount);
        } catch (const std::bad_alloc&) {
            return kwv::kStoreOutOfMemory;
        }
    }
    std::vector<uint64_t>& t = tables_[selected_ - 1];
    try {
        t.assign(header_.imageVolumes, kUnknownEntry);
    } catch (const std::bad_alloc&) {
        return kwv::kStoreOutOfMemory;
    }
    std::fill(t.begin(), t.begin() + (recordVolume_ - 1), 0);
    if (file_.isOpen() && volume_ == recordVolume_)
        return fillTableEntry(recordVolume_);
    return selectVolume(recordVolume_); // fills the entry
}

int32_t IMAGE_STORE_READER::SetVolumeTable(uint32_t count, const uint64_t* entries) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (count != header_.imageVolumes || entries == nullptr)
        return kwv::kStoreVolumeTable;
    try {
        tables_.resize(std::max<size_t>(tables_.size(), header_.partitionCount));
        tables_[selected_ - 1].assign(entries, entries + count);
    } catch (const std::bad_alloc&) {
        return kwv::kStoreOutOfMemory;
    }
    return kwv::kStoreOk;
}

const uint64_t* IMAGE_STORE_READER::GetVolumeTable(uint32_t* count) {
    std::vector<uint64_t>* t = table();
    if (count != nullptr)
        *count = t != nullptr ? uint32_t(t->size()) : 0;
    return t != nullptr ? t->data() : nullptr;
}

// Reads the stored bitmap behind the record into buffer (size bytes).
static int readBitmapBytes(VolumeFile& file, uint64_t offset, uint8_t* buffer, size_t size) {
    size_t got = 0;
    if (!file.readAt(offset, buffer, size, &got))
        return kwv::kStoreShortRead;
    return got == size ? kwv::kStoreOk : kwv::kStoreInvalid;
}

int32_t IMAGE_STORE_READER::ReadBitmap(void* buffer, uint32_t size, uint32_t* sectorsPerBlock,
                                       uint32_t* count) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    uint32_t stored = record_.bitmapSize();
    if (stored == 0)
        return kwv::kStoreNoData;
    if (int r = selectVolume(recordVolume_))
        return r;
    if (sectorsPerBlock != nullptr)
        *sectorsPerBlock = record_.sectorsPerBlock();
    uint64_t at = recordOffset_ + kRecordSize;
    if (!(record_.flags() & kFlagBitmapZlib)) {
        if (size < stored)
            return kwv::kStoreBufferSmall;
        if (int r = readBitmapBytes(file_, at, static_cast<uint8_t*>(buffer), stored))
            return r;
        if (count != nullptr)
            *count = stored;
        return kwv::kStoreOk;
    }
    if (at > file_.size() || stored > file_.size() - at)
        return kwv::kStoreInvalid;
    std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[stored]);
    if (!packed)
        return kwv::kStoreOutOfMemory;
    if (int r = readBitmapBytes(file_, at, packed.get(), stored))
        return r;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return kwv::kStoreOutOfMemory;
    z.next_in = packed.get();
    z.avail_in = stored;
    z.next_out = static_cast<uint8_t*>(buffer);
    z.avail_out = size;
    int result = inflate(&z, Z_FINISH);
    uint32_t produced = size - z.avail_out;
    bool full = z.avail_out == 0 && z.avail_in != 0;
    inflateEnd(&z);
    if (result != Z_STREAM_END)
        return result == Z_BUF_ERROR && full ? kwv::kStoreBufferSmall : kwv::kStoreDecompress;
    if (count != nullptr)
        *count = produced;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::ReadRawBitmap(void* buffer, uint32_t size, uint32_t* count,
                                          uint32_t* code) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    uint32_t stored = record_.bitmapSize();
    if (stored == 0)
        return kwv::kStoreNoData;
    if (size < stored)
        return kwv::kStoreBufferSmall;
    if (int r = selectVolume(recordVolume_))
        return r;
    if (int r = readBitmapBytes(file_, recordOffset_ + kRecordSize, static_cast<uint8_t*>(buffer),
                                stored))
        return r;
    if (count != nullptr)
        *count = stored;
    if (code != nullptr)
        *code = (record_.flags() & kFlagBitmapZlib) ? record_.compressionCode() : 0;
    return kwv::kStoreOk;
}

uint64_t IMAGE_STORE_READER::GetDataPosition() {
    if (selected_ == 0)
        return 0;
    if (decoder_)
        return decoder_->Position();
    uint64_t start = dataStartIn(dataVolume_);
    return readPosition_ > start ? readPosition_ - start : 0;
}

uint32_t IMAGE_STORE_READER::GetPendingCount() {
    return selected_ != 0 && decoder_ ? decoder_->Pending() : 0;
}

int32_t IMAGE_STORE_READER::FreeDecoderBuffers() {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (decoder_)
        decoder_->FreeBuffers();
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::SaveDecoderState(void* buffer) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    return decoder_ ? decoder_->SaveState(buffer) : kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::RestoreDecoderState(const void* buffer) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    return decoder_ ? decoder_->RestoreState(buffer) : kwv::kStoreOk;
}

uint32_t IMAGE_STORE_READER::GetDecoderStateSize() {
    return selected_ != 0 && decoder_ ? decoder_->StateSize() : 0;
}

} // namespace kw::legacy
