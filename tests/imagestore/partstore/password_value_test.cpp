#include "imagestore/partstore/password_value.h"

#include <gtest/gtest.h>

using kw::partstore::PasswordValue;

TEST(PasswordValue, NumbersAndWordSums) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        {"", 0},
        {"123", 123},
        {"4294967295", 0xFFFFFFFFu},
        {"99999999999", 0xFFFFFFFFu}, // saturates like the C reader
        {"0x1F", 0x1F},
        {"0XfF", 0xFF},
        {"017", 15}, // octal
        {"08", 0},   // octal reading stops at 8
        {"0", 0},
        {"abc", 0x00434241u},
        {"ABC", 0x00434241u},
        {"abcdE", 0x44434241u + 0x45u},
        {"0x", 0x5830u},       // too short to be hex: summed as "0X"
        {"0x1G", 0x47315830u}, // not hex digits: the words of "0X1G"
        {"-1", 0x312Du},
        {" 1", 0x3120u},
        {"\xe9", 0xE9u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PasswordValue(c.text), c.value) << c.text;
    }
    EXPECT_EQ(PasswordValue(nullptr), 0u);
}
