#include "imagestore/container/codec_adapter.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kwv {

namespace {

// Copies input into the payload.
class StoredEncoder final : public ChunkEncoder {
public:
    void Begin(uint8_t* payload, uint32_t room) override {
        payload_ = payload;
        room_ = room;
        taken_ = 0;
    }
    uint32_t Put(const uint8_t* source, uint32_t length) override {
        const uint32_t n = std::min(length, room_ - taken_);
        if (source != nullptr) {
            std::memcpy(payload_ + taken_, source, n);
        } else {
            std::memset(payload_ + taken_, 0, n);
        }
        taken_ += n;
        return n;
    }
    uint32_t GetInputCount() override { return taken_; }
    uint32_t Finish() override {
        std::memset(payload_ + taken_, 0, room_ - taken_);
        return 0;
    }

private:
    uint8_t* payload_ = nullptr;
    uint32_t room_ = 0;
    uint32_t taken_ = 0;
};

// Copies from the payload.
class StoredDecoder final : public ChunkDecoder {
public:
    void Begin(const uint8_t* payload, uint32_t, uint32_t dataLength, uint32_t) override {
        payload_ = payload;
        length_ = dataLength;
    }
    uint32_t Get(uint32_t offset, uint8_t* destination, uint32_t length) override {
        if (offset >= length_) {
            return 0;
        }
        const uint32_t n = std::min(length, length_ - offset);
        if (destination != nullptr) {
            std::memcpy(destination, payload_ + offset, n);
        }
        return n;
    }

private:
    const uint8_t* payload_ = nullptr;
    uint32_t length_ = 0;
};

} // namespace

std::unique_ptr<ChunkEncoder> MakeChunkEncoder(uint32_t codec, uint32_t) {
    if (codec == 0) {
        return std::unique_ptr<ChunkEncoder>(new (std::nothrow) StoredEncoder);
    }
    return nullptr;
}

std::unique_ptr<ChunkDecoder> MakeChunkDecoder(uint32_t codec, uint32_t) {
    if (codec == 0) {
        return std::unique_ptr<ChunkDecoder>(new (std::nothrow) StoredDecoder);
    }
    return nullptr;
}

void EccEncodeChunk(uint8_t*) {}

void EccRecoverChunk(uint8_t*, const uint32_t*, uint32_t) {}

} // namespace kwv
