// The piece cache: one process-wide pool of buffers holding decoded pieces
// of compressed partitions of older-format images, so that a later read of
// the same bytes needs no decoding. Each piece remembers the partition
// access that decoded it (compared only) and which bytes of that
// partition's decoded data it holds. The least recently used piece is the
// one reused.
//
// The pool is created by the first user and counted: every further user
// shares it, and it is freed when the last user leaves. A user that leaves
// takes its pieces with it, so that an access made later at the same
// address never finds them.
#pragma once

#include <cstdint>

namespace kw::imgaccess {

inline constexpr uint32_t kPieceCount = 4;
inline constexpr uint32_t kPieceBytes = 0x20000;

// One buffer of the pool; its bytes are the decoded data of `owner` from
// `start` on, `count` of them.
struct PA_PIECE {
    const void* owner = nullptr;
    uint64_t age = 0;
    uint64_t start = 0;
    uint32_t count = 0; // 0: holds nothing
    uint8_t* buffer = nullptr;

    bool Covers(const void* who, uint64_t offset) const {
        return owner == who && count != 0 && offset >= start && offset - start < count;
    }
};

// The pool; all state is process-wide.
class PA_CACHE {
public:
    // Adds a user, creating the pool of `count` buffers of `size` bytes for
    // the first one. False (and no user added) when the pool cannot be made.
    static bool CreatePool(uint32_t count = kPieceCount, uint32_t size = kPieceBytes);
    // Forgets the pieces of `owner` and drops a user; the last frees the pool.
    static void FreePool(const void* owner);
    // Forgets the pieces of `owner`, keeping its use of the pool.
    static void Purge(const void* owner);
    // The piece of `owner` that holds decoded byte `offset`, made the most
    // recently used; null when none does.
    static PA_PIECE* Find(const void* owner, uint64_t offset);
    // The least recently used piece, emptied and given to `owner` as the
    // most recently used one; null when there is no pool.
    static PA_PIECE* TakeOldest(const void* owner);
    static uint32_t BufferSize();
    static uint32_t Users();
    static uint32_t Count();
};

} // namespace kw::imgaccess
