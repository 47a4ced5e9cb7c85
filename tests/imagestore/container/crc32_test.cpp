// The container's CRC-32 must give zlib's value for every length and
// alignment: images written with either stay readable by the other.
#include "imagestore/container/chunk_record.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <vector>
#include <zlib.h>

namespace kwv::test {
namespace {

uint32_t ZlibCrc(const uint8_t* data, size_t length) {
    return uint32_t(crc32(0L, data, uInt(length)));
}

TEST(ContainerCrc, EqualsZlibForEveryLengthAndAlignment) {
    std::mt19937 random(20261210);
    std::vector<uint8_t> bytes(0x46000 + 64);
    for (uint8_t& b : bytes) {
        b = uint8_t(random());
    }
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length = 0; length <= 600; ++length) {
            ASSERT_EQ(Crc32(&bytes[start], length), ZlibCrc(&bytes[start], length))
                << start << "+" << length;
        }
    }
    // Whole payloads of both chunk sizes, and the password and record forms.
    for (size_t length :
         {size_t(0x20000 - 96), size_t(0x40000 - 96), size_t(0x46000), size_t(88), size_t(128)}) {
        EXPECT_EQ(Crc32(&bytes[3], length), ZlibCrc(&bytes[3], length)) << length;
    }
    EXPECT_EQ(Crc32(nullptr, 0), 0u);
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(check, sizeof check), 0xCBF43926u); // the standard check value
    EXPECT_EQ(PayloadCrc(bytes.data(), 0x20000), ZlibCrc(bytes.data() + 96, 0x20000 - 96));
}

} // namespace
} // namespace kwv::test
