#include "imagestore/codec/own_method.h"

struct OwnMethodWork {};
uint32_t OwnMethodDecompress(const uint8_t*, size_t, uint8_t*, size_t, size_t* consumed) {
    if (consumed)
        *consumed = 0;
    return 0;
}
OwnMethodCompressor::OwnMethodCompressor() = default;
OwnMethodCompressor::~OwnMethodCompressor() = default;
bool OwnMethodCompressor::Init() {
    return true;
}
size_t OwnMethodCompressor::Compress(const uint8_t*, size_t, uint8_t*, size_t, uint32_t) {
    return 0;
}
size_t OwnMethodCompress(const uint8_t*, size_t, uint8_t*, size_t, uint32_t) {
    return 0;
}
