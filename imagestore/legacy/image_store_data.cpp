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
// on after the record and bitmap at the start of the next volume, where the
// volume's measured part of the data ends; a short read anywhere (a volume
// cut short) means a damaged image, never the next volume's bytes.
int IMAGE_STORE_READER::readSpanning(uint8_t* buffer, size_t len, size_t* got) {
    *got = 0;
    if (len != 0 && record_.spans())
        if (int r = measureSpan())
            return r;
    while (*got < len) {
        if (int r = enterDataVolume())
            return r;
        size_t want = len - *got;
        if (record_.spans()) {
            uint64_t end = spanEnd(dataVolume_);
            if (storedPosition_ >= end) {
                if (int r = enterNextDataVolume())
                    return r;
                continue;
            }
            want = size_t(std::min<uint64_t>(want, end - storedPosition_));
        }
        size_t n = 0;
        if (!file_.readAt(readPosition_, buffer + *got, want, &n))
            return kwv::kStoreShortRead;
        readPosition_ += n;
        storedPosition_ += n;
        *got += n;
        if (n < want)
            return kwv::kStoreInvalid;
    }
    return kwv::kStoreOk;
}

int IMAGE_STORE_READER::enterNextDataVolume() {
    const Span& span = spans_[selected_ - 1];
    if (dataVolume_ + 1 >= span.first + span.ends.size())
        return kwv::kStoreInvalid;
    dataVolume_ += 1;
    if (int r = selectVolume(dataVolume_))
        return r;
    readPosition_ = dataStartIn(dataVolume_);
    return kwv::kStoreOk;
}

// The continuation record that opens volume n: the header's copy when it
// has one, else the record read from the volume (checked to belong there).
int IMAGE_STORE_READER::continuationOf(uint32_t volume, PartitionRecord* record) {
    if (header_.continuationCopy(volume, 0, *record))
        return kwv::kStoreOk;
    if (int r = selectVolume(volume))
        return r;
    *record = volumeRecord_;
    return kwv::kStoreOk;
}

// Measures the selected partition's span once: each continuation record
// says how many bytes its volume holds and whether the data goes on; the
// record's own volume holds the rest of the stored data.
int IMAGE_STORE_READER::measureSpan() {
    try {
        spans_.resize(std::max<size_t>(spans_.size(), header_.partitionCount));
    } catch (const std::bad_alloc&) {
        return kwv::kStoreOutOfMemory;
    }
    Span& span = spans_[selected_ - 1];
    if (!span.ends.empty())
        return kwv::kStoreOk;
    std::vector<uint64_t> held;
    uint64_t later = 0;
    for (uint32_t v = recordVolume_ + 1; record_.spans(); ++v) {
        if (v > header_.imageVolumes)
            return kwv::kStoreInvalid; // the data would go on past the last volume
        PartitionRecord next;
        if (int r = continuationOf(v, &next))
            return r;
        uint64_t bytes = next.dataLength();
        if (bytes > record_.dataLength() - later)
            return kwv::kStoreInvalid;
        later += bytes;
        held.push_back(bytes);
        if (!next.spans())
            break;
    }
    Span measured;
    measured.first = recordVolume_;
    uint64_t end = record_.dataLength() - later;
    measured.ends.push_back(end);
    for (uint64_t bytes : held)
        measured.ends.push_back(end += bytes);
    span = std::move(measured);
    return kwv::kStoreOk;
}

// The stored-data offset just past the bytes volume n holds (measured).
uint64_t IMAGE_STORE_READER::spanEnd(uint32_t volume) const {
    const Span& span = spans_[selected_ - 1];
    if (volume < span.first)
        return 0;
    size_t i = std::min<size_t>(volume - span.first, span.ends.size() - 1);
    return span.ends[i];
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

// Finds the volume holding the offset from the partition's measured span.
// The partition's volume table must have been made or given first.
int IMAGE_STORE_READER::seekSpanning(uint64_t offset) {
    if (table() == nullptr)
        return kwv::kStoreVolumeTable;
    if (int r = measureSpan())
        return r;
    const Span& span = spans_[selected_ - 1];
    size_t i = 0;
    while (i + 1 < span.ends.size() && span.ends[i] <= offset)
        ++i;
    uint32_t v = span.first + uint32_t(i);
    if (int r = selectVolume(v))
        return r;
    uint64_t start = i == 0 ? 0 : span.ends[i - 1];
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

// The selected partition's volume table from its measured span: entry n - 1
// is the stored-data offset of the last byte volume n holds; 0 before the
// record's volume, unknown after the last volume of the data.
int IMAGE_STORE_READER::spanTable(std::vector<uint64_t>* out) {
    if (int r = measureSpan())
        return r;
    const Span& span = spans_[selected_ - 1];
    try {
        out->assign(header_.imageVolumes, kUnknownEntry);
    } catch (const std::bad_alloc&) {
        return kwv::kStoreOutOfMemory;
    }
    std::fill(out->begin(), out->begin() + (span.first - 1), 0);
    for (size_t i = 0; i < span.ends.size() && span.first - 1 + i < out->size(); ++i)
        (*out)[span.first - 1 + i] = span.ends[i] == 0 ? 0 : span.ends[i] - 1;
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::BuildVolumeTable() {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    std::vector<uint64_t> made;
    if (int r = spanTable(&made))
        return r;
    try {
        tables_.resize(std::max<size_t>(tables_.size(), header_.partitionCount));
    } catch (const std::bad_alloc&) {
        return kwv::kStoreOutOfMemory;
    }
    tables_[selected_ - 1] = std::move(made);
    return kwv::kStoreOk;
}

// A table saved earlier (in a change file) is taken only when every entry is
// what the store finds now; anything else (another image under the name, a damaged file, a
// volume replaced since) is refused with kwv::kStoreVolumeTable.
int32_t IMAGE_STORE_READER::SetVolumeTable(uint32_t count, const uint64_t* entries) {
    if (selected_ == 0)
        return kwv::kStoreNoPartition;
    if (count != header_.imageVolumes || entries == nullptr)
        return kwv::kStoreVolumeTable;
    std::vector<uint64_t> made;
    if (int r = spanTable(&made))
        return r;
    if (!std::equal(made.begin(), made.end(), entries))
        return kwv::kStoreVolumeTable;
    return BuildVolumeTable();
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
