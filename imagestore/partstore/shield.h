// Keeps exceptions inside the library: an operation that runs out of memory
// answers 1806 instead.
#pragma once

#include "imagestore/store_error.h"

#include <cstdint>
#include <memory>
#include <new>

namespace kw::partstore {

// Holds one reference to a library object (anything with Release) and drops
// it when the holder goes, also when an exception passes.
struct ReleaseObject {
    template <typename T> void operator()(T* object) const { object->Release(); }
};
template <typename T> using Held = std::unique_ptr<T, ReleaseObject>;

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
