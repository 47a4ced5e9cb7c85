#include "platform/vfs/vfs.h"

#include <gtest/gtest.h>

namespace kw::vfs {
namespace {

TEST(VfsNormalize, Table) {
    struct Case {
        const char* in;
        const char* out; // null: normalisation fails
    } cases[] = {
        {"C:/A//B/../C", "C:\\A\\C"},
        {"c:/Dir//Sub/./x/../y/", "C:\\Dir\\Sub\\y"},
        {"C:\\a\\b\\...\\c", "C:\\c"},
        {"C:\\..\\..\\x", "C:\\x"},
        {"C:", "C:"},
        {"c:\\", "C:\\"},
        {"C:foo\\..\\bar", "C:foo\\..\\bar"}, // drive-relative: dots stay
        {"a/./b/../c", "a\\.\\b\\..\\c"},     // relative: dots stay
        {"//srv/share/a/b", "\\\\srv\\share\\a\\b"},
        {"\\\\srv\\share", "\\\\srv\\share"},
        {"\\\\srv\\share\\..\\..\\x", "\\\\srv\\share\\x"},
        {"\\\\.\\C:\\DATA\\X.IMG", "\\\\.\\C:\\DATA\\X.IMG"},
        {"\\\\.\\disk1.part2\\Docs", "\\\\.\\disk1.part2\\Docs"},
        {"\\a\\\\b", "\\a\\b"},
        {"/usr/lib", "\\usr\\lib"}, // a POSIX absolute path stays rooted
        {"/", "\\"},
        {"C:\\home\\u\\.config\\x", "C:\\home\\u\\.config\\x"}, // dot-names are names
        {"C:\\a\\..b", "C:\\a\\..b"},
        {"", ""},
        {"\\\\srv", nullptr},
        {"\\\\srv\\", nullptr},
        {"\\\\.", nullptr},
        {"\\\\.\\", nullptr},
        {"\\\\\\share", nullptr},
    };
    for (const Case& c : cases) {
        std::string out = "untouched";
        bool ok = vfsNormalizePath(c.in, &out);
        EXPECT_EQ(ok, c.out != nullptr) << c.in;
        if (ok && c.out) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

TEST(VfsNormalize, LengthLimit) {
    std::string out;
    std::string p = "C:\\" + std::string(296, 'a'); // 299 bytes
    EXPECT_TRUE(vfsNormalizePath(p, &out));
    EXPECT_FALSE(vfsNormalizePath(p + "a", &out));   // 300 bytes
    EXPECT_TRUE(vfsNormalizePath(p + "a", &out, 0)); // no limit
    EXPECT_FALSE(vfsNormalizePath("C:\\", nullptr));
}

TEST(VfsPattern, Table) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.TXT", "readme.txt", true},
        {"*.TXT", "README.TX", false},
        {"A?C", "AC", false},
        {"A?C", "abc", true},
        {"a*b*c", "aXXbYYbZc", true},
        {"a*b*c", "aXXbYY", false},
        {"*", "", true},
        {"", "x", false},
        {"IMG.*", "img.002", true},
        {"?.txt", "\xc3\xa9.txt", true}, // one character of two bytes
        {"**a", "bba", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vfsMatchPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(VfsPattern, SetMatchDotRule) {
    EXPECT_TRUE(vfsMatchSetPattern("IMG.*", "IMG")); // name gains a "."
    EXPECT_TRUE(vfsMatchSetPattern("IMG", "IMG."));  // pattern gains a "."
    EXPECT_FALSE(vfsMatchSetPattern("IMG.*", "OTHER"));
    EXPECT_TRUE(vfsMatchSetPattern("img.0??", "IMG.002"));
}

} // namespace
} // namespace kw::vfs
