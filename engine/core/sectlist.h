// SECT_LIST: a growable array of 32-bit sector numbers (bad sectors, sectors
// to avoid); BAD_SECT_LIST adds a read test that records unreadable sectors.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

// Owns its array of sector numbers. Entries keep the order of appending until
// Sort or Merge sorts them; Add may add duplicates, Merge adds none.
class SECT_LIST {
public:
    SECT_LIST() = default;
    SECT_LIST(const SECT_LIST&) = delete;
    SECT_LIST& operator=(const SECT_LIST&) = delete;
    virtual ~SECT_LIST();

    kwRet Add(std::uint32_t sector);
    // Appends first, first + 1, ... (count numbers); stops at the first failure.
    kwRet AddRange(std::uint32_t first, std::uint32_t count);
    bool Contains(std::uint32_t sector) const;
    // Appends the other list's numbers that this one does not hold and sorts.
    kwRet Merge(const SECT_LIST* other);
    void Sort();

    std::uint32_t GetCount() const { return count_; }
    // The caller keeps the index below GetCount().
    std::uint32_t GetAt(std::uint32_t index) const { return sectors_[index]; }
    std::uint32_t* GetArray() const { return sectors_; }

private:
    kwRet reserve(std::uint64_t bytes);

    std::uint32_t* sectors_ = nullptr; // null until the first append
    std::uint32_t count_ = 0;
    std::uint32_t capacity_ = 0; // bytes
};

// A SECT_LIST that can test a run of a partition's sectors for readability.
class BAD_SECT_LIST : public SECT_LIST {
public:
    // Reads count sectors from first (partition-relative) through the handle
    // and records every sector that cannot be read. budget: how many bad
    // sectors may be found before the test gives up with 1035 (0: the first).
    kwRet TestSects(std::uint32_t handle, std::uint32_t first, std::uint32_t count,
                    std::uint32_t textId, std::uint32_t budget);
};
