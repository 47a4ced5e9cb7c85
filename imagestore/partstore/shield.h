// Keeps exceptions inside the library: an operation that runs out of memory
// answers 1806 instead.
#pragma once

#include "imagestore/store_error.h"

#include <cstdint>
#include <new>

namespace kw::partstore {

template <typename Body> int32_t Shield(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kwv::kStoreNoMemory;
    } catch (...) {
        return kwv::kStoreWrongMode;
    }
}

} // namespace kw::partstore
