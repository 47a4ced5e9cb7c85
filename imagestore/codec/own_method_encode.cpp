// Compressor of the own method. Deterministic: a greedy hash-chain parse with
// fixed rules, code lengths with fixed tie rules, a fixed pre-code header.
#include "imagestore/codec/byte_order.h"
#include "imagestore/codec/huffman_lengths.h"
#include "imagestore/codec/own_method.h"
#include "imagestore/codec/own_method_format.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace own_method;

namespace {

constexpr uint32_t kHashHeads = 1024;
constexpr uint32_t kLinks = 2048;
constexpr int32_t kNone = -1;

// A parsed item: a literal byte, or a match (flag bit 31, length in bits 12
// to 28, distance in bits 0 to 11).
constexpr uint32_t kMatchFlag = 0x80000000u;
inline uint32_t MatchToken(uint32_t length, uint32_t distance) {
    return kMatchFlag | length << 12 | distance;
}

inline uint32_t Hash(const uint8_t* p) {
    return (uint32_t(p[0]) + 256u * p[1] + 4u * p[2]) % kHashHeads;
}

// Writes 16-bit little-endian words, most significant bit first; refuses to
// pass the room.
class WordBitWriter {
public:
    WordBitWriter(uint8_t* dest, size_t room) : dest_(dest), room_(room) {}

    void Put(uint32_t value, uint32_t count) {
        buffer_ = (buffer_ << count) | value;
        bits_ += count;
        while (bits_ >= 16) {
            bits_ -= 16;
            PutWord(static_cast<uint16_t>(buffer_ >> bits_));
        }
    }
    void Finish() {
        if (bits_ > 0) {
            PutWord(static_cast<uint16_t>(buffer_ << (16 - bits_)));
            bits_ = 0;
        }
    }
    bool Overflowed() const { return overflow_; }
    size_t Size() const { return pos_; }
    void PutWord(uint16_t word) {
        if (room_ - pos_ < 2) {
            overflow_ = true;
            return;
        }
        kwbytes::StoreLe16(dest_ + pos_, word);
        pos_ += 2;
    }

private:
    uint8_t* dest_;
    size_t room_;
    size_t pos_ = 0;
    uint64_t buffer_ = 0;
    uint32_t bits_ = 0;
    bool overflow_ = false;
};

// One pre-code item: a symbol, or (symbol kRawBits) plain extra bits.
struct PreItem {
    uint8_t symbol;
    uint8_t bits;
    uint16_t value;
};
constexpr uint8_t kRawBits = 0xFF;
// Room for the pre-coded lengths: at most a few items per main symbol.
constexpr uint32_t kMaxPreItems = 4 * kMainSymbols;

} // namespace

// Working memory of the compressor.
struct OwnMethodWork {
    int32_t heads[kHashHeads];
    int32_t links[kLinks];
    uint32_t counts[kMainSymbols];
    uint8_t mainLengths[kMainSymbols];
    uint16_t mainCodes[kMainSymbols];
    uint32_t preCounts[kPreSymbols];
    uint8_t preLengths[kPreSymbols];
    uint16_t preCodes[kPreSymbols];
    PreItem preItems[kMaxPreItems];
    uint32_t preItemCount;
    uint32_t* tokens = nullptr;
    size_t tokenCapacity = 0;
    size_t tokenCount = 0;

    ~OwnMethodWork() { delete[] tokens; }
    bool Reserve(size_t count) {
        if (count <= tokenCapacity) {
            return true;
        }
        delete[] tokens;
        tokens = new (std::nothrow) uint32_t[count];
        tokenCapacity = tokens != nullptr ? count : 0;
        return tokens != nullptr;
    }
};

namespace {

// The search settings a parameter gives.
struct SearchSettings {
    uint32_t depth;
    uint32_t inserts;
};

SearchSettings SettingsFor(uint32_t parameter) {
    uint32_t shift = (parameter >> 2) & 7;
    uint32_t depth = ((2u << shift) | (2u >> (8 - shift))) & 0xFF;
    return {depth, ((parameter >> 5) + 1) & 15};
}

// The greedy parse over one block. Borrows the work area.
class Parser {
public:
    Parser(OwnMethodWork& w, const uint8_t* data, size_t size, SearchSettings settings)
        : w_(w), data_(data), size_(size), settings_(settings) {
        std::fill(w.heads, w.heads + kHashHeads, kNone);
        std::fill(w.counts, w.counts + kMainSymbols, 0u);
        w.tokenCount = 0;
    }

    void Run() {
        size_t pos = 0;
        while (pos < size_) {
            uint32_t distance = 0;
            uint32_t length = pos + 2 < size_ ? InsertAndSearch(pos, &distance) : 0;
            if (length == 0) {
                AddLiteral(data_[pos++]);
                continue;
            }
            AddMatch(length, distance);
            uint32_t inserts = std::min(settings_.inserts, length - 1);
            for (size_t q = pos + length - inserts; q < pos + length; ++q) {
                if (q + 2 < size_) {
                    Insert(q);
                }
            }
            pos += length;
        }
        ++w_.counts[kEndSymbol];
    }

private:
    int32_t Insert(size_t pos) {
        uint32_t h = Hash(data_ + pos);
        int32_t previous = w_.heads[h];
        w_.links[pos % kLinks] = previous;
        w_.heads[h] = static_cast<int32_t>(pos);
        return previous;
    }

    uint32_t InsertAndSearch(size_t pos, uint32_t* bestDistance) {
        int32_t candidate = Insert(pos);
        size_t limit = std::min<size_t>(size_ - pos, kMaxMatchLength);
        uint32_t best = 0;
        for (uint32_t examined = 0; candidate != kNone;) {
            size_t back = pos - static_cast<size_t>(candidate);
            if (back > kMaxDistance) {
                break;
            }
            ++examined;
            const uint8_t* from = data_ + candidate;
            // A candidate that differs at byte `best` cannot be longer.
            if (best < limit && from[best] == data_[pos + best] && from[0] == data_[pos] &&
                from[1] == data_[pos + 1]) {
                uint32_t length =
                    2 + CommonPrefix(from + 2, data_ + pos + 2, static_cast<uint32_t>(limit - 2));
                if (length > best && (length >= 6 || back <= kMaxShortDistance)) {
                    best = length;
                    *bestDistance = static_cast<uint32_t>(back);
                }
            }
            if (back >= kLinks || examined == settings_.depth) {
                break;
            }
            candidate = w_.links[candidate % kLinks];
        }
        return best;
    }

    void AddLiteral(uint8_t byte) {
        w_.tokens[w_.tokenCount++] = byte;
        ++w_.counts[byte];
    }

    void AddMatch(uint32_t length, uint32_t distance);

    OwnMethodWork& w_;
    const uint8_t* data_;
    size_t size_;
    SearchSettings settings_;
};

// The symbol of a match and its extra bits (distance bits, then for long
// matches the length extension, written separately).
struct MatchCode {
    uint32_t symbol;
    uint32_t extra;
    uint32_t extraBits;
};

MatchCode CodeMatch(uint32_t length, uint32_t distance) {
    if (length >= 6) {
        uint32_t form = distance <= 32 ? 0 : distance <= 160 ? 1 : distance <= 672 ? 2 : 3;
        uint32_t symbol = kFirstLongMatch + std::min(length, 21u) - 6;
        uint32_t bits = kLongDistanceBits[form];
        return {symbol, form << bits | (distance - kLongDistanceBase[form]), bits + 2};
    }
    if (distance <= 3) {
        return {kFirstShortMatch + (distance - 1) * 3 + (length - 3), 0, 0};
    }
    uint32_t g = 31 - __builtin_clz(distance) - 2; // distance in [2^(g+2), 2^(g+3))
    uint32_t j = length - 3;
    uint32_t base = 1u << (g + 2);
    if (distance >= 3u << (g + 1)) {
        j += 3;
        base = 3u << (g + 1);
    }
    return {kFirstGroupMatch + 6 * g + j, distance - base, g + 1};
}

void Parser::AddMatch(uint32_t length, uint32_t distance) {
    w_.tokens[w_.tokenCount++] = MatchToken(length, distance);
    ++w_.counts[CodeMatch(length, distance).symbol];
}

void PutLengthExtension(WordBitWriter& out, uint32_t length) {
    uint32_t rest = length - 21;
    static constexpr uint8_t kBits[] = {4, 8, 12, 16};
    for (uint8_t bits : kBits) {
        uint32_t all = (1u << bits) - 1;
        if (rest < all || bits == 16) {
            out.Put(rest, bits);
            return;
        }
        out.Put(all, bits);
        rest -= all;
    }
}

// Run-length codes the main lengths into pre-code items and counts them.
void CodeMainLengths(OwnMethodWork& w) {
    w.preItemCount = 0;
    std::fill(w.preCounts, w.preCounts + kPreSymbols, 0u);
    auto symbol = [&w](uint32_t s) {
        w.preItems[w.preItemCount++] = PreItem{static_cast<uint8_t>(s), 0, 0};
        ++w.preCounts[s];
    };
    auto raw = [&w](uint32_t value, uint32_t bits) {
        w.preItems[w.preItemCount++] =
            PreItem{kRawBits, static_cast<uint8_t>(bits), static_cast<uint16_t>(value)};
    };
    // A run count in `bits` bits with all-ones continuation values.
    auto count = [&raw](uint32_t n, uint32_t moreBits) {
        if (n < 7) {
            raw(n, 3);
            return;
        }
        raw(7, 3);
        uint32_t all = (1u << moreBits) - 1;
        for (n -= 7; n >= all; n -= all) {
            raw(all, moreBits);
        }
        raw(n, moreBits);
    };
    for (uint32_t i = 0; i < kMainSymbols;) {
        uint8_t value = w.mainLengths[i];
        uint32_t run = 1;
        while (i + run < kMainSymbols && w.mainLengths[i + run] == value) {
            ++run;
        }
        i += run;
        if (value == 0 && run >= 2) {
            symbol(run == 2 ? kTwoZeros : run == 3 ? kThreeZeros : kZeroRun);
            if (run >= 4) {
                count(run - 4, 7);
            }
            continue;
        }
        symbol(value);
        if (run == 2) {
            symbol(value);
        } else if (run == 3 || run == 4) {
            symbol(run == 3 ? kRepeatTwice : kRepeatThrice);
        } else if (run >= 5) {
            symbol(kRepeatRun);
            count(run - 5, 3);
        }
    }
}

void WritePreCode(WordBitWriter& out, const OwnMethodWork& w) {
    uint32_t first = 8;
    for (uint32_t s = 1; s < 8; ++s) {
        if (w.preLengths[s] != 0) {
            first = s;
            break;
        }
    }
    uint32_t last = 0;
    for (uint32_t s = 0; s < 16; ++s) {
        if (w.preLengths[s] != 0) {
            last = s;
        }
    }
    out.Put(first - 1, 3);
    out.Put(last, 5);
    out.Put(w.preLengths[0], 4);
    for (uint32_t s = first; s <= last; ++s) {
        out.Put(w.preLengths[s], 4);
    }
    for (uint32_t s = kTwoZeros; s <= kRepeatRun; ++s) {
        out.Put(w.preLengths[s], 4);
    }
    for (uint32_t k = 0; k < w.preItemCount; ++k) {
        const PreItem& item = w.preItems[k];
        if (item.symbol == kRawBits) {
            out.Put(item.value, item.bits);
        } else {
            out.Put(w.preCodes[item.symbol], w.preLengths[item.symbol]);
        }
    }
}

void WriteSymbols(WordBitWriter& out, const OwnMethodWork& w) {
    for (size_t k = 0; k < w.tokenCount && !out.Overflowed(); ++k) {
        uint32_t token = w.tokens[k];
        if ((token & kMatchFlag) == 0) {
            out.Put(w.mainCodes[token], w.mainLengths[token]);
            continue;
        }
        uint32_t length = (token >> 12) & 0x1FFFF;
        MatchCode code = CodeMatch(length, token & 0xFFF);
        out.Put(w.mainCodes[code.symbol], w.mainLengths[code.symbol]);
        out.Put(code.extra, code.extraBits);
        if (length >= 21) {
            PutLengthExtension(out, length);
        }
    }
    out.Put(w.mainCodes[kEndSymbol], w.mainLengths[kEndSymbol]);
}

} // namespace

OwnMethodCompressor::OwnMethodCompressor() = default;
OwnMethodCompressor::~OwnMethodCompressor() = default;

bool OwnMethodCompressor::Init() {
    if (!work_) {
        work_.reset(new (std::nothrow) OwnMethodWork());
    }
    return work_ != nullptr;
}

size_t OwnMethodCompressor::Compress(const uint8_t* source, size_t length, uint8_t* dest,
                                     size_t room, uint32_t parameter) {
    if (length < kOwnMethodMinInput || !Init() || !work_->Reserve(length)) {
        return 0;
    }
    OwnMethodWork& w = *work_;
    Parser(w, source, length, SettingsFor(parameter)).Run();
    BuildCodeLengths(w.counts, kMainSymbols, w.mainLengths);
    CanonicalCodes(w.mainLengths, kMainSymbols, w.mainCodes);
    CodeMainLengths(w);
    BuildCodeLengths(w.preCounts, kPreSymbols, w.preLengths);
    CanonicalCodes(w.preLengths, kPreSymbols, w.preCodes);

    WordBitWriter out(dest, room);
    out.PutWord(kBlockMagic);
    WritePreCode(out, w);
    WriteSymbols(out, w);
    out.Finish();
    return out.Overflowed() ? 0 : out.Size();
}

size_t OwnMethodCompress(const uint8_t* source, size_t length, uint8_t* dest, size_t room,
                         uint32_t parameter) {
    OwnMethodCompressor compressor;
    return compressor.Compress(source, length, dest, room, parameter);
}
