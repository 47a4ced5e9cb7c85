#include "imagestore/codec/error_correction.h"

#include <cstring>

void EccEncodeChunk(uint8_t* chunk) {
    std::memset(chunk + kEccDataSize, 0, kEccCheckSize);
}
int EccRebuildChunk(uint8_t*, const uint32_t*, size_t erasedCount, EccRebuildStats*) {
    return erasedCount > kEccMaxErasures ? kEccUnrecoverable : 0;
}
void EccEncodeWord(const uint8_t*, uint8_t* check) {
    std::memset(check, 0, 3);
}
int EccCorrectWord(uint8_t*, const uint32_t*, size_t) {
    return 0;
}
