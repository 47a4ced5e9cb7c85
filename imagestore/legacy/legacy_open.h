// The library's ways into images of the older format, as the exported
// functions use them. Errors are the library's codes.
#pragma once

#include "include/kwvaults.h"

#include <cstdint>

namespace kw::legacy {

// Opens an image of the older format (one reference for the caller).
IMAGE_STORE* openImageStore(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// The adapter over an image store; it takes its own reference to the store.
PART_STORE* wrapImageStore(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// Opens and wraps; the adapter then holds the only reference to the store.
PART_STORE* openAsPartStore(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// The data check of an image of the older format.
int32_t verifyImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback);

} // namespace kw::legacy
