// Storing a FAT partition filled with a mix of files as a part (low and high
// compression) beside zlib's deflate at levels 1 and 6 of the same raw bytes,
// and verifying the image beside reading its data back. Memory is the peak
// resident size while each benchmark runs.
//
// KW_BENCH_MIB sets the partition's size (default 1024).
#include "bench/partstore/part_setup.h"
#include "kwvaults.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kBlockBytes = kSectorBytes * kSectorsPerBlock;
constexpr uint32_t kPieceBlocks = 256; // 1 MiB read and written at a time

// Peak resident size since the last reset, in MiB.
double PeakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

void ResetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Fills a folder with files of several kinds: text, records, zeros, noise.
void WriteMixedFiles(const fs::path& dir, uint64_t total) {
    std::mt19937 rng(42);
    const char* words[] = {"partition", "image", "volume", "cluster", "sector", "the",
                           "of",        "and",   "data",   "file",    "table",  "boot"};
    uint64_t written = 0;
    for (int n = 0; written < total; ++n) {
        const size_t size = 64 * 1024 + rng() % (4 * 1024 * 1024);
        std::string bytes(size, '\0');
        switch (n % 4) {
        case 0: // text
            for (size_t i = 0; i < size;) {
                const char* w = words[rng() % 12];
                for (; *w && i < size; ++w) {
                    bytes[i++] = *w;
                }
                if (i < size) {
                    bytes[i++] = rng() % 9 == 0 ? '\n' : ' ';
                }
            }
            break;
        case 1: // records with counters
            for (size_t i = 0; i < size; ++i) {
                bytes[i] = char(i % 64 < 8 ? (i / 64) >> (8 * (i % 4)) : i % 64);
            }
            break;
        case 2: // mostly zeros
            for (size_t i = 0; i < size; i += 97) {
                bytes[i] = char(rng());
            }
            break;
        default: // noise, as in already compressed files
            for (auto& c : bytes) {
                c = char(rng());
            }
        }
        std::ofstream(dir / ("F" + std::to_string(n) + ".BIN"), std::ios::binary)
            .write(bytes.data(), std::streamsize(size));
        written += size;
    }
}

// The shared fixture: a FAT partition file and the images made from it.
struct Fixture {
    fs::path dir;
    std::string raw;
    uint64_t rawBytes = 0;
    std::vector<uint8_t> bitmap;
    uint32_t blocks = 0;
    uint32_t used = 0;

    Fixture() {
        const char* mibText = std::getenv("KW_BENCH_MIB");
        const uint64_t mib = mibText != nullptr ? std::strtoull(mibText, nullptr, 10) : 1024;
        char pattern[] = "/tmp/kwbench-XXXXXX";
        dir = mkdtemp(pattern);
        raw = (dir / "fat.raw").string();
        fs::create_directory(dir / "files");
        WriteMixedFiles(dir / "files", mib * 1024 * 1024 * 85 / 100);
        const std::string cmd = "mkfs.fat -F 32 -C " + raw + " " + std::to_string(mib * 1024) +
                                " >/dev/null && mcopy -s -i " + raw + " " +
                                (dir / "files").string() + " ::/ && rm -rf " +
                                (dir / "files").string();
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "cannot make the FAT partition\n");
            std::exit(1);
        }
        rawBytes = fs::file_size(raw);
        blocks = uint32_t(rawBytes / kBlockBytes);
        MarkUsedBlocks();
    }
    ~Fixture() { fs::remove_all(dir); }

    // A block is stored when it holds a non-zero byte.
    void MarkUsedBlocks() {
        bitmap.assign((blocks + 7) / 8, 0);
        std::vector<uint8_t> block(kBlockBytes);
        const int fd = open(raw.c_str(), O_RDONLY);
        for (uint32_t b = 0; b < blocks; ++b) {
            (void)!pread(fd, block.data(), kBlockBytes, off_t(b) * kBlockBytes);
            for (const uint8_t byte : block) {
                if (byte != 0) {
                    bitmap[b / 8] |= uint8_t(1u << (b % 8));
                    ++used;
                    break;
                }
            }
        }
        close(fd);
    }
    bool Used(uint32_t b) const { return bitmap[b / 8] >> (b % 8) & 1; }

    std::string Image(uint32_t flags) const {
        return (dir / ("part" + std::to_string(flags) + ".kwi")).string();
    }

    uint64_t ImageBytes(uint32_t flags) const {
        uint64_t total = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().stem() == "part" + std::to_string(flags)) {
                total += entry.file_size();
            }
        }
        return total;
    }

    // Stores the partition as one part, reading it a piece at a time.
    int32_t Store(uint32_t flags) const {
        int32_t error = 0;
        PartStoreDelete(Image(flags).c_str(), nullptr);
        PART_STORE* store =
            PartStoreCreateNew(Image(flags).c_str(), nullptr, 0, 0, flags, nullptr, &error);
        if (store == nullptr) {
            return error;
        }
        error = BeginPart(store, kSectorBytes, kSectorsPerBlock, blocks, used, bitmap);
        error = error != 0 ? error : WriteUsedBlocks(store);
        const int32_t committed = store->Commit();
        store->Release();
        return error != 0 ? error : committed;
    }

    int32_t WriteUsedBlocks(PART_STORE* store) const {
        std::vector<uint8_t> piece(size_t(kPieceBlocks) * kBlockBytes);
        const int fd = open(raw.c_str(), O_RDONLY);
        int32_t error = 0;
        for (uint32_t first = 0; first < blocks && error == 0; first += kPieceBlocks) {
            const uint32_t count = std::min(kPieceBlocks, blocks - first);
            (void)!pread(fd, piece.data(), size_t(count) * kBlockBytes, off_t(first) * kBlockBytes);
            for (uint32_t i = 0; i < count && error == 0; ++i) {
                if (Used(first + i)) {
                    error = store->Write(piece.data() + size_t(i) * kBlockBytes, kBlockBytes);
                }
            }
        }
        close(fd);
        return error;
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void StoreBench(benchmark::State& state) {
    Fixture& f = Shared();
    const auto flags = uint32_t(state.range(0));
    ResetPeakRss();
    for (auto _ : state) {
        if (const int32_t error = f.Store(flags); error != 0) {
            state.SkipWithError(("store failed: " + std::to_string(error)).c_str());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    state.counters["ratio"] = double(f.ImageBytes(flags)) / double(f.rawBytes);
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}

// deflate of the whole raw partition, streamed a piece at a time.
void ZlibBench(benchmark::State& state) {
    Fixture& f = Shared();
    const int level = int(state.range(0));
    std::vector<uint8_t> in(size_t(kPieceBlocks) * kBlockBytes);
    std::vector<uint8_t> out(in.size() + 1024);
    uint64_t produced = 0;
    ResetPeakRss();
    for (auto _ : state) {
        z_stream z{};
        deflateInit(&z, level);
        produced = 0;
        const int fd = open(f.raw.c_str(), O_RDONLY);
        for (uint64_t at = 0; at < f.rawBytes; at += in.size()) {
            const auto n = uint32_t(pread(fd, in.data(), in.size(), off_t(at)));
            z.next_in = in.data();
            z.avail_in = n;
            const int flush = at + n >= f.rawBytes ? Z_FINISH : Z_NO_FLUSH;
            do {
                z.next_out = out.data();
                z.avail_out = uInt(out.size());
                deflate(&z, flush);
                produced += out.size() - z.avail_out;
            } while (z.avail_out == 0);
        }
        close(fd);
        deflateEnd(&z);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    state.counters["ratio"] = double(produced) / double(f.rawBytes);
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}

void EnsureImage(benchmark::State& state, uint32_t flags) {
    Fixture& f = Shared();
    if (!fs::exists(f.Image(flags)) && f.Store(flags) != 0) {
        state.SkipWithError("store failed");
    }
}

void VerifyBench(benchmark::State& state) {
    Fixture& f = Shared();
    const auto flags = uint32_t(state.range(0));
    EnsureImage(state, flags);
    ResetPeakRss();
    for (auto _ : state) {
        if (const int32_t error = PartStoreVerify(f.Image(flags).c_str(), nullptr); error != 0) {
            state.SkipWithError(("verify failed: " + std::to_string(error)).c_str());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}

// Reading the part's data back: decompressing the image alone.
void ReadBackBench(benchmark::State& state) {
    Fixture& f = Shared();
    const auto flags = uint32_t(state.range(0));
    EnsureImage(state, flags);
    std::vector<uint8_t> buffer(size_t(kPieceBlocks) * kBlockBytes);
    ResetPeakRss();
    for (auto _ : state) {
        int32_t error = 0;
        PART_STORE* store = PartStoreOpenReadOnly(f.Image(flags).c_str(), nullptr, &error);
        uint64_t length = 0;
        uint32_t got = 0;
        if (store == nullptr || store->SelectPart(0) != 0 || store->OpenUdata(&length) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        for (uint64_t done = 0; done < length; done += got) {
            if (store->Read(buffer.data(), uint32_t(buffer.size()), &got) != 0 || got == 0) {
                state.SkipWithError("read failed");
                break;
            }
        }
        store->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * f.rawBytes));
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}

} // namespace

BENCHMARK(StoreBench)
    ->Name("store/low")
    ->Arg(KW_CREATE_LOW_COMPRESSION)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ZlibBench)->Name("zlib/level1")->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(StoreBench)
    ->Name("store/high")
    ->Arg(KW_CREATE_HIGH_COMPRESSION)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ZlibBench)->Name("zlib/level6")->Arg(6)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(VerifyBench)
    ->Name("verify/low")
    ->Arg(KW_CREATE_LOW_COMPRESSION)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadBackBench)
    ->Name("readback/low")
    ->Arg(KW_CREATE_LOW_COMPRESSION)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(VerifyBench)
    ->Name("verify/high")
    ->Arg(KW_CREATE_HIGH_COMPRESSION)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadBackBench)
    ->Name("readback/high")
    ->Arg(KW_CREATE_HIGH_COMPRESSION)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
