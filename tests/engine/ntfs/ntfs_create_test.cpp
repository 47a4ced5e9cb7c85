// Files and folders created and deleted by the engine on mkntfs volumes,
// checked with the tools after every change: ntfsfix -n clean, ntfsls -R the
// expected tree (folders as folders), ntfscat finding every name (it walks
// each index in order) with the expected bytes, ntfsinfo the name types.
// Then many random creates and deletes on small clusters against a host
// mirror, and a create and a delete cut at each of their writes.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/file_base.h"
#include "engine/fs/fs_module.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "tests/engine/ntfs/ntfs_fixture.h"
#include "tests/engine/ntfs/ntfs_write_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

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

kwRet Mkdir(Volume& v, const std::string& p) {
    return v->CreateDirectory(EnginePath(p).c_str(), 0, nullptr, nullptr);
}

kwRet Touch(Volume& v, const std::string& p) {
    return v->CreateFile(EnginePath(p).c_str(), 0, nullptr, nullptr);
}

kwRet Remove(Volume& v, const std::string& p) {
    return v->DeleteFile(EnginePath(p).c_str());
}

std::string Namespace(const fs::path& image, const std::string& path) {
    std::string out = kwtest::Capture("ntfsinfo -F " + Quote("/" + path) + " " + Quote(image) +
                                      " 2>/dev/null | grep Namespace");
    return out.substr(out.find(':') + 1);
}

TEST(NtfsCreate, FilesAndFoldersAsTheToolsSeeThem) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 512);
    {
        Volume v(image);
        ASSERT_EQ(v.Status(), KW_OK);
        ASSERT_EQ(Mkdir(v, "Docs"), KW_OK);
        ASSERT_EQ(Mkdir(v, "Docs/Sub"), KW_OK);
        ASSERT_EQ(Touch(v, "a.txt"), KW_OK);
        ASSERT_EQ(Touch(v, "Docs/README.TXT"), KW_OK);
        ASSERT_EQ(Touch(v, "Docs/Sub/long name, with commas.dat"), KW_OK);
        EXPECT_TRUE(v->FindDirectory("\\Docs\\Sub"));
        EXPECT_FALSE(v->FindDirectory("\\a.txt"));
        DIRLIST list;
        ASSERT_EQ(v->ListDirectory(&list, "\\Docs", 0), KW_OK);
        std::map<std::string, uint32_t> attrs;
        for (uint32_t i = 0; i < list.GetCount(); ++i)
            attrs[list.Entry(i)->name] = list.Entry(i)->attributes;
        EXPECT_TRUE(attrs["Sub"] & DIR_ATTR_DIRECTORY) << "a new folder lists as a file";
        EXPECT_FALSE(attrs["README.TXT"] & DIR_ATTR_DIRECTORY);
    }
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_EQ(ToolTree(image),
              (std::set<std::string>{"Docs/", "Docs/README.TXT", "Docs/Sub/",
                                     "Docs/Sub/long name, with commas.dat", "a.txt"}));
    EXPECT_EQ(NtfsCat(image, "Docs/Sub/long name, with commas.dat"), "");
    EXPECT_EQ(NtfsCat(image, "a.txt"), "");
    // A name DOS could hold as it is carries both types; any other only Win32.
    EXPECT_NE(Namespace(image, "Docs/README.TXT").find("DOS"), std::string::npos);
    EXPECT_EQ(Namespace(image, "a.txt").find("DOS"), std::string::npos);
    EXPECT_NE(Namespace(image, "a.txt").find("Win32"), std::string::npos);
}

// Refusals write nothing; each has its code.
TEST(NtfsCreate, RefusalsWriteNothing) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 1024);
    {
        Volume v(image);
        ASSERT_EQ(Mkdir(v, "full"), KW_OK);
        ASSERT_EQ(Touch(v, "full/x"), KW_OK);
        ASSERT_EQ(Touch(v, "file"), KW_OK);
    }
    const std::string before = ReadWhole(image);
    struct Row {
        const char* what;
        std::function<kwRet(Volume&)> call;
        kwRet code;
    };
    const Row rows[] = {
        {"create existing", [](Volume& v) { return Touch(v, "FILE"); }, ERR_FILE_EXISTS},
        {"folder over a file", [](Volume& v) { return Mkdir(v, "file"); }, ERR_FILE_EXISTS},
        {"missing folder", [](Volume& v) { return Touch(v, "none/x"); }, ERR_PATH_NOT_FOUND},
        {"below a file", [](Volume& v) { return Touch(v, "file/x"); }, ERR_PATH_NOT_FOUND},
        {"bad name", [](Volume& v) { return Touch(v, "a|b"); }, ERR_INVALID_PATH},
        {"trailing backslash",
         [](Volume& v) { return v->CreateFile("\\n\\", 0, nullptr, nullptr); }, ERR_INVALID_PATH},
        {"long name", [](Volume& v) { return Touch(v, std::string(256, 'n')); }, ERR_INVALID_PATH},
        {"non-empty folder", [](Volume& v) { return Remove(v, "full"); }, ERR_DIR_NOT_EMPTY},
        {"root", [](Volume& v) { return v->DeleteFile("\\"); }, ERR_INVALID_PATH},
        {"system file", [](Volume& v) { return Remove(v, "$MFT"); }, ERR_INVALID_PATH},
        {"missing file", [](Volume& v) { return Remove(v, "nothere"); }, ERR_FILE_NOT_FOUND},
    };
    for (const Row& row : rows) {
        Volume v(image);
        ASSERT_EQ(v.Status(), KW_OK);
        EXPECT_EQ(row.call(v), row.code) << row.what;
        EXPECT_TRUE(ReadWhole(image) == before) << row.what << " wrote";
    }
    Volume v(image);
    v->SetReadOnly(true);
    EXPECT_EQ(Touch(v, "new"), ERR_WRITE_PROTECTED);
    EXPECT_EQ(Remove(v, "file"), ERR_WRITE_PROTECTED);
    EXPECT_TRUE(ReadWhole(image) == before);
}

// A name the folder's index cannot take (the folder's own long name leaves
// its record no room for even one index buffer's root) fails after the new
// record was taken: the record is given back and nothing else changes.
TEST(NtfsCreate, AFailedInsertGivesTheRecordBack) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 1024);
    const std::string folder(240, 'f');
    uint32_t before = 0, after = 0;
    {
        Volume v(image);
        ASSERT_EQ(Mkdir(v, folder), KW_OK);
        ASSERT_EQ(v->CountRecordsInUse(&before), KW_OK);
        EXPECT_EQ(Touch(v, folder + "/" + std::string(255, 'x')), kw::ntfs::ERR_INDEX_NO_ROOM);
        ASSERT_EQ(v->CountRecordsInUse(&after), KW_OK);
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_EQ(ToolTree(image), (std::set<std::string>{folder + "/"}));
}

// Two files grown a cluster at a time in turn spill their run lists into
// extension records; deleting them gives back every record, the extension
// records too, and every cluster.
TEST(NtfsCreate, DeleteGivesBackExtensionRecords) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 512);
    uint32_t before = 0, full = 0, after = 0;
    {
        Volume v(image);
        ASSERT_EQ(v->CountRecordsInUse(&before), KW_OK);
        ASSERT_EQ(Touch(v, "a.bin"), KW_OK);
        ASSERT_EQ(Touch(v, "b.bin"), KW_OK);
        NTFS_FILE_HANDLE* ha = nullptr;
        NTFS_FILE_HANDLE* hb = nullptr;
        ASSERT_EQ(v->OpenFile("\\a.bin", &ha, true), KW_OK);
        ASSERT_EQ(v->OpenFile("\\b.bin", &hb, true), KW_OK);
        // Grown by their sizes, one cluster at a time in turn: writes would
        // take clusters ahead and keep each file in one piece.
        for (uint64_t i = 1; i <= 320; ++i) {
            ASSERT_EQ(v->SetFileSize(ha, 512 * i), KW_OK) << i;
            ASSERT_EQ(v->SetFileSize(hb, 512 * i), KW_OK) << i;
        }
        v->CloseFile(ha);
        v->CloseFile(hb);
        ASSERT_EQ(v->CountRecordsInUse(&full), KW_OK);
        ASSERT_EQ(Remove(v, "a.bin"), KW_OK);
        ASSERT_EQ(Remove(v, "b.bin"), KW_OK);
        ASSERT_EQ(v->CountRecordsInUse(&after), KW_OK);
    }
    EXPECT_GT(full, before + 2) << "the run lists did not spill into extension records";
    EXPECT_EQ(after, before);
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_TRUE(ToolTree(image).empty());
}

// kwfs put and rm on NTFS as on FAT: the listing shows the bytes put, the
// tools read them, rm takes files and empty folders away.
TEST(NtfsCreate, KwfsPutAndRm) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 512);
    const std::string source = "'part:" + image.string() + "'";
    WriteWhole(dir / "in", std::string(5000, 'p'));
    {
        Volume v(image);
        ASSERT_EQ(Mkdir(v, "sub"), KW_OK);
    }
    for (const char* path : {"one.txt", "sub/two.bin"}) {
        kwtest::KwfsResult r =
            kwtest::Kwfs("put " + source + " '" + path + "' < " + Quote(dir / "in"));
        ASSERT_EQ(r.status, 0) << path << ": " << r.err;
        EXPECT_EQ(NtfsCat(image, path), std::string(5000, 'p')) << path;
    }
    kwtest::KwfsResult ls = kwtest::KwfsLs(source);
    ASSERT_EQ(ls.status, 0);
    EXPECT_NE(ls.out.find("\"path\": \"sub/two.bin\", \"kind\": \"file\", \"size\": 5000"),
              std::string::npos)
        << ls.out;
    EXPECT_EQ(kwtest::Kwfs("put " + source + " 'none/x' < " + Quote(dir / "in")).status, 1);
    EXPECT_EQ(kwtest::Kwfs("rm " + source + " sub").status, 1) << "a folder that holds a file";
    for (const char* path : {"sub/two.bin", "sub", "one.txt"})
        EXPECT_EQ(kwtest::Kwfs("rm " + source + " '" + path + "'").status, 0) << path;
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_TRUE(ToolTree(image).empty());
}

// Deleting gives back the record: as many records in use as before the
// creates, and the tools see the folder as it was.
TEST(NtfsCreate, DeleteGivesBackRecordsAndNames) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 512);
    uint32_t inUse = 0;
    {
        Volume v(image);
        ASSERT_EQ(v->CountRecordsInUse(&inUse), KW_OK);
        ASSERT_EQ(Mkdir(v, "d"), KW_OK);
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ(Touch(v, "d/file number " + std::to_string(i)), KW_OK);
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ(Remove(v, "d/file number " + std::to_string(i)), KW_OK) << i;
        ASSERT_EQ(Remove(v, "d"), KW_OK);
        uint32_t after = 0;
        ASSERT_EQ(v->CountRecordsInUse(&after), KW_OK);
        EXPECT_EQ(after, inUse);
    }
    EXPECT_EQ(kwtest::NtfsToolProblems(image), "");
    EXPECT_TRUE(ToolTree(image).empty());
}

// On tmpfs where there is one: the changes flush the disk between steps, and
// a test of thousands of them need not wait for a real disk each time.
struct ScratchOnTmpfs {
    ScratchOnTmpfs() {
        const char* old = std::getenv("TMPDIR");
        saved = old != nullptr ? old : "";
        had = old != nullptr;
        if (fs::is_directory("/dev/shm"))
            setenv("TMPDIR", "/dev/shm", 1);
    }
    ~ScratchOnTmpfs() {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    std::string saved;
    bool had = false;
};

// A few thousand random creates and deletes, most of them in the root so
// that its index grows to three levels and shrinks again, the rest in a
// handful of folders, on 512-byte clusters, against a mirror of names; the
// tools check the volume every few hundred steps and at the end.
TEST(NtfsCreate, RandomCreatesAndDeletesAgainstAMirror) {
    std::unique_ptr<kwtest::TempDir> scratch;
    {
        ScratchOnTmpfs tmpfs;
        scratch = std::make_unique<kwtest::TempDir>();
    }
    const kwtest::TempDir& dir = *scratch;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 32, 512);
    std::mt19937 rng(35);
    std::set<std::string> mirror; // paths; folders end in '/'
    std::vector<std::string> folders = {""};
    auto name = [&] {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGH0123456789 ._-()";
        std::string s(2 + rng() % 30, 'a');
        for (char& c : s)
            c = letters[rng() % (sizeof letters - 1)];
        if (s.front() == ' ' || s.back() == ' ' || s.back() == '.' || s == "..")
            s.front() = s.back() = 'x';
        return s;
    };
    auto check = [&](int step) {
        ASSERT_EQ(kwtest::NtfsToolProblems(image), "") << "step " << step;
        ASSERT_EQ(ToolTree(image), mirror) << "step " << step;
    };
    for (int step = 0; step < 3000;) {
        {
            Volume v(image);
            ASSERT_EQ(v.Status(), KW_OK);
            for (int k = 0; k < 250; ++k, ++step) {
                const std::string& folder = folders[rng() % 3 == 0 ? rng() % folders.size() : 0];
                std::vector<std::string> here;
                for (const std::string& m : mirror) {
                    if (m.back() != '/' && m.compare(0, folder.size(), folder) == 0 &&
                        m.find('/', folder.size()) == std::string::npos)
                        here.push_back(m);
                }
                bool create = here.empty() || rng() % 100 < (step < 1800 ? 75 : 25);
                if (create) {
                    std::string path = folder + name();
                    bool folderToo = folders.size() < 6 && rng() % 40 == 0;
                    bool clash = false;
                    for (const std::string& m : mirror)
                        clash = clash || strcasecmp(m.c_str(), path.c_str()) == 0 ||
                                strcasecmp(m.c_str(), (path + "/").c_str()) == 0;
                    kwRet rc = folderToo ? Mkdir(v, path) : Touch(v, path);
                    ASSERT_EQ(rc, clash ? ERR_FILE_EXISTS : KW_OK) << path;
                    if (!clash) {
                        mirror.insert(folderToo ? path + "/" : path);
                        if (folderToo)
                            folders.push_back(path + "/");
                    }
                } else {
                    std::string victim = here[rng() % here.size()];
                    ASSERT_EQ(Remove(v, victim), KW_OK) << victim;
                    mirror.erase(victim);
                }
            }
        }
        check(step);
    }
    for (size_t i = 0; i < 40 && !mirror.empty(); ++i) {
        auto it = std::next(mirror.begin(), static_cast<long>(rng() % mirror.size()));
        if (it->back() == '/')
            continue;
        EXPECT_EQ(NtfsCat(image, *it), "") << *it;
    }
}

// Creates and then deletes in one folder, so that its index grows from the
// root into buffers, splits, and loses buffers again; each is cut after every
// write. Every state passes ntfsfix -n, keeps the files that were there with
// their bytes, and lists the folder as it was after some number of the
// changes, that number never going down from one cut to the next.
TEST(NtfsCreateCrash, CreatesAndDeletesCutAtEveryWrite) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 512);
    const std::string bytes(70000, 'k');
    WriteWhole(dir / "keep.bin", bytes);
    kwtest::NtfsPut(image, dir / "keep.bin", "keep.bin");
    auto longName = [](int i) { return "d/" + std::string(60, 'a' + i % 26) + std::to_string(i); };
    std::set<std::string> tree = {"keep.bin", "d/"};
    {
        Volume v(image);
        ASSERT_EQ(Mkdir(v, "d"), KW_OK);
        for (int i = 0; i < 16; ++i) {
            ASSERT_EQ(Touch(v, longName(i)), KW_OK);
            tree.insert(longName(i));
        }
    }
    const std::string base = ReadWhole(image);
    std::vector<std::set<std::string>> states = {tree};
    std::vector<kwtest::DiskEvent> log;
    {
        Volume v(image, &log);
        ASSERT_EQ(v.Status(), KW_OK);
        for (int i = 16; i < 22; ++i) {
            ASSERT_EQ(Touch(v, longName(i)), KW_OK);
            tree.insert(longName(i));
            states.push_back(tree);
        }
        for (int i = 0; i < 22; i += 2) {
            ASSERT_EQ(Remove(v, longName(i)), KW_OK);
            tree.erase(longName(i));
            states.push_back(tree);
        }
    }
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().flush) << "the last change ends without a flush";
    size_t reached = 0;
    fs::path cut = dir / "cut.img";
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        WriteWhole(cut, state);
        // Between taking clusters and naming them they are only marked used,
        // so the cluster accounting is judged on the finished volume alone.
        ASSERT_EQ(kwtest::NtfsfixProblems(cut), "");
        std::set<std::string> seen = ToolTree(cut);
        size_t j = reached;
        while (j < states.size() && states[j] != seen)
            ++j;
        ASSERT_LT(j, states.size()) << "the folder is in none of the states it went through";
        reached = j;
        ASSERT_EQ(NtfsCat(cut, "keep.bin"), bytes);
    });
    EXPECT_EQ(reached, states.size() - 1);
    EXPECT_EQ(kwtest::NtfsToolProblems(cut), "");
}

} // namespace
