// Browsing a FAT volume out of an image as the editor and kwfs do: listing
// every folder and reading every file, through the engine's FAT file system,
// in tree order and across folders (file k of every folder in turn).
// Side by side in one run, for a FAT16 volume of 64 MiB holding 3,039 small
// files and a FAT32 volume of 300 MiB holding 3,165 entries:
//   raw      the raw volume file, read through the disk library (the peer)
//   low      an image of low compression, through image access
//   high     an image of high compression, through image access
//   older    an image of the older format stored with its own method
//            (code 203), through image access and its piece cache
// Each iteration opens the source afresh.
//
// KW_BENCH_BROWSE_SCALE divides the volumes and their files (default 1).
#include "bench/imgaccess/raw_images.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/imgaccess/imgaccess.h"
#include "kwvaults.h"
#include "tests/imagestore/legacy/legacy_writer.h"
#include "tests/tools/kwfs/kwfs_source.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kw::bench::RawVolume;

constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kPiece = 1u << 20;

struct VolumeShape {
    const char* name;
    int fatBits;
    uint32_t mib;
    uint32_t files;
    uint32_t folders;
    uint64_t fileBytes; // all files together
};
const VolumeShape kShapes[] = {
    {"FAT16 64 MiB", 16, 64, 3039, 24, 36u << 20},
    {"FAT32 300 MiB", 32, 300, 3100, 65, 220u << 20},
};
const char* const kSources[] = {"raw", "low", "high", "older"};

uint32_t Scale() {
    const char* env = std::getenv("KW_BENCH_BROWSE_SCALE");
    const long s = env != nullptr ? std::strtol(env, nullptr, 10) : 1;
    return s > 0 ? uint32_t(s) : 1;
}

const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path f = fs::temp_directory_path() / ("kwbench-browse-" + std::to_string(getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

// Files of text, records and noise, of sizes around the mean, in folders.
// No byte is 0: a file's block must never look unused to the store.
void WriteFiles(const fs::path& dir, const VolumeShape& shape, uint32_t scale) {
    std::mt19937 rng(shape.fatBits);
    const uint32_t files = shape.files / scale;
    const uint64_t mean = shape.fileBytes / scale / files;
    for (uint32_t n = 0; n < files; ++n) {
        const fs::path folder = dir / ("dir" + std::to_string(n % shape.folders));
        fs::create_directories(folder);
        const size_t size = size_t(rng() % (2 * mean)) + 1;
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = n % 3 == 0   ? char('a' + (i * 7 + i / 13) % 26)
                       : n % 3 == 1 ? char(i % 64 < 8 ? i / 64 : ' ')
                                    : char(rng());
            bytes[i] = bytes[i] == 0 ? 1 : bytes[i];
        }
        std::ofstream(folder / ("file" + std::to_string(n) + ".txt"), std::ios::binary) << bytes;
    }
}

// The used blocks of the volume as an older-format partition.
kw::legacy::testing::LegacyPartition OlderPartition(const RawVolume& v, int fatBits) {
    kw::legacy::testing::LegacyPartition p;
    p.code = 203;
    p.sectorsPerBlock = v.sectorsPerBlock;
    p.blockCount = v.blocks;
    p.usedBlocks = v.used;
    p.totalSectors = uint32_t(v.bytes.size() / kw::bench::kSectorBytes);
    p.bitmap = v.bitmap;
    p.fileSystemKind = 1;
    p.partitionType = fatBits == 32 ? 0x0C : 0x06;
    p.data.reserve(size_t(v.used) * v.BlockBytes());
    for (uint32_t b = 0; b < v.blocks; ++b) {
        if (v.Used(b)) {
            const char* from = v.bytes.data() + size_t(b) * v.BlockBytes();
            p.data.insert(p.data.end(), from, from + v.BlockBytes());
        }
    }
    return p;
}

// The raw volume and its three images, made once per shape.
struct Fixture {
    std::string raw;
    std::string images[4]; // [0] unused
};

const Fixture& GetFixture(int shapeIndex) {
    static Fixture made[2];
    Fixture& x = made[shapeIndex];
    if (!x.raw.empty())
        return x;
    const VolumeShape& shape = kShapes[shapeIndex];
    const uint32_t scale = Scale();
    const fs::path dir = Folder() / ("shape" + std::to_string(shapeIndex));
    fs::create_directories(dir / "files");
    WriteFiles(dir / "files", shape, scale);
    x.raw = (dir / "volume.raw").string();
    const std::string cmd = "mkfs.fat -C -F " + std::to_string(shape.fatBits) + " " + x.raw + " " +
                            std::to_string(shape.mib * 1024 / scale) +
                            " >/dev/null && mcopy -s -i " + x.raw + " " + (dir / "files").string() +
                            "/* ::/";
    if (std::system(cmd.c_str()) != 0)
        std::abort();
    fs::remove_all(dir / "files");
    const RawVolume volume = kw::bench::ReadRawVolume(x.raw, kSectorsPerBlock);
    const uint32_t fsKind = shape.fatBits == 32 ? 15 : 1;
    const uint32_t type = shape.fatBits == 32 ? 0x0C : 0x06;
    const uint32_t flags[] = {0, KW_CREATE_LOW_COMPRESSION, KW_CREATE_HIGH_COMPRESSION};
    for (int i = 1; i <= 2; ++i) {
        x.images[i] = (dir / (std::string(kSources[i]) + ".kwi")).string();
        if (kw::bench::StoreRaw(volume, x.images[i], flags[i], fsKind, type) != 0)
            std::abort();
    }
    x.images[3] = (dir / "older.kwi").string();
    kw::legacy::testing::writeLegacyImage(x.images[3], kw::legacy::testing::LegacyImage{},
                                          {OlderPartition(volume, shape.fatBits)});
    return x;
}

// The raw side: the engine's FAT file system over the volume file.
void ListRawFiles(FILESYSTEM* fs, const std::string& path, std::vector<std::string>& files) {
    DIRLIST list;
    list.SetWantTimes(true);
    if (fs->ListDirectory(&list, path.empty() ? "\\" : path.c_str(), LIST_LONG_NAMES) != KW_OK)
        std::abort();
    for (uint32_t i = 0; i < list.GetCount(); ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0)
            continue;
        const std::string child = path + "\\" + e->name;
        if (e->attributes & DIR_ATTR_DIRECTORY)
            ListRawFiles(fs, child, files);
        else
            files.push_back(child);
    }
}

uint64_t ReadRawFile(FILESYSTEM* fs, const std::string& path, std::vector<uint8_t>& buffer) {
    FILE_BASE* file = nullptr;
    if (kwFileOpen(&file, path.c_str(), FILE_MODE_READ | FILE_MODE_BINARY, fs->GetPI(), nullptr,
                   0) != KW_OK)
        std::abort();
    uint64_t total = 0;
    for (;;) {
        uint32_t done = 0;
        const kwRet rc = kwFileRead(file, buffer.data(), uint32_t(buffer.size()), &done);
        if (rc != KW_OK && rc != ERR_FILE_SHORT_READ)
            std::abort();
        total += done;
        if (done == 0 || rc == ERR_FILE_SHORT_READ)
            break;
    }
    kwFileClose(file, 0, nullptr);
    return total;
}

// Tree order: folder by folder. Across folders: the first file of every
// folder, then the second of every folder, and so on, as a selection of
// files restored by name or type reads them.
std::vector<std::string> InOrder(std::vector<std::string> files, bool acrossFolders) {
    if (!acrossFolders)
        return files;
    std::map<std::string, std::vector<std::string>> byFolder;
    for (std::string& f : files)
        byFolder[f.substr(0, f.rfind('\\'))].push_back(std::move(f));
    std::vector<std::string> out;
    for (size_t k = 0; out.size() < files.size(); ++k)
        for (const auto& [folder, names] : byFolder)
            if (k < names.size())
                out.push_back(names[k]);
    return out;
}

uint64_t BrowseRaw(const Fixture& f, bool acrossFolders, std::vector<uint8_t>& buffer) {
    KwfsSource source;
    FILESYSTEM* fs = nullptr;
    if (source.Open("part:" + f.raw) != KW_OK ||
        OpenFileSystem(source.Partition(), &fs, FS_OPEN_SHARED, 0) != KW_OK || fs->Init() != KW_OK)
        std::abort();
    std::vector<std::string> files;
    ListRawFiles(fs, "", files);
    uint64_t bytes = 0;
    for (const std::string& file : InOrder(std::move(files), acrossFolders))
        bytes += ReadRawFile(fs, file, buffer);
    CloseFileSystem(&fs);
    return bytes;
}

uint64_t BrowseImage(const std::string& image, bool acrossFolders, std::vector<uint8_t>& buffer) {
    uint32_t code = 0;
    IMGACCESS* access = CreateImageAccess(image.c_str(), nullptr, nullptr, &code);
    if (access == nullptr)
        std::abort();
    std::vector<std::string> files;
    kw::bench::ListFiles(access, "\\Partition0", files);
    uint64_t bytes = 0;
    for (const std::string& file : InOrder(std::move(files), acrossFolders))
        bytes += kw::bench::ReadFile(access, file, buffer);
    access->Release();
    return bytes;
}

void BM_ListAndReadEveryFile(benchmark::State& state) {
    const int shape = int(state.range(0));
    const bool across = state.range(1) != 0;
    const int source = int(state.range(2));
    const Fixture& f = GetFixture(shape);
    std::vector<uint8_t> buffer(kPiece);
    uint64_t bytes = 0;
    for (auto _ : state)
        bytes += source == 0 ? BrowseRaw(f, across, buffer)
                             : BrowseImage(f.images[source], across, buffer);
    if (bytes == 0)
        state.SkipWithError("nothing read");
    state.SetBytesProcessed(int64_t(bytes));
    state.SetLabel(std::string(kShapes[shape].name) + (across ? ", across folders, " : ", ") +
                   kSources[source]);
}
// Each volume and order: the four sources one after the other.
BENCHMARK(BM_ListAndReadEveryFile)
    ->Apply([](benchmark::internal::Benchmark* b) {
        for (int shape = 0; shape < 2; ++shape)
            for (int across = 0; across < 2; ++across)
                for (int source = 0; source < 4; ++source)
                    b->Args({shape, across, source});
    })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    return kw::bench::RunThenRemove(argc, argv, Folder().string());
}
