// The compressing chunk encoders (LZS and own method). Both compress the
// chunk's input in blocks and store the rest of the chunk raw from the first
// block that does not shrink.
#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/lzs.h"
#include "imagestore/codec/own_method.h"
#include "imagestore/codec/ref_counted.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Staging, block emission and the raw switch; subclasses compress one block.
// Owns the staging buffer.
class BlockEncoder : public RefCounted<ChunkEncoder> {
public:
    void Begin(uint8_t* payload, uint32_t room) override {
        payload_ = payload;
        room_ = room;
        out_ = 0;
        staged_ = 0;
        taken_ = 0;
        rawStart_ = kRawStartNone;
        StartChunk();
    }

    uint32_t Put(const uint8_t* source, uint32_t length) override {
        uint32_t cap = BlockCap();
        uint32_t take = std::min(length, cap - staged_);
        if (take == 0) {
            return 0;
        }
        bool compressing = rawStart_ == kRawStartNone;
        if (staged_ > 0 || source == nullptr || (compressing && take < cap)) {
            if (source != nullptr) {
                std::memcpy(staging_.get() + staged_, source, take);
            } else {
                std::memset(staging_.get() + staged_, 0, take);
            }
            staged_ += take;
            if (staged_ == cap) {
                EmitStaged();
            }
        } else {
            Emit(source, take);
        }
        taken_ += take;
        return take;
    }

    uint32_t GetInputCount() const override { return taken_; }

    uint32_t Finish() override {
        EmitStaged();
        if (payload_ != nullptr && out_ < room_) {
            std::memset(payload_ + out_, 0, room_ - out_);
        }
        return rawStart_;
    }

protected:
    bool AllocateStaging(uint32_t size) {
        staging_.reset(new (std::nothrow) uint8_t[size]);
        stagingSize_ = size;
        return staging_ != nullptr;
    }
    // Called by Begin for codec state that lives for one chunk.
    virtual void StartChunk() {}
    // Largest block while compressing (beyond the room left).
    virtual uint32_t BlockLimit() const = 0;
    // Compresses `length` bytes into at most `room` bytes; returns the size
    // written, or 0 when the block failed or did not shrink.
    virtual uint32_t CompressBlock(const uint8_t* source, uint32_t length, uint8_t* dest,
                                   uint32_t room) = 0;

private:
    uint32_t BlockCap() const {
        uint32_t left = room_ - out_;
        uint32_t cap = rawStart_ == kRawStartNone ? std::min(left, BlockLimit()) : left;
        return std::min(cap, stagingSize_);
    }

    void EmitStaged() {
        if (staged_ > 0) {
            uint32_t count = staged_;
            staged_ = 0;
            Emit(staging_.get(), count);
        }
    }

    void Emit(const uint8_t* block, uint32_t length) {
        if (rawStart_ == kRawStartNone && length >= kMinCompressedBlock) {
            uint32_t size = CompressBlock(block, length, payload_ + out_, room_ - out_);
            if (size != 0 && size < length) {
                out_ += size;
                return;
            }
        }
        if (rawStart_ == kRawStartNone) {
            rawStart_ = out_;
        }
        std::memcpy(payload_ + out_, block, length);
        out_ += length;
    }

    std::unique_ptr<uint8_t[]> staging_;
    uint32_t stagingSize_ = 0;
    uint8_t* payload_ = nullptr;
    uint32_t room_ = 0;
    uint32_t out_ = 0;
    uint32_t staged_ = 0;
    uint32_t taken_ = 0;
    uint32_t rawStart_ = kRawStartNone;
};

// LZS blocks, then raw. Owns the LZS work area.
class LzsEncoder final : public BlockEncoder {
public:
    bool Init(uint32_t room) {
        work_.reset(new (std::nothrow) uint8_t[LzsCompressWorkSize()]);
        return work_ != nullptr && AllocateStaging(room + 64);
    }

protected:
    void StartChunk() override { LzsCompressInit(work_.get()); }
    uint32_t BlockLimit() const override { return 0xFFFFFFFFu; }
    uint32_t CompressBlock(const uint8_t* source, uint32_t length, uint8_t* dest,
                           uint32_t room) override {
        uint32_t in = length;
        uint32_t out = room;
        uint32_t status = LzsCompress(source, &in, dest, &out, work_.get(), 0);
        if ((status & kLzsIncomplete) != 0 || in != length) {
            return 0;
        }
        return out;
    }

private:
    std::unique_ptr<uint8_t[]> work_;
};

// Own-method blocks of at most kOwnMethodBlockLimit bytes, then raw. Owns the
// compressor's work memory.
class OwnMethodEncoder final : public BlockEncoder {
public:
    bool Init() { return compressor_.Init() && AllocateStaging(kOwnMethodStagingSize); }

protected:
    uint32_t BlockLimit() const override { return kOwnMethodBlockLimit; }
    uint32_t CompressBlock(const uint8_t* source, uint32_t length, uint8_t* dest,
                           uint32_t room) override {
        return static_cast<uint32_t>(
            compressor_.Compress(source, length, dest, room, kOwnMethodParameter));
    }

private:
    OwnMethodCompressor compressor_;
};

} // namespace

ChunkEncoder* CreateLzsChunkEncoder(uint32_t room) {
    auto* encoder = new (std::nothrow) LzsEncoder();
    if (encoder != nullptr && !encoder->Init(room)) {
        encoder->Release();
        return nullptr;
    }
    return encoder;
}

ChunkEncoder* CreateOwnMethodChunkEncoder() {
    auto* encoder = new (std::nothrow) OwnMethodEncoder();
    if (encoder != nullptr && !encoder->Init()) {
        encoder->Release();
        return nullptr;
    }
    return encoder;
}
