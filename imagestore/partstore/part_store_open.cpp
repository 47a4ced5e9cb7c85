// Opening and creating images of the current format, and the requests on a
// whole set (delete, verify) that the exported functions run.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/partstore/part_store.h"
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/partstore/store_time.h"
#include "imagestore/store_error.h"

#include <array>
#include <new>

namespace kw::partstore {

namespace {

constexpr const char* kHeaderPath = "kwi";

// CONTAINER_OPTIONS of a new image: every image gets payload CRCs and the
// older-format signature in its first chunk.
uint32_t ContainerOptions(uint32_t flags) {
    uint32_t options = kwv::kOptPayloadCrc | kwv::kOptOldSignature;
    if (flags & KW_CREATE_HIGH_COMPRESSION) {
        options |= kwv::kOptOwnMethod;
    } else if (flags & KW_CREATE_LOW_COMPRESSION) {
        options |= kwv::kOptLzs;
    }
    if (flags & KW_CREATE_VERIFY_VOLUMES) {
        options |= kwv::kOptVerifyVolumes;
    }
    if (flags & KW_CREATE_OPTION_40) {
        options |= 0x40;
    }
    if (flags & KW_CREATE_ERROR_CORRECTION) {
        options |= kwv::kOptErrorCorrection;
    }
    if (flags & KW_CREATE_KEEP_LAST_MEDIUM) {
        options |= kwv::kOptKeepLastMedium;
    }
    return options;
}

uint32_t Low(uint64_t value) {
    return uint32_t(value);
}
uint32_t High(uint64_t value) {
    return uint32_t(value >> 32);
}

// Runs one opening step on a new store; on failure the store is released.
template <typename Step> PART_STORE* Opened(int32_t& error, Step step) {
    auto* store = new (std::nothrow) PartStore();
    if (store == nullptr) {
        error = kwv::kStoreNoMemory;
        return nullptr;
    }
    error = Shield([&] { return int32_t(step(*store)); });
    if (error != kwv::kStoreOk) {
        store->Release();
        return nullptr;
    }
    return store;
}

} // namespace

int32_t PartStore::LoadHeader() {
    std::array<uint8_t, ImageHeader::kMaxSize> bytes{};
    uint32_t tag = 0;
    size_t held = 0;
    const int32_t error = ReadEntry(kHeaderPath, bytes, tag, held);
    if (error != kwv::kStoreOk) {
        return error == kwv::kStoreNoSuchStream ? kwv::kStoreBadImageHeader : error;
    }
    return ImageHeader::Parse(std::span(bytes).first(held), tag, header_);
}

int32_t PartStore::OpenRead(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    path_ = path != nullptr ? path : "";
    int error = kwv::kStoreOk;
    container_ = kwv::OpenContainerForRead(path, callback, &error);
    if (container_ == nullptr) {
        return error;
    }
    if ((error = LoadHeader()) != kwv::kStoreOk || (error = ListParts()) != kwv::kStoreOk) {
        return error;
    }
    mode_ = Mode::Read;
    return kwv::kStoreOk;
}

int32_t PartStore::OpenAppend(const char* path, uint64_t limit, MEDIA_CHANGE_CALLBACK* callback) {
    path_ = path != nullptr ? path : "";
    int error = kwv::kStoreOk;
    container_ = kwv::OpenContainerForAppend(path, Low(limit), High(limit), callback, &error);
    if (container_ == nullptr) {
        return error;
    }
    if ((error = LoadHeader()) == kwv::kStoreOk && (error = ListParts()) == kwv::kStoreOk &&
        header_.Version() != ImageHeader::kFormatVersion) {
        error = kwv::kStoreUnsupported;
    }
    if (error != kwv::kStoreOk) {
        container_->Abandon(); // a refused append leaves the image as it was
        return error;
    }
    header_.SetModificationTime(StoreTimeNow());
    mode_ = Mode::Write;
    appending_ = true;
    return kwv::kStoreOk;
}

int32_t PartStore::Create(const char* path, const char16_t* password, uint64_t limit,
                          uint32_t flags, MEDIA_CHANGE_CALLBACK* callback) {
    path_ = path != nullptr ? path : "";
    int error = kwv::kStoreOk;
    container_ = kwv::CreateContainer(path, password, Low(limit), High(limit),
                                      ContainerOptions(flags), callback, &error);
    if (container_ == nullptr) {
        return error;
    }
    header_ = ImageHeader::Fresh(StoreTimeNow());
    const Held<kwv::StreamWriter> stream(
        container_->CreateStream(kHeaderPath, ImageHeader::kMagic, 0, &error));
    if (stream != nullptr) {
        const auto bytes = header_.Bytes();
        error = stream->SetInlineData(bytes.data(), uint32_t(bytes.size()));
    }
    if (error != kwv::kStoreOk) {
        container_->DeleteSet(); // nothing of a half-made image is left behind
        return error;
    }
    mode_ = Mode::Write;
    return kwv::kStoreOk;
}

PART_STORE* OpenForReading(const char* path, MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    return Opened(error, [&](PartStore& store) { return store.OpenRead(path, callback); });
}

PART_STORE* OpenForAppend(const char* path, uint64_t limit, MEDIA_CHANGE_CALLBACK* callback,
                          int32_t& error) {
    return Opened(error, [&](PartStore& store) { return store.OpenAppend(path, limit, callback); });
}

PART_STORE* CreateImage(const char* path, const char16_t* password, uint64_t limit, uint32_t flags,
                        MEDIA_CHANGE_CALLBACK* callback, int32_t& error) {
    return Opened(error, [&](PartStore& store) {
        return store.Create(path, password, limit, flags, callback);
    });
}

int32_t DeleteImageSet(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    return kwv::DeleteContainerSet(path, callback);
}

int32_t VerifyImageChunks(const char* path, MEDIA_CHANGE_CALLBACK* callback) {
    int error = kwv::kStoreOk;
    const Held<kwv::StoreContainer> container(kwv::OpenContainerForRead(path, callback, &error));
    return container == nullptr ? error : container->VerifyAll();
}

bool HoldsCurrentFormat(const char* path) {
    kwv::ChunkRecord first;
    return path != nullptr && kwv::ReadFirstRecord(path, &first);
}

} // namespace kw::partstore
