#include "imagestore/container/chunk_cache.h"

#include "imagestore/container/volume_files.h"

#include <exception>

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
        bytes_ -= order_.back()->data.size();
        where_.erase(order_.back()->record.chunkNumber);
        order_.pop_back();
    }
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
