// Stored chunks: the payload holds the chunk's data as it is.
#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/ref_counted.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Copies input into the payload. Owns nothing but its counters.
class StoredEncoder final : public RefCounted<ChunkEncoder> {
public:
    void Begin(uint8_t* payload, uint32_t room) override {
        payload_ = payload;
        room_ = room;
        taken_ = 0;
    }
    uint32_t Put(const uint8_t* source, uint32_t length) override {
        uint32_t take = std::min(length, room_ - taken_);
        if (take == 0) {
            return 0;
        }
        if (source != nullptr) {
            std::memcpy(payload_ + taken_, source, take);
        } else {
            std::memset(payload_ + taken_, 0, take);
        }
        taken_ += take;
        return take;
    }
    uint32_t GetInputCount() const override { return taken_; }
    uint32_t Finish() override {
        if (payload_ != nullptr && taken_ < room_) {
            std::memset(payload_ + taken_, 0, room_ - taken_);
        }
        return 0;
    }

private:
    uint8_t* payload_ = nullptr;
    uint32_t room_ = 0;
    uint32_t taken_ = 0;
};

// Copies from the payload, never beyond the data length or the room.
class StoredDecoder final : public RefCounted<ChunkDecoder> {
public:
    bool Begin(const uint8_t* payload, uint32_t room, uint32_t dataLength, uint32_t) override {
        payload_ = payload;
        // A damaged record may claim more data than the payload holds.
        end_ = std::min(dataLength, room);
        return true;
    }
    uint32_t Get(uint32_t offset, uint8_t* dest, uint32_t length) override {
        if (payload_ == nullptr || offset >= end_) {
            return 0;
        }
        uint32_t count = std::min(length, end_ - offset);
        if (dest != nullptr) {
            std::memcpy(dest, payload_ + offset, count);
        }
        return count;
    }

private:
    const uint8_t* payload_ = nullptr;
    uint32_t end_ = 0;
};

} // namespace

ChunkEncoder* CreateStoredChunkEncoder() {
    return new (std::nothrow) StoredEncoder();
}

ChunkDecoder* CreateStoredChunkDecoder() {
    return new (std::nothrow) StoredDecoder();
}
