// Resizing FAT volumes, changing their cluster size and emptying cluster
// ranges, on volumes made by mkfs.fat in a partition of a disk, filled by
// mtools and fragmented (every other file deleted, then refilled): fsck.fat,
// the mdir listing and every file's bytes read back by mtools are the
// oracle; random resizes within the limits; and the same operations cut
// off after each of their writes, followed by the next disk scan's
// recovery.
#include "engine/core/rebootmgr.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_ccs.h"
#include "engine/fat/fat_evacuate.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_limits.h"
#include "engine/fat/fat_move.h"
#include "engine/fat/fat_root_ops.h"
#include "engine/fat/fat_runmoves.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/support/recording_disk.h"
#include "tests/support/sanitizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace kw::fat;

namespace {

const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";
// The BIOS-addressable limit of the test disks (1024 cylinders of 255 x 63).
constexpr uint32_t kChsLimit = 1024u * 255 * 63;

class YesUI : public UIInterface {
public:
    void ShowMessage(KWString, KWString, std::uint32_t) override {}
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return UI_ANSWER_YES;
    }
};

struct Volume {
    int bits;
    uint32_t sectors; // of the partition and its volume
    int spc;
};

// A disk with one FAT partition at start_ (2048 unless a test moves it)
// and as much free room behind it as the partition is long.
class FatResize : public ::testing::Test {
protected:
    void SetUp() override {
        gRebootManager = &reboots_;
        kwSetUIInterface(&ui_);
        bridge_.emplace();
    }
    void TearDown() override {
        CloseDisk();
        bridge_.reset();
        kwSetUIInterface(nullptr);
        gRebootManager = nullptr;
        unsetenv("KW_DISKS");
    }

    void Must(const std::string& cmd) const { ASSERT_TRUE(kwtest::Run(kEnv + cmd)) << cmd; }
    static void Put(const fs::path& file, const std::string& bytes) {
        fs::create_directories(file.parent_path());
        kwtest::WriteHost(file, bytes);
    }

    // Files written, every other one deleted and bigger ones written into
    // the holes (fragmented chains), a folder of several clusters, a deep
    // path; a filler deleted at the end leaves the low clusters free.
    void MakeDisk(const Volume& v, uint32_t fillerPercent = 10) {
        fs::remove(dir_ / "vol.img");
        volume_ = kwtest::MakeFatVolume(dir_, "vol.img", v.bits, v.sectors / 2, v.spc);
        std::string vol = kwtest::Quote(volume_);
        fs::path host = dir_ / "host";
        Put(host / "AFILL.BIN", std::string(size_t{v.sectors} * 512 / 100 * fillerPercent, 'f'));
        for (int i = 0; i < 20; ++i)
            Put(host / ("f" + std::to_string(i) + ".bin"), kwtest::Bytes(700 + i * 1500, i));
        Must("mcopy -i " + vol + " " + kwtest::Quote(host) + "/* ::");
        for (int i = 0; i < 20; i += 2)
            Must("mdel -i " + vol + " ::/f" + std::to_string(i) + ".bin");
        fs::path more = dir_ / "more";
        for (int i = 0; i < 30; ++i)
            Put(more / "Many Files" / ("entry number " + std::to_string(i) + ".txt"),
                kwtest::Bytes(50 + i * 300, 100 + i));
        std::string deep = "deep";
        for (int i = 0; i < 4; ++i)
            deep += "/level " + std::to_string(i);
        Put(more / deep / "bottom.txt", "bottom\n");
        Put(more / "big fragmented.dat", kwtest::Bytes(40000, 7));
        Put(more / "empty.txt", ""); // no cluster
        Put(more / "Many Files" / "empty too.txt", "");
        fs::create_directories(more / "EMPTYDIR");
        Must("mcopy -s -i " + vol + " " + kwtest::Quote(more) + "/* ::");
        Must("mdel -i " + vol + " ::/AFILL.BIN");
        image_ = dir_ / "disk.img";
        fs::remove(image_); // the splice below skips zeros
        kwtest::MakeSparse(image_, (uint64_t{start_} + 2 * uint64_t{v.sectors} + 4096) * 512);
        const char* type = v.bits == 32 ? "b" : v.bits == 12 ? "1" : "6";
        ASSERT_TRUE(kwtest::Run("printf 'label: dos\\nstart=" + std::to_string(start_) +
                                ", size=" + std::to_string(v.sectors) + ", type=" + type +
                                "\\n' | sfdisk -q " + kwtest::Quote(image_) + " >/dev/null 2>&1"));
        kwtest::Splice(image_, start_, volume_);
        before_ = Contents(volume_);
        listing_ = kwtest::MdirListing(volume_);
        label_ = Label(volume_);
        ASSERT_NE(label_.find("KWTEST"), std::string::npos) << label_;
    }

    // The label as the root's label entry gives it.
    static std::string Label(const fs::path& image) {
        return kwtest::Capture(kEnv + "mlabel -s -i " + kwtest::Quote(image) + " :: 2>&1");
    }

    // The tree as mtools reads it: "path sha" lines, sorted.
    std::string Contents(const fs::path& image) const {
        fs::path out = dir_ / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        return kwtest::Capture(kEnv + "mcopy -s -n -i " + kwtest::Quote(image) + " '::*' " +
                               kwtest::Quote(out) + " 2>&1 && cd " + kwtest::Quote(out) +
                               " && find . -type f -exec sha256sum {} + | sort");
    }

    // The disk, with each write recorded (log) or its reads of `badSector`
    // (disk sector) failing.
    void OpenDisk(std::vector<kwtest::DiskEvent>* log, uint64_t badSector = 0,
                  uint64_t failWrite = 0) {
        fs::path image = image_;
        kw::plat::SetDiskProviderForTests([image, log, badSector, failWrite] {
            int err = 0;
            std::unique_ptr<kw::plat::SectorSource> file = kw::plat::FileSectorSource::Open(
                image.string(), kw::plat::DiskFileKind::ImageFile, true, &err);
            if (badSector != 0 || failWrite != 0) {
                auto faulty = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
                if (badSector != 0)
                    faulty->FailReadAt(badSector);
                faulty->FailWriteNumber(failWrite);
                file = std::move(faulty);
            }
            if (log != nullptr)
                file = std::make_unique<kwtest::RecordingSource>(std::move(file), log);
            kw::plat::DiskScan scan;
            scan.disks.push_back(std::move(file));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* p = d != nullptr ? d->firstPi : nullptr; p != nullptr; p = p->next)
            if (p->ulStartSect == start_ && OpenFileSystem(p, &fs_, FS_OPEN_SHARED, 0) == KW_OK) {
                pi_ = p;
                break;
            }
        fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
        ASSERT_NE(fat_, nullptr);
        ASSERT_EQ(fat_->Init(), KW_OK);
    }
    void CloseDisk() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        fat_ = nullptr;
        pi_ = nullptr;
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    // The disk file is as `bytes`.
    void Restore(const std::string& bytes) const {
        std::ofstream(image_, std::ios::binary | std::ios::trunc) << bytes;
    }
    // The next disk scan, where the recovery of an interrupted change runs.
    static void Rescan(const fs::path& disk) {
        setenv("KW_DISKS", disk.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        kwLibClose();
        unsetenv("KW_DISKS");
    }

    static uint32_t EntrySectors(const fs::path& disk) {
        return kwbytes::LoadLe32(kwtest::ReadAt(disk, 446 + 12, 4).data());
    }
    static uint8_t EntryType(const fs::path& disk) { return kwtest::ReadAt(disk, 446 + 4, 1)[0]; }
    // The partition as its entry gives it, as a volume file for the tools.
    fs::path Partition(const fs::path& disk) const {
        fs::path part = dir_ / "part.img";
        fs::remove(part);
        kwtest::Capture("dd if=" + kwtest::Quote(disk) + " of=" + kwtest::Quote(part) +
                        " bs=512 skip=" + std::to_string(start_) +
                        " count=" + std::to_string(EntrySectors(disk)) + " status=none");
        return part;
    }
    static FAT_BOOT_RECORD BootOf(const fs::path& part) {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(
            b.Parse(kwtest::ReadAt(part, 0, 512), static_cast<uint32_t>(fs::file_size(part) / 512)),
            KW_OK);
        return b;
    }

    // The partition is sound and holds every file as before.
    void ExpectWhole(const fs::path& disk) {
        fs::path part = Partition(disk);
        std::string report;
        EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
        EXPECT_EQ(Contents(part), before_);
        EXPECT_EQ(kwtest::MdirListing(part), listing_);
        EXPECT_EQ(Label(part), label_);
    }

    // Limits of the open volume.
    void Limits(FAT_LIMITS* limits) {
        FAT_GEOMETRY_OPTIONS opt;
        opt.align = false;
        EXPECT_EQ(GetGeometryLimits(fat_, limits, opt), KW_OK);
    }

    // A size near `wanted` as the limits of the open volume (its kind and
    // cluster size) align it.
    uint32_t Aligned(uint32_t wanted) {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetFatType(fat_->GetBootRecord()->fatKind);
        limits.SetSize(wanted, false);
        return limits.GetSize();
    }

    // The volume's view after an operation matches its disk.
    void ExpectStateMatchesDisk() {
        ASSERT_TRUE(fat_->IsInitialised());
        ASSERT_NE(fat_->GetBootRecord(), nullptr);
        std::vector<uint8_t> sector(512);
        ASSERT_EQ(fat_->ReadSectors(0, sector.data(), 1), KW_OK);
        FAT_BOOT_RECORD disk;
        ASSERT_EQ(disk.Parse(sector, pi_->NumSects), KW_OK);
        EXPECT_EQ(fat_->GetBootRecord()->totalSectors, disk.totalSectors);
        EXPECT_EQ(fat_->GetBootRecord()->sectorsPerCluster, disk.sectorsPerCluster);
        EXPECT_EQ(fat_->GetBootRecord()->reservedSectors, disk.reservedSectors);
    }

    // Each state a cut after some write of `op` leaves (and with `reordered`
    // each state of a disk that reorders the writes between two flushes),
    // scanned again: the partition holds a volume fsck.fat finds clean, with
    // every file and the same listing.
    template <class Op> void CutEverywhere(Op op, bool reordered = false) {
        std::string base = kwtest::ReadHost(image_);
        std::vector<kwtest::DiskEvent> log;
        OpenDisk(&log);
        ASSERT_EQ(op(), KW_OK);
        CloseDisk();
        fs::path cut = dir_ / "cut.img";
        size_t marked = 0;
        auto check = [&] {
            marked += EntryType(cut) == 0x3C ? 1 : 0;
            Rescan(cut);
            EXPECT_NE(EntryType(cut), 0x3C);
            fs::path part = Partition(cut);
            std::string report;
            EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
            EXPECT_EQ(Contents(part), before_);
            EXPECT_EQ(kwtest::MdirListing(part), listing_);
        };
        size_t writes = kwtest::ForEachCutImage(base, log, cut, check);
        size_t states = reordered ? kwtest::ForEachReorderedCutImage(base, log, cut, check) : 0;
        EXPECT_GT(writes, 3u);
        // Data moved under the marks of a move, which the scan completed.
        EXPECT_GT(marked, 0u);
        RecordProperty("writes", std::to_string(writes));
        RecordProperty("reordered", std::to_string(states));
        RecordProperty("marked", std::to_string(marked));
    }

    kwtest::TempDir dir_;
    uint32_t start_ = 2048;
    fs::path volume_, image_;
    std::string before_, label_;
    kwtest::FatListing listing_;
    PARTITION_INFO* pi_ = nullptr;
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
    REBOOT_MANAGER reboots_;
    YesUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

// ------------------------------------------------------------- Resize

// Sizes end on the disk's cylinder grid (16,065 sectors, the partition
// starting at 2048), where the limits keep them.
struct ResizeCase {
    const char* name;
    Volume volume;
    uint32_t newSize;
};

class FatResizeSizes : public FatResize, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(FatResizeSizes, KeepsEveryFileAndPassesFsck) {
    const ResizeCase& c = GetParam();
    MakeDisk(c.volume);
    OpenDisk(nullptr);
    uint32_t newSize = c.newSize;
    ASSERT_EQ(Aligned(newSize), newSize);
    uint32_t spc = fat_->GetBootRecord()->sectorsPerCluster;
    ASSERT_EQ(fat_->Resize(0, newSize, nullptr, nullptr), KW_OK);
    ExpectStateMatchesDisk();
    EXPECT_EQ(pi_->NumSects, newSize);
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), newSize);
    ExpectWhole(image_);
    FAT_BOOT_RECORD b = BootOf(Partition(image_));
    EXPECT_LE(b.totalSectors, newSize);
    EXPECT_LE(b.sectorsPerCluster, spc); // never larger
    // The type follows the new layout (FAT16 below 65,536 sectors: 04).
    uint8_t type = EntryType(image_);
    EXPECT_EQ(type, b.IsFat32()                            ? 0x0B
                    : b.clusterCount <= FAT12_MAX_CLUSTERS ? 0x01
                    : b.totalSectors < 0x10000             ? 0x04
                                                           : 0x06);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatResizeSizes,
                         ::testing::Values(ResizeCase{"fat12_grow", {12, 8192, 2}, 14017},
                                           ResizeCase{"fat16_shrink", {16, 32768, 1}, 14017},
                                           ResizeCase{"fat16_grow", {16, 32768, 1}, 46147},
                                           ResizeCase{"fat12_shrink", {12, 30082, 8}, 14017},
                                           ResizeCase{
                                               "fat16_shrink_to_fat12", {16, 30082, 4}, 14017},
                                           ResizeCase{"fat12_grow_to_fat16", {12, 14017, 4}, 30082},
                                           ResizeCase{"fat32_shrink", {32, 100000, 1}, 94342},
                                           ResizeCase{"fat32_grow", {32, 73728, 1}, 94342}),
                         [](const auto& info) { return std::string(info.param.name); });

// A FAT32 partition that grows past the BIOS-addressable limit takes the
// LBA form of its type.
TEST_F(FatResize, GrowingPastTheBiosLimitTakesTheLbaType) {
    start_ = kChsLimit - 5 * 16065; // five cylinders below the limit
    MakeDisk({32, 5 * 16065, 1});
    OpenDisk(nullptr);
    ASSERT_EQ(pi_->disk->chsLimit, kChsLimit);
    EXPECT_EQ(pi_->ucPartType, 0x0B);
    uint32_t newSize = 6 * 16065;
    ASSERT_EQ(Aligned(newSize), newSize);
    ASSERT_EQ(fat_->Resize(0, newSize, nullptr, nullptr), KW_OK);
    CloseDisk();
    EXPECT_EQ(EntryType(image_), 0x0C);
    ExpectWhole(image_);
}

// A volume whose first clusters are in use past what the reserved-sector
// field can count (a big file written first) is resized all the same.
TEST_F(FatResize, LongUsedStartIsNoObstacle) {
    MakeDisk({32, 126472, 1}, 55);
    kwtest::WriteAt(image_, (uint64_t{start_} + 1) * 512 + 492, {2, 0, 0, 0}); // next free: 2
    fs::path big = dir_ / "FIRST.BIN";
    kwtest::WriteHost(big, kwtest::Bytes(36u << 20, 5));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(big) + " ::/");
    before_ = Contents(Partition(image_));
    listing_ = kwtest::MdirListing(Partition(image_));
    OpenDisk(nullptr);
    uint32_t prefix = 0;
    while (fat_->GetFat()->GetNextCluster(2 + prefix) != 0)
        ++prefix;
    ASSERT_GT(prefix, 0xFFFFu);
    EXPECT_EQ(fat_->Resize(0, 110407, nullptr, nullptr), KW_OK);
    CloseDisk();
    ExpectWhole(image_);
}

// A size the volume's cluster size cannot reach is refused, not taken as
// another.
TEST_F(FatResize, SizePastTheClusterSizesReachIsRefused) {
    MakeDisk({16, 62212, 1});
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    ASSERT_GE(limits.GetMaxSize(), 78277u);
    std::string pristine = kwtest::ReadHost(image_);
    EXPECT_EQ(fat_->Resize(0, 78277, nullptr, nullptr), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(pi_->NumSects, 62212u);
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == pristine);
    ExpectWhole(image_);
}

// A nearly full volume whose first clusters hold a file grows to the
// largest size its limits give, and shrinks back near the smallest (the
// old system area stays behind as reserved sectors, which the limits do
// not count).
TEST_F(FatResize, NearlyFullVolumeReachesItsLimits) {
    MakeDisk({16, 30082, 1}, 0);
    fs::path big = dir_ / "FULL.BIN";
    kwtest::WriteHost(big, kwtest::Bytes(13u << 20, 9));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(big) + " ::/");
    before_ = Contents(Partition(image_));
    listing_ = kwtest::MdirListing(Partition(image_));
    for (bool grow : {true, false}) {
        OpenDisk(nullptr);
        pi_->ulFlags &= ~PI_CHECKED_TYPE;
        pi_->ulCylSize = 1;
        pi_->ulSectsToNextCyl = 0;
        FAT_LIMITS limits;
        Limits(&limits);
        uint32_t low = 0, high = 0;
        ASSERT_TRUE(limits.RangeAt(FAT_KIND_16, 512, &low, &high));
        uint32_t size = grow ? std::min(high, limits.GetMaxSize())
                             : low + fat_->GetBootRecord()->FirstDataSector();
        SCOPED_TRACE(std::to_string(pi_->NumSects) + " -> " + std::to_string(size) + " of " +
                     std::to_string(low) + ".." + std::to_string(high) + ", free " +
                     std::to_string(fat_->GetFat()->CountFreeClusters()));
        EXPECT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
        CloseDisk();
        ExpectWhole(image_);
    }
}

// A file whose chain runs past its size keeps its bytes through a shrink
// and a change to smaller clusters (the rest of the chain is slack).
TEST_F(FatResize, ChainLongerThanItsSizeKeepsItsBytes) {
    for (uint32_t newSpc : {4u, 1u}) {
        SCOPED_TRACE(newSpc);
        MakeDisk({16, 30082, 4}, 55);
        OpenDisk(nullptr);
        FAT_BLOCKS& fat = *fat_->GetFat();
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        uint32_t head = fat.FindNextChainHead(2), spare = b.LastCluster();
        while (fat.GetNextCluster(spare) != 0)
            --spare;
        uint32_t last = head;
        while (fat.GetNextCluster(last) < FAT_EOC)
            last = fat.GetNextCluster(last);
        ASSERT_EQ(fat.SetNextCluster(last, spare), KW_OK);
        ASSERT_EQ(fat.SetNextCluster(spare, FAT_EOC_MARK), KW_OK);
        ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
        CloseDisk();
        OpenDisk(nullptr);
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetSize(14017, false);
        limits.SetClusterSize(newSpc * 512);
        ASSERT_EQ(limits.GetClusterSize(), newSpc * 512);
        ASSERT_EQ(ChangeClusterSize(fat_, &limits, 0), KW_OK);
        CloseDisk();
        EXPECT_EQ(Contents(Partition(image_)), before_);
    }
}

// Bad clusters keep their sectors marked bad through a resize and a
// change to smaller clusters; those past a new end go with it.
struct BadCase {
    const char* name;
    Volume volume;
    uint32_t newSize;
    uint32_t newSpc;
};

class FatResizeBad : public FatResize, public ::testing::WithParamInterface<BadCase> {};

TEST_P(FatResizeBad, BadSectorsStayBad) {
    const BadCase& c = GetParam();
    MakeDisk(c.volume);
    OpenDisk(nullptr);
    FAT_BOOT_RECORD old = *fat_->GetBootRecord();
    FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t middle = old.LastCluster() / 3, end = old.LastCluster() - 2;
    ASSERT_EQ(fat.GetNextCluster(middle), 0u);
    ASSERT_EQ(fat.GetNextCluster(end), 0u);
    ASSERT_EQ(fat.SetNextCluster(middle, FAT_BAD), KW_OK);
    ASSERT_EQ(fat.SetNextCluster(end, FAT_BAD), KW_OK);
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    before_ = Contents(Partition(image_));
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetFatType(old.fatKind);
    limits.SetSize(c.newSize, false);
    limits.SetClusterSize(c.newSpc * 512);
    ASSERT_EQ(limits.GetSize(), c.newSize);
    ASSERT_EQ(limits.GetClusterSize(), c.newSpc * 512);
    ASSERT_EQ(c.newSpc == old.sectorsPerCluster ? fat_->Resize(0, c.newSize, nullptr, nullptr)
                                                : ChangeClusterSize(fat_, &limits, 0),
              KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    uint32_t sector = old.ClusterToSector(middle);
    for (uint32_t k = 0; k < old.sectorsPerCluster; ++k)
        EXPECT_EQ(fat_->GetFat()->GetNextCluster(b.SectorToCluster(sector + k)), FAT_BAD) << k;
    uint32_t past = old.ClusterToSector(end);
    uint32_t kept = past < b.totalSectors ? old.sectorsPerCluster / c.newSpc : 0;
    EXPECT_EQ(fat_->CountBadClusters(), std::max(1u, old.sectorsPerCluster / c.newSpc) + kept);
    CloseDisk();
    ExpectWhole(image_);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatResizeBad,
                         ::testing::Values(BadCase{"shrink", {16, 30082, 1}, 14017, 1},
                                           BadCase{"grow", {16, 30082, 1}, 46147, 1},
                                           BadCase{"smaller", {16, 30082, 4}, 30082, 1},
                                           BadCase{"fat32_shrink", {32, 100000, 1}, 94342, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Random sizes anywhere within the limits (the partition's end freed from
// the cylinder grid), one after the other on one volume of each kind.
TEST_F(FatResize, RandomResizesWithinTheLimits) {
    std::mt19937 rng(20261211);
    std::string sizes;
    for (Volume v : {Volume{12, 14017, 4}, Volume{16, 32768, 1}, Volume{32, 78277, 1}}) {
        MakeDisk(v);
        int steps = kwtest::SizedForBuild(4, 2);
        for (int i = 0; i < steps; ++i) {
            OpenDisk(nullptr);
            pi_->ulFlags &= ~PI_CHECKED_TYPE;
            pi_->ulCylSize = 1;
            pi_->ulSectsToNextCyl = 0;
            FAT_LIMITS limits;
            Limits(&limits);
            uint32_t low = 0, high = 0, bytes = fat_->GetBootRecord()->BytesPerCluster();
            ASSERT_TRUE(limits.RangeAt(fat_->GetBootRecord()->fatKind, bytes, &low, &high));
            high = std::min(high, limits.GetMaxSize());
            uint32_t size = std::uniform_int_distribution<uint32_t>(low, high)(rng);
            SCOPED_TRACE("FAT" + std::to_string(v.bits) + " step " + std::to_string(i) + ": " +
                         std::to_string(pi_->NumSects) + " -> " + std::to_string(size) + " of " +
                         std::to_string(low) + ".." + std::to_string(high));
            ASSERT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
            CloseDisk();
            sizes += std::to_string(size) + " ";
            ASSERT_EQ(EntrySectors(image_), size);
            ExpectWhole(image_);
        }
    }
    RecordProperty("sizes", sizes);
}

// Run moves: the caller copies the clusters, the resize relinks them.
class FatRunMoves : public FatResize {
protected:
    using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
    // Picks moves on the open volume: the FAT32 root's first cluster and a
    // folder's to free clusters, a cluster inside a chain to a free one, and
    // (with swap) two file clusters onto each other.
    Pairs PickMoves(bool swap) {
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        FAT_BLOCKS& fat = *fat_->GetFat();
        FAT_DIR_BLOCKS* dirs = nullptr;
        EXPECT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
        uint32_t folder = 0, head = 0, inner = 0, head2 = 0;
        for (uint32_t c = fat.FindNextUsed(2); c <= b.LastCluster(); c = fat.FindNextUsed(c + 1)) {
            bool isDir = dirs->DirClusters().IsSet(c), first = fat.FindPreviousCluster(c) == 0;
            if (isDir && first && c != b.rootCluster && folder == 0)
                folder = c;
            else if (!isDir && first && fat.GetNextCluster(c) < FAT_EOC && head == 0)
                head = c;
            else if (!isDir && first && head != 0 && head2 == 0)
                head2 = c;
            else if (!isDir && !first && fat.GetNextCluster(c) < FAT_EOC && inner == 0)
                inner = c;
        }
        EXPECT_TRUE(folder != 0 && head != 0 && head2 != 0 && inner != 0);
        uint32_t f = b.LastCluster();
        auto nextFree = [&] {
            while (fat.GetNextCluster(f) != 0)
                --f;
            return f--;
        };
        Pairs moves = {{folder, nextFree()}, {inner, nextFree()}};
        if (b.IsFat32())
            moves.push_back({b.rootCluster, nextFree()});
        if (swap) {
            moves.push_back({head, head2});
            moves.push_back({head2, head});
        } else {
            moves.push_back({head, nextFree()});
        }
        return moves;
    }
    // The caller's part: every source cluster read, then written to its
    // destination.
    void CopyClusters(const Pairs& moves) {
        FAT_BOOT_RECORD b = BootOf(Partition(image_));
        auto at = [&](uint32_t c) { return (uint64_t{start_} + b.ClusterToSector(c)) * 512; };
        std::vector<std::vector<uint8_t>> data;
        for (auto [from, to] : moves)
            data.push_back(kwtest::ReadAt(image_, at(from), b.BytesPerCluster()));
        for (size_t i = 0; i < moves.size(); ++i)
            kwtest::WriteAt(image_, at(moves[i].second), data[i]);
    }
    // One run list per side, a cluster each.
    void MakeRuns(const Pairs& moves) {
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        FreeRuns();
        for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
            from_ = Run(b, it->first, from_);
            onto_ = Run(b, it->second, onto_);
        }
    }
    static SECTOR_RUN* Run(const FAT_BOOT_RECORD& b, uint32_t cluster, SECTOR_RUN* next) {
        auto* r = new SECTOR_RUN;
        r->firstSector = b.ClusterToSector(cluster);
        r->sectorCount = b.sectorsPerCluster;
        r->next = next;
        return r;
    }
    void FreeRuns() {
        FreeSectorRuns(from_);
        FreeSectorRuns(onto_);
        from_ = onto_ = nullptr;
    }
    void TearDown() override {
        FreeRuns();
        FatResize::TearDown();
    }
    SECTOR_RUN* from_ = nullptr;
    SECTOR_RUN* onto_ = nullptr;
};

// A destination still used by a cluster that stays is refused before any
// write; destinations that are free or move themselves (a swap) are taken,
// the FAT32 root and a folder among the moves.
TEST_F(FatRunMoves, NeedFreeOrMovingDestinations) {
    MakeDisk({32, 94342, 1});
    OpenDisk(nullptr);
    uint32_t same = pi_->NumSects;
    Pairs moves = PickMoves(true);
    const FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t stays = fat.FindNextUsed(moves.back().first + 1);
    while (std::any_of(moves.begin(), moves.end(), [&](auto m) { return m.first == stays; }))
        stays = fat.FindNextUsed(stays + 1);
    std::string pristine = kwtest::ReadHost(image_);
    // Onto a cluster that stays, or one that is named as staying in place.
    for (Pairs refused :
         {Pairs{{moves[0].first, stays}}, Pairs{{stays, stays}, {moves[0].first, stays}},
          Pairs{{moves[0].first, stays}, {stays, stays}}}) {
        MakeRuns(refused);
        EXPECT_EQ(fat_->Resize(0, same, from_, onto_), ERR_MOVE_STALLED);
        ExpectStateMatchesDisk();
        EXPECT_TRUE(kwtest::ReadHost(image_) == pristine);
    }
    MakeRuns(moves);
    CloseDisk();
    CopyClusters(moves);
    OpenDisk(nullptr);
    ASSERT_EQ(Aligned(same), same);
    EXPECT_EQ(fat_->Resize(0, same, from_, onto_), KW_OK);
    ExpectStateMatchesDisk();
    CloseDisk();
    ExpectWhole(image_);
}

// A FAT32 root whose first cluster lies in the part a shrink cuts off
// moves with the boot sector's root cluster (and its backup).
TEST_F(FatRunMoves, Fat32RootPastTheNewEndMoves) {
    MakeDisk({32, 126472, 1});
    OpenDisk(nullptr);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    uint32_t high = b.LastCluster();
    while (fat_->GetFat()->GetNextCluster(high) != 0)
        --high;
    Pairs moves = {{b.rootCluster, high}};
    MakeRuns(moves);
    CloseDisk();
    CopyClusters(moves);
    OpenDisk(nullptr);
    ASSERT_EQ(RelinkCopiedRuns(fat_, from_, onto_), KW_OK);
    ASSERT_EQ(fat_->GetBootRecord()->rootCluster, high);
    ASSERT_EQ(fat_->Resize(0, 78277, nullptr, nullptr), KW_OK);
    EXPECT_LT(fat_->GetBootRecord()->rootCluster, fat_->GetBootRecord()->LastCluster());
    CloseDisk();
    ExpectWhole(image_);
    fs::path part = Partition(image_);
    FAT_BOOT_RECORD now = BootOf(part);
    EXPECT_TRUE(kwtest::ReadAt(part, 0, 512) ==
                kwtest::ReadAt(part, now.backupBootSector * 512ull, 512));
}

// A write that fails ends the resize with its code; the volume holds what
// its disk says (a boot record it can list the root with), and the disk,
// scanned again, a sound volume with every file.
TEST_F(FatResize, AFailedWriteLeavesTheVolumeReadAgain) {
    MakeDisk({16, 30082, 1}, 55);
    std::string pristine = kwtest::ReadHost(image_);
    for (uint32_t size : {14017u, 46147u}) {
        Restore(pristine);
        std::vector<kwtest::DiskEvent> log;
        OpenDisk(&log);
        ASSERT_EQ(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
        CloseDisk();
        size_t writes = 0;
        for (const kwtest::DiskEvent& e : log)
            writes += e.flush ? 0 : 1;
        ASSERT_GT(writes, 3u);
        for (size_t k : {size_t{1}, writes / 4, writes / 2, writes * 3 / 4, writes}) {
            SCOPED_TRACE("to " + std::to_string(size) + ": write " + std::to_string(k) + " of " +
                         std::to_string(writes) + " fails");
            Restore(pristine);
            OpenDisk(nullptr, 0, k);
            EXPECT_NE(fat_->Resize(0, size, nullptr, nullptr), KW_OK);
            ASSERT_TRUE(fat_->IsInitialised());
            ExpectStateMatchesDisk();
            DIRLIST root;
            EXPECT_EQ(fat_->ListDirectory(&root, "\\", 0), KW_OK);
            EXPECT_GT(root.GetCount(), 0u);
            CloseDisk();
            Rescan(image_);
            uint32_t entry = EntrySectors(image_);
            EXPECT_TRUE(entry == 30082u || entry == size) << entry;
            ExpectWhole(image_);
        }
    }
}

// A read-only volume is neither resized nor changed, its swap files
// included: nothing is written.
TEST_F(FatResize, ReadOnlyVolumeWritesNothing) {
    MakeDisk({16, 30082, 2});
    fs::path swap = dir_ / "PAGEFILE.SYS";
    kwtest::WriteHost(swap, kwtest::Bytes(65536, 42));
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(swap) + " ::/");
    std::vector<kwtest::DiskEvent> log;
    OpenDisk(&log);
    fat_->SetReadOnly(true);
    EXPECT_EQ(fat_->Resize(0, 14017, nullptr, nullptr), ERR_WRITE_PROTECTED);
    EXPECT_EQ(fat_->Resize(0, pi_->NumSects, nullptr, nullptr), ERR_WRITE_PROTECTED);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_WRITE_PROTECTED);
    EXPECT_NE(EvacuateClusterRange(fat_, 2, 100), KW_OK);
    size_t writes = 0;
    for (const kwtest::DiskEvent& e : log)
        writes += e.flush ? 0 : 1;
    EXPECT_EQ(writes, 0u);
}

// A volume whose chains cross is refused before anything is written.
TEST_F(FatResize, DamagedChainsAreRefused) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t a = fat.FindNextChainHead(2), b = fat.FindNextChainHead(a + 1);
    while (fat.GetNextCluster(b) >= FAT_EOC)
        b = fat.FindNextChainHead(b + 1);
    ASSERT_EQ(fat.SetNextCluster(a, fat.GetNextCluster(b)), KW_OK); // two chains meet
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    std::string damaged = kwtest::ReadHost(image_);
    OpenDisk(nullptr);
    EXPECT_EQ(fat_->Resize(0, 14017, nullptr, nullptr), ERR_FAT_INVALID_ENTRIES);
    FAT_LIMITS limits;
    Limits(&limits);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_FAT_INVALID_ENTRIES);
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == damaged);
}

// Swap files keep their first 4096 bytes and give the rest back.
TEST_F(FatResize, SwapFilesAreShortened) {
    MakeDisk({16, 30082, 1});
    fs::path swap = dir_ / "PAGEFILE.SYS";
    std::string bytes = kwtest::Bytes(65536, 42);
    kwtest::WriteHost(swap, bytes);
    fs::path part = dir_ / "vol2.img";
    fs::copy_file(volume_, part);
    kwtest::Mcopy(part, swap, "/PAGEFILE.SYS");
    kwtest::Splice(image_, start_, part);
    OpenDisk(nullptr);
    uint32_t same = Aligned(pi_->NumSects);
    ASSERT_EQ(fat_->Resize(0, same, nullptr, nullptr), KW_OK);
    CloseDisk();
    fs::path after = Partition(image_);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(after, &report)) << report;
    EXPECT_TRUE(kwtest::Mtype(after, "/PAGEFILE.SYS") == bytes.substr(0, 4096));
}

TEST(FatPartitionTypeRule, FollowsKindSizeAndBiosLimit) {
    struct Case {
        uint8_t kind;
        uint32_t clusters, sectors;
        uint8_t current;
        bool past;
        uint8_t want;
    } cases[] = {
        {FAT_KIND_12, 4084, 8192, 0x06, false, 0x01},
        {FAT_KIND_16, 4085, 20000, 0x01, false, 0x04},
        {FAT_KIND_16, 40000, 80000, 0x04, false, 0x06},
        {FAT_KIND_16, 40000, 80000, 0x06, true, 0x0E},
        {FAT_KIND_16, 40000, 80000, 0x0E, false, 0x0E}, // an LBA type stays LBA
        {FAT_KIND_16, 40000, 80000, 0x16, false, 0x16}, // hidden stays hidden
        {FAT_KIND_32, 70000, 140000, 0x06, false, 0x0B},
        {FAT_KIND_32, 70000, 140000, 0x0B, true, 0x0C},
        {FAT_KIND_32, 70000, 140000, 0x0E, false, 0x0C},
        {FAT_KIND_32, 70000, 140000, 0x1B, true, 0x1C},
        {FAT_KIND_32, 70000, 140000, 0x12, true, 0x12}, // utility types stay
        {FAT_KIND_16, 40000, 80000, 0xDE, false, 0xDE},
    };
    for (const Case& c : cases) {
        FAT_BOOT_RECORD b;
        b.fatKind = c.kind;
        b.clusterCount = c.clusters;
        b.totalSectors = c.sectors;
        EXPECT_EQ(FatPartitionType(b, c.current, c.past), c.want)
            << int(c.kind) << " " << c.clusters << " from " << int(c.current);
    }
}

// ------------------------------------------------- ChangeClusterSize

struct ChangeCase {
    const char* name;
    Volume volume;
    uint32_t newSpc;
    uint8_t newKind;
    uint32_t newSize; // 0: as it is
};

class FatClusterSize : public FatResize, public ::testing::WithParamInterface<ChangeCase> {
protected:
    // The limits for the case, or why not.
    bool Choose(const ChangeCase& c, FAT_LIMITS* limits) {
        Limits(limits);
        limits->SetFatType(c.newKind);
        limits->SetSize(c.newSize != 0 ? c.newSize : pi_->NumSects, false);
        limits->SetClusterSize(c.newSpc * 512);
        return limits->GetFatType() == c.newKind && limits->GetClusterSize() == c.newSpc * 512;
    }
};

TEST_P(FatClusterSize, KeepsEveryFileAndTheIdentity) {
    const ChangeCase& c = GetParam();
    MakeDisk(c.volume);
    std::vector<uint8_t> oldBoot = kwtest::ReadAt(volume_, 0, 512);
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    ASSERT_TRUE(Choose(c, &limits)) << limits.GetFatType() << " " << limits.GetClusterSize();
    uint32_t size = limits.GetSize();
    kwRet rc = ChangeClusterSize(fat_, &limits, 0);
    if (rc == ERR_NOT_SUPPORTED && c.newSpc > uint32_t(c.volume.spc))
        GTEST_SKIP() << "alignment of larger clusters not built";
    ASSERT_EQ(rc, KW_OK);
    ExpectStateMatchesDisk();
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), size);
    ExpectWhole(image_);
    fs::path part = Partition(image_);
    FAT_BOOT_RECORD b = BootOf(part);
    EXPECT_EQ(b.sectorsPerCluster, c.newSpc);
    EXPECT_EQ(b.IsFat32(), c.newKind == FAT_KIND_32);
    std::vector<uint8_t> boot = kwtest::ReadAt(part, 0, 512);
    // OEM name, media, sectors per track and heads; serial and label.
    for (uint32_t at : {3u, 21u, 24u, 26u})
        EXPECT_EQ(boot[at], oldBoot[at]) << at;
    uint32_t oldSerial = c.volume.bits == 32 ? 67 : 39, newSerial = b.IsFat32() ? 67 : 39;
    EXPECT_EQ(kwbytes::LoadLe32(boot.data() + newSerial),
              kwbytes::LoadLe32(oldBoot.data() + oldSerial));
    EXPECT_EQ(std::string(boot.begin() + newSerial + 4, boot.begin() + newSerial + 15),
              std::string(oldBoot.begin() + oldSerial + 4, oldBoot.begin() + oldSerial + 15));
    if (c.newKind == FAT_KIND_32) {
        EXPECT_EQ(EntryType(image_), 0x0B);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FatClusterSize,
    ::testing::Values(ChangeCase{"fat16_smaller", {16, 32768, 4}, 1, FAT_KIND_16, 0},
                      ChangeCase{"fat12_smaller_shrunk", {12, 8192, 4}, 2, FAT_KIND_12, 7000},
                      ChangeCase{
                          "fat16_same_to_fat32_grown", {16, 80000, 2}, 2, FAT_KIND_32, 140000},
                      ChangeCase{"fat16_larger", {16, 32768, 1}, 4, FAT_KIND_16, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Equal clusters, kind and size still rewrite the volume for another root
// size.
TEST_F(FatClusterSize, RootSizeChangesWithEqualClusters) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetRootEntries(1024);
    ASSERT_EQ(limits.GetRootEntries(), 1024u);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    ASSERT_EQ(ChangeClusterSize(fat_, &limits, 0), KW_OK);
    CloseDisk();
    EXPECT_EQ(EntrySectors(image_), 30082u); // the partition keeps its size
    EXPECT_EQ(BootOf(Partition(image_)).rootEntries, 1024u);
    ExpectWhole(image_);
}

// A bad cluster where the new system area goes cannot be moved away: the
// change is refused before it writes anything.
TEST_F(FatClusterSize, BadClusterUnderTheNewSystemAreaIsRefused) {
    MakeDisk({16, 30082, 2});
    OpenDisk(nullptr);
    ASSERT_EQ(fat_->GetFat()->GetNextCluster(3), 0u);
    ASSERT_EQ(fat_->GetFat()->SetNextCluster(3, FAT_BAD), KW_OK);
    ASSERT_EQ(fat_->WriteAllFats(), KW_OK);
    CloseDisk();
    std::string marked = kwtest::ReadHost(image_);
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    EXPECT_EQ(ChangeClusterSize(fat_, &limits, 0), ERR_BAD_SECTOR_IN_FS);
    ExpectStateMatchesDisk();
    CloseDisk();
    EXPECT_TRUE(kwtest::ReadHost(image_) == marked);
}

// The OS/2 extended-attribute file is re-laid in a copy that takes its
// name after the rewrite; no copy is left behind, whether the change is
// done or refused.
TEST_F(FatClusterSize, ExtendedAttributeFileFollowsTheChange) {
    MakeDisk({16, 30082, 2});
    // Header and handle table in the first cluster, one attribute record of
    // 100 bytes in the second.
    std::string ea(2048, '\0');
    auto* d = reinterpret_cast<uint8_t*>(ea.data());
    for (uint32_t g = 0; g < 240; ++g)
        kwbytes::StoreLe16(d + 32 + 2 * g, g == 0 ? 1 : 2);
    kwbytes::StoreLe16(d + 510, 2);
    std::fill(ea.begin() + 514, ea.begin() + 1024, '\xFF');
    kwbytes::StoreLe16(d + 512, 0);
    kwbytes::StoreLe16(d + 1024 + 26, 100);
    kwtest::WriteHost(dir_ / "EADATA.SF", ea);
    std::string at = "@@" + std::to_string(uint64_t{start_} * 512);
    Must("mcopy -i " + kwtest::Quote(image_) + at + " " + kwtest::Quote(dir_ / "EADATA.SF") +
         " ::/");
    std::string disk = kwtest::ReadHost(image_);
    size_t entry = disk.find("EADATA  SF ");
    ASSERT_NE(entry, std::string::npos);
    disk.replace(entry, 11, "EA DATA  SF"); // the name mcopy cannot write
    Restore(disk);
    // The other files keep their bytes (the attribute file's own change).
    auto others = [&](const fs::path& part) {
        std::istringstream lines(Contents(part));
        std::string kept;
        for (std::string line; std::getline(lines, line);)
            kept += line.find("./EA") == std::string::npos ? line + "\n" : "";
        return kept;
    };
    std::string before = others(Partition(image_));
    kwtest::FatListing listing = kwtest::MdirListing(Partition(image_));
    OpenDisk(nullptr);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetClusterSize(512);
    ASSERT_EQ(limits.GetClusterSize(), 512u);
    kwRet rc = ChangeClusterSize(fat_, &limits, 0);
    EXPECT_TRUE(rc == KW_OK || rc == ERR_NOT_SUPPORTED) << rc;
    FAT_FOUND found;
    EXPECT_EQ(fat_->FindPath("EA DATA. SF", 0, &found), KW_OK);
    EXPECT_EQ(fat_->FindPath("EA DATA.TMP", 0, &found), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(fat_->GetBootRecord()->sectorsPerCluster, rc == KW_OK ? 1u : 2u);
    CloseDisk();
    fs::path part = Partition(image_);
    std::string report;
    EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
    EXPECT_EQ(others(part), before);
    kwtest::FatListing after = kwtest::MdirListing(part);
    EXPECT_EQ(after.erase("EA.DATA"), 1u); // its size follows the new clusters
    EXPECT_EQ(listing.erase("EA.DATA"), 1u);
    EXPECT_EQ(after, listing);
}

// Mode 1 tests the sectors a growing partition gains: an unreadable one
// ends up in a cluster marked bad.
TEST_F(FatClusterSize, AddedSectorsAreTestedInModeOne) {
    MakeDisk({16, 16384, 1});
    uint32_t bad = 16384 + 100;
    OpenDisk(nullptr, start_ + bad);
    FAT_LIMITS limits;
    Limits(&limits);
    limits.SetSize(30082, false); // the next cylinder boundary
    ASSERT_EQ(ChangeClusterSize(fat_, &limits, CCS_TEST_ADDED_SECTORS), KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    EXPECT_EQ(fat_->GetFat()->GetNextCluster(b.SectorToCluster(bad)), FAT_BAD);
    EXPECT_EQ(fat_->CountBadClusters(), 1u);
    CloseDisk();
    ExpectWhole(image_);
}

// ------------------------------------------------------ Evacuation

TEST_F(FatResize, EvacuatedRangeEndsFreeWithEveryFile) {
    MakeDisk({16, 16384, 1});
    OpenDisk(nullptr);
    const FAT_BOOT_RECORD b = *fat_->GetBootRecord();
    const FAT_BLOCKS& fat = *fat_->GetFat();
    uint32_t low = fat.FindNextUsed(2), high = low;
    for (uint32_t c = low; c <= b.LastCluster(); ++c)
        high = fat.GetNextCluster(c) != 0 ? c : high;
    uint32_t first = low + (high - low) / 3, last = high - (high - low) / 3;
    ASSERT_GT(fat_->GetFat()->CountUsedClusters(first, last), 20u);
    EXPECT_EQ(EvacuateClusterRange(fat_, last, first), ERR_FAT_BAD_CLUSTER);
    EXPECT_EQ(EvacuateClusterRange(fat_, 0, b.LastCluster() + 10), ERR_FAT_NO_SPACE);
    ASSERT_EQ(EvacuateClusterRange(fat_, first, last), KW_OK);
    EXPECT_EQ(fat_->GetFat()->CountUsedClusters(first, last), 0u);
    CloseDisk();
    ExpectWhole(image_);
}

// ------------------------------------------------------------ cuts

class FatResizeCuts : public FatResize {};

// The caller's copies are on the disk before the cut moves begin.
class FatRunMoveCuts : public FatRunMoves {};

TEST_F(FatRunMoveCuts, RelinkCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    Pairs moves = PickMoves(false);
    MakeRuns(moves);
    uint32_t same = pi_->NumSects;
    CloseDisk();
    CopyClusters(moves);
    CutEverywhere([&] { return RelinkCopiedRuns(fat_, from_, onto_); });
    EXPECT_EQ(EntrySectors(image_), same);
}

TEST_F(FatResizeCuts, ShrinkCutAtAnyWrite) {
    MakeDisk({16, 30082, 1}, 55); // the files beyond the new end
    CutEverywhere([&] { return fat_->Resize(0, 14017, nullptr, nullptr); });
}

TEST_F(FatResizeCuts, GrowCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    CutEverywhere([&] { return fat_->Resize(0, 46147, nullptr, nullptr); });
}

// FAT32: the boot sector, its backup and FSInfo switch with the layout.
TEST_F(FatResizeCuts, Fat32ShrinkCutAtAnyWrite) {
    MakeDisk({32, 94342, 1}, 85); // the files beyond the new end
    // (Reordered writes as in FAT16; the prefixes suffice here.)
    CutEverywhere([&] { return fat_->Resize(0, 78277, nullptr, nullptr); }, false);
}

TEST_F(FatResizeCuts, SmallerClustersCutAtAnyWrite) {
    MakeDisk({16, 30082, 2}, 55);
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetSize(14017, false);
        limits.SetClusterSize(512);
        bool chosen = limits.GetClusterSize() == 512 && limits.GetSize() == 14017;
        return chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
    });
}

TEST_F(FatResizeCuts, LargerClustersCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    FAT_LIMITS probe;
    Limits(&probe);
    probe.SetClusterSize(2048);
    bool aligned = ChangeClusterSize(fat_, &probe, 0) != ERR_NOT_SUPPORTED;
    CloseDisk();
    if (!aligned)
        GTEST_SKIP() << "alignment of larger clusters not built";
    MakeDisk({16, 30082, 1});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetClusterSize(2048);
        return limits.GetClusterSize() == 2048 ? ChangeClusterSize(fat_, &limits, 0)
                                               : ERR_BAD_ARGUMENT;
    });
}

// The kind changes with the cluster size: the FAT16 root goes into the
// FAT32 root chain, and the clusters under the new system area move first.
TEST_F(FatResizeCuts, Fat16ToFat32CutAtAnyWrite) {
    MakeDisk({16, 78277, 2});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetFatType(FAT_KIND_32);
        limits.SetClusterSize(512);
        bool chosen = limits.GetFatType() == FAT_KIND_32 && limits.GetClusterSize() == 512;
        kwRet rc = chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
        EXPECT_TRUE(fat_->GetBootRecord()->IsFat32());
        return rc;
    });
    EXPECT_EQ(EntryType(image_), 0x0B);
}

// Back: the FAT32 root chain goes into the fixed FAT16 area, the clusters
// first aligned to the larger ones.
TEST_F(FatResizeCuts, Fat32ToFat16CutAtAnyWrite) {
    MakeDisk({32, 78277, 1});
    CutEverywhere([&] {
        FAT_LIMITS limits;
        Limits(&limits);
        limits.SetFatType(FAT_KIND_16);
        limits.SetClusterSize(1024);
        bool chosen = limits.GetFatType() == FAT_KIND_16 && limits.GetClusterSize() == 1024;
        EXPECT_TRUE(chosen) << int(limits.GetFatType()) << " " << limits.GetClusterSize();
        kwRet rc = chosen ? ChangeClusterSize(fat_, &limits, 0) : ERR_BAD_ARGUMENT;
        EXPECT_FALSE(fat_->GetBootRecord()->IsFat32());
        return rc;
    });
    EXPECT_EQ(EntryType(image_), 0x06);
}

// The chained FAT16 root is named by its DYN_ROOT sector, which no batch
// rewrites: a map that moves its first cluster is refused before any write.
TEST_F(FatResize, ChainedRootKeepsItsFirstCluster) {
    MakeDisk({16, 30082, 1});
    OpenDisk(nullptr);
    uint32_t root = 0;
    ASSERT_EQ(ConvertRootToDynamic(fat_, &root), KW_OK);
    const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
    MOVE_MAP map(b.LastCluster() + 1);
    ASSERT_TRUE(map.IsLoaded());
    uint32_t free = fat_->GetFat()->FindNextFree(root + 64);
    ASSERT_EQ(map.SetTarget(root, free), KW_OK);
    std::string disk = kwtest::ReadHost(image_);
    EXPECT_EQ(EXECUTOR_FAT(fat_).Execute(&map, true, false), ERR_FAT_MOVE_MAP_INVALID);
    EXPECT_TRUE(kwtest::ReadHost(image_) == disk);
    ASSERT_EQ(ConvertRootToStatic(fat_), KW_OK);
    CloseDisk();
    ExpectWhole(image_);
}

// A move of clusters while the FAT16 root lies in a chain (the protected
// update is the root's, begun before the move): a cut leaves both marks,
// and the scan brings the root home before it completes the move.
TEST_F(FatResizeCuts, MoveWhileTheRootIsInAChainCutAtAnyWrite) {
    MakeDisk({16, 30082, 1});
    CutEverywhere(
        [&] {
            uint32_t root = 0;
            kwRet rc = ConvertRootToDynamic(fat_, &root);
            if (rc != KW_OK)
                return rc;
            const FAT_BLOCKS& fat = *fat_->GetFat();
            uint32_t low = fat.FindNextUsed(root + 64), high = low;
            for (uint32_t c = low; c <= fat_->GetBootRecord()->LastCluster(); ++c)
                high = fat.GetNextCluster(c) != 0 ? c : high;
            rc = EvacuateClusterRange(fat_, low + (high - low) / 3, high - (high - low) / 3);
            return rc == KW_OK ? ConvertRootToStatic(fat_) : rc;
        },
        true);
}

} // namespace
