// The nine entry points of libkwvaults.so. Each runs one whole request and
// never lets an exception out: a failed allocation becomes 1806.
#include "kwvaults.h"

#include "imagestore/exports/older_format.h"
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/partstore/password_value.h"

#include <new>
#include <type_traits>

namespace {

constexpr int32_t kOutOfMemory = 1806;
constexpr int32_t kNotCurrentFormat = 1802;
constexpr int32_t kInternal = 2;

void Report(int32_t* error, int32_t code) {
    if (error != nullptr) {
        *error = code;
    }
}

uint64_t VolumeLimit(uint32_t low, uint32_t high) {
    return uint64_t(high) << 32 | low;
}

// Runs `body` (which sets `code`); an escaping exception becomes a code.
template <typename Body> auto Guarded(int32_t& code, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        code = kOutOfMemory;
    } catch (...) {
        code = kInternal;
    }
    if constexpr (!std::is_void_v<decltype(body())>) {
        return nullptr;
    }
}

} // namespace

KWVAULTS_API uint32_t ConvertPasswordString(const char* text) {
    return kw::partstore::PasswordValue(text);
}

KWVAULTS_API IMAGE_STORE* ImageStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                                 int32_t* error) {
    int32_t code = 0;
    IMAGE_STORE* store =
        Guarded(code, [&] { return kw::exports::OpenOlderImage(path, callback, code); });
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
    int32_t code = 0;
    Guarded(code, [&] { code = kw::partstore::DeleteImageSet(path, callback); });
    return code;
}

KWVAULTS_API PART_STORE*
PartStoreLegacyUseImageStore(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t* error) {
    int32_t code = 0;
    PART_STORE* result =
        Guarded(code, [&] { return kw::exports::WrapOlderImage(store, callback, code); });
    Report(error, code);
    return result;
}

KWVAULTS_API PART_STORE* PartStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                               int32_t* error) {
    int32_t code = 0;
    PART_STORE* store = Guarded(code, [&]() -> PART_STORE* {
        PART_STORE* current = kw::partstore::OpenForReading(path, callback, code);
        if (current != nullptr || code != kNotCurrentFormat) {
            return current;
        }
        return kw::exports::OpenOlderImageAsPartStore(path, callback, code);
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
    int32_t code = 0;
    Guarded(code, [&] { code = kw::partstore::VerifyImageChunks(path, callback); });
    return code;
}

KWVAULTS_API int32_t PartStoreVerifyData(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    int32_t code = 0;
    Guarded(code, [&] {
        PART_STORE* store = kw::partstore::OpenForReading(path, callback, code);
        if (store == nullptr) {
            if (code == kNotCurrentFormat) {
                code = kw::exports::VerifyOlderImageData(path, callback);
            }
            return;
        }
        // Every part record is read and checked; the first failure ends it.
        const uint32_t parts = store->GetPartCount();
        for (uint32_t i = 0; i < parts && code == 0; ++i) {
            code = store->SelectPart(i);
        }
        store->Release();
        if (code == 0) {
            code = kw::partstore::VerifyImageChunks(path, callback);
        }
    });
    return code;
}
