// Writing into an NTFS volume image: one 1 GiB file put through kwfs (the
// engine's file object, a process like the tools) beside ntfscp on the same
// image in the same run. Each iteration starts from the same volume, which
// holds the target file already (kwfs put replaces its bytes). The volume and
// the host file are built once and kept in /tmp (KW_BENCH_NTFS_DIR).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kFileBytes = uint64_t{1} << 30;

std::string Dir() {
    const char* d = std::getenv("KW_BENCH_NTFS_DIR");
    return d != nullptr ? d : "/tmp/kw-bench-ntfs";
}

void Must(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

// The host file to put: 1 GiB of bytes that do not repeat within a cluster.
std::string HostFile() {
    std::string path = Dir() + "/one-gib.bin";
    if (fs::exists(path) && fs::file_size(path) == kFileBytes)
        return path;
    fs::create_directories(Dir());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    uint32_t x = 1;
    for (uint64_t done = 0; done < kFileBytes; done += block.size()) {
        for (char& c : block) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return path;
}

// A 1.5 GiB volume of 4 KiB clusters holding an empty "target.bin".
std::string Pristine() {
    std::string image = Dir() + "/pristine.img";
    if (fs::exists(image))
        return image;
    fs::create_directories(Dir());
    std::string tmp = image + ".tmp";
    Must("truncate -s 1536M '" + tmp + "'");
    Must("mkntfs -F -Q -q -c 4096 '" + tmp + "' >/dev/null");
    Must("touch '" + Dir() + "/empty' && ntfscp -q '" + tmp + "' '" + Dir() + "/empty' target.bin");
    fs::rename(tmp, image);
    return image;
}

// Runs the command on a fresh copy of the volume, timing the command only.
void PutWith(benchmark::State& state, const std::string& command) {
    const std::string host = HostFile(), pristine = Pristine();
    const std::string work = Dir() + "/work.img";
    for (auto _ : state) {
        state.PauseTiming();
        Must("cp --sparse=always '" + pristine + "' '" + work + "'");
        std::string line = command;
        for (auto [key, value] :
             {std::pair<std::string, std::string>{"IMG", work}, {"HOST", host}}) {
            for (size_t at; (at = line.find(key)) != std::string::npos;)
                line.replace(at, key.size(), value);
        }
        state.ResumeTiming();
        Must(line);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void BM_KwfsPutOneGiB(benchmark::State& state) {
    PutWith(state, std::string("'") + KW_KWFS_PATH + "' put part:IMG target.bin < HOST");
}

void BM_NtfscpOneGiB(benchmark::State& state) {
    PutWith(state, "ntfscp -q -f IMG HOST target.bin");
}

// ntfscp does not flush; kwfs makes the file durable before it reports
// success, so ntfscp followed by a sync of the image is the like for like.
void BM_NtfscpSyncedOneGiB(benchmark::State& state) {
    PutWith(state, "ntfscp -q -f IMG HOST target.bin && sync IMG");
}

} // namespace

BENCHMARK(BM_KwfsPutOneGiB)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_NtfscpOneGiB)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_NtfscpSyncedOneGiB)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

BENCHMARK_MAIN();
