#include "imagestore/codec/error_correction.h"
#include "test_data.h"

#include <gtest/gtest.h>

extern "C" {
#include <fec.h>
}

#include <memory>
#include <random>
#include <vector>

namespace {

// libfec's RS code with the same field, roots a^-1, 1, a and 35-byte words.
struct FecCode {
    void* rs = init_rs_char(8, 0x187, 254, 1, 3, 255 - 35);
    ~FecCode() { free_rs_char(rs); }
};

std::vector<uint8_t> EncodedWord(std::mt19937& rng) {
    std::vector<uint8_t> word(35);
    for (int i = 0; i < 32; ++i) {
        word[i] = static_cast<uint8_t>(rng());
    }
    EccEncodeWord(word.data(), word.data() + 32);
    return word;
}

} // namespace

TEST(ErrorCorrection, CheckBytesMatchLibfec) {
    FecCode fec;
    ASSERT_NE(fec.rs, nullptr);
    std::mt19937 rng(1);
    for (int n = 0; n < 2000; ++n) {
        auto word = EncodedWord(rng);
        uint8_t parity[3];
        encode_rs_char(fec.rs, word.data(), parity);
        ASSERT_EQ(std::vector<uint8_t>(parity, parity + 3),
                  std::vector<uint8_t>(word.begin() + 32, word.end()));
    }
    // The generator is x^3 + C0 x^2 + C0 x + 1: a single 1 in the last data
    // byte leaves exactly its coefficients as the remainder.
    uint8_t unit[32] = {};
    unit[31] = 1;
    uint8_t check[3];
    EccEncodeWord(unit, check);
    EXPECT_EQ(check[0], 0xC0);
    EXPECT_EQ(check[1], 0xC0);
    EXPECT_EQ(check[2], 0x01);
}

TEST(ErrorCorrection, RepairsLikeLibfec) {
    FecCode fec;
    std::mt19937 rng(2);
    // Erasure counts with an optional unknown error that the code can repair.
    struct Case {
        int erasures;
        bool error;
    };
    for (Case c : {Case{0, true}, Case{1, false}, Case{1, true}, Case{2, false}, Case{3, false}}) {
        for (int n = 0; n < 500; ++n) {
            auto good = EncodedWord(rng);
            auto bad = good;
            std::vector<int> positions(35);
            for (int i = 0; i < 35; ++i) {
                positions[i] = i;
            }
            std::shuffle(positions.begin(), positions.end(), rng);
            std::vector<uint32_t> erased(positions.begin(), positions.begin() + c.erasures);
            for (uint32_t p : erased) {
                bad[p] = static_cast<uint8_t>(rng());
            }
            if (c.error) {
                bad[positions[c.erasures]] ^= static_cast<uint8_t>(1 + rng() % 255);
            }
            auto ours = bad;
            EXPECT_GE(EccCorrectWord(ours.data(), erased.data(), erased.size()), 0);
            auto theirs = bad;
            std::vector<int> eras(erased.begin(), erased.end());
            eras.resize(3);
            EXPECT_GE(decode_rs_char(fec.rs, theirs.data(), eras.data(), c.erasures), 0);
            ASSERT_EQ(ours, good) << c.erasures << " " << c.error;
            ASSERT_EQ(theirs, good);
        }
    }
}

TEST(ErrorCorrection, LeavesWordsItCannotRepair) {
    std::mt19937 rng(3);
    int left = 0;
    for (int n = 0; n < 200; ++n) {
        auto word = EncodedWord(rng);
        // Two unknown errors, or two erasures plus an error: never "repaired"
        // into something else silently when the checks can tell.
        word[4] ^= 0x11;
        word[20] ^= 0x22;
        auto before = word;
        int r = EccCorrectWord(word.data(), nullptr, 0);
        if (r < 0) {
            ++left;
            EXPECT_EQ(word, before);
        }
    }
    EXPECT_GT(left, 150);
    const uint32_t tooMany[] = {1, 2, 3, 4};
    uint8_t word[35] = {};
    EXPECT_EQ(EccCorrectWord(word, tooMany, 4), -1);
}

TEST(ErrorCorrection, RebuildsAChunkWithThreeLostSubBlocks) {
    std::vector<uint8_t> chunk = codec_test::RandomBytes(kEccChunkSize, 4);
    EccEncodeChunk(chunk.data());
    // The chunk's layout: word j is byte j of every sub-block.
    for (uint32_t j : {0u, 1u, 4000u, 8191u}) {
        uint8_t data[32], check[3];
        for (uint32_t k = 0; k < 32; ++k) {
            data[k] = chunk[k * kEccSubBlockSize + j];
        }
        EccEncodeWord(data, check);
        for (uint32_t k = 0; k < 3; ++k) {
            EXPECT_EQ(check[k], chunk[(32 + k) * kEccSubBlockSize + j]);
        }
    }
    const auto good = chunk;
    const uint32_t lost[] = {3, 17, 33};
    for (uint32_t k : lost) {
        std::fill_n(chunk.begin() + k * kEccSubBlockSize, kEccSubBlockSize, 0xEE);
    }
    EccRebuildStats stats;
    EXPECT_EQ(EccRebuildChunk(chunk.data(), lost, 3, &stats), 0);
    EXPECT_TRUE(chunk == good);
    EXPECT_EQ(stats.wordsLeft, 0u);
    EXPECT_GT(stats.wordsCorrected, 8000u);

    // Four lost sub-blocks: refused without touching the chunk.
    const uint32_t four[] = {0, 5, 6, 34};
    chunk[5 * kEccSubBlockSize] ^= 1;
    auto before = chunk;
    EXPECT_EQ(EccRebuildChunk(chunk.data(), four, 4), kEccUnrecoverable);
    EXPECT_TRUE(chunk == before);
    const uint32_t outOfRange[] = {35};
    EXPECT_EQ(EccRebuildChunk(chunk.data(), outOfRange, 1), kEccUnrecoverable);
    // Repeated indices count once.
    const uint32_t repeated[] = {5, 5, 5, 5};
    EXPECT_EQ(EccRebuildChunk(chunk.data(), repeated, 4), 0);
    EXPECT_TRUE(chunk == good);
}

TEST(ErrorCorrection, ChunkSingleErrorsAndOneErasurePlusError) {
    std::vector<uint8_t> chunk = codec_test::RandomBytes(kEccChunkSize, 5);
    EccEncodeChunk(chunk.data());
    const auto good = chunk;
    // Scattered single-byte errors, no erasure.
    for (uint32_t j = 0; j < kEccSubBlockSize; j += 97) {
        chunk[(j % 35) * kEccSubBlockSize + j] ^= 0x40;
    }
    EXPECT_EQ(EccRebuildChunk(chunk.data(), nullptr, 0), 0);
    EXPECT_TRUE(chunk == good);
    // One lost sub-block plus a stray error in some words.
    const uint32_t lost[] = {34};
    std::fill_n(chunk.begin() + 34 * kEccSubBlockSize, kEccSubBlockSize, 0);
    for (uint32_t j = 0; j < kEccSubBlockSize; j += 501) {
        chunk[7 * kEccSubBlockSize + j] ^= 0x99;
    }
    EXPECT_EQ(EccRebuildChunk(chunk.data(), lost, 1), 0);
    EXPECT_TRUE(chunk == good);
}
