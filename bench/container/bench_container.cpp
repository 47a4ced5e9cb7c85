// Throughput of the container against plain file I/O on the same disk, in the
// same run: writing a 1 GiB stream into a stored container against a plain
// write loop (each run ends when the file system has the data on disk), and reading it back with
// every chunk check against a plain read loop plus CRC-32 over the same bytes. Also reports the
// growth of the process's peak memory while the container runs, and the
// CRC-32 alone: zlib's against the container's.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace kwv;

namespace {

constexpr uint64_t kTotal = 1ull << 30;
constexpr size_t kPiece = 1 << 20;

// Mixed data: runs, text-like bytes and noise, one piece reused.
const std::vector<uint8_t>& Piece() {
    static const std::vector<uint8_t> piece = [] {
        std::vector<uint8_t> p(kPiece);
        uint32_t x = 12345;
        for (size_t i = 0; i < p.size(); ++i) {
            x = x * 1103515245u + 12345u;
            const size_t region = (i / 4096) % 3;
            p[i] = region == 0 ? 0 : region == 1 ? uint8_t('a' + i % 26) : uint8_t(x >> 16);
        }
        return p;
    }();
    return piece;
}

std::string Folder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kwbench-XXXXXX").string();
        return std::string(mkdtemp(pattern.data()));
    }();
    return folder;
}

// Heap bytes in use now, in KiB.
double HeapKib() {
    return double(mallinfo2().uordblks) / 1024.0;
}

// Puts everything written so far on the disk (the folder's file system).
void SyncDisk() {
    const int fd = ::open(Folder().c_str(), O_RDONLY | O_DIRECTORY);
    ::syncfs(fd);
    ::close(fd);
}

long PeakRssKib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void PlainWrite(benchmark::State& state) {
    const std::string path = Folder() + "/plain.bin";
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(path.c_str()); // as the container run deletes its set untimed
        state.ResumeTiming();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (uint64_t done = 0; done < kTotal; done += kPiece) {
            if (::write(fd, Piece().data(), kPiece) != ssize_t(kPiece)) {
                state.SkipWithError("write failed");
            }
        }
        ::close(fd);
        SyncDisk();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}

// state.range(0): the container options (payload CRCs or none).
void ContainerWrite(benchmark::State& state) {
    const std::string path = Folder() + "/set.kwi";
    const uint32_t options = uint32_t(state.range(0));
    const long before = PeakRssKib();
    const double heapBefore = HeapKib();
    double heap = 0;
    for (auto _ : state) {
        state.PauseTiming();
        DeleteContainerSet(path.c_str(), nullptr);
        state.ResumeTiming();
        int err = 0;
        StoreContainer* c = CreateContainer(path.c_str(), nullptr, 0, 0, options, nullptr, &err);
        StreamWriter* w = c->CreateStream("data", 0, 0, &err);
        for (uint64_t done = 0; done < kTotal; done += kPiece) {
            if (w->Write(done, Piece().data(), kPiece) != 0) {
                state.SkipWithError("container write failed");
            }
            if (done == kTotal / 2) {
                heap = HeapKib() - heapBefore;
            }
        }
        w->Release();
        c->Close();
        c->Release();
        SyncDisk();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
    state.counters["peak_rss_growth_kib"] = double(PeakRssKib() - before);
    state.counters["heap_held_kib"] = heap;
}

void PlainReadCrc(benchmark::State& state) {
    const std::string path = Folder() + "/plain.bin";
    std::vector<uint8_t> buffer(kPiece);
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY);
        uLong crc = crc32(0L, nullptr, 0);
        ssize_t n = 0;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
            crc = crc32(crc, buffer.data(), uInt(n));
        }
        ::close(fd);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}

void ContainerRead(benchmark::State& state) {
    const std::string path = Folder() + "/set.kwi";
    std::vector<uint8_t> buffer(kPiece);
    const long before = PeakRssKib();
    const double heapBefore = HeapKib();
    double heap = 0;
    for (auto _ : state) {
        int err = 0;
        StoreContainer* c = OpenContainerForRead(path.c_str(), nullptr, &err);
        StreamReader* r = c->OpenStream("data", &err);
        uint32_t got = 0;
        for (uint64_t done = 0; done < kTotal; done += kPiece) {
            if (r->Read(done, buffer.data(), kPiece, &got) != 0 || got != kPiece) {
                state.SkipWithError("container read failed");
            }
            if (done == kTotal / 2) {
                heap = HeapKib() - heapBefore;
            }
        }
        r->Release();
        c->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
    state.counters["peak_rss_growth_kib"] = double(PeakRssKib() - before);
    state.counters["heap_held_kib"] = heap;
}

// CRC-32 alone over 1 GiB in memory: zlib's crc32 (arg 0) against the
// container's folding CRC (arg 1).
void Crc32Only(benchmark::State& state) {
    const bool ours = state.range(0) != 0;
    for (auto _ : state) {
        uint32_t crc = 0;
        for (uint64_t done = 0; done < kTotal; done += kPiece) {
            crc ^= ours ? Crc32(Piece().data(), kPiece)
                        : uint32_t(crc32(0L, Piece().data(), uInt(kPiece)));
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}

} // namespace

BENCHMARK(Crc32Only)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(PlainWrite)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ContainerWrite)
    ->Arg(0)
    ->Arg(kOptPayloadCrc) // the set read back below
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(PlainReadCrc)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ContainerRead)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    return 0;
}
