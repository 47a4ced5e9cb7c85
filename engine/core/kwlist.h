// The engine's generic container: a doubly linked list of polymorphic items
// with a cursor. The list owns its items from Insert until RemoveCurrent hands
// one out; deleting the list deletes what it still holds.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

// Base of every object a KWLIST can hold; owns nothing but its links.
// Allocated through the engine allocator: a failed new gives null.
class KWLISTITEM : public KwEngineAlloc {
public:
    KWLISTITEM() = default;
    KWLISTITEM(const KWLISTITEM&) = delete;
    KWLISTITEM& operator=(const KWLISTITEM&) = delete;
    virtual ~KWLISTITEM() = 0;

    KWLISTITEM* Next() const { return next_; }
    KWLISTITEM* Prev() const { return prev_; }

private:
    friend class KWLIST;
    KWLISTITEM* next_ = nullptr;
    KWLISTITEM* prev_ = nullptr;
};

inline constexpr std::uint32_t KWLIST_UNLIMITED = 0xFFFFFFFFu;

// A list of owned items; access by index walks from the cursor.
class KWLIST : public KWLISTITEM {
public:
    explicit KWLIST(std::uint32_t maxSize = KWLIST_UNLIMITED) : max_(maxSize) {}
    ~KWLIST() override;

    kwRet Retrieve(std::uint32_t index, KWLISTITEM** item);
    KWLISTITEM* GetAt(std::uint32_t index);
    // Inserts after the cursor (before = false) or before it; the new item
    // becomes the cursor. A null item is ignored.
    kwRet Insert(KWLISTITEM* item, bool before = false);
    // Appends at the end and makes the item the cursor.
    kwRet Append(KWLISTITEM* item);
    kwRet RemoveCurrent(KWLISTITEM** item);
    kwRet DeleteCurrent();
    kwRet DeleteAll();

    bool IsFull() const { return count_ >= max_; }
    std::uint32_t GetCount() const { return count_; }
    std::uint32_t GetMaxSize() const { return max_; }
    KWLISTITEM* Head() const { return head_; }
    KWLISTITEM* Current() const { return current_; }
    std::uint32_t CurrentIndex() const { return index_; }

private:
    std::uint32_t max_;
    std::uint32_t count_ = 0;
    KWLISTITEM* head_ = nullptr;
    KWLISTITEM* current_ = nullptr;
    std::uint32_t index_ = 0;
};

// A list item holding one 32-bit value.
class KWLISTULONG : public KWLISTITEM {
public:
    explicit KWLISTULONG(std::uint32_t value) : value_(value) {}
    std::uint32_t GetValue() const { return value_; }

private:
    std::uint32_t value_;
};
