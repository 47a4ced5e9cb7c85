// VolumeSet: creating volume files, with the caller's prompts on removable
// media, clearing an older set out of the way, and storing chunks across
// the volumes of a set being written.
#include "imagestore/container/volume_set.h"

#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"

#include <limits>
#include <new>

namespace kwv {

namespace {

constexpr uint32_t kMediaWritable = 0x4;
constexpr uint32_t kMediaSpecial = 0x100;
// An attempt without room on fixed media: ends the creation with 1817.
constexpr int kStoreNoRoomFinal = -1817;

} // namespace

bool VolumeSet::DeleteOlderSet(const std::string& path) {
    // Only the members of the set that the file in the way belongs to go,
    // and only when no writer has that set open.
    ChunkRecord older;
    if (!ReadFirstRecord(path, &older) || older.creationTime == set_.header_.creationTime ||
        (path == set_.path_ && SetInUse(path))) {
        return false;
    }
    bool deleted = true;
    for (const auto& member : ListMembers(older.creationTime)) {
        deleted = volfiles::Delete(member.second) && deleted;
    }
    return deleted;
}

bool VolumeSet::ClearWayFor(const std::string& path, uint32_t media) {
    if ((media & kMediaWritable) == 0 || !volfiles::Exists(path)) {
        return true;
    }
    // An older set of this name is in the way; the first answer holds.
    if (askBeforeDelete_) {
        askBeforeDelete_ = false;
        deleteOlderSets_ = set_.callback_ != nullptr &&
                           (set_.callback_->ConfirmDeleteImageSet(path.c_str()) & 0xFF) != 0;
    }
    if (deleteOlderSets_ && !DeleteOlderSet(path)) {
        return false;
    }
    return !volfiles::Exists(path);
}

bool VolumeSet::TryCreate(const std::string& path) {
    file_ = volfiles::CreateNew(path);
    if (!file_ && volfiles::CreateFolderOf(path)) {
        file_ = volfiles::CreateNew(path);
    }
    fileWritable_ = file_ != nullptr;
    fileCreatedNow_ = fileWritable_;
    if (fileWritable_) {
        created_.push_back(path);
    }
    return fileWritable_;
}

int VolumeSet::CreateAttempt(const std::string& path, bool removable, bool notices) {
    const uint32_t stored = set_.header_.storedChunkSize;
    uint64_t freeBytes = std::numeric_limits<uint64_t>::max();
    volfiles::FreeSpace(path, &freeBytes);
    MEDIA_CHANGE_CALLBACK* notice = notices ? set_.callback_ : nullptr;
    if (freeBytes < stored && !ListMembers(set_.header_.creationTime).empty()) {
        if (notice != nullptr) {
            notice->MediaFull(path.c_str());
        }
        return kStoreNoRoom;
    }
    const uint32_t media = volfiles::MediaState(path);
    if ((media & (kMediaWritable | kMediaSpecial)) != 0 && ClearWayFor(path, media)) {
        if (freeBytes < stored) {
            if (notice != nullptr) {
                notice->MediaStillFull(path.c_str());
            }
            return removable ? kStoreNoRoom : kStoreNoRoomFinal;
        }
        if (TryCreate(path)) {
            return kStoreOk;
        }
        if (!removable) {
            return kStoreCannotOpen;
        }
    }
    if (notice != nullptr) {
        notice->MediaCreateFailed(path.c_str());
    }
    return removable ? kStoreNoRoom : kStoreMediaFailure;
}

int VolumeSet::CreateVolumeFile(uint32_t index) {
    if (index >= kMaxWriteVolumes) {
        return kStoreNoRoom;
    }
    const std::string path = VolumePath(set_.path_, index);
    const bool removable = Removable(path);
    for (uint32_t round = 0;; ++round) {
        // Notices are given from the second round on.
        const int err = CreateAttempt(path, removable, round > 0);
        if (err == kStoreOk) {
            return kStoreOk;
        }
        if (!removable || set_.callback_ == nullptr) {
            return err == kStoreNoRoomFinal ? kStoreNoRoom : err;
        }
        const uint32_t answer = (oneVolumePerMedium_ && index != 0)
                                    ? set_.callback_->AskNewMediaNumber(path.c_str(), index + 1)
                                    : set_.callback_->AskNewMediaForCreate(path.c_str());
        if ((answer & 0xFF) == 0) {
            return kStoreCancelled;
        }
    }
}

int VolumeSet::CreateFirst() {
    if (int err = CreateVolumeFile(0); err != kStoreOk) {
        return err;
    }
    if (int err = LockSet(); err != kStoreOk) {
        return err;
    }
    volumeCount_ = 1;
    return kStoreOk;
}

bool VolumeSet::ResumeIn(uint32_t last, uint32_t first, uint32_t chunks) {
    volIndex_ = last;
    volFirstChunk_ = first;
    volChunks_ = chunks;
    volumeCount_ = last + 1;
    table_.Cut(last, first, chunks);
    OpenFailure why = OpenFailure::None;
    file_ = volfiles::OpenUpdate(MemberPath(last), &why);
    fileWritable_ = file_ != nullptr;
    return fileWritable_;
}

// Every few megabytes stored, their write-out starts, so that the flush of
// the commit finds little left to wait for.
void VolumeSet::CountChunk() {
    ++volChunks_;
    constexpr uint32_t kWritebackChunks = 64;
    if (volChunks_ % kWritebackChunks == 0 && file_) {
        const uint64_t stored = set_.header_.storedChunkSize;
        file_->StartWriteback((volChunks_ - kWritebackChunks) * stored, kWritebackChunks * stored);
    }
    table_.Note(volIndex_, volFirstChunk_, volChunks_);
}

int VolumeSet::Store(const uint8_t* bytes, uint32_t stored) {
    const bool fits =
        (volumeLimit_ >> 32) != 0 || volumeLimit_ >= (uint64_t(volChunks_) + 1) * stored;
    uint32_t done = 0;
    if (fits && file_) {
        const uint64_t at = uint64_t(volChunks_) * stored;
        if (!file_->WriteAt(at, bytes, stored, &done)) {
            return kStoreMediaFailure;
        }
        if (done == stored) {
            CountChunk();
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
    CountChunk();
    return kStoreOk;
}

int VolumeSet::StartNextVolume() {
    if (set_.verifyVolumes_ && file_) {
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
    Close();
    if (volChunks_ > 0) {
        table_.Note(volIndex_, volFirstChunk_, volChunks_);
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

// The new chunks are on disk before chunk 0 names them, and so are the
// folder entries of the volumes this session made.
int VolumeSet::Flush() {
    if (file_ && !file_->Flush()) {
        return kStoreMediaFailure;
    }
    if (!created_.empty() && !volfiles::SyncFolderOf(set_.path_)) {
        return kStoreMediaFailure;
    }
    return kStoreOk;
}

int VolumeSet::VerifyVolume() {
    const ChunkRecord& header = set_.header_;
    const uint32_t stored = header.storedChunkSize;
    MEDIA_CHANGE_CALLBACK* callback = set_.callback_;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(stored);
    } catch (const std::bad_alloc&) {
        return kStoreNoMemory;
    }
    if (callback != nullptr) {
        callback->ProgressBegin();
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
            ((header.containerFlags & kFlagPayloadCrc) &&
             PayloadCrc(chunk.data(), r.dataSize) != r.payloadCrc)) {
            err = kStoreInvalid;
        } else if (callback != nullptr && (callback->ProgressStep(volChunks_, k + 1) & 0xFF) == 0) {
            err = kStoreCancelled;
        }
    }
    if (callback != nullptr) {
        callback->ProgressEnd();
    }
    return err;
}

} // namespace kwv
