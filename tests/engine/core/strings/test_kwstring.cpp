// KWString: shared payloads, narrow copies in several kinds, read-only states
// and growth by SetAt.
#include "include/kwstring.h"

#include "engine/core/codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class KWStringTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cpLoadBuiltinTables(CPKIND_WIN)); }
    void TearDown() override { cpFreeTables(); }
};

TEST_F(KWStringTest, NarrowTextKeepsEveryCharacter) {
    const KWString s("Caf\xE9");
    EXPECT_EQ(s, u"Caf\u00E9");
    EXPECT_EQ(s.Length(), 4u);
    EXPECT_EQ(s.Capacity(), 5u);
    EXPECT_STREQ(s.c_str(), "Caf\xE9");
    EXPECT_EQ(KWString("a"), u"a");
    EXPECT_EQ(KWString("abcdef", 3), u"abc");
    EXPECT_EQ(KWString("\x82t\x82", 0, CPKIND_DOS), u"\u00E9t\u00E9");
    EXPECT_EQ(KWString("\xC3\xA9t\xC3\xA9", 0, CPKIND_UTF8), u"\u00E9t\u00E9");
    const KWString empty("");
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_EQ(empty.Capacity(), 1u);
    EXPECT_EQ(empty, u"");
    EXPECT_EQ(KWString(), u"");
    EXPECT_EQ(KWString(nullptr), nullptr);
}

TEST_F(KWStringTest, NarrowCopyPerKindIsCached) {
    KWString s;
    s.Assign("\xE9t\xE9", CPKIND_WIN);
    const char* dos = s.GetAnsi(CPKIND_DOS);
    EXPECT_STREQ(dos, "\x82t\x82");
    EXPECT_EQ(s.GetAnsi(CPKIND_DOS), dos);
    EXPECT_STREQ(s.GetAnsi(CPKIND_UTF8), "\xC3\xA9t\xC3\xA9");
    EXPECT_STREQ(s.c_str(), "\xE9t\xE9");
    // Every character of a long text fits, also where UTF-8 needs three bytes.
    KWString wide;
    wide = u"\u65E5\u672C\u65E5\u672C";
    EXPECT_STREQ(wide.GetAnsi(CPKIND_UTF8), "\xE6\x97\xA5\xE6\x9C\xAC\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_STREQ(wide.GetAnsi(CPKIND_WIN), "????");
    EXPECT_EQ(KWString().GetAnsi(), nullptr);
}

TEST_F(KWStringTest, CopiesShareUntilChanged) {
    KWString a("abc");
    KWString b(a);
    EXPECT_TRUE(a.SharesWith(b));
    b.SetAt(1, u'X');
    EXPECT_EQ(a, u"abc");
    EXPECT_EQ(b, u"aXc");
    EXPECT_FALSE(a.SharesWith(b));
    KWString c;
    c = a;
    EXPECT_TRUE(c.SharesWith(a));
    c += u"def";
    EXPECT_EQ(c, u"abcdef");
    EXPECT_EQ(a, u"abc");
    const KWString& self = c;
    c = self; // self-assignment
    EXPECT_EQ(c, u"abcdef");
    c += c;
    EXPECT_EQ(c, u"abcdefabcdef");
    c = c.Wide();
    EXPECT_EQ(c, u"abcdefabcdef");
    c.SetNarrow(c.c_str(), CPKIND_WIN, true);
    EXPECT_EQ(c, u"abcdefabcdef");
    KWString empty;
    empty += u"x";
    EXPECT_EQ(empty, u"x");
    EXPECT_NE(empty, KWString("y"));
}

TEST_F(KWStringTest, SetAtGrowth) {
    KWString s("ab");
    ASSERT_EQ(s.Capacity(), 3u);
    s.SetAt(3, u'x');
    EXPECT_EQ(s, u"ab x");
    EXPECT_EQ(s.Length(), 4u);
    EXPECT_EQ(s.Capacity(), 64u);
    s.SetAt(62, u'b'); // fits the 64 characters
    EXPECT_EQ(s.Capacity(), 64u);
    s.SetAt(200, u'c');
    EXPECT_EQ(s.Capacity(), 256u);
    EXPECT_EQ(s.Length(), 201u);
    EXPECT_EQ(s[200].Get(), u'c');
    EXPECT_EQ(s[150].Get(), u' ');
    EXPECT_EQ(s[201].Get(), 0);
    EXPECT_EQ(s[-1].Get(), 0);
    s[0].Set(u'Z');
    EXPECT_EQ(s[0].Get(), u'Z');
    s.SetAt(-1, u'q');
    EXPECT_EQ(s.Length(), 201u);
    KWString none;
    none.SetAt(0, u'a');
    EXPECT_EQ(none.Length(), 0u);
    // Small steps round to the band of the new size.
    KWString u(std::string(300, 'a').c_str());
    u.SetAt(301, u'b'); // 303 is within 16 of 301: next multiple of 256
    EXPECT_EQ(u.Capacity(), 512u);
    // An index no string could reach leaves it unchanged.
    u.SetAt(0x7FFFFFFF, u'c');
    EXPECT_EQ(u.Length(), 302u);
}

TEST_F(KWStringTest, BorrowedPayloadStates) {
    char16_t text[] = u"const";
    KWString::UniData payload;
    payload.buffer = text;
    payload.length = 5;
    payload.capacity = 6;
    {
        KWString s = KWString::Borrow(&payload);
        EXPECT_EQ(s.GetState(), 1);
        KWString copy(s);
        EXPECT_EQ(copy.GetState(), 1);
        s.SetAt(0, u'C'); // a borrowed payload is copied before it changes
        EXPECT_EQ(s, u"Const");
        EXPECT_EQ(s.GetState(), 0);
        EXPECT_EQ(copy, u"const");
        EXPECT_STREQ(copy.c_str(), "const");
        EXPECT_EQ(copy.GetState(), 2); // read-only from now on
        copy.Assign("other", 0);
        copy += u"more";
        copy.SetAt(0, u'X');
        copy = s;
        EXPECT_EQ(copy, u"const");
        KWString target("t");
        target = copy; // from a narrow copy
        EXPECT_EQ(target, u"const");
        EXPECT_EQ(target.GetState(), 0);
    }
    EXPECT_EQ(std::u16string(text), u"const");
    payload.buffer = nullptr; // the text is not the payload's to free
}

TEST_F(KWStringTest, DefaultKind) {
    KWString::SetDefaultKind(CPKIND_UTF8);
    const KWString s("\xC3\xA9");
    EXPECT_EQ(s, u"\u00E9");
    EXPECT_EQ(s.Kind(), CPKIND_UTF8);
    KWString::SetDefaultKind(0);
    EXPECT_EQ(KWString::DefaultKind(), CPKIND_WIN);
}

} // namespace
