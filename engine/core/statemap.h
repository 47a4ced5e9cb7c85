// STATE_MAP: the engine's growable bitmap, one bit per sector, cluster, block
// or record, in 32-bit words (bit i is bit i mod 32 of word i / 32).
#pragma once

#include "engine/core/kwret.h"

#include <bit>
#include <cstdint>

inline constexpr std::uint32_t STATE_MAP_NONE = 0xFFFFFFFFu;

// Owns its word buffer. A map of n bits has n / 32 + 1 words, so the capacity
// in bits always exceeds the bit count; bits at or beyond the bit count are
// not part of the map. Out-of-range operations do nothing and queries answer
// false or STATE_MAP_NONE.
class STATE_MAP {
public:
    STATE_MAP() = default;
    STATE_MAP(const STATE_MAP& other);
    STATE_MAP& operator=(const STATE_MAP& other);
    ~STATE_MAP();

    kwRet Create(std::uint32_t bits, bool setAll);
    void Free();
    void Shrink(std::uint32_t n);
    kwRet Grow(std::uint32_t n);

    void SetBit(std::uint32_t index);
    void ClearBit(std::uint32_t index);
    void SetRange(std::uint32_t first, std::uint32_t count);
    void ClearRange(std::uint32_t first, std::uint32_t count);
    bool IsSet(std::uint32_t index) const;
    bool IsClear(std::uint32_t index) const;

    std::uint32_t FindNextSet(std::uint32_t index) const { return nextInWord(index, 0); }
    std::uint32_t FindNextClear(std::uint32_t index) const { return nextInWord(index, ~0u); }
    std::uint32_t FindPrevSet(std::uint32_t index) const { return findPrev(index, 0); }
    std::uint32_t FindPrevClear(std::uint32_t index) const { return findPrev(index, ~0u); }
    // The highest set bit of the map; 0 when none is set.
    std::uint32_t LastSet() const {
        const std::uint32_t last = FindPrevSet(GetBitCount());
        return last == STATE_MAP_NONE ? 0 : last;
    }
    // Bits set (clear) in [first, last], last cut to the map; at most limit.
    std::uint32_t CountSet(std::uint32_t first, std::uint32_t last, std::uint32_t limit) const {
        return count(first, last, limit, 0);
    }
    std::uint32_t CountClear(std::uint32_t first, std::uint32_t last, std::uint32_t limit) const {
        return count(first, last, limit, ~0u);
    }

    void OrWith(const STATE_MAP& other);
    void XorWith(const STATE_MAP& other);

    std::uint32_t GetBitCount() const { return ulBitCount; }
    std::uint32_t* GetWords() const { return pulBits; }

    // The record, as file systems and image access use it.
    std::uint32_t* pulBits = nullptr; // null when the map is empty
    std::uint32_t ulBmpBufSize = 0;   // words in the buffer
    std::uint32_t ulUnitCount = 0;    // the four values belong to the map's users
    std::uint32_t ulUnitsPerBit = 1;
    std::uint32_t ulLastUsed = 0;
    std::uint32_t ulMinEnd = 0;
    std::uint32_t ulBitCount = 0; // valid bits

private:
    // The common case of a run walk, inline: the answer lies in the word of
    // the index.
    std::uint32_t nextInWord(std::uint32_t index, std::uint32_t invert) const {
        if (pulBits != nullptr && index < ulBitCount) {
            const std::uint32_t bits = (pulBits[index / 32] ^ invert) & (~0u << (index % 32));
            if (bits != 0) {
                const std::uint32_t found =
                    (index & ~31u) + static_cast<std::uint32_t>(std::countr_zero(bits));
                return found < ulBitCount ? found : STATE_MAP_NONE;
            }
        }
        return nextInLaterWords(index, invert);
    }
    // The rest of the walk: whole words skipped, the answer in the first other one.
    std::uint32_t nextInLaterWords(std::uint32_t index, std::uint32_t invert) const {
        if (pulBits == nullptr || index >= ulBitCount)
            return STATE_MAP_NONE;
        const std::uint32_t lastWord = (ulBitCount - 1) / 32;
        std::uint32_t w = index / 32, bits = 0;
        while (bits == 0 && w < lastWord)
            bits = pulBits[++w] ^ invert;
        if (bits == 0)
            return STATE_MAP_NONE;
        const std::uint32_t found = w * 32 + static_cast<std::uint32_t>(std::countr_zero(bits));
        return found < ulBitCount ? found : STATE_MAP_NONE;
    }
    void writeRange(std::uint32_t first, std::uint32_t count, bool set);
    // invert ~0u searches or counts clear bits.
    std::uint32_t findPrev(std::uint32_t index, std::uint32_t invert) const;
    std::uint32_t count(std::uint32_t first, std::uint32_t last, std::uint32_t limit,
                        std::uint32_t invert) const;
};
