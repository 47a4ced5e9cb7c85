// StoreContainer: filling chunks, writing them across volume files, and
// closing a set with its directory.
#include "imagestore/container/store_container.h"

#include "imagestore/container/chunk_seal.h"
#include "imagestore/container/volume_names.h"
#include "imagestore/container/write_behind.h"
#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

uint64_t StoreContainer::AppendPosition() const {
    if (segmentGathered_) {
        return segmentEnd_ - segmentBytes_ + behind_->Filled();
    }
    return chunkOpen_ ? chunk_.streamOffset + encoder_->GetInputCount() : streamLength_;
}

void StoreContainer::StartChunk() {
    uint8_t* buf = buffer_.data();
    ChunkRecord r = FreshRecord(headerBytes_, volFirstChunk_ + volChunks_, streamLength_);
    const bool first = r.chunkNumber == 0;
    const bool reserve =
        first && reservedSize_ > 0 && (header_.containerFlags & kFlagDirectoryCopy);
    if ((first && (oldSignature_ || reserve)) || !setEncoder_) {
        encoder_ = storedEncoder_.get();
    } else {
        encoder_ = setEncoder_.get();
        r.chunkFlags |= kChunkCompressed;
    }
    encoder_->Begin(buf + kRecordSize, r.PayloadRoom());
    if (first && oldSignature_) {
        // The first 2,048 bytes look like a header of the older format.
        encoder_->Put(nullptr, kOldSigPayloadOffset - kRecordSize);
        r.magic = kMagicOldSig;
        r.payloadOffset = kOldSigPayloadOffset;
        StoreLe32(buf + kOldSigVersionAt, 4);
        StoreLe32(buf + kOldSigVersionAt + 4, 4);
    }
    if (reserve) {
        const uint32_t taken = encoder_->GetInputCount();
        r.directoryOffset = int32_t(taken);
        reservedSize_ =
            encoder_->Put(nullptr, std::min(kReservedAreaSize, r.PayloadRoom() - taken));
    }
    chunk_ = r;
    chunkOpen_ = true;
}

void StoreContainer::SealChunk() {
    uint8_t* buf = buffer_.data();
    index_.Record(chunk_.chunkNumber, chunk_.StreamEnd());
    const SealKeys keys = KeysOf(headerBytes_);
    SealPayload(buf, chunk_, keys);
    StampChunk(buf, chunk_, chunk_.chunkNumber, keys);
}

// Every few megabytes stored, their write-out starts, so that the flush of
// the commit finds little left to wait for.
void StoreContainer::CountChunk(const ChunkRecord& r) {
    ++volChunks_;
    constexpr uint32_t kWritebackChunks = 64;
    if (volChunks_ % kWritebackChunks == 0 && file_) {
        const uint64_t stored = header_.storedChunkSize;
        file_->StartWriteback((volChunks_ - kWritebackChunks) * stored, kWritebackChunks * stored);
    }
    streamLength_ = r.StreamEnd();
    chunkCount_ = r.chunkNumber + 1;
    volumes_.Note(volIndex_, volFirstChunk_, volChunks_);
}

int StoreContainer::StoreChunk(const uint8_t* bytes, const ChunkRecord& r) {
    if (int err = PrepareAppend(); err != kStoreOk) {
        return err;
    }
    const uint32_t stored = header_.storedChunkSize;
    const bool fits =
        (volumeLimit_ >> 32) != 0 || volumeLimit_ >= (uint64_t(volChunks_) + 1) * stored;
    uint32_t done = 0;
    if (fits && file_) {
        const uint64_t at = uint64_t(volChunks_) * stored;
        if (!file_->WriteAt(at, bytes, stored, &done)) {
            return kStoreMediaFailure;
        }
        if (done == stored) {
            CountChunk(r);
            return kStoreOk;
        }
        if (!file_->SetSize(at)) { // no room: the chunk goes to the next volume
            return kStoreMediaFailure;
        }
    }
    if (int err = StartNextVolume(); err != kStoreOk) {
        return err;
    }
    if (!file_->WriteAt(0, bytes, stored, &done)) {
        return kStoreMediaFailure;
    }
    if (done != stored) {
        return file_->SetSize(0) ? kStoreNoRoom : kStoreMediaFailure;
    }
    CountChunk(r);
    return kStoreOk;
}

int StoreContainer::StoreSealedChunk() {
    const int err = StoreChunk(buffer_.data(), chunk_);
    if (err == kStoreOk) {
        chunkOpen_ = false;
        sealedPending_ = false;
    }
    return err;
}

// A sealed chunk is final: when storing it fails it stays sealed in the
// buffer, and only storing it is tried again, never finishing or scrambling.
int StoreContainer::FinishChunk() {
    chunk_.dataLength = encoder_->GetInputCount();
    chunk_.storedLength = encoder_->Finish();
    SealChunk();
    sealedPending_ = true;
    return StoreSealedChunk();
}

int StoreContainer::AppendSpace(const uint8_t* data, uint64_t length, uint64_t* firstOffset) {
    if (mode_ != Mode::Write) {
        return kStoreWrongMode;
    }
    if (int err = std::exchange(unreported_, kStoreOk); err != kStoreOk) {
        return err;
    }
    // A chunk encoded here follows every chunk handed to the workers.
    if (int err = StoreBehind(!segmentGathered_); err != kStoreOk) {
        return err;
    }
    if (segmentBytes_ == 0) {
        segmentBytes_ = SegmentBytes(header_.PayloadRoom());
        segmentEnd_ = streamLength_ + FirstSegmentBytes(header_.PayloadRoom());
    }
    if (!segmentGathered_ && !chunkOpen_ && length > 0) {
        StartChunk(); // chunk 0 may begin with bytes of its own
    }
    if (firstOffset != nullptr) {
        *firstOffset = AppendPosition();
    }
    while (length > 0) {
        const uint64_t take = std::min(length, segmentEnd_ - AppendPosition());
        const int err = segmentGathered_ ? GatherSpace(data, take) : EncodeSpace(data, take);
        if (err != kStoreOk) {
            return err;
        }
        length -= take;
        if (data != nullptr) {
            data += take;
        }
        if (AppendPosition() == segmentEnd_) {
            if (int e = EndSegment(); e != kStoreOk) {
                return e;
            }
        }
    }
    return kStoreOk;
}

int StoreContainer::StartNextVolume() {
    if (verifyVolumes_ && file_) {
        if (int err = VerifyVolume(); err != kStoreOk) {
            return err;
        }
    }
    // A volume of this session that took no chunk (its medium filled up) is
    // made again under the same index; nothing else is ever deleted here.
    const bool emptyOfOurs = volChunks_ == 0 && file_ != nullptr && fileCreatedNow_;
    if (file_ && fileWritable_ && !file_->Flush()) {
        return kStoreMediaFailure;
    }
    CloseVolume();
    if (volChunks_ > 0) {
        volumes_.Note(volIndex_, volFirstChunk_, volChunks_);
        ++volIndex_;
        volFirstChunk_ += volChunks_;
        volChunks_ = 0;
    } else if (emptyOfOurs && !volfiles::Delete(MemberPath(volIndex_))) {
        return kStoreMediaFailure;
    }
    if (int err = CreateVolumeFile(volIndex_); err != kStoreOk) {
        return err;
    }
    volumeCount_ = volIndex_ + 1;
    return kStoreOk;
}

std::vector<uint8_t> StoreContainer::BuildDirectory() const {
    DirectoryRecord d;
    d.tableLength = table_.Size();
    d.streamLength = streamLength_;
    d.chunkCount = chunkCount_;
    d.volumeCount = volumeCount_;
    d.reservedSize = reservedSize_;
    d.groupSize = index_.GroupSize();
    std::vector<uint8_t> out(kDirectoryFixedBytes + table_.Size());
    d.Serialise(out.data());
    index_.Serialise(out.data() + kDirectoryRecordSize);
    volumes_.Serialise(out.data() + kDirectoryRecordSize + kIndexBytes, volumeCount_);
    table_.Serialise(out.data() + kDirectoryFixedBytes);
    return out;
}

int StoreContainer::CloseWriting() {
    // Everything handed to the workers is stored and the rest encoded here;
    // the directory then follows in the chunk that is open.
    int err = std::exchange(unreported_, kStoreOk);
    err = err != kStoreOk ? err : SettleSegment();
    segmentBytes_ = segmentEnd_ = std::numeric_limits<uint64_t>::max();
    if (err == kStoreOk && reservedSize_ > 0 && chunkCount_ == 0) {
        // Chunk 0 with its reserved area goes out first, so that the
        // directory lies in a following chunk.
        if (!chunkOpen_) {
            StartChunk();
        }
        err = FinishChunk();
    }
    if (err == kStoreOk) {
        std::vector<uint8_t> directory = BuildDirectory();
        uint64_t at = 0;
        err = AppendSpace(directory.data(), directory.size(), &at);
        if (err == kStoreOk) {
            chunk_.chunkFlags |= kChunkHasDirectory;
            chunk_.directoryOffset = int32_t(int64_t(at) - int64_t(chunk_.streamOffset));
            err = FinishChunk();
        }
    }
    if (err == kStoreOk && verifyVolumes_) {
        err = VerifyVolume();
    }
    // The new chunks and the directory are on disk before chunk 0 names them.
    if (err == kStoreOk && file_ && !file_->Flush()) {
        err = kStoreMediaFailure;
    }
    // So are the folder entries of the volumes this session made.
    if (err == kStoreOk && !created_.empty() && !volfiles::SyncFolderOf(path_)) {
        err = kStoreMediaFailure;
    }
    if (err == kStoreOk && (header_.containerFlags & kFlagDirectoryCopy) &&
        uint64_t(reservedSize_) >= uint64_t(kDirectoryFixedBytes) + table_.Size()) {
        err = WriteDirectoryCopy(BuildDirectory());
    }
    EndWriting();
    return err;
}

void StoreContainer::EndWriting() {
    behind_.reset(); // waits for its workers
    unreported_ = kStoreOk;
    segmentGathered_ = false;
    segmentBytes_ = segmentEnd_ = 0;
    chunkOpen_ = false;
    sealedPending_ = false;
    storedEncoder_.reset();
    setEncoder_.reset();
}

int StoreContainer::VerifyVolume() {
    const uint32_t stored = header_.storedChunkSize;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(stored);
    } catch (const std::bad_alloc&) {
        return kStoreNoMemory;
    }
    if (callback_ != nullptr) {
        callback_->ProgressBegin();
    }
    int err = kStoreOk;
    for (uint32_t k = 0; k < volChunks_ && err == kStoreOk; ++k) {
        uint32_t done = 0;
        if (!file_->ReadAt(uint64_t(k) * stored, chunk.data(), stored, &done) || done != stored) {
            err = kStoreShortRead;
            break;
        }
        const ChunkRecord r = ChunkRecord::Parse(chunk.data());
        if (CheckRecord(chunk.data(), r) != kStoreOk || r.chunkNumber != volFirstChunk_ + k ||
            ((header_.containerFlags & kFlagPayloadCrc) &&
             PayloadCrc(chunk.data(), r.dataSize) != r.payloadCrc)) {
            err = kStoreInvalid;
        } else if (callback_ != nullptr &&
                   (callback_->ProgressStep(volChunks_, k + 1) & 0xFF) == 0) {
            err = kStoreCancelled;
        }
    }
    if (callback_ != nullptr) {
        callback_->ProgressEnd();
    }
    return err;
}

} // namespace kwv
