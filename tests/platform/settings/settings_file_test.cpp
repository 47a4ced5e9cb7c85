#include "platform/settings/settings_file.h"

#include "platform/drives/drive_table.h"
#include "tests/platform/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace kw::settings {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(SettingsFile, ReadsWritesAndKeepsComments) {
    SettingsFile s;
    s.Parse("; top comment\n[Main]\nWidth = 800\r\nPath=C:\\Images\\a.kwi\n\n[drives]\nP=/srv\n");
    EXPECT_EQ(s.GetInt("main", "WIDTH", 0), 800);
    EXPECT_EQ(s.GetString("Main", "Path", ""), "C:\\Images\\a.kwi");
    EXPECT_EQ(s.Keys("Drives"), std::vector<std::string>{"P"});
    EXPECT_FALSE(s.GetString("Main", "Missing").has_value());
    EXPECT_TRUE(s.SetInt("Main", "width", -5));
    EXPECT_TRUE(s.SetString("New", "Key", "v"));
    EXPECT_EQ(s.Serialize(), "; top comment\n[Main]\nWidth=-5\nPath=C:\\Images\\a.kwi\n\n"
                             "[drives]\nP=/srv\n[New]\nKey=v\n");
    EXPECT_TRUE(s.Remove("MAIN", "path"));
    EXPECT_FALSE(s.Remove("Main", "Path"));
    EXPECT_TRUE(s.RemoveSection("new"));
    EXPECT_EQ(s.Sections(), (std::vector<std::string>{"Main", "drives"}));
}

TEST(SettingsFile, ValuesRoundTripExactly) {
    const std::string values[] = {"",          "  padded  ",  "\"quoted\"", "line1\nline2\r",
                                  "tab\there", "back\\slash", "=;[x]#",     "\x01\x7f\xc3\xa9"};
    SettingsFile s;
    for (size_t i = 0; i < std::size(values); ++i)
        ASSERT_TRUE(s.SetString("S", "k" + std::to_string(i), values[i]));
    SettingsFile back;
    back.Parse(s.Serialize());
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(back.GetString("S", "k" + std::to_string(i), "?"), values[i]) << i;
}

TEST(SettingsFile, RefusesNamesItCannotHold) {
    SettingsFile s;
    for (const char* key : {"", " k", "a=b", "[k", ";k", "#k", "k\n"})
        EXPECT_FALSE(s.SetString("S", key, "v")) << key;
    EXPECT_FALSE(s.SetString("a]b", "k", "v"));
    EXPECT_TRUE(s.Sections().empty());
}

TEST(SettingsFile, Integers) {
    SettingsFile s;
    s.Parse("[I]\na=42\nb=0x10\nc=-9223372036854775808\nd=9223372036854775808\ne=12x\nf=\n"
            "g=0xFFFFFFFFFFFFFFFF\n");
    EXPECT_EQ(s.GetInt("I", "a"), 42);
    EXPECT_EQ(s.GetInt("I", "b"), 16);
    EXPECT_EQ(s.GetInt("I", "c"), INT64_MIN);
    EXPECT_FALSE(s.GetInt("I", "d").has_value()); // out of range
    EXPECT_FALSE(s.GetInt("I", "e").has_value());
    EXPECT_FALSE(s.GetInt("I", "f").has_value());
    EXPECT_EQ(s.GetInt("I", "g"), -1);
    EXPECT_EQ(s.GetInt("I", "e", 7), 7);
}

TEST(SettingsFile, SavesAtomicallyIntoNewFolders) {
    kw::test::TempDir tmp;
    std::string path = tmp / "deep/er/settings.ini";
    SettingsFile s(path);
    EXPECT_TRUE(s.Load()); // missing file: empty set
    s.SetString("A", "b", "c");
    ASSERT_TRUE(s.Save());
    EXPECT_EQ(ReadAll(path), "[A]\nb=c\n");
    s.SetString("A", "b", "d");
    ASSERT_TRUE(s.Save());
    SettingsFile again(path);
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(again.GetString("A", "b", ""), "d");
    // No temporary file is left behind.
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp / "deep/er")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);
    // A folder in the file's place: saving fails and reports it.
    SettingsFile blocked(tmp / "deep");
    blocked.SetString("A", "b", "c");
    EXPECT_FALSE(blocked.Save());
}

TEST(SettingsFile, DefaultPathFollowsTheEnvironment) {
    ::setenv("KW_SETTINGS", "/x/s.ini", 1);
    EXPECT_EQ(SettingsFile::DefaultPath(), "/x/s.ini");
    ::unsetenv("KW_SETTINGS");
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(SettingsFile::DefaultPath(), "/cfg/kwvtfe/settings.ini");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/q", 1);
    EXPECT_EQ(SettingsFile::DefaultPath(), "/home/q/.config/kwvtfe/settings.ini");
}

TEST(SettingsFile, DrivesSectionPinsLetters) {
    kw::test::TempDir tmp;
    std::filesystem::create_directory(tmp / "data");
    ::setenv("KW_SETTINGS", (tmp / "s.ini").c_str(), 1);
    ::setenv("HOME", tmp.path().c_str(), 1);
    SettingsFile s(tmp / "s.ini");
    s.SetString("Drives", "P:", tmp / "data");
    s.SetString("Drives", "Q", "~/data");
    s.SetString("Drives", "bad key", "/x");
    ASSERT_TRUE(s.Save());
    drives::DriveTable t = drives::DriveTable::FromSystem();
    ::unsetenv("KW_SETTINGS");
    ASSERT_NE(t.Find('P'), nullptr);
    EXPECT_EQ(t.Find('P')->root, tmp / "data");
    ASSERT_NE(t.Find('Q'), nullptr);
    EXPECT_EQ(t.Find('Q')->root, tmp / "data");
    std::string drive;
    EXPECT_TRUE(t.FromHost(tmp / "data/x", &drive));
    EXPECT_EQ(drive, "P:\\x"); // first of the equal roots
}

} // namespace
} // namespace kw::settings
