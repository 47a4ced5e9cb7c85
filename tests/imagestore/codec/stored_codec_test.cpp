#include "imagestore/codec/chunk_codec.h"

#include <gtest/gtest.h>

#include <vector>

TEST(StoredCodec, RoundTripAndZeroFill) {
    std::vector<uint8_t> payload(100, 0xEE);
    ChunkEncoder* enc = CreateStoredChunkEncoder();
    ASSERT_NE(enc, nullptr);
    enc->Begin(payload.data(), 64);
    const uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(enc->Put(data, 5), 5u);
    EXPECT_EQ(enc->Put(nullptr, 3), 3u);
    EXPECT_EQ(enc->GetInputCount(), 8u);
    EXPECT_EQ(enc->Finish(), 0u);
    EXPECT_EQ(payload[4], 5);
    EXPECT_EQ(payload[5], 0);
    EXPECT_EQ(payload[63], 0);
    EXPECT_EQ(payload[64], 0xEE);
    enc->Release();

    ChunkDecoder* dec = CreateStoredChunkDecoder();
    ASSERT_NE(dec, nullptr);
    // A record claiming more data than the room is cut at the room.
    ASSERT_TRUE(dec->Begin(payload.data(), 64, 1000, 0));
    std::vector<uint8_t> out(100);
    EXPECT_EQ(dec->Get(60, out.data(), 100), 4u);
    EXPECT_EQ(dec->Get(64, out.data(), 1), 0u);
    EXPECT_EQ(dec->Get(2, out.data(), 2), 2u);
    EXPECT_EQ(out[0], 3);
    dec->Release();
}
