// SHA-256 of a byte stream (FIPS 180-4), for kwfs's file digests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest as 64 lowercase hex digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void block(const uint8_t* p);

    uint32_t h_[8];
    uint8_t buffer_[64];
    size_t fill_ = 0;
    uint64_t total_ = 0;
};
