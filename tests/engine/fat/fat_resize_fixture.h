// The fixture of the FAT resize and cluster-size change tests: a disk with
// one FAT partition made by mkfs.fat, filled by mtools and fragmented, the
// volume opened through the disk scan, and the checks every test shares
// (fsck.fat, every file's bytes, the mdir listing, each cut state scanned
// again).
#pragma once
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

namespace fatresize {

const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";
// The BIOS-addressable limit of the test disks (1024 cylinders of 255 x 63).
constexpr uint32_t kChsLimit = 1024u * 255 * 63;

using kwtest::YesUI;

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

} // namespace fatresize
