// Reading a partition of an older-format image through IMAGE_STORE, stored
// and in each compression code, against zlib inflating the same data in one
// call (the peer). The image is written at start by the tests' writer from 16
// MiB of text, noise and zeros.
#include "imagestore/legacy/image_store_reader.h"
#include "tests/imagestore/legacy/legacy_writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kw::legacy;
using namespace kw::legacy::testing;

constexpr size_t kSize = 16 << 20;

const std::vector<uint8_t>& Corpus() {
    static const std::vector<uint8_t> data = [] {
        static const char* words[] = {"partition ", "image ", "sector ", "volume ", "table\n",
                                      "cluster ",   "file ",  "the ",    "of "};
        std::vector<uint8_t> d;
        std::mt19937 rng(5);
        while (d.size() < kSize) {
            size_t kind = (d.size() / 65536) % 4;
            for (size_t i = 0; i < 65536; ++i) {
                if (kind == 0 || kind == 1) {
                    const char* w = words[rng() % 9];
                    while (*w && i < 65536)
                        d.push_back(uint8_t(*w++)), ++i;
                    --i;
                } else {
                    d.push_back(kind == 2 ? uint8_t(rng()) : 0);
                }
            }
        }
        d.resize(kSize);
        return d;
    }();
    return data;
}

// The folder of the images, made on first use and removed by main.
const std::string& Folder() {
    static const std::string dir = [] {
        std::string t = (std::filesystem::temp_directory_path() / "kwbench-legacy-XXXXXX").string();
        return std::string(mkdtemp(t.data()));
    }();
    return dir;
}

std::string ImageFor(uint32_t code) {
    std::string path = Folder() + "/code" + std::to_string(code) + ".kwi";
    if (!std::filesystem::exists(path)) {
        LegacyPartition p;
        p.data = Corpus();
        p.bitmap.assign(kSize / 4096 / 8, 0xFF);
        p.code = code;
        p.sectorsPerBlock = 8;
        p.blockCount = p.usedBlocks = p.totalSectors = kSize / 4096;
        writeLegacyImage(path, LegacyImage{}, {p});
    }
    return path;
}

void BM_ReadPartition(benchmark::State& state) {
    uint32_t code = uint32_t(state.range(0));
    std::string path = ImageFor(code);
    std::vector<uint8_t> buf(65536);
    for (auto _ : state) {
        auto* s = new IMAGE_STORE_READER(path, nullptr);
        if (s->Open() != 0 || s->SelectPartition(1) != 0) {
            state.SkipWithError("cannot open the image");
            s->Release();
            break;
        }
        uint32_t got = 0;
        size_t total = 0;
        while (s->ReadData(buf.data(), uint32_t(buf.size()), &got) == 0 && got != 0)
            total += got;
        s->Release();
        if (total != kSize)
            state.SkipWithError("short read");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
    state.counters["stored_ratio"] = double(std::filesystem::file_size(path)) / double(kSize);
}
BENCHMARK(BM_ReadPartition)
    ->Arg(0)
    ->Arg(1)
    ->Arg(100)
    ->Arg(300)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond);

// The peer: zlib inflating the whole stream into one buffer.
void BM_ZlibUncompress(benchmark::State& state) {
    const std::vector<uint8_t>& data = Corpus();
    uLongf size = compressBound(kSize);
    std::vector<uint8_t> packed(size);
    compress2(packed.data(), &size, data.data(), kSize, 6);
    std::vector<uint8_t> out(kSize);
    for (auto _ : state) {
        uLongf n = kSize;
        uncompress(out.data(), &n, packed.data(), size);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    return 0;
}
