// The streams of PartStore: a part's bitmaps and data streams and the MBR
// stream, one open at a time, read or written at the store's position.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/partstore/part_store.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/store_error.h"

namespace kw::partstore {

namespace {
constexpr const char* kMbrPath = "kwi/mbr";
constexpr uint32_t kMbrTag = 0x52424D24; // "$MBR"
} // namespace

void PartStore::CloseStream() {
    if (reader_ != nullptr) {
        reader_->Release();
        reader_ = nullptr;
    }
    if (writer_ != nullptr) {
        writer_->Release(); // stores the stream's start and length in its entry
        writer_ = nullptr;
    }
    streamKind_ = StreamKind::None;
    position_ = 0;
}

int32_t PartStore::OpenReader(const std::string& path, StreamKind kind, uint64_t* length) {
    CloseStream();
    int error = kwv::kStoreOk;
    reader_ = container_->OpenStream(path.c_str(), &error);
    if (reader_ == nullptr) {
        return error != kwv::kStoreOk ? error : kwv::kStoreNoSuchStream;
    }
    streamKind_ = kind;
    if (length != nullptr) {
        *length = reader_->GetLength();
    }
    return kwv::kStoreOk;
}

int32_t PartStore::OpenWriter(const std::string& path, uint32_t tag, StreamKind kind) {
    CloseStream();
    int error = kwv::kStoreOk;
    writer_ = container_->CreateStream(path.c_str(), tag, 0, &error);
    if (writer_ == nullptr) {
        return error != kwv::kStoreOk ? error : kwv::kStoreWrongMode;
    }
    streamKind_ = kind;
    return kwv::kStoreOk;
}

int32_t PartStore::OpenPartStream(const char* child, uint64_t* length) {
    if (mode_ != Mode::Read || !HasCurrentPart()) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        return OpenReader(parts_[size_t(current_)].path + "/" + child, StreamKind::Part, length);
    });
}

int32_t PartStore::CreatePartStream(const char* child) {
    if (mode_ != Mode::Write || !HasCurrentPart()) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        return OpenWriter(parts_[size_t(current_)].path + "/" + child, 0, StreamKind::Part);
    });
}

int32_t PartStore::ClosePartStream() {
    return Shield([&] {
        if (streamKind_ == StreamKind::Part) {
            CloseStream();
        }
        return kwv::kStoreOk;
    });
}

int32_t PartStore::CreateMbrStream() {
    if (mode_ != Mode::Write) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        const int32_t error = OpenWriter(kMbrPath, kMbrTag, StreamKind::Mbr);
        mbrCreated_ = mbrCreated_ || error == kwv::kStoreOk;
        return error;
    });
}

int32_t PartStore::OpenMbrStream(uint64_t* length) {
    if (mode_ != Mode::Read) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t { return OpenReader(kMbrPath, StreamKind::Mbr, length); });
}

int32_t PartStore::CloseMbrStream() {
    return Shield([&] {
        if (streamKind_ == StreamKind::Mbr) {
            CloseStream();
        }
        return kwv::kStoreOk;
    });
}

int32_t PartStore::Read(void* buffer, uint32_t length, uint32_t* got) {
    uint32_t done = 0;
    int32_t error = kwv::kStoreWrongMode;
    if (reader_ != nullptr) {
        error = Shield([&] { return int32_t(reader_->Read(position_, buffer, length, &done)); });
        position_ += done;
    }
    if (got != nullptr) {
        *got = done;
    }
    return error;
}

int32_t PartStore::Write(const void* data, uint32_t length) {
    if (writer_ == nullptr) {
        return kwv::kStoreWrongMode;
    }
    const int32_t error = Shield([&] { return int32_t(writer_->Write(position_, data, length)); });
    if (error == kwv::kStoreOk) {
        position_ += length;
        return error;
    }
    // A write out of place stores nothing; any other failure leaves the
    // stream short, and what it belongs to cannot be kept.
    int32_t* failed = streamKind_ == StreamKind::Mbr ? &mbrFailed_
                      : HasCurrentPart()             ? &parts_[size_t(current_)].failedWrite
                                                     : nullptr;
    if (error != kwv::kStoreWrongMode && failed != nullptr && *failed == kwv::kStoreOk) {
        *failed = error;
    }
    return error;
}

// The MBR stream is read and written like a part stream.
int32_t PartStore::ReadMbr(void* buffer, uint32_t length, uint32_t* got) {
    return Read(buffer, length, got);
}

int32_t PartStore::WriteMbr(const void* data, uint32_t length) {
    return Write(data, length);
}

} // namespace kw::partstore
