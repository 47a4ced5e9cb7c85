#include "imagestore/container/read_ahead.h"

#include <exception>

namespace kwv {

ReadAhead::ReadAhead(uint32_t threads, uint32_t window, const SealKeys& keys, uint32_t codec,
                     uint32_t room, size_t bufferSize)
    : keys_(keys), codec_(codec), room_(room), bufferSize_(bufferSize), window_(window),
      pool_(threads) {}

ReadAhead::~ReadAhead() {
    Drop();
}

bool ReadAhead::Holds(uint32_t number) const {
    for (const Pending& p : queue_) {
        if (p.number == number) {
            return true;
        }
    }
    return false;
}

uint32_t ReadAhead::NextToQueue(uint32_t current) const {
    return queue_.empty() ? current + 1 : queue_.back().number + 1;
}

ChunkSlot* ReadAhead::FreeSlot() {
    if (!free_.empty()) {
        ChunkSlot* s = free_.back();
        free_.pop_back();
        return s;
    }
    if (slots_.size() >= window_) {
        return nullptr;
    }
    try {
        auto s = std::make_unique<ChunkSlot>();
        s->bytes.resize(bufferSize_);
        s->stored = MakeChunkDecoder(kCodecNone, room_);
        if (codec_ != kCodecNone) {
            s->set = MakeChunkDecoder(codec_, room_);
        }
        if (!s->stored || (codec_ != kCodecNone && !s->set)) {
            return nullptr;
        }
        slots_.push_back(std::move(s));
        free_.reserve(slots_.size());
    } catch (const std::exception&) {
        return nullptr; // read on without this slot
    }
    return slots_.back().get();
}

void ReadAhead::Queue(ChunkSlot* slot, uint32_t number, const RawChunk& raw) {
    Pending* p = nullptr;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Pending{slot, number, raw, {}, false});
        p = &queue_.back();
    } catch (const std::exception&) {
        free_.push_back(slot); // reserved: cannot throw
        return;
    }
    pool_.Submit([this, p] {
        Unsealed u = UnsealChunk(keys_, p->raw, p->number, p->slot->bytes.data(),
                                 p->slot->stored.get(), p->slot->set.get());
        std::lock_guard<std::mutex> lock(mutex_);
        p->result = u;
        p->done = true;
        finished_.notify_all();
    });
}

void ReadAhead::WaitFront() {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return queue_.front().done; });
}

void ReadAhead::PopFront() {
    WaitFront();
    free_.push_back(queue_.front().slot);
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.pop_front();
}

ChunkSlot* ReadAhead::Take(uint32_t number, Unsealed* out) {
    while (queue_.front().number != number) {
        PopFront();
    }
    WaitFront();
    *out = queue_.front().result;
    return queue_.front().slot;
}

void ReadAhead::Release() {
    PopFront();
}

void ReadAhead::Drop() {
    while (!queue_.empty()) {
        PopFront();
    }
}

} // namespace kwv
