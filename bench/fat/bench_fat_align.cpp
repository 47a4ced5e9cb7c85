// Aligning the data of a 1 GiB FAT32 volume that holds about 600 MB of
// fragmented files for clusters eight times larger (4 KiB to 32 KiB), timed
// beside the peer measured in the same run: dd copying the volume's used
// bytes once (both flushed to the disk before they stop the clock). The
// volume is built once in /tmp (KW_BENCH_FAT_DIR) by mkfs.fat and mcopy and
// copied afresh, outside the clock, before every iteration. Without the
// tools every benchmark is skipped.
#include "engine/core/codepage.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_align.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"
#include "engine/host/fs_modules.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kVolumeKiB = 1024 * 1024;
constexpr int kSpc = 8;
constexpr uint32_t kNewSpc = 64;

std::string Dir() {
    const char* d = std::getenv("KW_BENCH_FAT_DIR");
    return d != nullptr ? d : "/tmp/kw-bench-fat";
}

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool HaveTools() {
    return Run("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null && "
               "command -v mdel >/dev/null");
}

void WriteFile(const fs::path& file, size_t bytes, int seed) {
    std::vector<char> data(bytes);
    uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(bytes));
}

// 300 files of about 1 MiB, every other one deleted, then 200 files of
// about 2.2 MiB written into the holes and after them: about 600 MB in
// chains broken at every hole. No size is whole new clusters, so the files
// start at every phase and most of the data has to move. "" when it cannot
// be made.
std::string Build() {
    std::string image = Dir() + "/align-v2.img";
    if (fs::exists(image))
        return image;
    fs::create_directories(Dir());
    std::string tmp = image + ".tmp", mtools = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";
    fs::path tree = Dir() + "/align.tree";
    fs::remove_all(tree);
    fs::create_directories(tree / "a");
    fs::create_directories(tree / "b");
    for (int i = 0; i < 300; ++i)
        WriteFile(tree / "a" / ("F" + std::to_string(1000 + i) + ".BIN"),
                  (1 << 20) + (i % 7 + 1) * 4096, i);
    for (int i = 0; i < 200; ++i)
        WriteFile(tree / "b" / ("G" + std::to_string(1000 + i) + ".BIN"),
                  (2 << 20) + 200 * 1024 + (i % 5) * 4096, 1000 + i);
    fs::remove(tmp);
    bool ok = Run("mkfs.fat -C -F 32 -s " + std::to_string(kSpc) + " '" + tmp + "' " +
                  std::to_string(kVolumeKiB) + " >/dev/null") &&
              Run(mtools + "mcopy -i '" + tmp + "' '" + (tree / "a").string() + "'/* ::");
    std::string gone;
    for (int i = 0; i < 300; i += 2)
        gone += " ::F" + std::to_string(1000 + i) + ".BIN";
    ok = ok && Run(mtools + "mdel -i '" + tmp + "'" + gone) &&
         Run(mtools + "mcopy -i '" + tmp + "' '" + (tree / "b").string() + "'/* ::");
    fs::remove_all(tree);
    if (!ok)
        return "";
    fs::rename(tmp, image);
    return image;
}

// The volume file opened through the engine as a partition of its own.
class Volume {
public:
    explicit Volume(const std::string& image) {
        cpLoadBuiltinTables(CPKIND_UTF8);
        enInstallFsModules();
        setenv("KW_DISKS", image.c_str(), 1);
        DISK_RECORD* disk = nullptr;
        uint32_t sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
        if (kwLibOpen() != KW_OK || kwGetDiskList(&disk) != KW_OK || disk == nullptr ||
            CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_) != KW_OK)
            return;
        pi_->ucFsKind = FS_KIND_FAT;
        if (OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0) == KW_OK && fs_->Init() == KW_OK)
            fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
    }
    ~Volume() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        if (pi_ != nullptr)
            DeletePi(&pi_);
        kwLibClose();
        unsetenv("KW_DISKS");
    }
    FAT_FILESYSTEM* Fat() const { return fat_; }

private:
    PARTITION_INFO* pi_ = nullptr;
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
};

// The bytes from the start of the volume to the end of its used clusters'
// worth of data: what one copy of the used bytes reads and writes.
uint64_t UsedBytes(const std::string& image) {
    Volume v(image);
    if (v.Fat() == nullptr)
        return 0;
    const FAT_BOOT_RECORD& b = *v.Fat()->GetBootRecord();
    return uint64_t{b.FirstDataSector()} * 512 +
           uint64_t{v.Fat()->GetFat()->CountUsedClusters()} * b.BytesPerCluster();
}

std::string Prepare(benchmark::State& state) {
    if (!HaveTools()) {
        state.SkipWithError("mkfs.fat or mtools is not installed");
        return "";
    }
    std::string image = Build();
    if (image.empty())
        state.SkipWithError("the volume could not be made");
    return image;
}

void BM_AlignClusters_4KiB_to_32KiB_Engine(benchmark::State& state) {
    std::string image = Prepare(state);
    if (image.empty())
        return;
    std::string work = Dir() + "/align.work.img";
    uint64_t used = UsedBytes(image), moved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!Run("cp --sparse=always '" + image + "' '" + work + "'")) {
            state.SkipWithError("copy failed");
            break;
        }
        Volume v(work);
        if (v.Fat() == nullptr) {
            state.SkipWithError("the volume did not open");
            break;
        }
        const FAT_BOOT_RECORD& b = *v.Fat()->GetBootRecord();
        uint32_t planned = kw::fat::ChooseAlignmentShift(v.Fat(), kNewSpc);
        if (kw::fat::BuildAlignmentMap(v.Fat(), kNewSpc, planned, 2, UINT32_MAX) == KW_OK)
            moved = uint64_t{v.Fat()->GetMoveMap()->CountMoves()} * b.BytesPerCluster();
        state.ResumeTiming();
        uint32_t phase = kw::fat::ChooseAlignmentShift(v.Fat(), kNewSpc);
        kwRet rc = kw::fat::AlignClusters(
            v.Fat(), kNewSpc, phase, b.FirstDataSector() + phase * kSpc, b.totalSectors, nullptr);
        state.PauseTiming();
        if (rc != KW_OK) {
            state.SkipWithError(("AlignClusters failed: " + std::to_string(rc)).c_str());
            break;
        }
        state.ResumeTiming();
    }
    fs::remove(work);
    state.counters["used_MB"] = static_cast<double>(used) / 1e6;
    state.counters["moved_MB"] = static_cast<double>(moved) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * used));
}

void BM_CopyUsedBytes_Dd(benchmark::State& state) {
    std::string image = Prepare(state);
    if (image.empty())
        return;
    std::string peer = Dir() + "/align.peer.img";
    uint64_t used = UsedBytes(image);
    std::string count = std::to_string((used + (1 << 20) - 1) >> 20);
    for (auto _ : state)
        if (!Run("dd if='" + image + "' of='" + peer + "' bs=1M count=" + count +
                 " conv=fsync status=none")) {
            state.SkipWithError("dd failed");
            break;
        }
    fs::remove(peer);
    state.counters["used_MB"] = static_cast<double>(used) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * used));
}

} // namespace

BENCHMARK(BM_AlignClusters_4KiB_to_32KiB_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_CopyUsedBytes_Dd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
