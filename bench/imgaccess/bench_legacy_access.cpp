// Image access over older-format images: 256 random 4 KiB reads through the
// read hook of a 32 MiB compressed partition (LZS with decoder state, and
// the own method), each run opening the image afresh, without a change file
// (every read past the restart points met so far decodes on from there) and
// with the change file saved for it (every read decodes from a nearby
// point). The peer, in the same run: the image library decoding the whole
// partition once, front to back, as the only way in without restart points.
#include "bench/imgaccess/raw_images.h"
#include "engine/imgaccess/image_access.h"
#include "kwvaults.h"
#include "kwvaults_image_store.h"
#include "tests/imagestore/legacy/legacy_writer.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kw::legacy::testing::LegacyImage;
using kw::legacy::testing::LegacyPartition;

constexpr uint32_t kSectorsPerBlock = 8;
constexpr uint32_t kBlocks = 8192; // 32 MiB
constexpr uint32_t kReads = 256;
const uint32_t kCodes[] = {103, 203};

const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path f = fs::temp_directory_path() / ("kwbench-legacy-" + std::to_string(getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

std::string ImagePath(uint32_t code) {
    return (Folder() / ("code" + std::to_string(code) + ".kwi")).string();
}

std::string ChangePath(uint32_t code) {
    return (Folder() / ("code" + std::to_string(code) + ".kwx")).string();
}

// Text and noise, every block stored; the change file saved beside it.
void MakeImage(uint32_t code) {
    if (fs::exists(ChangePath(code)))
        return;
    LegacyPartition p;
    p.code = code;
    p.sectorsPerBlock = kSectorsPerBlock;
    p.blockCount = p.usedBlocks = kBlocks;
    p.totalSectors = kBlocks * kSectorsPerBlock;
    p.bitmap.assign(kBlocks / 8, 0xFF);
    std::mt19937 rng(3);
    p.data.resize(size_t{kBlocks} * kSectorsPerBlock * 512);
    for (size_t i = 0; i < p.data.size(); ++i)
        p.data[i] = (i / 4096) % 3 == 0 ? uint8_t(rng()) : uint8_t("restart point "[i % 14]);
    kw::legacy::testing::writeLegacyImage(ImagePath(code), LegacyImage{}, {p});
    uint32_t rc = 0;
    IMGACCESS* image =
        CreateImageAccess(ImagePath(code).c_str(), ChangePath(code).c_str(), nullptr, &rc);
    if (image != nullptr) {
        image->SaveAllChanges();
        image->Release();
    }
}

void BM_RandomReads(benchmark::State& state) {
    const uint32_t code = kCodes[state.range(0)];
    const bool withChanges = state.range(1) != 0;
    MakeImage(code);
    std::vector<uint8_t> buffer(kSectorsPerBlock * 512);
    std::mt19937 rng(11);
    for (auto _ : state) {
        uint32_t rc = 0;
        IMGACCESS* image =
            CreateImageAccess(ImagePath(code).c_str(),
                              withChanges ? ChangePath(code).c_str() : nullptr, nullptr, &rc);
        if (image == nullptr) {
            state.SkipWithError("open failed");
            return;
        }
        kw::imgaccess::CURRENT_PART_SCOPE current(
            static_cast<kw::imgaccess::IMAGE_ACCESS*>(image)->Access(0));
        for (uint32_t n = 0; n < kReads; ++n) {
            const uint32_t block = uint32_t(rng() % kBlocks);
            if (kwiPhyRead(block * kSectorsPerBlock, buffer.data(), kSectorsPerBlock) != 0) {
                state.SkipWithError("read failed");
                break;
            }
        }
        image->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kReads * buffer.size());
    state.SetLabel(std::string("code ") + std::to_string(code) +
                   (withChanges ? ", change file" : ", no change file"));
}
BENCHMARK(BM_RandomReads)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

// The peer: one front-to-back decode of the whole partition.
void BM_WholeDecode(benchmark::State& state) {
    const uint32_t code = kCodes[state.range(0)];
    MakeImage(code);
    std::vector<uint8_t> buffer(1 << 20);
    for (auto _ : state) {
        int32_t rc = 0;
        IMAGE_STORE* store = ImageStoreOpenReadOnly(ImagePath(code).c_str(), nullptr, &rc);
        if (store == nullptr || store->SelectPartition(1) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        for (uint32_t got = 1; got != 0;)
            store->ReadData(buffer.data(), uint32_t(buffer.size()), &got);
        store->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlocks * kSectorsPerBlock * 512);
    state.SetLabel("code " + std::to_string(code));
}
BENCHMARK(BM_WholeDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kw::bench::RunThenRemove(argc, argv, Folder().string());
}
