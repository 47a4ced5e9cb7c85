// SECT_LIST: growth, merging and sorting of sector numbers.
#include "engine/core/sectlist.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/kwmemory.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kGrowBytes = 2048;

// A sorted, duplicate-free copy of some numbers (kwGetMemory); null on no memory.
std::uint32_t* sortedUnique(const std::uint32_t* values, std::uint32_t n, std::uint32_t* outCount) {
    std::uint32_t* copy = nullptr;
    if (kwGetMemory(n * 4, &copy) != KW_OK)
        return nullptr;
    std::memcpy(copy, values, static_cast<std::size_t>(n) * 4);
    std::sort(copy, copy + n);
    *outCount = static_cast<std::uint32_t>(std::unique(copy, copy + n) - copy);
    return copy;
}

} // namespace

SECT_LIST::~SECT_LIST() {
    if (sectors_ != nullptr)
        kwFreeMemory(&sectors_);
}

// Makes the array at least bytes long; the entries stay on failure.
kwRet SECT_LIST::reserve(std::uint64_t bytes) {
    if (bytes <= capacity_)
        return KW_OK;
    if (bytes > 0xFFFFFFFFu)
        return ERR_NO_MEMORY;
    std::uint32_t* grown = nullptr;
    if (kwGetMemory(static_cast<std::uint32_t>(bytes), &grown) != KW_OK)
        return ERR_NO_MEMORY;
    if (count_ > 0)
        std::memcpy(grown, sectors_, static_cast<std::size_t>(count_) * 4);
    if (sectors_ != nullptr)
        kwFreeMemory(&sectors_);
    sectors_ = grown;
    capacity_ = static_cast<std::uint32_t>(bytes);
    return KW_OK;
}

kwRet SECT_LIST::Add(std::uint32_t sector) {
    DbgPrintf("Add sector number %u to list\r\n", sector);
    if ((static_cast<std::uint64_t>(count_) + 1) * 4 > capacity_) {
        const kwRet rc = reserve(static_cast<std::uint64_t>(capacity_) + kGrowBytes);
        if (rc != KW_OK)
            return rc;
    }
    sectors_[count_++] = sector;
    return KW_OK;
}

kwRet SECT_LIST::AddRange(std::uint32_t first, std::uint32_t count) {
    // Sector numbers end at 0xFFFFFFFF; a run never wraps to 0.
    const std::uint64_t end =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(first) + count, 0x100000000ull);
    for (std::uint64_t s = first; s < end; ++s) {
        const kwRet rc = Add(static_cast<std::uint32_t>(s));
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

bool SECT_LIST::Contains(std::uint32_t sector) const {
    return sectors_ != nullptr &&
           std::find(sectors_, sectors_ + count_, sector) != sectors_ + count_;
}

kwRet SECT_LIST::Merge(const SECT_LIST* other) {
    if (other == nullptr)
        return ERR_BAD_ARGUMENT;
    if (other->count_ == 0)
        return KW_OK;
    kwRet rc = reserve((static_cast<std::uint64_t>(count_) + other->count_) * 4);
    if (rc != KW_OK)
        return rc;
    std::uint32_t newCount = 0, ownCount = 0;
    std::uint32_t* incoming = sortedUnique(other->sectors_, other->count_, &newCount);
    std::uint32_t* own = count_ > 0 ? sortedUnique(sectors_, count_, &ownCount) : nullptr;
    if (incoming == nullptr || (count_ > 0 && own == nullptr)) {
        kwFreeMemory(&incoming);
        kwFreeMemory(&own);
        return ERR_NO_MEMORY;
    }
    for (std::uint32_t i = 0; i < newCount; ++i) {
        if (!std::binary_search(own, own + ownCount, incoming[i]))
            sectors_[count_++] = incoming[i];
    }
    kwFreeMemory(&incoming);
    kwFreeMemory(&own);
    Sort();
    return KW_OK;
}

void SECT_LIST::Sort() {
    if (count_ >= 2)
        std::sort(sectors_, sectors_ + count_);
}
