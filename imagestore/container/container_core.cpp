// StoreContainer: reference counting, creation functions, the stream slots,
// passwords, verification and deletion.
#include "imagestore/container/store_container.h"

#include "imagestore/container/read_ahead.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kwv {

namespace {

void SetError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

uint64_t VolumeLimit(uint32_t low, uint32_t high) {
    const uint64_t limit = (uint64_t(high) << 32) | low;
    return limit == 0 ? 0x7fffffff : limit;
}

// Runs one opening step on a new object; releases it on failure.
template <typename Step>
StoreContainer* Make(const char* path, MEDIA_CHANGE_CALLBACK* callback, int* error, Step step) {
    if (path == nullptr || IsContinuationPath(path)) {
        SetError(error, kStoreContinuation);
        return nullptr;
    }
    auto* c = new (std::nothrow) StoreContainer(path, callback);
    if (c == nullptr) {
        SetError(error, kStoreNoMemory);
        return nullptr;
    }
    int err = kStoreNoMemory;
    try {
        err = step(c);
    } catch (const std::bad_alloc&) {
        // The object is released below like after any failed step.
    }
    SetError(error, err);
    if (err != kStoreOk) {
        c->Release();
        return nullptr;
    }
    return c;
}

} // namespace

uint32_t PasswordCrc(const char16_t* text) {
    uint8_t bytes[128];
    size_t n = 0;
    for (; text != nullptr && text[n] != 0 && n < 64; ++n) {
        kwbytes::StoreLe16(bytes + 2 * n, uint16_t(text[n]));
    }
    return Crc32(bytes, 2 * n);
}

StoreContainer* OpenContainerForRead(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                     int* error) {
    return Make(path, callback, error, [](StoreContainer* c) { return c->Open(false); });
}

StoreContainer* OpenContainerForAppend(const char* path, uint32_t limitLow, uint32_t limitHigh,
                                       MEDIA_CHANGE_CALLBACK* callback, int* error) {
    const uint64_t limit = VolumeLimit(limitLow, limitHigh);
    return Make(path, callback, error, [&](StoreContainer* c) { return c->OpenForAppend(limit); });
}

StoreContainer* CreateContainer(const char* path, const char16_t* password, uint32_t limitLow,
                                uint32_t limitHigh, uint32_t options,
                                MEDIA_CHANGE_CALLBACK* callback, int* error) {
    const uint64_t limit = VolumeLimit(limitLow, limitHigh);
    return Make(path, callback, error,
                [&](StoreContainer* c) { return c->Create(password, limit, options); });
}

int DeleteContainerSet(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    if (path == nullptr || IsContinuationPath(path)) {
        return kStoreContinuation;
    }
    auto* c = new (std::nothrow) StoreContainer(path, callback);
    if (c == nullptr) {
        return kStoreNoMemory;
    }
    const int err = c->DeleteSet();
    c->Release();
    return err;
}

StoreContainer::StoreContainer(std::string path, MEDIA_CHANGE_CALLBACK* callback)
    : path_(std::move(path)), callback_(callback), threads_(StoreThreads()) {}

StoreContainer::~StoreContainer() {
    Close();
}

uint32_t StoreContainer::AddRef() {
    return ++refs_;
}

uint32_t StoreContainer::Release() {
    if (--refs_ != 0) {
        return refs_;
    }
    delete this;
    return 0;
}

uint32_t StoreContainer::TryPassword(const char16_t* text) {
    password_.clear();
    try {
        for (size_t n = 0; text != nullptr && text[n] != 0 && n < 64; ++n) {
            password_.push_back(text[n]);
        }
    } catch (const std::bad_alloc&) {
        return 0; // called from the caller's prompt: refused, never thrown back
    }
    const uint32_t kind = ProtectionOf(header_.containerFlags);
    if (haveHeader_ && (kind == 1 || kind == 2) && PasswordCrc(text) == header_.passwordCrc) {
        passwordOk_ = true;
        return 1;
    }
    password_.clear();
    return 0;
}

int StoreContainer::AcceptHeader(const uint8_t* bytes) {
    header_ = ChunkRecord::Parse(bytes);
    std::memcpy(headerBytes_, bytes, kRecordSize);
    haveHeader_ = true;
    const uint32_t kind = ProtectionOf(header_.containerFlags);
    if (kind == 1 || kind == 2) {
        passwordOk_ = false;
        const bool accepted =
            callback_ != nullptr && (callback_->AskPassword(this) & 0xFF) != 0 && passwordOk_;
        if (!accepted) {
            haveHeader_ = false;
            header_ = ChunkRecord();
            return kStoreCancelled;
        }
    }
    volumes_.RaiseLimitTo(header_.storedChunkSize);
    return kStoreOk;
}

void StoreContainer::Detach(StreamReader* reader) {
    if (reader_ == reader) {
        reader_ = nullptr;
    }
}

void StoreContainer::Detach(StreamWriter* writer) {
    if (writer_ == writer) {
        writer_ = nullptr;
    }
}

void StoreContainer::Detach(StreamEnumerator* enumerator) {
    if (enumerator_ == enumerator) {
        enumerator_ = nullptr;
    }
}

void StoreContainer::GetInfo(uint32_t* bits, uint32_t* volumes, uint64_t* storedSize,
                             uint64_t* streamLength) {
    const uint32_t flags = header_.containerFlags;
    uint32_t b = 0;
    b |= (flags & kFlagPayloadCrc) ? kInfoPayloadCrc : 0;
    b |= CodecOf(flags) == kCodecLzs ? kInfoLzs : 0;
    b |= CodecOf(flags) == kCodecOwn ? kInfoOwnMethod : 0;
    b |= verifyVolumes_ ? kInfoVerifyVolumes : 0;
    b |= (ProtectionOf(flags) == 1 || ProtectionOf(flags) == 2) ? kInfoPassword : 0;
    b |= (flags & kFlagDirectoryCopy) ? 0 : kInfoNoDirectoryCopy;
    b |= (flags & kFlagClosed) ? kInfoClosed : 0;
    b |= EccOf(flags) == 1 ? kInfoErrorCorrection : 0;
    b |= oldSignature_ ? kInfoOldSignature : 0;
    b |= keepLastMedium_ ? kInfoKeepLastMedium : 0;
    if (bits != nullptr) {
        *bits = b;
    }
    if (volumes != nullptr) {
        *volumes = volumes_.Count();
    }
    if (storedSize != nullptr) {
        *storedSize = uint64_t(header_.storedChunkSize) * chunkCount_;
    }
    if (streamLength != nullptr) {
        *streamLength = streamLength_;
    }
}

void StoreContainer::GetPath(char* buffer, size_t size) const {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const size_t n = std::min(path_.size(), size - 1);
    std::memcpy(buffer, path_.data(), n);
    buffer[n] = '\0';
}

int32_t StoreContainer::GetCurrentChunk() {
    if (mode_ != Mode::Write) {
        return -1;
    }
    if (int err = chunks_.Settle(); err != kStoreOk) {
        unreported_ = unreported_ != kStoreOk ? unreported_ : err;
        return -1;
    }
    return chunks_.ChunkOpen() ? int32_t(chunk_.chunkNumber - volumes_.FirstChunk()) : -1;
}

int StoreContainer::SettleWrites() {
    if (mode_ != Mode::Write) {
        return kStoreOk;
    }
    if (unreported_ == kStoreOk) {
        unreported_ = chunks_.Settle();
    }
    return unreported_;
}

void StoreContainer::SetReadAhead(uint32_t) {
    // Only a pre-reader offered by the file layer uses the hint; none is offered.
}

StreamReader* StoreContainer::OpenStream(const char* path, int* error) {
    if (mode_ != Mode::Read || reader_ != nullptr) {
        SetError(error, kStoreWrongMode);
        return nullptr;
    }
    const StreamEntry* e = table_.Find(path == nullptr ? "" : path);
    if (e == nullptr) {
        SetError(error, kStoreNoSuchStream);
        return nullptr;
    }
    if (e->length > streamLength_ || e->start > streamLength_ - e->length) {
        SetError(error, kStoreInvalid); // an extent past the stream space
        return nullptr;
    }
    reader_ = new (std::nothrow) StreamReader(this, e->start, e->length);
    SetError(error, reader_ == nullptr ? kStoreNoMemory : kStoreOk);
    return reader_;
}

StreamWriter* StoreContainer::CreateStream(const char* path, uint32_t tag1, uint32_t tag2,
                                           int* error) {
    if (mode_ != Mode::Write || writer_ != nullptr) {
        SetError(error, kStoreWrongMode);
        return nullptr;
    }
    uint32_t id = 0;
    const int err = table_.Create(path == nullptr ? "" : path, tag1, tag2, &id);
    if (err != kStoreOk) {
        SetError(error, err);
        return nullptr;
    }
    writer_ = new (std::nothrow) StreamWriter(this, id);
    SetError(error, writer_ == nullptr ? kStoreNoMemory : kStoreOk);
    return writer_;
}

StreamEnumerator* StoreContainer::EnumerateStreams(const char* path, char* name, size_t size,
                                                   int* error) {
    if (mode_ == Mode::None || enumerator_ != nullptr) {
        SetError(error, kStoreWrongMode);
        return nullptr;
    }
    const StreamEntry* e = table_.Find(path == nullptr ? "" : path);
    if (e == nullptr) {
        SetError(error, kStoreNoSuchStream);
        return nullptr;
    }
    auto* en = new (std::nothrow) StreamEnumerator(this, e->id);
    if (en == nullptr) {
        SetError(error, kStoreNoMemory);
        return nullptr;
    }
    enumerator_ = en;
    SetError(error, kStoreOk);
    if (en->Next(name, size) != kStoreOk) {
        en->Release(); // no children
        return nullptr;
    }
    return en;
}

int StoreContainer::ReadSmallStream(const char* path, uint32_t* tag1, uint32_t* tag2,
                                    uint64_t* start, uint64_t* length, void* buffer, uint32_t size,
                                    uint32_t* inlineLength) {
    const StreamEntry* e = table_.Find(path == nullptr ? "" : path);
    if (e == nullptr) {
        return kStoreNoSuchStream;
    }
    if (tag1 != nullptr) {
        *tag1 = e->tag1;
    }
    if (tag2 != nullptr) {
        *tag2 = e->tag2;
    }
    if (start != nullptr) {
        *start = e->start;
    }
    if (length != nullptr) {
        *length = e->length;
    }
    const size_t n = std::min<size_t>(size, e->inlineData.size());
    if (buffer != nullptr && n > 0) {
        std::memcpy(buffer, e->inlineData.data(), n);
    }
    if (inlineLength != nullptr) {
        *inlineLength = uint32_t(e->inlineData.size());
    }
    return kStoreOk;
}

int StoreContainer::WriteSmallStream(const char* path, const void* data, uint32_t length) {
    const StreamEntry* e = table_.Find(path == nullptr ? "" : path);
    if (e == nullptr) {
        return kStoreNoSuchStream;
    }
    return table_.SetInline(e->id, static_cast<const uint8_t*>(data), length);
}

int StoreContainer::RemoveStream(const char* path) {
    if (mode_ != Mode::Write || writer_ != nullptr || enumerator_ != nullptr) {
        return kStoreWrongMode;
    }
    const StreamEntry* e = table_.Find(path == nullptr ? "" : path);
    return e == nullptr ? kStoreNoSuchStream : table_.Remove(e->id);
}

int StoreContainer::VerifyAll() {
    if (mode_ != Mode::Read) {
        return kStoreWrongMode;
    }
    constexpr uint64_t kPiece = 100000;
    const uint64_t total = streamLength_;
    // Every chunk is read from its volume and checked, none taken from the
    // cache of decoded chunks.
    const bool cacheChunks = cacheChunks_;
    cacheChunks_ = false;
    chunkLoaded_ = false;
    cached_.reset();
    if (callback_ != nullptr) {
        callback_->ProgressBegin();
    }
    int err = kStoreOk;
    for (uint64_t done = 0; done < total && err == kStoreOk;) {
        const uint64_t n = std::min(kPiece, total - done);
        err = ReadSpace(done, nullptr, n);
        done += n;
        if (err == kStoreOk && callback_ != nullptr &&
            (callback_->ProgressStep(uint32_t(total >> 8), uint32_t(done >> 8)) & 0xFF) == 0) {
            err = kStoreCancelled;
        }
    }
    if (callback_ != nullptr) {
        callback_->ProgressEnd();
    }
    cacheChunks_ = cacheChunks;
    return err;
}

int StoreContainer::DeleteSet() {
    if (callback_ != nullptr) {
        callback_->DeleteImageBegin();
    }
    const bool wasOpen = mode_ != Mode::None;
    Close();
    if (!wasOpen && !volfiles::Exists(path_) && !volumes_.Removable(path_)) {
        if (callback_ != nullptr) {
            callback_->DeleteImageEnd();
        }
        return kStoreNotFound; // no such image: nothing was deleted
    }
    if (VolumeSet::SetInUse(path_)) {
        if (callback_ != nullptr) {
            callback_->DeleteImageEnd();
        }
        return kStoreCannotOpen; // a writer has the set open
    }
    int err = volumes_.DeleteContinuations(wasOpen ? volumes_.Count() : 0);
    if (volfiles::Exists(path_) && !volfiles::Delete(path_)) {
        err = kStoreMediaFailure;
    }
    if (volfiles::Exists(RollbackPath()) && !volfiles::Delete(RollbackPath())) {
        err = kStoreMediaFailure;
    }
    if (callback_ != nullptr) {
        callback_->DeleteImageEnd();
    }
    return err;
}

// Removes the volume files this object made for a new set; nothing else
// belongs to it.
void StoreContainer::RemoveCreatedSet() {
    volumes_.RemoveCreated();
    if (volfiles::Exists(RollbackPath())) {
        volfiles::Delete(RollbackPath());
    }
    volfiles::SyncFolderOf(path_); // nothing depends on it: a failure is no worse
}

void StoreContainer::UndoWriting() {
    if (!appending_) {
        RemoveCreatedSet(); // a new set that could not be finished
    } else if (RollBackAppend() != kStoreOk) {
        StoreLog("%s: a failed append could not be fully taken back; the set reads as of "
                 "its last directory",
                 path_.c_str());
    }
}

int StoreContainer::Discard() {
    if (mode_ == Mode::Write) {
        EndWriting();
        mode_ = Mode::None;
        UndoWriting();
    }
    return Close();
}

int StoreContainer::Close() {
    if (reader_ != nullptr) {
        reader_->Detach();
    }
    if (writer_ != nullptr) {
        writer_->Detach();
    }
    if (enumerator_ != nullptr) {
        enumerator_->Detach();
    }
    int err = kStoreOk;
    if (mode_ == Mode::Write) {
        if (WroteAnything()) {
            err = CloseWriting();
            if (err != kStoreOk) {
                UndoWriting();
            }
        } else {
            EndWriting(); // an append that added nothing leaves the set as it was
        }
    }
    mode_ = Mode::None;
    volumes_.Close();
    ahead_.reset();
    volumes_.Unlock();
    buffer_.clear();
    buffer_.shrink_to_fit();
    chunkLoaded_ = false;
    chunks_.Drop();
    cached_.reset();
    cache_.reset();
    decoder_ = nullptr;
    return err;
}

} // namespace kwv
