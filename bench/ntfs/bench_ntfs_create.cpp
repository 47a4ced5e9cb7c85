// Creating small files in an NTFS volume image: KW_BENCH_FILES files
// (default 10,000) of a few bytes each put into the root of a fresh mkntfs
// volume, one process per file, by kwfs put beside ntfscp on the same kind of
// image in one run. kwfs makes each file durable before it reports success
// (the disk flushed between the dependent steps); ntfscp does not flush at
// all, so ntfscp followed by a sync of the image is measured too.
//
// The image lives in TMPDIR (default /tmp); on tmpfs the flushes cost
// nothing and the runs compare the work alone.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

void Must(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        std::abort();
}

std::string Dir() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/kw_bench_ntfs_create";
}

// The kwfs to measure: KW_BENCH_KWFS, else the one built beside this bench.
std::string Kwfs() {
    const char* path = std::getenv("KW_BENCH_KWFS");
    return path != nullptr ? path : KW_KWFS_PATH;
}

int FileCount() {
    const char* n = std::getenv("KW_BENCH_FILES");
    return n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 10000;
}

// A fresh 512 MiB volume with 4 KiB clusters and one file in its root.
std::string FreshVolume() {
    fs::create_directories(Dir());
    std::string image = Dir() + "/v.img", small = Dir() + "/small.txt";
    std::ofstream(small) << "a few bytes\n";
    Must("rm -f '" + image + "' && truncate -s 512M '" + image + "' && mkntfs -F -Q -q -c 4096 '" +
         image + "' >/dev/null 2>&1");
    Must(Kwfs() + " put 'part:" + image + "' keep.txt < '" + small + "'");
    return image;
}

// Runs `put` (a shell command with $i for the file's number) once per file,
// on a fresh volume each iteration.
void Puts(benchmark::State& state, const std::string& put) {
    const std::string small = Dir() + "/small.txt";
    for (auto _ : state) {
        state.PauseTiming();
        std::string image = FreshVolume();
        state.ResumeTiming();
        Must("IMG='" + image + "' SMALL='" + small + "' N=" + std::to_string(FileCount()) +
             " sh -c 'i=0; while [ $i -lt $N ]; do " + put + " || exit 1; i=$((i+1)); done'");
    }
    state.SetItemsProcessed(int64_t{state.iterations()} * FileCount());
}

void BM_Create10k_KwfsPut(benchmark::State& s) {
    Puts(s, Kwfs() + " put part:$IMG f$i.txt < $SMALL");
}
void BM_Create10k_Ntfscp(benchmark::State& s) {
    Puts(s, "ntfscp -f $IMG $SMALL f$i.txt >/dev/null 2>&1");
}
void BM_Create10k_NtfscpSynced(benchmark::State& s) {
    Puts(s, "ntfscp -f $IMG $SMALL f$i.txt >/dev/null 2>&1 && sync $IMG");
}

} // namespace

BENCHMARK(BM_Create10k_KwfsPut)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Create10k_Ntfscp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Create10k_NtfscpSynced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
