// StoreContainer: filling chunks, writing them across volume files, and
// closing a set with its directory.
#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

uint64_t StoreContainer::AppendPosition() const {
    return chunkOpen_ ? chunk_.streamOffset + encoder_->GetInputCount() : streamLength_;
}

void StoreContainer::StartChunk() {
    uint8_t* buf = buffer_.data();
    ChunkRecord r = ChunkRecord::Parse(headerBytes_);
    r.magic = kMagicChunk;
    r.payloadOffset = kRecordSize;
    r.chunkNumber = volFirstChunk_ + volChunks_;
    r.chunkFlags = 0;
    r.streamOffset = streamLength_;
    r.dataLength = r.storedLength = 0;
    r.directoryOffset = 0;
    std::memset(r.reserved76, 0, sizeof r.reserved76);
    r.headerCrc = r.payloadCrc = 0;
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
    chunk_.headerCrc = chunk_.payloadCrc = 0;
    chunk_.Serialise(buf);
    if (ProtectionOf(header_.containerFlags) == 2) {
        Scramble(buf);
    }
    chunk_.headerCrc = RecordCrc(buf);
    StoreLe32(buf + 88, chunk_.headerCrc);
    if (header_.containerFlags & kFlagPayloadCrc) {
        chunk_.payloadCrc = PayloadCrc(buf, header_.dataSize);
        StoreLe32(buf + 92, chunk_.payloadCrc);
    }
    if (EccOf(header_.containerFlags) == 1) {
        ::EccEncodeChunk(buf);
    }
}

int StoreContainer::CountChunk() {
    ++volChunks_;
    streamLength_ = chunk_.StreamEnd();
    chunkCount_ = chunk_.chunkNumber + 1;
    chunkOpen_ = false;
    sealedPending_ = false;
    volumes_.Note(volIndex_, volFirstChunk_, volChunks_);
    return kStoreOk;
}

int StoreContainer::StoreSealedChunk() {
    if (int err = PrepareAppend(); err != kStoreOk) {
        return err;
    }
    const uint32_t stored = header_.storedChunkSize;
    const bool fits =
        (volumeLimit_ >> 32) != 0 || volumeLimit_ >= (uint64_t(volChunks_) + 1) * stored;
    uint32_t done = 0;
    if (fits && file_) {
        const uint64_t at = uint64_t(volChunks_) * stored;
        if (!file_->WriteAt(at, buffer_.data(), stored, &done)) {
            return kStoreMediaFailure;
        }
        if (done == stored) {
            return CountChunk();
        }
        if (!file_->SetSize(at)) { // no room: the chunk goes to the next volume
            return kStoreMediaFailure;
        }
    }
    if (int err = StartNextVolume(); err != kStoreOk) {
        return err;
    }
    if (!file_->WriteAt(0, buffer_.data(), stored, &done)) {
        return kStoreMediaFailure;
    }
    if (done != stored) {
        return file_->SetSize(0) ? kStoreNoRoom : kStoreMediaFailure;
    }
    return CountChunk();
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
    if (sealedPending_) {
        if (int err = StoreSealedChunk(); err != kStoreOk) {
            return err;
        }
    }
    bool fresh = false;
    if (!chunkOpen_ && length > 0) {
        StartChunk(); // chunk 0 may begin with bytes of its own
        fresh = true;
    }
    if (firstOffset != nullptr) {
        *firstOffset = AppendPosition();
    }
    while (length > 0) {
        if (!chunkOpen_) {
            StartChunk();
            fresh = true;
        }
        const uint32_t piece = uint32_t(std::min<uint64_t>(length, 1u << 30));
        const uint32_t n = encoder_->Put(data, piece);
        if (n == 0) {
            if (fresh) {
                return kStoreInvalid; // an empty chunk that takes nothing
            }
            if (int err = FinishChunk(); err != kStoreOk) {
                return err;
            }
            continue;
        }
        fresh = false;
        length -= n;
        if (data != nullptr) {
            data += n;
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
    int err = kStoreOk;
    if (sealedPending_) {
        err = StoreSealedChunk();
    }
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
