// Image access: reading every file of a FAT32 partition out of an image
// (stored, low and high compression) through IMGACCESS, beside the image
// library's own sequential read of the partition's data and beside mcopy -s
// of the raw partition; and copying the partition between two images beside
// writing the same blocks into a new image at the same compression.
//
// KW_BENCH_MIB sets the partition's size (default 1024).
#include "bench/imgaccess/raw_images.h"
#include "engine/host/fs_modules.h"
#include "engine/imgaccess/imgaccess.h"
#include "engine/imgaccess/partition_copy.h"
#include "kwvaults.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kw::bench::kSectorBytes;
constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kBlockBytes = kSectorBytes * kSectorsPerBlock;
constexpr uint32_t kPiece = 1u << 20;
const uint32_t kFlags[] = {0, KW_CREATE_LOW_COMPRESSION, KW_CREATE_HIGH_COMPRESSION};
const char* const kNames[] = {"stored", "low", "high"};

// Files of text, records and noise, in a few folders.
void WriteFiles(const fs::path& dir, uint64_t total) {
    std::mt19937 rng(7);
    uint64_t written = 0;
    for (int n = 0; written < total; ++n) {
        const fs::path folder = dir / ("dir" + std::to_string(n % 7));
        fs::create_directories(folder);
        const size_t size = 16 * 1024 + rng() % (3 * 1024 * 1024);
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = n % 3 == 0   ? char('a' + (i * 7 + i / 13) % 26)
                       : n % 3 == 1 ? char(i % 64 < 8 ? i / 64 : 0)
                                    : char(rng());
        std::ofstream(folder / ("file" + std::to_string(n) + ".bin"), std::ios::binary) << bytes;
        written += size;
    }
}

// The fixture: a raw FAT32 volume and the three images holding it.
struct Fixture {
    fs::path dir;
    fs::path raw;
    uint64_t fileBytes = 0;
    std::vector<std::string> images;
    uint32_t usedBlocks = 0;
};

const Fixture& GetFixture() {
    static Fixture f = [] {
        Fixture x;
        enInstallFsModules(); // image access opens partitions through the rows
        const char* env = std::getenv("KW_BENCH_MIB");
        const uint64_t mib = env != nullptr ? std::strtoull(env, nullptr, 10) : 1024;
        x.dir = fs::temp_directory_path() / ("kwbench-img-" + std::to_string(getpid()));
        fs::create_directories(x.dir / "files");
        WriteFiles(x.dir / "files", mib * 1024 * 1024 * 3 / 4);
        for (const auto& e : fs::recursive_directory_iterator(x.dir / "files"))
            x.fileBytes += e.is_regular_file() ? e.file_size() : 0;
        x.raw = x.dir / "fat32.raw";
        const std::string cmd = "mkfs.fat -C -F 32 " + x.raw.string() + " " +
                                std::to_string(mib * 1024) + " >/dev/null && mcopy -s -i " +
                                x.raw.string() + " " + (x.dir / "files").string() + "/* ::/";
        if (std::system(cmd.c_str()) != 0)
            std::abort();
        fs::remove_all(x.dir / "files");
        const kw::bench::RawVolume volume = kw::bench::ReadRawVolume(x.raw, kSectorsPerBlock);
        x.usedBlocks = volume.used;
        for (size_t i = 0; i < 3; ++i) {
            x.images.push_back((x.dir / (std::string(kNames[i]) + ".kwi")).string());
            if (kw::bench::StoreRaw(volume, x.images.back(), kFlags[i], 15, 0x0C) != 0)
                std::abort();
        }
        return x;
    }();
    return f;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() / ("kwbench-img-" + std::to_string(getpid())), ec);
    }
} gCleanup;

void BM_ReadAllFilesThroughImageAccess(benchmark::State& state) {
    const Fixture& f = GetFixture();
    std::vector<uint8_t> buffer(kPiece);
    uint64_t bytes = 0;
    for (auto _ : state) {
        uint32_t code = 0;
        IMGACCESS* image =
            CreateImageAccess(f.images[state.range(0)].c_str(), nullptr, nullptr, &code);
        if (image == nullptr)
            std::abort();
        bytes += kw::bench::ReadTree(image, "\\Partition0", buffer);
        if (bytes == 0)
            std::abort(); // nothing listed: the partition could not be read
        image->Release();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.SetLabel(kNames[state.range(0)]);
}

void BM_LibrarySequentialRead(benchmark::State& state) {
    const Fixture& f = GetFixture();
    std::vector<uint8_t> buffer(kPiece);
    uint64_t bytes = 0;
    for (auto _ : state) {
        int32_t error = 0;
        PART_STORE* store =
            PartStoreOpenReadOnly(f.images[state.range(0)].c_str(), nullptr, &error);
        uint64_t length = 0;
        if (store == nullptr || store->SelectPart(0) != 0 || store->OpenUdata(&length) != 0)
            std::abort();
        for (uint64_t left = length; left > 0;) {
            uint32_t got = 0;
            const uint32_t n = uint32_t(std::min<uint64_t>(left, buffer.size()));
            if (store->Read(buffer.data(), n, &got) != 0 || got != n)
                std::abort();
            left -= n;
        }
        bytes += length;
        store->Release();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.SetLabel(kNames[state.range(0)]);
}

void BM_McopyOfRawPartition(benchmark::State& state) {
    const Fixture& f = GetFixture();
    const fs::path out = f.dir / "mcopy-out";
    for (auto _ : state) {
        fs::remove_all(out);
        fs::create_directories(out);
        const std::string cmd = "mcopy -s -n -i " + f.raw.string() + " ::/ " + out.string();
        if (std::system(cmd.c_str()) != 0)
            std::abort();
    }
    fs::remove_all(out);
    state.SetBytesProcessed(int64_t(state.iterations() * f.fileBytes));
}

void BM_CopyPartitionBetweenImages(benchmark::State& state) {
    const Fixture& f = GetFixture();
    const std::string target = (f.dir / "copy.kwi").string();
    for (auto _ : state) {
        int32_t error = 0;
        PART_STORE* from = PartStoreOpenReadOnly(f.images[0].c_str(), nullptr, &error);
        PART_STORE* to = PartStoreCreateNew(target.c_str(), nullptr, 0, 0, kFlags[state.range(0)],
                                            nullptr, &error);
        if (from == nullptr || to == nullptr || CopyPartition(to, from, 1, 0) != 0 ||
            to->Commit() != 0)
            std::abort();
        to->Release();
        from->Release();
        fs::remove(target);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * uint64_t(f.usedBlocks) * kBlockBytes));
    state.SetLabel(kNames[state.range(0)]);
}

// The peer of the copy: as many blocks written into a new image at the same
// compression, from memory (the partition's first 64 MiB of data, cycled).
void BM_DestinationWrite(benchmark::State& state) {
    const Fixture& f = GetFixture();
    const std::string target = (f.dir / "write.kwi").string();
    const uint64_t total = uint64_t(f.usedBlocks) * kBlockBytes;
    std::vector<uint8_t> sample(std::min<uint64_t>(total, 64u << 20));
    int32_t error = 0;
    PART_STORE* from = PartStoreOpenReadOnly(f.images[0].c_str(), nullptr, &error);
    uint32_t got = 0;
    if (from == nullptr || from->SelectPart(0) != 0 || from->OpenUdata(nullptr) != 0 ||
        from->Read(sample.data(), uint32_t(sample.size()), &got) != 0 || got != sample.size())
        std::abort();
    from->Release();
    for (auto _ : state) {
        PART_STORE* to = PartStoreCreateNew(target.c_str(), nullptr, 0, 0, kFlags[state.range(0)],
                                            nullptr, &error);
        uint32_t index = 0;
        if (to == nullptr || to->AddPart(&index) != 0)
            std::abort();
        to->SetBytesPerSector(kSectorBytes);
        to->SetSectorsPerBlock(kSectorsPerBlock);
        to->SetBlockCount(f.usedBlocks);
        to->SetUsedBlockCount(f.usedBlocks);
        to->CreateUdata();
        for (uint64_t at = 0; at < total;) {
            const uint64_t in = at % sample.size();
            const uint32_t n =
                uint32_t(std::min<uint64_t>({kPiece, total - at, sample.size() - in}));
            to->Write(sample.data() + in, n);
            at += n;
        }
        to->ClosePart();
        to->Commit();
        to->Release();
        fs::remove(target);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * total));
    state.SetLabel(kNames[state.range(0)]);
}

} // namespace

BENCHMARK(BM_ReadAllFilesThroughImageAccess)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LibrarySequentialRead)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_McopyOfRawPartition)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyPartitionBetweenImages)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DestinationWrite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
