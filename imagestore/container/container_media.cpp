// StoreContainer: creating volume files on removable media, with the
// caller's prompts, and clearing an older set out of the way.
#include "imagestore/container/store_container.h"

#include "imagestore/container/store_error.h"
#include "imagestore/container/volume_names.h"

#include <limits>

namespace kwv {

namespace {

constexpr uint32_t kMediaHoldsSets = 0x4;
constexpr uint32_t kMediaSpecial = 0x100;

// The creation time in the first record of a file, or false when it has no
// valid record.
bool CreationTimeOf(const std::string& path, uint32_t* time) {
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(path, &why);
    uint8_t bytes[kRecordSize];
    uint32_t done = 0;
    if (!f || !f->ReadAt(0, bytes, kRecordSize, &done) || done != kRecordSize) {
        return false;
    }
    const ChunkRecord r = ChunkRecord::Parse(bytes);
    *time = r.creationTime;
    return CheckRecord(bytes, r) == kStoreOk;
}

} // namespace

void StoreContainer::DeleteOlderSet(const std::string& path) {
    // Only the members of the set that the file in the way belongs to go.
    uint32_t older = 0;
    if (!CreationTimeOf(path, &older) || older == header_.creationTime) {
        return;
    }
    for (const auto& member : ListMembers(older)) {
        volfiles::Delete(member.second);
    }
}

bool StoreContainer::ClearWayFor(const std::string& path) {
    const uint32_t flags = volfiles::DriveFlags(path);
    if ((flags & (kMediaHoldsSets | kMediaSpecial)) == 0 || (flags & kMediaHoldsSets) == 0 ||
        !volfiles::Exists(path)) {
        return true;
    }
    // An older set of this name is in the way; the first answer holds.
    if (askBeforeDelete_) {
        askBeforeDelete_ = false;
        deleteOlderSets_ =
            callback_ != nullptr && (callback_->ConfirmDeleteImageSet(path.c_str()) & 0xFF) != 0;
    }
    if (deleteOlderSets_) {
        DeleteOlderSet(path);
    }
    return !volfiles::Exists(path);
}

bool StoreContainer::TryCreate(const std::string& path) {
    file_ = volfiles::CreateNew(path);
    if (!file_ && volfiles::CreateFolderOf(path)) {
        file_ = volfiles::CreateNew(path);
    }
    fileWritable_ = file_ != nullptr;
    return fileWritable_;
}

int StoreContainer::CreateOnRemovable(uint32_t index, const std::string& path) {
    const uint32_t stored = header_.storedChunkSize;
    for (uint32_t round = 0;; ++round) {
        // Notices are given from the second round on.
        MEDIA_CHANGE_CALLBACK* notice = round > 0 ? callback_ : nullptr;
        uint64_t freeBytes = std::numeric_limits<uint64_t>::max();
        volfiles::FreeSpace(path, &freeBytes);
        const bool ours = !ListMembers(header_.creationTime).empty();
        if (ours && freeBytes < stored) {
            if (notice != nullptr) {
                notice->MediaFull(path.c_str());
            }
        } else if (ClearWayFor(path)) {
            if (freeBytes >= stored && TryCreate(path)) {
                return kStoreOk;
            }
            if (notice != nullptr && freeBytes >= stored) {
                notice->MediaCreateFailed(path.c_str());
            } else if (notice != nullptr) {
                notice->MediaStillFull(path.c_str());
            }
        }
        if (callback_ == nullptr) {
            return kStoreNoRoom;
        }
        const uint32_t answer = (oneVolumePerMedium_ && index != 0)
                                    ? callback_->AskNewMediaNumber(path.c_str(), index + 1)
                                    : callback_->AskNewMediaForCreate(path.c_str());
        if ((answer & 0xFF) == 0) {
            return kStoreCancelled;
        }
    }
}

} // namespace kwv
