// Entry points of the part store for images of the current format, as the
// exported functions use them. Each answers its result code through `error`.
#pragma once

#include "kwvaults.h"

#include <cstdint>

namespace kw::partstore {

// Opens an image for reading: container, header check, list of parts.
PART_STORE* OpenForReading(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// Opens an image for appending parts (volume size limit 0: 0x7fffffff).
PART_STORE* OpenForAppend(const char* path, uint64_t limit, MEDIA_CHANGE_CALLBACK* callback,
                          int32_t& error);

// Creates an image with the flags of PartStoreCreateNew.
PART_STORE* CreateImage(const char* path, const char16_t* password, uint64_t limit, uint32_t flags,
                        MEDIA_CHANGE_CALLBACK* callback, int32_t& error);

// Deletes every volume file of the set.
int32_t DeleteImageSet(const char* path, MEDIA_CHANGE_CALLBACK* callback);

// The data check of PartStoreVerifyData: opens the image once, checks every
// part's record and streams, then every chunk. `opened` tells whether the
// image opened as one of the current format (else the result is the open's).
int32_t VerifyImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback, bool& opened);

// True when volume 0 starts with a sound first record of the current format:
// such an image that fails to open is damaged, not one of the older format.
bool HoldsCurrentFormat(const char* path);

// Reads and checks every chunk of the set, with progress.
int32_t VerifyImageChunks(const char* path, MEDIA_CHANGE_CALLBACK* callback);

} // namespace kw::partstore
