// Segments of a set being written, compressed and sealed on worker threads
// while the caller writes on. The stream space is cut into segments of a
// fixed size; each segment is encoded from a fresh chunk by the chunk
// encoders' own rules, so its chunks depend on its bytes alone, whichever
// thread encodes it. Workers seal what does not depend on a chunk's number;
// the caller's thread numbers and stores the chunks in order, so files and
// callbacks are only ever touched there.
//
// Memory is fixed: a segment's input is held from gathering until it is
// encoded (one input per worker and one more), and its sealed chunks until
// they are stored, from a store of chunk buffers with a limit. A segment
// that took long to encode therefore does not keep the workers behind it
// waiting for input. The oldest segment still being encoded may pass the
// limit, so that the chunks waiting behind it never stop it.
#pragma once

#include "imagestore/container/chunk_record.h"
#include "imagestore/container/chunk_unseal.h"
#include "imagestore/container/codec_adapter.h"
#include "imagestore/container/worker_pool.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
// How many sealed chunks may wait to be stored, for tests (0: the default,
// about 16 MiB of them).
void SetChunksWaitingForTests(uint32_t chunks);
// A setting that leaves one stream of chunks, cut only where the caller asks.
constexpr uint32_t kOneStreamSegmentChunks = 1u << 30;
// The first segment of a session is short (two chunks' room, or the whole
// segment when that is smaller): the caller's thread encodes it itself while
// the workers have nothing to do yet.
uint64_t FirstSegmentBytes(uint32_t room);

// A chunk a worker filled and sealed, waiting for its number.
struct SealedChunk {
    std::vector<uint8_t> bytes;
    ChunkRecord record;
    bool stamped = false; // numbered (a store of it may have failed since)
};

// Uninitialised bytes for a segment's input, on huge pages where the system
// has them: the caller's thread then takes a handful of page faults for a
// segment instead of a thousand.
struct FreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};
using InputBytes = std::unique_ptr<uint8_t[], FreeBytes>;

// The encoders a worker fills a segment's chunks with.
struct SegmentEncoders {
    EncoderPtr stored, set;
};

// One segment: where it starts, its input while it is gathered and encoded,
// and its sealed chunks until they are stored. A segment handed off to be
// kept open leaves its last chunk unsealed, with the encoders that fill it,
// for the caller's thread to go on with.
struct WriteSegment {
    uint8_t* input = nullptr;
    size_t filled = 0;
    uint64_t start = 0; // stream offset of its first byte
    std::vector<std::unique_ptr<SealedChunk>> chunks;
    size_t next = 0; // the first chunk not yet stored
    int status = kStoreOk;
    bool done = false; // encoded
    bool keepOpen = false;
    std::unique_ptr<SegmentEncoders> open; // of the open last chunk
};

// Owns the segments, their inputs, the chunk buffers and the worker pool.
class WriteBehind {
public:
    // `codec` and `room` make the encoders, `bufferSize` the chunk buffers,
    // `segmentBytes` the inputs.
    WriteBehind(uint32_t threads, const SealKeys& keys, uint32_t codec, uint32_t room,
                size_t bufferSize, size_t segmentBytes);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Bytes gathered for the segment being written.
    size_t Filled() const { return current_ ? current_->filled : 0; }
    // Returns with room to gather bytes (a segment being gathered, or a
    // segment and an input free), or once the oldest segment is encoded when
    // there is none; *oldest is then that segment, to be stored (else null).
    // kStoreNoMemory when nothing is queued and no room can be made.
    int AwaitRoom(WriteSegment** oldest);
    // Gathers up to the segment's end (a null source gives zeros); needs
    // room (AwaitRoom with no oldest).
    void Gather(const uint8_t* data, size_t length);
    // Hands the gathered segment, which starts at stream offset `start`, to
    // the workers; with `keepOpen` its last chunk stays open.
    void HandOff(uint64_t start, bool keepOpen = false);
    // Drops the bytes gathered for the segment being written.
    void Forget();
    bool Queued();
    const SealKeys& Keys() const { return keys_; }
    // The oldest segment handed off, once its workers are done (with `wait`,
    // after waiting for them); null when there is none or it is not done.
    WriteSegment* Front(bool wait);
    // Frees the oldest segment and its chunks once they are stored.
    void PopFront();

private:
    using Encoders = SegmentEncoders;
    bool HasRoomLocked();
    void Encode(WriteSegment* s);
    void EncodeWith(WriteSegment* s, const Encoders& e);
    std::unique_ptr<Encoders> TakeEncoders();
    SealedChunk* TakeChunk(WriteSegment* s);
    bool OldestUnfinished(const WriteSegment* s) const;
    void Finished(WriteSegment* s, std::unique_ptr<Encoders> e);

    SealKeys keys_;
    uint32_t codec_, room_;
    size_t bufferSize_, segmentBytes_;
    size_t inputLimit_, segmentLimit_, chunkLimit_;

    std::mutex mutex_;
    std::condition_variable changed_; // a segment finished, or chunks came back
    std::vector<std::unique_ptr<WriteSegment>> segments_;
    std::vector<WriteSegment*> freeSegments_;
    std::vector<InputBytes> inputs_;
    std::vector<uint8_t*> freeInputs_;
    std::vector<std::unique_ptr<SealedChunk>> spareChunks_;
    size_t chunksMade_ = 0;
    std::vector<std::unique_ptr<Encoders>> spareEncoders_;
    WriteSegment* current_ = nullptr;
    std::deque<WriteSegment*> queue_; // in stream order
    WorkerPool pool_;                 // last: its threads stop before the rest goes
};

} // namespace kwv
