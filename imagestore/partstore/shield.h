// Keeps exceptions inside the library: an operation that runs out of memory
// answers 1806 instead.
#pragma once

#include "imagestore/partstore/store_codes.h"

#include <cstdint>
#include <new>

namespace kw::partstore {

template <typename Body> int32_t Shield(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kNotSupported;
    }
}

} // namespace kw::partstore
