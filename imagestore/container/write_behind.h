// Segments of a set being written, compressed and sealed on worker threads
// while the caller writes on. The stream space is cut into segments of a
// fixed size; each segment is encoded from a fresh chunk by the chunk
// encoders' own rules, so its chunks depend on its bytes alone, whichever
// thread encodes it. Workers seal what does not depend on a chunk's number;
// the caller's thread numbers and stores the chunks in order, so files and
// callbacks are only ever touched there. Memory is fixed: a slot per worker
// and one more, each with a segment's input and its chunks.
#pragma once

#include "imagestore/container/chunk_record.h"
#include "imagestore/container/chunk_unseal.h"
#include "imagestore/container/codec_adapter.h"
#include "imagestore/container/worker_pool.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kwv {

// The bytes of one segment of a set whose chunks have `room` bytes of
// payload: a whole number of chunks' room, at least two, about 4 MB unless
// set otherwise. The setting, in chunks' room, is for tests and benchmarks
// (0 goes back to the default).
uint64_t SegmentBytes(uint32_t room);
void SetSegmentChunksForTests(uint32_t chunks);

// A chunk a worker filled and sealed, waiting for its number.
struct SealedChunk {
    std::vector<uint8_t> bytes;
    ChunkRecord record;
    bool stamped = false; // numbered (a store of it may have failed since)
};

// One segment: its input, the encoders that fill its chunks, and the chunks.
struct WriteSegment {
    std::vector<uint8_t> input;
    size_t filled = 0;
    uint64_t start = 0; // stream offset of its first byte
    EncoderPtr stored, set;
    std::vector<std::unique_ptr<SealedChunk>> chunks;
    size_t count = 0; // chunks filled
    size_t next = 0;  // the first chunk not yet stored
    int status = kStoreOk;
};

// Owns the slots, the segments queued in them and the worker pool.
class WriteBehind {
public:
    // `codec` and `room` make each slot's encoders, `bufferSize` its chunk
    // buffers, `segmentBytes` its input.
    WriteBehind(uint32_t threads, const SealKeys& keys, uint32_t codec, uint32_t room,
                size_t bufferSize, size_t segmentBytes);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Bytes gathered for the segment being written.
    size_t Filled() const { return current_ ? current_->filled : 0; }
    // True when bytes can be gathered: a slot is current or one is free.
    bool HasRoom();
    // Gathers up to the segment's end (a null source gives zeros); needs
    // HasRoom. Returns false when no memory is left for the input.
    bool Gather(const uint8_t* data, size_t length);
    // Hands the gathered segment, which starts at stream offset `start`, to
    // the workers.
    void HandOff(uint64_t start);
    // The bytes gathered for the segment being written, to encode them
    // elsewhere; Forget drops them.
    const uint8_t* Gathered() const { return current_ ? current_->input.data() : nullptr; }
    void Forget();
    bool Queued() const { return !queue_.empty(); }
    const SealKeys& Keys() const { return keys_; }
    // The oldest segment handed off, once its workers are done (with `wait`,
    // after waiting for them); null when there is none or it is not done.
    WriteSegment* Front(bool wait);
    // Frees the oldest segment's slot once its chunks are stored.
    void PopFront();

private:
    void Encode(WriteSegment* s);

    SealKeys keys_;
    uint32_t codec_, room_;
    size_t bufferSize_, segmentBytes_;
    size_t slotCount_;
    std::vector<std::unique_ptr<WriteSegment>> slots_;
    std::vector<WriteSegment*> free_;
    WriteSegment* current_ = nullptr;
    struct Pending {
        WriteSegment* segment;
        bool done = false;
    };
    std::deque<Pending> queue_; // in stream order
    std::mutex mutex_;
    std::condition_variable finished_;
    WorkerPool pool_; // last: its threads stop before the slots go
};

} // namespace kwv
