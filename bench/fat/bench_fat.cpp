// FAT32 volumes inside a disk-image file, read through the engine and by the
// Debian tools in the same run: listing a folder of 10,000 files, walking a
// tree of 100,000 entries (mdir -/ -a, fls -r), reading a 200 MiB file
// (mcopy), reading every file of the 10,000-file folder (mcopy -s), and
// writing a 500 MB file into a volume and reading it back into a host file
// (mcopy both ways). The engine's side runs in this process (the file system set up
// afresh for every iteration) and as the kwfs tool, a process like the tools.
// The volumes are built once and kept in /tmp (KW_BENCH_FAT_DIR) between runs.
#include "bench/fat/fat_bench_support.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kwbench::At;
using kwbench::Dir;
using kwbench::Engine;
using kwbench::kStart;
using kwbench::Must;

// A disk image with one FAT32 partition at kStart filled from a host tree.
std::string Build(const std::string& name, uint32_t mib, int spc, void (*fill)(const fs::path&)) {
    std::string image = Dir() + "/" + name + ".img";
    if (fs::exists(image))
        return image;
    fs::create_directories(Dir());
    fs::path tree = Dir() + "/" + name + ".tree";
    fs::remove_all(tree);
    fs::create_directories(tree);
    fill(tree);
    std::string tmp = image + ".tmp";
    kwbench::NewFat32Image(tmp, mib, spc);
    Must("MTOOLS_SKIP_CHECK=1 mcopy -s -i '" + tmp + "'@@" + std::to_string(kStart * 512) + " '" +
         tree.string() + "'/* ::");
    fs::remove_all(tree);
    fs::rename(tmp, image);
    return image;
}

void FillFolder(const fs::path& tree) {
    fs::create_directories(tree / "Big");
    for (int i = 0; i < 10000; ++i)
        std::ofstream(tree / "Big" / ("F" + std::to_string(100000 + i) + ".TXT")) << i;
}

void FillTree(const fs::path& tree) {
    for (int d = 0; d < 100; ++d) {
        fs::path folder = tree / ("D" + std::to_string(1000 + d));
        fs::create_directories(folder);
        for (int i = 0; i < 999; ++i)
            std::ofstream(folder / ("F" + std::to_string(10000 + i) + ".TXT")) << i;
    }
}

void FillBigFile(const fs::path& tree) {
    std::ofstream out(tree / "BIG.BIN", std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (int i = 0; i < 200; ++i) {
        std::memset(chunk.data(), i, chunk.size());
        out.write(chunk.data(), chunk.size());
    }
}

uint64_t Walk(FILESYSTEM* fs, const std::string& path, int depth) {
    DIRLIST list;
    list.SetWantTimes(true);
    if (depth > 64 || fs->ListDirectory(&list, path.c_str(), LIST_LONG_NAMES) != KW_OK)
        std::abort();
    uint64_t n = 0;
    for (uint32_t i = 0; i < list.GetCount(); ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        if (e->name[0] == '.')
            continue;
        ++n;
        if (e->attributes & DIR_ATTR_DIRECTORY)
            n += Walk(fs, (path == "\\" ? "\\" : path + "\\") + e->name, depth + 1);
    }
    return n;
}

void EngineList(benchmark::State& state, const std::string& image, const char* folder) {
    Engine engine(image);
    uint64_t entries = 0, fatBytes = 0;
    for (auto _ : state) {
        FILESYSTEM* fs = nullptr;
        if (OpenFileSystem(engine.pi, &fs, FS_OPEN_SHARED, 0) != KW_OK || fs->Init() != KW_OK)
            std::abort();
        entries = Walk(fs, folder, std::strcmp(folder, "\\") == 0 ? 0 : 64);
        fatBytes = static_cast<FAT_FILESYSTEM*>(fs)->GetFat()->BytesHeld();
        CloseFileSystem(&fs);
    }
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["fat_bytes_held"] = static_cast<double>(fatBytes);
}

void Tool(benchmark::State& state, const std::string& command) {
    for (auto _ : state)
        Must(command + " >/dev/null 2>&1");
}

std::string Mtools(const std::string&) {
    return kwbench::Mtools();
}

std::string Kwfs() {
    return KW_KWFS_PATH;
}

void BM_ListFolder10k_Engine(benchmark::State& s) {
    EngineList(s, Build("folder", 64, 1, FillFolder), "\\Big");
}
void BM_ListFolder10k_Mdir(benchmark::State& s) {
    std::string image = Build("folder", 64, 1, FillFolder);
    Tool(s, Mtools(image) + "mdir -a " + At(image) + " ::Big");
}
void BM_ListFolder10k_Fls(benchmark::State& s) {
    std::string image = Build("folder", 64, 1, FillFolder);
    std::string inode = "$(ifind -o " + std::to_string(kStart) + " -n Big '" + image + "')";
    Tool(s, "fls -o " + std::to_string(kStart) + " '" + image + "' " + inode);
}

void BM_WalkTree100k_Engine(benchmark::State& s) {
    EngineList(s, Build("tree", 256, 1, FillTree), "\\");
}
void BM_WalkTree100k_Kwfs(benchmark::State& s) {
    std::string image = Build("tree", 256, 1, FillTree);
    Tool(s, Kwfs() + " ls 'disk:" + image + ":1'");
}
void BM_WalkTree100k_Mdir(benchmark::State& s) {
    std::string image = Build("tree", 256, 1, FillTree);
    Tool(s, Mtools(image) + "mdir -/ -a " + At(image) + " ::");
}
void BM_WalkTree100k_Fls(benchmark::State& s) {
    std::string image = Build("tree", 256, 1, FillTree);
    Tool(s, "fls -r -o " + std::to_string(kStart) + " '" + image + "'");
}

void BM_Read200MiB_Engine(benchmark::State& s) {
    Engine engine(Build("bigfile", 300, 8, FillBigFile));
    std::vector<uint8_t> buffer(1 << 20);
    for (auto _ : s) {
        FILE_BASE* f = nullptr;
        if (kwFileOpen(&f, "\\BIG.BIN", FILE_MODE_READ, engine.pi, nullptr, 0) != KW_OK)
            std::abort();
        uint32_t done = 0;
        while (kwFileRead(f, buffer.data(), 1 << 20, &done) == KW_OK && done > 0) {
        }
        kwFileClose(f, 0, nullptr);
    }
    s.SetBytesProcessed(int64_t{s.iterations()} * (200 << 20));
}
void BM_Read200MiB_Kwfs(benchmark::State& s) {
    std::string image = Build("bigfile", 300, 8, FillBigFile);
    Tool(s, Kwfs() + " cat 'disk:" + image + ":1' BIG.BIN");
    s.SetBytesProcessed(int64_t{s.iterations()} * (200 << 20));
}
void BM_Read200MiB_Mcopy(benchmark::State& s) {
    std::string image = Build("bigfile", 300, 8, FillBigFile);
    Tool(s, Mtools(image) + "mcopy -n " + At(image) + " ::BIG.BIN /dev/stdout");
    s.SetBytesProcessed(int64_t{s.iterations()} * (200 << 20));
}

// Every file of the folder read: kwfs hashes each one, mcopy -s copies the
// folder out.
void BM_ReadFolder10k_Kwfs(benchmark::State& s) {
    std::string image = Build("folder", 64, 1, FillFolder);
    Tool(s, Kwfs() + " ls --hash 'disk:" + image + ":1'");
}
void BM_ReadFolder10k_Mcopy(benchmark::State& s) {
    std::string image = Build("folder", 64, 1, FillFolder);
    std::string out = Dir() + "/folder.out";
    Tool(s, "rm -rf '" + out + "' && mkdir '" + out + "' && " + Mtools(image) + "mcopy -s -n " +
                At(image) + " ::Big '" + out + "'");
}

// 500 MB (500 x 10^6 bytes) of host file into an empty 600 MiB volume, the
// file replaced each time; then read back into a host file.
constexpr uint64_t kBigBytes = 500000000;

std::string BigHostFile() {
    std::string file = Dir() + "/put500.bin";
    if (!fs::exists(file) || fs::file_size(file) != kBigBytes) {
        fs::create_directories(Dir());
        Must("head -c " + std::to_string(kBigBytes) + " /dev/urandom > '" + file + "'");
    }
    return file;
}

void OneSmallFile(const fs::path& tree) {
    std::ofstream(tree / "README.TXT") << "room for a 500 MB file\n";
}

void BM_Write500MB_Kwfs(benchmark::State& s) {
    std::string image = Build("write", 600, 8, OneSmallFile), from = BigHostFile();
    Tool(s, Kwfs() + " put 'disk:" + image + ":1' PUT.BIN < '" + from + "'");
    s.SetBytesProcessed(int64_t(s.iterations() * kBigBytes));
}
void BM_Write500MB_Mcopy(benchmark::State& s) {
    std::string image = Build("write", 600, 8, OneSmallFile), from = BigHostFile();
    Tool(s, Mtools(image) + "mcopy -o -n " + At(image) + " '" + from + "' ::PUT.BIN");
    s.SetBytesProcessed(int64_t(s.iterations() * kBigBytes));
}
// The same made durable as kwfs makes it (the file flushed to the device
// before success is reported).
void BM_Write500MB_McopySynced(benchmark::State& s) {
    std::string image = Build("write", 600, 8, OneSmallFile), from = BigHostFile();
    Tool(s, Mtools(image) + "mcopy -o -n " + At(image) + " '" + from + "' ::PUT.BIN && sync '" +
                image + "'");
    s.SetBytesProcessed(int64_t(s.iterations() * kBigBytes));
}
void BM_Read500MB_Kwfs(benchmark::State& s) {
    std::string image = Build("write", 600, 8, OneSmallFile), out = Dir() + "/read500.out";
    Tool(s, "(" + Kwfs() + " cat 'disk:" + image + ":1' PUT.BIN > '" + out + "')");
    s.SetBytesProcessed(int64_t(s.iterations() * kBigBytes));
}
void BM_Read500MB_Mcopy(benchmark::State& s) {
    std::string image = Build("write", 600, 8, OneSmallFile), out = Dir() + "/read500.out";
    Tool(s, "(" + Mtools(image) + "mcopy -o -n " + At(image) + " ::PUT.BIN '" + out + "')");
    s.SetBytesProcessed(int64_t(s.iterations() * kBigBytes));
}

BENCHMARK(BM_ListFolder10k_Engine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ListFolder10k_Mdir)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ListFolder10k_Fls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WalkTree100k_Engine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WalkTree100k_Kwfs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WalkTree100k_Mdir)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WalkTree100k_Fls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read200MiB_Engine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read200MiB_Kwfs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read200MiB_Mcopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadFolder10k_Kwfs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ReadFolder10k_Mcopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Write500MB_Kwfs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Write500MB_Mcopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Write500MB_McopySynced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Read500MB_Kwfs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Read500MB_Mcopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
