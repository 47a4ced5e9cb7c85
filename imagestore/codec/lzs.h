// LZS (ANSI X3.241) compressor and decompressor.
//
// Stream format: bits are taken from the most significant bit of each byte
// first. A literal is a 0 bit and 8 bits; a match is a 1 bit, an offset (1 and
// 7 bits below 128, else 0 and 11 bits; 1 to 2,047 back) and a length (2: 00,
// 3: 01, 4: 10, 5: 1100, 6: 1101, 7: 1110, 8 and more: 1111 and 4-bit groups,
// each 1111 adding 15, the last one below 15 giving the rest). A block ends
// with the end marker 110000000 padded with zero bits to a byte boundary.
//
// Both directions work on a caller-owned work area that is a plain byte block:
// it holds no pointers, so it may be copied, saved to disk and copied back.
// The decompressor keeps the last 2,047 bytes it produced in its work area so
// that a following block may refer back into them; initialising the work area
// forgets them. The compressor starts every block with an empty history.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the compressor's work area.
constexpr uint32_t kLzsCompressWorkSize = 0x30E0;
// Size of the decompressor's work area, which is also its whole saved state:
// copying these bytes out and back in later resumes decoding at a block
// boundary. Word 2 (bytes 8 to 11) is reserved: the decoder neither reads nor
// needs it, so a caller may keep its own value there.
constexpr uint32_t kLzsDecompressWorkSize = 0x1260;

// Status bits of LzsCompress and LzsDecompress.
constexpr uint32_t kLzsEndMarker = 0x01;       // block complete (end marker written/read)
constexpr uint32_t kLzsSourceExhausted = 0x04; // input ended before the end marker
constexpr uint32_t kLzsDestinationFull = 0x08; // output room ran out
constexpr uint32_t kLzsInvalidData = 0x14;     // damaged stream (includes 0x04)
// A status with any of these bits set means the call did not complete.
constexpr uint32_t kLzsIncomplete = 0x0C;

uint32_t LzsCompressWorkSize();
void LzsCompressInit(void* work);
// Compresses all of *sourceCount bytes as one block with its end marker into
// at most *destCount bytes. On return *sourceCount holds the bytes consumed
// and *destCount the bytes written. Returns kLzsEndMarker on success, or
// kLzsDestinationFull when the output did not fit. `flags` is reserved (0).
uint32_t LzsCompress(const uint8_t* source, uint32_t* sourceCount, uint8_t* dest,
                     uint32_t* destCount, void* work, uint32_t flags);

uint32_t LzsDecompressWorkSize();
void LzsDecompressInit(void* work);
// Decodes one block: from `source` (*sourceCount bytes available) into `dest`
// (*destCount bytes of room) until the end marker. On return *sourceCount holds
// the bytes consumed (through the end marker's padding) and *destCount the
// bytes produced. Returns kLzsEndMarker when the block is complete, else a
// status with kLzsIncomplete bits. The work area's history is updated with
// what was produced either way; a caller that wants to retry a block restores
// its own copy of the work area first. `flags` is reserved (0).
uint32_t LzsDecompress(const uint8_t* source, uint32_t* sourceCount, uint8_t* dest,
                       uint32_t* destCount, void* work, uint32_t flags);
