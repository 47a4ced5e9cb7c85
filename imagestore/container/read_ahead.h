// Chunks opened ahead of a sequential reader. The caller's thread reads the
// next chunks' stored bytes into free slots and queues them; workers rebuild,
// check, unscramble and decode them; the reader takes them in chunk order.
// The window of slots is fixed, so memory does not grow with the set.
#pragma once

#include "imagestore/container/chunk_unseal.h"
#include "imagestore/container/codec_adapter.h"
#include "imagestore/container/worker_pool.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kwv {

// A chunk buffer and the decoders that deliver its data.
struct ChunkSlot {
    std::vector<uint8_t> bytes;
    DecoderPtr stored, set;
};

// Owns the slots, the chunks queued in them and the worker pool.
class ReadAhead {
public:
    // `codec` and `room` make each slot's decoders, `bufferSize` its buffer.
    ReadAhead(uint32_t threads, uint32_t window, const SealKeys& keys, uint32_t codec,
              uint32_t room, size_t bufferSize);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool Holds(uint32_t number) const;
    // The chunk to queue next when the reader is at `current`.
    uint32_t NextToQueue(uint32_t current) const;
    // A slot to read the next chunk into; null when the window is full or no
    // memory is left for one.
    ChunkSlot* FreeSlot();
    // Hands the chunk read into `slot` to the workers.
    void Queue(ChunkSlot* slot, uint32_t number, const RawChunk& raw);
    // Waits for chunk `number` (which Holds), dropping the queued chunks
    // before it, and returns its slot; *out tells how opening it went. The
    // slot stays the reader's until Release.
    ChunkSlot* Take(uint32_t number, Unsealed* out);
    void Release();
    // Forgets every queued chunk, after waiting for those being worked on.
    void Drop();

private:
    struct Pending {
        ChunkSlot* slot;
        uint32_t number;
        RawChunk raw;
        Unsealed result;
        bool done = false;
    };
    void WaitFront();
    void PopFront();

    SealKeys keys_;
    uint32_t codec_, room_;
    size_t bufferSize_;
    uint32_t window_;
    std::vector<std::unique_ptr<ChunkSlot>> slots_;
    std::vector<ChunkSlot*> free_;
    std::deque<Pending> queue_; // in chunk order
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    WorkerPool pool_; // last: its threads stop before the slots go
};

} // namespace kwv
