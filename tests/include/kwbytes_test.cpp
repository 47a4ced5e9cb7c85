#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace kwbytes;

constexpr size_t kHuge = std::numeric_limits<size_t>::max();

// Ten distinct bytes, so that any swapped or dropped byte shows.
const std::vector<uint8_t> kBytes = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0, 0x0F};

} // namespace

// The lowest address holds the lowest byte, at every alignment.
TEST(KwBytes, PointerLoadsReadLowByteFirstAtAnyOffset) {
    EXPECT_EQ(LoadLe16(kBytes.data()), 0x2301u);
    EXPECT_EQ(LoadLe16(kBytes.data() + 1), 0x4523u);
    EXPECT_EQ(LoadLe32(kBytes.data()), 0x67452301u);
    EXPECT_EQ(LoadLe32(kBytes.data() + 3), 0xCDAB8967u);
    EXPECT_EQ(LoadLe64(kBytes.data()), 0xEFCDAB8967452301ull);
    EXPECT_EQ(LoadLe64(kBytes.data() + 1), 0xF0EFCDAB89674523ull);
}

// Stores write exactly their own bytes and read back to the same value.
TEST(KwBytes, PointerStoresRoundTripAndTouchNothingElse) {
    std::vector<uint8_t> b(16, 0x5A);
    StoreLe16(b.data() + 1, 0xBEEF);
    StoreLe32(b.data() + 3, 0xDEADBEEF);
    StoreLe64(b.data() + 7, 0x8000000000000001ull);
    EXPECT_EQ(b, (std::vector<uint8_t>{0x5A, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE, 0x01, 0, 0, 0, 0,
                                       0, 0, 0x80, 0x5A}));
    EXPECT_EQ(LoadLe16(b.data() + 1), 0xBEEFu);
    EXPECT_EQ(LoadLe32(b.data() + 3), 0xDEADBEEFu);
    EXPECT_EQ(LoadLe64(b.data() + 7), 0x8000000000000001ull);
}

// A checked load reads the field only when all of it lies in the span.
TEST(KwBytes, CheckedLoadsAreZeroUnlessTheWholeFieldFits) {
    const std::span<const uint8_t> s(kBytes);
    struct Case {
        size_t at;
        uint16_t v16;
        uint32_t v32;
        uint64_t v64;
    };
    const Case cases[] = {
        {0, 0x2301, 0x67452301, 0xEFCDAB8967452301ull},
        {2, 0x6745, 0xAB896745, 0x0FF0EFCDAB896745ull}, // 64-bit field ends at the last byte
        {3, 0x8967, 0xCDAB8967, 0},                     // 64-bit field one byte short
        {6, 0xEFCD, 0x0FF0EFCD, 0},                     // 32-bit field ends at the last byte
        {7, 0xF0EF, 0, 0},
        {8, 0x0FF0, 0, 0}, // 16-bit field ends at the last byte
        {9, 0, 0, 0},
        {10, 0, 0, 0}, // at the end
        {11, 0, 0, 0}, // past the end
        {kHuge - 1, 0, 0, 0},
        {kHuge, 0, 0, 0}, // at + width would wrap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        EXPECT_EQ(LoadLe16(s, c.at), c.v16);
        EXPECT_EQ(LoadLe32(s, c.at), c.v32);
        EXPECT_EQ(LoadLe64(s, c.at), c.v64);
    }
    EXPECT_EQ(LoadLe32(std::span<const uint8_t>{}, 0), 0u);
}

// A checked store writes the whole field or nothing at all.
TEST(KwBytes, CheckedStoresWriteAllOrNothing) {
    struct Case {
        size_t at;
        bool fits16, fits32, fits64;
    };
    const Case cases[] = {
        {0, true, true, true},    {2, true, true, true},     {3, true, true, false},
        {6, true, true, false},   {7, true, false, false},   {8, true, false, false},
        {9, false, false, false}, {10, false, false, false}, {kHuge, false, false, false},
    };
    const std::vector<uint8_t> blank(10, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        std::vector<uint8_t> b = blank;
        EXPECT_EQ(StoreLe16(b, c.at, 0x1234), c.fits16);
        EXPECT_TRUE(c.fits16 ? LoadLe16(b, c.at) == 0x1234u : b == blank);
        b = blank;
        EXPECT_EQ(StoreLe32(b, c.at, 0x12345678), c.fits32);
        EXPECT_TRUE(c.fits32 ? LoadLe32(b, c.at) == 0x12345678u : b == blank);
        b = blank;
        EXPECT_EQ(StoreLe64(b, c.at, 0x0102030405060708ull), c.fits64);
        EXPECT_TRUE(c.fits64 ? LoadLe64(b, c.at) == 0x0102030405060708ull : b == blank);
    }
}

// A padded load keeps the bytes that are present and reads the rest as 0.
TEST(KwBytes, PaddedLoadsReadMissingBytesAsZero) {
    const std::span<const uint8_t> s(kBytes);
    struct Case {
        size_t at;
        uint8_t v8;
        uint16_t v16;
        uint32_t v32;
        uint64_t v64;
    };
    const Case cases[] = {
        {0, 0x01, 0x2301, 0x67452301, 0xEFCDAB8967452301ull},
        {3, 0x67, 0x8967, 0xCDAB8967, 0x000FF0EFCDAB8967ull}, // one byte cut
        {7, 0xEF, 0xF0EF, 0x000FF0EF, 0x000FF0EFull},
        {9, 0x0F, 0x000F, 0x0000000F, 0x0Full},
        {10, 0, 0, 0, 0},
        {1000, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        EXPECT_EQ(LoadU8Padded(s, c.at), c.v8);
        EXPECT_EQ(LoadLe16Padded(s, c.at), c.v16);
        EXPECT_EQ(LoadLe32Padded(s, c.at), c.v32);
        EXPECT_EQ(LoadLe64Padded(s, c.at), c.v64);
    }
}
