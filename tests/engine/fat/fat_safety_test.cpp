// What a FAT write leaves behind when it is cut off, when two processes
// write one volume, when the volume is damaged, when there is no room, and
// which paths it accepts. The volumes are made and judged by mkfs.fat,
// mtools and fsck.fat; the engine writes through kwfs or its own calls.
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/support/recording_disk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using kwtest::Bytes;
using kwtest::DiskEvent;
using kwtest::Mcopy;
using kwtest::Mtype;
using kwtest::Quote;
using kwtest::ReadHost;
using kwtest::RecordingSource;
using kwtest::WriteHost;

namespace {

kwtest::KwfsResult Put(const fs::path& image, const std::string& path, const fs::path& from) {
    return kwtest::Kwfs("put 'part:" + image.string() + "' '" + path + "' < " + Quote(from));
}

// What fsck.fat -n says beyond what an interrupted write may leave: clusters
// that no entry uses (a chain longer than its file, or one no entry starts),
// the FSInfo free count that goes with them, and FAT copies that differ
// while the first one (the one read) is whole. Empty: nothing else.
std::string FsckDamage(const fs::path& image) {
    std::istringstream in(kwtest::Capture("fsck.fat -n " + Quote(image) + " 2>&1"));
    static const char* const harmless[] = {
        "fsck.fat ",
        "Checking",
        "Leaving filesystem unchanged",
        "Reclaimed ",
        "Free cluster summary",
        "FATs differ but appear to be intact",
        "  Using first FAT",
        "Perform changes",
        "  Auto-",
    };
    static const std::regex longer(
        R"(.*File size is \d+ bytes, cluster chain length is \d+ bytes\.)");
    std::string left, line;
    bool truncating = false;
    while (std::getline(in, line)) {
        bool ok = line.empty() || (truncating && line.rfind("  Truncating file", 0) == 0);
        for (const char* h : harmless)
            ok = ok || line.rfind(h, 0) == 0;
        truncating = std::regex_match(line, longer) || line.rfind("/", 0) == 0;
        if (!ok && !truncating)
            left += line + "\n";
    }
    return left;
}

// ---------------------------------------------------------------- paths

// A ':' past the drive prefix is a name FAT forbids, never a cut: the put,
// rm and cat below fail with 505 and change nothing.
TEST(FatPaths, AColonInsideAPathIsRefusedAndActsOnNoOtherFile) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
    WriteHost(dir / "report.txt", "the report\n");
    Mcopy(image, dir / "report.txt", "report.txt");
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + " ::sub"));
    WriteHost(dir / "other", "other\n");
    std::string before = ReadHost(image);
    const char* const rows[] = {
        "put draft:report.txt", "put sub/c:d.txt", "put c:report.txt",
        "rm sub/x:report.txt",  "rm x:report.txt", "cat sub/x:report.txt",
    };
    for (const char* row : rows) {
        std::string command(row);
        std::string verb = command.substr(0, command.find(' '));
        std::string path = command.substr(verb.size() + 1);
        kwtest::KwfsResult r = kwtest::Kwfs(verb + " 'part:" + image.string() + "' '" + path + "'" +
                                            (verb == "put" ? " < " + Quote(dir / "other") : ""));
        EXPECT_EQ(r.status, 1) << row;
        EXPECT_NE(r.err.find("error 505"), std::string::npos) << row << ": " << r.err;
        EXPECT_TRUE(ReadHost(image) == before) << row << " changed the volume";
    }
    EXPECT_EQ(Mtype(image, "report.txt"), "the report\n");
}

// ---------------------------------------------------------------- cut-off puts

// Runs `work` on the volume file opened through the engine, recording what
// reaches the disk. With a partition number n the file is a disk image and
// the work runs on its n-th partition with a table entry.
template <class Work>
std::vector<DiskEvent> Recorded(const fs::path& image, Work work, int partition = 0) {
    std::vector<DiskEvent> log;
    kw::plat::SetDiskProviderForTests([&] {
        int err = 0;
        auto file = kw::plat::FileSectorSource::Open(image.string(),
                                                     kw::plat::DiskFileKind::ImageFile, true, &err);
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<RecordingSource>(std::move(file), &log));
        return scan;
    });
    EXPECT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    PARTITION_INFO* pi = nullptr;
    if (partition == 0) {
        uint32_t sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
        EXPECT_EQ(CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi), KW_OK);
        pi->ucFsKind = FS_KIND_FAT;
    }
    for (PARTITION_INFO* p = disk->firstPi; partition > 0 && p != nullptr; p = p->next)
        if (p->ucEntryIndex != PI_NO_ENTRY && --partition == 0)
            pi = p;
    FILESYSTEM* fs = nullptr;
    EXPECT_EQ(OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0), KW_OK);
    EXPECT_EQ(fs->Init(), KW_OK);
    work(pi);
    CloseFileSystem(&fs);
    if (pi != nullptr && (pi->ulFlags & PI_NOT_LINKED))
        DeletePi(&pi);
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
    return log;
}

// A put as kwfs does it: the file emptied, then written in pieces of 4 KiB.
kwRet EnginePut(PARTITION_INFO* pi, const char* path, const std::string& bytes) {
    FILE_BASE* f = nullptr;
    kwRet rc = kwFileOpen(&f, path, FILE_MODE_CREATE_ALWAYS | FILE_MODE_BINARY, pi, nullptr, 0);
    if (rc == KW_OK)
        rc = kwFileSetSize(f, 0, 0);
    for (size_t at = 0; rc == KW_OK && at < bytes.size(); at += 4096) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, bytes.size() - at));
        uint32_t done = 0;
        rc = kwFileWrite(f, bytes.data() + at, n, &done);
    }
    kwRet closed = f != nullptr ? kwFileClose(f, 0, nullptr) : KW_OK;
    return rc != KW_OK ? rc : closed;
}

struct CrashCase {
    const char* name;
    int bits;
    uint32_t kib;
    int clusterSectors;
    size_t oldSize;
    size_t newSize;
};

class FatCrashOrder : public ::testing::TestWithParam<CrashCase> {};

// The put is cut off after every write it makes (the writes before the cut
// on the disk, none after). Every state passes fsck.fat but for clusters no
// entry uses, the other files keep their bytes, and the file holds its old
// bytes or a beginning of its new ones: never a deleted file's bytes (the
// volume held one, removed with mdel, whose clusters the put takes).
TEST_P(FatCrashOrder, APutCutAtEveryWriteLeavesOldOrNewAndNothingElseLost) {
    const CrashCase& c = GetParam();
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", c.bits, c.kib, c.clusterSectors);
    WriteHost(dir / "secret.bin", Bytes(c.newSize + 20000, 99));
    Mcopy(image, dir / "secret.bin", "secret.bin");
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image) + " ::secret.bin"));
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(image) + " ::keep"));
    const std::pair<std::string, std::string> others[] = {{"one.bin", Bytes(5000, 1)},
                                                          {"keep/two.bin", Bytes(9000, 2)}};
    for (const auto& [path, bytes] : others) {
        WriteHost(dir / "in", bytes);
        Mcopy(image, dir / "in", path);
    }
    const std::string oldBytes = Bytes(c.oldSize, 3), newBytes = Bytes(c.newSize, 4);
    WriteHost(dir / "in", oldBytes);
    Mcopy(image, dir / "in", "target.bin");
    const std::string base = ReadHost(image);

    std::vector<DiskEvent> log = Recorded(image, [&](PARTITION_INFO* pi) {
        EXPECT_EQ(EnginePut(pi, "\\target.bin", newBytes), KW_OK);
    });
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().flush) << "the put ends without a flush";
    EXPECT_EQ(Mtype(image, "target.bin"), newBytes);

    std::string state = base;
    size_t writes = 0;
    fs::path cut = dir / "cut.img";
    for (size_t k = 0; k <= log.size(); ++k) {
        if (k > 0) {
            const DiskEvent& e = log[k - 1];
            if (e.flush)
                continue;
            state.replace(e.sector * 512, e.bytes.size(), e.bytes);
            ++writes;
        }
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        WriteHost(cut, state);
        EXPECT_EQ(FsckDamage(cut), "");
        for (const auto& [path, bytes] : others)
            EXPECT_TRUE(Mtype(cut, path) == bytes) << path;
        std::string now = Mtype(cut, "target.bin");
        bool oldOrNew = now == oldBytes || newBytes.compare(0, now.size(), now) == 0;
        EXPECT_TRUE(oldOrNew) << "target.bin holds " << now.size() << " bytes of neither";
    }
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(cut, &report)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FatCrashOrder,
    ::testing::Values(CrashCase{"fat12_over_smaller", 12, 1440, 2, 3000, 30000},
                      CrashCase{"fat12_over_larger", 12, 1440, 2, 30000, 3000},
                      CrashCase{"fat32_over_smaller", 32, 70000, 1, 3000, 30000},
                      CrashCase{"fat32_over_larger", 32, 70000, 1, 30000, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

// A change under the protected update, cut after every write: while the
// table entry says 3Ch the first FAT copy carries the marks and the saved
// type the recovery needs; once it names FAT again the volume reads as one
// (fsck.fat at worst picks one of two sound copies) with its files whole.
TEST(FatProtectedUpdate, TypeAndMarksAreNeverSeenApart) {
    kwtest::TempDir dir;
    constexpr uint32_t kStart = 2048;
    fs::path image = dir / "disk.img";
    kwtest::MakeSparse(image, (kStart + 40000ull) * 512);
    kwtest::WriteLayout(image, {{0x06, kStart, 40000}}, 0, 0);
    ASSERT_TRUE(
        kwtest::Run("mkfs.fat --offset 2048 -F 16 -s 4 " + Quote(image) + " 20000 >/dev/null"));
    const std::string at = "@@" + std::to_string(kStart * 512);
    WriteHost(dir / "in", Bytes(7000, 5));
    ASSERT_TRUE(kwtest::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + at + " " +
                            Quote(dir / "in") + " ::KEEP.BIN"));
    const std::string base = ReadHost(image);
    std::vector<DiskEvent> log = Recorded(
        image,
        [&](PARTITION_INFO* pi) {
            auto* fat = dynamic_cast<FAT_FILESYSTEM*>(pi->fileSystem);
            ASSERT_NE(fat, nullptr);
            ASSERT_EQ(fat->BeginProtectedUpdate(FAT_MARK_COPIES_OUT_OF_STEP), KW_OK);
            EXPECT_TRUE(fat->IsTypeSwitched());
            EXPECT_EQ(pi->ulFlags & PI_TYPE_3C, PI_TYPE_3C);
            EXPECT_EQ(EnginePut(pi, "\\NEW.BIN", Bytes(30000, 6)), KW_OK);
            ASSERT_EQ(fat->EndProtectedUpdate(), KW_OK);
            EXPECT_EQ(pi->ulFlags & PI_TYPE_3C, 0u);
            EXPECT_EQ(pi->ucPartType, 0x06);
        },
        1);
    ASSERT_FALSE(log.empty());
    std::vector<uint8_t> bootSector(base.begin() + kStart * 512, base.begin() + kStart * 512 + 512);
    const uint32_t firstFat = kStart + kwbytes::LoadLe16(&bootSector[14]);
    std::string state = base;
    fs::path cut = dir / "cut.img";
    size_t writes = 0, marked = 0;
    for (size_t k = 0; k <= log.size(); ++k) {
        if (k > 0) {
            if (log[k - 1].flush)
                continue;
            state.replace(log[k - 1].sector * 512, log[k - 1].bytes.size(), log[k - 1].bytes);
            ++writes;
        }
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        uint8_t type = static_cast<uint8_t>(state[446 + 4]);
        const char* fat0 = state.data() + uint64_t{firstFat} * 512;
        if (type == 0x3C) {
            ++marked;
            EXPECT_EQ(fat0[0], FAT_MARK_COPIES_OUT_OF_STEP);
            EXPECT_EQ(static_cast<uint8_t>(fat0[2]), 0x06); // FAT16 keeps the type in entry 1
            continue;
        }
        ASSERT_EQ(type, 0x06);
        WriteHost(cut, state.substr(kStart * 512, 40000ull * 512));
        std::string damage = FsckDamage(cut);
        EXPECT_TRUE(damage.empty() || damage == "FATs differ - using second FAT.\n") << damage;
        EXPECT_TRUE(Mtype(cut, "KEEP.BIN") == Bytes(7000, 5));
    }
    EXPECT_GT(marked, 2u);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(cut, &report)) << report;
    EXPECT_TRUE(Mtype(cut, "NEW.BIN") == Bytes(30000, 6));
}

// A rm and a mkdir end with the disk flushed, so their success holds after a
// power loss.
TEST(FatDurability, EveryChangeEndsWithAFlush) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
    WriteHost(dir / "in", Bytes(7000, 5));
    Mcopy(image, dir / "in", "gone.bin");
    std::vector<DiskEvent> log = Recorded(image, [&](PARTITION_INFO* pi) {
        FILE_BASE* f = nullptr;
        ASSERT_EQ(kwFileOpen(&f, "\\gone.bin", FILE_MODE_NO_OPEN, pi, nullptr, 0), KW_OK);
        EXPECT_EQ(f->Delete(), KW_OK);
        EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    });
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().flush);
    log = Recorded(image, [&](PARTITION_INFO* pi) {
        FILE_BASE* f = nullptr;
        ASSERT_EQ(kwFileOpen(&f, "\\New Folder", FILE_MODE_NO_OPEN, pi, nullptr, 0), KW_OK);
        EXPECT_EQ(f->CreateDir(), KW_OK);
        EXPECT_EQ(kwFileClose(f, 0, nullptr), KW_OK);
    });
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().flush);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
}

// ---------------------------------------------------------------- two writers

// While one process holds the volume, another's put is refused with 27 and
// writes nothing; two puts started together never cross-link.
TEST(FatWriters, ASecondWriterIsRefusedAndTwoTogetherNeverShareClusters) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
    WriteHost(dir / "a.bin", Bytes(300000, 6));
    WriteHost(dir / "b.bin", Bytes(300000, 7));
    setenv("KW_DISKS", image.c_str(), 1);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    PARTITION_INFO* pi = nullptr;
    ASSERT_EQ(CreatePi(disk, 0, nullptr, false, 0, 40000, 0, 0, PI_NO_ENTRY, 0, &pi), KW_OK);
    kwhandle h = FS_NO_HANDLE;
    ASSERT_EQ(kwLogOpen(pi, &h), KW_OK);
    ASSERT_EQ(kwLogLock(h), KW_OK);
    std::string before = ReadHost(image);
    kwtest::KwfsResult refused = Put(image, "a.bin", dir / "a.bin");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("error 27"), std::string::npos) << refused.err;
    EXPECT_TRUE(ReadHost(image) == before);
    EXPECT_EQ(kwLogUnlock(h, 0), KW_OK);
    kwLogClose(h);
    DeletePi(&pi);
    kwLibClose();
    unsetenv("KW_DISKS");

    for (int round = 0; round < 4; ++round) {
        std::string source = "'part:" + image.string() + "'";
        std::string both = std::string(KW_KWFS) + " put " + source + " a" + std::to_string(round) +
                           ".bin < " + Quote(dir / "a.bin") + " 2>/dev/null & " + KW_KWFS +
                           " put " + source + " b" + std::to_string(round) + ".bin < " +
                           Quote(dir / "b.bin") + " 2>/dev/null; wait";
        kwtest::Run(both + "; true");
        std::string report;
        ASSERT_TRUE(kwtest::FsckClean(image, &report)) << "round " << round << ": " << report;
        for (const char* name : {"a", "b"}) {
            std::string got = Mtype(image, name + std::to_string(round) + ".bin");
            EXPECT_TRUE(got.empty() || got == ReadHost(dir / (std::string(name) + ".bin")))
                << name << round;
        }
    }
}

// ---------------------------------------------------------------- damaged volumes

// The first FAT16 volume's layout, for planting damage.
struct Fat16Layout {
    uint32_t fatStart, fatBytes, fats, rootStart;
};

Fat16Layout LayoutOf(const fs::path& image) {
    std::vector<uint8_t> b = kwtest::ReadAt(image, 0, 512);
    Fat16Layout l;
    uint32_t reserved = kwbytes::LoadLe16(b.data() + 14);
    l.fats = b[16];
    l.fatBytes = kwbytes::LoadLe16(b.data() + 22) * 512u;
    l.fatStart = reserved * 512;
    l.rootStart = l.fatStart + l.fats * l.fatBytes;
    return l;
}

// The byte offset of a root entry by its 11-byte name.
uint32_t RootEntry(const fs::path& image, const Fat16Layout& l, const char* name11) {
    std::vector<uint8_t> root = kwtest::ReadAt(image, l.rootStart, 512 * 32);
    for (uint32_t i = 0; i < root.size(); i += 32) {
        if (std::memcmp(root.data() + i, name11, 11) == 0)
            return l.rootStart + i;
    }
    ADD_FAILURE() << "no entry " << name11;
    return 0;
}

void SetFat16(const fs::path& image, const Fat16Layout& l, uint32_t cluster, uint16_t value) {
    std::vector<uint8_t> v(2);
    kwbytes::StoreLe16(v.data(), value);
    for (uint32_t i = 0; i < l.fats; ++i)
        kwtest::WriteAt(image, l.fatStart + i * l.fatBytes + cluster * 2, v);
}

struct DamageCase {
    const char* name;
    const char* command; // kwfs verb and path
    bool crossLink;      // else: A.BIN's first cluster marked free
};

class FatDamage : public ::testing::TestWithParam<DamageCase> {};

// Damage that fsck.fat can repair stays repairable: the write is refused
// with 2002 and changes nothing, and the intact file still reads.
TEST_P(FatDamage, ChangesAreRefusedAndIntactFilesStillRead) {
    const DamageCase& c = GetParam();
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 16, 20000, 4);
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        WriteHost(dir / name, Bytes(9000, static_cast<uint32_t>(name[0])));
        Mcopy(image, dir / name, name);
    }
    Fat16Layout l = LayoutOf(image);
    uint32_t a = RootEntry(image, l, "A       BIN");
    uint16_t aFirst = kwbytes::LoadLe16(kwtest::ReadAt(image, a + 26, 2).data());
    if (c.crossLink)
        kwtest::WriteAt(image, RootEntry(image, l, "B       BIN") + 26, {uint8_t(aFirst), 0});
    else
        SetFat16(image, l, aFirst, 0);
    std::string before = ReadHost(image);
    WriteHost(dir / "new.bin", Bytes(9000, 8));
    std::string command(c.command);
    kwtest::KwfsResult r =
        kwtest::Kwfs(command.substr(0, command.find(' ')) + " 'part:" + image.string() + "' " +
                     command.substr(command.find(' ')) + " < " + Quote(dir / "new.bin"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 2002"), std::string::npos) << r.err;
    EXPECT_TRUE(ReadHost(image) == before) << "the damaged volume was changed";
    kwtest::KwfsResult cat = kwtest::Kwfs("cat 'part:" + image.string() + "' c.bin");
    EXPECT_EQ(cat.status, 0);
    EXPECT_TRUE(cat.out == ReadHost(dir / "c.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatDamage,
    ::testing::Values(DamageCase{"put_over_a_free_first_cluster", "put new.bin", false},
                      DamageCase{"rm_of_a_cross_linked_file", "rm b.bin", true},
                      DamageCase{"put_beside_cross_linked_files", "put new.bin", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- no room

// A put over an existing file that cannot fit fails with 2008 before the old
// file is touched, from a file and from a pipe alike.
TEST(FatRoom, APutThatCannotFitKeepsTheOldFile) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeFatVolume(dir, "v.img", 12, 1440, 1);
    const std::string old = Bytes(20000, 9);
    WriteHost(dir / "old", old);
    Mcopy(image, dir / "old", "keep.bin");
    WriteHost(dir / "big", Bytes(1600 * 1024, 10));
    kwtest::KwfsResult fromFile =
        kwtest::Kwfs("put 'part:" + image.string() + "' keep.bin < " + Quote(dir / "big"));
    EXPECT_EQ(fromFile.status, 1);
    EXPECT_NE(fromFile.err.find("error 2008"), std::string::npos) << fromFile.err;
    EXPECT_TRUE(Mtype(image, "keep.bin") == old);
    std::string piped =
        kwtest::Capture("cat " + Quote(dir / "big") + " | " + KW_KWFS +
                        " put 'part:" + image.string() + "' keep.bin 2>&1; echo status=$?");
    EXPECT_NE(piped.find("error 2008"), std::string::npos) << piped;
    EXPECT_TRUE(Mtype(image, "keep.bin") == old);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(image, &report)) << report;
}

} // namespace
