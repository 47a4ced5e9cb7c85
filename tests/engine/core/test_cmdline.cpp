#include "engine/core/cmdline.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The switches the editor accepts.
const std::uint32_t kEditorSwitches[] = {SW_AMW, SW_CAS, SW_CBS, SW_CEC, SW_DBG, SW_ERR, SW_I24,
                                         SW_IEB, SW_IFC, SW_IPE, SW_IRE, SW_LOG, SW_LVL, SW_NBS,
                                         SW_NRB, SW_NSS, SW_PAM, SW_RAV, SW_UEB, SW_USG, SW_WFS};

struct Parsed {
    std::string text; // empty when accepted
    std::uint32_t code = 0;
};

class CommandLineTest : public ::testing::Test {
protected:
    CommandLineTest() {
        setenv("KW_SYSTEM_DIR", dir_.Path().c_str(), 1);
        for (std::uint32_t mask : kEditorSwitches)
            cl_.Accept(mask);
    }
    ~CommandLineTest() override { unsetenv("KW_SYSTEM_DIR"); }

    Parsed Parse(std::vector<std::string> args) {
        args_ = std::move(args);
        args_.insert(args_.begin(), "kwvtfe32");
        argv_.clear();
        for (const std::string& a : args_)
            argv_.push_back(a.c_str());
        Parsed out;
        char* text = cl_.Parse(static_cast<int>(argv_.size()), argv_.data(), &out.code);
        if (text != nullptr) {
            out.text = text;
            kwFreeMemory(&text);
        }
        return out;
    }

    kwtest::TempDir dir_;
    kwtest::EngineTexts texts_;
    COMMAND_LINE cl_;
    std::vector<std::string> args_;
    std::vector<const char*> argv_;
};

TEST_F(CommandLineTest, TableOfCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::uint32_t code; // 0: accepted
        const char* message;
    };
    const Case cases[] = {
        {{}, 0, ""},
        {{"/LVL:3", "/NRB", "/DBG"}, 0, ""},
        {{"/USG=1,2", "/USG=2,3"}, 0, ""},
        {{"/LVL=9"}, 2, "Switch LVL requires a <Number> value which is 7 or less."},
        {{"/NRBX"}, 2, "Switch NRB cannot have a value."},
        {{"/NRB", "/NRB"}, 2, "Switch NRB is used twice."},
        {{"/CBS", "/NBS"}, 2, "Can't use both CBS and NBS"},
        {{"/IEB", "/UEB"}, 2, "Can't use both IEB and UEB"},
        {{"/CMD=x.txt"}, 2, "Switch CMD=x.txt is unknown."},
        {{"/XYZ", "/LVL=9"}, 2, "Switch XYZ is unknown."},
        {{"/LVL=9", "/XYZ"}, 2, "Switch LVL requires a <Number> value which is 7 or less."},
        {{"/nrb"}, 2, "Switch nrb is unknown."},
        {{"/LOG"}, 2, "Switch LOG requires a <FileName> value."},
        {{"/LOG="}, 2, "Switch LOG requires a <FileName> value."},
        {{"/LVL"}, 2, "Switch LVL requires a <Number> value."},
        {{"/LVL=three"}, 2, "Switch LVL requires a <Number> value."},
        {{"/USG"}, 2, "Switch USG requires a <String> value."},
        {{"/PAM=08"}, 2, "Switch PAM requires a <Number> value."},
        {{"/PAM=4294967296"}, 2, "Switch PAM requires a <Number> value."},
        {{"/PAM=0x"}, 2, "Switch PAM requires a <Number> value."},
        {{"/DBGX"}, 2, "Switch DBG requires a <FileName> value."},
    };
    for (const Case& c : cases) {
        COMMAND_LINE fresh;
        for (std::uint32_t mask : kEditorSwitches)
            fresh.Accept(mask);
        std::swap(cl_, fresh);
        Parsed p = Parse(c.args);
        std::string joined;
        for (const std::string& a : c.args)
            joined += a + " ";
        EXPECT_EQ(p.code, c.code) << joined;
        EXPECT_EQ(p.text, c.message) << joined;
    }
}

TEST_F(CommandLineTest, ValuesAndNumbers) {
    ASSERT_EQ(
        Parse({"/LVL:3", "/PAM=0x10", "/LOG=C:\\x.log", "/DBG", "/USG=1,2", "/USG=2,3,4"}).code,
        0u);
    std::uint32_t n = 0;
    EXPECT_EQ(cl_.GetNumber(SW_LVL, &n), KW_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(cl_.GetNumber(SW_PAM, &n), KW_OK);
    EXPECT_EQ(n, 16u);
    std::string v;
    EXPECT_EQ(cl_.GetValue(SW_LOG, &v), KW_OK);
    EXPECT_EQ(v, "C:\\x.log");
    EXPECT_EQ(cl_.GetValue(SW_USG, &v), KW_OK);
    EXPECT_EQ(v, "2,3,4"); // the last one given
    EXPECT_EQ(cl_.GetValue(SW_DBG, &v), ERR_SWITCH_VALUE_UNUSABLE);
    EXPECT_EQ(cl_.GetValue(SW_NRB, &v), ERR_SWITCH_NOT_GIVEN);
    cl_.Imply(SW_NRB);
    EXPECT_TRUE(cl_.IsSet(SW_NRB));
    EXPECT_EQ(cl_.GetValue(SW_NRB, &v), ERR_SWITCH_VALUE_UNUSABLE);
    EXPECT_EQ(cl_.GetNumber(SW_LOG, &n), ERR_SWITCH_VALUE_UNUSABLE);
    EXPECT_EQ(cl_.GetNumber(SW_LVL, nullptr), ERR_BAD_POINTER);

    // A value longer than the caller's buffer is refused, never cut or overrun.
    char small[5] = "zzzz";
    EXPECT_EQ(cl_.GetValue(SW_LOG, small, sizeof small), ERR_BAD_ARGUMENT);
    EXPECT_STREQ(small, "");
    char big[16];
    EXPECT_EQ(cl_.GetValue(SW_LOG, big, sizeof big), KW_OK);
    EXPECT_STREQ(big, "C:\\x.log");
    EXPECT_EQ(cl_.GetValue(SW_LOG, nullptr, 4), ERR_BAD_POINTER);
    EXPECT_STREQ(cl_.GetProgramName(), "kwvtfe32");
    EXPECT_EQ(cl_.GetProgramDrive(), 'k');
}

TEST_F(CommandLineTest, SwitchWithoutValueReportsNoValue) {
    ASSERT_EQ(Parse({"/NRB"}).code, 0u);
    std::string v;
    EXPECT_EQ(cl_.GetValue(SW_NRB, &v), ERR_SWITCH_NO_VALUE);
}

TEST_F(CommandLineTest, UsageText) {
    Parsed dash = Parse({"-NRB"});
    EXPECT_EQ(dash.code, CL_RESULT_USAGE);
    EXPECT_EQ(dash.text.substr(0, 1), "\n");
    EXPECT_NE(dash.text.find("/CAS  - Copy all sectors within partitions\n"), std::string::npos);
    EXPECT_NE(dash.text.find("/DBG[=<Filename>]  - Enable debug messages\n"), std::string::npos);
    EXPECT_NE(dash.text.find("/LOG=<Filename>  - Specify log output file\n"), std::string::npos);
    EXPECT_EQ(dash.text.find("/AMW"), std::string::npos); // not listed
    EXPECT_EQ(dash.text.find("/CMD"), std::string::npos); // not accepted

    Parsed all = Parse({"/?*"});
    EXPECT_EQ(all.code, CL_RESULT_USAGE);
    EXPECT_NE(all.text.find("/AMW  - Allow modifications while in Windows\n"), std::string::npos);
    EXPECT_NE(all.text.find("/LVL=<Number>  - Debug Level\n"), std::string::npos);
    EXPECT_NE(all.text.find("/USG=<String>  - Use specific drive geometry\n"), std::string::npos);
    EXPECT_EQ(Parse({"/?"}).text, dash.text);
}

TEST(CommandLineNumber, WholeTextMustBeANumber) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"12", true, 12},
        {"0x10", true, 16},
        {"0XfF", true, 255},
        {"010", true, 8},
        {"4294967295", true, 0xFFFFFFFFu},
        {"08", false, 0},
        {"0x", false, 0},
        {"", false, 0},
        {"12a", false, 0},
        {"-1", false, 0},
        {"4294967296", false, 0},
        {"0x100000000", false, 0},
        {" 1", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t v = 99;
        EXPECT_EQ(COMMAND_LINE::ParseNumber(c.text, &v), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(CommandLineTable, MasksAreUniqueAndNamed) {
    for (std::size_t i = 0; i < KW_SWITCH_COUNT; ++i)
        for (std::size_t j = i + 1; j < KW_SWITCH_COUNT; ++j) {
            EXPECT_NE(SwitchTable[i].mask, SwitchTable[j].mask) << SwitchTable[i].name;
            EXPECT_STRNE(SwitchTable[i].name, SwitchTable[j].name);
        }
}

} // namespace

namespace {

// Switch values are read long after parsing; the caller's arguments may be gone.
TEST(CommandLineArguments, ValuesOutliveTheCallersVector) {
    COMMAND_LINE cl;
    cl.Accept(SW_LOG);
    {
        std::vector<std::string> args = {"prog", "/LOG=/tmp/result.txt"};
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        ASSERT_EQ(cl.Parse(static_cast<int>(argv.size()), argv.data()), nullptr);
    }
    std::string value;
    EXPECT_EQ(cl.GetValue(SW_LOG, &value), KW_OK);
    EXPECT_EQ(value, "/tmp/result.txt");
    EXPECT_STREQ(cl.GetProgramName(), "prog");
    EXPECT_EQ(cl.Parse(3, nullptr), nullptr); // no vector: no arguments
    EXPECT_EQ(cl.GetProgramName(), nullptr);
}

} // namespace
