#include "imagestore/container/write_behind.h"

#include "imagestore/container/chunk_seal.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>

namespace kwv {

namespace {

// About 4 MB of input per segment: each segment's short last chunk costs a
// few per cent of the image at most, and an input per worker stays small
// enough for 8 threads to write in well under 64 MiB.
constexpr uint64_t kDefaultSegmentBytes = 32 * 131000;
// Sealed chunks waiting for their turn to be stored, in bytes, beside the
// inputs: enough for the workers to run on past a segment that is slow to
// encode.
constexpr size_t kChunkBytesWaiting = 20u << 20;
constexpr size_t kHugePage = 2u << 20;
std::atomic<uint32_t> g_segmentChunks{0};
std::atomic<uint32_t> g_chunksWaiting{0};

size_t ChunkLimit(size_t bufferSize) {
    const uint32_t set = g_chunksWaiting.load();
    return set != 0 ? set
                    : std::max<size_t>(kChunkBytesWaiting / std::max<size_t>(bufferSize, 1), 4);
}

// True when the system gives huge pages to a buffer that asks for them: an
// input half a worker has encoded is then given back to the system, and
// taken again in two page faults when the caller gathers into it.
bool HugePagesOnRequest() {
    static const bool on = [] {
        std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
        char text[128] = {};
        if (f != nullptr) {
            const size_t n = std::fread(text, 1, sizeof text - 1, f);
            text[n] = 0;
            std::fclose(f);
        }
        return std::strstr(text, "[always]") != nullptr ||
               std::strstr(text, "[madvise]") != nullptr;
    }();
    return on;
}

InputBytes AllocateInput(size_t size) {
    const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p != nullptr) {
        madvise(p, rounded, MADV_HUGEPAGE); // advice only: normal pages do as well
    }
    return InputBytes(static_cast<uint8_t*>(p));
}

} // namespace

uint64_t SegmentBytes(uint32_t room) {
    const uint64_t set = g_segmentChunks.load();
    const uint64_t chunks = set != 0 ? set : kDefaultSegmentBytes / std::max<uint32_t>(room, 1);
    return std::max<uint64_t>(chunks, 2) * room;
}

uint64_t FirstSegmentBytes(uint32_t room) {
    const uint64_t whole = SegmentBytes(room);
    return g_segmentChunks.load() >= kOneStreamSegmentChunks
               ? whole
               : std::min<uint64_t>(whole, 2ull * room);
}

void SetSegmentChunksForTests(uint32_t chunks) {
    g_segmentChunks.store(chunks);
}

void SetChunksWaitingForTests(uint32_t chunks) {
    g_chunksWaiting.store(chunks);
}

WriteBehind::WriteBehind(uint32_t threads, const SealKeys& keys, uint32_t codec, uint32_t room,
                         size_t bufferSize, size_t segmentBytes)
    : keys_(keys), codec_(codec), room_(room), bufferSize_(bufferSize), segmentBytes_(segmentBytes),
      inputLimit_(size_t(threads) + 1), segmentLimit_(2 * size_t(threads) + 2),
      chunkLimit_(ChunkLimit(bufferSize)), pool_(threads) {}

WriteBehind::~WriteBehind() {
    while (!queue_.empty()) {
        Front(true);
        PopFront();
    }
}

bool WriteBehind::Queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !queue_.empty();
}

// Takes a free segment and a free input for the caller, making them when
// the limits allow.
bool WriteBehind::HasRoomLocked() {
    if (current_ != nullptr) {
        return true;
    }
    const bool segment = !freeSegments_.empty() || segments_.size() < segmentLimit_;
    const bool input = !freeInputs_.empty() || inputs_.size() < inputLimit_;
    if (!segment || !input) {
        return false;
    }
    try {
        freeSegments_.reserve(segmentLimit_);
        freeInputs_.reserve(inputLimit_);
        if (freeSegments_.empty()) {
            segments_.push_back(std::make_unique<WriteSegment>());
            freeSegments_.push_back(segments_.back().get());
        }
        if (freeInputs_.empty()) {
            InputBytes bytes = AllocateInput(segmentBytes_);
            if (!bytes) {
                return false;
            }
            inputs_.push_back(std::move(bytes));
            freeInputs_.push_back(inputs_.back().get());
        }
    } catch (const std::exception&) {
        return false;
    }
    current_ = freeSegments_.back();
    freeSegments_.pop_back();
    current_->input = freeInputs_.back();
    freeInputs_.pop_back();
    current_->filled = 0;
    return true;
}

int WriteBehind::AwaitRoom(WriteSegment** oldest) {
    *oldest = nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (HasRoomLocked()) {
            return kStoreOk;
        }
        if (queue_.empty()) {
            return kStoreNoMemory;
        }
        if (queue_.front()->done) {
            *oldest = queue_.front();
            return kStoreOk;
        }
        changed_.wait(lock);
    }
}

void WriteBehind::Gather(const uint8_t* data, size_t length) {
    WriteSegment* s = current_;
    length = std::min(length, segmentBytes_ - s->filled);
    if (data != nullptr) {
        std::memcpy(s->input + s->filled, data, length);
    } else {
        std::memset(s->input + s->filled, 0, length);
    }
    s->filled += length;
}

void WriteBehind::Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != nullptr) {
        freeInputs_.push_back(current_->input);
        current_->input = nullptr;
        current_->filled = 0;
        freeSegments_.push_back(current_);
        current_ = nullptr;
    }
}

void WriteBehind::HandOff(uint64_t start, bool keepOpen) {
    WriteSegment* s = current_;
    s->start = start;
    s->keepOpen = keepOpen;
    s->next = 0;
    s->status = kStoreOk;
    s->done = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = nullptr;
        queue_.push_back(s); // never past the segment limit: reserved below it
    }
    pool_.Submit([this, s] { Encode(s); });
}

std::unique_ptr<WriteBehind::Encoders> WriteBehind::TakeEncoders() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spareEncoders_.empty()) {
            auto e = std::move(spareEncoders_.back());
            spareEncoders_.pop_back();
            return e;
        }
    }
    try {
        auto e = std::make_unique<Encoders>();
        e->stored = MakeChunkEncoder(kCodecNone, room_);
        if (codec_ != kCodecNone) {
            e->set = MakeChunkEncoder(codec_, room_);
        }
        if (!e->stored || (codec_ != kCodecNone && !e->set)) {
            return nullptr;
        }
        return e;
    } catch (const std::exception&) {
        return nullptr;
    }
}

void WriteBehind::Encode(WriteSegment* s) {
    std::unique_ptr<Encoders> e = TakeEncoders();
    if (e) {
        EncodeWith(s, *e);
    } else {
        s->status = kStoreNoMemory;
    }
    if (e && s->keepOpen && s->status == kStoreOk) {
        s->open = std::move(e);
    }
    Finished(s, std::move(e));
}

// The input goes back at once; the chunks wait for the caller to store them.
void WriteBehind::Finished(WriteSegment* s, std::unique_ptr<Encoders> e) {
    std::lock_guard<std::mutex> lock(mutex_);
    freeInputs_.push_back(s->input); // reserved: never more than were made
    s->input = nullptr;
    s->done = true;
    if (e) {
        try {
            spareEncoders_.push_back(std::move(e));
        } catch (const std::exception&) {
            // Made again when next needed.
        }
    }
    changed_.notify_all();
}

bool WriteBehind::OldestUnfinished(const WriteSegment* s) const {
    for (const WriteSegment* q : queue_) {
        if (!q->done) {
            return q == s;
        }
    }
    return false;
}

// A chunk buffer for `s`: a spare one, a new one below the limit, a new one
// past it for the oldest segment still being encoded (or off the workers: a
// segment encoded on the caller's thread has nobody to wait for), else the
// first one given back.
SealedChunk* WriteBehind::TakeChunk(WriteSegment* s) {
    std::unique_ptr<SealedChunk> c;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return !spareChunks_.empty() || chunksMade_ < chunkLimit_ || OldestUnfinished(s) ||
                   !WorkerPool::OnWorkerThread();
        });
        if (!spareChunks_.empty()) {
            c = std::move(spareChunks_.back());
            spareChunks_.pop_back();
        } else {
            ++chunksMade_;
        }
    }
    try {
        if (!c) {
            c = std::make_unique<SealedChunk>();
            c->bytes.resize(bufferSize_);
        }
        s->chunks.push_back(std::move(c));
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> lock(mutex_);
        --chunksMade_;
        return nullptr;
    }
    return s->chunks.back().get();
}

// Fills and seals the segment's chunks, each from a fresh encoder start,
// each taking as much as the encoder takes. The huge pages of input already
// encoded go back to the system as the encoding passes them.
void WriteBehind::EncodeWith(WriteSegment* s, const Encoders& encoders) {
    const uint8_t* data = s->input;
    size_t left = s->filled;
    size_t released = 0;
    const bool release = HugePagesOnRequest();
    uint64_t offset = s->start;
    ::ChunkEncoder* e = encoders.set ? encoders.set.get() : encoders.stored.get();
    while (left > 0) {
        SealedChunk* c = TakeChunk(s);
        if (c == nullptr) {
            s->status = kStoreNoMemory;
            return;
        }
        ChunkRecord r = FreshRecord(keys_.headerBytes, 0, offset);
        r.chunkFlags = encoders.set ? kChunkCompressed : 0;
        e->Begin(c->bytes.data() + kRecordSize, room_);
        while (left > 0) {
            const uint32_t n = e->Put(data, uint32_t(std::min<size_t>(left, 1u << 30)));
            if (n == 0) {
                break; // the chunk is full
            }
            left -= n;
            data += n;
        }
        if (left == 0 && s->keepOpen) {
            c->record = r; // lengths and seal come when the caller closes it
            return;
        }
        r.dataLength = e->GetInputCount();
        r.storedLength = e->Finish();
        if (r.dataLength == 0) {
            s->status = kStoreInvalid; // an empty chunk that takes nothing
            return;
        }
        SealPayload(c->bytes.data(), r, keys_);
        c->record = r;
        c->stamped = false;
        offset += r.dataLength;
        for (; release && released + kHugePage <= size_t(data - s->input); released += kHugePage) {
            madvise(s->input + released, kHugePage, MADV_DONTNEED);
        }
    }
}

WriteSegment* WriteBehind::Front(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        return nullptr;
    }
    if (wait) {
        changed_.wait(lock, [this] { return queue_.front()->done; });
    }
    return queue_.front()->done ? queue_.front() : nullptr;
}

// Chunk buffers past the limit (made for a segment that could not wait) are
// freed rather than kept.
void WriteBehind::PopFront() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteSegment* s = queue_.front();
    queue_.pop_front();
    for (auto& c : s->chunks) {
        if (chunksMade_ > chunkLimit_) {
            --chunksMade_;
            continue;
        }
        try {
            spareChunks_.push_back(std::move(c));
        } catch (const std::exception&) {
            --chunksMade_;
        }
    }
    s->chunks.clear();
    s->filled = 0;
    if (s->open) {
        try {
            spareEncoders_.push_back(std::move(s->open));
        } catch (const std::exception&) {
            s->open.reset();
        }
    }
    freeSegments_.push_back(s); // reserved: never more than were made
    changed_.notify_all();
}

} // namespace kwv
