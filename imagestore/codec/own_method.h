// The library's own compression method: LZ77 with canonical Huffman codes for
// literals and matches, sent with a run-length pre-code at the start of every
// block. Blocks start with the little-endian word 0x0081 and continue as a bit
// stream of 16-bit little-endian words read from the most significant bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Parameter the container compresses with (search depth 16, insertion count 8).
constexpr uint32_t kOwnMethodParameter = 236;
// Inputs shorter than this are refused by the compressor.
constexpr uint32_t kOwnMethodMinInput = 0x3F;
// The decompressor refuses output that would come within this many bytes of
// the end of its output room; callers give 32 spare bytes beyond the block.
constexpr uint32_t kOwnMethodOutputMargin = 28;
constexpr uint32_t kOwnMethodOutputSlack = 32;

// Decodes one block from `source` (`available` bytes) into `dest` (`room`
// bytes). Returns the bytes produced, 0 when the block is invalid. When
// `consumed` is given it receives the input bytes the block used (the leading
// word included, through the word holding its last bit; 0 when invalid).
uint32_t OwnMethodDecompress(const uint8_t* source, size_t available, uint8_t* dest, size_t room,
                             size_t* consumed = nullptr);

struct OwnMethodWork;

// Compressor with its working memory (hash chains, parse buffer, counts),
// reusable across blocks. Owns its work buffers.
class OwnMethodCompressor {
public:
    OwnMethodCompressor();
    ~OwnMethodCompressor();
    OwnMethodCompressor(const OwnMethodCompressor&) = delete;
    OwnMethodCompressor& operator=(const OwnMethodCompressor&) = delete;

    // Allocates the fixed work buffers; false when memory is short.
    bool Init();
    // Compresses `length` bytes into at most `room` bytes with `parameter`.
    // Returns the compressed size, or 0 when the input is shorter than
    // kOwnMethodMinInput, memory is short or the block does not fit the room.
    // The same input and parameter always give the same bytes.
    size_t Compress(const uint8_t* source, size_t length, uint8_t* dest, size_t room,
                    uint32_t parameter);

private:
    std::unique_ptr<OwnMethodWork> work_;
};

// One-shot form of OwnMethodCompressor::Compress.
size_t OwnMethodCompress(const uint8_t* source, size_t length, uint8_t* dest, size_t room,
                         uint32_t parameter);
