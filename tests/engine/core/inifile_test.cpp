// Profile files: finding, setting and deleting keys, limits, saving, the
// feature queries and the callback registry.
#include "engine/core/inifile.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

struct Written {
    std::string text;
    int calls = 0;
};

int Writer(void* context, const char* text, std::size_t length) {
    auto* w = static_cast<Written*>(context);
    w->text.assign(text, length);
    ++w->calls;
    return 1;
}

// A writable profile over a text; what it saves goes to `out`.
INIFILE* Profile(const std::string& text, Written* out) {
    return CreateIniWithWriter(text.data(), text.size(), Writer, out);
}

std::string Get(INIFILE* ini, const char* section, const char* key) {
    char buffer[64] = "?";
    return ini->GetString(section, key, buffer, sizeof buffer) ? buffer : "<none>";
}

TEST(IniFile, FindingKeys) {
    Written w;
    INIFILE* ini = Profile("top=1\r\n; comment=no\r\n[features]\r\n  Name =  Value  \r\n"
                           "Count=-42\r\nName=second\r\n[Other]\r\nName=other\r\n[Empty]",
                           &w);
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"Features", "name", "Value"}, // sections and keys without regard to case
        {"FEATURES", "Count", "-42"},
        {"Other", "Name", "other"},
        {"", "top", "1"}, // before the first header
        {"", "Name", "<none>"},
        {"Features", "comment", "<none>"},
        {"Feature", "Name", "<none>"}, // compared by length
        {"Features", "top", "<none>"},
        {"Empty", "x", "<none>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Get(ini, c.section, c.key), c.value) << c.section << "/" << c.key;
    int n = 0;
    EXPECT_EQ(ini->GetInt("Features", "Count", &n), 1);
    EXPECT_EQ(n, -42);
    char small[4];
    EXPECT_EQ(ini->GetString("Features", "Name", small, sizeof small), 1);
    EXPECT_STREQ(small, "Val");
    EXPECT_EQ(ini->GetString("Features", "Name", nullptr, 0), 1);
    ini->Release();
    EXPECT_EQ(w.calls, 0); // nothing changed, nothing saved
}

TEST(IniFile, SettingAndDeleting) {
    Written w;
    INIFILE* ini = Profile("[A]\r\nx=1\r\n\r\n[B]\r\ny=2", &w);
    EXPECT_EQ(ini->SetString("a", " x ", " 10 "), 1); // replaced in place
    EXPECT_EQ(ini->SetInt("A", "z", 3), 1);           // after A's last non-blank line
    EXPECT_EQ(ini->SetString("B", "w", "4"), 1);      // B's last line has no line end
    EXPECT_EQ(ini->SetString("C", "v", "5"), 1);      // a new section at the end
    EXPECT_EQ(ini->DeleteKey("B", "y"), 1);
    EXPECT_EQ(ini->DeleteKey("B", "nothing"), 0);
    EXPECT_EQ(ini->Save(), 1);
    EXPECT_EQ(w.text, "[A]\r\nx=10\r\nz=3\r\n\r\n[B]\r\nw=4\r\n\r\n[C]\r\nv=5\r\n");
    ini->Release();
    EXPECT_EQ(w.calls, 1);
}

TEST(IniFile, TextNeverReachesTheLimit) {
    Written w;
    std::string big(INI_MAX_TEXT - 12, ';');
    INIFILE* ini = Profile(big + "\r\n", &w);
    EXPECT_EQ(ini->SetString("S", "k", "v"), 0); // would reach 60,000 bytes
    EXPECT_EQ(ini->SetString("", "k", "v"), 1);  // 6 more bytes still fit
    ini->Release();
    EXPECT_EQ(CreateIniWithWriter(big.data(), INI_MAX_TEXT, Writer, &w), nullptr);
}

TEST(IniFile, FilesReadOnlyAndForUpdate) {
    kwtest::TempDir dir;
    std::string path = dir.Path() + "/p.ini";
    EXPECT_EQ(OpenIniFile(path), nullptr); // missing
    INIFILE* made = OpenIniFileForUpdate(path);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->SetString("VTFeatures", "ShutDown", "1"), 1);
    made->SetStoreFlag(1);
    EXPECT_EQ(made->GetStoreFlag(), 1);
    made->Release(); // saves
    EXPECT_EQ(kwtest::ReadFile(path), "\r\n[VTFeatures]\r\nShutDown=1\r\n");

    INIFILE* ro = OpenIniFile(path);
    ASSERT_NE(ro, nullptr);
    EXPECT_STREQ(ro->GetPath(), path.c_str());
    EXPECT_EQ(ro->SetString("VTFeatures", "ShutDown", "2"), 0);
    ro->AllowWrite();
    EXPECT_EQ(ro->SetString("VTFeatures", "ShutDown", "2"), 1);
    EXPECT_EQ(Get(ro, "VTFeatures", "ShutDown"), "2");
    ro->Release(); // an override change is never saved
    EXPECT_EQ(kwtest::ReadFile(path), "\r\n[VTFeatures]\r\nShutDown=1\r\n");

    std::ofstream(dir.Path() + "/big.ini") << std::string(INI_MAX_TEXT, 'x');
    EXPECT_EQ(OpenIniFile(dir.Path() + "/big.ini"), nullptr);
}

TEST(IniFile, FeatureQueriesFallBackToDefaults) {
    kwtest::TempDir dir;
    std::string path = dir.Path() + "/features.ini";
    SetFeatureProfilePath(path);
    EXPECT_EQ(GetFeatureInt("VTFeatures", "ShutDown", 7), 7);
    std::ofstream(path) << "[Features]\nMode=fast\n[VTFeatures]\nAsyncMouseMovement=1\nbad line\n";
    EXPECT_EQ(GetFeatureInt("VTFeatures", "AsyncMouseMovement", 0), 1);
    EXPECT_EQ(GetFeatureInt("VTFeatures", "ShutDown", 0), 0);
    char buffer[8];
    GetFeatureString(nullptr, "Mode", "slow", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "fast");
    GetFeatureString(nullptr, "Other", "a-long-default", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "a-long-");
    GetFeatureString(nullptr, "Other", nullptr, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
    SetFeatureProfilePath("");
}

void CallbackA(void*) {}

TEST(IniFile, CallbackRegistryCountsUses) {
    int context = 0;
    EXPECT_EQ(RegisterCallback(CallbackA, &context), 1);
    EXPECT_EQ(RegisterCallback(CallbackA, &context), 1);
    EXPECT_EQ(CallbackUseCount(CallbackA, &context), 2u);
    UnregisterCallback(CallbackA, &context);
    EXPECT_EQ(CallbackUseCount(CallbackA, &context), 1u);
    UnregisterCallback(CallbackA, &context);
    UnregisterCallback(CallbackA, &context); // unknown pair: ignored
    EXPECT_EQ(CallbackUseCount(CallbackA, &context), 0u);
}

} // namespace
