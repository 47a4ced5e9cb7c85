// The shared library as the editor sees it: only the nine entry points are
// visible, and they work through the public header.
#include "kwvaults.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const size_t space = text.rfind(' ');
        names.insert(space == std::string::npos ? text : text.substr(space + 1));
    }
    pclose(pipe);
    return names;
}

} // namespace

TEST(KwvaultsExports, OnlyTheNineEntryPointsAreDynamicSymbols) {
    const std::set<std::string> expected = {
        "ConvertPasswordString",        "ImageStoreOpenReadOnly",
        "PartStoreCreateNew",           "PartStoreDelete",
        "PartStoreLegacyUseImageStore", "PartStoreOpenReadOnly",
        "PartStoreOpenWriteOnly",       "PartStoreVerify",
        "PartStoreVerifyData",
    };
    EXPECT_EQ(DefinedDynamicSymbols(KWVAULTS_LIBRARY), expected);
}

TEST(KwvaultsExports, ConvertPasswordStringThroughTheLibrary) {
    EXPECT_EQ(ConvertPasswordString("abc"), 0x00434241u);
    EXPECT_EQ(ConvertPasswordString("0x10"), 16u);
}

TEST(KwvaultsExports, NullErrorPointersAreAllowed) {
    EXPECT_EQ(PartStoreOpenReadOnly("/nonexistent/kw/none.kwi", nullptr, nullptr), nullptr);
    EXPECT_EQ(ImageStoreOpenReadOnly("/nonexistent/kw/none.kwi", nullptr, nullptr), nullptr);
}
