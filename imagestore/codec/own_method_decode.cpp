// Decompressor of the own method: one block per call.
#include "imagestore/codec/own_method.h"
#include "imagestore/codec/own_method_format.h"
#include "include/kwbytes.h"

#include <cstring>

using namespace own_method;

namespace {

// Reads a stream of 16-bit little-endian words from the most significant bit
// on. Past the end it delivers zero bits and remembers that it did.
class WordBitReader {
public:
    WordBitReader(const uint8_t* data, size_t words) : data_(data), words_(words) {}

    // Fills the buffer to more than 48 bits.
    void Refill() {
        if (bits_ <= 48 && pos_ + 4 <= words_) {
            RefillFast();
            return;
        }
        while (bits_ <= 48) {
            uint64_t word = 0;
            if (pos_ < words_) {
                word = kwbytes::LoadLe16(data_ + 2 * pos_);
            } else {
                padding_ += 16;
            }
            ++pos_;
            buffer_ |= word << (48 - bits_);
            bits_ += 16;
        }
    }
    // The next `count` bits (at most 32) without taking them; needs Refill.
    uint32_t Peek(uint32_t count) const { return static_cast<uint32_t>(buffer_ >> (64 - count)); }
    void Skip(uint32_t count) {
        buffer_ <<= count;
        bits_ -= count;
    }
    uint32_t Take(uint32_t count) {
        if (bits_ < count) {
            Refill();
        }
        uint32_t v = Peek(count);
        Skip(count);
        return v;
    }
    // True once a bit beyond the input has been taken.
    bool Overrun() const { return padding_ > bits_; }
    // Input words up to the one holding the last bit taken.
    size_t WordsUsed() const { return pos_ - bits_ / 16; }

private:
    // Four words in one load; takes as many whole words as the buffer holds.
    void RefillFast() {
        uint64_t x;
        std::memcpy(&x, data_ + 2 * pos_, 8);
        x = __builtin_bswap64(x); // b0 b1 b2 ... from the top
        x = ((x >> 8) & 0x00FF00FF00FF00FFull) | ((x & 0x00FF00FF00FF00FFull) << 8);
        uint32_t take = (64 - bits_) / 16;
        uint32_t filled = bits_ + 16 * take;
        x >>= bits_;
        if (filled < 64) {
            x &= ~((uint64_t(1) << (64 - filled)) - 1);
        }
        buffer_ |= x;
        bits_ = filled;
        pos_ += take;
    }

    const uint8_t* data_;
    size_t words_;
    size_t pos_ = 0;
    uint64_t buffer_ = 0;
    uint32_t bits_ = 0;
    uint32_t padding_ = 0;
};

// A canonical decoding table: a direct lookup of kFastBits bits, longer codes
// by walking the lengths. Owns fixed-size arrays only.
template <uint32_t kSymbols, uint32_t kFastBits> class HuffmanDecoder {
public:
    // False when the code is not complete.
    bool Build(const uint8_t* lengths) {
        uint32_t count[kMaxCodeLength + 1] = {};
        for (uint32_t s = 0; s < kSymbols; ++s) {
            ++count[lengths[s]];
        }
        uint32_t space = 0;
        for (uint32_t len = 1; len <= kMaxCodeLength; ++len) {
            space += count[len] << (kMaxCodeLength - len);
        }
        if (space != 1u << kMaxCodeLength) {
            return false;
        }
        uint32_t code = 0;
        uint32_t index = 0;
        for (uint32_t len = 1; len <= kMaxCodeLength; ++len) {
            first_[len] = code;
            count_[len] = count[len];
            offset_[len] = index;
            index += count[len];
            code = (code + count[len]) << 1;
        }
        uint32_t next[kMaxCodeLength + 1];
        std::memcpy(next, offset_, sizeof next);
        for (uint32_t s = 0; s < kSymbols; ++s) {
            if (lengths[s] != 0) {
                sorted_[next[lengths[s]]++] = static_cast<uint16_t>(s);
            }
        }
        FillFastTable();
        return true;
    }

    // Decodes one symbol; the reader must hold at least 15 bits.
    uint32_t Decode(WordBitReader& in) const {
        uint16_t entry = fast_[in.Peek(kFastBits)];
        if (entry != 0) {
            in.Skip(entry >> 12);
            return entry & 0x0FFF;
        }
        for (uint32_t len = kFastBits + 1; len <= kMaxCodeLength; ++len) {
            uint32_t delta = in.Peek(len) - first_[len];
            if (delta < count_[len]) {
                in.Skip(len);
                return sorted_[offset_[len] + delta];
            }
        }
        return 0; // not reached for a complete code
    }

private:
    void FillFastTable() {
        std::memset(fast_, 0, sizeof fast_);
        for (uint32_t len = 1; len <= kFastBits; ++len) {
            for (uint32_t k = 0; k < count_[len]; ++k) {
                uint32_t symbol = sorted_[offset_[len] + k];
                uint32_t code = first_[len] + k;
                uint32_t span = 1u << (kFastBits - len);
                for (uint32_t e = 0; e < span; ++e) {
                    fast_[(code << (kFastBits - len)) + e] =
                        static_cast<uint16_t>(len << 12 | symbol);
                }
            }
        }
    }

    // Entry: code length in the top 4 bits, symbol below; 0 for longer codes.
    uint16_t fast_[1u << kFastBits];
    uint32_t first_[kMaxCodeLength + 1] = {};
    uint32_t count_[kMaxCodeLength + 1] = {};
    uint32_t offset_[kMaxCodeLength + 1] = {};
    uint16_t sorted_[kSymbols];
};

using PreDecoder = HuffmanDecoder<kPreSymbols, 7>;
using MainDecoder = HuffmanDecoder<kMainSymbols, 9>;

// Reads the pre-code header and lengths; false when the header is invalid.
bool ReadPreCode(WordBitReader& in, PreDecoder& pre) {
    uint8_t lengths[kPreSymbols] = {};
    uint32_t f = in.Take(3);
    uint32_t last = in.Take(5);
    if (f + 1 > last || last >= kPreSymbols) {
        return false;
    }
    lengths[0] = static_cast<uint8_t>(in.Take(4));
    for (uint32_t s = f + 1; s <= last; ++s) {
        lengths[s] = static_cast<uint8_t>(in.Take(4));
    }
    if (last != kRepeatRun) {
        for (uint32_t s = kTwoZeros; s <= kRepeatRun; ++s) {
            lengths[s] = static_cast<uint8_t>(in.Take(4));
        }
    }
    return !in.Overrun() && pre.Build(lengths);
}

// A run count: `base` plus `bits` bits; at the all-ones value further values
// of `moreBits` are added for as long as each is all ones.
uint32_t ReadRunCount(WordBitReader& in, uint32_t base, uint32_t moreBits) {
    uint32_t n = in.Take(3);
    if (n == 7) {
        uint32_t v;
        do {
            v = in.Take(moreBits);
            n += v;
        } while (v == (1u << moreBits) - 1 && n <= kMainSymbols && !in.Overrun());
    }
    return base + n;
}

// Decodes the 336 main code lengths; false on a run past the end.
bool ReadMainLengths(WordBitReader& in, const PreDecoder& pre, uint8_t* lengths) {
    uint32_t i = 0;
    int previous = -1;
    while (i < kMainSymbols) {
        in.Refill();
        if (in.Overrun()) {
            return false;
        }
        uint32_t sym = pre.Decode(in);
        uint32_t run = 1;
        int value = static_cast<int>(sym);
        if (sym >= kTwoZeros) {
            bool zeros = sym <= kZeroRun;
            value = zeros ? 0 : previous;
            run = sym == kTwoZeros       ? 2
                  : sym == kThreeZeros   ? 3
                  : sym == kZeroRun      ? ReadRunCount(in, 4, 7)
                  : sym == kRepeatTwice  ? 2
                  : sym == kRepeatThrice ? 3
                                         : ReadRunCount(in, 4, 3);
        }
        if (value < 0 || run > kMainSymbols - i) {
            return false;
        }
        std::memset(lengths + i, value, run);
        i += run;
        previous = value;
    }
    return true;
}

// Output side of a block: bytes produced and the limit they must stay under.
struct Output {
    uint8_t* dest;
    size_t produced;
    size_t limit;
};

bool CopyMatch(Output& out, uint32_t length, uint32_t distance) {
    if (distance > out.produced || length > out.limit - out.produced) {
        return false;
    }
    uint8_t* to = out.dest + out.produced;
    if (distance == 1) {
        std::memset(to, to[-1], length);
    } else {
        // A short distance repeats a pattern: the same bytes lie a whole
        // number of periods back, at least 8 bytes away.
        uint32_t step = distance >= 8 ? distance : distance * ((8 + distance - 1) / distance);
        uint32_t i = 0;
        for (; i < length && i < step - distance; ++i) {
            to[i] = (to - distance)[i];
        }
        // Whole words from here; the output margin absorbs the overshoot.
        for (; i < length; i += 8) {
            std::memcpy(to + i, to + i - step, 8);
        }
    }
    out.produced += length;
    return true;
}

uint32_t ReadLongLength(WordBitReader& in) {
    uint32_t length = 21;
    static constexpr uint8_t kExtensionBits[] = {4, 8, 12, 16};
    for (uint8_t bits : kExtensionBits) {
        uint32_t v = in.Take(bits);
        length += v;
        if (v != (1u << bits) - 1) {
            break;
        }
    }
    return length;
}

// Decodes a match symbol's length and distance (the symbol is 256 to 334).
void ReadMatch(WordBitReader& in, uint32_t sym, uint32_t* length, uint32_t* distance) {
    if (sym < kFirstGroupMatch) {
        uint32_t i = sym - kFirstShortMatch;
        *length = 3 + i % 3;
        *distance = 1 + i / 3;
    } else if (sym < kFirstLongMatch) {
        uint32_t i = sym - kFirstGroupMatch;
        *length = 3 + (i % 6) % 3;
        *distance = GroupBase(i) + in.Take(GroupExtraBits(i));
    } else {
        uint32_t form = in.Take(2);
        *distance = kLongDistanceBase[form] + in.Take(kLongDistanceBits[form]);
        *length = sym - kFirstLongMatch + 6;
        if (*length == 21) {
            *length = ReadLongLength(in);
        }
    }
}

bool DecodeSymbols(WordBitReader& in, const MainDecoder& main, Output& out) {
    for (;;) {
        in.Refill();
        if (in.Overrun()) {
            return false;
        }
        uint32_t sym = main.Decode(in);
        if (sym < 256) {
            if (out.produced >= out.limit) {
                return false;
            }
            out.dest[out.produced++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == kEndSymbol) {
            return !in.Overrun();
        }
        uint32_t length = 0;
        uint32_t distance = 0;
        ReadMatch(in, sym, &length, &distance);
        if (!CopyMatch(out, length, distance)) {
            return false;
        }
    }
}

// Working storage of one decompression call.
struct DecodeTables {
    PreDecoder pre;
    MainDecoder main;
    uint8_t lengths[kMainSymbols];
};

} // namespace

uint32_t OwnMethodDecompress(const uint8_t* source, size_t available, uint8_t* dest, size_t room,
                             size_t* consumed) {
    if (consumed != nullptr) {
        *consumed = 0;
    }
    if (source == nullptr || available < 2 || source[0] != (kBlockMagic & 0xFF) ||
        source[1] != (kBlockMagic >> 8)) {
        return 0;
    }
    WordBitReader in(source + 2, (available - 2) / 2);
    DecodeTables tables;
    in.Refill();
    if (!ReadPreCode(in, tables.pre) || !ReadMainLengths(in, tables.pre, tables.lengths) ||
        !tables.main.Build(tables.lengths)) {
        return 0;
    }
    Output out{dest, 0, room > kOwnMethodOutputMargin ? room - kOwnMethodOutputMargin : 0};
    if (!DecodeSymbols(in, tables.main, out)) {
        return 0;
    }
    if (consumed != nullptr) {
        *consumed = 2 + 2 * in.WordsUsed();
    }
    return static_cast<uint32_t>(out.produced);
}
