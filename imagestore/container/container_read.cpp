// StoreContainer: opening a set, loading and checking chunks, locating stream
// offsets and reading the stream space.
#include "imagestore/container/store_container.h"

#include "imagestore/container/read_ahead.h"
#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace kwv {

namespace {

// Where `offset` lies between two known chunk positions, as a chunk number.
uint32_t Interpolate(uint32_t lo, uint32_t hi, uint64_t loOff, uint64_t hiEnd, uint64_t offset) {
    if (hiEnd <= loOff || offset < loOff) {
        return lo;
    }
    const unsigned __int128 span = (unsigned __int128)(offset - loOff) * (hi - lo + 1u);
    return lo + uint32_t(std::min<unsigned __int128>(span / (hiEnd - loOff), hi - lo));
}

} // namespace

bool StoreContainer::Covers(uint64_t offset) const {
    return chunkLoaded_ && offset >= chunk_.streamOffset && offset < chunk_.StreamEnd();
}

RawChunk StoreContainer::ReadChunkBytes(uint32_t k, uint8_t* buf) {
    RawChunk raw;
    const uint32_t stored = header_.storedChunkSize;
    if (volumes_.Index() == 0 && k == 0 && chunk0Rollback_.size() == stored) {
        std::memcpy(buf, chunk0Rollback_.data(), stored);
        return raw;
    }
    const uint64_t at = uint64_t(k) * stored;
    uint32_t done = 0;
    VolumeFile* file = volumes_.File();
    if (file->ReadAt(at, buf, stored, &done) && done == stored) {
        return raw;
    }
    if (EccOf(header_.containerFlags) != 1) {
        raw.status = kStoreShortRead;
        return raw;
    }
    // Read again sub-block by sub-block; up to three lost ones are rebuilt
    // when the chunk is opened.
    for (uint32_t s = 0; s < kEccSubBlocks; ++s) {
        uint8_t* p = buf + s * kEccSubBlockSize;
        if (!file->ReadAt(at + s * kEccSubBlockSize, p, kEccSubBlockSize, &done) ||
            done != kEccSubBlockSize) {
            raw.erased[raw.erasedCount++] = s;
        }
    }
    raw.rebuild = true;
    if (raw.erasedCount > kEccMaxErasures) {
        raw.status = kStoreShortRead;
    }
    return raw;
}

void StoreContainer::Scramble(uint8_t* chunk) const {
    ScramblePayload(chunk, header_.passwordCrc, header_.dataSize);
}

int StoreContainer::AcceptChunk(const Unsealed& u) {
    if (u.readStatus != kStoreOk) {
        return u.readStatus;
    }
    if (!u.recordOk || !PlaceFits(u.record)) {
        return kStoreInvalid;
    }
    if (u.tailStatus != kStoreOk) {
        return u.tailStatus;
    }
    decoder_ = u.decoder;
    chunk_ = u.record;
    chunkLoaded_ = true;
    neighbour_ = u.record;
    haveNeighbour_ = true;
    return kStoreOk;
}

// A chunk lies where the chunk index and the last chunk loaded say it must:
// a forged or miswritten stream offset or length would give shifted data.
bool StoreContainer::PlaceFits(const ChunkRecord& r) const {
    ChunkIndex::Bounds b;
    if (index_.BoundsOf(r.chunkNumber, indexedChunks_, &b) &&
        (r.streamOffset < b.start || r.StreamEnd() > b.end ||
         (b.startsGroup && r.streamOffset != b.start) || (b.endsGroup && r.StreamEnd() != b.end))) {
        return false;
    }
    if (!haveNeighbour_) {
        return true;
    }
    const ChunkRecord& n = neighbour_;
    if (r.chunkNumber == n.chunkNumber) {
        return r.streamOffset == n.streamOffset && r.dataLength == n.dataLength;
    }
    if (r.chunkNumber == n.chunkNumber + 1) {
        return r.streamOffset == n.StreamEnd();
    }
    if (r.chunkNumber + 1 == n.chunkNumber) {
        return r.StreamEnd() == n.streamOffset;
    }
    return r.chunkNumber > n.chunkNumber ? r.streamOffset >= n.StreamEnd()
                                         : r.StreamEnd() <= n.streamOffset;
}

// Reading on from the last chunk opened takes the next chunks from the
// read-ahead and queues those after them; any other chunk drops the
// read-ahead and is opened on the caller's thread. Either way the chunk goes
// through the same checks in the same order.
int StoreContainer::LoadChunk(uint32_t number) {
    if (chunkLoaded_ && chunk_.chunkNumber == number) {
        return kStoreOk;
    }
    chunkLoaded_ = false;
    cached_.reset();
    if (TakeCachedChunk(number)) {
        return kStoreOk;
    }
    const uint64_t generation = volfiles::WriteGeneration();
    const bool onward = haveNeighbour_ && number == neighbour_.chunkNumber + 1;
    const bool hit = ahead_ && ahead_->Holds(number);
    int err = kStoreOk;
    if (hit) {
        Unsealed opened;
        ChunkSlot* slot = ahead_->Take(number, &opened);
        std::swap(buffer_, slot->bytes);
        storedDecoder_.swap(slot->stored);
        setDecoder_.swap(slot->set);
        ahead_->Release();
        err = AcceptChunk(opened);
    } else {
        DropReadAhead();
        if (err = volumes_.SelectHolding(number); err != kStoreOk) {
            return err;
        }
        const RawChunk raw = ReadChunkBytes(number - volumes_.FirstChunk(), buffer_.data());
        err = AcceptChunk(UnsealChunk(KeysOf(headerBytes_), raw, number, buffer_.data(),
                                      storedDecoder_.get(), setDecoder_.get()));
    }
    if (err == kStoreOk) {
        KeepLoadedChunk(generation);
    }
    if (err == kStoreOk && (onward || hit)) {
        ReadOnAhead(number);
    }
    return err;
}

// A cached chunk passed every check when it was opened; its place is
// checked again against the chunk loaded before it, as an opened one is.
bool StoreContainer::TakeCachedChunk(uint32_t number) {
    if (!cacheChunks_ || !cache_) {
        return false;
    }
    CachedChunkPtr found = cache_->Find(number);
    if (!found || !PlaceFits(found->record)) {
        return false;
    }
    chunk_ = found->record;
    chunkLoaded_ = true;
    neighbour_ = found->record;
    haveNeighbour_ = true;
    cached_ = std::move(found);
    return true;
}

void StoreContainer::KeepLoadedChunk(uint64_t generation) {
    if (!cacheChunks_ || mode_ != Mode::Read) {
        return;
    }
    try {
        if (!cache_) {
            cache_ = std::make_unique<ChunkCache>();
        }
        auto kept = std::make_shared<CachedChunk>();
        kept->record = chunk_;
        kept->data.resize(chunk_.dataLength);
        if (decoder_->Get(0, kept->data.data(), chunk_.dataLength) != chunk_.dataLength) {
            return; // read through the decoder, as without a cache
        }
        cached_ = kept;
        cache_->Keep(std::move(kept), generation);
    } catch (const std::exception&) {
        cached_.reset(); // no memory: the decoder serves the reads
    }
}

void StoreContainer::ReadOnAhead(uint32_t number) {
    if (threads_ < 2 || mode_ != Mode::Read || volumes_.File() == nullptr) {
        return;
    }
    if (!ahead_) {
        const uint32_t window = std::min<uint32_t>(2 * threads_, 16);
        try {
            ahead_ = std::make_unique<ReadAhead>(threads_, window, KeysOf(headerBytes_),
                                                 CodecOf(header_.containerFlags),
                                                 header_.PayloadRoom(), buffer_.size());
        } catch (const std::exception&) {
            return; // read on without
        }
    }
    // Only chunks of the volume at hand: another volume may need a prompt.
    const uint32_t first = volumes_.FirstChunk();
    const uint32_t end = first + volumes_.Chunks();
    for (uint32_t next = ahead_->NextToQueue(number); next < end; ++next) {
        ChunkSlot* slot = ahead_->FreeSlot();
        if (slot == nullptr) {
            break;
        }
        ahead_->Queue(slot, next, ReadChunkBytes(next - first, slot->bytes.data()));
    }
}

void StoreContainer::DropReadAhead() {
    if (ahead_) {
        ahead_->Drop();
    }
}

uint32_t StoreContainer::FirstGuess(uint64_t offset, uint32_t lo, uint32_t hi, uint64_t loOff,
                                    uint64_t hiEnd) const {
    const uint64_t room = header_.dataSize - kRecordSize;
    // Reading on: the next chunk, when it probably holds the offset.
    if (chunkLoaded_ && offset >= chunk_.StreamEnd() &&
        offset - chunk_.StreamEnd() < std::max<uint64_t>(chunk_.dataLength, room)) {
        return lo;
    }
    uint32_t first = 0;
    uint64_t groupStart = 0;
    if (index_.Find(offset, &first, &groupStart) && offset >= groupStart) {
        return uint32_t(std::min<uint64_t>(first + (offset - groupStart) / room, hi));
    }
    return chunkLoaded_ ? lo : Interpolate(lo, hi, loOff, hiEnd, offset);
}

int StoreContainer::Locate(uint64_t offset) {
    if (Covers(offset)) {
        return kStoreOk;
    }
    if (chunkCount_ == 0) {
        return kStoreNotFound;
    }
    uint32_t lo = 0, hi = chunkCount_ - 1;
    uint64_t loOff = 0, hiEnd = streamLength_;
    // What the loaded chunk tells about the range, then the index's estimate.
    if (chunkLoaded_ && offset >= chunk_.StreamEnd()) {
        lo = chunk_.chunkNumber + 1;
        loOff = chunk_.StreamEnd();
    } else if (chunkLoaded_ && chunk_.chunkNumber > 0) {
        hi = chunk_.chunkNumber - 1;
        hiEnd = chunk_.streamOffset;
    }
    uint32_t guess = FirstGuess(offset, lo, hi, loOff, hiEnd);
    for (uint32_t step = 0; step < 200 && lo <= hi; ++step) {
        const uint32_t c = std::clamp(guess, lo, hi);
        if (int err = LoadChunk(c); err != kStoreOk) {
            return err;
        }
        if (Covers(offset)) {
            return kStoreOk;
        }
        if (offset < chunk_.streamOffset) {
            if (c == 0) {
                break;
            }
            hi = c - 1;
            hiEnd = chunk_.streamOffset;
        } else {
            lo = c + 1;
            loOff = chunk_.StreamEnd();
        }
        // Alternate estimates with halving, so that the search always ends.
        guess = (step % 2) ? lo + (hi - lo) / 2 : Interpolate(lo, hi, loOff, hiEnd, offset);
    }
    return kStoreNotFound;
}

int StoreContainer::ReadSpace(uint64_t offset, uint8_t* buffer, uint64_t length, uint64_t* done) {
    if (done != nullptr) {
        *done = 0;
    }
    if (mode_ != Mode::Read) {
        return kStoreWrongMode;
    }
    if (length > streamLength_ || offset > streamLength_ - length) {
        return kStoreInvalid;
    }
    while (length > 0) {
        if (int err = Locate(offset); err != kStoreOk) {
            return err;
        }
        const uint64_t n = std::min(length, chunk_.StreamEnd() - offset);
        const uint32_t at = uint32_t(offset - chunk_.streamOffset);
        uint32_t got = 0;
        if (cached_) {
            got = uint32_t(n);
            if (buffer != nullptr) {
                std::memcpy(buffer, cached_->data.data() + at, got);
            }
        } else {
            got = decoder_->Get(at, buffer, uint32_t(n));
        }
        if (got == 0 || got > n) {
            return kStoreInvalid;
        }
        offset += got;
        length -= got;
        if (buffer != nullptr) {
            buffer += got;
        }
        if (done != nullptr) {
            *done += got;
        }
    }
    return kStoreOk;
}

int StoreContainer::FindLastChunk(uint64_t* directoryAt) {
    for (uint32_t round = 0;; ++round) {
        if (round > 0) {
            // The directory is not on the media at hand.
            if (!volumes_.Removable(path_)) {
                // A write that stopped midway: go back to the set as it was.
                return FindEarlierDirectory(chunkCount_ - 1, directoryAt);
            }
            if (callback_ == nullptr) {
                return kStoreNotFound;
            }
            if ((callback_->AskLastMedia(path_.c_str()) & 0xFF) == 0) {
                return kStoreCancelled;
            }
        }
        // A later volume without a whole chunk holds nothing, as a partial
        // chunk at the end of a volume does not count.
        const auto members = volumes_.ListMembers(header_.creationTime);
        uint32_t last = 0;
        for (auto it = members.rbegin(); it != members.rend(); ++it) {
            if (it->first == 0 || volumes_.HoldsWholeChunk(it->second)) {
                last = it->first;
                break;
            }
        }
        if (int err = volumes_.Select(last); err != kStoreOk) {
            return err;
        }
        volumes_.SetCount(last + 1);
        if (int err = LoadChunk(volumes_.FirstChunk() + volumes_.Chunks() - 1); err != kStoreOk) {
            return err;
        }
        chunkCount_ = chunk_.chunkNumber + 1;
        streamLength_ = chunk_.StreamEnd();
        if (chunk_.chunkFlags & kChunkHasDirectory) {
            return chunk_.DirectoryAt(directoryAt) ? kStoreOk : kStoreInvalid;
        }
    }
}

int StoreContainer::FindEarlierDirectory(uint32_t last, uint64_t* directoryAt) {
    for (uint32_t c = last; c-- > 0;) {
        const int err = LoadChunk(c);
        if (err == kStoreInvalid || err == kStoreShortRead) {
            continue; // a chunk the stopped write left damaged
        }
        if (err != kStoreOk) {
            return kStoreInvalid;
        }
        if (chunk_.chunkFlags & kChunkHasDirectory) {
            chunkCount_ = c + 1;
            streamLength_ = chunk_.StreamEnd();
            volumes_.SetCount(volumes_.Index() + 1);
            recovered_ = true;
            // What lies after this directory is not seen: the log says so.
            StoreLog("%s: chunks %u to %u carry no directory (a write that stopped or a missing "
                     "volume); the set is read as of its directory in chunk %u: %u chunks in %u "
                     "volumes",
                     path_.c_str(), c + 1, last, c, chunkCount_, volumes_.Count());
            return chunk_.DirectoryAt(directoryAt) ? kStoreOk : kStoreInvalid;
        }
    }
    return kStoreInvalid;
}

int StoreContainer::ReadDirectory(uint64_t at, bool countsKnown, DirectoryRecord* dir) {
    uint8_t rec[kDirectoryRecordSize];
    if (int err = ReadSpace(at, rec, sizeof rec); err != kStoreOk) {
        return err;
    }
    *dir = DirectoryRecord::Parse(rec);
    if (!dir->Valid()) {
        return kStoreInvalid;
    }
    if (!countsKnown) {
        if (dir->volumeCount > kMaxReadVolumes) {
            return kStoreInvalid;
        }
        volumes_.SetCount(std::max<uint32_t>(dir->volumeCount, 1));
        chunkCount_ = dir->chunkCount;
        streamLength_ = dir->streamLength;
    }
    reservedSize_ = dir->reservedSize;
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(std::max(kIndexBytes, kStreamTableMax));
    } catch (const std::bad_alloc&) {
        return kStoreNoMemory;
    }
    if (dir->indexEntries > kIndexEntries || dir->volumeEntries > kVolumeEntries) {
        return kStoreInvalid; // tables longer than any writer makes
    }
    const uint64_t indexAt = at + dir->indexOffset;
    if (dir->indexEntries <= kIndexEntries) {
        if (int err = ReadSpace(indexAt, bytes.data(), 8 * dir->indexEntries); err != kStoreOk) {
            return err;
        }
        index_.Parse(bytes.data(), dir->indexEntries, dir->groupSize);
        indexedChunks_ = dir->chunkCount; // the chunks finished before the directory
    }
    if (dir->volumeEntries <= kVolumeEntries) {
        const uint64_t tableAt = indexAt + 8 * uint64_t(dir->indexEntries);
        if (int err = ReadSpace(tableAt, bytes.data(), 4 * dir->volumeEntries); err != kStoreOk) {
            return err;
        }
        VolumeTable committed;
        committed.Parse(bytes.data(), dir->volumeEntries);
        volumes_.TakeCommitted(committed);
    }
    if (dir->tableLength > kStreamTableMax) {
        return kStoreTableFull;
    }
    if (int err = ReadSpace(at + dir->tableOffset, bytes.data(), dir->tableLength);
        err != kStoreOk) {
        return err;
    }
    return table_.Parse(bytes.data(), dir->tableLength);
}

int StoreContainer::CompleteIndex(uint32_t fromChunk) {
    for (uint32_t c = fromChunk; c < chunkCount_; ++c) {
        if (int err = LoadChunk(c); err != kStoreOk) {
            return err;
        }
        index_.Record(c, chunk_.StreamEnd());
    }
    return kStoreOk;
}

int StoreContainer::Open(bool append) {
    int err = kStoreOk;
    // Only a reader keeps decoded chunks: an append works in the chunk
    // buffer itself.
    cacheChunks_ = !append;
    LoadRollback();
    if (!append && volumes_.Removable(path_) && !volfiles::Exists(path_)) {
        // The medium at hand may hold a later volume with the directory.
        const auto members = volumes_.ListMembers(0, true);
        err = volumes_.Select(members.empty() ? 0 : members.back().first);
    } else {
        err = volumes_.Select(0);
    }
    if (err == kStoreOk && !haveHeader_) {
        err = kStoreNoHeader;
    }
    if (err == kStoreOk) {
        err = CheckHeaderOptions(header_);
    }
    if (err == kStoreOk && append) {
        if (header_.containerFlags & kFlagClosed) {
            err = kStoreCannotOpen;
        } else if (header_.writerVersion >= 2) {
            err = kStoreUnsupported;
        }
    }
    if (err == kStoreOk && append) {
        err = volumes_.LockSet();
    }
    if (err == kStoreOk) {
        err = ReadSetUp(append);
    }
    if (err != kStoreOk) {
        volumes_.Close();
        volumes_.Unlock();
        mode_ = Mode::None;
        chunkLoaded_ = false;
    }
    return err;
}

} // namespace kwv
