#include "imagestore/container/chunk_cache.h"

#include "imagestore/container/volume_files.h"

#include <exception>
#include <iterator>

namespace kwv {

void ChunkCache::DropWhenOutdated() {
    const uint64_t now = volfiles::WriteGeneration();
    if (now == generation_) {
        return;
    }
    order_.clear();
    where_.clear();
    bytes_ = 0;
    generation_ = now;
}

CachedChunkPtr ChunkCache::Find(uint32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropWhenOutdated();
    const auto it = where_.find(number);
    if (it == where_.end()) {
        return nullptr;
    }
    order_.splice(order_.begin(), order_, it->second);
    return *it->second;
}

void ChunkCache::Keep(CachedChunkPtr chunk, uint64_t generation) {
    if (!chunk || chunk->data.size() > budget_ / 4) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    DropWhenOutdated();
    if (generation != generation_) {
        return;
    }
    const uint32_t number = chunk->record.chunkNumber;
    if (where_.count(number) != 0) {
        return;
    }
    try {
        order_.push_front(chunk);
        where_[number] = order_.begin();
    } catch (const std::exception&) {
        if (!order_.empty() && order_.front() == chunk) {
            order_.pop_front();
        }
        return;
    }
    bytes_ += chunk->data.size();
    while (bytes_ > budget_ && !order_.empty()) {
        DropOne();
    }
}

// Drops a chunk of the less recently used half, picked by a pseudo-random
// walk: a reader going round more chunks than the cache holds (file k of
// every folder in turn) still finds most of them, where dropping the least
// recently used one would drop each just before it is needed again.
void ChunkCache::DropOne() {
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 7;
    seed_ ^= seed_ << 17;
    const size_t half = order_.size() / 2;
    const size_t back = half == 0 ? 0 : size_t(seed_ % half);
    auto victim = std::prev(order_.end(), ptrdiff_t(back) + 1);
    bytes_ -= (*victim)->data.size();
    where_.erase((*victim)->record.chunkNumber);
    order_.erase(victim);
}

void ChunkCache::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.clear();
    where_.clear();
    bytes_ = 0;
}

uint64_t ChunkCache::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

size_t ChunkCache::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
}

} // namespace kwv
