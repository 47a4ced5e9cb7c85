#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/own_method.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kRoom = 0x20000 - 96; // payload room of a plain chunk

enum class Kind { Stored, Lzs, Own };

struct EncoderDeleter {
    void operator()(ChunkEncoder* e) const { e->Release(); }
};
struct DecoderDeleter {
    void operator()(ChunkDecoder* d) const { d->Release(); }
};
using EncoderPtr = std::unique_ptr<ChunkEncoder, EncoderDeleter>;
using DecoderPtr = std::unique_ptr<ChunkDecoder, DecoderDeleter>;

EncoderPtr MakeEncoder(Kind kind) {
    switch (kind) {
    case Kind::Stored:
        return EncoderPtr(CreateStoredChunkEncoder());
    case Kind::Lzs:
        return EncoderPtr(CreateLzsChunkEncoder(kRoom));
    default:
        return EncoderPtr(CreateOwnMethodChunkEncoder());
    }
}

DecoderPtr MakeDecoder(Kind kind) {
    switch (kind) {
    case Kind::Stored:
        return DecoderPtr(CreateStoredChunkDecoder());
    case Kind::Lzs:
        return DecoderPtr(CreateCompressedChunkDecoder(ChunkCodecMode::Lzs, kRoom));
    default:
        return DecoderPtr(CreateCompressedChunkDecoder(ChunkCodecMode::OwnMethod, kRoom));
    }
}

// One written chunk: its payload and what its record would hold.
struct Chunk {
    std::vector<uint8_t> payload;
    uint32_t dataLength;
    uint32_t rawStart;
};

// Writes `data` into as many chunks as it needs, offering it in pieces of
// varying size as the container's callers do.
std::vector<Chunk> Encode(Kind kind, const std::vector<uint8_t>& data, uint32_t seed) {
    EncoderPtr enc = MakeEncoder(kind);
    EXPECT_NE(enc, nullptr);
    std::mt19937 rng(seed);
    std::vector<Chunk> chunks;
    size_t at = 0;
    do {
        Chunk c;
        c.payload.assign(kRoom, 0xAB);
        enc->Begin(c.payload.data(), kRoom);
        while (at < data.size()) {
            uint32_t piece = static_cast<uint32_t>(
                std::min<size_t>(data.size() - at, rng() % 3 == 0 ? 200000 : rng() % 9000));
            uint32_t took = enc->Put(data.data() + at, piece);
            at += took;
            if (took == 0 && piece != 0) {
                break;
            }
        }
        c.rawStart = enc->Finish();
        c.dataLength = enc->GetInputCount();
        chunks.push_back(std::move(c));
    } while (at < data.size());
    return chunks;
}

std::vector<uint8_t> Decode(Kind kind, const std::vector<Chunk>& chunks) {
    DecoderPtr dec = MakeDecoder(kind);
    EXPECT_NE(dec, nullptr);
    std::vector<uint8_t> out;
    for (const Chunk& c : chunks) {
        EXPECT_TRUE(dec->Begin(c.payload.data(), kRoom, c.dataLength, c.rawStart));
        std::vector<uint8_t> part(c.dataLength + 10);
        // Two reads: the second continues in the window of the first.
        uint32_t half = c.dataLength / 2;
        uint32_t got = dec->Get(0, part.data(), half);
        got += dec->Get(half, part.data() + half, c.dataLength + 10);
        EXPECT_EQ(got, c.dataLength);
        out.insert(out.end(), part.begin(), part.begin() + got);
    }
    return out;
}

} // namespace

TEST(ChunkCodecs, RoundTripTheInputTable) {
    for (Kind kind : {Kind::Stored, Kind::Lzs, Kind::Own}) {
        for (const auto& input : codec_test::RoundTripInputs()) {
            auto chunks = Encode(kind, input.data, 5);
            EXPECT_TRUE(Decode(kind, chunks) == input.data)
                << input.name << " codec " << static_cast<int>(kind);
            for (const Chunk& c : chunks) {
                if (kind == Kind::Stored) {
                    EXPECT_EQ(c.rawStart, 0u);
                }
            }
        }
    }
}

TEST(ChunkCodecs, CompressedChunksHoldMoreThanTheirRoom) {
    auto zeros = std::vector<uint8_t>(1 << 20, 0);
    for (Kind kind : {Kind::Lzs, Kind::Own}) {
        auto chunks = Encode(kind, zeros, 6);
        EXPECT_GT(chunks[0].dataLength, kRoom) << static_cast<int>(kind);
        EXPECT_EQ(chunks[0].rawStart, kRawStartNone);
        EXPECT_TRUE(Decode(kind, chunks) == zeros);
    }
}

TEST(ChunkCodecs, ShortFirstBlockIsStoredRaw) {
    auto text = codec_test::TextBytes(4095, 7);
    for (Kind kind : {Kind::Lzs, Kind::Own}) {
        EncoderPtr enc = MakeEncoder(kind);
        std::vector<uint8_t> payload(kRoom, 0xAB);
        enc->Begin(payload.data(), kRoom);
        EXPECT_EQ(enc->Put(text.data(), 4095), 4095u);
        EXPECT_EQ(enc->Finish(), 0u);
        EXPECT_TRUE(std::equal(text.begin(), text.end(), payload.begin()));
        EXPECT_EQ(payload[4095], 0);
        EXPECT_EQ(payload[kRoom - 1], 0);
    }
}

TEST(ChunkCodecs, RawStartIsWhereTheFirstNonShrinkingBlockBegan) {
    // One own-method block of text, then noise: the text stays compressed.
    auto data = codec_test::TextBytes(kOwnMethodBlockLimit, 8);
    auto noise = codec_test::RandomBytes(30000, 9);
    data.insert(data.end(), noise.begin(), noise.end());
    std::vector<uint8_t> packed(kOwnMethodBlockLimit);
    size_t textSize = OwnMethodCompress(data.data(), kOwnMethodBlockLimit, packed.data(),
                                        packed.size(), kOwnMethodParameter);
    ASSERT_GT(textSize, 0u);

    auto chunks = Encode(Kind::Own, data, 10);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].rawStart, textSize);
    EXPECT_TRUE(std::equal(noise.begin(), noise.end(), chunks[0].payload.begin() + textSize));
    EXPECT_TRUE(Decode(Kind::Own, chunks) == data);

    // LZS stages small pieces into one block: noise alone does not shrink.
    auto lzsChunks = Encode(Kind::Lzs, noise, 10);
    EXPECT_EQ(lzsChunks[0].rawStart, 0u);
    EXPECT_TRUE(Decode(Kind::Lzs, lzsChunks) == noise);
}

TEST(ChunkCodecs, RandomAccessAndSkippingReads) {
    auto data = codec_test::MixedBytes(400000, 11);
    for (Kind kind : {Kind::Lzs, Kind::Own}) {
        auto chunks = Encode(kind, data, 12);
        const Chunk& c = chunks[0];
        DecoderPtr dec = MakeDecoder(kind);
        ASSERT_TRUE(dec->Begin(c.payload.data(), kRoom, c.dataLength, c.rawStart));
        std::mt19937 rng(13);
        std::vector<uint8_t> buf(5000);
        for (int i = 0; i < 200; ++i) {
            // Backwards reads restart at the chunk's first block.
            uint32_t off = rng() % c.dataLength;
            uint32_t len = rng() % 5000;
            uint32_t got = dec->Get(off, i % 5 == 0 ? nullptr : buf.data(), len);
            ASSERT_EQ(got, std::min(len, c.dataLength - off));
            if (i % 5 != 0) {
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, data.begin() + off));
            }
        }
        EXPECT_EQ(dec->Get(c.dataLength, buf.data(), 10), 0u);
    }
}

TEST(ChunkCodecs, DamagedPayloadIsRefusedWhenBegun) {
    auto data = codec_test::TextBytes(300000, 14);
    for (Kind kind : {Kind::Lzs, Kind::Own}) {
        auto chunks = Encode(kind, data, 15);
        Chunk c = chunks[0];
        for (size_t i = 100; i < 200; ++i) {
            c.payload[i] ^= 0x5A;
        }
        // The blocks no longer add up to the data length: the chunk is
        // refused as it is begun and gives no data at all.
        DecoderPtr dec = MakeDecoder(kind);
        EXPECT_FALSE(dec->Begin(c.payload.data(), kRoom, c.dataLength, c.rawStart));
        std::vector<uint8_t> out(c.dataLength);
        EXPECT_EQ(dec->Get(0, out.data(), c.dataLength), 0u);
        // A room larger than the decoder was made for is refused.
        EXPECT_FALSE(dec->Begin(c.payload.data(), kRoom + 1, c.dataLength, c.rawStart));
        EXPECT_EQ(dec->Get(0, out.data(), 10), 0u);
    }
}

TEST(ChunkCodecs, ReferenceCounting) {
    ChunkEncoder* enc = CreateOwnMethodChunkEncoder();
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(enc->AddRef(), 2u);
    EXPECT_EQ(enc->Release(), 1u);
    EXPECT_EQ(enc->Release(), 0u);
}
