// Chunk codecs against zlib on one corpus: a FAT volume image filled with
// text, executables and already-compressed files (made with mkfs.fat and
// mcopy at start), followed by all-zero and random blocks. Every codec works
// chunk by chunk as the container does; ratios are printed as counters.
#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/error_correction.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kRoom = 0x20000 - 96;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const fs::path& path, size_t size, uint32_t seed) {
    static const char* words[] = {"partition ", "image ",  "the ",      "sector ",
                                  "of ",        "volume ", "table\n",   "cluster ",
                                  "and ",       "file ",   "directory "};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size) {
        text += words[rng() % 11];
    }
    std::ofstream(path, std::ios::binary) << text;
}

// Copies the first files of `from` matching a predicate into the volume.
int CopyFiles(const fs::path& image, const fs::path& from, const std::string& suffix, int want) {
    int copied = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(from, ec); it != fs::end(it) && copied < want;
         it.increment(ec)) {
        const auto& p = it->path();
        if (!it->is_regular_file(ec) || it->file_size(ec) < 20000 || it->file_size(ec) > 2000000) {
            continue;
        }
        if (!suffix.empty() && p.extension() != suffix) {
            continue;
        }
        std::string cmd = "mcopy -o -i " + image.string() + " '" + p.string() + "' ::/F" +
                          std::to_string(copied + (suffix.empty() ? 0 : 1000)) + " 2>/dev/null";
        if (std::system(cmd.c_str()) == 0) {
            ++copied;
        }
    }
    return copied;
}

std::vector<uint8_t> MakeCorpus() {
    fs::path dir = fs::temp_directory_path() / ("kw_bench_codecs_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path image = dir / "fat.img";
    std::string mk = "mkfs.fat -C " + image.string() + " 16384 >/dev/null 2>&1";
    std::vector<uint8_t> corpus;
    if (std::system(mk.c_str()) == 0) {
        for (int i = 0; i < 6; ++i) {
            fs::path t = dir / ("text" + std::to_string(i) + ".txt");
            WriteText(t, 300000, i);
            std::string cmd = "mcopy -i " + image.string() + " " + t.string() + " ::/ 2>/dev/null";
            (void)std::system(cmd.c_str());
        }
        CopyFiles(image, "/usr/bin", "", 8);           // executables
        CopyFiles(image, "/usr/share/doc", ".gz", 40); // already compressed
        corpus = ReadFile(image);
    }
    fs::remove_all(dir);
    corpus.resize(corpus.size() + (1 << 20), 0); // an all-zero stretch
    std::mt19937 rng(99);
    for (int i = 0; i < (1 << 20); ++i) {
        corpus.push_back(static_cast<uint8_t>(rng()));
    }
    return corpus;
}

const std::vector<uint8_t>& Corpus() {
    static const std::vector<uint8_t> corpus = MakeCorpus();
    return corpus;
}

// One compressed chunk of the corpus.
struct Chunk {
    std::vector<uint8_t> payload;
    uint32_t dataLength;
    uint32_t rawStart;
};

std::vector<Chunk> EncodeCorpus(ChunkEncoder* enc, const std::vector<uint8_t>& data) {
    std::vector<Chunk> chunks;
    size_t at = 0;
    while (at < data.size()) {
        Chunk c{std::vector<uint8_t>(kRoom), 0, 0};
        enc->Begin(c.payload.data(), kRoom);
        uint32_t took;
        while (at < data.size() &&
               (took = enc->Put(data.data() + at, static_cast<uint32_t>(std::min<size_t>(
                                                      data.size() - at, 65536)))) != 0) {
            at += took;
        }
        c.rawStart = enc->Finish();
        c.dataLength = enc->GetInputCount();
        chunks.push_back(std::move(c));
    }
    return chunks;
}

// Stored bytes of a chunk: up to the end of its last non-zero byte.
size_t UsedBytes(const Chunk& c) {
    size_t end = c.payload.size();
    while (end > 0 && c.payload[end - 1] == 0) {
        --end;
    }
    return end;
}

ChunkEncoder* MakeEncoder(int codec) {
    return codec == 0 ? CreateLzsChunkEncoder(kRoom) : CreateOwnMethodChunkEncoder();
}

void BM_Encode(benchmark::State& state) {
    const auto& data = Corpus();
    ChunkEncoder* enc = MakeEncoder(static_cast<int>(state.range(0)));
    size_t stored = 0;
    for (auto _ : state) {
        auto chunks = EncodeCorpus(enc, data);
        stored = 0;
        for (const auto& c : chunks) {
            stored += UsedBytes(c);
        }
        benchmark::DoNotOptimize(chunks);
    }
    enc->Release();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.counters["ratio"] = double(stored) / double(data.size());
}

void BM_Decode(benchmark::State& state) {
    const auto& data = Corpus();
    int codec = static_cast<int>(state.range(0));
    ChunkEncoder* enc = MakeEncoder(codec);
    auto chunks = EncodeCorpus(enc, data);
    enc->Release();
    ChunkDecoder* dec = CreateCompressedChunkDecoder(
        codec == 0 ? ChunkCodecMode::Lzs : ChunkCodecMode::OwnMethod, kRoom);
    std::vector<uint8_t> out(data.size());
    auto decodeAll = [&] {
        size_t at = 0;
        for (const auto& c : chunks) {
            dec->Begin(c.payload.data(), kRoom, c.dataLength, c.rawStart);
            at += dec->Get(0, out.data() + at, c.dataLength);
        }
        return at;
    };
    // Decoding is deterministic: checked once, outside the timed loop.
    if (decodeAll() != data.size() || out != data) {
        state.SkipWithError("decoded data differs");
    }
    for (auto _ : state) {
        decodeAll();
        benchmark::DoNotOptimize(out.data());
    }
    dec->Release();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// zlib on the same chunk-sized pieces.
std::vector<std::vector<uint8_t>> ZlibCompress(const std::vector<uint8_t>& data, int level) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < data.size(); at += kRoom) {
        uLong n = static_cast<uLong>(std::min<size_t>(kRoom, data.size() - at));
        uLongf size = compressBound(n);
        std::vector<uint8_t> packed(size);
        compress2(packed.data(), &size, data.data() + at, n, level);
        packed.resize(size);
        out.push_back(std::move(packed));
    }
    return out;
}

void BM_ZlibDeflate(benchmark::State& state) {
    const auto& data = Corpus();
    size_t stored = 0;
    for (auto _ : state) {
        auto packed = ZlibCompress(data, static_cast<int>(state.range(0)));
        stored = 0;
        for (const auto& p : packed) {
            stored += p.size();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.counters["ratio"] = double(stored) / double(data.size());
}

void BM_ZlibInflate(benchmark::State& state) {
    const auto& data = Corpus();
    auto packed = ZlibCompress(data, 6);
    std::vector<uint8_t> out(kRoom);
    for (auto _ : state) {
        for (const auto& p : packed) {
            uLongf size = kRoom;
            uncompress(out.data(), &size, p.data(), static_cast<uLong>(p.size()));
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_EccEncode(benchmark::State& state) {
    std::vector<uint8_t> chunk(kEccChunkSize);
    std::mt19937 rng(1);
    for (auto& b : chunk) {
        b = static_cast<uint8_t>(rng());
    }
    for (auto _ : state) {
        EccEncodeChunk(chunk.data());
        benchmark::DoNotOptimize(chunk.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kEccDataSize);
}

void BM_EccRebuildThree(benchmark::State& state) {
    std::vector<uint8_t> chunk(kEccChunkSize);
    std::mt19937 rng(2);
    for (auto& b : chunk) {
        b = static_cast<uint8_t>(rng());
    }
    EccEncodeChunk(chunk.data());
    const uint32_t lost[] = {3, 17, 33};
    for (auto _ : state) {
        state.PauseTiming();
        for (uint32_t k : lost) {
            std::fill_n(chunk.begin() + k * kEccSubBlockSize, kEccSubBlockSize, 0);
        }
        state.ResumeTiming();
        EccRebuildChunk(chunk.data(), lost, 3);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kEccChunkSize);
}

} // namespace

BENCHMARK(BM_Encode)->Arg(0)->Name("LzsEncode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Arg(1)->Name("OwnMethodEncode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate)->Arg(1)->Name("ZlibDeflate/level1")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate)->Arg(6)->Name("ZlibDeflate/level6")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(0)->Name("LzsDecode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(1)->Name("OwnMethodDecode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->Name("ZlibInflate/level6")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EccEncode)->Name("EccEncode/256KiB");
BENCHMARK(BM_EccRebuildThree)->Name("EccRebuild/3erasures");

BENCHMARK_MAIN();
