// Resizing a FAT32 volume, changing its cluster size and aligning its data
// for larger clusters, each timed beside the peer measured in the same run:
// dd copying the volume's used bytes once (both flushed to the disk before
// they stop the clock). The volume: a 1 GiB FAT32 partition with 4 KiB
// clusters holding about 600 MB in chains broken at every hole (300 files of
// about 1 MiB, every other one deleted, then 200 files of about 2.2 MiB
// written into the holes and after them; no size is whole larger clusters,
// so the files start at every phase). It is built once in /tmp
// (KW_BENCH_FAT_DIR) by mkfs.fat and mcopy and copied afresh and flushed,
// outside the clock, before every iteration; the last result of each change
// is checked with fsck.fat -n.
//
// The cluster sizes this volume may take are the ones its limits give: a
// larger cluster needs as much free room, in clusters of that size, as the
// data needs, and about 450 MB free beside 620 MB of data leaves none above
// 4 KiB (FAT16 needs at least 16 KiB clusters for this much data, so it has
// none either). Smaller clusters keep FAT32: 512 bytes to 2 KiB. Sizes the
// limits choose lie on the disk's cylinder grid (the nearest boundary),
// which this partition does not end on: the cluster-size change also ends
// the partition about 5 MB earlier.
#include "bench/fat/fat_bench_support.h"
#include "engine/fat/fat_align.h"
#include "engine/fat/fat_ccs.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_limits.h"
#include "engine/fs/filesystem.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kw::fat::FAT_GEOMETRY_OPTIONS;
using kw::fat::FAT_LIMITS;
using kw::fat::GetGeometryLimits;
using kwbench::At;
using kwbench::Dir;
using kwbench::Engine;
using kwbench::kStart;

constexpr uint32_t kVolumeMiB = 1024;
constexpr int kSpc = 8;
// The alignment for 32 KiB clusters, and the change to 2 KiB ones.
constexpr uint32_t kAlignSpc = 64;
constexpr uint32_t kSmallerSpc = 4;

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
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

// The fragmented volume; "" when it cannot be made.
std::string Pristine() {
    std::string image = Dir() + "/resize-v2.img";
    if (fs::exists(image))
        return image;
    if (!Run("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null && "
             "command -v sfdisk >/dev/null"))
        return "";
    fs::create_directories(Dir());
    std::string tmp = image + ".tmp", mtools = kwbench::Mtools();
    fs::path tree = Dir() + "/resize.tree";
    fs::remove_all(tree);
    fs::create_directories(tree / "a");
    fs::create_directories(tree / "b");
    for (int i = 0; i < 300; ++i)
        WriteFile(tree / "a" / ("F" + std::to_string(1000 + i) + ".BIN"),
                  (1 << 20) + (i % 7 + 1) * 4096, i);
    for (int i = 0; i < 200; ++i)
        WriteFile(tree / "b" / ("G" + std::to_string(1000 + i) + ".BIN"),
                  (2 << 20) + 200 * 1024 + (i % 5) * 4096, 1000 + i);
    kwbench::NewFat32Image(tmp, kVolumeMiB, kSpc);
    std::string gone;
    for (int i = 0; i < 300; i += 2)
        gone += " ::F" + std::to_string(1000 + i) + ".BIN";
    bool ok = Run(mtools + "mcopy " + At(tmp) + " '" + (tree / "a").string() + "'/* ::") &&
              Run(mtools + "mdel " + At(tmp) + gone) &&
              Run(mtools + "mcopy " + At(tmp) + " '" + (tree / "b").string() + "'/* ::");
    fs::remove_all(tree);
    if (!ok)
        return "";
    fs::rename(tmp, image);
    return image;
}

// The volume of a partition opened for a change, closed when it goes.
struct Volume {
    Engine engine;
    FILESYSTEM* fsys = nullptr;
    FAT_FILESYSTEM* fat = nullptr;
    explicit Volume(const std::string& image) : engine(image) {
        if (OpenFileSystem(engine.pi, &fsys, FS_OPEN_EXCLUSIVE, 0) == KW_OK &&
            fsys->Init() == KW_OK)
            fat = dynamic_cast<FAT_FILESYSTEM*>(fsys);
    }
    ~Volume() {
        if (fsys != nullptr)
            CloseFileSystem(&fsys);
    }
};

// The bytes from the start of the volume to the end of its used clusters'
// worth of data: what one copy of the used bytes reads and writes.
uint64_t UsedBytes(const std::string& image) {
    Volume v(image);
    if (v.fat == nullptr)
        return 0;
    const FAT_BOOT_RECORD& b = *v.fat->GetBootRecord();
    return uint64_t{b.FirstDataSector()} * 512 +
           uint64_t{v.fat->GetFat()->CountUsedClusters()} * b.BytesPerCluster();
}

// fsck.fat checks a volume file, so the partition is cut out of the image.
bool FsckClean(const std::string& image) {
    std::string volume = Dir() + "/resize.check.vol";
    bool clean =
        Run("dd if='" + image + "' of='" + volume + "' bs=512 skip=" + std::to_string(kStart) +
            " status=none && fsck.fat -n '" + volume + "' >/dev/null 2>&1");
    fs::remove(volume);
    return clean;
}

// Times `change` on a fresh copy of the volume for every iteration.
template <typename Change> void EngineChange(benchmark::State& state, Change change) {
    std::string pristine = Pristine(), work = Dir() + "/resize.work.img";
    if (pristine.empty()) {
        state.SkipWithError("mkfs.fat, sfdisk or mtools is missing");
        return;
    }
    uint64_t used = UsedBytes(pristine);
    for (auto _ : state) {
        state.PauseTiming();
        if (!Run("cp --sparse=always '" + pristine + "' '" + work + "' && sync '" + work + "'")) {
            state.SkipWithError("copy failed");
            return;
        }
        state.ResumeTiming();
        Volume v(work);
        kwRet rc = v.fat != nullptr ? change(v.engine.pi, v.fat) : ERR_BAD_ARGUMENT;
        if (rc != KW_OK) {
            state.SkipWithError(("the change failed with " + std::to_string(rc)).c_str());
            return;
        }
    }
    if (!FsckClean(work))
        state.SkipWithError("fsck.fat -n found faults after the change");
    fs::remove(work);
    state.counters["used_MB"] = static_cast<double>(used) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * used));
}

FAT_GEOMETRY_OPTIONS Unaligned() {
    FAT_GEOMETRY_OPTIONS opt;
    opt.align = false;
    return opt;
}

// The volume shrunk by half its free space through its Resize: the data
// beyond the new end moves down into the holes. Resize keeps the FAT kind
// and takes the cluster size the limits prefer, the smallest one the new
// size allows (here 512 bytes), so this shrink re-lays the FAT too.
void BM_ShrinkByHalfTheFreeSpace_Engine(benchmark::State& state) {
    EngineChange(state, [](PARTITION_INFO* pi, FAT_FILESYSTEM* fat) {
        const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
        uint64_t freeSectors =
            uint64_t{b.clusterCount - fat->GetFat()->CountUsedClusters()} * b.sectorsPerCluster;
        FAT_LIMITS limits;
        kwRet rc = GetGeometryLimits(fat, &limits, Unaligned());
        if (rc != KW_OK)
            return rc;
        limits.SetFatType(b.fatKind);
        limits.SetSize(static_cast<uint32_t>(pi->NumSects - freeSectors / 2), false);
        return fat->Resize(0, limits.GetSize(), nullptr, nullptr);
    });
}

// FAT32 with 4 KiB clusters to FAT32 with 2 KiB ones, the nearest cluster
// size the limits allow this volume: the clusters under the larger FATs
// emptied, then the critical area rewritten with every chain in the smaller
// clusters.
void BM_ChangeClusterSize_4KiB_to_2KiB_Engine(benchmark::State& state) {
    EngineChange(state, [](PARTITION_INFO* pi, FAT_FILESYSTEM* fat) {
        FAT_LIMITS limits;
        kwRet rc = GetGeometryLimits(fat, &limits, Unaligned());
        if (rc != KW_OK)
            return rc;
        limits.SetFatType(FAT_KIND_32);
        limits.SetSize(pi->NumSects, false);
        limits.SetClusterSize(kSmallerSpc * 512);
        if (limits.GetClusterSize() != kSmallerSpc * 512 || limits.GetFatType() != FAT_KIND_32)
            return ERR_FAT_INVALID_PARAMETERS;
        rc = kw::fat::ChangeClusterSize(fat, &limits, 0);
        if (rc == KW_OK && fat->GetBootRecord()->sectorsPerCluster != kSmallerSpc)
            return ERR_FAT_INVALID_PARAMETERS;
        return rc;
    });
}

// The alignment a change to 32 KiB clusters would make, alone: the limits
// refuse that change on this volume, but the alignment only moves data
// inside the old layout, which stays valid.
void BM_AlignClusters_4KiB_to_32KiB_Engine(benchmark::State& state) {
    EngineChange(state, [](PARTITION_INFO*, FAT_FILESYSTEM* fat) {
        const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
        uint32_t phase = kw::fat::ChooseAlignmentShift(fat, kAlignSpc);
        return kw::fat::AlignClusters(fat, kAlignSpc, phase, b.FirstDataSector() + phase * kSpc,
                                      b.totalSectors, nullptr);
    });
}

void BM_CopyUsedBytes_Dd(benchmark::State& state) {
    std::string pristine = Pristine(), peer = Dir() + "/resize.peer.img";
    if (pristine.empty()) {
        state.SkipWithError("mkfs.fat, sfdisk or mtools is missing");
        return;
    }
    uint64_t used = UsedBytes(pristine);
    std::string count = std::to_string((used + (1 << 20) - 1) >> 20);
    for (auto _ : state)
        if (!Run("dd if='" + pristine + "' of='" + peer +
                 "' bs=1M skip=" + std::to_string(kStart * 512 >> 20) + " count=" + count +
                 " conv=fsync status=none")) {
            state.SkipWithError("dd failed");
            return;
        }
    fs::remove(peer);
    state.counters["used_MB"] = static_cast<double>(used) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * used));
}

} // namespace

BENCHMARK(BM_ShrinkByHalfTheFreeSpace_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_ChangeClusterSize_4KiB_to_2KiB_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_AlignClusters_4KiB_to_32KiB_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_CopyUsedBytes_Dd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
