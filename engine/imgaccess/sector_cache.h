// A small cache of partition sectors: the sectors read while a directory is
// listed are kept so that listing it again, and opening the files it lists,
// need not go back to the compressed image. Least recently used sectors leave
// first.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

namespace kw::imgaccess {

inline constexpr uint32_t kCacheSectors = 256;

// Owns 256 sector buffers (allocated on the first Put) and their numbers.
class SECTOR_CACHE {
public:
    SECTOR_CACHE() = default;
    ~SECTOR_CACHE();
    SECTOR_CACHE(const SECTOR_CACHE&) = delete;
    SECTOR_CACHE& operator=(const SECTOR_CACHE&) = delete;

    // Copies the cached sector into out (512 bytes) and makes it the most
    // recently used one; false when it is not cached.
    bool Get(uint32_t sector, uint8_t* out);
    // Caches a sector, replacing the least recently used one when all slots
    // are taken. A sector already cached is refreshed.
    void Put(uint32_t sector, const uint8_t* data);
    void Clear() { used_ = 0; }
    uint32_t Count() const { return used_; }

private:
    // Position of the slot in the use order.
    uint32_t OrderOf(uint32_t slot) const;
    void MoveToFront(uint32_t position);
    // The slot holding sector, or kCacheSectors.
    uint32_t Find(uint32_t sector) const;

    uint8_t* data_ = nullptr;
    uint32_t sectors_[kCacheSectors] = {};
    uint32_t order_[kCacheSectors] = {}; // slot numbers, most recently used first
    uint32_t used_ = 0;
};

} // namespace kw::imgaccess
