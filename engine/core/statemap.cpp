// STATE_MAP: word-at-a-time scans and counts over the bitmap.
#include "engine/core/statemap.h"

#include "engine/core/kwmemory.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

std::uint32_t* allocWords(std::uint32_t words) {
    std::uint32_t* p = nullptr;
    if (words > 0xFFFFFFFFu / 4 || kwGetMemory(words * 4, &p) != KW_OK)
        return nullptr;
    std::memset(p, 0, static_cast<std::size_t>(words) * 4);
    return p;
}

// Bits lo..31 of a word.
std::uint32_t maskFrom(std::uint32_t lo) {
    return ~0u << lo;
}

// Bits 0..hi of a word.
std::uint32_t maskTo(std::uint32_t hi) {
    return hi >= 31 ? ~0u : (1u << (hi + 1)) - 1;
}

} // namespace

STATE_MAP::STATE_MAP(const STATE_MAP& other) {
    *this = other;
}

STATE_MAP::~STATE_MAP() {
    Free();
}

void STATE_MAP::Free() {
    if (pulBits != nullptr)
        kwFreeMemory(&pulBits);
    pulBits = nullptr;
    ulBmpBufSize = 0;
    ulBitCount = 0;
}

kwRet STATE_MAP::Create(std::uint32_t bits, bool setAll) {
    Free();
    const std::uint32_t words = bits / 32 + 1;
    pulBits = allocWords(words);
    if (pulBits == nullptr)
        return ERR_NO_MEMORY;
    ulBmpBufSize = words;
    ulBitCount = bits;
    if (setAll) {
        std::memset(pulBits, 0xFF, static_cast<std::size_t>(bits / 32) * 4);
        pulBits[bits / 32] = (1u << (bits % 32)) - 1;
    }
    return KW_OK;
}

void STATE_MAP::Shrink(std::uint32_t n) {
    ulBitCount = n > ulBitCount ? 0 : ulBitCount - n;
}

kwRet STATE_MAP::Grow(std::uint32_t n) {
    if (pulBits == nullptr)
        return KW_OK;
    const std::uint64_t wanted = static_cast<std::uint64_t>(ulBitCount) + n;
    if (wanted > 0xFFFFFFFFu)
        return ERR_BAD_ARGUMENT;
    const auto bits = static_cast<std::uint32_t>(wanted);
    if (bits <= static_cast<std::uint64_t>(ulBmpBufSize) * 32) {
        ulBitCount = bits;
        return KW_OK;
    }
    const std::uint32_t words = bits / 32 + 1;
    std::uint32_t* grown = allocWords(words);
    if (grown == nullptr)
        return ERR_NO_MEMORY; // the map keeps its old bits and count
    std::memcpy(grown, pulBits, static_cast<std::size_t>(ulBmpBufSize) * 4);
    kwFreeMemory(&pulBits);
    pulBits = grown;
    ulBmpBufSize = words;
    ulBitCount = bits;
    return KW_OK;
}

void STATE_MAP::SetBit(std::uint32_t index) {
    if (pulBits != nullptr && index < ulBitCount)
        pulBits[index / 32] |= 1u << (index % 32);
}

void STATE_MAP::ClearBit(std::uint32_t index) {
    if (pulBits != nullptr && index < ulBitCount)
        pulBits[index / 32] &= ~(1u << (index % 32));
}

bool STATE_MAP::IsSet(std::uint32_t index) const {
    return pulBits != nullptr && index < ulBitCount && (pulBits[index / 32] >> (index % 32)) & 1u;
}

bool STATE_MAP::IsClear(std::uint32_t index) const {
    return pulBits != nullptr && index < ulBitCount &&
           ((pulBits[index / 32] >> (index % 32)) & 1u) == 0;
}

void STATE_MAP::SetRange(std::uint32_t first, std::uint32_t count) {
    writeRange(first, count, true);
}

void STATE_MAP::ClearRange(std::uint32_t first, std::uint32_t count) {
    writeRange(first, count, false);
}

void STATE_MAP::writeRange(std::uint32_t first, std::uint32_t count, bool set) {
    if (pulBits == nullptr || first >= ulBitCount || count == 0)
        return;
    const std::uint32_t last = first + std::min(count, ulBitCount - first) - 1;
    const std::uint32_t w0 = first / 32, w1 = last / 32;
    for (std::uint32_t w = w0; w <= w1; ++w) {
        std::uint32_t mask = ~0u;
        if (w == w0)
            mask &= maskFrom(first % 32);
        if (w == w1)
            mask &= maskTo(last % 32);
        pulBits[w] = set ? (pulBits[w] | mask) : (pulBits[w] & ~mask);
    }
}

std::uint32_t STATE_MAP::findPrev(std::uint32_t index, std::uint32_t invert) const {
    if (pulBits == nullptr || index == 0 || ulBitCount == 0)
        return STATE_MAP_NONE;
    const std::uint32_t top = std::min(index, ulBitCount) - 1; // search top..0
    std::uint32_t w = top / 32;
    std::uint32_t bits = (pulBits[w] ^ invert) & maskTo(top % 32);
    while (bits == 0 && w > 0)
        bits = pulBits[--w] ^ invert;
    if (bits == 0)
        return STATE_MAP_NONE;
    return w * 32 + 31 - static_cast<std::uint32_t>(std::countl_zero(bits));
}

std::uint32_t STATE_MAP::count(std::uint32_t first, std::uint32_t last, std::uint32_t limit,
                               std::uint32_t invert) const {
    if (pulBits == nullptr || first > last || first >= ulBitCount)
        return 0;
    last = std::min(last, ulBitCount - 1);
    const std::uint32_t w0 = first / 32, w1 = last / 32;
    std::uint64_t total = 0;
    for (std::uint32_t w = w0; w <= w1; ++w) {
        std::uint32_t mask = ~0u;
        if (w == w0)
            mask &= maskFrom(first % 32);
        if (w == w1)
            mask &= maskTo(last % 32);
        total += static_cast<std::uint32_t>(std::popcount((pulBits[w] ^ invert) & mask));
        if (total >= limit)
            return limit;
    }
    return static_cast<std::uint32_t>(total);
}

void STATE_MAP::OrWith(const STATE_MAP& other) {
    if (pulBits == nullptr || other.pulBits == nullptr)
        return;
    const std::uint32_t n = std::min(ulBmpBufSize, other.ulBmpBufSize);
    for (std::uint32_t i = 0; i < n; ++i)
        pulBits[i] |= other.pulBits[i];
}

void STATE_MAP::XorWith(const STATE_MAP& other) {
    if (&other == this || pulBits == nullptr || other.pulBits == nullptr ||
        other.ulBitCount > ulBitCount)
        return;
    // The other map may have the larger buffer (it can have fewer bits after
    // a Shrink): stay inside both.
    const std::uint32_t n = std::min(ulBmpBufSize, other.ulBmpBufSize);
    for (std::uint32_t i = 0; i < n; ++i)
        pulBits[i] ^= other.pulBits[i];
}

STATE_MAP& STATE_MAP::operator=(const STATE_MAP& other) {
    if (&other == this)
        return *this;
    Free();
    ulUnitCount = other.ulUnitCount;
    ulUnitsPerBit = other.ulUnitsPerBit;
    ulLastUsed = other.ulLastUsed;
    ulMinEnd = other.ulMinEnd;
    if (other.pulBits == nullptr)
        return *this;
    const std::uint32_t words = other.ulBitCount / 32 + 1;
    pulBits = allocWords(words);
    if (pulBits == nullptr) {
        ulUnitCount = ulUnitsPerBit = ulLastUsed = ulMinEnd = 0;
        return *this;
    }
    std::memcpy(pulBits, other.pulBits,
                static_cast<std::size_t>(std::min(words, other.ulBmpBufSize)) * 4);
    ulBmpBufSize = words;
    ulBitCount = other.ulBitCount;
    return *this;
}
