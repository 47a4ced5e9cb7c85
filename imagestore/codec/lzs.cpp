#include "imagestore/codec/lzs.h"

#include <cstring>

uint32_t LzsCompressWorkSize() {
    return kLzsCompressWorkSize;
}
void LzsCompressInit(void* work) {
    std::memset(work, 0, kLzsCompressWorkSize);
}
uint32_t LzsCompress(const uint8_t*, uint32_t* sourceCount, uint8_t*, uint32_t* destCount, void*,
                     uint32_t) {
    *sourceCount = 0;
    *destCount = 0;
    return kLzsDestinationFull;
}
uint32_t LzsDecompressWorkSize() {
    return kLzsDecompressWorkSize;
}
void LzsDecompressInit(void* work) {
    std::memset(work, 0, kLzsDecompressWorkSize);
}
uint32_t LzsDecompress(const uint8_t*, uint32_t* sourceCount, uint8_t*, uint32_t* destCount, void*,
                       uint32_t) {
    *sourceCount = 0;
    *destCount = 0;
    return kLzsInvalidData;
}
