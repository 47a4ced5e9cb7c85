// The nine entry points of libkwvaults.so. Each runs one whole request and
// never lets an exception out: a failed allocation becomes 1806.
#include "kwvaults.h"

#include "imagestore/legacy/legacy_open.h"
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/partstore/password_value.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/store_error.h"

namespace {

using kw::partstore::Shield;

void Report(int32_t* error, int32_t code) {
    if (error != nullptr) {
        *error = code;
    }
}

uint64_t VolumeLimit(uint32_t low, uint32_t high) {
    return uint64_t(high) << 32 | low;
}

// Runs `body` (which sets `code`) and answers the object it makes; an
// escaping exception becomes the code Shield gives it and the answer null.
template <typename Body> auto Guarded(int32_t& code, Body body) -> decltype(body()) {
    decltype(body()) result = nullptr;
    const int32_t thrown = Shield([&] {
        result = body();
        return kwv::kStoreOk;
    });
    if (thrown != kwv::kStoreOk) {
        code = thrown;
    }
    return result;
}

} // namespace

KWVAULTS_API uint32_t ConvertPasswordString(const char* text) {
    return kw::partstore::PasswordValue(text);
}

KWVAULTS_API IMAGE_STORE* ImageStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                                 int32_t* error) {
    int32_t code = 0;
    IMAGE_STORE* store =
        Guarded(code, [&] { return kw::legacy::openImageStore(path, callback, code); });
    Report(error, code);
    return store;
}

KWVAULTS_API PART_STORE* PartStoreCreateNew(const char* path, const char16_t* password,
                                            uint32_t limitLow, uint32_t limitHigh, uint32_t flags,
                                            MEDIA_CHANGE_CALLBACK* callback, int32_t* error) {
    int32_t code = 0;
    PART_STORE* store = Guarded(code, [&] {
        return kw::partstore::CreateImage(path, password, VolumeLimit(limitLow, limitHigh), flags,
                                          callback, code);
    });
    Report(error, code);
    return store;
}

KWVAULTS_API int32_t PartStoreDelete(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    return Shield([&] { return kw::partstore::DeleteImageSet(path, callback); });
}

KWVAULTS_API PART_STORE*
PartStoreLegacyUseImageStore(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t* error) {
    int32_t code = 0;
    PART_STORE* result =
        Guarded(code, [&] { return kw::legacy::wrapImageStore(store, callback, code); });
    Report(error, code);
    return result;
}

KWVAULTS_API PART_STORE* PartStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                               int32_t* error) {
    int32_t code = 0;
    PART_STORE* store = Guarded(code, [&]() -> PART_STORE* {
        PART_STORE* current = kw::partstore::OpenForReading(path, callback, code);
        if (current != nullptr || code != kwv::kStoreInvalid ||
            kw::partstore::HoldsCurrentFormat(path)) {
            return current;
        }
        return kw::legacy::openAsPartStore(path, callback, code);
    });
    Report(error, code);
    return store;
}

KWVAULTS_API PART_STORE* PartStoreOpenWriteOnly(const char* path, uint32_t limitLow,
                                                uint32_t limitHigh, MEDIA_CHANGE_CALLBACK* callback,
                                                int32_t* error) {
    int32_t code = 0;
    PART_STORE* store = Guarded(code, [&] {
        return kw::partstore::OpenForAppend(path, VolumeLimit(limitLow, limitHigh), callback, code);
    });
    Report(error, code);
    return store;
}

KWVAULTS_API int32_t PartStoreVerify(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    return Shield([&] { return kw::partstore::VerifyImageChunks(path, callback); });
}

KWVAULTS_API int32_t PartStoreVerifyData(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    return Shield([&]() -> int32_t {
        bool opened = false;
        const int32_t code = kw::partstore::VerifyImageData(path, callback, opened);
        if (!opened && code == kwv::kStoreInvalid && !kw::partstore::HoldsCurrentFormat(path)) {
            return kw::legacy::verifyImageData(path, callback);
        }
        return code;
    });
}
