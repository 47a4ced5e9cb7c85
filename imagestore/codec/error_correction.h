// Error correction of chunks: a systematic Reed-Solomon code RS(35,32) over
// GF(2^8) with the polynomial 0x187, generator (x + a^-1)(x + 1)(x + a).
//
// A protected chunk is 35 sub-blocks of 8,192 bytes: sub-blocks 0 to 31 are the
// chunk's data (record and payload), 32 to 34 its check bytes. Byte j of
// sub-block k is byte k of code word j, so a lost sub-block costs every code
// word one byte at a known place. Up to three lost sub-blocks can be rebuilt.
#pragma once

#include "imagestore/store_error.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t kEccSubBlockSize = 8192;
constexpr uint32_t kEccDataSubBlocks = 32;
constexpr uint32_t kEccSubBlocks = 35;
constexpr uint32_t kEccMaxErasures = 3;
constexpr uint32_t kEccDataSize = kEccDataSubBlocks * kEccSubBlockSize; // 0x40000
constexpr uint32_t kEccCheckSize = 3 * kEccSubBlockSize;                // 0x6000
constexpr uint32_t kEccChunkSize = kEccSubBlocks * kEccSubBlockSize;    // 0x46000

// Error code for more lost sub-blocks than the code can rebuild.
constexpr int kEccUnrecoverable = kwv::kStoreShortRead;

// Computes the 24,576 check bytes of a protected chunk from its first 262,144
// bytes and stores them right behind them (chunk must hold kEccChunkSize).
void EccEncodeChunk(uint8_t* chunk);
// Computes again the check bytes of code words 0 to count - 1 only: enough
// after a change confined to the first `count` bytes of the chunk.
void EccEncodeLeadingWords(uint8_t* chunk, uint32_t count);

// What a rebuild did to the chunk's code words.
struct EccRebuildStats {
    uint32_t wordsCorrected = 0; // code words that were changed
    uint32_t wordsLeft = 0;      // inconsistent code words left as they were
};

// Rebuilds a protected chunk whose sub-blocks listed in `erased` (indices 0 to
// 34, repeats allowed) could not be read; their bytes may hold anything. Code
// words that disagree with their check bytes are corrected where the rules
// allow (one unknown byte error besides at most one erasure); words that
// cannot be corrected are left as they are and counted in `stats`. Returns 0,
// or kEccUnrecoverable without touching the chunk when more than three
// distinct sub-blocks are listed or an index is out of range.
int EccRebuildChunk(uint8_t* chunk, const uint32_t* erased, size_t erasedCount,
                    EccRebuildStats* stats = nullptr);

// Single code words (35 bytes: 32 data bytes, then 3 check bytes).
void EccEncodeWord(const uint8_t* data, uint8_t* check);
// Corrects one code word given its erased positions (at most three, distinct).
// Returns 1 when the word was changed, 0 when it was consistent, -1 when it
// could not be corrected (the word is then unchanged).
int EccCorrectWord(uint8_t* word, const uint32_t* erased, size_t erasedCount);
