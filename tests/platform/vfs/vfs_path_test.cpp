#include "platform/vfs/vfs.h"

#include <gtest/gtest.h>

namespace kw::vfs {
namespace {

TEST(VfsNormalize, RootedPathsFoldSeparatorsAndDots) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:/A//B/../C", "C:\\A\\C"},         {"c:/Dir//Sub/./x/../y/", "C:\\Dir\\Sub\\y"},
        {"C:\\a\\b\\...\\c", "C:\\c"},        {"C:\\..\\..\\x", "C:\\x"},
        {"C:foo\\..\\bar", "C:foo\\..\\bar"}, {"//srv/share/a/b", "\\\\srv\\share\\a\\b"},
        {"/usr/lib", "\\usr\\lib"},
    };
    for (const Case& c : cases) {
        std::string out;
        ASSERT_TRUE(vfsNormalizePath(c.in, &out)) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
    }
    std::string out;
    EXPECT_FALSE(vfsNormalizePath("\\\\srv", &out));
}

} // namespace
} // namespace kw::vfs
