// Rewriting a FAT volume's critical area for another cluster size or kind:
// volumes made by mkfs.fat inside a partitioned disk and filled by mtools,
// rewritten by the engine, then judged by fsck.fat and by every file's hash
// read back with mcopy; and the same rewrite cut off at each of its writes,
// followed by the recovery of the next disk scan.
#include "engine/core/rebootmgr.h"
#include "engine/core/sectlist.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_migrate.h"
#include "engine/fat/fat_rewrite.h"
#include "engine/fat/fat_root_ops.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/support/mbr_writer.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;
using namespace kw::fat;

namespace {

constexpr uint32_t kStart = 2048;
constexpr uint32_t kSectors = 80000;
const std::string kAt = "@@" + std::to_string(uint64_t{kStart} * 512);

class YesUI : public UIInterface {
public:
    void ShowMessage(KWString, KWString, std::uint32_t) override {}
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return UI_ANSWER_YES;
    }
};

struct RewriteCase {
    const char* name;
    int bits;        // mkfs.fat's kind
    int spc;         // and cluster size
    uint32_t newSpc; // the rewrite's
    bool toFat32;
    uint32_t newTotal = 0;  // 0: the partition's size
    const char* type = "6"; // the partition type afterwards
};

class FatRewrite : public ::testing::TestWithParam<RewriteCase> {
protected:
    void SetUp() override {
        gRebootManager = &reboots_;
        kwSetUIInterface(&ui_);
        bridge_.emplace();
    }
    void TearDown() override {
        Close();
        kw::plat::SetDiskProviderForTests(nullptr);
        bridge_.reset();
        kwSetUIInterface(nullptr);
        gRebootManager = nullptr;
        unsetenv("KW_DISKS");
    }
    std::string Mtools(const std::string& args) const {
        return "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + args;
    }
    void Must(const std::string& cmd) const { ASSERT_TRUE(kwtest::Run(cmd)) << cmd; }
    void WriteHost(const fs::path& p, const std::string& bytes) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        files_[fs::relative(p, host_).generic_string()] = p;
    }
    // A disk with one FAT partition; a padding file first, deleted after the
    // tree is in, leaves the clusters the new system area needs free.
    void MakeVolume(int bits, int spc) {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{6} * kwtest::kCyl * 512);
        Must("printf 'label: dos\\nstart=" + std::to_string(kStart) +
             ", size=" + std::to_string(kSectors) + ", type=" + (bits == 32 ? "c" : "6") +
             "\\n' | sfdisk -q '" + image_.string() + "' >/dev/null 2>&1");
        Must("mkfs.fat -F " + std::to_string(bits) + " -s " + std::to_string(spc) +
             " --offset=" + std::to_string(kStart) + " -n REWRITE '" + image_.string() + "' " +
             std::to_string(kSectors / 2) + " >/dev/null 2>&1");
        host_ = dir_ / "host";
        fs::create_directories(host_);
        std::ofstream(dir_ / "PAD.BIN", std::ios::binary) << std::string(1536 * 1024, 'p');
        Must(Mtools("mcopy -i '" + image_.string() + kAt + "' '" + (dir_ / "PAD.BIN").string() +
                    "' ::/"));
        WriteHost(host_ / "README.TXT", "read me\n");
        WriteHost(host_ / "A long file name, with commas.text", std::string(3000, 'x'));
        WriteHost(host_ / "one.bin", "1");
        std::string big;
        for (int i = 0; i < 30000; ++i)
            big += std::to_string(i * 7919) + "\n";
        WriteHost(host_ / "Docs" / "Old Letters" / "big file.log", big);
        WriteHost(host_ / "Docs" / "empty.bin", "");
        std::string deep = "deep";
        for (int i = 0; i < 6; ++i)
            deep += "/level " + std::to_string(i);
        WriteHost(host_ / deep / "bottom.txt", "bottom\n");
        for (int i = 0; i < 40; ++i) // a folder of several clusters
            WriteHost(host_ / "many" / ("file number " + std::to_string(i) + ".txt"),
                      std::string(100 + i * 37, static_cast<char>('a' + i % 26)));
        Must(Mtools("mcopy -s -i '" + image_.string() + kAt + "' '" + host_.string() + "'/* ::"));
        Must(Mtools("mdel -i '" + image_.string() + kAt + "' ::/PAD.BIN"));
    }
    bool FsckClean(std::string* report = nullptr) const {
        std::string part = (dir_ / "part.img").string();
        std::string out = kwtest::Capture(
            "dd if='" + image_.string() + "' of='" + part +
            "' bs=512 skip=" + std::to_string(kStart) + " count=" + std::to_string(kSectors) +
            " conv=sparse status=none && fsck.fat -n '" + part + "' 2>&1; echo status=$?");
        if (report != nullptr)
            *report = out;
        return out.find("status=0") != std::string::npos;
    }
    // Every host file reads back through mcopy with the same bytes (the
    // whole tree copied out at once).
    void ExpectFiles() const {
        fs::path out = dir_ / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        ASSERT_TRUE(kwtest::Run(Mtools("mcopy -s -n -i '" + image_.string() + kAt + "' '::/*' '" +
                                       out.string() + "/'")));
        auto bytes = [](const fs::path& p) {
            std::ifstream in(p, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        for (const auto& [name, host] : files_) {
            EXPECT_TRUE(fs::exists(out / name)) << name;
            EXPECT_TRUE(bytes(out / name) == bytes(host)) << name;
        }
    }
    PARTITION_INFO* OpenVolume() {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kStart) {
                if (OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) != KW_OK)
                    return nullptr;
                fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
                return fat_ != nullptr && fat_->Init() == KW_OK ? pi : nullptr;
            }
        return nullptr;
    }
    void Close() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        fat_ = nullptr;
        kwLibClose();
    }
    // Runs `op` on the volume opened on a disk that fails its failWrite-th
    // write (0: none); the library counts the writes.
    kwRet RunOnVolume(const std::function<kwRet(FAT_FILESYSTEM*, PARTITION_INFO*)>& op,
                      uint64_t failWrite, uint64_t* writes) {
        kw::plat::FaultySectorSource* faulty = nullptr;
        kw::plat::SetDiskProviderForTests([&] {
            int err = 0;
            auto file = kw::plat::FileSectorSource::Open(
                image_.string(), kw::plat::DiskFileKind::ImageFile, true, &err);
            auto f = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
            f->FailWriteNumber(failWrite);
            faulty = f.get();
            kw::plat::DiskScan scan;
            scan.disks.push_back(std::move(f));
            return scan;
        });
        kwRet rc = kwLibOpen();
        PARTITION_INFO* pi = rc == KW_OK ? OpenVolume() : nullptr;
        if (pi == nullptr)
            rc = ERR_NOT_OPEN;
        uint64_t before = faulty->WritesSeen();
        if (rc == KW_OK)
            rc = op(fat_, pi);
        if (writes != nullptr)
            *writes = faulty->WritesSeen() - before;
        Close();
        kw::plat::SetDiskProviderForTests(nullptr);
        return rc;
    }
    // Rewrites the volume for the case's layout.
    kwRet Rewrite(const RewriteCase& c, uint64_t failWrite, uint64_t* writes) {
        return RunOnVolume(
            [&](FAT_FILESYSTEM* fat, PARTITION_INFO* pi) {
                FAT_BOOT_RECORD layout;
                kwRet rc = LayoutAfter(fat, c.newTotal != 0 ? c.newTotal : pi->NumSects, c.newSpc,
                                       c.toFat32, 512, &layout);
                return rc == KW_OK ? RewriteCriticalArea(fat, layout, bad_) : rc;
            },
            failWrite, writes);
    }
    // The next disk scan: the recovery of a 3Ch entry runs here.
    void Rescan() {
        setenv("KW_DISKS", image_.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        kwLibClose();
    }
    std::string TypeByte() const { return std::to_string(kwtest::ReadAt(image_, 446 + 4, 1)[0]); }

    kwtest::TempDir dir_;
    fs::path image_, host_;
    std::map<std::string, fs::path> files_;
    const SECT_LIST* bad_ = nullptr; // sectors the rewrite marks bad
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
    REBOOT_MANAGER reboots_;
    YesUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

TEST_P(FatRewrite, NewLayoutPassesFsckAndKeepsEveryFile) {
    const RewriteCase& c = GetParam();
    MakeVolume(c.bits, c.spc);
    ASSERT_TRUE(FsckClean());
    uint64_t writes = 0;
    ASSERT_EQ(Rewrite(c, 0, &writes), KW_OK);
    std::string report;
    EXPECT_TRUE(FsckClean(&report)) << report;
    ExpectFiles();
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    FAT_BOOT_RECORD b;
    ASSERT_EQ(b.Parse(boot, kSectors), KW_OK);
    EXPECT_EQ(b.sectorsPerCluster, c.newSpc);
    EXPECT_EQ(b.IsFat32(), c.toFat32);
    EXPECT_EQ(TypeByte(), c.type);
}

// Cut off at each write, then scanned again: the old or the new volume,
// with every file.
TEST_P(FatRewrite, CutAtAnyWriteLeavesOneWholeVolume) {
    const RewriteCase& c = GetParam();
    MakeVolume(c.bits, c.spc);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    ASSERT_EQ(Rewrite(c, 0, &writes), KW_OK);
    ASSERT_GT(writes, 3u);
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        uint64_t seen = 0;
        EXPECT_NE(Rewrite(c, k, &seen), KW_OK);
        Rescan();
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        // The type is the old one or the new one, except after the two cuts
        // of a change of kind that leave 3Ch without marks (see
        // fat_rewrite.h): the rescan gives those the type of the volume's
        // kind, which may be the other form (CHS or LBA) of that kind.
        std::string type = TypeByte(), before = c.bits == 32 ? "12" : "6";
        bool bare3C = before != c.type && (k == writes || k == writes - 2);
        bool fatType = type == "1" || type == "4" || type == "6" || type == "11" || type == "12" ||
                       type == "14";
        EXPECT_TRUE(type == before || type == c.type || (bare3C && fatType)) << type;
        ExpectFiles();
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatRewrite,
                         ::testing::Values(RewriteCase{"split16", 16, 4, 2, false},
                                           RewriteCase{"fat16to32", 16, 2, 1, true, 0, "11"},
                                           RewriteCase{"fat32to16", 32, 1, 1, false, 65000, "4"},
                                           RewriteCase{"same32", 32, 1, 1, true, 0, "12"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The hidden-sectors field follows the partition's start, in the boot
// sector and in the copy another loader keeps as a file.
TEST_F(FatRewrite, HiddenSectorsReachTheBootSectorAndItsFileCopies) {
    MakeVolume(16, 4);
    std::vector<uint8_t> stale = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    kwbytes::StoreLe32(stale.data() + 28, 0);
    kwtest::WriteAt(image_, uint64_t{kStart} * 512, stale);
    fs::path copy = dir_ / "bootsect.dos";
    std::ofstream(copy, std::ios::binary)
        << std::string(reinterpret_cast<const char*>(stale.data()), 512);
    Must(Mtools("mcopy -i '" + image_.string() + kAt + "' '" + copy.string() + "' ::/"));
    setenv("KW_DISKS", image_.c_str(), 1);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(OpenVolume(), nullptr);
    EXPECT_EQ(fat_->UpdateHiddenSectors(), KW_OK);
    Close();
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    EXPECT_EQ(kwbytes::LoadLe32(boot.data() + 28), kStart);
    std::string file =
        kwtest::Capture(Mtools("mtype -i '" + image_.string() + kAt + "' ::/bootsect.dos"));
    ASSERT_EQ(file.size(), 512u);
    EXPECT_EQ(file, std::string(reinterpret_cast<const char*>(boot.data()), 512));
    EXPECT_TRUE(FsckClean());
}

// Writing the whole FAT32 table: at every cut, the copy the boot sector
// sends readers to (copy 0 while mirrored) is wholly the old table or the
// new one; at the end every copy is the new one and mirroring is back.
TEST_F(FatRewrite, WholeFat32WritesKeepACopyToReadAtEveryCut) {
    MakeVolume(32, 1);
    auto boot = [&] { return kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512); };
    FAT_BOOT_RECORD b;
    ASSERT_EQ(b.Parse(boot(), kSectors), KW_OK);
    auto copy = [&](uint32_t n) {
        std::vector<uint8_t> v = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors + n * b.sectorsPerFat) * 512,
            size_t{b.sectorsPerFat} * 512);
        return std::string(v.begin(), v.end());
    };
    const std::string oldFat = copy(0);
    const uint32_t marked = b.LastCluster() - 10; // free: it becomes bad
    ASSERT_EQ(kwbytes::LoadLe32(reinterpret_cast<const uint8_t*>(oldFat.data()) + marked * 4), 0u);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    auto op = [&](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
        kwRet rc = fat->GetFat()->SetNextCluster(marked, FAT_BAD);
        return rc == KW_OK ? fat->WriteAllFats() : rc;
    };
    uint64_t writes = 0;
    ASSERT_EQ(RunOnVolume(op, 0, &writes), KW_OK);
    const std::string newFat = copy(0);
    EXPECT_EQ(kwbytes::LoadLe32(reinterpret_cast<const uint8_t*>(newFat.data()) + marked * 4),
              0x0FFFFFF7u);
    EXPECT_EQ(copy(1), newFat);
    EXPECT_EQ(kwbytes::LoadLe16(boot().data() + 40), 0u);
    std::string report;
    EXPECT_TRUE(FsckClean(&report)) << report;
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        EXPECT_NE(RunOnVolume(op, k, nullptr), KW_OK);
        uint16_t flags = kwbytes::LoadLe16(boot().data() + 40);
        std::string read = copy((flags & 0x80) != 0 ? flags & 0x0F : 0);
        EXPECT_TRUE(read == oldFat || read == newFat);
        if ((flags & 0x80) == 0) {
            EXPECT_EQ(copy(1), read);
        }
    }
}

// ---------------------------------------------------------------- the root

struct RootOp;

// Root files with long names, every other one deleted again: the fixed root
// then has holes over several sectors.
class FatRootOps : public FatRewrite {
protected:
    void MakeHoledVolume() {
        MakeVolume(16, 4);
        fs::path roots = dir_ / "roots";
        fs::create_directories(roots);
        std::string all, odd;
        for (int i = 0; i < 40; ++i) {
            std::string name = "Root file number " + std::to_string(i) + ".txt";
            std::ofstream(roots / name, std::ios::binary) << std::string(200 + i * 50, 'r');
            all += " '" + (roots / name).string() + "'";
            if (i % 2 == 1)
                odd += " '::/" + name + "'";
            else
                files_[name] = roots / name;
        }
        Must(Mtools("mcopy -i '" + image_.string() + kAt + "'" + all + " ::/"));
        Must(Mtools("mdel -i '" + image_.string() + kAt + "'" + odd));
        rootListing_ = RootListing();
    }
    std::string RootListing() const {
        return kwtest::Capture(Mtools("mdir -a -i '" + image_.string() + kAt + "' ::/"));
    }
    // Slots up to the end mark of the fixed root, and how many of them, and
    // of those in its first sector, are deleted.
    struct Slots {
        int used = 0, deleted = 0, deletedFirst = 0;
    };
    Slots RootSlots() const {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        std::vector<uint8_t> root = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.FirstRootSector()) * 512, b.RootDirSectors() * 512);
        Slots n;
        for (; n.used * 32 < static_cast<int>(root.size()) && root[n.used * 32] != 0; ++n.used)
            if (root[n.used * 32] == 0xE5) {
                ++n.deleted;
                n.deletedFirst += n.used < 16;
            }
        return n;
    }
    std::string FirstRootBytes(size_t n) const {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        std::vector<uint8_t> s =
            kwtest::ReadAt(image_, (uint64_t{kStart} + b.FirstRootSector()) * 512, n);
        return std::string(s.begin(), s.end());
    }
    // The volume as a whole: fsck, every file, the root's listing. A cut
    // between the first FAT copy's marks and the 3Ch type leaves two sound
    // copies that differ only in those marks, which fsck.fat may report
    // (see the protected update) when `copiesMayDiffer`.
    void ExpectWhole(bool copiesMayDiffer = false) {
        std::string report;
        if (!FsckClean(&report)) {
            std::istringstream in(report);
            std::string damage;
            for (std::string line; std::getline(in, line);)
                if (!line.empty() && line.rfind("fsck.fat", 0) != 0 &&
                    line.rfind("Leaving", 0) != 0 && line.find(" files, ") == std::string::npos &&
                    line.rfind("status=", 0) != 0)
                    damage += line + "\n";
            EXPECT_TRUE(copiesMayDiffer && damage == "FATs differ - using second FAT.\n") << report;
        }
        ExpectFiles();
        EXPECT_EQ(RootListing(), rootListing_);
    }
    void CutAtEveryWrite(const RootOp& op);
    std::string rootListing_;
};

struct RootOp {
    const char* name;
    std::function<kwRet(FAT_FILESYSTEM*)> run;
    bool staysInChain; // until the next scan
    bool packs;
};

const RootOp kRootOps[] = {
    {"to_chain",
     [](FAT_FILESYSTEM* fat) {
         uint32_t first = 0;
         return ConvertRootToDynamic(fat, &first);
     },
     true, false},
    {"to_chain_and_back",
     [](FAT_FILESYSTEM* fat) {
         uint32_t first = 0;
         kwRet rc = ConvertRootToDynamic(fat, &first);
         return rc == KW_OK ? ConvertRootToStatic(fat) : rc;
     },
     false, false},
    {"compact", [](FAT_FILESYSTEM* fat) { return CompactStaticRoot(fat, true); }, false, true},
};

// Each operation whole: the root in its chain until the next scan brings it
// back, or back in its fixed area (packed when asked) at once.
TEST_F(FatRootOps, KeepTheRootAndEveryFile) {
    for (const RootOp& op : kRootOps) {
        SCOPED_TRACE(op.name);
        files_.clear();
        MakeHoledVolume();
        const Slots before = RootSlots();
        ASSERT_GT(before.deleted - before.deletedFirst, 10);
        ASSERT_GT(before.used, 32); // over several sectors
        uint64_t writes = 0;
        ASSERT_EQ(RunOnVolume([&](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return op.run(fat); }, 0,
                              &writes),
                  KW_OK);
        EXPECT_EQ(FirstRootBytes(8) == "DYN_ROOT", op.staysInChain);
        EXPECT_EQ(TypeByte(), op.staysInChain ? "60" : "6");
        if (op.staysInChain)
            Rescan();
        EXPECT_EQ(TypeByte(), "6");
        ExpectWhole();
        // Packing closes every hole behind the first sector.
        const Slots after = RootSlots();
        int closed = op.packs ? before.deleted - before.deletedFirst : 0;
        EXPECT_EQ(after.deleted, before.deleted - closed);
        EXPECT_EQ(after.used, before.used - closed);
    }
}

// Cut off at each write, then scanned again: the old root or the new one,
// with every file.
void FatRootOps::CutAtEveryWrite(const RootOp& op) {
    MakeHoledVolume();
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    auto run = [&](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return op.run(fat); };
    uint64_t writes = 0;
    ASSERT_EQ(RunOnVolume(run, 0, &writes), KW_OK);
    ASSERT_GT(writes, 5u);
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        EXPECT_NE(RunOnVolume(run, k, nullptr), KW_OK);
        Rescan();
        EXPECT_EQ(TypeByte(), "6");
        ExpectWhole(true);
    }
}

TEST_F(FatRootOps, CutIntoChainLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[0]);
}

TEST_F(FatRootOps, CutIntoChainAndBackLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[1]);
}

TEST_F(FatRootOps, CutCompactionLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[2]);
}

// Refused before any write: the wrong kind of root, or no chain to bring
// back. Packing in the folder cache alone writes nothing either, and leaves
// no hole behind the first sector.
TEST_F(FatRootOps, RefusalsAndCachePackingWriteNothing) {
    MakeHoledVolume();
    uint64_t writes = 0;
    EXPECT_EQ(
        RunOnVolume([](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return ConvertRootToStatic(fat); },
                    0, &writes),
        ERR_BAD_ARGUMENT);
    EXPECT_EQ(writes, 0u);
    EXPECT_EQ(RunOnVolume(
                  [](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
                      kwRet rc = CompactStaticRoot(fat, false);
                      const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
                      uint8_t sector[512];
                      for (uint32_t i = 1; rc == KW_OK && i < b.RootDirSectors(); ++i) {
                          rc = fat->GetDirBlocks()->ReadBlock(b.FirstRootSector() + i, sector, 512);
                          for (int e = 0; rc == KW_OK && e < 16; ++e)
                              if (sector[e * 32] == 0xE5)
                                  rc = ERR_BAD_ARGUMENT; // a hole left behind sector 0
                      }
                      return rc;
                  },
                  0, &writes),
              KW_OK);
    EXPECT_EQ(writes, 0u);
    files_.clear();
    MakeVolume(32, 1);
    EXPECT_EQ(RunOnVolume(
                  [](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
                      uint32_t first = 0;
                      kwRet rc = ConvertRootToDynamic(fat, &first);
                      return rc == ERR_NOT_SUPPORTED ? CompactStaticRoot(fat, true) : KW_OK;
                  },
                  0, &writes),
              ERR_FAT_INVALID_PARAMETERS);
    EXPECT_EQ(writes, 0u);
}

// Merging clusters needs every chain to start on a new cluster boundary;
// mtools' chains do not, and the rewrite refuses before it writes.
TEST_F(FatRewrite, MisalignedChainsAreRefusedBeforeAnyWrite) {
    MakeVolume(16, 2);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    EXPECT_EQ(Rewrite(RewriteCase{"merge", 16, 2, 8, false}, 0, &writes), ERR_FAT_INVALID_ENTRIES);
    EXPECT_EQ(writes, 0u);
    EXPECT_TRUE(kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
}

// Bad clusters keep their sectors bad in the new numbering; one that the new
// system area would cover refuses the rewrite before it writes.
TEST_F(FatRewrite, BadClustersAreCarriedOrRefused) {
    struct {
        uint32_t cluster;
        kwRet result;
    } cases[] = {{15000, KW_OK}, {40, ERR_FAT_INVALID_PARAMETERS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cluster);
        files_.clear();
        MakeVolume(16, 4);
        std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
        uint32_t reserved = kwbytes::LoadLe16(boot.data() + 14);
        uint32_t spf = kwbytes::LoadLe16(boot.data() + 22);
        uint32_t root = kwbytes::LoadLe16(boot.data() + 17) * 32 / 512;
        for (uint32_t copy = 0; copy < 2; ++copy)
            kwtest::WriteAt(image_,
                            (uint64_t{kStart} + reserved + copy * spf) * 512 + c.cluster * 2,
                            {0xF7, 0xFF});
        uint64_t writes = 0;
        ASSERT_EQ(Rewrite(RewriteCase{"bad", 16, 4, 2, false}, 0, &writes), c.result);
        if (c.result != KW_OK) {
            EXPECT_EQ(writes, 0u);
            continue;
        }
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        // The old cluster's four sectors are the new clusters m and m + 1.
        uint64_t sector = reserved + 2 * spf + root + uint64_t{c.cluster - 2} * 4;
        boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
        FAT_BOOT_RECORD b;
        ASSERT_EQ(b.Parse(boot, kSectors), KW_OK);
        uint32_t m = static_cast<uint32_t>((sector - b.FirstDataSector()) / 2 + 2);
        std::vector<uint8_t> entries = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors) * 512 + uint64_t{m - 1} * 2, 8);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data()), 0u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 2), 0xFFF7u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 4), 0xFFF7u);
        EXPECT_EQ(kwbytes::LoadLe16(entries.data() + 6), 0u);
    }
}

// Sectors listed to the rewrite become bad clusters of the new layout; one
// under a file or in the new system area refuses it before any write.
TEST_F(FatRewrite, ListedBadSectorsAreMarkedInTheNewLayout) {
    MakeVolume(16, 4);
    std::string shown = kwtest::Capture(
        Mtools("mshowfat -i '" + image_.string() + kAt + "' '::/Docs/Old Letters/big file.log'"));
    size_t open = shown.find('<');
    ASSERT_NE(open, std::string::npos) << shown;
    uint32_t fileCluster = static_cast<uint32_t>(std::stoul(shown.substr(open + 1)));
    FAT_BOOT_RECORD old;
    ASSERT_EQ(old.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
    const uint32_t freeSector = kSectors - 100;
    struct {
        const char* name;
        uint32_t sector;
        kwRet result;
    } cases[] = {{"free", freeSector, KW_OK},
                 {"under a file", old.ClusterToSector(fileCluster) + 1, ERR_FAT_BAD_CLUSTER_IN_USE},
                 {"system area", 1, ERR_BAD_SECTOR_IN_FS},
                 {"past the end", kSectors + 10, ERR_BAD_ARGUMENT}};
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        SECT_LIST list;
        ASSERT_EQ(list.Add(c.sector), KW_OK);
        bad_ = &list;
        uint64_t writes = 0;
        EXPECT_EQ(Rewrite(RewriteCase{"bad", 16, 4, 2, false}, 0, &writes), c.result);
        bad_ = nullptr;
        if (c.result != KW_OK) {
            EXPECT_EQ(writes, 0u);
            EXPECT_TRUE(
                kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
            continue;
        }
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        FAT_BOOT_RECORD b;
        ASSERT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        uint32_t m = b.SectorToCluster(c.sector);
        std::vector<uint8_t> entry = kwtest::ReadAt(
            image_, (uint64_t{kStart} + b.reservedSectors) * 512 + uint64_t{m} * 2, 2);
        EXPECT_EQ(kwbytes::LoadLe16(entry.data()), 0xFFF7u);
    }
}

// A chain that runs into itself is refused before anything is written.
TEST_F(FatRewrite, ALoopedChainIsRefusedBeforeAnyWrite) {
    MakeVolume(16, 4);
    std::string shown = kwtest::Capture(
        Mtools("mshowfat -i '" + image_.string() + kAt + "' '::/Docs/Old Letters/big file.log'"));
    size_t open = shown.find('<');
    ASSERT_NE(open, std::string::npos) << shown;
    uint32_t first = static_cast<uint32_t>(std::stoul(shown.substr(open + 1)));
    std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
    uint32_t reserved = kwbytes::LoadLe16(boot.data() + 14),
             spf = kwbytes::LoadLe16(boot.data() + 22);
    // Its second cluster links back to its first, in both copies.
    for (uint32_t copy = 0; copy < 2; ++copy) {
        uint64_t fat = (uint64_t{kStart} + reserved + copy * spf) * 512;
        std::vector<uint8_t> link(2);
        kwbytes::StoreLe16(link.data(), static_cast<uint16_t>(first));
        kwtest::WriteAt(image_, fat + uint64_t{first + 1} * 2, link);
    }
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    uint64_t writes = 0;
    EXPECT_EQ(Rewrite(RewriteCase{"loop", 16, 4, 2, false}, 0, &writes), ERR_FAT_INVALID_ENTRIES);
    EXPECT_EQ(writes, 0u);
    EXPECT_TRUE(kwtest::Run("cmp -s '" + image_.string() + "' '" + pristine.string() + "'"));
}

// A new layout whose system area would cover the old one is refused.
TEST_F(FatRewrite, OverlappingSystemAreasAreRefused) {
    MakeVolume(16, 4);
    setenv("KW_DISKS", image_.c_str(), 1);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(OpenVolume(), nullptr);
    FAT_BOOT_RECORD layout = *fat_->GetBootRecord();
    layout.sectorsPerCluster = 2;
    REWRITE_PLAN plan;
    EXPECT_EQ(PlanRewrite(fat_, layout, &plan), ERR_FAT_INVALID_PARAMETERS);
}

} // namespace

// Chains translated one to one, split, merged and broken, over a FAT held
// in memory.
namespace {

struct Layouts {
    FAT_BOOT_RECORD old, nw;
    Layouts(uint16_t oldSpc, uint16_t newSpc, uint32_t oldFirstData, uint32_t newFirstData) {
        old.sectorsPerCluster = oldSpc;
        old.reservedSectors = static_cast<uint16_t>(oldFirstData);
        old.fatCount = 0;
        old.clusterCount = 64;
        old.bytesPerSector = 512;
        old.fatKind = FAT_KIND_16;
        nw = old;
        nw.sectorsPerCluster = newSpc;
        nw.reservedSectors = static_cast<uint16_t>(newFirstData);
        nw.clusterCount = 64 * oldSpc / newSpc;
    }
};

TEST(ChainMigration, MapsClustersBySector) {
    Layouts l(4, 2, 100, 104);
    EXPECT_EQ(MapCluster(l.old, l.nw, 0), 0u);
    EXPECT_EQ(MapCluster(l.old, l.nw, 1), 1u);
    EXPECT_EQ(MapCluster(l.old, l.nw, FAT_BAD), FAT_BAD);
    EXPECT_EQ(MapCluster(l.old, l.nw, 2), 0u); // sector 100 lies before the new data
    EXPECT_EQ(MapCluster(l.old, l.nw, 3), 2u); // sector 104
    EXPECT_EQ(MapCluster(l.old, l.nw, 4), 4u); // sector 108
    CLUSTER_FACTORS f = ClusterFactors(4, 2);
    EXPECT_EQ(f.split, 2u);
    EXPECT_EQ(f.merge, 0u);
    f = ClusterFactors(2, 8);
    EXPECT_EQ(f.merge, 4u);
    f = ClusterFactors(4, 4);
    EXPECT_EQ(f.split + f.merge, 0u);
}

TEST(ChainMigration, FatSectorsEncodeEachWidth) {
    uint32_t entries[6] = {FAT_EOC, FAT_EOC_MARK, 3, FAT_EOC_MARK, FAT_BAD, 0x123};
    uint8_t s[512];
    EncodeFatSector(FAT_KIND_12, entries, 6, 0, s);
    EXPECT_EQ(s[0], 0xF8);
    EXPECT_EQ(s[1], 0xFF);
    EXPECT_EQ(s[2], 0xFF);
    EXPECT_EQ(s[3], 0x03);
    EXPECT_EQ(s[4], 0xF0);
    EXPECT_EQ(s[5], 0xFF);
    EXPECT_EQ(s[6], 0xF7); // entry 4 bad
    EXPECT_EQ(s[7], 0x3F);
    EXPECT_EQ(s[8], 0x12);
    EncodeFatSector(FAT_KIND_32, entries, 6, 0, s);
    EXPECT_EQ(s[16], 0xF7);
    EXPECT_EQ(s[19], 0x0F);
    EncodeFatSector(FAT_KIND_16, entries, 6, 1, s);
    EXPECT_EQ(s[0], 0);
}

} // namespace
