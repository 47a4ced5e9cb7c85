// FAT volumes for the tests, made and filled by the Debian tools, and the
// tools' own view of them (mdir, fls, fsck.fat) as the oracle. kwfs is the
// engine's side.
#pragma once

#include "engine/core/ui_interface.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/support/recording_disk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kwtest {

// One listed entry: folder or file and its size.
struct FatListed {
    bool dir = false;
    uint64_t size = 0;
    std::string sha;
    bool operator==(const FatListed& o) const { return dir == o.dir && size == o.size; }
};
using FatListing = std::map<std::string, FatListed>;

// A user interface that answers Yes to every question: the start-up
// recovery of an interrupted FAT operation asks before it writes.
class YesUI : public UIInterface {
public:
    void ShowMessage(KWString, KWString, std::uint32_t) override {}
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return UI_ANSWER_YES;
    }
};

// mkfs.fat -C of `kib` KiB: FAT `bits`, `clusterSectors` per cluster.
std::filesystem::path MakeFatVolume(const TempDir& dir, const std::string& name, int bits,
                                    uint32_t kib, int clusterSectors);
// A host tree with long, non-ASCII, 8.3 and empty names and a deep folder,
// copied into the volume's root (mcopy -s). Returns the host folder.
std::filesystem::path FillStandardTree(const TempDir& dir, const std::filesystem::path& image);

// What the tools list (recursively, "." and ".." left out). offset in
// sectors of the volume inside the image.
FatListing MdirListing(const std::filesystem::path& image, uint64_t offset = 0);
FatListing FlsListing(const std::filesystem::path& image, uint64_t offset = 0);

// kwfs ls [--hash] SOURCE: the listing and the exit status.
struct KwfsResult {
    int status = -1;
    FatListing listing;
    std::string out;
    std::string err;
};
KwfsResult KwfsLs(const std::string& source, bool hash = false);
// Runs kwfs with any arguments; stdout and the exit status.
KwfsResult Kwfs(const std::string& args);

// Used clusters as "fsck.fat -n -v" counts them; -1 when it cannot say.
long FsckUsedClusters(const std::filesystem::path& image);
// True when "fsck.fat -n" finds nothing to complain about.
bool FsckClean(const std::filesystem::path& image, std::string* report = nullptr);

std::string Quote(const std::filesystem::path& p);

// n bytes of a repeatable pattern for the seed.
std::string Bytes(size_t n, uint32_t seed);
// A file's bytes as mtype gives them (empty when it has none).
std::string Mtype(const std::filesystem::path& image, const std::string& path);
// mcopy -o of a host file to a path in the volume.
void Mcopy(const std::filesystem::path& image, const std::filesystem::path& from,
           const std::string& to);
void WriteHost(const std::filesystem::path& file, const std::string& bytes);
std::string ReadHost(const std::filesystem::path& file);
// Writes to `cut` each disk state a cut after a write of `log` leaves over
// `base` (from no write to all of them) and calls check() on it, under a
// trace naming the write; returns how many writes there were.
size_t ForEachCutImage(const std::string& base, const std::vector<DiskEvent>& log,
                       const std::filesystem::path& cut, const std::function<void()>& check);
// The same for the states a disk that reorders writes between flushes
// leaves (ForEachReorderedCutState); returns how many there were.
size_t ForEachReorderedCutImage(const std::string& base, const std::vector<DiskEvent>& log,
                                const std::filesystem::path& cut,
                                const std::function<void()>& check);
// Every file of the volume as mtools reads it: "./path sha256" lines,
// sorted (copied out into a folder of `dir`).
std::string TreeHashes(const TempDir& dir, const std::filesystem::path& image);

// A volume file opened through the engine as a partition without a table
// entry: its FAT file system, initialised or not. Closed at the end.
class FatVolumeTest : public ::testing::Test {
protected:
    void OpenVolume(const std::filesystem::path& image, bool init);
    // As OpenVolume (initialised), every write and flush logged.
    void OpenRecorded(const std::filesystem::path& image, std::vector<DiskEvent>* log);
    void CloseVolume();
    void Attach(const std::filesystem::path& image, bool init);
    void TearDown() override { CloseVolume(); }
    TempDir dir_;
    PARTITION_INFO* pi_ = nullptr;
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
    bool recorded_ = false;
};

// A disk image with one FAT volume in a partition of its table: the engine
// opens it through the disk scan, so a safe change marks the partition's
// entry (type 3Ch) while it runs, and a scan of a cut image runs the
// start-up recovery, every question answered Yes. It owns the user
// interface, bridge and reboot manager the recovery talks to, installed
// while it lives.
class FatPartitionDisk {
public:
    static constexpr uint32_t kStart = 2048;
    FatPartitionDisk();
    ~FatPartitionDisk();
    FatPartitionDisk(const FatPartitionDisk&) = delete;
    FatPartitionDisk& operator=(const FatPartitionDisk&) = delete;

    // `disk` made with `volume` in a partition of `type` at kStart.
    void Make(const std::filesystem::path& volume, const std::filesystem::path& disk, uint8_t type);
    // The disk opened with every write and flush logged, and the partition's
    // file system initialised (null on failure).
    FAT_FILESYSTEM* Open(std::vector<DiskEvent>* log);
    void Close();
    // One scan of an image of the disk, as the next start makes.
    static void Rescan(const std::filesystem::path& image);
    // The partition of an image of the disk as a volume file of its own,
    // for the tools.
    void Extract(const std::filesystem::path& image, const std::filesystem::path& part) const;
    // The type byte of the partition's entry in an image of the disk.
    static uint8_t EntryType(const std::filesystem::path& image);

private:
    struct Host;
    std::unique_ptr<Host> host_;
    std::filesystem::path disk_;
    uint32_t sectors_ = 0;
    FILESYSTEM* fs_ = nullptr;
};

} // namespace kwtest
