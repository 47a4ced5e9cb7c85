// Until the container of named streams is part of the library, images of the
// current format cannot be opened: every request answers "not supported".
#include "imagestore/partstore/part_store_api.h"

namespace kw::partstore {

namespace {
constexpr int32_t kNotSupported = 2;
}

PART_STORE* OpenForReading(const char*, MEDIA_CHANGE_CALLBACK*, int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

PART_STORE* OpenForAppend(const char*, uint64_t, MEDIA_CHANGE_CALLBACK*, int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

PART_STORE* CreateImage(const char*, const char16_t*, uint64_t, uint32_t, MEDIA_CHANGE_CALLBACK*,
                        int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

int32_t DeleteImageSet(const char*, MEDIA_CHANGE_CALLBACK*) {
    return kNotSupported;
}

int32_t VerifyImageChunks(const char*, MEDIA_CHANGE_CALLBACK*) {
    return kNotSupported;
}

} // namespace kw::partstore
