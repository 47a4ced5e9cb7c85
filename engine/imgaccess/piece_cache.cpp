#include "engine/imgaccess/piece_cache.h"

#include "engine/core/kwmemory.h"

namespace kw::imgaccess {

namespace {

constexpr uint32_t kMaxPieces = 16;

struct POOL {
    PA_PIECE pieces[kMaxPieces];
    uint32_t count = 0;
    uint32_t size = 0;
    uint32_t users = 0;
    uint64_t clock = 0;
};

POOL gPool;

void Use(PA_PIECE* piece) {
    piece->age = ++gPool.clock;
}

void FreeAll() {
    for (uint32_t i = 0; i < gPool.count; ++i)
        kwFreeMemory(&gPool.pieces[i].buffer);
    gPool = POOL{};
}

} // namespace

bool PA_CACHE::CreatePool(uint32_t count, uint32_t size) {
    if (gPool.users != 0) {
        ++gPool.users;
        return true;
    }
    if (count == 0 || count > kMaxPieces || size == 0)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        PA_PIECE& piece = gPool.pieces[i];
        piece = PA_PIECE{};
        if (kwGetMemory(size, &piece.buffer) != KW_OK) {
            gPool.count = i;
            FreeAll();
            return false;
        }
    }
    gPool.count = count;
    gPool.size = size;
    gPool.users = 1;
    return true;
}

void PA_CACHE::Purge(const void* owner) {
    for (uint32_t i = 0; i < gPool.count; ++i) {
        PA_PIECE& piece = gPool.pieces[i];
        if (piece.owner == owner) {
            piece.owner = nullptr;
            piece.count = 0;
            piece.age = 0; // taken first
        }
    }
}

void PA_CACHE::FreePool(const void* owner) {
    if (gPool.users == 0)
        return;
    Purge(owner);
    if (--gPool.users == 0)
        FreeAll();
}

PA_PIECE* PA_CACHE::Find(const void* owner, uint64_t offset) {
    for (uint32_t i = 0; i < gPool.count; ++i) {
        PA_PIECE* piece = &gPool.pieces[i];
        if (piece->Covers(owner, offset)) {
            Use(piece);
            return piece;
        }
    }
    return nullptr;
}

PA_PIECE* PA_CACHE::TakeOldest(const void* owner) {
    PA_PIECE* oldest = nullptr;
    for (uint32_t i = 0; i < gPool.count; ++i) {
        PA_PIECE* piece = &gPool.pieces[i];
        if (oldest == nullptr || piece->age < oldest->age)
            oldest = piece;
    }
    if (oldest == nullptr)
        return nullptr;
    oldest->owner = owner;
    oldest->start = 0;
    oldest->count = 0;
    Use(oldest);
    return oldest;
}

uint32_t PA_CACHE::BufferSize() {
    return gPool.size;
}

uint32_t PA_CACHE::Users() {
    return gPool.users;
}

uint32_t PA_CACHE::Count() {
    return gPool.count;
}

} // namespace kw::imgaccess
