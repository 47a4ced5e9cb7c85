// Writing FAT volumes through the engine's file objects (kwfs put and rm,
// kwFileOpen) and checking them with mtype, mcopy, mdir and fsck.fat.
#include "engine/core/errtext.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/host_find.h"
#include "tests/engine/fat/fat_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace fs = std::filesystem;
using kwtest::Bytes;
using kwtest::FatListing;
using kwtest::Mcopy;
using kwtest::Mtype;
using kwtest::Quote;
using kwtest::ReadHost;
using kwtest::WriteHost;

namespace {

kwtest::KwfsResult Put(const fs::path& image, const std::string& path, const fs::path& from) {
    return kwtest::Kwfs("put 'part:" + image.string() + "' '" + path + "' < " + Quote(from));
}

struct WriteCase {
    const char* name;
    int bits;
    uint32_t kib;
    int clusterSectors;
};

class FatWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FatWrites, FilesWrittenByTheEngineReadBackWithTheTools) {
    kwtest::TempDir dir;
    const WriteCase& c = GetParam();
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", c.bits, c.kib, c.clusterSectors);
    kwtest::FillStandardTree(dir, image);
    uint32_t bpc = c.clusterSectors * 512u;
    const std::pair<std::string, size_t> files[] = {
        {"NEW.TXT", 1},
        {"A new long name.data", bpc - 1},
        {"Docs/Ünïcode grüße.txt", bpc},
        {"Docs/Old Letters/exact.bin", bpc + 1},
        {"empty file", 0},
        {"deep/level 0/one megabyte.bin", 1 << 20},
        {"README.TXT", 3 * 512 + 7}, // replaces the tools' file
    };
    uint32_t seed = 1;
    for (const auto& [path, size] : files) {
        fs::path from = dir / "in.bin";
        std::ofstream(from, std::ios::binary) << Bytes(size, seed++);
        kwtest::KwfsResult put = Put(image, path, from);
        ASSERT_EQ(put.status, 0) << path << ": " << put.err;
    }
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    seed = 1;
    for (const auto& [path, size] : files)
        EXPECT_TRUE(Mtype(image, path) == Bytes(size, seed++)) << path;
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(ls.listing, kwtest::MdirListing(image));
    // Deleting takes the long name's pieces along: fsck finds no orphans.
    for (const auto& [path, size] : files) {
        kwtest::KwfsResult rm = kwtest::Kwfs("rm 'part:" + image.string() + "' '" + path + "'");
        ASSERT_EQ(rm.status, 0) << path << ": " << rm.err;
    }
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    FatListing after = kwtest::MdirListing(image);
    for (const auto& [path, size] : files)
        EXPECT_EQ(after.count(path), 0u) << path;
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatWrites,
                         ::testing::Values(WriteCase{"fat12", 12, 4000, 2},
                                           WriteCase{"fat16", 16, 20000, 4},
                                           WriteCase{"fat32", 32, 70000, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// The engine's own calls over one part: file.
class FatEdit : public kwtest::FatVolumeTest {
protected:
    void Open(const fs::path& image) {
        image_ = image;
        OpenVolume(image, true);
    }
    void Close() { CloseVolume(); }
    kwRet WriteFile(const char* path, const std::string& bytes, uint32_t mode) {
        FILE_BASE* f = nullptr;
        kwRet rc = kwFileOpen(&f, path, mode, pi_, nullptr, 0);
        uint32_t done = 0;
        if (rc == KW_OK && !bytes.empty())
            rc = kwFileWrite(f, bytes.data(), static_cast<uint32_t>(bytes.size()), &done);
        kwRet closed = f != nullptr ? kwFileClose(f, 0, nullptr) : KW_OK;
        return rc != KW_OK ? rc : closed;
    }
    fs::path image_;
};

TEST_F(FatEdit, RenamesKeepOneNameAndRightParents) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 32, 70000, 1);
    kwtest::FillStandardTree(dir_, image);
    Open(image);
    // Same folder: the old long name goes, an existing name is refused.
    EXPECT_EQ(fat_->FileRename("\\A rather long file name, with commas.text",
                               "\\Another quite long name.txt", 0),
              KW_OK);
    EXPECT_EQ(fat_->FileRename("\\Another quite long name.txt", "\\README.TXT", 0),
              ERR_FILE_EXISTS);
    EXPECT_EQ(fat_->FileRename("\\lower.txt", "\\LOWER.TXT", 0), KW_OK);
    // A folder to another parent, and back under the root: ".." follows.
    ASSERT_EQ(fat_->FileRename("\\Docs\\Old Letters", "\\deep\\level 0\\Letters", 0), KW_OK);
    ASSERT_EQ(fat_->FileRename("\\deep\\level 0\\Letters", "\\Letters moved", 0), KW_OK);
    ASSERT_EQ(fat_->FileRename("\\deep", "\\deep\\level 0\\inside", 0), ERR_ILLEGAL_OPERATION);
    Close();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    FatListing listing = kwtest::MdirListing(image);
    EXPECT_EQ(listing.count("Another quite long name.txt"), 1u);
    EXPECT_EQ(listing.count("A rather long file name, with commas.text"), 0u);
    EXPECT_EQ(listing.count("LOWER.TXT"), 1u);
    EXPECT_EQ(listing.count("Letters moved/big file.log"), 1u);
    EXPECT_EQ(listing.count("Docs/Old Letters"), 0u);
    std::string fsck = kwtest::Capture("fsck.fat -n -v " + Quote(image));
    EXPECT_EQ(fsck.find("'..'"), std::string::npos) << fsck;
}

TEST_F(FatEdit, FoldersGrowAndAFullFixedRootRefuses) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 12, 1440, 1);
    Open(image);
    ASSERT_EQ(fat_->MkDir("\\Many"), KW_OK);
    uint32_t made = 0;
    kwRet rc = KW_OK;
    for (; rc == KW_OK && made < 300; ++made)
        rc = WriteFile(("\\Many\\a fairly long file name " + std::to_string(made)).c_str(), "x",
                       FILE_MODE_CREATE_NEW);
    EXPECT_EQ(rc, KW_OK);
    rc = KW_OK;
    uint32_t inRoot = 0;
    while (rc == KW_OK && inRoot < 1000)
        rc = WriteFile(("\\R" + std::to_string(inRoot++) + ".TXT").c_str(), "",
                       FILE_MODE_CREATE_NEW);
    EXPECT_EQ(rc, ERR_FAT_ROOT_FULL);
    EXPECT_EQ(kwGetErrorTextA(rc).find("bad sector"), std::string::npos) << kwGetErrorTextA(rc);
    EXPECT_EQ(WriteFile("\\Many\\a fairly long file name 7", "", FILE_MODE_CREATE_NEW),
              ERR_FILE_EXISTS);
    Close();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    EXPECT_EQ(kwtest::MdirListing(image).size(), 1u + 300u + (inRoot - 1));
}

TEST_F(FatEdit, SizesChangeForRealAndNeverPastFourGigabytes) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 4);
    Open(image);
    ASSERT_EQ(WriteFile("\\grow.bin", Bytes(100000, 7), FILE_MODE_CREATE_NEW), KW_OK);
    FILE_BASE* f = nullptr;
    ASSERT_EQ(kwFileOpen(&f, "\\grow.bin", FILE_MODE_READWRITE, pi_, nullptr, 0), KW_OK);
    EXPECT_EQ(kwFileSetSize(f, 5000, 0), KW_OK);
    EXPECT_EQ(kwFileSetSize(f, 0, 1), ERR_FILE_TOO_BIG);
    ASSERT_EQ(kwFileSeek(f, 0, 0, FILE_SEEK_END), KW_OK);
    uint32_t done = 0;
    EXPECT_EQ(kwFileWrite(f, "tail", 4, &done), KW_OK);
    char buffer[100];
    ASSERT_EQ(kwFileSeek(f, 4964, 0, FILE_SEEK_SET), KW_OK);
    EXPECT_EQ(kwFileRead(f, buffer, 100, &done), ERR_FILE_SHORT_READ);
    EXPECT_EQ(done, 40u);
    EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    // Made longer: the new bytes are zeros, not what the clusters held.
    ASSERT_EQ(WriteFile("\\zeros.bin", Bytes(3000, 8), FILE_MODE_CREATE_NEW), KW_OK);
    ASSERT_EQ(kwFileOpen(&f, "\\zeros.bin", FILE_MODE_READWRITE, pi_, nullptr, 0), KW_OK);
    EXPECT_EQ(kwFileSetSize(f, 50000, 0), KW_OK); // over the clusters grow.bin gave back
    EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    // No room: the file stays as it was.
    uint32_t before = fat_->GetFat()->CountFreeClusters();
    EXPECT_EQ(WriteFile("\\huge.bin", Bytes(25 << 20, 3), FILE_MODE_CREATE_NEW), ERR_FAT_NO_SPACE);
    EXPECT_EQ(fat_->GetFat()->CountFreeClusters(), before);
    Close();
    EXPECT_EQ(Mtype(image, "grow.bin"), Bytes(100000, 7).substr(0, 5000) + "tail");
    EXPECT_EQ(Mtype(image, "zeros.bin"), Bytes(3000, 8) + std::string(47000, '\0'));
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
}

TEST_F(FatEdit, ReadOnlyVolumesRefuseEveryChange) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 4);
    kwtest::FillStandardTree(dir_, image);
    std::string before = kwtest::Capture("sha256sum " + Quote(image)).substr(0, 64);
    Open(image);
    fat_->SetReadOnly(true);
    EXPECT_EQ(WriteFile("\\new.txt", "x", FILE_MODE_CREATE_NEW), ERR_WRITE_PROTECTED);
    EXPECT_EQ(WriteFile("\\README.TXT", "x", FILE_MODE_READWRITE), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fat_->MkDir("\\NewDir"), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fat_->FileDelete("\\README.TXT", 0), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fat_->FileRename("\\README.TXT", "\\X.TXT", 0), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fs_->SetSerialNumber(0x12345678), ERR_WRITE_PROTECTED);
    Close();
    EXPECT_EQ(kwtest::Capture("sha256sum " + Quote(image)).substr(0, 64), before);
}

// A new serial changes the serial only: the label stays what the volume has,
// whatever the partition record holds (empty for a bare volume file).
TEST_F(FatEdit, SerialGoesIntoTheBootSectorAndTheLabelStays) {
    for (const char* recordLabel : {"", "OTHER"}) {
        kwtest::TempDir dir;
        fs::path image = kwtest::MakeFatVolume(dir, "v.img", 32, 70000, 1);
        Open(image);
        std::snprintf(pi_->volumeLabel, sizeof pi_->volumeLabel, "%s", recordLabel);
        ASSERT_EQ(fs_->SetSerialNumber(0xA1B2C3D4), KW_OK);
        EXPECT_EQ(fs_->GetSerialNumber(), 0xA1B2C3D4u);
        Close();
        std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
        EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 82), "KWTEST     ");
        EXPECT_EQ(boot[21], 0xF8);
        EXPECT_EQ(kwtest::ReadAt(image, 6 * 512, 512), boot); // the backup copy
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    }
}

// Growing a file that has clusters fails for lack of room: the clusters
// taken go back and its old last cluster ends its chain again, so the next
// file written cannot share it.
TEST_F(FatEdit, AGrowthWithoutRoomEndsTheOldChainAgain) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 12, 1440, 1);
    Open(image);
    // Held for the whole session, as the editor does: the files opened below
    // work on the FAT in memory, never read again in between.
    kwhandle lock = FS_NO_HANDLE;
    ASSERT_EQ(kwLogOpen(pi_, &lock), KW_OK);
    ASSERT_EQ(kwLogLock(lock), KW_OK);
    ASSERT_EQ(WriteFile("\\five.bin", Bytes(5000, 11), FILE_MODE_CREATE_NEW), KW_OK);
    uint32_t free = fat_->GetFat()->CountFreeClusters();
    FILE_BASE* f = nullptr;
    ASSERT_EQ(kwFileOpen(&f, "\\five.bin", FILE_MODE_READWRITE, pi_, nullptr, 0), KW_OK);
    ASSERT_EQ(kwFileSeek(f, 0, 0, FILE_SEEK_END), KW_OK);
    std::string more = Bytes((free + 1) * 512, 12);
    uint32_t done = 0;
    EXPECT_EQ(kwFileWrite(f, more.data(), static_cast<uint32_t>(more.size()), &done),
              ERR_FAT_NO_SPACE);
    EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    EXPECT_EQ(fat_->GetFat()->CountFreeClusters(), free);
    ASSERT_EQ(WriteFile("\\eight.bin", Bytes(8000, 13), FILE_MODE_CREATE_NEW), KW_OK);
    EXPECT_EQ(kwLogUnlock(lock, 0), KW_OK);
    kwLogClose(lock);
    Close();
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
    EXPECT_TRUE(Mtype(image, "five.bin") == Bytes(5000, 11));
    EXPECT_TRUE(Mtype(image, "eight.bin") == Bytes(8000, 13));
}

// Names as the tools write and show them: short names lower-cased through
// the code page by their case flags, a name that is 8.3 once upper-cased
// stored in one slot with those flags, and a file may bear the label's name.
TEST(FatNames, NamesAreWrittenAndShownAsTheToolsDo) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
    fs::create_directories(dir / "tree" / "ärger");
    std::ofstream(dir / "tree" / "état.txt") << "e";
    std::ofstream(dir / "tree" / "ärger" / "ö.txt") << "o";
    ASSERT_TRUE(kwtest::Run("cd " + Quote(dir / "tree") +
                            " && MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -s -i " + Quote(image) +
                            " * ::"));
    std::ofstream(dir / "in") << "x";
    for (const char* name : {"a.txt", "b.TXT", "Mixed.txt", "KWTEST", "UPPER.TXT"}) {
        kwtest::KwfsResult put = Put(image, name, dir / "in");
        ASSERT_EQ(put.status, 0) << name << ": " << put.err;
    }
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    ASSERT_EQ(ls.status, 0) << ls.err;
    // mdir names the folder by its stored name in the paths below it ("Ärger/")
    // and by its shown name in its own line ("ärger"): the root is compared.
    FatListing tools = kwtest::MdirListing(image), shown = ls.listing;
    std::erase_if(tools, [](const auto& e) { return e.first.find('/') != std::string::npos; });
    std::erase_if(shown, [](const auto& e) { return e.first.find('/') != std::string::npos; });
    EXPECT_EQ(shown, tools);
    for (const char* name : {"état.txt", "ärger/ö.txt", "a.txt", "b.TXT", "Mixed.txt", "KWTEST"})
        EXPECT_EQ(ls.listing.count(name), 1u) << name;
    // One slot each, with the case flags: base and extension lower, base only.
    std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
    uint32_t rootSector = boot[14] + boot[15] * 256u + boot[16] * (boot[22] + boot[23] * 256u);
    std::vector<uint8_t> root = kwtest::ReadAt(image, uint64_t{rootSector} * 512, 512 * 4);
    const std::pair<const char*, uint8_t> slots[] = {{"A       TXT", 0x18}, {"B       TXT", 0x08}};
    for (const auto& [name11, flags] : slots) {
        bool seen = false;
        for (size_t i = 32; i < root.size(); i += 32) {
            if (std::memcmp(&root[i], name11, 11) != 0)
                continue;
            seen = true;
            EXPECT_EQ(root[i + 12], flags) << name11;
            EXPECT_NE(root[i - 32 + 11], 0x0F) << name11 << " has a long name";
        }
        EXPECT_TRUE(seen) << name11;
    }
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
}

TEST(HostFiles, OpenModesReadsAndSizes) {
    kwtest::TempDir dir;
    fs::path p = dir / "host.txt";
    std::ofstream(p) << std::string(1000, 'h');
    FILE_BASE* f = nullptr;
    EXPECT_EQ(kwFileOpen(&f, p.c_str(), FILE_MODE_CREATE_NEW, nullptr, nullptr, 0),
              ERR_FILE_EXISTS);
    EXPECT_EQ(f, nullptr);
    ASSERT_EQ(kwFileOpen(&f, p.c_str(), FILE_MODE_READWRITE, nullptr, nullptr, 0), KW_OK);
    char buffer[100];
    uint32_t done = 0;
    ASSERT_EQ(kwFileSeek(f, 960, 0, FILE_SEEK_SET), KW_OK);
    EXPECT_EQ(kwFileRead(f, buffer, 100, &done), KW_OK);
    EXPECT_EQ(done, 40u);
    EXPECT_EQ(kwFileSetSize(f, 10, 0), KW_OK);
    uint64_t size = 0;
    EXPECT_EQ(kwFileGetSize(f, &size), KW_OK);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    EXPECT_EQ(fs::file_size(p), 10u);
    EXPECT_EQ(kwFileOpen(&f, (dir / "none").c_str(), FILE_MODE_READ, nullptr, nullptr, 0),
              ERR_FILE_OPEN);
}

TEST(HostFiles, SearchesAgreeWithAPlainWalk) {
    kwtest::TempDir dir;
    fs::create_directories(dir / "a" / "b" / "c");
    fs::create_directories(dir / "x.txt.d");
    for (const char* f : {"one.txt", "a/Two.TXT", "a/b/three.txt", "a/b/c/four.doc", "a/b/c/5.txt"})
        std::ofstream(dir / f) << f;
    fs::create_directory_symlink(dir / "a", dir / "a" / "b" / "loop");
    std::set<std::string> walk;
    for (auto it = fs::recursive_directory_iterator(dir.path()); it != fs::end(it); ++it) {
        std::string upper = it->path().filename().string();
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!it->is_directory() && upper.size() > 4 && upper.substr(upper.size() - 4) == ".TXT")
            walk.insert(it->path().string());
    }
    DIRLIST found;
    ASSERT_EQ(kwHostFind(dir.path().c_str(), "*.txt", SEARCH_SUBDIRECTORIES, &found), KW_OK);
    std::set<std::string> got;
    for (uint32_t i = 0; i < found.GetCount(); ++i)
        got.insert(found.Entry(i)->name);
    EXPECT_EQ(got, walk);
    EXPECT_EQ(kwHostFind(dir.path().c_str(), "*.pdf", SEARCH_SUBDIRECTORIES, nullptr),
              ERR_FILE_NOT_FOUND);
    EXPECT_EQ(kwHostFind((dir / "none").c_str(), "*", 0, nullptr), ERR_PATH_NOT_FOUND);
}

} // namespace
