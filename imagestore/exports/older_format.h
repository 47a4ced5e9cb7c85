// The exported functions' way to images of the older format (its reader and
// the adapter that shows it as a PART_STORE).
#pragma once

#include "kwvaults.h"

#include <cstdint>

namespace kw::exports {

IMAGE_STORE* OpenOlderImage(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// The adapter takes its own reference to `store`.
PART_STORE* WrapOlderImage(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// Opens and wraps an image of the older format; the adapter then holds the
// only reference to its image store.
PART_STORE* OpenOlderImageAsPartStore(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                      int32_t& error);

// The data check of an image of the older format (bitmap and data sizes and a
// read of every stored block).
int32_t VerifyOlderImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback);

} // namespace kw::exports
