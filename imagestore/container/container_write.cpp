// StoreContainer: handing the chunk writer's chunks to the volume set, and
// closing a set with its directory.
#include "imagestore/container/store_container.h"

#include "imagestore/container/chunk_seal.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace kwv {

int StoreContainer::StoreChunk(const uint8_t* bytes, const ChunkRecord& r) {
    if (int err = PrepareAppend(); err != kStoreOk) {
        return err;
    }
    if (int err = volumes_.Store(bytes, header_.storedChunkSize); err != kStoreOk) {
        return err;
    }
    streamLength_ = r.StreamEnd();
    chunkCount_ = r.chunkNumber + 1;
    return kStoreOk;
}

int StoreContainer::AppendSpace(const uint8_t* data, uint64_t length, uint64_t* firstOffset) {
    if (mode_ != Mode::Write) {
        return kStoreWrongMode;
    }
    if (int err = std::exchange(unreported_, kStoreOk); err != kStoreOk) {
        return err;
    }
    return chunks_.Append(data, length, firstOffset);
}

std::vector<uint8_t> StoreContainer::BuildDirectory() const {
    DirectoryRecord d;
    d.tableLength = table_.Size();
    d.streamLength = streamLength_;
    d.chunkCount = chunkCount_;
    d.volumeCount = volumes_.Count();
    d.reservedSize = reservedSize_;
    d.groupSize = index_.GroupSize();
    std::vector<uint8_t> out(kDirectoryFixedBytes + table_.Size());
    d.Serialise(out.data());
    index_.Serialise(out.data() + kDirectoryRecordSize);
    volumes_.Table().Serialise(out.data() + kDirectoryRecordSize + kIndexBytes, volumes_.Count());
    table_.Serialise(out.data() + kDirectoryFixedBytes);
    return out;
}

int StoreContainer::CloseWriting() {
    // Everything handed to the workers is stored and the rest encoded here;
    // the directory then follows in the chunk that is open.
    int err = std::exchange(unreported_, kStoreOk);
    err = err != kStoreOk ? err : chunks_.Settle();
    chunks_.EndSegments();
    if (err == kStoreOk && reservedSize_ > 0 && chunkCount_ == 0) {
        // Chunk 0 with its reserved area goes out first, so that the
        // directory lies in a following chunk.
        if (!chunks_.ChunkOpen()) {
            chunks_.StartChunk();
        }
        err = chunks_.FinishChunk();
    }
    if (err == kStoreOk) {
        std::vector<uint8_t> directory = BuildDirectory();
        uint64_t at = 0;
        err = AppendSpace(directory.data(), directory.size(), &at);
        if (err == kStoreOk) {
            chunk_.chunkFlags |= kChunkHasDirectory;
            chunk_.directoryOffset = int32_t(int64_t(at) - int64_t(chunk_.streamOffset));
            err = chunks_.FinishChunk();
        }
    }
    if (err == kStoreOk && verifyVolumes_) {
        err = volumes_.VerifyVolume();
    }
    // The new chunks, the directory and the folder entries of the volumes
    // this session made are on disk before chunk 0 names them.
    if (err == kStoreOk) {
        err = volumes_.Flush();
    }
    if (err == kStoreOk && (header_.containerFlags & kFlagDirectoryCopy) &&
        uint64_t(reservedSize_) >= uint64_t(kDirectoryFixedBytes) + table_.Size()) {
        err = WriteDirectoryCopy(BuildDirectory());
    }
    EndWriting();
    return err;
}

void StoreContainer::EndWriting() {
    chunks_.End(); // waits for its workers
    unreported_ = kStoreOk;
}

} // namespace kwv
