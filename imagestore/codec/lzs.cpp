// LZS compressor and decompressor (ANSI X3.241 stream format).
#include "imagestore/codec/lzs.h"

#include "imagestore/codec/byte_order.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMaxOffset = 2047;
constexpr uint32_t kHistorySize = 2048;

// Decompressor work area: word 0 the history length, word 2 reserved for the
// caller, the history (oldest byte first) from byte 32.
constexpr size_t kHistoryLengthAt = 0;
constexpr size_t kHistoryAt = 32;
static_assert(kHistoryAt + kHistorySize <= kLzsDecompressWorkSize);

// Compressor work area: 2,048 hash heads (32-bit positions, -1 for none) and
// 2,048 links (16-bit distance back to the previous position of the same
// hash, 0 for none), indexed by position mod 2,048.
constexpr uint32_t kHashBits = 11;
constexpr uint32_t kHeads = 1u << kHashBits;
constexpr uint32_t kMaxChain = 8;
constexpr uint32_t kGoodLength = 32;
static_assert(kHeads * 4 + kHistorySize * 2 <= kLzsCompressWorkSize);

// Reads bits from the most significant bit of each byte on.
class BitReader {
public:
    BitReader(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}

    // Takes `count` bits (1 to 32); false when the input ends first.
    bool Take(uint32_t count, uint32_t* value) {
        if (bits_ < count) {
            Refill();
            if (bits_ < count) {
                return false;
            }
        }
        *value = static_cast<uint32_t>(buffer_ >> (64 - count));
        buffer_ <<= count;
        bits_ -= count;
        return true;
    }
    // Drops the rest of the current byte.
    void Align() {
        uint32_t drop = bits_ & 7;
        buffer_ <<= drop;
        bits_ -= drop;
    }
    // Bytes used so far (a partly used byte counts).
    uint32_t Consumed() const { return pos_ - bits_ / 8; }

private:
    void Refill() {
        while (bits_ <= 56 && pos_ < size_) {
            buffer_ |= uint64_t(data_[pos_++]) << (56 - bits_);
            bits_ += 8;
        }
    }

    const uint8_t* data_;
    uint32_t size_;
    uint32_t pos_ = 0;
    uint64_t buffer_ = 0;
    uint32_t bits_ = 0;
};

// Reads a match length (2 and more); false when the input ends.
bool ReadLength(BitReader& in, uint32_t limit, uint32_t* length) {
    uint32_t v = 0;
    if (!in.Take(2, &v)) {
        return false;
    }
    if (v < 3) {
        *length = 2 + v;
        return true;
    }
    if (!in.Take(2, &v)) {
        return false;
    }
    if (v < 3) {
        *length = 5 + v;
        return true;
    }
    uint32_t total = 8;
    do {
        if (!in.Take(4, &v)) {
            return false;
        }
        total += v;
    } while (v == 15 && total <= limit);
    *length = total;
    return true;
}

// Where a decoding call stands.
struct DecodeState {
    uint8_t* dest;
    uint32_t room;
    uint32_t produced = 0;
    const uint8_t* history;
    uint32_t historyLength;
};

// Copies a match that is known to lie within the history and the output.
void CopyMatch(DecodeState& s, uint32_t offset, uint32_t length) {
    uint8_t* out = s.dest + s.produced;
    if (offset <= s.produced) {
        const uint8_t* from = out - offset;
        if (offset >= length) {
            std::memcpy(out, from, length);
        } else {
            for (uint32_t i = 0; i < length; ++i) {
                out[i] = from[i];
            }
        }
    } else {
        // The match starts in the history kept from earlier blocks.
        const uint8_t* historyEnd = s.history + s.historyLength;
        for (uint32_t i = 0; i < length; ++i) {
            int64_t from = int64_t(s.produced) + i - offset;
            out[i] = from < 0 ? historyEnd[from] : s.dest[from];
        }
    }
    s.produced += length;
}

uint32_t DecodeItems(BitReader& in, DecodeState& s) {
    for (;;) {
        uint32_t flag = 0;
        uint32_t v = 0;
        if (!in.Take(1, &flag)) {
            return kLzsSourceExhausted;
        }
        if (flag == 0) {
            if (!in.Take(8, &v)) {
                return kLzsSourceExhausted;
            }
            if (s.produced == s.room) {
                return kLzsDestinationFull;
            }
            s.dest[s.produced++] = static_cast<uint8_t>(v);
            continue;
        }
        uint32_t form = 0;
        if (!in.Take(1, &form) || !in.Take(form ? 7 : 11, &v)) {
            return kLzsSourceExhausted;
        }
        if (v == 0) {
            if (form) {
                return kLzsEndMarker;
            }
            return kLzsInvalidData;
        }
        uint32_t length = 0;
        if (!ReadLength(in, s.room, &length)) {
            return kLzsSourceExhausted;
        }
        if (v > s.produced + s.historyLength) {
            return kLzsInvalidData;
        }
        if (length > s.room - s.produced) {
            return kLzsDestinationFull;
        }
        CopyMatch(s, v, length);
    }
}

// Keeps the last kHistorySize bytes of history + output in the work area.
void UpdateHistory(uint8_t* work, const uint8_t* out, uint32_t produced) {
    if (produced == 0) {
        return;
    }
    uint8_t* history = work + kHistoryAt;
    uint32_t length = std::min(kwbytes::LoadLe32(work + kHistoryLengthAt), kHistorySize);
    if (produced >= kHistorySize) {
        std::memcpy(history, out + produced - kHistorySize, kHistorySize);
        length = kHistorySize;
    } else {
        uint32_t keep = std::min(length, kHistorySize - produced);
        std::memmove(history, history + length - keep, keep);
        std::memcpy(history + keep, out, produced);
        length = keep + produced;
    }
    kwbytes::StoreLe32(work + kHistoryLengthAt, length);
}

// Writes bits from the most significant end, refusing to pass the room.
class BitWriter {
public:
    BitWriter(uint8_t* dest, uint32_t room) : dest_(dest), room_(room) {}

    void Put(uint32_t value, uint32_t count) {
        buffer_ = (buffer_ << count) | value;
        bits_ += count;
        if (bits_ >= 32) {
            Flush();
        }
    }
    // Writes out everything, the last byte padded with zero bits.
    void Finish() {
        uint32_t pad = (8 - (bits_ & 7)) & 7;
        buffer_ <<= pad;
        bits_ += pad;
        Flush();
    }
    bool Overflowed() const { return overflow_; }
    uint32_t Size() const { return pos_; }

private:
    // Writes out the whole bytes held.
    void Flush() {
        while (bits_ >= 8) {
            if (pos_ == room_) {
                overflow_ = true;
                bits_ = 0;
                return;
            }
            bits_ -= 8;
            dest_[pos_++] = static_cast<uint8_t>(buffer_ >> bits_);
        }
    }

    uint8_t* dest_;
    uint32_t room_;
    uint32_t pos_ = 0;
    uint64_t buffer_ = 0;
    uint32_t bits_ = 0;
    bool overflow_ = false;
};

void PutLength(BitWriter& out, uint32_t length) {
    static constexpr uint8_t kShortCodes[] = {0, 1, 2, 0xC, 0xD, 0xE};
    if (length < 5) {
        out.Put(kShortCodes[length - 2], 2);
        return;
    }
    if (length < 8) {
        out.Put(kShortCodes[length - 2], 4);
        return;
    }
    out.Put(0xF, 4);
    uint32_t rest = length - 8;
    while (rest >= 15) {
        out.Put(0xF, 4);
        rest -= 15;
    }
    out.Put(rest, 4);
}

void PutMatch(BitWriter& out, uint32_t offset, uint32_t length) {
    if (offset < 128) {
        out.Put(0x180 | offset, 9);
    } else {
        out.Put(0x1000 | offset, 13);
    }
    PutLength(out, length);
}

inline uint32_t Hash3(const uint8_t* p) {
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
}

// The hash chains of one block, over the caller's work area.
class MatchFinder {
public:
    MatchFinder(void* work, const uint8_t* data, uint32_t size)
        : heads_(static_cast<int32_t*>(work)), links_(reinterpret_cast<uint16_t*>(heads_ + kHeads)),
          data_(data), size_(size) {
        std::fill(heads_, heads_ + kHeads, -1);
    }

    void Insert(uint32_t pos) { Link(pos, Hash3(data_ + pos)); }

    // Inserts `pos` and returns its longest earlier match (length 0 when none).
    uint32_t InsertAndFind(uint32_t pos, uint32_t* offset) {
        int32_t candidate = Link(pos, Hash3(data_ + pos));
        uint32_t limit = size_ - pos;
        uint32_t best = 0;
        for (uint32_t depth = 0; depth < kMaxChain && candidate >= 0; ++depth) {
            uint32_t back = pos - static_cast<uint32_t>(candidate);
            if (back > kMaxOffset) {
                break;
            }
            const uint8_t* from = data_ + candidate;
            if (from[best] == data_[pos + best]) {
                uint32_t length = CommonPrefix(from, data_ + pos, limit);
                if (length > best) {
                    best = length;
                    *offset = back;
                    if (length >= kGoodLength || length == limit) {
                        break;
                    }
                }
            }
            uint16_t step = links_[candidate & (kHistorySize - 1)];
            candidate = step == 0 ? -1 : candidate - step;
        }
        return best >= 3 ? best : 0;
    }

private:
    int32_t Link(uint32_t pos, uint32_t hash) {
        int32_t previous = heads_[hash];
        uint32_t back = previous >= 0 ? pos - static_cast<uint32_t>(previous) : 0;
        links_[pos & (kHistorySize - 1)] = back <= kMaxOffset ? static_cast<uint16_t>(back) : 0;
        heads_[hash] = static_cast<int32_t>(pos);
        return previous;
    }

    int32_t* heads_;
    uint16_t* links_;
    const uint8_t* data_;
    uint32_t size_;
};

} // namespace

uint32_t LzsCompressWorkSize() {
    return kLzsCompressWorkSize;
}

void LzsCompressInit(void* work) {
    std::memset(work, 0, kLzsCompressWorkSize);
}

uint32_t LzsCompress(const uint8_t* source, uint32_t* sourceCount, uint8_t* dest,
                     uint32_t* destCount, void* work, uint32_t) {
    uint32_t size = *sourceCount;
    BitWriter out(dest, *destCount);
    MatchFinder finder(work, source, size);
    uint32_t pos = 0;
    while (pos + 2 < size && !out.Overflowed()) {
        uint32_t offset = 0;
        uint32_t length = finder.InsertAndFind(pos, &offset);
        if (length == 0) {
            out.Put(source[pos++], 9);
            continue;
        }
        PutMatch(out, offset, length);
        // Positions inside a long match are mostly repeats of what the chains
        // already hold: only its last ones are inserted.
        uint32_t end = pos + length;
        pos = length > kGoodLength ? end - 2 : pos + 1;
        for (; pos < end && pos + 2 < size; ++pos) {
            finder.Insert(pos);
        }
        pos = end;
    }
    for (; pos < size; ++pos) {
        out.Put(source[pos], 9);
    }
    out.Put(0x180, 9);
    out.Finish();
    if (out.Overflowed()) {
        *destCount = 0;
        return kLzsDestinationFull;
    }
    *destCount = out.Size();
    return kLzsEndMarker;
}

uint32_t LzsDecompressWorkSize() {
    return kLzsDecompressWorkSize;
}

void LzsDecompressInit(void* work) {
    uint8_t* area = static_cast<uint8_t*>(work);
    std::memset(area, 0, kLzsDecompressWorkSize);
}

uint32_t LzsDecompress(const uint8_t* source, uint32_t* sourceCount, uint8_t* dest,
                       uint32_t* destCount, void* work, uint32_t) {
    uint8_t* area = static_cast<uint8_t*>(work);
    BitReader in(source, *sourceCount);
    // The work area may come from a saved copy: never trust its length.
    uint32_t historyLength = std::min(kwbytes::LoadLe32(area + kHistoryLengthAt), kHistorySize);
    DecodeState state{dest, *destCount, 0, area + kHistoryAt, historyLength};
    uint32_t status = DecodeItems(in, state);
    if (status == kLzsEndMarker) {
        in.Align();
    }
    *sourceCount = in.Consumed();
    *destCount = state.produced;
    UpdateHistory(area, dest, state.produced);
    return status;
}
