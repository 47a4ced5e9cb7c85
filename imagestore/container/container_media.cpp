// StoreContainer: creating volume files, with the caller's prompts on
// removable media, and clearing an older set out of the way.
#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"

#include <limits>

namespace kwv {

namespace {

constexpr uint32_t kMediaWritable = 0x4;
constexpr uint32_t kMediaSpecial = 0x100;
// An attempt without room on fixed media: ends the creation with 1817.
constexpr int kStoreNoRoomFinal = -1817;

} // namespace

bool StoreContainer::DeleteOlderSet(const std::string& path) {
    // Only the members of the set that the file in the way belongs to go,
    // and only when no writer has that set open.
    ChunkRecord older;
    if (!ReadFirstRecord(path, &older) || older.creationTime == header_.creationTime ||
        (path == path_ && SetInUse(path))) {
        return false;
    }
    bool deleted = true;
    for (const auto& member : ListMembers(older.creationTime)) {
        deleted = volfiles::Delete(member.second) && deleted;
    }
    return deleted;
}

bool StoreContainer::ClearWayFor(const std::string& path, uint32_t media) {
    if ((media & kMediaWritable) == 0 || !volfiles::Exists(path)) {
        return true;
    }
    // An older set of this name is in the way; the first answer holds.
    if (askBeforeDelete_) {
        askBeforeDelete_ = false;
        deleteOlderSets_ =
            callback_ != nullptr && (callback_->ConfirmDeleteImageSet(path.c_str()) & 0xFF) != 0;
    }
    if (deleteOlderSets_ && !DeleteOlderSet(path)) {
        return false;
    }
    return !volfiles::Exists(path);
}

bool StoreContainer::TryCreate(const std::string& path) {
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

int StoreContainer::CreateAttempt(const std::string& path, bool removable, bool notices) {
    const uint32_t stored = header_.storedChunkSize;
    uint64_t freeBytes = std::numeric_limits<uint64_t>::max();
    volfiles::FreeSpace(path, &freeBytes);
    MEDIA_CHANGE_CALLBACK* notice = notices ? callback_ : nullptr;
    if (freeBytes < stored && !ListMembers(header_.creationTime).empty()) {
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

int StoreContainer::CreateVolumeFile(uint32_t index) {
    if (index >= kMaxWriteVolumes) {
        return kStoreNoRoom;
    }
    const std::string path = VolumePath(path_, index);
    const bool removable = Removable(path);
    for (uint32_t round = 0;; ++round) {
        // Notices are given from the second round on.
        const int err = CreateAttempt(path, removable, round > 0);
        if (err == kStoreOk) {
            return kStoreOk;
        }
        if (!removable || callback_ == nullptr) {
            return err == kStoreNoRoomFinal ? kStoreNoRoom : err;
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
