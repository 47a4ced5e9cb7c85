// The fixtures of the cluster-move tests: FAT volumes made by mkfs.fat,
// filled by mtools and fragmented (every other file deleted, then refilled),
// opened alone (FatMove, FatMoveFaults) or inside a partition of a disk whose
// next scan runs the start-up recovery (FatMoveRecovery).
#pragma once

#include "engine/core/progress.h"
#include "engine/core/rebootmgr.h"
#include "engine/core/sectlist.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_move.h"
#include "engine/fat/fat_mover.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/support/recording_disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

namespace fatmove {

namespace fs = std::filesystem;
using namespace kw::fat;

inline const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";

// Which moves a test asks for, planned over the volume's FAT.
enum class Plan {
    Evacuate, // every used cluster in the top third to free clusters below
    Shuffle,  // swaps and three-cycles of used clusters (folders, the FAT32 root among them)
};

struct MoveCase {
    const char* name;
    int bits;
    uint32_t kib;
    int spc;
    Plan plan;
};

class FatMove : public ::testing::TestWithParam<MoveCase> {
protected:
    void TearDown() override { Close(); }

    void Must(const std::string& cmd) const { ASSERT_TRUE(kwtest::Run(kEnv + cmd)) << cmd; }
    static void Put(const fs::path& file, const std::string& bytes) {
        fs::create_directories(file.parent_path());
        kwtest::WriteHost(file, bytes);
    }

    // Files written, every other one deleted, and bigger ones written into
    // the holes, so that chains are fragmented; folders of several clusters
    // and a deep path among them.
    void MakeVolume(const MoveCase& c) {
        image_ = kwtest::MakeFatVolume(dir_, "vol.img", c.bits, c.kib, c.spc);
        if (clusters_ != 0)
            SetClusters();
        fs::path host = dir_ / "host";
        // A filler deleted afterwards puts these files high in the volume.
        Put(host / "AFILL.BIN", std::string(size_t{c.kib} * 1024 * 6 / 10, 'f'));
        for (int i = 0; i < 24; ++i)
            Put(host / ("f" + std::to_string(i) + ".bin"), kwtest::Bytes(700 + i * 1500, i));
        Must("mcopy -i " + kwtest::Quote(image_) + " " + kwtest::Quote(host) + "/* ::");
        Must("mdel -i " + kwtest::Quote(image_) + " ::/AFILL.BIN");
        for (int i = 0; i < 24; i += 2)
            Must("mdel -i " + kwtest::Quote(image_) + " ::/f" + std::to_string(i) + ".bin");
        fs::path more = dir_ / "more";
        for (int i = 0; i < 30; ++i)
            Put(more / "Many Files" / ("entry number " + std::to_string(i) + ".txt"),
                kwtest::Bytes(50 + i * 300, 100 + i));
        std::string deep = "deep";
        for (int i = 0; i < 5; ++i)
            deep += "/level " + std::to_string(i);
        Put(more / deep / "bottom.txt", "bottom\n");
        Put(more / "big fragmented.dat", kwtest::Bytes(40000, 7));
        Must("mcopy -s -i " + kwtest::Quote(image_) + " " + kwtest::Quote(more) + "/* ::");
    }

    // The volume's sector count set so that it has clusters_ clusters (the
    // file grown to hold them): mkfs.fat makes no FAT16 volume below 4087
    // clusters and no FAT12 one above about 4080, where fsck.fat and mtools
    // take either up to the kinds' limit.
    void SetClusters() const {
        FAT_BOOT_RECORD b;
        uint32_t sectors = static_cast<uint32_t>(fs::file_size(image_) / 512);
        ASSERT_EQ(b.Parse(kwtest::ReadAt(image_, 0, 512), sectors), KW_OK);
        uint32_t total = b.FirstDataSector() + clusters_ * b.sectorsPerCluster;
        uint32_t bits = b.fatKind == FAT_KIND_12 ? 12 : 16;
        ASSERT_GE(uint64_t{b.sectorsPerFat} * 512 * 8 / bits, clusters_ + 2u);
        ASSERT_LT(total, 0x10000u);
        if (total > sectors)
            fs::resize_file(image_, uint64_t{total} * 512);
        kwtest::WriteAt(image_, 19,
                        {static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8)});
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

    // image_ as the disk layer's only disk (its writes logged in `log` when
    // one is given), scanned.
    void ScanDisk(std::vector<kwtest::DiskEvent>* log) {
        fs::path image = image_;
        kw::plat::SetDiskProviderForTests([image, log] {
            int err = 0;
            std::unique_ptr<kw::plat::SectorSource> file = kw::plat::FileSectorSource::Open(
                image.string(), kw::plat::DiskFileKind::ImageFile, true, &err);
            kw::plat::DiskScan scan;
            if (log != nullptr)
                file = std::make_unique<kwtest::RecordingSource>(std::move(file), log);
            scan.disks.push_back(std::move(file));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }
    // fs_, opened, as the FAT volume it is, initialised.
    void InitFat() {
        fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
        ASSERT_NE(fat_, nullptr);
        ASSERT_EQ(fat_->Init(), KW_OK);
    }
    void Open(std::vector<kwtest::DiskEvent>* log) {
        ASSERT_NO_FATAL_FAILURE(ScanDisk(log));
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        ASSERT_NE(disk, nullptr);
        uint32_t sectors = static_cast<uint32_t>(fs::file_size(image_) / 512);
        ASSERT_EQ(CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_), KW_OK);
        pi_->ucFsKind = FS_KIND_FAT;
        ASSERT_EQ(OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0), KW_OK);
        InitFat();
    }
    void Close() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        fat_ = nullptr;
        if (pi_ != nullptr)
            DeletePi(&pi_);
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }

    // MakeVolume, a copy of the volume kept as it was, and the volume opened
    // with its writes logged.
    void OpenKept(const MoveCase& c, std::vector<kwtest::DiskEvent>* log) {
        MakeVolume(c);
        fs::copy_file(image_, dir_ / "pristine.img");
        Open(log);
    }
    // Whether the volume holds the bytes OpenKept kept.
    bool Unchanged() const {
        return kwtest::Run("cmp -s " + kwtest::Quote(image_) + " " +
                           kwtest::Quote(dir_ / "pristine.img"));
    }

    std::unique_ptr<MOVE_MAP> MakeMap(Plan plan, size_t limit = SIZE_MAX) const {
        const FAT_BOOT_RECORD& b = *fat_->GetBootRecord();
        const FAT_BLOCKS& fat = *fat_->GetFat();
        auto map = std::make_unique<MOVE_MAP>(b.LastCluster() + 1);
        std::vector<uint32_t> used, free;
        for (uint32_t c = 2; c <= b.LastCluster(); ++c)
            (fat.GetNextCluster(c) == 0 ? free : used).push_back(c);
        if (plan == Plan::Evacuate) {
            uint32_t cut = used[used.size() / 2];
            size_t f = 0;
            for (uint32_t c : used)
                if (c > cut && f < free.size() && free[f] < cut)
                    map->SetTarget(c, free[f++]);
            return map;
        }
        // Swaps (a <-> b), chains into free clusters and three-cycles,
        // spread over every used cluster, the first ones (the FAT32 root)
        // included.
        size_t f = free.size() / 2;
        for (size_t i = 0; i + 6 < std::min(used.size(), limit); i += 9) {
            map->SetTarget(used[i], used[i + 1]);
            map->SetTarget(used[i + 1], used[i]);
            if (f < free.size()) {
                map->SetTarget(used[i + 2], free[f++]);
                map->SetTarget(used[i + 3], used[i + 2]);
            }
            map->SetTarget(used[i + 4], used[i + 5]);
            map->SetTarget(used[i + 5], used[i + 6]);
            map->SetTarget(used[i + 6], used[i + 4]);
        }
        return map;
    }

    // Clusters for bad sectors: the first folder cluster, file clusters at
    // the start, in the middle and at the end of the used ones, a free
    // cluster and the volume's last cluster.
    std::vector<uint32_t> BadSectorClusters() const {
        const FAT_BLOCKS& fat = *fat_->GetFat();
        FAT_DIR_BLOCKS* dirs = nullptr;
        EXPECT_EQ(fat_->LoadDirBlocks(nullptr, &dirs), KW_OK);
        std::vector<uint32_t> used, picked;
        uint32_t folder = 0;
        for (uint32_t c = fat.FindNextUsed(2); c < fat.GetEntryCount(); c = fat.FindNextUsed(c + 1))
            if (dirs != nullptr && dirs->DirClusters().IsSet(c))
                folder = folder != 0 ? folder : c;
            else if (fat.GetNextCluster(c) != FAT_BAD)
                used.push_back(c);
        EXPECT_NE(folder, 0u);
        EXPECT_GT(used.size(), 20u);
        if (folder == 0 || used.size() <= 20)
            return {};
        return {folder,
                used[3],
                used[used.size() / 2],
                used.back(),
                fat.FindNextFree(2),
                fat_->GetBootRecord()->LastCluster()};
    }
    void PrepareBadSectorsOn(const MoveCase& k);
    // Whether the first FAT copy on disk marks the cluster bad (FAT16 or
    // FAT32).
    static bool MarkedBad(const fs::path& image, uint64_t offset, const FAT_BOOT_RECORD& b,
                          uint32_t cluster) {
        uint64_t fat = (offset + b.reservedSectors) * 512;
        if (b.fatKind == FAT_KIND_12) {
            std::vector<uint8_t> e = kwtest::ReadAt(image, fat + uint64_t{cluster} * 3 / 2, 2);
            uint16_t w = kwbytes::LoadLe16(e.data());
            return (cluster % 2 != 0 ? w >> 4 : w & 0xFFF) == 0xFF7;
        }
        uint32_t width = b.IsFat32() ? 4 : 2;
        std::vector<uint8_t> e = kwtest::ReadAt(image, fat + uint64_t{cluster} * width, width);
        return b.IsFat32() ? (kwbytes::LoadLe32(e.data()) & 0x0FFFFFFF) == 0x0FFFFFF7
                           : kwbytes::LoadLe16(e.data()) == 0xFFF7;
    }

    kwtest::TempDir dir_;
    fs::path image_;
    uint32_t clusters_ = 0; // MakeVolume: the volume's clusters, 0 as mkfs.fat makes them
    PARTITION_INFO* pi_ = nullptr;
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
};

class FatMoveFaults : public FatMove {};

// A move inside a partition of a disk, cut off after each of its writes,
// and the next disk scan: the recovery completes it, gives the entry its
// type back, and the volume passes fsck.fat with every file.
class FatMoveRecovery : public FatMove {
protected:
    static constexpr uint32_t kStart = 2048;
    static constexpr uint32_t kSectors = 12288;

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
    // The volume of MakeVolume, put into a partition of type 01 (FAT12), 06
    // (FAT16) or 0C (FAT32).
    void MakeDisk(uint32_t kib = kSectors / 2, int bits = 16) {
        MakeVolume(MoveCase{"disk", bits, kib, 1, Plan::Shuffle});
        volume_ = image_;
        image_ = dir_ / "disk.img";
        sectors_ = std::max(kSectors, kib * 2);
        type_ = bits == 32 ? 0x0C : bits == 12 ? 0x01 : 0x06;
        kwtest::MakeSparse(image_, uint64_t{kStart + sectors_ + 2048} * 512);
        char spec[80];
        std::snprintf(spec, sizeof spec, "label: dos\\nstart=%u, size=%u, type=%x\\n", kStart,
                      sectors_, type_);
        ASSERT_TRUE(kwtest::Run("printf '" + std::string(spec) + "' | sfdisk -q " +
                                kwtest::Quote(image_) + " >/dev/null 2>&1"));
        kwtest::Splice(image_, kStart, volume_);
    }
    void OpenDisk(std::vector<kwtest::DiskEvent>* log) {
        ASSERT_NO_FATAL_FAILURE(ScanDisk(log));
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kStart && OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) == KW_OK)
                break;
        InitFat();
    }
    void CloseDisk() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        fat_ = nullptr;
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    // The partition as a volume file of its own, for the tools.
    fs::path Partition(const fs::path& disk) const {
        fs::path part = dir_ / "part.img";
        kwtest::Capture("dd if=" + kwtest::Quote(disk) + " of=" + kwtest::Quote(part) +
                        " bs=512 skip=" + std::to_string(kStart) +
                        " count=" + std::to_string(sectors_) + " status=none");
        return part;
    }

    // MakeDisk's volume of `kib` opened with its writes logged in log_, and
    // a sector of each of BadSectorClusters() prepared as bad (their
    // clusters in bad_); base_ and before_ keep the disk and the volume's
    // files as they were.
    void PrepareOnDisk(uint32_t kib, int bits = 16) {
        MakeDisk(kib, bits);
        base_ = kwtest::ReadHost(image_);
        before_ = Contents(volume_);
        OpenDisk(&log_);
        boot_ = *fat_->GetBootRecord();
        bad_ = BadSectorClusters();
        ASSERT_FALSE(bad_.empty());
        SECT_LIST list;
        for (uint32_t c : bad_)
            ASSERT_EQ(list.Add(kStart + boot_.ClusterToSector(c)), KW_OK);
        STATE_MAP* map = nullptr;
        ASSERT_EQ(fs_->PrepareBadSectors(&map, &list, fat_->GetPI()), KW_OK);
        delete map;
    }

    // Each state a cut after a logged write leaves, scanned again (the
    // recovery runs): the entry has its type, fsck.fat passes and every
    // file reads back as `before`. Gives the number of writes.
    size_t CheckEveryCut(const std::string& base, const std::vector<kwtest::DiskEvent>& log,
                         const std::string& before) {
        fs::path cut = dir_ / "cut.img";
        size_t writes = 0;
        kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t k) {
            SCOPED_TRACE("cut after write " + std::to_string(k));
            writes = k;
            std::ofstream(cut, std::ios::binary | std::ios::trunc) << state;
            setenv("KW_DISKS", cut.c_str(), 1);
            ASSERT_EQ(kwLibOpen(), KW_OK);
            kwLibClose();
            unsetenv("KW_DISKS");
            EXPECT_EQ(kwtest::ReadAt(cut, 446 + 4, 1)[0], type_);
            fs::path part = Partition(cut);
            // The scan clears a first FAT left marked by the protected
            // update's own first or last write.
            std::string report;
            EXPECT_TRUE(kwtest::FsckClean(part, &report)) << report;
            EXPECT_EQ(Contents(part), before);
        });
        return writes;
    }

    fs::path volume_;
    uint32_t sectors_ = kSectors; // the partition's
    uint8_t type_ = 0x06;         // the partition's type
    std::string base_, before_;
    std::vector<kwtest::DiskEvent> log_;
    FAT_BOOT_RECORD boot_;
    std::vector<uint32_t> bad_;
    REBOOT_MANAGER reboots_;
    kwtest::YesUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

} // namespace fatmove
