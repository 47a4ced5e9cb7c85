// The compressed-chunk decoder: LZS or own-method blocks, then raw bytes.
#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/lzs.h"
#include "imagestore/codec/own_method.h"
#include "imagestore/codec/ref_counted.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Keeps one decoded block as a window so that sequential reads decode every
// block once. Owns the window buffer and, in LZS mode, the LZS work area.
class CompressedDecoder final : public RefCounted<ChunkDecoder> {
public:
    explicit CompressedDecoder(ChunkCodecMode mode) : mode_(mode) {}

    bool Init(uint32_t room) {
        capacity_ = room;
        windowBuffer_.reset(new (std::nothrow) uint8_t[WindowBufferSize()]);
        if (mode_ == ChunkCodecMode::Lzs) {
            lzsWork_.reset(new (std::nothrow) uint8_t[LzsDecompressWorkSize()]);
            if (lzsWork_ == nullptr) {
                return false;
            }
        }
        return windowBuffer_ != nullptr;
    }

    bool Begin(const uint8_t* payload, uint32_t room, uint32_t dataLength,
               uint32_t rawStart) override {
        bool fits = room <= capacity_;
        payload_ = fits ? payload : nullptr;
        room_ = fits ? room : 0;
        dataLength_ = fits ? dataLength : 0;
        rawStart_ = rawStart;
        Restart();
        return fits;
    }

    uint32_t Get(uint32_t offset, uint8_t* dest, uint32_t length) override {
        if (payload_ == nullptr || offset >= dataLength_) {
            return 0;
        }
        length = std::min(length, dataLength_ - offset);
        if (offset < windowStart_) {
            Restart();
        }
        uint32_t done = 0;
        while (done < length) {
            uint64_t at = static_cast<uint64_t>(offset) + done;
            while (at >= windowStart_ + windowLength_) {
                if (!NextWindow()) {
                    return done;
                }
            }
            uint64_t inWindow = at - windowStart_;
            uint32_t count =
                static_cast<uint32_t>(std::min<uint64_t>(length - done, windowLength_ - inWindow));
            if (dest != nullptr) {
                std::memcpy(dest + done, window_ + inWindow, count);
            }
            done += count;
        }
        return done;
    }

private:
    uint32_t WindowBufferSize() const { return capacity_ + 128; }

    void Restart() {
        window_ = windowBuffer_.get();
        windowStart_ = 0;
        windowLength_ = 0;
        input_ = 0;
        if (mode_ == ChunkCodecMode::Lzs) {
            LzsDecompressInit(lzsWork_.get());
        }
    }

    // Moves the window past its current bytes and fills it with the next
    // block; false when there is none or it cannot be decoded.
    bool NextWindow() {
        windowStart_ += windowLength_;
        windowLength_ = 0;
        if (input_ >= room_) {
            return false;
        }
        if (input_ == rawStart_) {
            window_ = payload_ + input_;
            windowLength_ = room_ - input_;
            input_ = room_;
            return true;
        }
        window_ = windowBuffer_.get();
        uint32_t consumed = 0;
        uint32_t produced = DecodeBlock(payload_ + input_, room_ - input_, &consumed);
        if (produced == 0 || consumed == 0) {
            input_ = room_;
            return false;
        }
        windowLength_ = produced;
        input_ += std::min(consumed, room_ - input_);
        return true;
    }

    uint32_t DecodeBlock(const uint8_t* source, uint32_t available, uint32_t* consumed) {
        if (mode_ == ChunkCodecMode::Lzs) {
            uint32_t in = available;
            uint32_t out = WindowBufferSize();
            uint32_t status =
                LzsDecompress(source, &in, windowBuffer_.get(), &out, lzsWork_.get(), 0);
            *consumed = in;
            return (status & kLzsIncomplete) != 0 ? 0 : out;
        }
        size_t used = 0;
        uint32_t produced =
            OwnMethodDecompress(source, available, windowBuffer_.get(), WindowBufferSize(), &used);
        *consumed = static_cast<uint32_t>(used);
        return produced;
    }

    ChunkCodecMode mode_;
    uint32_t capacity_ = 0;
    std::unique_ptr<uint8_t[]> windowBuffer_;
    std::unique_ptr<uint8_t[]> lzsWork_;
    const uint8_t* payload_ = nullptr;
    uint32_t room_ = 0;
    uint32_t dataLength_ = 0;
    uint32_t rawStart_ = kRawStartNone;
    const uint8_t* window_ = nullptr;
    uint64_t windowStart_ = 0;
    uint32_t windowLength_ = 0;
    uint32_t input_ = 0;
};

} // namespace

ChunkDecoder* CreateCompressedChunkDecoder(ChunkCodecMode mode, uint32_t room) {
    auto* decoder = new (std::nothrow) CompressedDecoder(mode);
    if (decoder != nullptr && !decoder->Init(room)) {
        decoder->Release();
        return nullptr;
    }
    return decoder;
}
