// Upper-casing for case-insensitive comparison: the examples of the design,
// and agreement with the C library's Unicode tables apart from a written
// list of exceptions.
#include "engine/core/codepage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwctype>

namespace {

TEST(CaseFold, Examples) {
    struct Case {
        std::uint16_t c;
        std::uint32_t mode;
        std::uint16_t expect;
    };
    const Case cases[] = {
        {0x61, 2, 0x41},     {0x7A, 2, 0x5A},     {0x7B, 2, 0x7B},     {0xFF, 2, 0x178},
        {0x101, 2, 0x100},   {0x12F, 2, 0x12E},   {0x102, 2, 0x102},   {0x253, 2, 0x181},
        {0x3B1, 2, 0x391},   {0x3C1, 2, 0x3A1},   {0x561, 2, 0x531},   {0x1F00, 2, 0x1F08},
        {0x2170, 2, 0x2160}, {0x24D0, 2, 0x24B6}, {0xFF41, 2, 0xFF21}, {0xFF5A, 2, 0xFF3A},
        {0x1F2, 0, 0x1F1},   {0x1F2, 2, 0x1F2},   {0x10D0, 2, 0x10D0}, {0x10D0, 0, 0x10A0},
        {0x10F5, 1, 0x10C5}, {0x3C2, 2, 0x3A3},   {0x3C2, 1, 0x3C2},   {0x131, 0, 0x49},
        {0x131, 2, 0x131},   {0x3F1, 0, 0x3A1},   {0x4E00, 0, 0x4E00}, {0x41, 0, 0x41},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cpFoldCase(c.c, c.mode), c.expect) << std::hex << c.c << " mode " << c.mode;
}

// Characters whose fold differs from the C library's simple upper-case
// mapping on purpose.
bool isException(std::uint32_t c, std::uint32_t upper) {
    // Handled outside the records (mode 0 and the final sigma of mode 2).
    const std::uint32_t own[] = {0x131, 0x1C5, 0x1C8, 0x1CB, 0x1F2, 0x3C2,
                                 0x3D0, 0x3D1, 0x3D5, 0x3D6, 0x3F0, 0x3F1};
    for (std::uint32_t o : own) {
        if (c == o)
            return true;
    }
    // Georgian keeps its historic mapping 0x10D0-0x10F5 -> 0x10A0-0x10C5.
    if (c >= 0x1000 && c <= 0x10FF)
        return true;
    // A distance beyond the 8-bit delta of a record (for example 0xB5 -> 0x39C,
    // 0x250 -> 0x2C6F) is not folded.
    const std::uint32_t distance = c > upper ? c - upper : upper - c;
    return distance > 255;
}

TEST(CaseFold, RecordsAgreeWithTheUnicodeTables) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const std::uint32_t highBytes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                       0x10, 0x1E, 0x1F, 0x21, 0x24, 0xFF};
    int folded = 0;
    for (std::uint32_t h : highBytes) {
        for (std::uint32_t c = h << 8; c < ((h + 1) << 8); ++c) {
            const auto upper = static_cast<std::uint32_t>(std::towupper(static_cast<wint_t>(c)));
            const std::uint16_t ours = cpFoldCase(static_cast<std::uint16_t>(c), 1);
            if (isException(c, upper))
                continue;
            EXPECT_EQ(ours, upper) << std::hex << c;
            folded += ours != c ? 1 : 0;
        }
    }
    EXPECT_GT(folded, 700);
    // Outside the twelve high bytes nothing folds.
    EXPECT_EQ(cpFoldCase(0x2C30, 0), 0x2C30);
    EXPECT_EQ(cpFoldCase(0xA641, 0), 0xA641);
    std::setlocale(LC_CTYPE, "C");
}

} // namespace
