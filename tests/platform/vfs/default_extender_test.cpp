// The root provider over real host files, reached through a namespace whose
// drive table pins T: to a test folder.
#include "platform/vfs/vfs.h"

#include "tests/platform/temp_dir.h"
#include "tests/platform/vfs/fake_extender.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::vfs {
namespace {

namespace fs = std::filesystem;

struct Releaser {
    template <class T> void operator()(T* p) const {
        if (p)
            p->Release();
    }
};
using Handle = std::unique_ptr<FILEHANDLE, Releaser>;
using Iter = std::unique_ptr<FILEITERATOR, Releaser>;

class RootProvider : public ::testing::Test {
protected:
    void SetUp() override { Make(VFS_OPTIONS::Library()); }

    void Make(const VFS_OPTIONS& options, std::string mountInfo = "",
              std::vector<std::pair<char, std::string>> pins = {}) {
        drives::DriveSources src;
        src.mountInfo = std::move(mountInfo);
        src.pins = {{'T', tmp.path()}, {'D', "/dev"}};
        src.pins.insert(src.pins.end(), pins.begin(), pins.end());
        src.sysRoot = tmp / "sys";
        table = drives::DriveTable::Build(src);
        ns = std::make_unique<VFS_NAMESPACE>(options);
        ns->Root().SetDriveTable(&table);
    }

    std::vector<std::string> List(const std::string& path) {
        std::vector<std::string> names;
        VFS_ENTRY e;
        Iter it(ns->FindFirst(path, &e));
        for (bool more = it != nullptr; more; more = it->FindNext(&e))
            names.push_back(e.name);
        return names;
    }

    kw::test::TempDir tmp;
    drives::DriveTable table;
    std::unique_ptr<VFS_NAMESPACE> ns;
};

TEST_F(RootProvider, FileLifecycle) {
    Handle h(ns->CreateFile("T:\\a.bin"));
    ASSERT_TRUE(h);
    EXPECT_EQ(ns->CreateFile("t:/a.bin"), nullptr); // exists
    size_t done = 0;
    ASSERT_TRUE(h->Write("0123456789", 10, &done));
    EXPECT_EQ(done, 10u);
    uint64_t v = 0;
    EXPECT_TRUE(h->GetPosition(&v));
    EXPECT_EQ(v, 10u);
    ASSERT_TRUE(h->SetPosition(2));
    char buf[16] = {};
    EXPECT_TRUE(h->Read(buf, 4, &done));
    EXPECT_EQ(std::string(buf, done), "2345");
    ASSERT_TRUE(h->SetPosition(10));
    EXPECT_TRUE(h->Read(buf, 4, &done)); // end of file: success, nothing read
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(h->SetSize(4));
    EXPECT_TRUE(h->GetSize(&v));
    EXPECT_EQ(v, 4u);
    EXPECT_TRUE(h->SetSize(5000000000ULL)); // sparse, past 32 bits
    EXPECT_TRUE(h->GetSize(&v));
    EXPECT_EQ(v, 5000000000ULL);
    EXPECT_TRUE(h->SetTime(FILETIME_1980 + 12345670));
    EXPECT_EQ(h->GetTime(), FILETIME_1980 + 12345670);
    h.reset();

    Handle ro(ns->OpenFileReadOnly("T:\\a.bin"));
    ASSERT_TRUE(ro);
    EXPECT_FALSE(ro->Write("x", 1, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(ro->SetPosition(~0ULL)); // refused, not truncated to 32 bits
    EXPECT_TRUE(ns->FileExists("T:\\a.bin"));
    EXPECT_FALSE(ns->DeleteFile("T:\\")); // a folder is not a file
    EXPECT_TRUE(ns->DeleteFile("T:\\a.bin"));
    EXPECT_FALSE(ns->FileExists("T:\\a.bin"));
    EXPECT_EQ(ns->OpenFile("T:\\a.bin"), nullptr);
}

TEST_F(RootProvider, RefusesFifosDevicesAndFolders) {
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(ns->OpenFile("T:\\fifo"), nullptr); // must not block either
    EXPECT_EQ(ns->OpenFileReadOnly("T:\\fifo"), nullptr);
    EXPECT_EQ(ns->CreateFile("T:\\fifo"), nullptr);
    EXPECT_EQ(ns->OpenFileReadOnly("D:\\null"), nullptr);
    EXPECT_EQ(ns->OpenFile("D:\\zero"), nullptr);
    EXPECT_EQ(ns->OpenFileReadOnly("T:\\"), nullptr);
    EXPECT_TRUE(ns->FileExists("D:\\null")); // it exists, it just is no file
}

TEST_F(RootProvider, ListingIsSortedAndSkipsOnlyDotAndDotDot) {
    for (const char* name : {"b", "a", ".hidden", "..x", "B2", "c\\d"})
        tmp.Write(name, "x");
    fs::create_directory(tmp / "sub");
    EXPECT_EQ(List("T:\\"), (std::vector<std::string>{"..x", ".hidden", "B2", "a", "b", "sub"}));
    VFS_ENTRY e;
    Iter it(ns->FindFirst("T:\\", &e));
    ASSERT_TRUE(it);
    EXPECT_EQ(e.name, "..x");
    EXPECT_EQ(e.size, 1u);
    EXPECT_TRUE(e.attributes & ATTR_HIDDEN);
    uint32_t attr = 0;
    EXPECT_TRUE(ns->GetAttributes("T:\\sub", &attr));
    EXPECT_EQ(attr & ATTR_DIRECTORY, ATTR_DIRECTORY);
    EXPECT_TRUE(List("T:\\sub").empty()); // empty folder: no iterator
    EXPECT_TRUE(List("T:\\missing").empty());
}

TEST_F(RootProvider, LongPathsWork) {
    std::string rel, drive = "T:";
    for (int i = 0; i < 40; ++i) {
        std::string part = "folder_with_a_long_name_" + std::to_string(i);
        rel += "/" + part;
        drive += "\\" + part;
    }
    ASSERT_GT(drive.size(), 1000u);
    ASSERT_TRUE(ns->CreateDirectoryTree(drive));
    EXPECT_TRUE(fs::is_directory(tmp.path() + rel));
    Handle h(ns->CreateFile(drive + "\\f.txt"));
    ASSERT_TRUE(h);
    h.reset();
    EXPECT_TRUE(ns->FileExists(drive + "/./f.txt"));
    EXPECT_EQ(List(drive), std::vector<std::string>{"f.txt"});
    EXPECT_TRUE(ns->DeleteTree("T:\\folder_with_a_long_name_0"));
    EXPECT_FALSE(fs::exists(tmp / "folder_with_a_long_name_0"));
}

TEST_F(RootProvider, PosixPathsStayRooted) {
    tmp.Write("p.txt", "abc");
    fs::path old = fs::current_path();
    tmp.Write("cwd" + tmp.path() + "/p.txt", "decoy!"); // what a relative reading would find
    fs::current_path(tmp / "cwd");
    Handle h(ns->OpenFileReadOnly(tmp / "p.txt"));
    fs::current_path(old);
    ASSERT_TRUE(h);
    uint64_t size = 0;
    EXPECT_TRUE(h->GetSize(&size));
    EXPECT_EQ(size, 3u);
    std::string full;
    EXPECT_TRUE(ns->GetFullPath(tmp / "p.txt", &full));
    EXPECT_EQ(full, "T:\\p.txt");
}

TEST_F(RootProvider, DriveListDependsOnOptions) {
    EXPECT_EQ(List("\\\\.\\"), (std::vector<std::string>{"\\\\.\\C:", "\\\\.\\D:", "\\\\.\\T:"}));
    uint32_t attr = 0;
    EXPECT_TRUE(ns->GetAttributes("\\\\.\\", &attr));
    EXPECT_EQ(attr, ATTR_DIRECTORY);
    VFS_ENTRY e;
    EXPECT_TRUE(ns->GetFileInfo("\\\\.\\T:", &e)); // served as T:\ .
    EXPECT_EQ(e.name, "\\");
    EXPECT_EQ(e.attributes & ATTR_DIRECTORY, ATTR_DIRECTORY);
    std::string name;
    EXPECT_TRUE(ns->GetVolumeName(2, &name));
    EXPECT_EQ(name, "\\\\.\\T:");
    EXPECT_FALSE(ns->GetVolumeName(3, &name));

    Make(VFS_OPTIONS::Program());
    EXPECT_EQ(List("\\\\."), (std::vector<std::string>{"C:", "D:", "T:"}));
    EXPECT_TRUE(ns->GetFullPath("\\\\.", &name));
    EXPECT_EQ(name, "\\\\.");
}

// A removable drive in a fake sysfs: T: lies on /dev/sdz1 (8:33), whose disk is removable.
const char* FakeRemovable(const kw::test::TempDir& tmp) {
    fs::create_directories(tmp / "sys/dev/block");
    tmp.Write("sys/devices/sdz/removable", "1\n");
    tmp.Write("sys/devices/sdz/sdz1/partition", "1\n");
    fs::create_directory_symlink("../../devices/sdz/sdz1", tmp / "sys/dev/block/8:33");
    return "8:33";
}

TEST_F(RootProvider, MediaStateOfRemovableFixedAndMissingMedia) {
    FakeRemovable(tmp);
    std::string info = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 8:33 / " + tmp.path() +
                       " rw - vfat /dev/sdz1 rw\n";
    Make(VFS_OPTIONS::Library(), info, {{'U', tmp / "not-mounted"}});
    uint32_t flags = 0, state = 0;
    ASSERT_TRUE(ns->GetDriveFlags("T:\\x", &flags));
    EXPECT_EQ(flags, DRIVE_REMOVABLE);
    ASSERT_TRUE(ns->GetMediaState("T:\\x", &state));
    EXPECT_EQ(state, MEDIA_READY);
    EXPECT_TRUE(List("T:\\").size() <= 1u); // the probe file is gone again ("sys" stays)
    ASSERT_TRUE(ns->GetMediaState("U:\\", &state));
    EXPECT_EQ(state, MEDIA_NO_MEDIUM_LIB);
    ASSERT_TRUE(ns->GetMediaState("C:\\", &state));
    EXPECT_EQ(state, MEDIA_READY);
    EXPECT_FALSE(ns->GetMediaState("Q:\\", &state));
    EXPECT_FALSE(ns->GetMediaState("\\\\srv\\share\\x", &state));

    Make(VFS_OPTIONS::Program(), info, {{'U', tmp / "not-mounted"}});
    ASSERT_TRUE(ns->GetMediaState("U:\\", &state));
    EXPECT_EQ(state, MEDIA_NONE);
}

TEST_F(RootProvider, MediaStateOfAWriteProtectedMedium) {
    FakeRemovable(tmp);
    // /proc refuses new files even to root: it stands in for a protected medium.
    std::string info =
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 8:33 / /proc rw - vfat /dev/sdz1 rw\n"
        "3 1 8:33 / " +
        tmp.path() + " rw - vfat /dev/sdz1 rw\n";
    Make(VFS_OPTIONS::Library(), info, {{'W', "/proc"}});
    uint32_t state = 0;
    ASSERT_TRUE(ns->GetMediaState("W:\\", &state));
    EXPECT_EQ(state, MEDIA_WRITE_PROTECT);
    // Every probe name taken: no file is made, the medium counts as protected.
    for (int n = 1; n <= 99; ++n)
        tmp.Write("$@KW" + std::to_string(n) + ".TMP", "");
    ASSERT_TRUE(ns->GetMediaState("T:\\", &state));
    EXPECT_EQ(state, MEDIA_WRITE_PROTECT);
    fs::remove(tmp / "$@KW50.TMP"); // one name free again
    ASSERT_TRUE(ns->GetMediaState("T:\\", &state));
    EXPECT_EQ(state, MEDIA_READY);
    EXPECT_FALSE(fs::exists(tmp / "$@KW50.TMP")); // the probe is deleted again
}

TEST_F(RootProvider, DiskSpaceOfAPathNotYetCreated) {
    uint64_t total = 0, free = 0;
    ASSERT_TRUE(ns->GetDiskSpace("T:\\new\\folder\\img.kwi", &total, &free));
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    EXPECT_FALSE(ns->GetDiskSpace("Q:\\", &total, &free));
}

TEST_F(RootProvider, FullDiskIsAShortWrite) {
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Handle h(ns->CreateFile("T:\\big"));
    std::string data(10000, 'x');
    size_t done = 0;
    bool ok = h && h->Write(data.data(), data.size(), &done);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(ok);
    EXPECT_EQ(done, 4096u);
}

TEST_F(RootProvider, CopyFileKeepsContentAndTime) {
    tmp.Write("empty", "");
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    tmp.Write("big", big);
    {
        Handle h(ns->OpenFile("T:\\empty"));
        ASSERT_TRUE(h && h->SetTime(FILETIME_1980));
    }
    ASSERT_TRUE(ns->CopyFile("T:\\empty", "T:\\empty2"));
    EXPECT_EQ(fs::file_size(tmp / "empty2"), 0u);
    Handle c(ns->OpenFileReadOnly("T:\\empty2"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->GetTime(), FILETIME_1980);
    ASSERT_TRUE(ns->CopyFile("T:\\big", "T:\\big2"));
    std::ifstream in(tmp / "big2", std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, big);
    EXPECT_FALSE(ns->CopyFile("T:\\big", "T:\\empty")); // never over an existing file
    EXPECT_EQ(fs::file_size(tmp / "empty"), 0u);
    EXPECT_FALSE(ns->CopyFile("T:\\missing", "T:\\m2"));
    EXPECT_FALSE(fs::exists(tmp / "m2"));
}

TEST_F(RootProvider, DeleteTreeRemovesLinksWithoutFollowing) {
    kw::test::TempDir outside;
    outside.Write("keep.txt", "k");
    tmp.Write("tree/a/b/file", "x");
    tmp.Write("tree/top", "y");
    fs::create_directory_symlink(outside.path(), tmp / "tree/a/link");
    ASSERT_TRUE(ns->DeleteTree("T:\\tree"));
    EXPECT_FALSE(fs::exists(tmp / "tree"));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
    EXPECT_FALSE(ns->DeleteTree("T:\\tree"));
}

TEST_F(RootProvider, MoveNeverReplacesAndReplaceDoes) {
    tmp.Write("a", "1");
    tmp.Write("b", "2");
    EXPECT_FALSE(ns->MoveFile("T:\\a", "T:\\b"));
    EXPECT_TRUE(ns->MoveFile("T:\\a", "T:\\c"));
    EXPECT_TRUE(fs::exists(tmp / "c"));

    // A read-only file is replaced too; a folder never is.
    fs::permissions(tmp / "b", fs::perms::owner_read);
    EXPECT_TRUE(ns->ReplaceFile("T:\\c", "T:\\b"));
    EXPECT_FALSE(fs::exists(tmp / "c"));
    EXPECT_EQ(tmp.Read("b"), "1");
    fs::create_directory(tmp / "dir");
    tmp.Write("d", "4");
    EXPECT_FALSE(ns->ReplaceFile("T:\\d", "T:\\dir"));
    EXPECT_EQ(tmp.Read("d"), "4");
    EXPECT_FALSE(ns->ReplaceFile("T:\\missing", "T:\\d"));
    EXPECT_EQ(tmp.Read("d"), "4");
}

TEST_F(RootProvider, VolumeRootAndTouchDrive) {
    std::string root;
    EXPECT_TRUE(ns->GetVolumeRoot("t:\\x\\y", &root));
    EXPECT_EQ(root, "T:");
    EXPECT_EQ(ns->TouchDrive("t:\\x"), 'T');
    EXPECT_EQ(ns->TouchDrive("\\\\srv\\s"), 0);
    EXPECT_EQ(ns->QueryObject("T:\\x", "DUVAZORI"), nullptr);
}

// The provider seam: a registered provider is asked before the root one.
TEST_F(RootProvider, RegisteredProviderServesItsPaths) {
    kw::test::TempDir media;
    media.Write("IMG.KWI", "v0");
    media.Write("IMG.002", "v1");
    kw::test::FakeRemovableExtender fake('R', media.path());
    kw::test::FakeRemovableExtender second('R', tmp.path());
    ns->AddExtender(&fake);
    ns->AddExtender(&second); // later ones are asked after it
    ns->AddExtender(&fake);   // already linked: no change

    uint32_t flags = 0;
    EXPECT_TRUE(ns->GetDriveFlags("r:\\img.kwi", &flags));
    EXPECT_EQ(flags, DRIVE_REMOVABLE);
    EXPECT_TRUE(ns->FileExists("R:\\IMG.002"));
    fake.Hide("img.002");
    EXPECT_FALSE(ns->FileExists("R:\\IMG.002"));
    EXPECT_EQ(ns->OpenFileReadOnly("R:\\IMG.002"), nullptr);
    EXPECT_EQ(List("R:\\"), std::vector<std::string>{"IMG.KWI"});
    fake.Show("IMG.002");
    EXPECT_EQ(List("R:\\"), (std::vector<std::string>{"IMG.002", "IMG.KWI"}));
    fake.SetMediumPresent(false);
    uint32_t state = 0;
    EXPECT_TRUE(ns->GetMediaState("R:\\", &state));
    EXPECT_EQ(state, MEDIA_NO_MEDIUM_LIB);
    EXPECT_FALSE(ns->FileExists("R:\\IMG.KWI"));
    std::string name;
    EXPECT_TRUE(ns->GetVolumeName(3, &name)); // after C:, D:, T: of the root provider
    EXPECT_EQ(name, "R:");

    ns->RemoveExtender(&fake);
    tmp.Write("marker", "");
    EXPECT_TRUE(ns->FileExists("R:\\marker")); // now the second provider serves R:
    ns->RemoveExtender(&second);
    EXPECT_FALSE(ns->GetDriveFlags("R:\\", &flags)); // no R: in the drive table
    ns->RemoveExtender(&second);                     // not linked: nothing happens
}

TEST_F(RootProvider, InfoAndReadOnlyAttribute) {
    tmp.Write("f.txt", "hello");
    VFS_ENTRY e;
    ASSERT_TRUE(ns->GetFileInfo("T:\\f.txt", &e));
    EXPECT_EQ(e.name, "f.txt");
    EXPECT_EQ(e.size, 5u);
    EXPECT_EQ(e.attributes, ATTR_ARCHIVE);
    EXPECT_GT(e.time, FILETIME_1980);
    ASSERT_TRUE(ns->SetAttributes("T:\\f.txt", ATTR_READONLY));
    uint32_t attr = 0;
    EXPECT_TRUE(ns->GetAttributes("T:\\f.txt", &attr));
    EXPECT_EQ(attr & ATTR_READONLY, ATTR_READONLY);
    ASSERT_TRUE(ns->SetAttributes("T:\\f.txt", 0));
    EXPECT_TRUE(ns->GetAttributes("T:\\f.txt", &attr));
    EXPECT_EQ(attr & ATTR_READONLY, 0u);
    EXPECT_FALSE(ns->GetFileInfo("T:\\none", &e));
    EXPECT_TRUE(ns->FileExists("T:\\"));
}

TEST_F(RootProvider, HostNamesWithBackslashAreNotReadAsDrivePaths) {
    tmp.Write("a\\b", "literal");
    tmp.Write("a/b", "nested");
    Handle h(ns->OpenFileReadOnly(tmp / "a\\b"));
    ASSERT_TRUE(h);
    uint64_t size = 0;
    EXPECT_TRUE(h->GetSize(&size));
    EXPECT_EQ(size, 7u); // the file of that very name, not a/b
}

TEST_F(RootProvider, CurrentDirectoryInDriveForm) {
    fs::create_directory(tmp / "sub");
    fs::path old = fs::current_path();
    ASSERT_TRUE(ns->SetCurrentDirectory("t:/sub/"));
    std::string cwd;
    EXPECT_TRUE(ns->GetCurrentDirectory(&cwd));
    tmp.Write("sub/rel.txt", "r");
    EXPECT_TRUE(ns->FileExists("rel.txt"));
    EXPECT_TRUE(ns->FileExists("T:rel.txt")); // drive-relative on the current drive
    EXPECT_FALSE(ns->SetCurrentDirectory("T:\\missing"));
    fs::current_path(old);
    EXPECT_EQ(cwd, "T:\\sub");
}

// The process's own namespace, with the drive table of this machine.
TEST(VfsInstance, HostPathsThroughTheProcessTable) {
    kw::test::TempDir tmp;
    std::string path = tmp / "g.txt";
    Handle h(vfsCreateFile(path));
    ASSERT_TRUE(h);
    h.reset();
    std::string drive;
    ASSERT_TRUE(vfsGetFullPath(path, &drive));
    EXPECT_EQ(drive.substr(1, 2), ":\\");
    EXPECT_TRUE(vfsFileExists(drive));
    VFS_ENTRY e;
    Iter it(vfsFindFirst(tmp.path(), &e));
    ASSERT_TRUE(it);
    EXPECT_EQ(e.name, "g.txt");
    EXPECT_TRUE(vfsDeleteFile(drive));
    EXPECT_FALSE(vfsFileExists(path));
}

TEST(VfsSwitches, AssertionReporterEndsWithCode3) {
    EXPECT_EXIT(vfsAssertFailed("x > 0", "store.cpp", 42), ::testing::ExitedWithCode(3),
                "ASSERTION FAILED: store.cpp\\(42\\)");
}

TEST(VfsSwitches, UserBreakSeesCtrlC) {
    EXPECT_FALSE(vfsUserBreak());
    std::raise(SIGINT);
    EXPECT_TRUE(vfsUserBreak());
}

} // namespace
} // namespace kw::vfs
