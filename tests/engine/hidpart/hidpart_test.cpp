// The hidden-partition provider over a disk image: FAT16, NTFS, logical
// FAT32 and FAT12, whose FAT12 partition a faked loop device has mounted. Listings and bytes are
// checked against mtools and The Sleuth Kit; every refused write leaves the
// image's bytes as they were.
#include "engine/core/progress.h"
#include "engine/disk/kwlib.h"
#include "engine/hidpart/hidpart.h"
#include "engine/imgaccess/partition_copy.h"
#include "include/filetime.h"
#include "kwvaults.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

using kwtest::kCyl;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return s;
}

// The standard disk with files in its FAT16, NTFS and FAT32 partitions, and a
// fake sysfs in which loop device 7:0 backs the image and its sixth
// partition (the FAT12 one) is mounted.
class HiddenParts : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        BuildDisk();
        WriteText(dir_ / "hello.txt", "hello from a hidden partition\n");
        std::ofstream(dir_ / "big.bin", std::ios::binary) << Pattern(70000, 1);
        for (int p : {0, 2}) {
            std::string at = Vol(p);
            ASSERT_TRUE(kwtest::Run("mmd -i " + at + " ::/Sub") &&
                        kwtest::Run("mcopy -i " + at + " " + (dir_ / "hello.txt").string() +
                                    " ::/HELLO.TXT") &&
                        kwtest::Run("mcopy -i " + at + " " + (dir_ / "big.bin").string() +
                                    " '::/Sub/A long name.bin'"));
        }
        fs::path ntfs = dir_ / "ntfs.vol";
        ASSERT_TRUE(kwtest::Run("ntfscp -q '" + ntfs.string() + "' '" +
                                (dir_ / "big.bin").string() + "' big.bin"));
        kwtest::Splice(disk_.image, disk_.parts[1].start, ntfs);
        FakeLoopMount();
    }
    void TearDown() override {
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
        kw::plat::SetHostViewForTests(nullptr);
    }

    std::string Vol(int part) const {
        return "'" + img_ + "@@" + std::to_string(uint64_t{disk_.parts[part].start} * 512) + "'";
    }
    // FAT16 (06), NTFS (07), and in the extended partition FAT32 (0B) and
    // FAT12 (01); 8 cylinders, sparse.
    void BuildDisk() {
        disk_.image = dir_ / "disk.img";
        const uint32_t e = disk_.extendedStart;
        disk_.parts = {{0x06, 63, kCyl - 63, false, true},
                       {0x07, kCyl, kCyl},
                       {0x0B, e + 63, 5 * kCyl - 63, true},
                       {0x01, e + 5 * kCyl + 63, kCyl - 63, true}};
        kwtest::MakeSparse(disk_.image, uint64_t{disk_.totalSectors} * 512);
        kwtest::WriteLayout(disk_.image, disk_.parts, e, disk_.totalSectors);
        img_ = disk_.image.string();
        auto mkfs = [this](int p, const std::string& how) {
            return kwtest::Run("mkfs.fat --offset " + std::to_string(disk_.parts[p].start) + " " +
                               how + " '" + img_ + "' " + std::to_string(disk_.parts[p].count / 2));
        };
        fs::path ntfs = dir_ / "ntfs.vol";
        kwtest::MakeSparse(ntfs, uint64_t{disk_.parts[1].count} * 512);
        ASSERT_TRUE(mkfs(0, "-F 16 -s 2 -n KWFAT16") && mkfs(2, "-F 32 -s 1 -n KWFAT32") &&
                    mkfs(3, "-F 12 -n KWFAT12") &&
                    kwtest::Run("mkntfs -F -Q -q -L KWNTFS -p " +
                                std::to_string(disk_.parts[1].start) + " -H 255 -S 63 '" +
                                ntfs.string() + "'"));
    }
    void FakeLoopMount() {
        fs::path loop = dir_ / "sys/block/loop0";
        WriteText(loop / "loop/backing_file", img_ + "\n");
        WriteText(loop / "loop/offset", "0");
        WriteText(loop / "size", std::to_string(disk_.totalSectors));
        WriteText(loop / "dev", "7:0");
        const kwtest::FixturePart& fat12 = disk_.parts[3];
        fs::path p = loop / "loop0p6";
        WriteText(p / "partition", "6");
        WriteText(p / "start", std::to_string(fat12.start));
        WriteText(p / "size", std::to_string(fat12.count));
        WriteText(p / "dev", "7:6");
        view_.sysRoot = (dir_ / "sys").string();
        view_.devRoot = (dir_ / "dev").string();
        view_.mountInfo = "22 1 259:3 / / rw - ext4 /dev/p3 rw\n"
                          "36 22 7:6 / /mnt/stick rw - vfat /dev/loop0p6 rw\n";
        kw::plat::SetHostViewForTests([this] { return view_; });
    }
    // Opens the disk library on the image, writable or not.
    void Open(bool writable) {
        std::string path = img_;
        kw::plat::SetDiskProviderForTests([path, writable] {
            kw::plat::DiskScan scan;
            int err = 0;
            scan.disks.push_back(kw::plat::FileSectorSource::Open(
                path, kw::plat::DiskFileKind::ImageFile, writable, &err));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }

    std::set<std::string> Listed(const std::string& path) {
        std::set<std::string> names;
        kw::vfs::VFS_ENTRY e;
        kw::vfs::FILEITERATOR* it = hp_.FindFirst(path, &e);
        for (bool more = it != nullptr; more; more = it->FindNext(&e))
            names.insert(e.name);
        if (it != nullptr)
            it->Release();
        return names;
    }
    std::string ReadAll(const std::string& path) {
        kw::vfs::FILEHANDLE* h = hp_.OpenFileReadOnly(path);
        if (h == nullptr)
            return "open failed";
        std::string out(1 << 20, '\0');
        size_t done = 0;
        bool ok = h->Read(out.data(), out.size(), &done);
        h->Release();
        out.resize(done);
        return ok ? out : "read failed";
    }
    // fsck.fat -n on a copy of the partition.
    bool Fsck(int part) {
        const kwtest::FixturePart& p = disk_.parts[part];
        fs::path copy = dir_ / "part.vol";
        return kwtest::Run("dd if='" + img_ + "' of='" + copy.string() + "' bs=512 skip=" +
                           std::to_string(p.start) + " count=" + std::to_string(p.count)) &&
               kwtest::Run("fsck.fat -n '" + copy.string() + "'");
    }
    // mdir's names of a folder (without "." and "..").
    std::set<std::string> Mdir(int part, const std::string& folder) {
        std::istringstream lines(
            kwtest::Capture("mdir -b -i " + Vol(part) + " '::" + folder + "'"));
        std::set<std::string> names;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '/')
                line.pop_back();
            std::string name = line.substr(line.find_last_of('/') + 1);
            if (name != "." && name != ".." && !name.empty())
                names.insert(name);
        }
        return names;
    }

    // The volume the first part of an image stands for, read with the
    // library's streams alone: each stored block at its place, zeros
    // elsewhere, cut to the part's sectors.
    std::string Rebuilt(const std::string& image, std::string* name) {
        int32_t error = 0;
        PART_STORE* s = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
        if (s == nullptr || s->SelectPart(0) != 0)
            return "no part";
        const uint32_t spb = s->GetSectorsPerBlock(), blocks = s->GetBlockCount();
        std::string bitmap((blocks + 7) / 8, '\0'), out(uint64_t{blocks} * spb * 512, '\0');
        uint64_t size = 0;
        uint32_t got = 0;
        s->OpenUbmap(&size);
        s->Read(bitmap.data(), uint32_t(bitmap.size()), &got);
        s->ClosePartStream();
        s->OpenUdata(&size);
        for (uint32_t b = 0; b < blocks; ++b)
            if (bitmap[b / 8] & (1 << (b % 8)))
                s->Read(out.data() + uint64_t{b} * spb * 512, spb * 512, &got);
        s->ClosePartStream();
        out.resize(uint64_t{s->GetTotalSectors()} * 512);
        char text[256] = {};
        s->GetPartName(text, sizeof text);
        *name = text;
        s->Release();
        return out;
    }

    kwtest::TempDir dir_;
    kwtest::StandardDisk disk_;
    std::string img_;
    kw::plat::HostView view_;
    kw::hidpart::HIDPART_FILESYSEXTENDER hp_;
};

TEST(HidPartPath, GrammarAndNumbersThatDoNotFit) {
    struct Case {
        const char* path;
        bool claimed;
        uint32_t disk, part;
        const char* rest;
    } cases[] = {
        {"\\\\.\\dIsK2.pArT10\\A\\B.TXT", true, 2, 10, "\\A\\B.TXT"},
        {"\\\\.\\disk1.part1", true, 1, 1, "\\"},
        {"\\\\.\\disk1.part1\\", true, 1, 1, "\\"},
        {"\\\\.\\disk4294967295.part1", true, 4294967295u, 1, "\\"},
        // Past 32 bits: never read as the number modulo 2^32 (disk 1).
        {"\\\\.\\disk4294967297.part1", false, 0, 0, ""},
        {"\\\\.\\disk1.part4294967297", false, 0, 0, ""},
        {"\\\\.\\disk0.part1", false, 0, 0, ""},
        {"\\\\.\\disk1.part0", false, 0, 0, ""},
        {"\\\\.\\disk1.part", false, 0, 0, ""},
        {"\\\\.\\disk1.part1x", false, 0, 0, ""},
        {"\\\\.\\disk.part1", false, 0, 0, ""},
        {"C:\\disk1.part1", false, 0, 0, ""},
    };
    for (const Case& c : cases) {
        kw::hidpart::HIDPART_PATH p;
        ASSERT_EQ(kw::hidpart::HidPartParsePath(c.path, &p), c.claimed) << c.path;
        if (c.claimed) {
            EXPECT_EQ(p.disk, c.disk) << c.path;
            EXPECT_EQ(p.part, c.part) << c.path;
            EXPECT_EQ(p.rest, c.rest) << c.path;
        }
    }
}

TEST_F(HiddenParts, OffersTheUnmountedFatAndNtfsPartitionsWithTheirLabels) {
    Open(true);
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; hp_.GetVolumeName(i, &name); ++i)
        names.push_back(name);
    // .part4 is the mounted FAT12.
    EXPECT_EQ(names, (std::vector<std::string>{"\\\\.\\disk1.part1", "\\\\.\\disk1.part2",
                                               "\\\\.\\disk1.part3"}));
    EXPECT_EQ(hp_.GetVolumeCount(), 3u);
    std::string label;
    EXPECT_TRUE(hp_.GetVolumeLabel("\\\\.\\disk1.part1", &label));
    EXPECT_EQ(label, "KWFAT16");
    EXPECT_TRUE(hp_.GetVolumeLabel("\\\\.\\disk1.part2", &label));
    EXPECT_EQ(label, "KWNTFS");
    // The mounted partition is the drive letters': nothing of it is served.
    EXPECT_EQ(hp_.FindFirst("\\\\.\\disk1.part4\\*", nullptr), nullptr);
    EXPECT_FALSE(hp_.GetFileInfo("\\\\.\\disk1.part4", nullptr));
    EXPECT_EQ(hp_.FindFirst("\\\\.\\disk1.part9\\*", nullptr), nullptr);
    EXPECT_EQ(hp_.FindFirst("\\\\.\\disk2.part1\\*", nullptr), nullptr);
}

TEST_F(HiddenParts, ListingsAndBytesEqualTheTools) {
    Open(true);
    for (int p : {0, 2}) {
        std::string root = "\\\\.\\disk1.part" + std::to_string(p == 0 ? 1 : 3);
        EXPECT_EQ(Listed(root + "\\*"), Mdir(p, "/")) << root;
        EXPECT_EQ(Listed(root + "\\Sub\\*"), Mdir(p, "/Sub")) << root;
        EXPECT_TRUE(ReadAll(root + "\\HELLO.TXT") == Bytes(dir_ / "hello.txt")) << root;
        std::string got = ReadAll(root + "\\Sub\\A long name.bin");
        EXPECT_TRUE(got == Bytes(dir_ / "big.bin")) << root << " " << got.size();
        kw::vfs::VFS_ENTRY info;
        ASSERT_TRUE(hp_.GetFileInfo(root + "\\Sub\\A long name.bin", &info));
        EXPECT_EQ(info.size, 70000u);
        EXPECT_EQ(info.attributes & kw::vfs::ATTR_DIRECTORY, 0u);
        ASSERT_TRUE(hp_.GetFileInfo(root + "\\Sub", &info));
        EXPECT_NE(info.attributes & kw::vfs::ATTR_DIRECTORY, 0u);
        EXPECT_FALSE(hp_.GetFileInfo(root + "\\NOPE.TXT", &info));
    }
    // NTFS against fls (the user's files; the metadata files start with "$").
    std::istringstream fls(
        kwtest::Capture("fls -o " + std::to_string(disk_.parts[1].start) + " '" + img_ + "'"));
    std::set<std::string> expected;
    for (std::string line; std::getline(fls, line);) {
        std::string name = line.substr(line.find('\t') + 1);
        if (!name.empty() && name[0] != '$')
            expected.insert(name);
    }
    std::set<std::string> listed;
    for (const std::string& n : Listed("\\\\.\\disk1.part2\\*"))
        if (n[0] != '$')
            listed.insert(n);
    EXPECT_EQ(listed, expected);
    std::string got = ReadAll("\\\\.\\disk1.part2\\big.bin");
    EXPECT_TRUE(got == Bytes(dir_ / "big.bin")) << got.size();
}

TEST_F(HiddenParts, WritesToAWritableFatPartitionPassTheChecker) {
    Open(true);
    const std::string root = "\\\\.\\disk1.part1";
    uint32_t state = 0;
    ASSERT_TRUE(hp_.GetMediaState(root, &state));
    EXPECT_EQ(state, kw::vfs::MEDIA_READY);
    ASSERT_TRUE(hp_.CreateDirectory(root + "\\New"));
    kw::vfs::FILEHANDLE* h = hp_.CreateFile(root + "\\New\\DATA.BIN");
    ASSERT_NE(h, nullptr);
    const std::string data = Pattern(100000, 5);
    size_t done = 0;
    EXPECT_TRUE(h->Write(data.data(), data.size(), &done));
    EXPECT_EQ(done, data.size());
    // A position the file cannot carry fails and moves nothing: the next
    // write goes on where the last one ended.
    EXPECT_FALSE(h->SetPosition(uint64_t{1} << 32));
    uint64_t at = 0;
    EXPECT_TRUE(h->GetPosition(&at));
    EXPECT_EQ(at, data.size());
    EXPECT_TRUE(h->Write("tail", 4, &done));
    // The time a restore gives the file stays (local time, as FAT keeps it).
    std::tm when{};
    when.tm_year = 101, when.tm_mon = 1, when.tm_mday = 3, when.tm_hour = 4, when.tm_min = 5;
    when.tm_sec = 6, when.tm_isdst = -1;
    const uint64_t fileTime = kwtime::FromUnix(std::mktime(&when));
    EXPECT_TRUE(h->SetTime(fileTime));
    h->Release();
    EXPECT_EQ(hp_.CreateFile(root + "\\New\\DATA.BIN"), nullptr); // it exists
    EXPECT_FALSE(hp_.MoveFile(root + "\\New\\DATA.BIN", "\\\\.\\disk1.part3\\DATA.BIN"));
    ASSERT_TRUE(hp_.MoveFile(root + "\\New\\DATA.BIN", root + "\\New\\Renamed data.bin"));
    kw::vfs::VFS_ENTRY info;
    ASSERT_TRUE(hp_.GetFileInfo(root + "\\New\\Renamed data.bin", &info));
    EXPECT_EQ(info.time, fileTime);
    kwLibClose();
    EXPECT_TRUE(Fsck(0));
    EXPECT_NE(kwtest::Capture("mdir -i " + Vol(0) + " ::/New").find("2001-02-03   4:05"),
              std::string::npos);
    EXPECT_TRUE(kwtest::Run("mcopy -n -i " + Vol(0) + " '::/New/Renamed data.bin' " +
                            (dir_ / "back.bin").string()));
    EXPECT_TRUE(Bytes(dir_ / "back.bin") == data + "tail");
    Open(true);
    EXPECT_TRUE(hp_.DeleteFile(root + "\\New\\Renamed data.bin"));
    EXPECT_FALSE(hp_.GetFileInfo(root + "\\New\\Renamed data.bin", nullptr));
    kwLibClose();
    EXPECT_TRUE(Fsck(0));
}

TEST_F(HiddenParts, NothingIsWrittenToAReadOnlyDiskOrAMountedPartition) {
    const std::string before = Bytes(disk_.image);
    auto tryWrites = [this](const std::string& root) {
        EXPECT_EQ(hp_.CreateFile(root + "\\NEW.TXT"), nullptr) << root;
        EXPECT_FALSE(hp_.CreateDirectory(root + "\\NEWDIR")) << root;
        EXPECT_FALSE(hp_.DeleteFile(root + "\\HELLO.TXT")) << root;
        EXPECT_FALSE(hp_.MoveFile(root + "\\HELLO.TXT", root + "\\MOVED.TXT")) << root;
        kw::vfs::FILEHANDLE* h = hp_.OpenFile(root + "\\HELLO.TXT");
        if (h != nullptr) {
            size_t done = 1;
            EXPECT_FALSE(h->Write("x", 1, &done)) << root;
            EXPECT_EQ(done, 0u);
            EXPECT_FALSE(h->SetSize(0)) << root;
            h->Release();
        }
    };
    Open(false);
    uint32_t state = 0;
    ASSERT_TRUE(hp_.GetMediaState("\\\\.\\disk1.part1", &state));
    EXPECT_EQ(state, kw::vfs::MEDIA_WRITE_PROTECT);
    tryWrites("\\\\.\\disk1.part1");
    tryWrites("\\\\.\\disk1.part2"); // NTFS
    tryWrites("\\\\.\\disk1.part3");
    kwLibClose();
    Open(true);
    tryWrites("\\\\.\\disk1.part4"); // mounted
    kwLibClose();
    EXPECT_TRUE(Bytes(disk_.image) == before);
}

// Each served partition copied into a new image holds what its file system
// uses: the volume rebuilt from the image's blocks alone passes fsck.fat (or
// lists as the original under fls) and its files read as the originals.
TEST_F(HiddenParts, CopiedIntoAnImageTheVolumeRebuildsWithEveryFile) {
    Open(false);
    struct Case {
        int part;
        const char* label;
    } cases[] = {{0, "KWFAT16"}, {1, "KWNTFS"}, {2, "KWFAT32"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string image = (dir_ / (std::string(c.label) + ".kwi")).string();
        int32_t error = 0;
        PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
        ASSERT_NE(store, nullptr) << error;
        PARTITION_INFO* pi = kw::hidpart::HidPartFindPartition(1, uint32_t(c.part + 1));
        ASSERT_EQ(CopyLivePartition(store, pi), KW_OK);
        ASSERT_EQ(store->Commit(), 0);
        store->Release();
        std::string name;
        const fs::path vol = dir_ / "rebuilt.vol";
        std::ofstream(vol, std::ios::binary) << Rebuilt(image, &name);
        EXPECT_EQ(name, c.label);
        EXPECT_EQ(fs::file_size(vol), uint64_t{disk_.parts[c.part].count} * 512);
        const fs::path back = dir_ / "back.bin";
        if (c.part == 1) {
            const std::string flsRebuilt = kwtest::Capture("fls -r '" + vol.string() + "'");
            EXPECT_EQ(flsRebuilt,
                      kwtest::Capture("fls -r -o " + std::to_string(disk_.parts[1].start) + " '" +
                                      img_ + "'"));
            // "r/r 64-128-2:<tab>big.bin": the address between the space and ':'.
            const size_t start = flsRebuilt.rfind(' ', flsRebuilt.find("\tbig.bin")) + 1;
            const std::string inode = flsRebuilt.substr(start, flsRebuilt.find(':', start) - start);
            EXPECT_TRUE(kwtest::Capture("icat '" + vol.string() + "' " + inode) ==
                        Bytes(dir_ / "big.bin"));
            continue;
        }
        EXPECT_TRUE(kwtest::Run("fsck.fat -n '" + vol.string() + "'"));
        const std::string m = "mcopy -n -i '" + vol.string() + "' ";
        EXPECT_TRUE(kwtest::Run(m + "'::/Sub/A long name.bin' " + back.string()));
        EXPECT_TRUE(Bytes(back) == Bytes(dir_ / "big.bin"));
        EXPECT_TRUE(kwtest::Run(m + "::/HELLO.TXT " + back.string()));
        EXPECT_TRUE(Bytes(back) == Bytes(dir_ / "hello.txt"));
    }
    // A cancelled copy takes its part back out.
    int32_t error = 0;
    const std::string image = (dir_ / "cancelled.kwi").string();
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr);
    PROGRESS_INFO::RequestCancel();
    EXPECT_EQ(CopyLivePartition(store, kw::hidpart::HidPartFindPartition(1, 1)), ERR_USER_CANCEL);
    PROGRESS_INFO::ClearCancelRequest();
    EXPECT_EQ(store->GetPartCount(), 0u);
    store->Release();
}

TEST_F(HiddenParts, DiskSpaceIsSetOrFails) {
    Open(true);
    uint64_t total = 7, free = 7;
    ASSERT_TRUE(hp_.GetDiskSpace("\\\\.\\disk1.part1", &total, &free));
    EXPECT_EQ(total, uint64_t{disk_.parts[0].count} * 512);
    EXPECT_GT(free, 0u);
    EXPECT_LT(free, total);
    total = free = 7;
    EXPECT_FALSE(hp_.GetDiskSpace("\\\\.\\disk1.part4", &total, &free));
}

} // namespace
