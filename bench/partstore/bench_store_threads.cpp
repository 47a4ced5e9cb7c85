// The image store on one thread and on every core, beside pigz, gzip and
// zstd run as processes over the same bytes in the same run: copying a
// generated partition of mixed content (text, binaries, compressed files,
// zeros) into an image with high and with low compression, restoring it
// (reading every block) and verifying it. Counters: the image's size against
// the partition's, the space the per-segment short chunks cost against one
// stream of chunks, and the growth of the peak resident size during the run.
//
// KW_BENCH_MIB sets the partition's size (default 256); KW_BENCH_THREADS the
// thread count of the parallel runs (default: every core); KW_BENCH_RAW keeps
// the generated partition in a file for later runs. A peer that is not
// installed is skipped.
#include "bench/partstore/part_setup.h"
#include "imagestore/container/worker_pool.h"
#include "imagestore/container/write_behind.h"
#include "imagestore/partstore/part_store_api.h"
#include "kwvaults.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kBlockBytes = kSectorBytes * kSectorsPerBlock;
constexpr size_t kPiece = 1 << 20; // read and written at a time

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

uint32_t ManyThreads() {
    return uint32_t(
        EnvNumber("KW_BENCH_THREADS", std::max(1u, std::thread::hardware_concurrency())));
}

// KW_BENCH_SEGMENT_CHUNKS: another segment size than the library's, in
// chunks' room (0: the library's).
uint32_t SegmentSetting() {
    return uint32_t(EnvNumber("KW_BENCH_SEGMENT_CHUNKS", 0));
}

// A /proc/self/status figure in KiB.
double StatusKib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stod(line.substr(std::string(key).size()));
        }
    }
    return 0;
}

// Measures how far the peak resident size rises above the size at the start.
class PeakGrowth {
public:
    PeakGrowth() {
        std::ofstream("/proc/self/clear_refs") << "5";
        base_ = StatusKib("VmRSS:");
    }
    double MiB() const { return (StatusKib("VmHWM:") - base_) / 1024.0; }

private:
    double base_ = 0;
};

// Text of words and lines.
void FillText(std::mt19937& rng, uint8_t* out, size_t n) {
    static const char* words[] = {"partition", "image", "volume", "cluster", "sector", "the",
                                  "of",        "and",   "data",   "file",    "table",  "boot",
                                  "copy",      "disk",  "chunk",  "stream",  "record", "block"};
    for (size_t i = 0; i < n;) {
        for (const char* w = words[rng() % 18]; *w && i < n; ++w) {
            out[i++] = uint8_t(*w);
        }
        if (i < n) {
            out[i++] = rng() % 11 == 0 ? '\n' : ' ';
        }
    }
}

// Program files of this machine, concatenated, as a source of binaries.
const std::vector<uint8_t>& Binaries() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> all;
        for (const char* dir : {"/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(dir, ec)) {
                if (all.size() >= (64u << 20)) {
                    break;
                }
                if (e.is_regular_file(ec) && e.file_size(ec) > 65536) {
                    std::ifstream in(e.path(), std::ios::binary);
                    all.insert(all.end(), std::istreambuf_iterator<char>(in), {});
                }
            }
        }
        return all;
    }();
    return bytes;
}

// Deflated text and binaries: data that no longer compresses.
void FillCompressed(std::mt19937& rng, uint8_t* out, size_t n) {
    std::vector<uint8_t> plain(n * 2);
    FillText(rng, plain.data(), n);
    const auto& bin = Binaries();
    for (size_t i = n; i < plain.size() && !bin.empty(); ++i) {
        plain[i] = bin[(rng() % bin.size() + i) % bin.size()];
    }
    uLongf size = compressBound(uLong(plain.size()));
    std::vector<uint8_t> packed(size);
    compress2(packed.data(), &size, plain.data(), uLong(plain.size()), 1);
    for (size_t i = 0; i < n; ++i) {
        out[i] = i < size ? packed[i] : uint8_t(rng());
    }
}

// The partition: extents of 64 KiB to 4 MiB of text (30 %), binaries
// (30 %), compressed data (25 %) and zeros (15 %), in a fixed random order.
void WritePartition(const std::string& path, uint64_t bytes) {
    std::mt19937 rng(20261211);
    std::ofstream out(path, std::ios::binary);
    std::vector<uint8_t> extent;
    const auto& bin = Binaries();
    for (uint64_t done = 0; done < bytes;) {
        const size_t n = size_t(std::min<uint64_t>(65536 + rng() % (4u << 20), bytes - done));
        extent.assign(n, 0);
        const uint32_t kind = rng() % 100;
        if (kind < 30) {
            FillText(rng, extent.data(), n);
        } else if (kind < 60 && !bin.empty()) {
            const size_t from = rng() % bin.size();
            for (size_t i = 0; i < n; ++i) {
                extent[i] = bin[(from + i) % bin.size()];
            }
        } else if (kind < 85) {
            FillCompressed(rng, extent.data(), n);
        }
        out.write(reinterpret_cast<const char*>(extent.data()), std::streamsize(n));
        done += n;
    }
}

// The partition file, the images made from it and the peers' outputs.
struct Fixture {
    fs::path dir;
    std::string raw;
    uint64_t rawBytes = 0;
    uint32_t blocks = 0;
    std::vector<uint8_t> bitmap;
    std::map<std::string, uint64_t> sizes; // of images and peer outputs, by name

    Fixture() {
        char pattern[] = "/tmp/kwbench-threads-XXXXXX";
        dir = mkdtemp(pattern);
        raw = (dir / "part.raw").string();
        // KW_BENCH_RAW: a partition file kept from an earlier run (made when
        // missing), so that profiles of one case need not generate it again.
        const char* kept = std::getenv("KW_BENCH_RAW");
        const std::string source = kept != nullptr && *kept != 0 ? kept : raw;
        const uint64_t want = EnvNumber("KW_BENCH_MIB", 256) << 20;
        std::error_code ec;
        if (fs::file_size(source, ec) != want) {
            WritePartition(source, want);
        }
        if (source != raw) {
            fs::copy_file(source, raw);
        }
        rawBytes = fs::file_size(raw);
        blocks = uint32_t(rawBytes / kBlockBytes);
        bitmap.assign((blocks + 7) / 8, 0xFF); // every block is stored
    }
    ~Fixture() { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    uint64_t SetBytes(const std::string& name) const {
        uint64_t total = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().stem() == name) {
                total += e.file_size();
            }
        }
        return total;
    }

    int32_t Store(const std::string& name, uint32_t flags) const {
        const std::string image = Path(name + ".kwi");
        kw::partstore::DeleteImageSet(image.c_str(), nullptr);
        int32_t error = 0;
        PART_STORE* store =
            kw::partstore::CreateImage(image.c_str(), nullptr, 0, flags, nullptr, error);
        if (store == nullptr) {
            return error;
        }
        error = BeginPart(store, kSectorBytes, kSectorsPerBlock, blocks, blocks, bitmap);
        std::vector<uint8_t> piece(kPiece);
        const int fd = open(raw.c_str(), O_RDONLY);
        if (fd < 0 && error == 0) {
            error = -3; // the partition could not be read: no timing of zeros
        }
        for (uint64_t at = 0; at < uint64_t(blocks) * kBlockBytes && error == 0; at += kPiece) {
            const auto n = size_t(std::min<uint64_t>(kPiece, uint64_t(blocks) * kBlockBytes - at));
            if (pread(fd, piece.data(), n, off_t(at)) != ssize_t(n)) {
                error = -3;
            }
            for (size_t b = 0; b < n && error == 0; b += kBlockBytes) {
                error = store->Write(piece.data() + b, kBlockBytes);
            }
        }
        if (fd >= 0) {
            close(fd);
        }
        const int32_t committed = store->Commit();
        store->Release();
        return error != 0 ? error : committed;
    }

    int32_t Restore(const std::string& name) const {
        int32_t error = 0;
        PART_STORE* store =
            kw::partstore::OpenForReading(Path(name + ".kwi").c_str(), nullptr, error);
        uint64_t length = 0;
        if (store == nullptr) {
            return error;
        }
        if (store->SelectPart(0) != 0 || store->OpenUdata(&length) != 0) {
            store->Release();
            return -1;
        }
        std::vector<uint8_t> piece(kPiece);
        uint32_t got = 0;
        for (uint64_t done = 0; done < length && error == 0; done += got) {
            error = store->Read(piece.data(), uint32_t(piece.size()), &got);
            error = error == 0 && got == 0 ? -2 : error;
        }
        store->Release();
        return error;
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

const char* Codec(uint32_t flags) {
    return flags == KW_CREATE_HIGH_COMPRESSION ? "high" : "low";
}

// range(0): create flags; range(1): threads, 0 for one thread writing one
// stream of chunks (no segments: the reference for the short chunks' cost).
void Store(benchmark::State& state) {
    Fixture& f = Shared();
    const auto flags = uint32_t(state.range(0));
    const auto threads = uint32_t(state.range(1));
    kwv::SetStoreThreads(threads == 0 ? 1 : threads);
    kwv::SetSegmentChunksForTests(threads == 0 ? kwv::kOneStreamSegmentChunks : SegmentSetting());
    const std::string name = std::string(Codec(flags)) + std::to_string(threads);
    PeakGrowth peak;
    for (auto _ : state) {
        if (const int32_t error = f.Store(name, flags); error != 0) {
            state.SkipWithError(("store failed: " + std::to_string(error)).c_str());
        }
    }
    state.counters["peak_MiB"] = peak.MiB();
    kwv::SetStoreThreads(0);
    kwv::SetSegmentChunksForTests(SegmentSetting());
    const uint64_t size = f.SetBytes(name);
    f.sizes[name] = size;
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    state.counters["ratio"] = double(size) / double(f.rawBytes);
    const auto single = f.sizes.find(std::string(Codec(flags)) + "0");
    if (threads != 0 && single != f.sizes.end()) {
        state.counters["short_chunks_pct"] =
            100.0 * (double(size) - double(single->second)) / double(single->second);
    }
}

// range(0): create flags of the image; range(1): threads; range(2): 1 to
// verify every chunk, 0 to restore every block.
void Read(benchmark::State& state) {
    Fixture& f = Shared();
    const auto flags = uint32_t(state.range(0));
    const std::string name = std::string(Codec(flags)) + std::to_string(ManyThreads());
    if (!fs::exists(f.Path(name + ".kwi")) && f.Store(name, flags) != 0) {
        state.SkipWithError("store failed");
        return;
    }
    kwv::SetStoreThreads(uint32_t(state.range(1)));
    PeakGrowth peak;
    for (auto _ : state) {
        bool opened = false;
        const int32_t error =
            state.range(2) != 0
                ? kw::partstore::VerifyImageData(f.Path(name + ".kwi").c_str(), nullptr, opened)
                : f.Restore(name);
        if (error != 0) {
            state.SkipWithError(("read failed: " + std::to_string(error)).c_str());
        }
    }
    state.counters["peak_MiB"] = peak.MiB();
    kwv::SetStoreThreads(0);
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
}

bool Installed(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A peer as a process: `tool args`, reading `in` (the partition when empty)
// and writing `out` (nothing kept when empty).
void Peer(benchmark::State& state, const std::string& tool, const std::string& args,
          const std::string& in, const std::string& out, bool durable = false) {
    Fixture& f = Shared();
    if (!Installed(tool)) {
        state.SkipWithError((tool + " is not installed").c_str());
        return;
    }
    const std::string source = in.empty() ? f.raw : f.Path(in);
    if (!fs::exists(source)) {
        state.SkipWithError((in + " was not made").c_str());
        return;
    }
    const std::string target = out.empty() ? "/dev/null" : f.Path(out);
    std::string cmd = tool + " " + args + " <" + source + " >" + target;
    if (durable) {
        cmd += " && sync " + target; // on disk, as a committed image is
    }
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError((cmd + " failed").c_str());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    if (!out.empty()) {
        state.counters["ratio"] = double(fs::file_size(target)) / double(f.rawBytes);
    }
}

void Register() {
    const int64_t many = ManyThreads();
    const auto once = [](benchmark::internal::Benchmark* b) {
        b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
    };
    for (const int64_t flags : {KW_CREATE_HIGH_COMPRESSION, KW_CREATE_LOW_COMPRESSION}) {
        const std::string codec = Codec(uint32_t(flags));
        for (const int64_t threads : {int64_t(0), int64_t(1), many}) {
            const std::string label = threads == 0 ? "one_stream" : std::to_string(threads);
            once(benchmark::RegisterBenchmark(("store/" + codec + "/threads:" + label).c_str(),
                                              Store)
                     ->Args({flags, threads}));
        }
    }
    // A committed image is flushed to the disk (fdatasync) before the store
    // returns; the peers are measured as they are and with their output
    // synced to the disk the same way.
    struct Writer {
        const char* peer;
        std::string out;
        bool durable;
    };
    const Writer writers[] = {{"pigz -6", "pigz.gz", false},  {"pigz -6", "pigz6s.gz", true},
                              {"pigz -1", "pigz1.gz", false}, {"pigz -1", "pigz1s.gz", true},
                              {"gzip -6", "gzip.gz", false},  {"zstd -3", "zstd.zst", false},
                              {"zstd -3", "zstds.zst", true}};
    for (const auto& [peer, out, durable] : writers) {
        const std::string tool = std::string(peer).substr(0, 4);
        const std::string args = std::string(peer).substr(5) + " -c";
        const std::string file = out;
        const bool synced = durable;
        benchmark::RegisterBenchmark(
            ("peer/" + std::string(peer) + (durable ? " + sync" : "")).c_str(),
            [tool, args, file, synced](benchmark::State& s) {
                Peer(s, tool, args, "", file, synced);
            })
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (const int64_t flags : {KW_CREATE_HIGH_COMPRESSION, KW_CREATE_LOW_COMPRESSION}) {
        for (const int64_t verify : {0, 1}) {
            for (const int64_t threads : {int64_t(1), many}) {
                const std::string name = std::string(verify ? "verify/" : "restore/") +
                                         Codec(uint32_t(flags)) +
                                         "/threads:" + std::to_string(threads);
                once(benchmark::RegisterBenchmark(name.c_str(), Read)
                         ->Args({flags, threads, verify}));
            }
        }
    }
    benchmark::RegisterBenchmark(
        "peer/unpigz", [](benchmark::State& s) { Peer(s, "unpigz", "-c", "pigz.gz", ""); })
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("peer/pigz -t",
                                 [](benchmark::State& s) { Peer(s, "pigz", "-t", "pigz.gz", ""); })
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kwv::SetSegmentChunksForTests(SegmentSetting());
    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
