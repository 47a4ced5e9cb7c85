#include "imagestore/container/write_behind.h"

#include "imagestore/container/chunk_seal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>

namespace kwv {

namespace {

// About 4 MB of input per segment: each segment's short last chunk costs a
// few per cent of the image at most, and a slot per worker stays small enough
// for 8 threads to write in well under 64 MiB.
constexpr uint64_t kDefaultSegmentBytes = 32 * 131000;
std::atomic<uint32_t> g_segmentChunks{0};

} // namespace

uint64_t SegmentBytes(uint32_t room) {
    const uint64_t set = g_segmentChunks.load();
    const uint64_t chunks = set != 0 ? set : kDefaultSegmentBytes / std::max<uint32_t>(room, 1);
    return std::max<uint64_t>(chunks, 2) * room;
}

void SetSegmentChunksForTests(uint32_t chunks) {
    g_segmentChunks.store(chunks);
}

WriteBehind::WriteBehind(uint32_t threads, const SealKeys& keys, uint32_t codec, uint32_t room,
                         size_t bufferSize, size_t segmentBytes)
    : keys_(keys), codec_(codec), room_(room), bufferSize_(bufferSize), segmentBytes_(segmentBytes),
      slotCount_(size_t(threads) + 1), pool_(threads) {}

WriteBehind::~WriteBehind() {
    while (!queue_.empty()) {
        Front(true);
        PopFront();
    }
}

bool WriteBehind::HasRoom() {
    if (current_ != nullptr) {
        return true;
    }
    if (!free_.empty()) {
        current_ = free_.back();
        free_.pop_back();
        return true;
    }
    if (slots_.size() >= slotCount_) {
        return false;
    }
    try {
        auto s = std::make_unique<WriteSegment>();
        s->stored = MakeChunkEncoder(kCodecNone, room_);
        if (codec_ != kCodecNone) {
            s->set = MakeChunkEncoder(codec_, room_);
        }
        if (!s->stored || (codec_ != kCodecNone && !s->set)) {
            return false;
        }
        slots_.push_back(std::move(s));
        free_.reserve(slots_.size());
    } catch (const std::exception&) {
        return false;
    }
    current_ = slots_.back().get();
    return true;
}

bool WriteBehind::Gather(const uint8_t* data, size_t length) {
    WriteSegment* s = current_;
    length = std::min(length, segmentBytes_ - s->filled);
    try {
        s->input.resize(segmentBytes_);
    } catch (const std::exception&) {
        return false;
    }
    if (data != nullptr) {
        std::memcpy(s->input.data() + s->filled, data, length);
    } else {
        std::memset(s->input.data() + s->filled, 0, length);
    }
    s->filled += length;
    return true;
}

void WriteBehind::Forget() {
    if (current_ != nullptr) {
        current_->filled = 0;
        free_.push_back(current_);
        current_ = nullptr;
    }
}

void WriteBehind::HandOff(uint64_t start) {
    WriteSegment* s = current_;
    current_ = nullptr;
    s->start = start;
    s->count = s->next = 0;
    s->status = kStoreOk;
    Pending* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Pending{s, false}); // at most one per slot: reserved below
        p = &queue_.back();
    }
    pool_.Submit([this, p] {
        Encode(p->segment);
        std::lock_guard<std::mutex> lock(mutex_);
        p->done = true;
        finished_.notify_all();
    });
}

// Fills and seals the segment's chunks, each from a fresh encoder start,
// each taking as much as the encoder takes.
void WriteBehind::Encode(WriteSegment* s) {
    const uint8_t* data = s->input.data();
    size_t left = s->filled;
    uint64_t offset = s->start;
    ::ChunkEncoder* e = s->set ? s->set.get() : s->stored.get();
    while (left > 0) {
        if (s->count == s->chunks.size()) {
            try {
                auto c = std::make_unique<SealedChunk>();
                c->bytes.resize(bufferSize_);
                s->chunks.push_back(std::move(c));
            } catch (const std::exception&) {
                s->status = kStoreNoMemory;
                return;
            }
        }
        SealedChunk& c = *s->chunks[s->count++];
        ChunkRecord r = FreshRecord(keys_.headerBytes, 0, offset);
        r.chunkFlags = s->set ? kChunkCompressed : 0;
        e->Begin(c.bytes.data() + kRecordSize, room_);
        while (left > 0) {
            const uint32_t n = e->Put(data, uint32_t(std::min<size_t>(left, 1u << 30)));
            if (n == 0) {
                break; // the chunk is full
            }
            left -= n;
            data += n;
        }
        r.dataLength = e->GetInputCount();
        r.storedLength = e->Finish();
        if (r.dataLength == 0) {
            s->status = kStoreInvalid; // an empty chunk that takes nothing
            return;
        }
        SealPayload(c.bytes.data(), r, keys_);
        c.record = r;
        c.stamped = false;
        offset += r.dataLength;
    }
}

WriteSegment* WriteBehind::Front(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        return nullptr;
    }
    if (wait) {
        finished_.wait(lock, [this] { return queue_.front().done; });
    }
    return queue_.front().done ? queue_.front().segment : nullptr;
}

void WriteBehind::PopFront() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteSegment* s = queue_.front().segment;
    queue_.pop_front();
    s->filled = 0;
    free_.push_back(s);
}

} // namespace kwv
