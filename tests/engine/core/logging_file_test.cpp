// The line logs of the user-interface layer.
#include "engine/core/logging_file.h"

#include "engine/core/codepage.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// Engine set-up makes UTF-8 the host text; the logs write in it.
class LoggingFile : public ::testing::Test {
protected:
    LoggingFile() { KWString::SetDefaultKind(CPKIND_UTF8); }
    ~LoggingFile() override { KWString::SetDefaultKind(CPKIND_WIN); }
};

TEST_F(LoggingFile, EmptyLogIsDeletedAtClose) {
    kwtest::TempDir dir;
    std::string path = dir.Path() + "/log.txt";
    ::LoggingFile log;
    log.Open(path, false);
    ASSERT_TRUE(log.IsOpen());
    log.Open(dir.Path() + "/other.txt", false); // already open: the first name stays
    EXPECT_EQ(log.Name(), path);
    log.Close();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/other.txt"));
    log.WriteLine(KWString("ignored")); // closed: nothing happens
}

TEST_F(LoggingFile, AppendsOrTruncates) {
    kwtest::TempDir dir;
    std::string path = dir.Path() + "/log.txt";
    std::ofstream(path) << "old\r\n";
    {
        ::LoggingFile log;
        log.Open(path, false);
        log.WriteLine(KWString("new"));
    }
    EXPECT_EQ(kwtest::ReadFile(path), "old\r\nnew\r\n");
    ::LoggingFile log;
    log.Open(path, true);
    log.WriteLine(KWString("only"));
    log.Close();
    EXPECT_EQ(kwtest::ReadFile(path), "only\r\n");
    ::LoggingFile missing;
    missing.Open(dir.Path() + "/no/such/folder.txt", false);
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(LoggingFile, ErrorsGoToBothLogs) {
    kwtest::TempDir dir;
    OpenLog(dir.Path() + "/log.txt", true);
    OpenErrorLog(dir.Path() + "/err.txt", true);
    LogUserMessage(KWString("Caption"), KWString("Question?"), UI_KIND_CONFIRMATION);
    LogUserMessage(KWString("Error"), KWString("It failed."), UI_KIND_ERROR);
    CloseUserLogs();
    EXPECT_EQ(kwtest::ReadFile(dir.Path() + "/log.txt"),
              "Caption\r\nQuestion?\r\nError\r\nIt failed.\r\n");
    EXPECT_EQ(kwtest::ReadFile(dir.Path() + "/err.txt"), "Error\r\nIt failed.\r\n");
}

} // namespace
