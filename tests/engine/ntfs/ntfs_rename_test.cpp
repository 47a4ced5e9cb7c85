// Renames and moves on mkntfs volumes, judged by ntfsfix -n, ntfsls -R,
// ntfscat and ntfsinfo; a rename cut at every write, also with the writes
// between two flushes reordered; and a long random run of creates, writes,
// cuts, renames and deletes against a host mirror of the tree.
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "tests/engine/ntfs/ntfs_fixture.h"
#include "tests/engine/ntfs/ntfs_write_fixture.h"
#include "tests/support/sanitizer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <strings.h>

namespace fs = std::filesystem;
using kwtest::Quote;

namespace {

using Volume = kwtest::NtfsWriteVolume;
using kwtest::EnginePath;
using kwtest::NtfsCat;
using kwtest::ReadWhole;
using kwtest::WriteWhole;

std::set<std::string> ToolTree(const fs::path& image) {
    return kwtest::NtfslsTreeNames(image, true);
}

kwRet Rename(Volume& v, const std::string& from, const std::string& to) {
    return v->RenameFile(EnginePath(from).c_str(), EnginePath(to).c_str());
}

// Creates (or replaces) a file with these bytes through a write handle.
kwRet Put(Volume& v, const std::string& path, const std::string& bytes) {
    NTFS_FILE_HANDLE* h = nullptr;
    kwRet rc = v->OpenFile(EnginePath(path).c_str(), &h, true);
    if (rc == ERR_FILE_NOT_FOUND)
        rc = v->CreateFileForWriting(EnginePath(path).c_str(), &h);
    if (rc == KW_OK)
        rc = v->SetFileSize(h, 0);
    if (rc == KW_OK && !bytes.empty())
        rc = v->WriteFile(h, bytes.data(), static_cast<uint32_t>(bytes.size()));
    kwRet closed = h != nullptr ? v->CloseFile(h) : KW_OK;
    return rc != KW_OK ? rc : closed;
}

std::string Namespace(const fs::path& image, const std::string& path) {
    std::string out = kwtest::Capture("ntfsinfo -F " + Quote("/" + path) + " " + Quote(image) +
                                      " 2>/dev/null | grep Namespace");
    return out.substr(out.find(':') + 1);
}

// A file renamed in its folder, moved into another, a folder moved with what
// it holds, a change of case alone, and the name types of new names.
TEST(NtfsRename, RenamesAndMovesAsTheToolsSeeThem) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 1024);
    const std::string big = kwtest::Pattern(9000, 3);
    {
        Volume v(image);
        ASSERT_EQ(v.Status(), KW_OK);
        ASSERT_EQ(v->CreateDirectory("\\A", 0, nullptr, nullptr), KW_OK);
        ASSERT_EQ(v->CreateDirectory("\\A\\Deep", 0, nullptr, nullptr), KW_OK);
        ASSERT_EQ(v->CreateDirectory("\\B", 0, nullptr, nullptr), KW_OK);
        ASSERT_EQ(Put(v, "one.txt", "one"), KW_OK);
        ASSERT_EQ(Put(v, "A/Deep/big.bin", big), KW_OK);
        ASSERT_EQ(Put(v, "case.txt", "case"), KW_OK);
        EXPECT_EQ(Rename(v, "one.txt", "first name.txt"), KW_OK);
        EXPECT_EQ(Rename(v, "first name.txt", "B/moved.txt"), KW_OK);
        EXPECT_EQ(Rename(v, "A/Deep", "B/Deep2"), KW_OK);
        EXPECT_EQ(Rename(v, "case.txt", "CASE.TXT"), KW_OK);
        EXPECT_EQ(Rename(v, "B/moved.txt", "B/moved.txt"), KW_OK) << "its own name";
        uint64_t record = 0, parent = 0, b = 0;
        ASSERT_EQ(v->FindFile("\\B\\Deep2\\big.bin", &record, &parent), KW_OK);
        ASSERT_EQ(v->FindFile("\\B", &b, nullptr), KW_OK);
        ASSERT_EQ(v->FindFile("\\B\\Deep2", &record, nullptr), KW_OK);
        EXPECT_EQ(record, parent);
    }
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_EQ(ToolTree(image), (std::set<std::string>{"A/", "B/", "B/Deep2/", "B/Deep2/big.bin",
                                                      "B/moved.txt", "CASE.TXT"}));
    EXPECT_EQ(NtfsCat(image, "B/moved.txt"), "one");
    EXPECT_EQ(NtfsCat(image, "B/Deep2/big.bin"), big);
    EXPECT_EQ(NtfsCat(image, "CASE.TXT"), "case");
    EXPECT_NE(Namespace(image, "CASE.TXT").find("DOS"), std::string::npos);
    EXPECT_EQ(Namespace(image, "B/moved.txt").find("DOS"), std::string::npos);
    // The moved folder's own entry names its new parent: ntfsls finds ".." there.
    EXPECT_NE(kwtest::Capture("ntfsls -a -p /B/Deep2 " + Quote(image)).find(".."),
              std::string::npos);
}

// Refusals write nothing; each has its code.
TEST(NtfsRename, RefusalsWriteNothing) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 1024);
    {
        Volume v(image);
        ASSERT_EQ(v->CreateDirectory("\\d", 0, nullptr, nullptr), KW_OK);
        ASSERT_EQ(v->CreateDirectory("\\d\\e", 0, nullptr, nullptr), KW_OK);
        ASSERT_EQ(Put(v, "a", "a"), KW_OK);
        ASSERT_EQ(Put(v, "d/b", "b"), KW_OK);
    }
    const std::string before = ReadWhole(image);
    struct Row {
        std::string from, to;
        kwRet code;
    };
    const Row rows[] = {
        {"a", "D/B", ERR_FILE_EXISTS},       {"a", "d", ERR_FILE_EXISTS},
        {"a", "none/a", ERR_PATH_NOT_FOUND}, {"a", "d/b/a", ERR_PATH_NOT_FOUND},
        {"none", "x", ERR_FILE_NOT_FOUND},   {"a", "bad|name", ERR_INVALID_PATH},
        {"d", "d/e/d", ERR_INVALID_PATH},    {"d", "d/d", ERR_INVALID_PATH},
        {"$MFT", "mft", ERR_INVALID_PATH},   {"a", std::string(256, 'n'), ERR_INVALID_PATH},
    };
    for (const Row& row : rows) {
        Volume v(image);
        ASSERT_EQ(v.Status(), KW_OK);
        EXPECT_EQ(Rename(v, row.from, row.to), row.code) << row.from << " -> " << row.to;
        EXPECT_TRUE(ReadWhole(image) == before) << row.from << " -> " << row.to << " wrote";
    }
    Volume v(image);
    v->SetReadOnly(true);
    EXPECT_EQ(Rename(v, "a", "c"), ERR_WRITE_PROTECTED);
    EXPECT_TRUE(ReadWhole(image) == before);
}

// Renames within a folder whose index has buffers and into another folder,
// cut after every write and with the writes between two flushes reordered:
// every state passes ntfsfix -n and holds each file under its old name, its
// new name or both, with its bytes.
TEST(NtfsRenameCrash, RenamesCutAtEveryWriteKeepEveryFile) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 512);
    auto name = [](int i) { return std::string(50, 'a' + i % 26) + std::to_string(i); };
    std::map<std::string, std::string> files; // final path -> bytes
    {
        Volume v(image);
        ASSERT_EQ(v->CreateDirectory("\\d", 0, nullptr, nullptr), KW_OK);
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(Put(v, "d/" + name(i), kwtest::Pattern(100 + 37 * i, i)), KW_OK);
    }
    const std::string base = ReadWhole(image);
    struct Move {
        std::string from, to;
    };
    const std::vector<Move> moves = {
        {"d/" + name(3), "d/" + name(3) + " renamed"}, {"d/" + name(20), name(20)}, {"d", "e"}};
    std::vector<kwtest::DiskEvent> log;
    {
        Volume v(image, &log);
        for (const Move& m : moves)
            ASSERT_EQ(Rename(v, m.from, m.to), KW_OK) << m.from;
    }
    ASSERT_TRUE(!log.empty() && log.back().flush) << "the last rename ends without a flush";
    // Each file of d may show under any of the names the moves gave it.
    auto names = [&](int i) {
        std::string n = name(i);
        std::set<std::string> all = {"d/" + n, "e/" + n};
        if (i == 3)
            all.insert({"d/" + n + " renamed", "e/" + n + " renamed"});
        if (i == 20)
            all.insert(n);
        return all;
    };
    fs::path cut = dir / "cut.img";
    auto check = [&](const std::string& state) {
        WriteWhole(cut, state);
        ASSERT_EQ(kwtest::NtfsfixProblems(cut), "");
        std::set<std::string> tree = ToolTree(cut);
        for (int i = 0; i < 40; i += 1) {
            std::string found;
            for (const std::string& n : names(i))
                found = tree.count(n) ? n : found;
            ASSERT_NE(found, "") << name(i) << " lost";
            if (i % 5 == 0 || i == 3 || i == 20) {
                ASSERT_EQ(NtfsCat(cut, found), kwtest::Pattern(100 + 37 * i, i)) << found;
            }
        }
    };
    size_t states = 0;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        if (!HasFatalFailure())
            check(state);
        ++states;
    });
    kwtest::ForEachReorderedCutState(base, log, [&](const std::string& state) {
        SCOPED_TRACE("reordered state " + std::to_string(states++));
        if (!HasFatalFailure())
            check(state);
    });
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_EQ(NtfsCat(image, name(20)), kwtest::Pattern(100 + 37 * 20, 20));
    EXPECT_EQ(NtfsCat(image, "e/" + name(3) + " renamed"), kwtest::Pattern(100 + 37 * 3, 3));
}

// On tmpfs where there is one: thousands of flushed changes need no real disk.
std::unique_ptr<kwtest::TempDir> ScratchDir() {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old != nullptr ? old : "";
    if (fs::is_directory("/dev/shm"))
        setenv("TMPDIR", "/dev/shm", 1);
    auto dir = std::make_unique<kwtest::TempDir>();
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    return dir;
}

// The host's mirror of the volume: files with their bytes, folders.
struct Mirror {
    std::map<std::string, std::string> files;
    std::set<std::string> folders = {""}; // "" is the root; others end in '/'

    std::set<std::string> Tree() const {
        std::set<std::string> out;
        for (const auto& [path, bytes] : files)
            out.insert(path);
        for (const std::string& f : folders)
            if (!f.empty())
                out.insert(f);
        return out;
    }
    bool Taken(const std::string& path) const {
        for (const std::string& p : Tree())
            if (strcasecmp(p.c_str(), path.c_str()) == 0 ||
                strcasecmp(p.c_str(), (path + "/").c_str()) == 0)
                return true;
        return false;
    }
    bool Empty(const std::string& folder) const {
        for (const std::string& p : Tree())
            if (p != folder && p.compare(0, folder.size(), folder) == 0)
                return false;
        return true;
    }
};

// A few thousand random creates, writes, cuts, renames and deletes on
// 512-byte clusters, most in the root so that its index grows to three
// levels and shrinks again, the rest in a handful of folders (renames move
// files and folders between them). After each round the volume passes
// ntfsfix -n and ntfsresize -i -f, ntfsls -R lists the mirror, and ntfscat
// reads every file's bytes (a sample between rounds, all at the end).
TEST(NtfsRandomOps, CreatesWritesCutsRenamesAndDeletesAgainstAMirror) {
    std::unique_ptr<kwtest::TempDir> dir = ScratchDir();
    fs::path image = kwtest::MakeNtfsVolume(*dir, "v.img", 32, 512);
    std::mt19937 rng(3535);
    Mirror m;
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto randomName = [&] {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGH0123456789 ._-()";
        std::string s(8 + pick(60), 'a');
        for (char& c : s)
            c = letters[pick(sizeof letters - 1)];
        s.front() = s.back() = 'x';
        return s;
    };
    auto folder = [&]() -> std::string {
        if (pick(3) != 0)
            return "";
        return *std::next(m.folders.begin(), static_cast<long>(pick(m.folders.size())));
    };
    auto anyFile = [&]() -> std::string {
        return m.files.empty()
                   ? ""
                   : std::next(m.files.begin(), static_cast<long>(pick(m.files.size())))->first;
    };
    auto bytes = [&](size_t n) { return kwtest::Pattern(n, static_cast<uint32_t>(rng())); };
    auto check = [&](int step, bool all) {
        ASSERT_EQ(kwtest::NtfsToolProblems(image), "") << "step " << step;
        ASSERT_EQ(ToolTree(image), m.Tree()) << "step " << step;
        size_t n = 0;
        for (const auto& [path, content] : m.files) {
            if (all || n++ % 25 == 0) {
                ASSERT_EQ(NtfsCat(image, path), content) << path << " at step " << step;
            }
        }
    };
    const int kSteps = kwtest::SizedForBuild(2400, 900);
    for (int step = 0; step < kSteps;) {
        {
            Volume v(image);
            ASSERT_EQ(v.Status(), KW_OK);
            for (int k = 0; k < 300; ++k, ++step) {
                const int roll = static_cast<int>(pick(100));
                const bool growing = step < kSteps * 3 / 5;
                std::string file = anyFile();
                if (file.empty() || roll < (growing ? 45 : 12)) { // create
                    std::string path = folder() + randomName();
                    if (m.Taken(path))
                        continue;
                    if (m.folders.size() < 7 && pick(30) == 0) {
                        ASSERT_EQ(v->CreateDirectory(EnginePath(path).c_str(), 0, nullptr, nullptr),
                                  KW_OK)
                            << path;
                        m.folders.insert(path + "/");
                        continue;
                    }
                    std::string content = bytes(pick(4) == 0 ? pick(20000) : pick(700));
                    ASSERT_EQ(Put(v, path, content), KW_OK) << path;
                    m.files[path] = content;
                } else if (roll < 60) { // write into or past the end, or cut
                    std::string& content = m.files[file];
                    NTFS_FILE_HANDLE* h = nullptr;
                    ASSERT_EQ(v->OpenFile(EnginePath(file).c_str(), &h, true), KW_OK) << file;
                    if (pick(3) == 0) {
                        size_t size = pick(content.size() + 3000);
                        ASSERT_EQ(v->SetFileSize(h, size), KW_OK) << file;
                        content.resize(size, '\0');
                    } else {
                        size_t at = pick(content.size() + 1);
                        std::string more = bytes(1 + pick(pick(5) == 0 ? 9000 : 400));
                        h->position = at;
                        ASSERT_EQ(v->WriteFile(h, more.data(), static_cast<uint32_t>(more.size())),
                                  KW_OK)
                            << file;
                        content.resize(std::max(content.size(), at + more.size()), '\0');
                        content.replace(at, more.size(), more);
                    }
                    ASSERT_EQ(v->CloseFile(h), KW_OK) << file;
                } else if (roll < 80) { // rename or move a file, now and then a folder
                    std::string path = pick(6) == 0 ? randomName() : folder() + randomName();
                    if (pick(10) == 0) {
                        std::string f = *std::next(m.folders.begin(),
                                                   static_cast<long>(pick(m.folders.size())));
                        std::string to = randomName() + "/";
                        if (f.empty() || m.Taken(to.substr(0, to.size() - 1)))
                            continue;
                        ASSERT_EQ(Rename(v, f.substr(0, f.size() - 1), to.substr(0, to.size() - 1)),
                                  KW_OK)
                            << f;
                        Mirror moved;
                        moved.folders.clear();
                        for (const std::string& g : m.folders)
                            moved.folders.insert(
                                g.compare(0, f.size(), f) == 0 ? to + g.substr(f.size()) : g);
                        for (auto& [p, c] : m.files)
                            moved.files[p.compare(0, f.size(), f) == 0 ? to + p.substr(f.size())
                                                                       : p] = c;
                        m = moved;
                        continue;
                    }
                    if (pick(8) == 0) { // a change of case alone
                        path = file;
                        for (char& c : path)
                            c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                                      ? std::tolower(c)
                                                      : std::toupper(c));
                        if (path.find('/') != std::string::npos &&
                            path.substr(0, path.rfind('/')) != file.substr(0, file.rfind('/')))
                            continue; // the folder's name changed case too
                    } else if (m.Taken(path)) {
                        continue;
                    }
                    ASSERT_EQ(Rename(v, file, path), KW_OK) << file << " -> " << path;
                    std::string content = m.files[file];
                    m.files.erase(file);
                    m.files[path] = content;
                } else { // delete a file, now and then an empty folder
                    std::string victim = file;
                    for (const std::string& f : m.folders)
                        if (!f.empty() && m.Empty(f) && pick(4) == 0)
                            victim = f.substr(0, f.size() - 1);
                    ASSERT_EQ(v->DeleteFile(EnginePath(victim).c_str()), KW_OK) << victim;
                    if (m.files.erase(victim) == 0)
                        m.folders.erase(victim + "/");
                }
            }
        }
        ASSERT_NO_FATAL_FAILURE(check(step, step >= kSteps));
    }
}

} // namespace
