// Code-page tables and conversions, checked against the C library's iconv.
#include "engine/core/codepage.h"
#include "engine/core/codepages/cpblock_format.h"
#include "iconv_ref.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using kwtest::iconvFrom16;
using kwtest::iconvTo16;

std::u16string toWide(std::uint32_t kind, const std::string& text) {
    std::vector<char16_t> buf(text.size() * 2 + 2, u'\xAAAA');
    cpConvertString(CPKIND_UTF16, buf.data(), kind, text.c_str(),
                    static_cast<std::uint32_t>(buf.size() * 2));
    return std::u16string(buf.data());
}

std::string fromWide(std::uint32_t kind, const std::u16string& text) {
    std::vector<char> buf(text.size() * 4 + 1, '\x55');
    cpConvertString(kind, buf.data(), CPKIND_UTF16, text.c_str(),
                    static_cast<std::uint32_t>(buf.size()));
    return std::string(buf.data());
}

std::string convert(std::uint32_t to, std::uint32_t from, const std::string& text,
                    std::uint32_t size) {
    std::vector<char> buf(size + 8, '\x55');
    cpConvertString(to, buf.data(), from, text.c_str(), size);
    for (std::uint32_t i = size; i < buf.size(); ++i)
        EXPECT_EQ(buf[i], '\x55') << "written past the size at " << i;
    return size == 0 ? std::string() : std::string(buf.data());
}

class BuiltinTables : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cpLoadBuiltinTables(CPKIND_WIN)); }
    void TearDown() override { cpFreeTables(); }
};

struct PageCase {
    std::uint32_t kind;
    const char* iconvName;
};

constexpr PageCase kPages[] = {{CPKIND_DOS, "IBM850"}, {CPKIND_WIN, "CP1252"}};

TEST_F(BuiltinTables, KindsAndNumbers) {
    EXPECT_EQ(cpGetCurrentCodePage(), 1252u);
    EXPECT_EQ(cpGetHostKind(), CPKIND_WIN);
    EXPECT_EQ(cpGetTable(CPKIND_WIN), cpGetTable(CPKIND_UNIX));
    EXPECT_EQ(cpGetTable(CPKIND_DOS), cpGetTable(CPKIND_BIOS));
    EXPECT_EQ(cpGetTable(CPKIND_DOS)->GetCodePage(), 850u);
    EXPECT_EQ(cpGetTable(CPKIND_MAC), nullptr);
}

// Every byte of both built-in pages reads as iconv reads it, and every
// Unicode value maps back to its byte. The five bytes cp1252 leaves
// undefined keep their own value.
TEST_F(BuiltinTables, EveryByteAgreesWithIconv) {
    for (const PageCase& page : kPages) {
        for (int b = 1; b < 256; ++b) {
            const std::string one(1, static_cast<char>(b));
            const std::u16string ours = toWide(page.kind, one);
            ASSERT_EQ(ours.size(), 1u) << page.iconvName << " byte " << b;
            auto ref = iconvTo16(one, page.iconvName);
            const bool undefined = page.kind == CPKIND_WIN &&
                                   (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D);
            if (undefined) {
                EXPECT_FALSE(ref.has_value());
                EXPECT_EQ(ours[0], b);
            } else {
                ASSERT_TRUE(ref.has_value()) << page.iconvName << " byte " << b;
                EXPECT_EQ(ours, *ref) << page.iconvName << " byte " << b;
            }
            EXPECT_EQ(fromWide(page.kind, ours), one) << page.iconvName << " byte " << b;
        }
    }
}

TEST_F(BuiltinTables, BetweenPagesAndAlternateForms) {
    EXPECT_EQ(convert(CPKIND_WIN, CPKIND_DOS, "\x82", 8), "\xE9");
    // Text as iconv converts it from 850 to 1252.
    const std::string dos = "Caf\x82 \x99\x9A \x84\x8E";
    EXPECT_EQ(convert(CPKIND_WIN, CPKIND_DOS, dos, 64),
              *kwtest::iconvBytes(dos, "IBM850", "CP1252"));
    // No place in 850: the alternate form, else "?".
    EXPECT_EQ(fromWide(CPKIND_DOS, u"\u0152"), "O");
    EXPECT_EQ(fromWide(CPKIND_DOS, u"\u0160x"), "Sx");
    EXPECT_EQ(fromWide(CPKIND_DOS, u"\u4E00"), "?");
    EXPECT_EQ(fromWide(CPKIND_WIN, u"\u20AC\u2019"), "\x80\x92");
    // A character outside 16 bits becomes one "?".
    EXPECT_EQ(fromWide(CPKIND_WIN, u"a\U0001F600b"), "a?b");
}

TEST_F(BuiltinTables, ControlBytesPassThroughEveryPage) {
    for (int b = 1; b < 0x20; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(convert(CPKIND_WIN, CPKIND_DOS, one, 4), one);
        EXPECT_EQ(convert(CPKIND_DOS, CPKIND_WIN, one, 4), one);
        EXPECT_EQ(toWide(CPKIND_DOS, one), std::u16string(1, static_cast<char16_t>(b)));
        EXPECT_EQ(fromWide(CPKIND_DOS, std::u16string(1, static_cast<char16_t>(b))), one);
    }
}

// The output is terminated inside the given size whatever fills it, and a
// character that does not fit whole is left out.
TEST_F(BuiltinTables, OutputStaysTerminatedInsideTheSize) {
    struct Case {
        std::uint32_t to, from;
        const char* text;
        std::uint32_t size;
        const char* expect;
    };
    const Case cases[] = {
        {CPKIND_WIN, CPKIND_DOS, "abc", 4, "abc"},
        {CPKIND_WIN, CPKIND_DOS, "abc", 3, "ab"},
        {CPKIND_WIN, CPKIND_DOS, "abc", 1, ""},
        {CPKIND_WIN, CPKIND_WIN, "abc", 3, "ab"},
        {CPKIND_WIN, CPKIND_UNIX, "abcd", 4, "abc"},
        {CPKIND_UTF8, CPKIND_WIN, "\xE9z", 3, "\xC3\xA9"},
        {CPKIND_UTF8, CPKIND_WIN, "\xE9z", 2, ""},
        {CPKIND_UTF8, CPKIND_UTF8, "\xC3\xA9z", 2, ""},
        {CPKIND_UTF8, CPKIND_UTF8, "\xC3\xA9z", 3, "\xC3\xA9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(convert(c.to, c.from, c.text, c.size), c.expect) << c.text << " size " << c.size;
    EXPECT_EQ(convert(CPKIND_WIN, CPKIND_DOS, "abc", 0), "");

    char16_t wide[4] = {u'x', u'x', u'x', u'x'};
    cpConvertString(CPKIND_UTF16, wide, CPKIND_WIN, "abcdef", 6);
    EXPECT_EQ(std::u16string(wide), u"ab");
    EXPECT_EQ(wide[3], u'x');
    cpConvertString(CPKIND_UTF16, wide, CPKIND_WIN, "abc", 8);
    EXPECT_EQ(std::u16string(wide), u"abc"); // the last character is kept
    cpConvertString(CPKIND_UTF16, wide, CPKIND_UTF16, u"abcdef", 8);
    EXPECT_EQ(std::u16string(wide), u"abc");
    cpConvertString(CPKIND_UTF16, wide, CPKIND_UTF8, "a\xF0\x9F\x98\x80", 6);
    EXPECT_EQ(std::u16string(wide), u"a"); // a surrogate pair is never cut
}

TEST_F(BuiltinTables, Utf8AgreesWithIconvAndReplacesInvalidBytes) {
    const std::u16string text = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600 \u0152";
    const std::string utf8 = *iconvFrom16(text, "UTF-8");
    EXPECT_EQ(fromWide(CPKIND_UTF8, text), utf8);
    EXPECT_EQ(toWide(CPKIND_UTF8, utf8), text);
    struct Bad {
        const char* bytes;
        std::u16string expect;
    };
    const Bad bad[] = {
        {"a\x80z", u"a\uFFFDz"},                           // stray continuation byte
        {"a\xC3z", u"a\uFFFDz"},                           // cut sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
    };
    for (const Bad& b : bad) {
        EXPECT_FALSE(kwtest::iconvBytes(b.bytes, "UTF-8", "UTF-16LE").has_value());
        EXPECT_EQ(toWide(CPKIND_UTF8, b.bytes), b.expect) << b.bytes;
    }
    EXPECT_EQ(fromWide(CPKIND_UTF8, u"a\xD800z"), "a?z"); // lone surrogate
    EXPECT_EQ(convert(CPKIND_DOS, CPKIND_UTF8, "Caf\xC3\xA9 \xC5\x92", 16), "Caf\x82 O");
}

TEST_F(BuiltinTables, CompareWithoutCase) {
    EXPECT_LT(cpCompareStrings(CPKIND_UTF16, u"abc", u"ABD", 3), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_UTF16, u"abc", u"ABC", 3), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_UTF16, u"abcx", u"ABCy", 3), 0);
    EXPECT_LT(cpCompareStrings(CPKIND_UTF16, u"ab", u"abc", 3), 0);
    EXPECT_GT(cpCompareStrings(CPKIND_UTF16, u"abc", u"ab", 3), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_UTF16, u"\u03C2", u"\u03A3", 1), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_WIN, "\xC9lan", "\xE9LAN", 10), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_DOS, "\x82t\x82", "\x90T\x90", 10), 0);
    EXPECT_NE(cpCompareStrings(CPKIND_DOS, "\x82", "E", 10), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_UTF8, "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", 10), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_WIN, nullptr, nullptr, 3), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_WIN, nullptr, "a", 3), -1);
    EXPECT_EQ(cpCompareStrings(CPKIND_WIN, "a", nullptr, 3), 1);
    // A kind without a table compares bytes as they are.
    EXPECT_NE(cpCompareStrings(CPKIND_MAC, "abc", "ABC", 3), 0);
    EXPECT_EQ(cpCompareStrings(CPKIND_MAC, "abc", "abd", 2), 0);
}

TEST(CodePageKinds, LeadBytes) {
    EXPECT_TRUE(cpIsDbcsCodePage(932));
    EXPECT_FALSE(cpIsDbcsCodePage(1252));
    EXPECT_TRUE(cpIsLeadByte(0x84, 932));
    EXPECT_FALSE(cpIsLeadByte(0x85, 932));
    EXPECT_TRUE(cpIsLeadByte(0xED, 932));
    EXPECT_FALSE(cpIsLeadByte(0xEB, 932));
    EXPECT_TRUE(cpIsLeadByte(0xFE, 936));
    EXPECT_FALSE(cpIsLeadByte(0xC9, 949));
    EXPECT_FALSE(cpIsLeadByte(0xC7, 950));
    EXPECT_FALSE(cpIsLeadByte(0x81, 850));
}

TEST(CodePageKinds, NothingConvertsWithoutTables) {
    cpFreeTables();
    char out[8] = "zzzzzzz";
    cpConvertString(CPKIND_DOS, out, CPKIND_WIN, "abc", 8);
    EXPECT_STREQ(out, "");
    char16_t wide[8] = {u'z', 0};
    cpConvertString(CPKIND_UTF16, wide, CPKIND_WIN, "abc", 16);
    EXPECT_EQ(wide[0], 0);
    // UTF-8 needs no table.
    cpConvertString(CPKIND_UTF16, wide, CPKIND_UTF8, "abc", 16);
    EXPECT_EQ(std::u16string(wide), u"abc");
}

} // namespace
