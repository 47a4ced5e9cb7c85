// The image as a whole: reference count, commit, deletion and the image-level
// getters of PartStore.
#include "imagestore/partstore/part_store.h"

#include "imagestore/container/store_container.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/partstore/store_text.h"
#include "imagestore/partstore/store_time.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"

namespace kw::partstore {

PartStore::~PartStore() {
    Shield([&] {
        CloseStream();
        CloseContainer();
        return kwv::kStoreOk;
    });
}

uint32_t PartStore::AddRef() {
    return ++refs_;
}

uint32_t PartStore::Release() {
    const uint32_t left = --refs_;
    if (left == 0) {
        // A caller that needs the result calls Commit first; here it can only
        // be logged.
        if (const int32_t error = Commit(); error != kwv::kStoreOk) {
            kwv::StoreLog("%s: closing on the last release failed with %d", path_.c_str(), error);
        }
        delete this;
    }
    return left;
}

void PartStore::CloseContainer() {
    if (container_ != nullptr) {
        container_->Release();
        container_ = nullptr;
    }
}

int32_t PartStore::Commit() {
    return Shield([&] { return CommitNow(); });
}

int32_t PartStore::CommitNow() {
    if (mode_ == Mode::Closed || container_ == nullptr) {
        return kwv::kStoreOk;
    }
    ClosePart();
    CloseStream();
    if (mode_ == Mode::Write && appending_ && !KeepsAppend()) {
        // Nothing added (a copy cancelled before any part was kept): the
        // image stays as it was.
        const int32_t dropped = container_->Abandon();
        mode_ = Mode::Closed;
        return closeError_ != kwv::kStoreOk ? closeError_ : dropped;
    }
    int32_t error = mode_ == Mode::Write ? WriteFailure() : kwv::kStoreOk;
    if (error == kwv::kStoreOk && mode_ == Mode::Write && headerChanged_) {
        const auto bytes = header_.Bytes();
        error = container_->WriteSmallStream("kwi", bytes.data(), uint32_t(bytes.size()));
        headerChanged_ = false;
    }
    // A commit that cannot keep everything written keeps nothing of it.
    const int32_t closed = error != kwv::kStoreOk ? container_->Discard() : container_->Close();
    mode_ = Mode::Closed;
    return error != kwv::kStoreOk ? error : closed;
}

int32_t PartStore::WriteFailure() const {
    if (closeError_ != kwv::kStoreOk) {
        return closeError_;
    }
    for (const Part& part : parts_) {
        if (part.failedWrite != kwv::kStoreOk) {
            return part.failedWrite;
        }
    }
    return mbrFailed_;
}

bool PartStore::KeepsAppend() const {
    if (described_ || mbrCreated_) {
        return true;
    }
    for (const Part& part : parts_) {
        if (part.addedNow) {
            return true;
        }
    }
    return false;
}

int32_t PartStore::DeleteImage() {
    if (container_ == nullptr) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        if (mode_ != Mode::Write) {
            // A store opened for reading only stops reading.
            DropCurrentPart();
            mode_ = Mode::Closed;
            return kwv::kStoreWrongMode;
        }
        DropCurrentPart();
        parts_.clear();
        const int32_t error = container_->DeleteSet();
        mode_ = Mode::Closed;
        headerChanged_ = false;
        return error;
    });
}

int32_t PartStore::GetImagePath(char* buffer, uint32_t size) {
    if (container_ == nullptr) {
        CopyNarrow(u"", buffer, size);
        return kwv::kStoreWrongMode;
    }
    return Shield([&] {
        container_->GetPath(buffer, size);
        return kwv::kStoreOk;
    });
}

uint32_t PartStore::GetImageFlags() {
    uint32_t bits = 0;
    if (container_ != nullptr) {
        container_->GetInfo(&bits, nullptr, nullptr, nullptr);
    }
    uint32_t flags = 0;
    if (bits & kwv::kInfoLzs) {
        flags |= KW_IMAGE_LOW_COMPRESSION;
    }
    if (bits & kwv::kInfoOwnMethod) {
        flags |= KW_IMAGE_HIGH_COMPRESSION;
    }
    if (bits & kwv::kInfoPassword) {
        flags |= KW_IMAGE_PASSWORD;
    }
    if (container_ != nullptr && container_->FellBack()) {
        flags |= KW_IMAGE_EARLIER_SESSION;
    }
    return flags;
}

int32_t PartStore::GetDescription(char* buffer, uint32_t size) {
    return Shield([&]() -> int32_t {
        CopyNarrow(header_.Description(), buffer, size);
        return kwv::kStoreOk;
    });
}

int32_t PartStore::GetCreationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                   int32_t* minute, int32_t* second) {
    SplitCalendar(CalendarFromStoreTime(header_.CreationTime()), year, month, day, hour, minute,
                  second);
    return kwv::kStoreOk;
}

int32_t PartStore::GetModificationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                       int32_t* minute, int32_t* second) {
    SplitCalendar(CalendarFromStoreTime(header_.ModificationTime()), year, month, day, hour, minute,
                  second);
    return kwv::kStoreOk;
}

uint32_t PartStore::GetVolumeCount() {
    uint32_t volumes = 0;
    if (container_ != nullptr) {
        container_->GetInfo(nullptr, &volumes, nullptr, nullptr);
    }
    return volumes;
}

uint64_t PartStore::GetImageSize() {
    uint64_t stored = 0;
    if (container_ != nullptr) {
        container_->GetInfo(nullptr, nullptr, &stored, nullptr);
    }
    return stored;
}

int32_t PartStore::SetDescription(const char* text) {
    if (mode_ != Mode::Write) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        header_.SetDescription(WidenText(text));
        headerChanged_ = true;
        described_ = true;
        return kwv::kStoreOk;
    });
}

} // namespace kw::partstore
