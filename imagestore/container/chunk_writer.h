// ChunkWriter: the write side of a container's chunks. It owns the chunk
// being filled and its encoders, the segments the stream space is written
// in and the workers that encode them behind the caller (write-behind); it
// starts, fills, seals and numbers chunks and hands each to its container,
// which stores it in a volume of the set.
#pragma once

#include "imagestore/container/codec_adapter.h"

#include <cstdint>
#include <memory>

namespace kwv {

class StoreContainer;
class WriteBehind;
struct WriteSegment;

class ChunkWriter {
public:
    explicit ChunkWriter(StoreContainer& set);
    ~ChunkWriter();
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // Makes the encoders of a set being written; false when out of memory.
    bool MakeEncoders(uint32_t codec, uint32_t room);
    // Writes stream-space bytes (null: zeros); *firstOffset (when given) is
    // where they start.
    int Append(const uint8_t* data, uint64_t length, uint64_t* firstOffset);
    // Stores everything handed to the workers; their last chunk, still
    // open, becomes this thread's to fill on.
    int Settle();
    // No segment ends after this: the rest goes into the open chunk.
    void EndSegments();
    // Drops everything of the write (waiting for the workers) and the encoders.
    void End();
    void StartChunk();
    int FinishChunk();
    void SealChunk();
    bool ChunkOpen() const { return chunkOpen_; }
    // Something written is still held here, not yet stored.
    bool Holding() const;
    // Forgets the open chunk (the set closes).
    void Drop();

private:
    int StoreSealedChunk();
    int EncodeSpace(const uint8_t* data, uint64_t length);
    int GatherSpace(const uint8_t* data, uint64_t length);
    int EndSegment();
    int StoreBehind(bool wait);
    int StoreSegment(WriteSegment* segment);
    void AdoptOpenChunk(WriteSegment* segment);
    uint64_t AppendPosition() const;

    StoreContainer& set_;
    bool chunkOpen_ = false;     // the buffer holds a chunk being filled
    bool sealedPending_ = false; // the buffer holds a sealed chunk not yet stored
    EncoderPtr storedEncoder_, setEncoder_;
    ::ChunkEncoder* encoder_ = nullptr;
    // The stream space is written in segments of a fixed size. The first of
    // a session, and the rest of one after a settle, are encoded on the
    // caller's thread; the others are gathered and handed to workers (more
    // than one thread).
    uint64_t segmentBytes_ = 0; // 0 until the first append
    uint64_t segmentEnd_ = 0;
    bool segmentGathered_ = false;
    std::unique_ptr<WriteBehind> behind_;
};

} // namespace kwv
