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

// A chunk whose data is at most this many times its room is decoded once,
// when it is begun, and kept whole; a larger one is walked when begun and
// decoded again block by block as it is read.
constexpr uint32_t kKeepFactor = 8;

// Checks a chunk's block structure when the chunk is begun, and then delivers
// its data: from the whole decoded data when it was kept, else through a
// window of one decoded block so that sequential reads decode every block
// once. Owns the window buffer, the kept data and, in LZS mode, the LZS work
// area.
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

    // A chunk whose blocks do not add up to what its record says (a forged
    // or miswritten record) is refused here, before any of its data is given.
    bool Begin(const uint8_t* payload, uint32_t room, uint32_t dataLength,
               uint32_t rawStart) override {
        const bool fits = room <= capacity_;
        payload_ = fits ? payload : nullptr;
        room_ = fits ? room : 0;
        dataLength_ = fits ? dataLength : 0;
        rawStart_ = rawStart;
        kept_ = false;
        if (fits && Walk()) {
            Restart();
            return true;
        }
        payload_ = nullptr;
        dataLength_ = 0;
        kept_ = false;
        return false;
    }

    uint32_t Get(uint32_t offset, uint8_t* dest, uint32_t length) override {
        if (payload_ == nullptr || offset >= dataLength_) {
            return 0;
        }
        length = std::min(length, dataLength_ - offset);
        if (kept_) {
            if (dest != nullptr) {
                std::memcpy(dest, keep_.get() + offset, length);
            }
            return length;
        }
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
    uint64_t KeepLimit() const { return uint64_t(capacity_) * kKeepFactor; }

    // The buffer for a chunk's whole data, made on first use; null when the
    // data is larger or the buffer cannot be had.
    uint8_t* KeepBuffer() {
        if (dataLength_ > KeepLimit()) {
            return nullptr;
        }
        if (keep_ == nullptr) {
            keep_.reset(new (std::nothrow) uint8_t[KeepLimit()]);
        }
        return keep_.get();
    }

    void Restart() {
        window_ = windowBuffer_.get();
        windowStart_ = 0;
        windowLength_ = 0;
        input_ = 0;
        if (mode_ == ChunkCodecMode::Lzs) {
            LzsDecompressInit(lzsWork_.get());
        }
    }

    static bool Zeros(const uint8_t* from, uint32_t count) {
        return count == 0 || (from[0] == 0 && std::memcmp(from, from + 1, count - 1) == 0);
    }

    // Decodes every block as the encoders lay them out: blocks from the start
    // of the payload that produce exactly the data length, or blocks up to
    // the raw-start offset (landing on it) followed by the rest of the data
    // stored raw; behind the last byte written only zeros. Keeps the decoded
    // data when it fits.
    bool Walk() {
        uint8_t* keep = KeepBuffer();
        Restart();
        uint32_t produced = 0;
        while (input_ != rawStart_ && produced < dataLength_) {
            if (input_ >= room_ || (rawStart_ != kRawStartNone && input_ > rawStart_)) {
                return false;
            }
            uint32_t consumed = 0;
            const uint32_t out = DecodeBlock(payload_ + input_, room_ - input_, &consumed);
            if (out == 0 || consumed == 0 || consumed > room_ - input_ ||
                out > dataLength_ - produced) {
                return false;
            }
            if (keep != nullptr) {
                std::memcpy(keep + produced, windowBuffer_.get(), out);
            }
            produced += out;
            input_ += consumed;
        }
        uint32_t end = input_;
        if (rawStart_ != kRawStartNone) {
            // The raw part holds at least one byte and fits the room.
            const uint32_t raw = dataLength_ - produced;
            if (input_ != rawStart_ || raw == 0 || raw > room_ - input_) {
                return false;
            }
            if (keep != nullptr) {
                std::memcpy(keep + produced, payload_ + input_, raw);
            }
            end = input_ + raw;
        } else if (produced != dataLength_) {
            return false;
        }
        if (!Zeros(payload_ + end, room_ - end)) {
            return false;
        }
        kept_ = keep != nullptr;
        return true;
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
    std::unique_ptr<uint8_t[]> keep_;
    bool kept_ = false;
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
