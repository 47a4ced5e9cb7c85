// StoreContainer: the writes that change what is already on disk. An append
// first clears chunk 0's directory copy and cuts off what a stopped write
// left; closing rewrites chunk 0 with the new copy. Chunk 0 is rewritten in
// place, so each rewrite goes through RewriteChunk0.
#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"

#include <cstring>
#include <new>

namespace kwv {

// Volume 0 opened for update: the current file when that is volume 0, else
// a handle of its own in `own`.
int StoreContainer::Chunk0ForUpdate(std::unique_ptr<VolumeFile>& own, VolumeFile** f) {
    *f = (volIndex_ == 0 && file_ && fileWritable_) ? file_.get() : nullptr;
    while (*f == nullptr) {
        OpenFailure why = OpenFailure::None;
        own = volfiles::OpenUpdate(path_, &why);
        *f = own.get();
        if (*f != nullptr) {
            break;
        }
        if (why != OpenFailure::Absent || !Removable(path_)) {
            return kStoreCannotOpen;
        }
        if (callback_ == nullptr ||
            (callback_->AskFirstMediaForUpdate(path_.c_str()) & 0xFF) == 0) {
            return kStoreCancelled;
        }
    }
    return kStoreOk;
}

// The stored bytes of chunk 0 as they are on disk.
int StoreContainer::ReadChunk0(VolumeFile* f, std::vector<uint8_t>& out) {
    const uint32_t stored = header_.storedChunkSize;
    try {
        out.assign(stored, 0);
    } catch (const std::bad_alloc&) {
        return kStoreNoMemory;
    }
    uint32_t done = 0;
    if (!f->ReadAt(0, out.data(), stored, &done) || done != stored) {
        return kStoreShortRead;
    }
    return kStoreOk;
}

int StoreContainer::RewriteChunk0(VolumeFile* f, const uint8_t* now) {
    const uint32_t stored = header_.storedChunkSize;
    uint32_t done = 0;
    if (!f->WriteAt(0, now, stored, &done) || done != stored) {
        return kStoreMediaFailure;
    }
    return kStoreOk;
}

// Clears chunk flag bit 1 of chunk 0, so that a copy from before the append
// is never read once new chunks follow.
int StoreContainer::ClearChunk0Directory() {
    std::unique_ptr<VolumeFile> own;
    VolumeFile* f = nullptr;
    if (int err = Chunk0ForUpdate(own, &f); err != kStoreOk) {
        return err;
    }
    std::vector<uint8_t> chunk;
    if (int err = ReadChunk0(f, chunk); err != kStoreOk) {
        return err;
    }
    uint8_t* buf = chunk.data();
    const ChunkRecord r = ChunkRecord::Parse(buf);
    if (CheckRecord(buf, r) != kStoreOk || r.chunkNumber != 0) {
        return kStoreInvalid;
    }
    PutChunkFlags(buf, GetChunkFlags(buf) & ~kChunkHasDirectory);
    PutRecordCrc(buf);
    if (EccOf(header_.containerFlags) == 1) {
        ::EccEncodeChunk(buf);
    }
    return RewriteChunk0(f, buf);
}

int StoreContainer::PrepareAppend() {
    if (!appending_ || prepared_) {
        return kStoreOk;
    }
    touched_ = true;
    if (copyInChunk0_) {
        if (int err = ClearChunk0Directory(); err != kStoreOk) {
            return err;
        }
        copyInChunk0_ = false;
    }
    while (!fragments_.empty()) {
        if (volfiles::Exists(fragments_.back()) && !volfiles::Delete(fragments_.back())) {
            return kStoreMediaFailure;
        }
        fragments_.pop_back();
    }
    // Chunks past the set's last one (left by a write that stopped) go.
    if (file_ && !file_->SetSize(uint64_t(volChunks_) * header_.storedChunkSize)) {
        return kStoreMediaFailure;
    }
    prepared_ = true;
    return kStoreOk;
}

bool StoreContainer::WroteAnything() const {
    if (!appending_ || touched_ || chunkOpen_ || sealedPending_) {
        return true;
    }
    if (table_.Size() != openedTable_.size()) {
        return true;
    }
    std::vector<uint8_t> now(table_.Size());
    table_.Serialise(now.data());
    return now != openedTable_;
}

int StoreContainer::Abandon() {
    if (mode_ == Mode::Write && appending_ && !touched_) {
        EndWriting(); // nothing of this append has reached the disk
        mode_ = Mode::None;
    }
    return Close();
}

int StoreContainer::WriteDirectoryCopy(const std::vector<uint8_t>& directory) {
    std::unique_ptr<VolumeFile> own;
    VolumeFile* f = nullptr;
    if (int err = Chunk0ForUpdate(own, &f); err != kStoreOk) {
        return err;
    }
    const uint32_t stored = header_.storedChunkSize;
    uint8_t* buf = buffer_.data();
    uint32_t done = 0;
    if (!f->ReadAt(0, buf, stored, &done) || done != stored) {
        return kStoreShortRead;
    }
    const ChunkRecord r = ChunkRecord::Parse(buf);
    if (CheckRecord(buf, r) != kStoreOk || r.chunkNumber != 0 || r.directoryOffset < 0 ||
        uint64_t(r.directoryOffset) + directory.size() > r.PayloadRoom()) {
        return kStoreInvalid;
    }
    if (ProtectionOf(header_.containerFlags) == 2) {
        Scramble(buf);
    }
    std::memcpy(buf + kRecordSize + r.directoryOffset, directory.data(), directory.size());
    chunk_ = r;
    chunk_.chunkFlags |= kChunkHasDirectory;
    SealChunk();
    return RewriteChunk0(f, buf);
}

} // namespace kwv
