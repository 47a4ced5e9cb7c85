// NTFS out of images: listing and restoring every file of an NTFS partition
// stored with high compression, through IMGACCESS into a folder, beside
// tsk_recover and 7zz x of the raw partition and beside the image library's
// sequential read of the stored blocks, in one run. Each side runs in a
// child process so that its peak memory (max_rss_mib) is its own.
//
// KW_BENCH_MIB sets the volume's size (default 1024); three quarters of it
// are files of text, records and noise, a quarter of them small.
#include "engine/core/codepage.h"
#include "engine/host/fs_modules.h"
#include "engine/imgaccess/imgaccess.h"
#include "kwvaults.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kBlockBytes = kSectorBytes * kSectorsPerBlock;
constexpr uint32_t kPiece = 1u << 20;

struct Fixture {
    fs::path dir;
    fs::path raw;
    std::string image;
    uint64_t fileBytes = 0;
};

// One file of text, records or noise.
std::string Content(std::mt19937& rng, int n, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = n % 3 == 0   ? char('a' + (i * 7 + i / 13) % 26)
                   : n % 3 == 1 ? char(i % 64 < 8 ? i / 64 : 0)
                                : char(rng());
    return bytes;
}

// Files into the volume's root with ntfscp: large ones up to `total` bytes,
// then 500 small ones.
uint64_t FillVolume(const fs::path& raw, const fs::path& scratch, uint64_t total) {
    std::mt19937 rng(7);
    uint64_t written = 0;
    for (int n = 0; written < total || n < 500; ++n) {
        const bool large = written < total;
        const size_t size = large ? 16 * 1024 + rng() % (3 * 1024 * 1024) : 100 + rng() % 8000;
        std::ofstream(scratch, std::ios::binary) << Content(rng, n, size);
        const std::string name = (large ? "file " : "small ") + std::to_string(n) + ".bin";
        const std::string cmd =
            "ntfscp -q '" + raw.string() + "' '" + scratch.string() + "' '" + name + "'";
        if (std::system(cmd.c_str()) != 0)
            std::abort();
        written += size;
    }
    fs::remove(scratch);
    return written;
}

// Stores every block of the volume that is not all zeros, high compression.
int32_t StoreRaw(const fs::path& raw, const std::string& image) {
    const uint64_t bytes = fs::file_size(raw);
    const uint32_t blocks = uint32_t(bytes / kBlockBytes);
    std::vector<uint8_t> bitmap((blocks + 7) / 8, 0);
    std::vector<char> block(kBlockBytes);
    uint32_t used = 0;
    std::ifstream in(raw, std::ios::binary);
    for (uint32_t b = 0; b < blocks && in.read(block.data(), kBlockBytes); ++b) {
        if (std::any_of(block.begin(), block.end(), [](char c) { return c != 0; })) {
            bitmap[b / 8] |= uint8_t(1u << (b % 8));
            ++used;
        }
    }
    int32_t error = 0;
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, KW_CREATE_HIGH_COMPRESSION,
                                           nullptr, &error);
    if (store == nullptr)
        return error;
    uint32_t index = 0;
    store->AddPart(&index);
    store->SetBytesPerSector(kSectorBytes);
    store->SetTotalSectors(uint32_t(bytes / kSectorBytes));
    store->SetSectorsPerBlock(kSectorsPerBlock);
    store->SetBlockCount(blocks);
    store->SetUsedBlockCount(used);
    store->SetFileSystemKind(4);
    store->SetPartitionType(0x07);
    store->CreateUbmap();
    store->Write(bitmap.data(), uint32_t(bitmap.size()));
    store->CreateUdata();
    in.clear();
    in.seekg(0);
    for (uint32_t b = 0; b < blocks && error == 0 && in.read(block.data(), kBlockBytes); ++b) {
        if (bitmap[b / 8] >> (b % 8) & 1)
            error = store->Write(block.data(), kBlockBytes);
    }
    store->ClosePart();
    const int32_t committed = store->Commit();
    store->Release();
    return error != 0 ? error : committed;
}

const Fixture& GetFixture() {
    static Fixture f = [] {
        Fixture x;
        cpLoadBuiltinTables(CPKIND_UTF8);
        enInstallFsModules();
        const char* env = std::getenv("KW_BENCH_MIB");
        const uint64_t mib = env != nullptr ? std::strtoull(env, nullptr, 10) : 1024;
        x.dir = fs::temp_directory_path() / ("kwbench-ntfs-" + std::to_string(getpid()));
        fs::create_directories(x.dir);
        x.raw = x.dir / "ntfs.raw";
        std::ofstream(x.raw).close();
        fs::resize_file(x.raw, mib << 20);
        const std::string mk = "mkntfs -F -Q -q '" + x.raw.string() + "' >/dev/null 2>&1";
        if (std::system(mk.c_str()) != 0)
            std::abort();
        x.fileBytes = FillVolume(x.raw, x.dir / "scratch.bin", (mib << 20) * 3 / 4);
        x.image = (x.dir / "high.kwi").string();
        if (StoreRaw(x.raw, x.image) != 0)
            std::abort();
        return x;
    }();
    return f;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() / ("kwbench-ntfs-" + std::to_string(getpid())),
                       ec);
    }
} gCleanup;

// Every file below `path` of the image written into `out`.
uint64_t RestoreTree(IMGACCESS* image, const std::string& path, const fs::path& out,
                     std::vector<uint8_t>& buffer) {
    uint64_t total = 0;
    char name[1024];
    uint32_t attributes = 0;
    std::vector<std::pair<std::string, uint32_t>> entries;
    IMGACCESS_ITERATOR* it =
        image->FindFirst(path.c_str(), name, sizeof name, &attributes, nullptr, nullptr);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, nullptr, nullptr))
        entries.emplace_back(name, attributes);
    if (it != nullptr)
        it->Release();
    for (const auto& [entry, attr] : entries) {
        const std::string child = path + "\\" + entry;
        if (attr & IMGACCESS_ATTR_DIRECTORY) {
            fs::create_directories(out / entry);
            total += RestoreTree(image, child, out / entry, buffer);
            continue;
        }
        IMGACCESS_FILEHANDLE* file = image->OpenFile(child.c_str());
        if (file == nullptr)
            std::abort();
        std::ofstream to(out / entry, std::ios::binary);
        for (uint64_t left = file->GetSize(); left > 0;) {
            const uint32_t n = uint32_t(std::min<uint64_t>(left, buffer.size()));
            uint32_t done = 0;
            if (!file->Read(buffer.data(), n, &done))
                std::abort();
            to.write(reinterpret_cast<const char*>(buffer.data()), n);
            left -= n;
            total += n;
        }
        file->Release();
    }
    return total;
}

// Runs `work` in a child process; its peak memory in MiB (the parent's on
// failure: never).
template <class Work> double InChild(Work work) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        std::abort();
    return double(usage.ru_maxrss) / 1024.0;
}

void Report(benchmark::State& state, double peak) {
    state.SetBytesProcessed(int64_t(state.iterations() * GetFixture().fileBytes));
    state.counters["max_rss_mib"] = peak;
}

void BM_RestoreOutOfHighCompressionImage(benchmark::State& state) {
    const Fixture& f = GetFixture();
    const fs::path out = f.dir / "out";
    double peak = 0;
    for (auto _ : state) {
        fs::remove_all(out);
        fs::create_directories(out);
        peak = std::max(peak, InChild([&] {
                            std::vector<uint8_t> buffer(kPiece);
                            uint32_t code = 0;
                            IMGACCESS* image =
                                CreateImageAccess(f.image.c_str(), nullptr, nullptr, &code);
                            if (image == nullptr) {
                                std::fprintf(stderr, "image not opened: %u\n", code);
                                return false;
                            }
                            const uint64_t got = RestoreTree(image, "\\Partition0", out, buffer);
                            image->Release();
                            if (got != f.fileBytes)
                                std::fprintf(stderr, "restored %llu of %llu bytes (code %u)\n",
                                             static_cast<unsigned long long>(got),
                                             static_cast<unsigned long long>(f.fileBytes), code);
                            return got == f.fileBytes;
                        }));
    }
    fs::remove_all(out);
    Report(state, peak);
}

// The floor under the restore: the image library's own sequential read of
// the partition's stored blocks (decompression alone, nothing written).
void BM_LibrarySequentialRead(benchmark::State& state) {
    const Fixture& f = GetFixture();
    double peak = 0;
    for (auto _ : state) {
        peak = std::max(
            peak, InChild([&] {
                std::vector<uint8_t> buffer(kPiece);
                int32_t error = 0;
                PART_STORE* store = PartStoreOpenReadOnly(f.image.c_str(), nullptr, &error);
                uint64_t length = 0;
                if (store == nullptr || store->SelectPart(0) != 0 || store->OpenUdata(&length) != 0)
                    return false;
                bool ok = true;
                for (uint64_t left = length; ok && left > 0;) {
                    uint32_t got = 0;
                    const uint32_t n = uint32_t(std::min<uint64_t>(left, kPiece));
                    ok = store->Read(buffer.data(), n, &got) == 0 && got == n;
                    left -= n;
                }
                store->Release();
                return ok;
            }));
    }
    Report(state, peak);
}

void BM_PeerOnRawPartition(benchmark::State& state, const std::string& command) {
    const Fixture& f = GetFixture();
    const fs::path out = f.dir / "peer";
    const std::string cmd = command + " >/dev/null 2>&1";
    double peak = 0;
    for (auto _ : state) {
        fs::remove_all(out);
        fs::create_directories(out);
        peak = std::max(peak, InChild([&] {
                            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
                            return false;
                        }));
    }
    fs::remove_all(out);
    Report(state, peak);
}

void BM_TskRecoverOfRawPartition(benchmark::State& state) {
    const Fixture& f = GetFixture();
    BM_PeerOnRawPartition(state, "tsk_recover -e '" + f.raw.string() + "' '" +
                                     (f.dir / "peer").string() + "'");
}

void BM_7zzExtractOfRawPartition(benchmark::State& state) {
    const Fixture& f = GetFixture();
    BM_PeerOnRawPartition(state, "7zz x -y -o'" + (f.dir / "peer").string() + "' '" +
                                     f.raw.string() + "'");
}

} // namespace

BENCHMARK(BM_RestoreOutOfHighCompressionImage)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK(BM_LibrarySequentialRead)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_TskRecoverOfRawPartition)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_7zzExtractOfRawPartition)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

BENCHMARK_MAIN();
