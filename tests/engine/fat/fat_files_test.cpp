// Whole files: the cache file in front of host and FAT files, copying a file
// inside a FAT volume, a file that grows in large steps, and the search for
// a Windows NT installation. mtools and fsck.fat judge the volumes.
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/fat/fat_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace fs = std::filesystem;
using kwtest::Bytes;
using kwtest::Mcopy;
using kwtest::Mtype;
using kwtest::Quote;
using kwtest::ReadHost;
using kwtest::WriteHost;

namespace {

// ---------------------------------------------------------------- cache files

TEST(CacheFiles, HostFilesLoadChangeAndWriteBack) {
    kwtest::TempDir dir;
    const std::string path = (dir / "data.bin").string();
    std::ofstream(path, std::ios::binary) << Bytes(100, 1);
    FILE_BASE* f = nullptr;
    EXPECT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_READ, nullptr, nullptr, 99), ERR_FILE_OPEN);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_READ | FILE_MODE_TEXT | FILE_MODE_BINARY,
                         nullptr, nullptr, 200),
              ERR_BAD_ARGUMENT);
    ASSERT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_READWRITE, nullptr, nullptr, 200), KW_OK);
    char buffer[300];
    uint32_t done = 0;
    ASSERT_EQ(kwFileSeek(f, 60, 0, FILE_SEEK_SET), KW_OK);
    EXPECT_EQ(kwFileRead(f, buffer, 100, &done), ERR_FILE_SHORT_READ);
    EXPECT_EQ(done, 40u);
    EXPECT_EQ(std::string(buffer, 40), Bytes(100, 1).substr(60));
    EXPECT_EQ(kwFileSeek(f, 1, 0, FILE_SEEK_END), ERR_FILE_SEEK);
    EXPECT_EQ(kwFileSeek(f, 0, 1, FILE_SEEK_SET), ERR_FILE_SEEK);
    // Up to the capacity and no further; the size stays below it.
    const std::string more = Bytes(100, 2);
    EXPECT_EQ(kwFileWrite(f, more.data(), 100, &done), KW_OK);
    EXPECT_EQ(kwFileWrite(f, "x", 1, &done), ERR_FILE_WRITE);
    EXPECT_EQ(kwFileSetSize(f, 200, 0), ERR_BAD_ARGUMENT);
    EXPECT_EQ(ReadHost(path), Bytes(100, 1)); // nothing reaches the file before Close
    ASSERT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, nullptr), KW_OK);
    EXPECT_EQ(ReadHost(path), Bytes(100, 1) + more);
    // Changes closed without write-back are dropped; appending starts at the end.
    ASSERT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_READWRITE, nullptr, nullptr, 300), KW_OK);
    EXPECT_EQ(kwFileSetSize(f, 10, 0), KW_OK);
    EXPECT_EQ(kwFileClose(f, FILE_CLOSE_KEEP, nullptr), KW_OK);
    EXPECT_EQ(ReadHost(path).size(), 200u);
    ASSERT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_APPEND, nullptr, nullptr, 300), KW_OK);
    EXPECT_EQ(kwFileWrite(f, "end", 3, &done), KW_OK);
    EXPECT_EQ(kwFileSetSize(f, 250, 0), KW_OK); // made longer: zeros, not old memory
    ASSERT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, nullptr), KW_OK);
    EXPECT_EQ(ReadHost(path), Bytes(100, 1) + more + "end" + std::string(47, '\0'));
    // Made anew and closed unwritten: an empty file.
    ASSERT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_CREATE_ALWAYS, nullptr, nullptr, 300), KW_OK);
    ASSERT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, nullptr), KW_OK);
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(CacheFiles, AFailedWriteBackHandsTheBufferOver) {
    kwtest::TempDir dir;
    const std::string path = (dir / "no folder" / "f.bin").string();
    FILE_BASE* f = nullptr;
    ASSERT_EQ(kwFileOpen(&f, path.c_str(), FILE_MODE_CREATE_ALWAYS, nullptr, nullptr, 64), KW_OK);
    uint32_t done = 0;
    ASSERT_EQ(kwFileWrite(f, "kept", 4, &done), KW_OK);
    void* buffer = nullptr;
    EXPECT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, &buffer), ERR_FILE_CLOSE);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::memcmp(buffer, "kept", 4), 0);
    delete[] static_cast<uint8_t*>(buffer);
}

class FatFiles : public kwtest::FatVolumeTest {
protected:
    void Open(const fs::path& image) { OpenVolume(image, true); }
    std::string Fsck(const fs::path& image) {
        std::string report;
        return kwtest::FsckClean(image, &report) ? "" : report;
    }
};

TEST_F(FatFiles, CacheFilesInsideAFatVolume) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 4);
    std::ofstream(dir_ / "in", std::ios::binary) << Bytes(9000, 3);
    Mcopy(image, dir_ / "in", "LOG.TXT");
    Open(image);
    FILE_BASE* f = nullptr;
    ASSERT_EQ(kwFileOpen(&f, "\\LOG.TXT", FILE_MODE_READWRITE, pi_, nullptr, 1 << 20), KW_OK);
    uint32_t done = 0;
    ASSERT_EQ(kwFileSeek(f, 100, 0, FILE_SEEK_SET), KW_OK);
    ASSERT_EQ(kwFileWrite(f, "changed", 7, &done), KW_OK);
    ASSERT_EQ(kwFileSetSize(f, 5000, 0), KW_OK);
    ASSERT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, nullptr), KW_OK);
    ASSERT_EQ(kwFileOpen(&f, "\\NEW.TXT", FILE_MODE_CREATE_ALWAYS, pi_, nullptr, 1 << 20), KW_OK);
    const std::string fresh = Bytes(70000, 4);
    ASSERT_EQ(kwFileWrite(f, fresh.data(), static_cast<uint32_t>(fresh.size()), &done), KW_OK);
    ASSERT_EQ(kwFileClose(f, FILE_CLOSE_WRITE_BACK, nullptr), KW_OK);
    CloseVolume();
    std::string expected = Bytes(9000, 3).substr(0, 5000);
    expected.replace(100, 7, "changed");
    EXPECT_EQ(Mtype(image, "LOG.TXT"), expected);
    EXPECT_EQ(Mtype(image, "NEW.TXT"), fresh);
    EXPECT_EQ(Fsck(image), "");
}

// ---------------------------------------------------------------- copies

TEST_F(FatFiles, CopiesKeepBytesAndTimesAndAFailedOneLeavesNothing) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 12, 1440, 2);
    std::ofstream(dir_ / "in", std::ios::binary) << Bytes(450000, 5);
    Mcopy(image, dir_ / "in", "BIG.BIN");
    ASSERT_TRUE(kwtest::Run("touch " + Quote(dir_ / "empty") + " && MTOOLS_SKIP_CHECK=1 mcopy -i " +
                            Quote(image) + " " + Quote(dir_ / "empty") + " ::EMPTY.TXT"));
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + " ::SUB"));
    Open(image);
    ASSERT_EQ(fat_->FileCopy("\\BIG.BIN", "\\SUB\\A long copy name.bin", 0), KW_OK);
    ASSERT_EQ(fat_->FileCopy("\\EMPTY.TXT", "\\EMPTY2.TXT", 0), KW_OK);
    EXPECT_EQ(fat_->FileCopy("\\BIG.BIN", "\\EMPTY2.TXT", 0), ERR_FILE_EXISTS);
    EXPECT_EQ(fat_->FileCopy("\\SUB", "\\SUB2", 0), ERR_NOT_SUPPORTED);
    EXPECT_EQ(fat_->FileCopy("\\NONE.BIN", "\\X.BIN", 0), ERR_FILE_NOT_FOUND);
    FAT_FOUND a, b;
    ASSERT_EQ(fat_->FindPath("\\BIG.BIN", 0, &a), KW_OK);
    ASSERT_EQ(fat_->FindPath("\\SUB\\A long copy name.bin", 0, &b), KW_OK);
    EXPECT_EQ(std::memcmp(a.entry + FDE_WTIME, b.entry + FDE_WTIME, 4), 0);
    // No room for a third copy: it goes again, and so do its clusters.
    uint32_t free = fat_->GetFat()->CountFreeClusters();
    EXPECT_EQ(fat_->FileCopy("\\BIG.BIN", "\\THIRD.BIN", 0), KW_OK);
    EXPECT_EQ(fat_->FileCopy("\\BIG.BIN", "\\FOURTH.BIN", 0), ERR_FAT_NO_SPACE);
    EXPECT_EQ(fat_->GetFat()->CountFreeClusters(), free - (450000 + 1023) / 1024);
    EXPECT_EQ(fat_->FindPath("\\FOURTH.BIN", 0, &b), ERR_FILE_NOT_FOUND);
    CloseVolume();
    EXPECT_EQ(Fsck(image), "");
    EXPECT_EQ(Mtype(image, "SUB/A long copy name.bin"), Bytes(450000, 5));
    EXPECT_EQ(Mtype(image, "THIRD.BIN"), Bytes(450000, 5));
    EXPECT_EQ(Mtype(image, "EMPTY2.TXT"), "");
}

TEST_F(FatFiles, AGrowingFileTakesRoomInLargeSteps) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 32, 70000, 1);
    Open(image);
    ASSERT_EQ(fat_->FileCreate("\\GROW.LOG", FAT_ATTR_ARCHIVE), KW_OK);
    FAT_FILE_HANDLE* h = nullptr;
    ASSERT_EQ(fat_->OpenFile("\\GROW.LOG", &h, 0), KW_OK);
    const std::string first = Bytes(1000, 6), second = Bytes(5000, 7);
    ASSERT_EQ(fat_->WriteGrowing(h, first.data(), 1000), KW_OK);
    EXPECT_EQ(h->GetSize(), FAT_GROW_STEP);
    ASSERT_EQ(fat_->WriteGrowing(h, second.data(), 5000), KW_OK);
    EXPECT_EQ(h->GetSize(), FAT_GROW_STEP);
    ASSERT_EQ(h->Seek(FAT_GROW_STEP - 10), KW_OK);
    ASSERT_EQ(fat_->WriteGrowing(h, second.data(), 20), KW_OK);
    EXPECT_EQ(h->GetSize(), 2 * FAT_GROW_STEP);
    delete h;
    CloseVolume();
    EXPECT_EQ(Fsck(image), "");
    std::string got = Mtype(image, "GROW.LOG");
    ASSERT_EQ(got.size(), 2 * FAT_GROW_STEP);
    EXPECT_EQ(got.substr(0, 6000), first + second);
    EXPECT_EQ(got.substr(6000, 100), std::string(100, '\0'));
    EXPECT_EQ(got.substr(FAT_GROW_STEP - 10, 20), second.substr(0, 20));
}

// ---------------------------------------------------------------- NT installation

TEST_F(FatFiles, AnNtInstallationNeedsItsKernelAndEveryHive) {
    fs::path image = kwtest::MakeFatVolume(dir_, "v.img", 16, 20000, 4);
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) +
                            " ::WINNT ::WINNT/system32 ::WINNT/system32/config"));
    std::ofstream(dir_ / "f") << "x";
    for (const char* name :
         {"system32/ntoskrnl.exe", "system32/config/sam", "system32/config/software",
          "system32/config/security", "system32/config/system"})
        Mcopy(image, dir_ / "f", std::string("WINNT/") + name);
    Open(image);
    // The last hive is missing: no installation (a search that lists its
    // folders but finds nothing is no success).
    EXPECT_EQ(FindNtInstallation(fs_, "\\WINNT"), ERR_FILE_NOT_FOUND);
    EXPECT_NE(FindNtInstallation(fs_, "\\WINDOWS"), KW_OK);
    CloseVolume();
    Mcopy(image, dir_ / "f", "WINNT/system32/config/system.alt");
    Open(image);
    EXPECT_EQ(FindNtInstallation(fs_, "\\WINNT"), KW_OK);
    EXPECT_EQ(FindNtInstallation(fs_, "\\winnt\\"), KW_OK);
    EXPECT_EQ(FindNtInstallation(nullptr, "\\WINNT"), ERR_BAD_ARGUMENT);
}

} // namespace
