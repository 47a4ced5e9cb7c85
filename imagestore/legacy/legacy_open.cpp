#include "imagestore/legacy/legacy_open.h"

#include "imagestore/legacy/image_store_reader.h"
#include "imagestore/legacy/legacy_part_store.h"

#include <new>

namespace kw::legacy {

IMAGE_STORE* openImageStore(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    if (path == nullptr) {
        error = kwv::kStoreCannotOpen;
        return nullptr;
    }
    auto* store = new (std::nothrow) IMAGE_STORE_READER(path, callback);
    if (store == nullptr) {
        error = kwv::kStoreNoMemory;
        return nullptr;
    }
    error = store->Open();
    if (error != kwv::kStoreOk) {
        store->Release();
        return nullptr;
    }
    return store;
}

PART_STORE* wrapImageStore(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    if (store == nullptr) {
        error = kwv::kStoreNotSupported;
        return nullptr;
    }
    auto* adapter = new (std::nothrow) LEGACY_PART_STORE(store, callback);
    if (adapter == nullptr) {
        error = kwv::kStoreOutOfMemory;
        return nullptr;
    }
    error = adapter->Open();
    if (error != kwv::kStoreOk) {
        adapter->Release();
        return nullptr;
    }
    return adapter;
}

PART_STORE* openAsPartStore(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    IMAGE_STORE* store = openImageStore(path, callback, error);
    if (store == nullptr)
        return nullptr;
    PART_STORE* adapter = wrapImageStore(store, callback, error);
    store->Release();
    return adapter;
}

int32_t verifyImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    int32_t error = kwv::kStoreOk;
    PART_STORE* adapter = openAsPartStore(path, callback, error);
    if (adapter == nullptr)
        return error;
    error = verifyLegacyData(adapter, callback);
    adapter->Release();
    return error;
}

} // namespace kw::legacy
