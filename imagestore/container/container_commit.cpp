// StoreContainer: the writes that change what is already on disk. An append
// first clears chunk 0's directory copy and cuts off what a stopped write
// left; closing rewrites chunk 0 with the new copy. Chunk 0 is rewritten in
// place, so each rewrite goes through RewriteChunk0.
#include "imagestore/container/store_container.h"

#include "imagestore/store_error.h"
#include "imagestore/store_log.h"

#include <cstring>
#include <new>

namespace kwv {

std::string StoreContainer::RollbackPath() const {
    return path_ + "~0";
}

// A whole stored chunk 0 that passes its checks.
bool StoreContainer::Chunk0Sound(const uint8_t* bytes, uint32_t stored) const {
    const ChunkRecord r = ChunkRecord::Parse(bytes);
    if (CheckRecord(bytes, r) != kStoreOk || r.chunkNumber != 0 || r.storedChunkSize != stored) {
        return false;
    }
    return (r.containerFlags & kFlagPayloadCrc) == 0 ||
           PayloadCrc(bytes, r.dataSize) == r.payloadCrc;
}

// Chunk 0 as the rollback file beside volume 0 keeps it, when that file is
// there and sound.
bool StoreContainer::ReadRollback(std::vector<uint8_t>& out, uint32_t stored) const {
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(RollbackPath(), &why);
    uint64_t size = 0;
    if (!f || !f->GetSize(&size) || size != stored) {
        return false;
    }
    try {
        out.assign(stored, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t done = 0;
    return f->ReadAt(0, out.data(), stored, &done) && done == stored &&
           Chunk0Sound(out.data(), stored);
}

// Before a set is read: when a rewrite of chunk 0 was cut short (chunk 0
// fails its check) and the rollback file holds the chunk as it was, the
// chunk is read from there.
void StoreContainer::LoadRollback() {
    chunk0Rollback_.clear();
    if (!volfiles::Exists(RollbackPath())) {
        return;
    }
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(path_, &why);
    std::vector<uint8_t> side;
    uint8_t rec[kRecordSize];
    uint32_t done = 0;
    uint32_t stored = 0;
    if (f && f->ReadAt(0, rec, kRecordSize, &done) && done == kRecordSize) {
        stored = ChunkRecord::Parse(rec).storedChunkSize;
    }
    // The size comes from the rollback file when volume 0's record is torn.
    uint64_t sideSize = 0;
    if (stored != kPlainChunkSize && stored != kEccStoredSize) {
        stored = volfiles::FileSize(RollbackPath(), &sideSize) ? uint32_t(sideSize) : 0;
    }
    if ((stored != kPlainChunkSize && stored != kEccStoredSize) || !ReadRollback(side, stored)) {
        return;
    }
    std::vector<uint8_t> disk(stored, 0);
    if (f && f->ReadAt(0, disk.data(), stored, &done) && done == stored &&
        Chunk0Sound(disk.data(), stored)) {
        return; // the rewrite went through; the file is left over
    }
    chunk0Rollback_ = std::move(side);
}

// The stored bytes of chunk 0: as on disk, or as the rollback file keeps
// them when the chunk on disk was cut short.
int StoreContainer::ReadChunk0(VolumeFile* f, std::vector<uint8_t>& out) {
    const uint32_t stored = header_.storedChunkSize;
    try {
        out.assign(stored, 0);
    } catch (const std::bad_alloc&) {
        return kStoreNoMemory;
    }
    uint32_t done = 0;
    const bool read = f->ReadAt(0, out.data(), stored, &done) && done == stored;
    if (read && Chunk0Sound(out.data(), stored)) {
        return kStoreOk;
    }
    if (chunk0Rollback_.size() == stored) {
        out = chunk0Rollback_;
        return kStoreOk;
    }
    return read ? kStoreInvalid : kStoreShortRead;
}

// Rewrites chunk 0 in place so that a rewrite cut short (power loss, a
// killed process) costs nothing: the old chunk goes to the rollback file
// and reaches the disk first; the file goes once the new chunk is on disk.
int StoreContainer::RewriteChunk0(VolumeFile* f, const uint8_t* old, const uint8_t* now) {
    const uint32_t stored = header_.storedChunkSize;
    const std::string side = RollbackPath();
    if (volfiles::Exists(side) && !volfiles::Delete(side)) {
        return kStoreMediaFailure;
    }
    std::unique_ptr<VolumeFile> keep = volfiles::CreateNew(side);
    uint32_t done = 0;
    bool kept = keep && keep->WriteAt(0, old, stored, &done) && done == stored && keep->Flush();
    keep.reset();
    if (kept && !volfiles::SyncFolderOf(side)) {
        kept = false;
    }
    if (!kept) {
        volfiles::Delete(side); // chunk 0 is untouched; a part-written file must not stay
        return kStoreMediaFailure;
    }
    if (!f->WriteAt(0, now, stored, &done) || done != stored || !f->Flush()) {
        return kStoreMediaFailure; // the rollback file restores the chunk
    }
    chunk0Rollback_.clear();
    // Chunk 0 is sound on disk now; a rollback file that stays or comes back
    // is not read.
    volfiles::Delete(side);
    volfiles::SyncFolderOf(side);
    return kStoreOk;
}

// Clears chunk flag bit 1 of chunk 0, so that a copy from before the append
// is never read once new chunks follow, and names the set's committed end in
// its place: a reader then takes everything after that end as a tail that
// holds nothing, however a power loss left it.
int StoreContainer::ClearChunk0Directory() {
    std::unique_ptr<VolumeFile> own;
    VolumeFile* f = nullptr;
    if (int err = volumes_.Volume0ForUpdate(own, &f); err != kStoreOk) {
        return err;
    }
    std::vector<uint8_t> old, chunk;
    if (int err = ReadChunk0(f, old); err != kStoreOk) {
        return err;
    }
    chunk = old;
    chunk0BeforeAppend_ = old;
    uint8_t* buf = chunk.data();
    const ChunkRecord r = ChunkRecord::Parse(buf);
    if (CheckRecord(buf, r) != kStoreOk || r.chunkNumber != 0) {
        return kStoreInvalid;
    }
    PutChunkFlags(buf, GetChunkFlags(buf) & ~kChunkHasDirectory);
    PutCommittedEnd(buf, CommittedEnd{chunkCount_, openedVolume_ + 1});
    PutRecordCrc(buf);
    if (EccOf(header_.containerFlags) == 1) {
        ::EccEncodeChunk(buf);
    }
    return RewriteChunk0(f, old.data(), buf);
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
    if (int err = volumes_.CutLeftovers(chunkCount_ - 1); err != kStoreOk) {
        return err;
    }
    prepared_ = true;
    return kStoreOk;
}

// After an append failed to close: the volumes it made go, the set's last
// volume is cut back to the chunks it held and chunk 0 gets its directory
// copy back, so that the set is as it was before the append. The first step
// that fails stops the rollback; the set then reads as of its last directory.
int StoreContainer::RollBackAppend() {
    if (!touched_) {
        return kStoreOk;
    }
    if (int err = volumes_.TakeBack(openedVolume_, openedVolumeChunks_); err != kStoreOk) {
        return err;
    }
    if (chunk0BeforeAppend_.empty()) {
        return kStoreOk;
    }
    std::unique_ptr<VolumeFile> own;
    VolumeFile* f = nullptr;
    if (int err = volumes_.Volume0ForUpdate(own, &f); err != kStoreOk) {
        return err;
    }
    std::vector<uint8_t> now(chunk0BeforeAppend_.size(), 0);
    uint32_t done = 0;
    if (f->ReadAt(0, now.data(), uint32_t(now.size()), &done) && done == now.size() &&
        now == chunk0BeforeAppend_) {
        return kStoreOk; // the append never got to change it
    }
    // The rollback file keeps the chunk as it is restored: sound either way.
    const uint8_t* was = chunk0BeforeAppend_.data();
    return RewriteChunk0(f, was, was);
}

bool StoreContainer::WroteAnything() const {
    if (!appending_ || touched_ || chunks_.Holding()) {
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
    if (int err = volumes_.Volume0ForUpdate(own, &f); err != kStoreOk) {
        return err;
    }
    std::vector<uint8_t> old;
    if (int err = ReadChunk0(f, old); err != kStoreOk) {
        return err;
    }
    uint8_t* buf = buffer_.data();
    std::memcpy(buf, old.data(), old.size());
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
    std::memset(chunk_.reserved76, 0, sizeof chunk_.reserved76); // the append is committed
    chunks_.SealChunk();
    return RewriteChunk0(f, old.data(), buf);
}

} // namespace kwv
