#include "imagestore/codec/huffman_lengths.h"
#include "imagestore/codec/own_method.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

// Writes blocks by hand: 16-bit little-endian words, most significant bit
// first, with every main length sent as a plain pre-code symbol.
class BlockWriter {
public:
    BlockWriter() { bytes_ = {0x81, 0x00}; }
    void Bits(uint32_t value, uint32_t count) {
        for (uint32_t i = count; i-- > 0;) {
            word_ = uint16_t(word_ << 1 | (value >> i & 1));
            if (++used_ == 16) {
                Flush();
            }
        }
    }
    std::vector<uint8_t> Done() {
        if (used_ > 0) {
            word_ = uint16_t(word_ << (16 - used_));
            Flush();
        }
        return bytes_;
    }
    // Sends the code lengths: the pre-code gives lengths 0 and `main`'s values
    // each a plain symbol; `pre` maps pre-code symbols to their lengths.
    void Header(uint32_t f, uint32_t last, const std::map<int, int>& pre,
                const std::map<int, int>& main) {
        Bits(f, 3);
        Bits(last, 5);
        auto len = [&pre](int s) { return pre.count(s) ? pre.at(s) : 0; };
        Bits(len(0), 4);
        for (uint32_t s = f + 1; s <= last; ++s) {
            Bits(len(s), 4);
        }
        if (last != 21) {
            for (int s = 16; s <= 21; ++s) {
                Bits(len(s), 4);
            }
        }
        preCodes_ = Canonical(pre);
        mainCodes_ = Canonical(main);
        for (int s = 0; s < 336; ++s) {
            int l = main.count(s) ? main.at(s) : 0;
            Pre(l);
        }
    }
    void Pre(int symbol) { Bits(preCodes_.at(symbol).first, preCodes_.at(symbol).second); }
    void Sym(int symbol) { Bits(mainCodes_.at(symbol).first, mainCodes_.at(symbol).second); }

    // symbol -> (code, length), canonical order.
    static std::map<int, std::pair<uint32_t, uint32_t>> Canonical(const std::map<int, int>& lens) {
        std::map<int, std::pair<uint32_t, uint32_t>> out;
        uint32_t code = 0;
        for (int l = 1; l <= 15; ++l) {
            for (auto [s, sl] : lens) {
                if (sl == l) {
                    out[s] = {code++, l};
                }
            }
            code <<= 1;
        }
        return out;
    }

private:
    void Flush() {
        bytes_.push_back(uint8_t(word_));
        bytes_.push_back(uint8_t(word_ >> 8));
        word_ = 0;
        used_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint16_t word_ = 0;
    uint32_t used_ = 0;
    std::map<int, std::pair<uint32_t, uint32_t>> preCodes_, mainCodes_;
};

// Main code {A, 256, 264, 335} of length 2, pre-code {0, 2} of length 1.
BlockWriter SmallCodeBlock() {
    BlockWriter w;
    w.Header(1, 2, {{0, 1}, {2, 1}}, {{'A', 2}, {256, 2}, {264, 2}, {335, 2}});
    return w;
}

struct Result {
    uint32_t produced;
    size_t consumed;
    std::vector<uint8_t> out;
};

Result Decode(const std::vector<uint8_t>& block, size_t room = 4096) {
    Result r;
    r.out.assign(room, 0xCC);
    r.produced = OwnMethodDecompress(block.data(), block.size(), r.out.data(), room, &r.consumed);
    r.out.resize(r.produced);
    return r;
}

} // namespace

TEST(OwnMethodDecoder, DecodesHandWrittenBlocks) {
    BlockWriter w = SmallCodeBlock();
    w.Sym('A');
    w.Sym(256); // the last byte three more times
    w.Sym(264); // 5 bytes from 3 back
    w.Sym(335);
    auto block = w.Done();
    Result r = Decode(block);
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()), "AAAAAAAAA");
    EXPECT_EQ(r.consumed, block.size());
    // Extra input after the block is not consumed.
    block.push_back(0x12);
    block.push_back(0x34);
    EXPECT_EQ(Decode(block).consumed, block.size() - 2);
}

TEST(OwnMethodDecoder, Symbol264RepeatsAThreeBytePattern) {
    BlockWriter w;
    w.Header(1, 3, {{0, 1}, {2, 2}, {3, 2}}, {{'x', 2}, {'y', 2}, {'z', 2}, {264, 3}, {335, 3}});
    for (char c : std::string("xyz")) {
        w.Sym(c);
    }
    w.Sym(264);
    w.Sym(335);
    Result r = Decode(w.Done());
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()), "xyzxyzxy");
}

TEST(OwnMethodDecoder, RejectsInvalidBlocks) {
    struct Case {
        const char* name;
        std::vector<uint8_t> block;
        size_t room;
    };
    std::vector<Case> cases;
    {
        BlockWriter w = SmallCodeBlock();
        w.Sym('A');
        w.Sym(335);
        auto b = w.Done();
        b[0] = 0x80;
        cases.push_back({"bad magic", b, 4096});
    }
    {
        // A pre-code with one used symbol (length 1) is incomplete.
        BlockWriter w;
        w.Bits(1, 3);
        w.Bits(2, 5);
        w.Bits(0, 4);
        w.Bits(1, 4);
        for (int s = 16; s <= 21; ++s) {
            w.Bits(0, 4);
        }
        for (int i = 0; i < 336; ++i) {
            w.Bits(0, 1);
        }
        cases.push_back({"incomplete pre-code", w.Done(), 4096});
    }
    {
        // A main code with a single used symbol is incomplete.
        BlockWriter w;
        w.Header(0, 1, {{0, 1}, {1, 1}}, {{335, 1}});
        w.Sym(335);
        cases.push_back({"single-symbol main code", w.Done(), 4096});
    }
    {
        BlockWriter w;
        w.Bits(5, 3);
        w.Bits(3, 5); // f + 1 > l
        cases.push_back({"empty pre-code header", w.Done(), 4096});
    }
    {
        // 336 lengths, then a zero run passes the end.
        BlockWriter w;
        w.Bits(1, 3);
        w.Bits(2, 5);
        w.Bits(1, 4); // symbol 0
        w.Bits(2, 4); // symbol 2
        for (int s = 16; s <= 21; ++s) {
            w.Bits(s == 18 ? 2 : 0, 4);
        }
        // codes: 0 -> 0, 2 -> 10, 18 -> 11
        for (int i = 0; i < 333; ++i) {
            w.Bits(0, 1);
        }
        w.Bits(3, 2);
        w.Bits(0, 3); // four zeros where three are left
        cases.push_back({"run past 336", w.Done(), 4096});
    }
    {
        BlockWriter w = SmallCodeBlock();
        w.Sym(256); // nothing to copy from yet
        w.Sym(335);
        cases.push_back({"distance before the start", w.Done(), 4096});
    }
    {
        BlockWriter w = SmallCodeBlock();
        for (int i = 0; i < 10; ++i) {
            w.Sym('A');
        }
        w.Sym(335);
        cases.push_back({"within 28 bytes of the room's end", w.Done(), 37});
    }
    {
        BlockWriter w = SmallCodeBlock();
        w.Sym('A');
        w.Sym('A');
        auto b = w.Done(); // no end symbol: the zero padding decodes as more 'A's
        cases.push_back({"bits past the input", b, 4096});
    }
    for (const auto& c : cases) {
        Result r = Decode(c.block, c.room);
        EXPECT_EQ(r.produced, 0u) << c.name;
        EXPECT_EQ(r.consumed, 0u) << c.name;
    }
    // Exactly at the margin is still accepted.
    BlockWriter w = SmallCodeBlock();
    for (int i = 0; i < 10; ++i) {
        w.Sym('A');
    }
    w.Sym(335);
    EXPECT_EQ(Decode(w.Done(), 38).produced, 10u);
}

TEST(OwnMethodDecoder, LongestMatchOnlyInsideTheRoom) {
    BlockWriter w;
    w.Header(1, 2, {{0, 1}, {2, 1}}, {{'A', 2}, {334, 2}, {335, 2}, {256, 2}});
    w.Sym('A');
    w.Sym(334);   // length 21 + extension
    w.Bits(0, 2); // distance form 0
    w.Bits(0, 5); // distance 1
    w.Bits(15, 4);
    w.Bits(255, 8);
    w.Bits(4095, 12);
    w.Bits(1000, 16);
    w.Sym(335);
    auto block = w.Done();
    const size_t length = 21 + 15 + 255 + 4095 + 1000;
    EXPECT_EQ(Decode(block, 1 + length + 28).produced, 1 + length);
    EXPECT_EQ(Decode(block, 1 + length + 27).produced, 0u);
}

TEST(OwnMethodCompressor, RoundTripsTheInputTable) {
    OwnMethodCompressor compressor;
    ASSERT_TRUE(compressor.Init());
    for (const auto& input : codec_test::RoundTripInputs()) {
        const auto& data = input.data;
        // The container compresses blocks of at most 55,296 bytes.
        for (size_t at = 0; at < data.size(); at += 0xD800) {
            size_t n = std::min<size_t>(0xD800, data.size() - at);
            std::vector<uint8_t> packed(n + 1024);
            size_t size = compressor.Compress(data.data() + at, n, packed.data(), packed.size(),
                                              kOwnMethodParameter);
            if (n < kOwnMethodMinInput) {
                EXPECT_EQ(size, 0u) << input.name;
                continue;
            }
            ASSERT_NE(size, 0u) << input.name;
            std::vector<uint8_t> out(n + kOwnMethodOutputSlack);
            size_t consumed = 0;
            ASSERT_EQ(OwnMethodDecompress(packed.data(), size, out.data(), out.size(), &consumed),
                      n)
                << input.name;
            EXPECT_EQ(consumed, size) << input.name;
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + n, data.begin() + at)) << input.name;
        }
    }
}

TEST(OwnMethodCompressor, IsDeterministicAndRespectsTheRoom) {
    auto text = codec_test::TextBytes(50000, 11);
    std::vector<uint8_t> a(60000), b(60000);
    size_t sa = OwnMethodCompress(text.data(), text.size(), a.data(), a.size(), 236);
    size_t sb = OwnMethodCompress(text.data(), text.size(), b.data(), b.size(), 236);
    ASSERT_GT(sa, 0u);
    EXPECT_LT(sa, text.size() / 2);
    EXPECT_EQ(sa, sb);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + sa, b.begin()));
    // One byte short of the compressed size: refused, and nothing written past the room.
    std::vector<uint8_t> small(sa + 16, 0xEE);
    EXPECT_EQ(OwnMethodCompress(text.data(), text.size(), small.data(), sa - 1, 236), 0u);
    EXPECT_EQ(small[sa - 1], 0xEE);
    // Other parameters give other search settings but valid blocks.
    for (uint32_t p : {0u, 28u, 255u}) {
        size_t s = OwnMethodCompress(text.data(), text.size(), a.data(), a.size(), p);
        ASSERT_GT(s, 0u) << p;
        std::vector<uint8_t> out(text.size() + 32);
        EXPECT_EQ(OwnMethodDecompress(a.data(), s, out.data(), out.size()), text.size()) << p;
    }
}

TEST(HuffmanLengths, TieRulesAndLimit) {
    // Equal counts: leaves merge in symbol order, so the code is balanced.
    uint32_t equal[4] = {5, 5, 5, 5};
    uint8_t lengths[4];
    BuildCodeLengths(equal, 4, lengths);
    EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 4), (std::vector<uint8_t>{2, 2, 2, 2}));

    // One used symbol gets a partner: symbol 1 for an even symbol, 0 for odd.
    uint32_t one[4] = {0, 0, 7, 0};
    BuildCodeLengths(one, 4, lengths);
    EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 4), (std::vector<uint8_t>{0, 1, 1, 0}));
    uint32_t odd[4] = {0, 0, 0, 7};
    BuildCodeLengths(odd, 4, lengths);
    EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 4), (std::vector<uint8_t>{1, 0, 0, 1}));

    // Fibonacci counts would give a 19-deep code: halving keeps it at 14.
    uint32_t fib[20];
    fib[0] = fib[1] = 1;
    for (int i = 2; i < 20; ++i) {
        fib[i] = fib[i - 1] + fib[i - 2];
    }
    uint8_t fl[20];
    BuildCodeLengths(fib, 20, fl);
    double kraft = 0;
    for (uint8_t l : fl) {
        EXPECT_GE(l, 1);
        EXPECT_LE(l, 14);
        kraft += 1.0 / (1 << l);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
}
