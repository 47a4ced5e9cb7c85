#include "engine/core/cmdline.h"
#include "engine/core/dbgmgr.h"
#include "engine/core/errtext.h"
#include "engine/core/workdir.h"
#include "engine/host/engine_setup.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Sets up the switch set and the debug manager over a temporary working
// directory, parses the given arguments (which opens the logs) and hands
// back what the files hold once they are closed.
class DbgMgrTest : public ::testing::Test {
protected:
    DbgMgrTest() {
        gCommandLine = new COMMAND_LINE;
        for (std::uint32_t mask : {SW_DBG, SW_LOG, SW_LVL, SW_NRB, SW_CMD})
            gCommandLine->Accept(mask);
        gCommandLine->Accept(SW_NDBG);
        gDbgMgr = new DbgMgr;
        setenv("KW_SYSTEM_DIR", dir_.Path().c_str(), 1);
    }
    ~DbgMgrTest() override {
        delete gDbgMgr;
        gDbgMgr = nullptr;
        delete gCommandLine;
        gCommandLine = nullptr;
        unsetenv("KW_SYSTEM_DIR");
        kwResetWorkingDirectory();
    }

    EN_COMMAND_LINE_RESULT Process(std::vector<std::string> args) {
        args_ = std::move(args);
        args_.insert(args_.begin(), "kwvtfe32");
        argv_.clear();
        for (const std::string& a : args_)
            argv_.push_back(a.c_str());
        return enProcessCommandLine(static_cast<int>(argv_.size()), argv_.data());
    }
    void Start(std::vector<std::string> args) {
        EN_COMMAND_LINE_RESULT r = Process(std::move(args));
        ASSERT_EQ(r.parseCode, 0u) << r.text;
        ASSERT_EQ(r.logResult, KW_OK) << r.text;
    }
    std::string DebugPath() const { return dir_.Path() + "/KW_DEBUG.TXT"; }
    std::string Close(const std::string& path) {
        gDbgMgr->Uninit();
        return kwtest::ReadFile(path);
    }
    // The debug file without its two header lines.
    std::string Body() {
        std::string all = Close(DebugPath());
        std::size_t at = all.find("\r\n\r\n");
        return at == std::string::npos ? all : all.substr(at + 4);
    }

    kwtest::TempDir dir_;
    kwtest::EngineTexts texts_;
    std::vector<std::string> args_;
    std::vector<const char*> argv_;
};

TEST_F(DbgMgrTest, HeaderOfTheDebugFile) {
    Start({});
    EXPECT_TRUE(DbgMgr::Enabled());
    EXPECT_EQ(gDbgMgr->GetLevel(), 2u);
    std::string text = Close(DebugPath());
    std::regex header("Kestrelway Quorrin -- Windows 9x engine edition\\.\r\n"
                      "Date Generated: \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\r\n\r\n");
    EXPECT_TRUE(std::regex_match(text, header)) << text;
    EXPECT_FALSE(DbgMgr::Enabled());
}

TEST_F(DbgMgrTest, LevelSwitchAndCommandLineLines) {
    Start({"/LVL=4", "/NRB"});
    EXPECT_EQ(gDbgMgr->GetLevel(), 4u);
    gDbgMgr->Print(5, "not written\n");
    DbgPrintf("not written either"); // needs level 5
    gDbgMgr->SetLevel(5);
    DbgPrintf("line %d", 1);
    DbgPrintf("line 2\n");
    EXPECT_EQ(Body(), "Running Program - kwvtfe32\r\n\r\nCommand line arguments used\r\n"
                      "---------------------------\r\n   /LVL=4\r\n   /NRB\r\n"
                      "line 1\r\nline 2\r\nDbgMgr->Uninit\r\n");
}

TEST_F(DbgMgrTest, LongMessagesAreSliced) {
    Start({});
    std::string message;
    for (int i = 0; i < 300; ++i)
        message.push_back(static_cast<char>('a' + i % 26));
    gDbgMgr->Print(2, "%s", message.c_str());
    EXPECT_EQ(Body(), message.substr(0, 119) + "\r\n" + message.substr(119, 119) + "\r\n" +
                          message.substr(238));
}

// Each line of a message counts from its own start: lines that fit are never
// cut, a longer one is cut every 119 characters.
TEST_F(DbgMgrTest, LinesOfOneMessageAreSlicedOnTheirOwn) {
    Start({});
    std::string banner(69, '='), long1(100, 'x'), long2(250, 'y');
    gDbgMgr->Print(2, "\r\n%s\r\nDisk 1:  1024 Cylinders, 255 Heads, 63 Sectors/Track.\r\n%s %s\n",
                   banner.c_str(), long1.c_str(), long1.c_str());
    gDbgMgr->Print(2, "%s", long2.c_str());
    std::string both = long1 + " " + long1;
    EXPECT_EQ(Body(),
              "\r\n" + banner + "\r\nDisk 1:  1024 Cylinders, 255 Heads, 63 Sectors/Track.\r\n" +
                  both.substr(0, 119) + "\r\n" + both.substr(119) + "\r\n" + long2.substr(0, 119) +
                  "\r\n" + long2.substr(119, 119) + "\r\n" + long2.substr(238));
}

// The debug file holds every message as soon as it is written: a process
// killed with SIGTERM or crashing leaves a whole log behind.
TEST_F(DbgMgrTest, TheLogIsWholeAfterAKillOrACrash) {
    for (int sig : {SIGTERM, SIGABRT}) {
        SCOPED_TRACE(sig);
        std::filesystem::remove(DebugPath());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            EN_COMMAND_LINE_RESULT r = Process({});
            if (r.logResult != KW_OK)
                _exit(3);
            gDbgMgr->Print(2, "the last words\n");
            std::signal(sig, SIG_DFL);
            raise(sig);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_NE(kwtest::ReadFile(DebugPath()).find("the last words\r\n"), std::string::npos);
    }
}

TEST_F(DbgMgrTest, ResultLogGetsLevelThree) {
    std::string log = dir_.EnginePath() + "RESULT.TXT";
    Start({"/LOG=" + log, "/LVL=3"});
    gDbgMgr->Print(3, "to both\n");
    gDbgMgr->Print(2, "debug file only\n");
    std::string debug = Body();
    EXPECT_NE(debug.find("to both\r\ndebug file only\r\n"), std::string::npos) << debug;
    std::string result = kwtest::ReadFile(dir_.Path() + "/RESULT.TXT");
    std::regex expected("Kestrelway Log Results\\.\r\nDate Generated: [0-9/ :]+\r\n\r\n"
                        "to both\r\n");
    EXPECT_TRUE(std::regex_match(result, expected)) << result;
}

TEST_F(DbgMgrTest, WorkingDirectoryOnDriveAMeansNoDebugFile) {
    std::string log = dir_.EnginePath() + "SCR.TXT";
    Start({"/LOG=" + log});
    gDbgMgr->Uninit();
    std::filesystem::remove(DebugPath());
    enSetWorkingDirectory("A:\\");
    EXPECT_EQ(gDbgMgr->Init(DbgOptionsFromSwitches(*gCommandLine)), KW_OK);
    EXPECT_FALSE(DbgMgr::Enabled());
    EXPECT_EQ(gDbgMgr->DebugFile(), nullptr);
    ASSERT_NE(gDbgMgr->ScriptLog(), nullptr);
    gDbgMgr->Uninit();
    EXPECT_FALSE(std::filesystem::exists(DebugPath()));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "/SCR.TXT"));
}

TEST_F(DbgMgrTest, NoDebugOutputSwitch) {
    Start({"/NDBG"});
    EXPECT_FALSE(DbgMgr::Enabled());
    EXPECT_FALSE(std::filesystem::exists(DebugPath()));
}

TEST_F(DbgMgrTest, DebugFileNamedBySwitch) {
    std::string path = dir_.EnginePath() + "MINE.TXT";
    Start({"/DBG=" + path});
    gDbgMgr->Uninit();
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "/MINE.TXT"));
    EXPECT_FALSE(std::filesystem::exists(DebugPath()));
}

TEST_F(DbgMgrTest, HostPathsForBothLogs) {
    std::string debug = dir_.Path() + "/host-debug.txt";
    std::string result = dir_.Path() + "/host-result.txt";
    Start({"/DBG=" + debug, "/LOG:" + result, "/LVL=3"});
    gDbgMgr->Print(3, "both\n");
    gDbgMgr->Uninit();
    EXPECT_NE(kwtest::ReadFile(debug).find("both\r\n"), std::string::npos);
    EXPECT_NE(kwtest::ReadFile(result).find("both\r\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(DebugPath()));
}

// A log that cannot be opened is the result, with a text that names it by
// its host path, also when it was given as a drive path.
TEST_F(DbgMgrTest, LogThatCannotBeOpenedIsReported) {
    std::string missing = dir_.Path() + "/no-such-folder/dbg.txt";
    std::string asDrivePath = dir_.EnginePath() + "no-such-folder\\dbg.txt";
    for (const std::string& arg : {"/DBG=" + missing, "/LOG=" + missing, "/DBG=" + asDrivePath}) {
        SCOPED_TRACE(arg);
        EN_COMMAND_LINE_RESULT r = Process({arg});
        EXPECT_EQ(r.parseCode, 0u);
        EXPECT_EQ(r.logResult, ERR_FILE_OPEN);
        EXPECT_EQ(r.text,
                  "Cannot open the log file " + missing + ": " + kwGetErrorTextA(ERR_FILE_OPEN));
        gDbgMgr->Uninit();
        delete gCommandLine;
        gCommandLine = new COMMAND_LINE;
        for (std::uint32_t mask : {SW_DBG, SW_LOG})
            gCommandLine->Accept(mask);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "/no-such-folder"));
}

TEST_F(DbgMgrTest, UsageRequestOpensNoLog) {
    EN_COMMAND_LINE_RESULT r = Process({"/?"});
    EXPECT_EQ(r.parseCode, CL_RESULT_USAGE);
    EXPECT_EQ(r.logResult, KW_OK);
    EXPECT_FALSE(DbgMgr::Enabled());
    EXPECT_FALSE(std::filesystem::exists(DebugPath()));
}

TEST_F(DbgMgrTest, EntryAndExitTracing) {
    Start({"/LVL=4"});
    gDbgMgr->Enter("Outer", 0, 0, "C:\\src\\engine\\outer.cpp", 12, true);
    gDbgMgr->Enter("Inner", 0, 7, "inner.cpp", 30, false);
    gDbgMgr->Print(4, "work\n");
    gDbgMgr->Exit("Inner", 3);
    gDbgMgr->SetTraceOptions(DBG_TRACE_EXIT);
    gDbgMgr->Exit(nullptr, 0);
    EXPECT_EQ(Body(), "Running Program - kwvtfe32\r\n\r\nCommand line arguments used\r\n"
                      "---------------------------\r\n   /LVL=4\r\n"
                      "Entering Outer(...)  File:outer.cpp  Line:12\r\n{\r\n"
                      " Entering Inner(...)  ID:7  File:inner.cpp  Line:30\r\n {\r\n"
                      "  work\r\n"
                      " }\r\n Exiting Inner...  Return value: 3 \r\n"
                      "}\r\n Return value: 0 \r\n");
}

TEST_F(DbgMgrTest, TimedExitAndTraceHelper) {
    Start({"/LVL=4"});
    {
        DbgTrace trace("Timed", "x.cpp", 5);
        trace.Return(12);
    }
    std::string body = Body();
    EXPECT_NE(body.find("Exiting Timed...  Return value: 12  Time = 0:0"), std::string::npos)
        << body;
}

TEST_F(DbgMgrTest, NestingStopsAtOneHundred) {
    Start({});
    for (int i = 0; i < 105; ++i)
        gDbgMgr->Enter("f", 0, 0, "f.cpp", 1, true);
    EXPECT_EQ(gDbgMgr->GetDepth(), DbgMgr::kMaxDepth);
    gDbgMgr->Exit("f", 0);
    EXPECT_EQ(gDbgMgr->GetDepth(), DbgMgr::kMaxDepth - 1);
}

TEST_F(DbgMgrTest, FormatterLogsMissingStringsAndMismatches) {
    Start({"/LVL=5"});
    gDbgMgr->Print(5, "@@\n");
    EXPECT_STREQ(FormatString("Copying segment %1"), "Copying segment %1");
    EXPECT_STREQ(FormatString("100%%"), "100%"); // logs nothing
    EXPECT_STREQ(FormatString("%1%2%3%4%1", "a", "b", "c", "d"), "abcda");
    gDbgMgr->PrintFlagged(5, "flag %d\n", 1);
    std::string body = Body();
    body = body.substr(body.find("@@\r\n") + 4);
    EXPECT_EQ(body, "FormatString: Substitution string %1 missing\r\n"
                    "FormatString: Number of substitute markers do not match input strings\r\n"
                    "FormatString: Too many substitute markers in string\r\n"
                    "!!flag 1\r\n"
                    "DbgMgr->Uninit\r\n");
}

TEST(DebugFile, IndentsOnceAndAddsCarriageReturns) {
    kwtest::TempDir dir;
    std::string path = dir.EnginePath() + "T.TXT";
    {
        DEBUG_FILE file;
        EXPECT_EQ(file.Open(path.c_str(), 0), ERR_BAD_ARGUMENT); // neither new nor append
        ASSERT_EQ(file.Open(path.c_str(), DF_NEW_FILE), KW_OK);
        file.SetIndentStep(2);
        file.Indent();
        EXPECT_EQ(file.WriteLine("a\nb"), KW_OK);
        EXPECT_EQ(file.WriteLine("\r\nc\r\n"), KW_OK);
        file.Unindent();
        file.Unindent(); // stays at 0
        EXPECT_EQ(file.GetIndent(), 0);
        EXPECT_EQ(file.WriteLine(""), KW_OK);
        EXPECT_EQ(file.Printf("%d", 5), KW_OK);
    }
    EXPECT_EQ(kwtest::ReadFile(dir.Path() + "/T.TXT"), "  a\r\nb\r\n  c\r\n5");
    DEBUG_FILE appended;
    ASSERT_EQ(appended.Open(path.c_str(), DF_APPEND | DF_NEW_FILE), KW_OK);
    appended.WriteLine("+");
    appended.Close();
    EXPECT_EQ(kwtest::ReadFile(dir.Path() + "/T.TXT"), "  a\r\nb\r\n  c\r\n5+");
    std::string longName(300, 'n');
    DEBUG_FILE tooLong;
    EXPECT_EQ(tooLong.Open((dir.EnginePath() + longName).c_str(), DF_NEW_FILE), ERR_FILE_OPEN);
    EXPECT_EQ(tooLong.Open(nullptr, DF_NEW_FILE), KW_OK);
    EXPECT_FALSE(tooLong.IsOpen());
}

} // namespace
