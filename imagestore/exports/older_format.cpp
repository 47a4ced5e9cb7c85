// The exported functions' way to images of the older format: the reader and
// its part-store adapter live in imagestore/legacy.
#include "imagestore/exports/older_format.h"

#include "imagestore/legacy/legacy_open.h"

namespace kw::exports {

IMAGE_STORE* OpenOlderImage(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    return kw::legacy::openImageStore(path, callback, error);
}

PART_STORE* WrapOlderImage(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    return kw::legacy::wrapImageStore(store, callback, error);
}

PART_STORE* OpenOlderImageAsPartStore(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                      int32_t& error) {
    return kw::legacy::openAsPartStore(path, callback, error);
}

int32_t VerifyOlderImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    return kw::legacy::verifyImageData(path, callback);
}

} // namespace kw::exports
