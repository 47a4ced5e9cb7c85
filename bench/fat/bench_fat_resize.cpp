// Resizing a FAT32 volume and changing its cluster size, timed beside a plain
// copy of its used bytes in the same run. The volume: 1 GiB, 4 KiB clusters,
// holding 600 MB of files written so that most of them are fragmented (1,000
// files of 400 KiB, every other one deleted, then 400 files of 1 MiB poured
// into the holes). Shrinking by half its free space moves the data that lies
// beyond the new end; the cluster-size change to 8 KiB re-aligns every chain.
// The peer is dd copying the used bytes once (synced, as the engine syncs
// before it reports success). Each engine iteration works on a fresh copy of
// the volume (the copy is not timed); the last result is checked with
// fsck.fat -n.
#include "bench/fat/fat_bench_support.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kwbench::At;
using kwbench::Dir;
using kwbench::Engine;
using kwbench::Must;

constexpr uint32_t kVolumeMiB = 1024;

void WriteRandomFiles(const fs::path& folder, const char* prefix, int count, size_t bytes,
                      uint32_t seed) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::mt19937 random(seed);
    std::vector<uint32_t> words(bytes / 4);
    for (int i = 0; i < count; ++i) {
        for (uint32_t& w : words)
            w = random();
        char name[32];
        std::snprintf(name, sizeof name, "%s%04d.BIN", prefix, i);
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(words.data()), std::streamsize(bytes));
    }
}

// The fragmented volume, built once and kept in Dir().
std::string Pristine() {
    std::string image = Dir() + "/resize.img";
    if (fs::exists(image))
        return image;
    fs::create_directories(Dir());
    std::string tmp = image + ".tmp";
    kwbench::NewFat32Image(tmp, kVolumeMiB, 8);
    fs::path a = Dir() + "/resize.a", b = Dir() + "/resize.b";
    WriteRandomFiles(a, "A", 1000, 400 << 10, 1);
    Must(kwbench::Mtools() + "mcopy " + At(tmp) + " '" + a.string() + "'/* ::");
    std::string victims;
    for (int i = 1; i < 1000; i += 2) {
        char name[32];
        std::snprintf(name, sizeof name, " ::A%04d.BIN", i);
        victims += name;
    }
    Must(kwbench::Mtools() + "mdel " + At(tmp) + victims);
    WriteRandomFiles(b, "B", 400, 1 << 20, 2);
    Must(kwbench::Mtools() + "mcopy " + At(tmp) + " '" + b.string() + "'/* ::");
    fs::remove_all(a);
    fs::remove_all(b);
    fs::rename(tmp, image);
    return image;
}

std::string WorkCopy(const std::string& pristine) {
    std::string work = Dir() + "/resize.work.img";
    Must("cp --sparse=always '" + pristine + "' '" + work + "'");
    return work;
}

// fsck.fat checks a volume file, so the partition is cut out of the image.
void CheckClean(benchmark::State& state, const std::string& image) {
    std::string volume = Dir() + "/resize.check.vol";
    std::string command = "dd if='" + image + "' of='" + volume +
                          "' bs=512 skip=" + std::to_string(kwbench::kStart) +
                          " status=none && fsck.fat -n '" + volume + "' >/dev/null 2>&1";
    bool clean = std::system(command.c_str()) == 0;
    fs::remove(volume);
    if (!clean)
        state.SkipWithError("fsck.fat -n found faults after the change");
}

// Opens the volume of a fresh copy, lets `change` act on it and closes it.
template <typename Change> void EngineChange(benchmark::State& state, Change change) {
    std::string pristine = Pristine(), work;
    for (auto _ : state) {
        state.PauseTiming();
        work = WorkCopy(pristine);
        state.ResumeTiming();
        Engine engine(work);
        FILESYSTEM* fsys = nullptr;
        if (OpenFileSystem(engine.pi, &fsys, FS_OPEN_EXCLUSIVE, 0) != KW_OK ||
            fsys->Init() != KW_OK) {
            state.SkipWithError("the volume did not open");
            return;
        }
        kwRet rc = change(engine.pi, static_cast<FAT_FILESYSTEM*>(fsys));
        CloseFileSystem(&fsys);
        if (rc != KW_OK) {
            state.SkipWithError(("the change failed with " + std::to_string(rc)).c_str());
            return;
        }
    }
    CheckClean(state, work);
}

void BM_ShrinkByHalfTheFreeSpace_Engine(benchmark::State& state) {
    EngineChange(state, [](PARTITION_INFO* pi, FAT_FILESYSTEM* fat) {
        uint32_t size = pi->NumSects, freeSectors = pi->ulFreeSects;
        return fat->Resize(0, size - freeSectors / 2, nullptr, nullptr);
    });
}

void BM_CopyUsedBytes_Dd(benchmark::State& state) {
    std::string pristine = Pristine(), out = Dir() + "/resize.dd.out";
    // 600 MB of files plus the FATs and folders.
    for (auto _ : state)
        Must("dd if='" + pristine + "' of='" + out + "' bs=1M count=600 conv=fsync status=none");
    state.SetBytesProcessed(int64_t{state.iterations()} * (600 << 20));
}

BENCHMARK(BM_ShrinkByHalfTheFreeSpace_Engine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_CopyUsedBytes_Dd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
