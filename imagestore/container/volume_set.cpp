// VolumeSet: finding, opening and selecting the volume files of a set.
#include "imagestore/container/volume_set.h"

#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>

namespace kwv {

bool ReadFirstRecord(const std::string& path, ChunkRecord* record, uint8_t* out) {
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(path, &why);
    uint8_t own[kRecordSize];
    uint8_t* bytes = out != nullptr ? out : own;
    uint32_t done = 0;
    if (!f || !f->ReadAt(0, bytes, kRecordSize, &done) || done != kRecordSize) {
        return false;
    }
    *record = ChunkRecord::Parse(bytes);
    return CheckRecord(bytes, *record) == kStoreOk;
}

bool VolumeSet::Removable(const std::string& path) const {
    return (volfiles::DriveFlags(path) & 0x01) != 0;
}

VolumeSet::VolumeSet(StoreContainer& set) : set_(set) {}

void VolumeSet::TakeCommitted(const VolumeTable& table) {
    table_ = table;
    committed_ = table;
    if (file_) {
        table_.Note(volIndex_, volFirstChunk_, volChunks_);
    }
}

void VolumeSet::RaiseLimitTo(uint64_t least) {
    volumeLimit_ = std::max(volumeLimit_, least);
}

void VolumeSet::Close() {
    set_.DropReadAhead(); // chunks of this volume only
    file_.reset();
    fileWritable_ = false;
    fileCreatedNow_ = false;
}

std::string VolumeSet::MemberPath(uint32_t index) {
    std::string path = VolumePath(set_.path_, index);
    if (index == 0 || volfiles::Exists(path)) {
        return path;
    }
    // Members are listed without regard to case: open the name on disk.
    const std::string folder(FolderOf(set_.path_));
    for (const std::string& name : volfiles::ListFiles(folder)) {
        if (VolumeIndexOfName(name, NameOf(set_.path_)) == int(index)) {
            return folder + name;
        }
    }
    return path;
}

// One writer at a time: a second writer of the set gets 1810, as for a file
// another program holds open. Sets on removable media are not locked, since
// their volume 0 leaves the drive while later volumes are written.
int VolumeSet::LockSet() {
    if (Removable(set_.path_)) {
        return kStoreOk;
    }
    OpenFailure why = OpenFailure::None;
    lock_ = volfiles::OpenUpdate(set_.path_, &why);
    if (lock_ && !lock_->TryLock()) {
        lock_.reset();
        return kStoreCannotOpen;
    }
    return kStoreOk;
}

bool VolumeSet::SetInUse(const std::string& path0) {
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenUpdate(path0, &why);
    return f && !f->TryLock();
}

bool VolumeSet::HoldsWholeChunk(const std::string& path) const {
    uint64_t size = 0;
    return volfiles::FileSize(path, &size) && size >= set_.header_.storedChunkSize;
}

int VolumeSet::OpenReadVolume(uint32_t index, OpenFailure* why) {
    Close();
    const std::string path = MemberPath(index);
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(path, why);
    if (!f) {
        return *why == OpenFailure::Absent ? kStoreNotFound : kStoreCannotOpen;
    }
    uint8_t bytes[kRecordSize];
    uint32_t done = 0;
    if (index == 0 && !set_.chunk0Rollback_.empty()) {
        std::memcpy(bytes, set_.chunk0Rollback_.data(), kRecordSize); // chunk 0 was cut short
    } else if (!f->ReadAt(0, bytes, kRecordSize, &done) || done != kRecordSize) {
        return kStoreShortRead;
    }
    const ChunkRecord r = ChunkRecord::Parse(bytes);
    if (CheckRecord(bytes, r) != kStoreOk) {
        return kStoreInvalid;
    }
    if (!set_.haveHeader_) {
        if (const int err = set_.AcceptHeader(bytes); err != kStoreOk) {
            return err;
        }
    } else if (r.creationTime != set_.header_.creationTime ||
               CheckAgainstHeader(bytes, set_.headerBytes_) != kStoreOk) {
        return kStoreInvalid;
    }
    uint64_t size = 0;
    if (!f->GetSize(&size) || size < r.storedChunkSize) {
        return kStoreInvalid;
    }
    const uint64_t count = size / r.storedChunkSize;
    if (uint64_t(r.chunkNumber) + count > 0xFFFFFFFFu) {
        return kStoreInvalid;
    }
    table_.Note(index, r.chunkNumber, uint32_t(count));
    file_ = std::move(f);
    volIndex_ = index;
    volFirstChunk_ = r.chunkNumber;
    volChunks_ = uint32_t(count);
    return kStoreOk;
}

int VolumeSet::AskForVolume(uint32_t index, uint32_t attempt, bool next) {
    const std::string path = VolumePath(set_.path_, index);
    if (set_.callback_ == nullptr) {
        return kStoreCancelled;
    }
    ListMembers(set_.header_.creationTime); // learns whether media hold one volume each
    if (attempt > 0) {
        set_.callback_->WrongMedia(path.c_str());
    }
    uint32_t answer;
    if (index == 0) {
        answer = set_.callback_->AskFirstMedia(path.c_str());
    } else if (oneVolumePerMedium_) {
        answer = set_.callback_->AskMediaNumber(path.c_str(), index + 1);
    } else if (next) {
        answer = set_.callback_->AskNextMedia(path.c_str());
    } else {
        answer = set_.callback_->AskMediaWithFile(path.c_str());
    }
    return (answer & 0xFF) != 0 ? kStoreOk : kStoreCancelled;
}

int VolumeSet::Select(uint32_t index) {
    if (file_ && volIndex_ == index && !fileWritable_) {
        return kStoreOk;
    }
    if (index >= kMaxReadVolumes) {
        return kStoreInvalid;
    }
    const bool next = file_ != nullptr && index == volIndex_ + 1;
    for (uint32_t attempt = 0;; ++attempt) {
        OpenFailure why = OpenFailure::None;
        const int err = OpenReadVolume(index, &why);
        if (err == kStoreOk || why != OpenFailure::Absent ||
            !Removable(VolumePath(set_.path_, index))) {
            return err;
        }
        if (const int asked = AskForVolume(index, attempt, next); asked != kStoreOk) {
            return asked;
        }
    }
}

int VolumeSet::SelectHolding(uint32_t chunk) {
    uint32_t v = table_.VolumeOf(chunk, volumeCount_ == 0 ? 0 : volumeCount_ - 1);
    int direction = 0;
    for (uint32_t steps = 0; steps <= kMaxReadVolumes; ++steps) {
        if (const int err = Select(v); err != kStoreOk) {
            return err;
        }
        if (chunk < volFirstChunk_) {
            if (v == 0 || direction > 0) {
                return kStoreNotFound;
            }
            direction = -1;
            --v;
        } else if (chunk - volFirstChunk_ >= volChunks_) {
            if (direction < 0 || v + 1 >= std::max<uint32_t>(volumeCount_, 1)) {
                return kStoreNotFound;
            }
            direction = 1;
            ++v;
        } else {
            return kStoreOk;
        }
    }
    return kStoreNotFound;
}

std::vector<std::pair<uint32_t, std::string>> VolumeSet::ListMembers(uint32_t creationTime,
                                                                     bool anyTime) {
    std::vector<std::pair<uint32_t, std::string>> members;
    const std::string folder(FolderOf(set_.path_));
    const std::string name0(NameOf(set_.path_));
    for (const std::string& name : volfiles::ListFiles(folder)) {
        const int index = VolumeIndexOfName(name, name0);
        if (index < 0) {
            continue;
        }
        const std::string path = folder + name;
        ChunkRecord r;
        if (ReadFirstRecord(path, &r) && (anyTime || r.creationTime == creationTime)) {
            members.emplace_back(uint32_t(index), path);
        }
    }
    std::sort(members.begin(), members.end());
    if (members.size() >= 2) {
        oneVolumePerMedium_ = false;
    }
    return members;
}

std::vector<std::string> VolumeSet::ContinuationsByName() {
    const std::string folder(FolderOf(set_.path_));
    const std::string name0(NameOf(set_.path_));
    std::vector<std::pair<uint32_t, std::string>> named; // creation time, path
    std::vector<uint32_t> claimed;
    for (const std::string& name : volfiles::ListFiles(folder)) {
        const int index = VolumeIndexOfName(name, name0);
        ChunkRecord r;
        if (index == 0 || !ReadFirstRecord(folder + name, &r)) {
            continue;
        }
        if (index > 0) {
            named.emplace_back(r.creationTime, folder + name);
        } else if (!IsContinuationPath(name) &&
                   VolumeIndexOfName(NameOf(VolumePath(name, 1)), name0) == 1) {
            claimed.push_back(r.creationTime); // a first volume sharing our continuation names
        }
    }
    std::vector<std::string> files;
    for (const auto& [time, path] : named) {
        if (std::find(claimed.begin(), claimed.end(), time) == claimed.end()) {
            files.push_back(path);
        }
    }
    return files;
}

// Members are the files whose first record carries volume 0's creation
// time. A file named as a volume below the last member, or within the count
// of a set that was open (`counted` volumes), whose own first record is
// damaged is one too; one with a sound record of another time belongs to
// another set and stays. Without a sound volume 0 the continuations are
// found by name alone.
int VolumeSet::DeleteContinuations(uint32_t counted) {
    std::vector<std::string> files;
    uint32_t last = counted > 0 ? counted - 1 : 0;
    ChunkRecord r;
    if (ReadFirstRecord(set_.path_, &r)) {
        for (const auto& [index, file] : ListMembers(r.creationTime)) {
            if (index != 0) {
                files.push_back(file);
            }
            last = std::max(last, index);
        }
    } else {
        files = ContinuationsByName();
    }
    int err = kStoreOk;
    for (const std::string& file : files) {
        if (!volfiles::Delete(file)) {
            err = kStoreMediaFailure;
        }
    }
    for (uint32_t index = 1; index < last; ++index) {
        const std::string file = MemberPath(index);
        ChunkRecord own;
        if (volfiles::Exists(file) && !ReadFirstRecord(file, &own) && !volfiles::Delete(file)) {
            err = kStoreMediaFailure;
        }
    }
    return err;
}

int VolumeSet::Volume0ForUpdate(std::unique_ptr<VolumeFile>& own, VolumeFile** f) {
    const std::string& path0 = set_.path_;
    *f = (volIndex_ == 0 && file_ && fileWritable_) ? file_.get() : nullptr;
    while (*f == nullptr) {
        OpenFailure why = OpenFailure::None;
        own = volfiles::OpenUpdate(path0, &why);
        *f = own.get();
        if (*f != nullptr) {
            break;
        }
        if (why != OpenFailure::Absent || !Removable(path0)) {
            return kStoreCannotOpen;
        }
        if (set_.callback_ == nullptr ||
            (set_.callback_->AskFirstMediaForUpdate(path0.c_str()) & 0xFF) == 0) {
            return kStoreCancelled;
        }
    }
    return kStoreOk;
}

} // namespace kwv
