// A 512-byte sector buffer from the engine allocator that returns itself
// when it goes out of scope; get() is null when none could be had.
#pragma once

#include "engine/core/kwmemory.h"

#include <cstdint>
#include <span>

class SectorBuffer {
public:
    SectorBuffer() : p_(static_cast<uint8_t*>(kwGetSectorBuffer())) {}
    ~SectorBuffer() {
        void* p = p_;
        if (p != nullptr)
            kwFreeSectorBuffer(&p);
    }
    SectorBuffer(const SectorBuffer&) = delete;
    SectorBuffer& operator=(const SectorBuffer&) = delete;
    uint8_t* get() const { return p_; }
    std::span<const uint8_t> bytes() const { return {p_, 512}; }

private:
    uint8_t* p_;
};
