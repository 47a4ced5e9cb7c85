#include "engine/imgaccess/sector_cache.h"

#include "engine/core/kwmemory.h"
#include "engine/imgaccess/udata_map.h"

#include <cstring>

namespace kw::imgaccess {

SECTOR_CACHE::~SECTOR_CACHE() {
    kwFreeMemory(&data_);
}

uint32_t SECTOR_CACHE::Find(uint32_t sector) const {
    for (uint32_t slot = 0; slot < used_; ++slot) {
        if (sectors_[slot] == sector)
            return slot;
    }
    return kCacheSectors;
}

uint32_t SECTOR_CACHE::OrderOf(uint32_t slot) const {
    uint32_t position = 0;
    while (position + 1 < used_ && order_[position] != slot)
        ++position;
    return position;
}

void SECTOR_CACHE::MoveToFront(uint32_t position) {
    const uint32_t slot = order_[position];
    std::memmove(order_ + 1, order_, position * sizeof(uint32_t));
    order_[0] = slot;
}

bool SECTOR_CACHE::Get(uint32_t sector, uint8_t* out) {
    const uint32_t slot = Find(sector);
    if (slot == kCacheSectors)
        return false;
    std::memcpy(out, data_ + size_t{slot} * kSectorBytes, kSectorBytes);
    MoveToFront(OrderOf(slot));
    return true;
}

void SECTOR_CACHE::Put(uint32_t sector, const uint8_t* data) {
    if (data_ == nullptr && kwGetMemory(kCacheSectors * kSectorBytes, &data_) != KW_OK)
        return; // no cache: reads go to the image every time
    uint32_t slot = Find(sector);
    if (slot != kCacheSectors) {
        MoveToFront(OrderOf(slot));
    } else if (used_ < kCacheSectors) {
        slot = used_;
        order_[used_++] = slot;
        MoveToFront(used_ - 1);
    } else {
        slot = order_[kCacheSectors - 1];
        MoveToFront(kCacheSectors - 1);
    }
    sectors_[slot] = sector;
    std::memcpy(data_ + size_t{slot} * kSectorBytes, data, kSectorBytes);
}

} // namespace kw::imgaccess
