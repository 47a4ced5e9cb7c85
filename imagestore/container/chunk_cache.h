// The decoded chunks of one open set kept for the readers that come back to
// them: a file system reads its tables, folders and files in turns, and
// without this every turn back to a chunk would read and decode it again.
//
// A bounded cache of whole decoded chunks by chunk number (a chunk of the
// less recently used half goes first), each with the record it was opened
// with (a chunk enters only after every check of the read path passed). Its bytes are bounded by
// the budget given at creation; a chunk larger than a quarter of it is not
// kept. Entries are shared and immutable: a reader holding one keeps its
// bytes while the cache moves on.
//
// Any write to a volume file of any set in this process (volfiles write
// generation) empties it: what it holds is never newer than the files.
// Safe to call from several threads.
#pragma once

#include "imagestore/container/chunk_record.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kwv {

// One decoded chunk: its record and its data (record.dataLength bytes).
struct CachedChunk {
    ChunkRecord record;
    std::vector<uint8_t> data;
};
using CachedChunkPtr = std::shared_ptr<const CachedChunk>;

class ChunkCache {
public:
    // The budget of decoded bytes a cache of an open set holds by default.
    static constexpr uint64_t kDefaultBudget = 32u << 20;

    explicit ChunkCache(uint64_t budget = kDefaultBudget) : budget_(budget) {}

    // The chunk when it is held (and not outdated by a write), else null.
    CachedChunkPtr Find(uint32_t number);
    // Keeps a chunk decoded from the files as they were at write generation
    // `generation` (taken before the chunk was read), dropping the least
    // recently used ones to stay within the budget. A chunk read before a
    // later write, or no memory: nothing is kept.
    void Keep(CachedChunkPtr chunk, uint64_t generation);
    void Clear();
    uint64_t Bytes() const;
    size_t Count() const;

private:
    // Drops everything when a volume file was written since the last call.
    void DropWhenOutdated();
    void DropOne();

    mutable std::mutex mutex_;
    const uint64_t budget_;
    uint64_t bytes_ = 0;
    uint64_t generation_ = 0;
    uint64_t seed_ = 0x9E3779B97F4A7C15u;
    // Most recently used first; the map points into the list.
    std::list<CachedChunkPtr> order_;
    std::unordered_map<uint32_t, std::list<CachedChunkPtr>::iterator> where_;
};

} // namespace kwv
