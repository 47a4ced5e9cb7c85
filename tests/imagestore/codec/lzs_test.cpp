#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/lzs.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using codec_test::RandomBytes;
using codec_test::TextBytes;

namespace {

// Packs a string of '0' and '1' into bytes, most significant bit first,
// padding the last byte with zeros.
std::vector<uint8_t> Bits(const std::string& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') {
            out[i / 8] |= uint8_t(0x80 >> (i % 8));
        }
    }
    return out;
}

struct Decoded {
    uint32_t status;
    uint32_t consumed;
    std::vector<uint8_t> out;
};

Decoded Decode(const std::vector<uint8_t>& in, std::vector<uint8_t>& work,
               uint32_t room = 1 << 20) {
    Decoded d;
    d.out.resize(room);
    uint32_t inCount = static_cast<uint32_t>(in.size());
    uint32_t outCount = room;
    d.status = LzsDecompress(in.data(), &inCount, d.out.data(), &outCount, work.data(), 0);
    d.consumed = inCount;
    d.out.resize(outCount);
    return d;
}

std::vector<uint8_t> Compress(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> work(LzsCompressWorkSize());
    LzsCompressInit(work.data());
    std::vector<uint8_t> out(in.size() + in.size() / 8 + 16);
    uint32_t inCount = static_cast<uint32_t>(in.size());
    uint32_t outCount = static_cast<uint32_t>(out.size());
    EXPECT_EQ(LzsCompress(in.data(), &inCount, out.data(), &outCount, work.data(), 0),
              kLzsEndMarker);
    EXPECT_EQ(inCount, in.size());
    out.resize(outCount);
    return out;
}

std::vector<uint8_t> NewDecoderWork() {
    std::vector<uint8_t> work(LzsDecompressWorkSize());
    LzsDecompressInit(work.data());
    return work;
}

} // namespace

TEST(Lzs, DecodesTheStreamFormat) {
    struct Case {
        const char* name;
        std::string bits;
        std::string expect;
    };
    // 'A' = 01000001, 'B' = 01000010; end marker 110000000.
    const std::string A = "001000001", B = "001000010", End = "110000000";
    const Case cases[] = {
        {"literals", A + B + End, "AB"},
        {"short offset, length 4",
         A + B +
             "1"
             "1"
             "0000010"
             "10" +
             End,
         "ABABAB"},
        {"length 2, 3",
         A +
             "1"
             "1"
             "0000001"
             "00" +
             "1"
             "1"
             "0000001"
             "01" +
             End,
         "AAAAAA"},
        {"length 5..7",
         A +
             "1"
             "1"
             "0000001"
             "1100" +
             "1"
             "1"
             "0000001"
             "1110" +
             End,
         std::string(13, 'A')},
        {"length 8 + 15 + 2",
         A +
             "1"
             "1"
             "0000001"
             "1111"
             "1111"
             "0010" +
             End,
         std::string(26, 'A')},
        {"11-bit offset",
         A +
             "1"
             "0"
             "00000000001"
             "00" +
             End,
         "AAA"},
    };
    for (const auto& c : cases) {
        auto work = NewDecoderWork();
        auto in = Bits(c.bits);
        Decoded d = Decode(in, work);
        EXPECT_EQ(d.status, kLzsEndMarker) << c.name;
        EXPECT_EQ(std::string(d.out.begin(), d.out.end()), c.expect) << c.name;
        EXPECT_EQ(d.consumed, in.size()) << c.name;
    }
}

TEST(Lzs, RejectsDamagedStreams) {
    const std::string A = "001000001", End = "110000000";
    struct Case {
        const char* name;
        std::string bits;
        uint32_t room;
        uint32_t status;
    };
    const Case cases[] = {
        {"offset before the start",
         A +
             "1"
             "1"
             "0000010"
             "00" +
             End,
         100, kLzsInvalidData},
        {"11-bit offset 0",
         A +
             "1"
             "0"
             "00000000000"
             "00" +
             End,
         100, kLzsInvalidData},
        {"no end marker", A + A, 100, kLzsSourceExhausted},
        {"cut inside a match",
         A + "1"
             "1"
             "00000",
         100, kLzsSourceExhausted},
        {"output room",
         A +
             "1"
             "1"
             "0000001"
             "1110" +
             End,
         5, kLzsDestinationFull},
        {"literal past room", A + A, 1, kLzsDestinationFull},
    };
    for (const auto& c : cases) {
        auto work = NewDecoderWork();
        Decoded d = Decode(Bits(c.bits), work, c.room);
        EXPECT_EQ(d.status, c.status) << c.name;
        EXPECT_NE(d.status & kLzsIncomplete, 0u) << c.name;
    }
}

TEST(Lzs, RoundTripsTheInputTable) {
    for (const auto& input : codec_test::RoundTripInputs()) {
        // One block at a time, as the chunk encoder uses it.
        const auto& data = input.data;
        auto packed = Compress(data);
        auto work = NewDecoderWork();
        Decoded d = Decode(packed, work, static_cast<uint32_t>(data.size()) + 64);
        EXPECT_EQ(d.status, kLzsEndMarker) << input.name;
        EXPECT_EQ(d.consumed, packed.size()) << input.name;
        EXPECT_TRUE(d.out == data) << input.name;
    }
}

TEST(Lzs, CompressesRepeatsAndRefusesSmallRoom) {
    auto text = TextBytes(100000, 7);
    EXPECT_LT(Compress(text).size(), text.size() / 2);
    // A long match costs 4 bits per 15 bytes.
    EXPECT_LT(Compress(std::vector<uint8_t>(100000, 0)).size(), 3400u);

    auto noise = RandomBytes(10000, 8);
    std::vector<uint8_t> work(LzsCompressWorkSize());
    std::vector<uint8_t> out(10000);
    uint32_t in = 10000, outCount = 10000;
    EXPECT_EQ(LzsCompress(noise.data(), &in, out.data(), &outCount, work.data(), 0),
              kLzsDestinationFull);
}

TEST(Lzs, HistoryCarriesAcrossBlocksAndSavedState) {
    // Block 2 refers back into block 1: a literal and a match 5 back of length 4.
    const std::string A = "001000001", B = "001000010", End = "110000000";
    auto block1 = Bits(A + B + A + B + A + End); // ABABA
    auto block2 = Bits(B +
                       "1"
                       "1"
                       "0000110"
                       "10" +
                       End); // B + "ABAB" from 6 back
    auto work = NewDecoderWork();
    EXPECT_EQ(Decode(block1, work).status, kLzsEndMarker);
    std::vector<uint8_t> saved = work;
    Decoded first = Decode(block2, work);
    EXPECT_EQ(first.status, kLzsEndMarker);
    EXPECT_EQ(std::string(first.out.begin(), first.out.end()), "BABAB");

    // Restoring the saved state decodes the same block the same way, whatever
    // the reserved word holds; a fresh state refuses the back reference.
    saved[8] = 0x5A;
    Decoded again = Decode(block2, saved);
    EXPECT_EQ(again.out, first.out);
    auto fresh = NewDecoderWork();
    EXPECT_EQ(Decode(block2, fresh).status, kLzsInvalidData);

    // A state with a nonsense history length decodes without reading outside.
    auto junk = RandomBytes(LzsDecompressWorkSize(), 9);
    Decode(block2, junk);
}

TEST(Lzs, LongHistoryAcrossManyBlocks) {
    // Each block repeats the tail of the previous one at the largest offset.
    auto data = RandomBytes(2047, 10);
    auto work = NewDecoderWork();
    ASSERT_EQ(Decode(Compress(data), work).status, kLzsEndMarker);
    // Literal, then a match of 2,040 from 2,047 back (history only, then output).
    std::string bits = "0"
                       "01011010"
                       "1"
                       "0"
                       "11111111111"
                       "1111";
    uint32_t rest = 2040 - 8;
    for (; rest >= 15; rest -= 15) {
        bits += "1111";
    }
    for (int b = 3; b >= 0; --b) {
        bits += (rest >> b & 1) ? '1' : '0';
    }
    bits += "110000000";
    Decoded d = Decode(Bits(bits), work);
    ASSERT_EQ(d.status, kLzsEndMarker);
    ASSERT_EQ(d.out.size(), 2041u);
    EXPECT_EQ(d.out[0], 0x5A);
    for (size_t i = 1; i < 2041; ++i) {
        size_t from = 2047 + i - 2047; // position in data + output
        uint8_t expect = from < 2047 ? data[from] : d.out[from - 2047];
        ASSERT_EQ(d.out[i], expect) << i;
    }
}

TEST(Lzs, ChunkDecoderKeepsHistoryWithinAChunkOnly) {
    // Two blocks in one payload; the second refers back into the first.
    const std::string A = "001000001", B = "001000010", End = "110000000";
    auto payload = Bits(A + B + A + End);
    auto second = Bits(B +
                       "1"
                       "1"
                       "0000100"
                       "01" +
                       End); // B + 3 bytes from 4 back
    payload.insert(payload.end(), second.begin(), second.end());
    payload.resize(64, 0);
    ChunkDecoder* dec = CreateCompressedChunkDecoder(ChunkCodecMode::Lzs, 64);
    ASSERT_NE(dec, nullptr);
    ASSERT_TRUE(dec->Begin(payload.data(), 64, 7, kRawStartNone));
    std::vector<uint8_t> out(7);
    EXPECT_EQ(dec->Get(0, out.data(), 7), 7u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABABABA");
    // Reading backwards restarts with a fresh history and gives the same bytes.
    EXPECT_EQ(dec->Get(4, out.data(), 3), 3u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "ABA");

    // The next chunk starts with an empty history: the same back reference fails.
    second.resize(64, 0);
    EXPECT_FALSE(dec->Begin(second.data(), 64, 4, kRawStartNone));
    EXPECT_EQ(dec->Get(0, out.data(), 4), 0u);
    dec->Release();
}
