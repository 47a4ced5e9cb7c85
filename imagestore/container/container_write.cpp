// StoreContainer: storing the chunk writer's chunks across volume files,
// and closing a set with its directory.
#include "imagestore/container/store_container.h"

#include "imagestore/container/chunk_seal.h"
#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace kwv {

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

int StoreContainer::AppendSpace(const uint8_t* data, uint64_t length, uint64_t* firstOffset) {
    if (mode_ != Mode::Write) {
        return kStoreWrongMode;
    }
    if (int err = std::exchange(unreported_, kStoreOk); err != kStoreOk) {
        return err;
    }
    return chunks_.Append(data, length, firstOffset);
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
    err = err != kStoreOk ? err : chunks_.Settle();
    chunks_.EndSegments();
    if (err == kStoreOk && reservedSize_ > 0 && chunkCount_ == 0) {
        // Chunk 0 with its reserved area goes out first, so that the
        // directory lies in a following chunk.
        if (!chunks_.ChunkOpen()) {
            chunks_.StartChunk();
        }
        err = chunks_.FinishChunk();
    }
    if (err == kStoreOk) {
        std::vector<uint8_t> directory = BuildDirectory();
        uint64_t at = 0;
        err = AppendSpace(directory.data(), directory.size(), &at);
        if (err == kStoreOk) {
            chunk_.chunkFlags |= kChunkHasDirectory;
            chunk_.directoryOffset = int32_t(int64_t(at) - int64_t(chunk_.streamOffset));
            err = chunks_.FinishChunk();
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
    chunks_.End(); // waits for its workers
    unreported_ = kStoreOk;
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
