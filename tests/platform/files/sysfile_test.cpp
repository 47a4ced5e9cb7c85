#include "platform/files/sysfile.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kw::sys {
namespace {

TEST(FileTime, KnownMomentsAndRoundTrips) {
    EXPECT_EQ(sysMakeFileTime({1980, 1, 1, 0, 0, 0, 0}), vfs::FILETIME_1980);
    EXPECT_EQ(sysMakeFileTime({1601, 1, 1, 0, 0, 0, 0}), 0u);
    EXPECT_EQ(sysToFileTime(0, 0), 116444736000000000ULL); // 1970-01-01
    EXPECT_EQ(sysMakeFileTime({1970, 1, 1, 0, 0, 0, 0}), sysToFileTime(0, 0));
    const FILETIME_PARTS samples[] = {{2000, 2, 29, 23, 59, 59, 999},
                                      {2024, 12, 31, 12, 0, 1, 5},
                                      {1601, 1, 1, 0, 0, 0, 1},
                                      {30827, 12, 31, 23, 59, 59, 999}};
    for (const FILETIME_PARTS& p : samples) {
        FILETIME_PARTS back;
        ASSERT_TRUE(sysFileTimeToParts(sysMakeFileTime(p), &back)) << p.year;
        EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second,
                           back.milliseconds),
                  std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.milliseconds));
    }
    for (const FILETIME_PARTS& bad :
         {FILETIME_PARTS{1900, 2, 29, 0, 0, 0, 0}, FILETIME_PARTS{2001, 13, 1, 0, 0, 0, 0},
          FILETIME_PARTS{1600, 12, 31, 0, 0, 0, 0}, FILETIME_PARTS{2001, 1, 1, 24, 0, 0, 0}})
        EXPECT_EQ(sysMakeFileTime(bad), 0u) << bad.year;
    FILETIME_PARTS none;
    EXPECT_FALSE(sysFileTimeToParts(UINT64_MAX, &none));
    EXPECT_EQ(none.year, 0);
    int64_t sec;
    long ns;
    sysFromFileTime(sysToFileTime(-5, 300), &sec, &ns);
    EXPECT_EQ(sec, -5);
    EXPECT_EQ(ns, 300);
    EXPECT_EQ(sysToFileTime(INT64_MAX, 0), UINT64_MAX);
    EXPECT_EQ(sysToFileTime(INT64_MIN, 0), 0u);
}

} // namespace
} // namespace kw::sys

namespace kw::sys {
namespace {

// A reader that hands out its chunks, then fails with failErrno (0: end).
struct ScriptedReader {
    static inline std::vector<std::string> chunks;
    static inline size_t next = 0;
    static inline int failErrno = 0;
    static ssize_t Read(int, void* buffer, size_t count) {
        if (next < chunks.size()) {
            const std::string& c = chunks[next++];
            size_t n = std::min(count, c.size());
            std::memcpy(buffer, c.data(), n);
            return static_cast<ssize_t>(n);
        }
        errno = failErrno;
        return failErrno != 0 ? -1 : 0;
    }
    static void Set(std::vector<std::string> c, int fail) {
        chunks = std::move(c);
        next = 0;
        failErrno = fail;
    }
};

TEST(ReadAll, AFailedReadIsNeverAShortWholeText) {
    std::string text = "old";
    ScriptedReader::Set({"mount 1\n", "mount 2\n"}, 0);
    EXPECT_TRUE(sysReadAll(-1, &text, 100, ScriptedReader::Read));
    EXPECT_EQ(text, "mount 1\nmount 2\n");
    ScriptedReader::Set({"mount 1\n"}, EIO); // the second read fails
    EXPECT_FALSE(sysReadAll(-1, &text, 100, ScriptedReader::Read));
    EXPECT_EQ(text, "");
    ScriptedReader::Set({"0123456789"}, 0); // more than the limit
    EXPECT_FALSE(sysReadAll(-1, &text, 9, ScriptedReader::Read));
    EXPECT_EQ(text, "");
    std::string missing;
    EXPECT_FALSE(sysReadFile("/nonexistent/kw/file", &missing, 100));
}

struct ScriptedFolder {
    static inline int entriesLeft = 0;
    static inline int failErrno = 0;
    static inline struct dirent entry {};
    static struct dirent* Next(DIR*) {
        if (entriesLeft > 0) {
            --entriesLeft;
            std::strcpy(entry.d_name, "file");
            return &entry;
        }
        errno = failErrno;
        return nullptr;
    }
};

TEST(ForEachEntry, AFailedReaddirIsNotTheEndOfTheListing) {
    int seen = 0;
    ScriptedFolder::entriesLeft = 2;
    ScriptedFolder::failErrno = 0;
    EXPECT_TRUE(sysForEachEntry(
        nullptr, [&](const struct dirent&) { ++seen; }, ScriptedFolder::Next));
    EXPECT_EQ(seen, 2);
    ScriptedFolder::entriesLeft = 1;
    ScriptedFolder::failErrno = EIO;
    EXPECT_FALSE(sysForEachEntry(
        nullptr, [&](const struct dirent&) { ++seen; }, ScriptedFolder::Next));
    EXPECT_EQ(seen, 3);
}

} // namespace
} // namespace kw::sys

TEST(SyncFolder, SyncsAFolderAndFailsOnAMissingOne) {
    kw::test::TempDir dir;
    EXPECT_TRUE(kw::sys::sysSyncFolder(dir.path()));
    EXPECT_FALSE(kw::sys::sysSyncFolder(dir / "missing"));
}

TEST(TestTempDir, AFolderThatCannotBeMadeIsAnErrorNotAnEmptyPath) {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", "/proc", 1); // a folder no one can make folders in, root included
    EXPECT_THROW(kw::test::TempDir inner, std::runtime_error);
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}
