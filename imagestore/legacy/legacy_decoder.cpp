#include "imagestore/legacy/legacy_decoder.h"

#include "imagestore/codec/lzs.h"
#include "imagestore/codec/own_method.h"
#include "imagestore/codec/own_method_format.h"
#include "imagestore/legacy/legacy_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace kw::legacy {

struct LegacyDecoder::Inflate {
    z_stream z{};
    bool ready = false;
    bool ended = false;
    uint64_t fed = 0; // stored-data position after the bytes given to zlib
    ~Inflate() {
        if (ready)
            inflateEnd(&z);
    }
};

DecoderKind decoderKindFor(uint32_t code) {
    if (code >= 1 && code <= 8)
        return DecoderKind::Zlib;
    if (code >= 100 && code <= 105)
        return DecoderKind::LzsHistory;
    if (code >= 200 && code <= 209)
        return DecoderKind::OwnMethod;
    if (code >= 300 && code <= 305)
        return DecoderKind::LzsFresh;
    return DecoderKind::None;
}

bool isKnownCode(uint32_t code) {
    return code == 0 || decoderKindFor(code) != DecoderKind::None;
}

bool DecoderBuffer::grow(size_t n) {
    if (n <= size_)
        return true;
    std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[n]);
    if (!bigger)
        return false;
    if (size_ != 0)
        std::memcpy(bigger.get(), bytes_.get(), size_);
    bytes_ = std::move(bigger);
    size_ = n;
    return true;
}

static bool resizeNoThrow(std::vector<uint8_t>& v, size_t n) {
    try {
        v.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

LegacyDecoder::LegacyDecoder(DecoderKind kind) : kind_(kind) {}
LegacyDecoder::~LegacyDecoder() = default;

static bool isLzs(DecoderKind k) {
    return k == DecoderKind::LzsHistory || k == DecoderKind::LzsFresh;
}

int LegacyDecoder::setUp() {
    if (setUp_)
        return kwv::kStoreOk;
    if (kind_ == DecoderKind::Zlib) {
        inflate_ = std::unique_ptr<Inflate>(new (std::nothrow) Inflate);
        if (!inflate_ || !input_.grow(kZlibInput))
            return kwv::kStoreOutOfMemory;
        if (inflateInit(&inflate_->z) != Z_OK)
            return kwv::kStoreOutOfMemory;
        inflate_->ready = true;
        inflate_->fed = position_;
    } else if (isLzs(kind_)) {
        if (!resizeNoThrow(work_, kLzsDecompressWorkSize) ||
            !resizeNoThrow(workCopy_, kLzsDecompressWorkSize))
            return kwv::kStoreOutOfMemory;
        LzsDecompressInit(work_.data());
    }
    setUp_ = true;
    return kwv::kStoreOk;
}

uint32_t LegacyDecoder::StateSize() const {
    return kind_ == DecoderKind::LzsHistory ? kLzsDecompressWorkSize : 0;
}

int LegacyDecoder::SaveState(void* buffer) {
    if (buffer == nullptr || StateSize() == 0)
        return kwv::kStoreOk;
    if (int r = setUp())
        return r;
    std::memcpy(buffer, work_.data(), work_.size());
    return kwv::kStoreOk;
}

int LegacyDecoder::RestoreState(const void* buffer) {
    if (buffer == nullptr || StateSize() == 0)
        return kwv::kStoreOk;
    if (int r = setUp())
        return r;
    uint8_t own[4];
    std::memcpy(own, work_.data() + 8, 4); // the area's third word stays its own
    std::memcpy(work_.data(), buffer, work_.size());
    std::memcpy(work_.data() + 8, own, 4);
    return kwv::kStoreOk;
}

void LegacyDecoder::dropBuffers() {
    input_.clear();
    output_.clear();
    inputCount_ = pendingStart_ = pendingCount_ = 0;
}

void LegacyDecoder::FreeBuffers() {
    dropBuffers();
    usable_ = false;
}

void LegacyDecoder::Seek(uint64_t offset) {
    position_ = offset;
    inputCount_ = pendingStart_ = pendingCount_ = 0;
    finalPiece_ = false;
    usable_ = true;
    if (kind_ == DecoderKind::Zlib) {
        // A zlib stream can only be resumed from its start; anywhere else the
        // next read finds no stream header and fails.
        inflate_.reset();
        setUp_ = false;
        input_.clear();
        return;
    }
    if (offset == 0 && isLzs(kind_) && setUp_)
        LzsDecompressInit(work_.data());
}

size_t LegacyDecoder::deliver(uint8_t* out, size_t len) {
    size_t n = std::min(len, pendingCount_);
    if (out != nullptr && n != 0)
        std::memcpy(out, output_.data() + pendingStart_, n);
    pendingStart_ += n;
    pendingCount_ -= n;
    if (pendingCount_ == 0)
        pendingStart_ = 0;
    return n;
}

int LegacyDecoder::Read(StoredSource& source, uint8_t* out, size_t len, size_t* got) {
    *got = 0;
    if (!usable_)
        return kwv::kStoreDecompress;
    if (int r = setUp()) {
        usable_ = false;
        return r;
    }
    int r = kind_ == DecoderKind::Zlib ? readZlib(source, out, len, got)
                                       : readBlocks(source, out, len, got);
    if (r != kwv::kStoreOk) {
        dropBuffers();
        usable_ = false;
    }
    return r;
}

int LegacyDecoder::readZlib(StoredSource& source, uint8_t* out, size_t len, size_t* got) {
    Inflate& f = *inflate_;
    if (f.ended || len == 0)
        return kwv::kStoreOk;
    f.z.next_out = out;
    f.z.avail_out = uInt(len);
    int result = kwv::kStoreOk;
    while (f.z.avail_out > 0) {
        if (f.z.avail_in == 0) {
            size_t n = 0;
            if (int r = source.ReadStored(input_.data(), input_.size(), &n)) {
                result = r;
                break;
            }
            f.fed += n;
            f.z.next_in = input_.data();
            f.z.avail_in = uInt(n);
        }
        bool last = f.z.avail_in == 0;
        int z = inflate(&f.z, last ? Z_FINISH : Z_NO_FLUSH);
        if (z == Z_STREAM_END) {
            f.ended = true;
            break;
        }
        // Z_BUF_ERROR only says no progress was possible: it is a failure only
        // when the stored data has ended without the end of the stream.
        if ((z != Z_OK && z != Z_BUF_ERROR) || last) {
            result = kwv::kStoreDecompress;
            break;
        }
    }
    *got = len - f.z.avail_out;
    position_ = f.fed - f.z.avail_in;
    return result;
}

int LegacyDecoder::fillInput(StoredSource& source, size_t want) {
    if (!input_.grow(kInputCapacity))
        return kwv::kStoreOutOfMemory;
    size_t room = std::min(want, kInputCapacity - inputCount_);
    size_t n = 0;
    if (room != 0)
        if (int r = source.ReadStored(input_.data() + inputCount_, room, &n))
            return r;
    inputCount_ += n;
    finalPiece_ = source.StoredLeft() == 0;
    return kwv::kStoreOk;
}

int LegacyDecoder::growOutput() {
    size_t size = output_.empty() ? 2 * kOutputUnit : output_.size() * 2;
    if (size > kMaxOutput)
        return kwv::kStoreDecompress; // no block of this format decodes to that much
    return output_.grow(size) ? kwv::kStoreOk : kwv::kStoreNoMemory;
}

// Decodes the block at the start of the input into the output behind the
// pending bytes. Returns true with the block's sizes, or false with the
// decoder's status (kLzs* bits; 0 for an invalid own-method block).
bool LegacyDecoder::tryBlock(uint32_t* status, size_t* consumed, size_t* produced) {
    uint8_t* dest = output_.data() + pendingCount_;
    size_t room = output_.size() - pendingCount_;
    if (kind_ == DecoderKind::OwnMethod) {
        *produced = OwnMethodDecompress(input_.data(), inputCount_, dest, room, consumed);
        *status = *produced != 0 ? kLzsEndMarker : 0;
        return *produced != 0;
    }
    if (kind_ == DecoderKind::LzsFresh)
        LzsDecompressInit(work_.data());
    else
        std::memcpy(workCopy_.data(), work_.data(), work_.size());
    uint32_t src = uint32_t(inputCount_);
    uint32_t dst = uint32_t(std::min<size_t>(room, UINT32_MAX));
    *status = LzsDecompress(input_.data(), &src, dest, &dst, work_.data(), 0);
    *consumed = src;
    *produced = dst;
    if (*status == kLzsEndMarker)
        return true;
    if (kind_ == DecoderKind::LzsHistory)
        std::memcpy(work_.data(), workCopy_.data(), work_.size());
    return false;
}

// Decodes one block, reading more input or growing the output while the
// block does not fit. Data that ends inside a block fails with 1807.
int LegacyDecoder::decodeBlock(StoredSource& source) {
    if (pendingStart_ != 0) {
        std::memmove(output_.data(), output_.data() + pendingStart_, pendingCount_);
        pendingStart_ = 0;
    }
    for (;;) {
        if (output_.size() - pendingCount_ < kOutputUnit)
            if (int r = growOutput())
                return r;
        uint32_t status = 0;
        size_t consumed = 0, produced = 0;
        if (tryBlock(&status, &consumed, &produced)) {
            consumed = std::min(consumed, inputCount_);
            std::memmove(input_.data(), input_.data() + consumed, inputCount_ - consumed);
            inputCount_ -= consumed;
            position_ += consumed;
            pendingCount_ += produced;
            return kwv::kStoreOk;
        }
        bool own = kind_ == DecoderKind::OwnMethod;
        if (!own && (status & kLzsInvalidData) == kLzsInvalidData)
            return kwv::kStoreDecompress;
        // An own-method block that does not start with its word is invalid
        // whatever the room: fail now rather than grow the output to its limit.
        if (own && inputCount_ >= 2 &&
            (input_.data()[0] != (own_method::kBlockMagic & 0xFF) ||
             input_.data()[1] != (own_method::kBlockMagic >> 8)))
            return kwv::kStoreDecompress;
        // The own method does not say why a block failed: try more input
        // first, then more output room.
        bool needInput = own || (status & kLzsSourceExhausted) != 0;
        if (needInput && !finalPiece_ && inputCount_ < kInputCapacity) {
            if (int r = fillInput(source, kInputCapacity))
                return r;
            continue;
        }
        bool outputFull = own || (status & kLzsDestinationFull) != 0;
        if (outputFull && output_.size() < kMaxOutput) {
            if (int r = growOutput())
                return r;
            continue;
        }
        return kwv::kStoreDecompress;
    }
}

int LegacyDecoder::readBlocks(StoredSource& source, uint8_t* out, size_t len, size_t* got) {
    size_t done = deliver(out, len);
    while (done < len) {
        if (inputCount_ < kInputPiece && !finalPiece_)
            if (int r = fillInput(source, kInputPiece)) {
                *got = done;
                return r;
            }
        if (inputCount_ == 0)
            break; // end of the stored data
        if (int r = decodeBlock(source)) {
            *got = done;
            return r;
        }
        done += deliver(out == nullptr ? nullptr : out + done, len - done);
    }
    *got = done;
    return kwv::kStoreOk;
}

} // namespace kw::legacy
