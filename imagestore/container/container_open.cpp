// StoreContainer: setting up a set that was opened for reading or appending.
#include "imagestore/container/store_container.h"

#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <new>
#include <utility>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

// One chunk buffer of the set's stored size (plus slack for the codecs);
// false when there is no memory for it.
bool StoreContainer::AllocateChunkBuffer() {
    try {
        buffer_.assign(header_.storedChunkSize + kChunkSlack, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int StoreContainer::ReadSetUp(bool append) {
    indexedChunks_ = 0;
    haveNeighbour_ = false;
    oldSignature_ = LoadLe32(headerBytes_) == kMagicOldSig;
    const uint32_t room = header_.PayloadRoom();
    const uint32_t codec = CodecOf(header_.containerFlags);
    if (!AllocateChunkBuffer()) {
        return kStoreNoMemory;
    }
    storedDecoder_ = MakeChunkDecoder(kCodecNone, room);
    setDecoder_ = codec == kCodecNone ? nullptr : MakeChunkDecoder(codec, room);
    if (!storedDecoder_ || (codec != kCodecNone && !setDecoder_)) {
        return kStoreNoMemory;
    }
    mode_ = Mode::Read;
    uint64_t at = 0;
    bool copy = false, marked = false;
    if (header_.containerFlags & kFlagDirectoryCopy) {
        if (int err = FindDirectoryCopy(&at, &copy, &marked); err != kStoreOk) {
            return err;
        }
    }
    // Only chunk 0's mark tells a stopped append from a set whose last volume
    // is missing: without it nothing after an earlier directory is cut.
    appendStopped_ = marked;
    if (!copy && !marked) {
        if (int err = FindLastChunk(&at); err != kStoreOk) {
            return err;
        }
    }
    DirectoryRecord dir;
    if (int err = ReadDirectory(at, !copy, &dir); err != kStoreOk) {
        return err;
    }
    if (!append) {
        return kStoreOk;
    }
    if ((header_.containerFlags & kFlagDirectoryCopy) && reservedSize_ == 0) {
        return kStoreCannotOpen;
    }
    if (!copy) {
        // The directory's index ends before the chunks that carried it.
        if (int err = CompleteIndex(dir.chunkCount); err != kStoreOk) {
            return err;
        }
    }
    return SetUpAppend();
}

int StoreContainer::FindDirectoryCopy(uint64_t* at, bool* found, bool* marked) {
    if (int err = LoadChunk(0); err != kStoreOk) {
        return err;
    }
    *found = (chunk_.chunkFlags & kChunkHasDirectory) != 0;
    CommittedEnd end;
    if (!*found && GetCommittedEnd(chunk_, &end)) {
        *marked = true;
        return FindCommittedEnd(end, at);
    }
    if (!*found) {
        return kStoreOk;
    }
    if (!chunk_.DirectoryAt(at)) {
        return kStoreInvalid;
    }
    // Until the directory is read only chunk 0 is known.
    chunkCount_ = volumes_.Chunks();
    streamLength_ = chunk_.StreamEnd();
    copyInChunk0_ = true;
    return kStoreOk;
}

// An append was under way when the set was last written: its committed end
// is the chunk that chunk 0 names, which must be whole and carry the
// directory. What follows it is the stopped append's tail and holds nothing,
// whether it came back whole, torn or not at all.
int StoreContainer::FindCommittedEnd(const CommittedEnd& end, uint64_t* at) {
    if (end.chunks < 2 || end.volumes == 0 || end.volumes > kMaxReadVolumes) {
        return kStoreInvalid;
    }
    volumes_.SetCount(end.volumes);
    if (int err = volumes_.Select(end.volumes - 1); err != kStoreOk) {
        return err;
    }
    const uint32_t last = end.chunks - 1;
    if (last < volumes_.FirstChunk() || last - volumes_.FirstChunk() >= volumes_.Chunks()) {
        return kStoreInvalid; // the committed part of the volume is cut short
    }
    if (int err = LoadChunk(last); err != kStoreOk) {
        return err;
    }
    if ((chunk_.chunkFlags & kChunkHasDirectory) == 0 || !chunk_.DirectoryAt(at)) {
        return kStoreInvalid;
    }
    chunkCount_ = end.chunks;
    streamLength_ = chunk_.StreamEnd();
    StoreLog("%s: an append stopped before its commit; the set is read as committed (%u chunks "
             "in %u volumes) and what follows is passed over",
             path_.c_str(), chunkCount_, volumes_.Count());
    return kStoreOk;
}

// Sets up writing after the set's last chunk. Nothing is written yet: chunk
// 0's directory copy is cleared, and chunks and volumes left by a write that
// stopped midway are cut off, only when the first new chunk is stored.
int StoreContainer::SetUpAppend() {
    if (chunkCount_ == 0) {
        return kStoreInvalid;
    }
    if (int err = volumes_.SelectHolding(chunkCount_ - 1); err != kStoreOk) {
        return err;
    }
    const uint32_t last = volumes_.Index();
    const uint32_t first = volumes_.FirstChunk();
    const uint32_t onDisk = volumes_.Chunks(); // leftovers of a stopped write included
    if (int err = volumes_.NoteTrailingVolumes(last, chunkCount_, appendStopped_);
        err != kStoreOk) {
        return err;
    }
    volumes_.Close();
    chunkLoaded_ = false;
    decoder_ = nullptr;
    storedDecoder_.reset();
    setDecoder_.reset();
    if (int err = SetUpWriting(); err != kStoreOk) {
        return err;
    }
    appending_ = true;
    openedVolume_ = last;
    openedVolumeChunks_ = chunkCount_ - first;
    openedTable_.resize(table_.Size());
    table_.Serialise(openedTable_.data());
    if (volumes_.ResumeIn(last, first, openedVolumeChunks_)) {
        return kStoreOk;
    }
    // New chunks then go to a new volume; chunks past the set's end in this
    // one could not be cut off.
    return onDisk > openedVolumeChunks_ ? kStoreCannotOpen : kStoreOk;
}

int StoreContainer::OpenForAppend(uint64_t volumeLimit) {
    volumes_.SetLimit(volumeLimit);
    return Open(true);
}

int StoreContainer::SetUpWriting() {
    const uint32_t room = header_.PayloadRoom();
    const uint32_t codec = CodecOf(header_.containerFlags);
    if (!AllocateChunkBuffer()) {
        return kStoreNoMemory;
    }
    if (!chunks_.MakeEncoders(codec, room)) {
        return kStoreNoMemory;
    }
    mode_ = Mode::Write;
    return kStoreOk;
}

namespace {

std::function<uint32_t()>& CreationClock() {
    static std::function<uint32_t()> clock;
    return clock;
}

} // namespace

void SetCreationClockForTests(std::function<uint32_t()> clock) {
    CreationClock() = std::move(clock);
}

// Sets whose volumes bear the same names (the same stem, volume 0 under any
// extension) are told apart by their creation time alone, so a new set
// takes a time that no file bearing those names carries: a second later
// when another was made in the same second.
uint32_t StoreContainer::FreeCreationTime() const {
    uint32_t now = CreationClock() ? CreationClock()() : uint32_t(time(nullptr));
    const std::string folder(FolderOf(path_));
    const std::string name0(NameOf(path_));
    std::vector<uint32_t> taken;
    for (const std::string& name : volfiles::ListFiles(folder)) {
        const bool shares = VolumeIndexOfName(name, name0) >= 0 ||
                            (!IsContinuationPath(name) &&
                             VolumeIndexOfName(NameOf(VolumePath(name, 1)), name0) == 1);
        ChunkRecord r;
        if (shares && ReadFirstRecord(folder + name, &r)) {
            taken.push_back(r.creationTime);
        }
    }
    while (std::find(taken.begin(), taken.end(), now) != taken.end()) {
        ++now;
    }
    return now;
}

int StoreContainer::Create(const char16_t* password, uint64_t volumeLimit, uint32_t options) {
    ChunkRecord& h = header_;
    h = ChunkRecord();
    h.creationTime = FreeCreationTime();
    uint32_t flags = 0;
    flags |= (options & kOptNoDirectoryCopy) ? 0 : kFlagDirectoryCopy;
    flags |= (options & kOptPayloadCrc) ? kFlagPayloadCrc : 0;
    flags |= (options & kOptClosed) ? kFlagClosed : 0;
    const uint32_t codec =
        (options & kOptLzs) ? kCodecLzs : ((options & kOptOwnMethod) ? kCodecOwn : kCodecNone);
    flags |= codec << 16;
    if (password != nullptr && password[0] != 0) {
        const bool scramble = codec == kCodecNone && (options & kOptPayloadCrc);
        flags |= (scramble ? 2u : 1u) << 20;
        h.passwordCrc = PasswordCrc(password);
    }
    if (options & kOptErrorCorrection) {
        flags |= 1u << 24;
        h.storedChunkSize = kEccStoredSize;
        h.dataSize = kEccChunkDataSize;
    }
    h.containerFlags = flags;
    verifyVolumes_ = (options & kOptVerifyVolumes) != 0;
    oldSignature_ = (options & kOptOldSignature) != 0;
    keepLastMedium_ = (options & kOptKeepLastMedium) != 0;
    volumes_.SetLimit(std::max<uint64_t>(volumeLimit, h.storedChunkSize));
    if (flags & kFlagDirectoryCopy) {
        if (volfiles::MediaState(path_) & 0x80) {
            h.containerFlags &= ~kFlagDirectoryCopy;
        } else {
            reservedSize_ = kReservedAreaSize;
        }
    }
    h.Serialise(headerBytes_);
    haveHeader_ = true;
    if (int err = SetUpWriting(); err != kStoreOk) {
        return err;
    }
    if (int err = volumes_.CreateFirst(); err != kStoreOk) {
        mode_ = Mode::None;
        return err;
    }
    return kStoreOk;
}

} // namespace kwv
