// Code lengths of the own method's compressor: a Huffman code over symbol
// counts with fixed tie rules, so that the same counts always give the same
// lengths, limited to 14 bits by halving the counts.
#pragma once

#include <cstdint>

// Sets lengths[s] for `symbols` symbols (at most 336) from counts[s]: 0 for an
// unused symbol, else 1 to 14. At least one count must be non-zero. When only
// one symbol is used, a partner of length 1 is added so the code is complete.
void BuildCodeLengths(const uint32_t* counts, uint32_t symbols, uint8_t* lengths);
