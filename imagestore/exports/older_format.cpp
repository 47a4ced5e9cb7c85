// Images of the older format are not read by this build yet: every way to them
// answers "not supported".
#include "imagestore/exports/older_format.h"

namespace kw::exports {

namespace {
constexpr int32_t kNotSupported = 2;
}

IMAGE_STORE* OpenOlderImage(const char*, MEDIA_CHANGE_CALLBACK*, int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

PART_STORE* WrapOlderImage(IMAGE_STORE*, MEDIA_CHANGE_CALLBACK*, int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

PART_STORE* OpenOlderImageAsPartStore(const char*, MEDIA_CHANGE_CALLBACK*, int32_t& error) {
    error = kNotSupported;
    return nullptr;
}

int32_t VerifyOlderImageData(const char*, MEDIA_CHANGE_CALLBACK*) {
    return kNotSupported;
}

} // namespace kw::exports
