// Restoring a FAT12 partition of about 3,000 entries out of an image into a
// new folder, as the editor restores a tree: each file written under a
// temporary name, given its time and attributes, synced once and renamed
// into place, then each folder synced once. The peer, in the same run:
// mcopy -s of the raw partition into a new folder followed by sync, the same
// durability.
//
// KW_BENCH_DIR sets the folder the restores go to (default: the temporary
// folder), so that both measure the same file system.
#include "app/explorer/restore_file.h"
#include "app/ui_services.h"
#include "engine/host/fs_modules.h"
#include "engine/imgaccess/imgaccess.h"
#include "platform/drives/drive_table.h"
#include "platform/vfs/vfs.h"
#include "tests/app/image_fixture.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace kw::app;

constexpr int kFolders = 29;
constexpr int kFilesPerFolder = 104; // 29 folders x 104 files + 29 = 3,045 entries

// A user interface nobody answers: the restore asks nothing of a new folder.
class SilentUi final : public UiServices {
public:
    MsgAnswer Message(const QString&, const QString&, MsgIcon, MsgButtons) override {
        std::abort(); // a failure: the figure would not be a restore's
    }
    int ShowModal(QDialog&) override { return 0; }
    QString BrowseForFolder(QWidget*, const QString&) override { return {}; }
    QStringList OpenFiles(QWidget*, const QString&, const QString&, const QString&) override {
        return {};
    }
    QString ChooseFileToWrite(QWidget*, const QString&, const QString&, const QString&) override {
        return {};
    }
    bool OpenDocument(const QString&) override { return false; }
    void ProcessEvents() override {}
    void Log(const QString&) override {}
};

struct Fixture {
    fs::path dir;
    std::string raw, image;
};

fs::path Base() {
    const char* where = std::getenv("KW_BENCH_DIR");
    return fs::path(where != nullptr ? where : fs::temp_directory_path().c_str()) /
           ("kwbench-restore-" + std::to_string(getpid()));
}

const Fixture& GetFixture() {
    static const Fixture f = [] {
        Fixture x;
        enInstallFsModules(); // image access opens partitions through the rows
        x.dir = Base();
        fs::create_directories(x.dir / "tree");
        for (int d = 0; d < kFolders; ++d) {
            const fs::path folder = x.dir / "tree" / ("DIR" + std::to_string(d));
            fs::create_directories(folder);
            for (int n = 0; n < kFilesPerFolder; ++n) {
                const size_t size = 200 + size_t((d * 131 + n * 977) % 3800);
                std::string bytes(size, char('a' + (d + n) % 26));
                std::ofstream(folder / ("F" + std::to_string(n) + ".TXT"), std::ios::binary)
                    << bytes;
            }
        }
        x.raw = x.dir / "fat12.raw";
        x.image = x.dir / "fat12.kwi";
        const std::string cmd = "mkfs.fat -C -F 12 -s 16 " + x.raw +
                                " 32000 >/dev/null && mcopy -s -i " + x.raw + " " +
                                (x.dir / "tree").string() + "/* ::/";
        if (std::system(cmd.c_str()) != 0 || kw::test::StoreVolume(x.raw, x.image, {}) != 0)
            std::abort();
        return x;
    }();
    return f;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        fs::remove_all(Base(), ec);
    }
} gCleanup;

// Restores every file and folder below path into dest (a host folder).
void RestoreTree(RestoreContext& ctx, IMGACCESS* image, const std::string& path,
                 const fs::path& dest) {
    char name[260];
    uint32_t attributes = 0;
    uint64_t time = 0, size = 0;
    struct Entry {
        std::string name;
        uint32_t attributes;
        uint64_t time, size;
    };
    std::vector<Entry> entries;
    IMGACCESS_ITERATOR* it =
        image->FindFirst((path + "\\").c_str(), name, sizeof name, &attributes, &time, &size);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, &time, &size))
        entries.push_back({name, attributes, time, size});
    if (it != nullptr)
        it->Release();
    std::string drivePath; // the restore works on the namespace's drive paths
    if (!kw::drives::DriveTable::Process().FromHost(dest.string(), &drivePath))
        std::abort();
    const QString folder = QString::fromStdString(drivePath);
    for (const Entry& e : entries) {
        if (e.name == "." || e.name == "..")
            continue;
        if (e.attributes & IMGACCESS_ATTR_DIRECTORY) {
            fs::create_directory(dest / e.name);
            ctx.unsynced.insert(folder);
            RestoreTree(ctx, image, path + "\\" + e.name, dest / e.name);
            continue;
        }
        if (RestoreFile(ctx, image, path + "\\", e.name, folder, e.attributes, e.time, e.size) !=
            KW_OK)
            std::abort();
    }
}

void BM_EditorRestore(benchmark::State& state) {
    const Fixture& f = GetFixture();
    SilentUi ui;
    for (auto _ : state) {
        const fs::path out = f.dir / "editor";
        fs::remove_all(out);
        fs::create_directories(out);
        uint32_t code = 0;
        IMGACCESS* image = CreateImageAccess(f.image.c_str(), nullptr, nullptr, &code);
        if (image == nullptr)
            std::abort();
        RestoreContext ctx(ui, kw::vfs::vfsInstance());
        ctx.severalFiles = true;
        RestoreTree(ctx, image, "\\Partition0", out);
        if (ctx.SyncFolders() != KW_OK)
            std::abort();
        image->Release();
        state.PauseTiming();
        int files = 0; // every file in its folder, none beside it
        for (const auto& e : fs::recursive_directory_iterator(out))
            files += e.is_regular_file() && e.path().parent_path() != out;
        if (files != kFolders * kFilesPerFolder)
            std::abort();
        state.ResumeTiming();
    }
    state.counters["entries"] = kFolders * (kFilesPerFolder + 1);
}

void BM_McopyThenSync(benchmark::State& state) {
    const Fixture& f = GetFixture();
    for (auto _ : state) {
        const fs::path out = f.dir / "mcopy";
        fs::remove_all(out);
        fs::create_directories(out);
        const std::string cmd = "mcopy -s -n -i " + f.raw + " ::/* " + out.string() + " && sync";
        if (std::system(cmd.c_str()) != 0)
            std::abort();
    }
    state.counters["entries"] = kFolders * (kFilesPerFolder + 1);
}

BENCHMARK(BM_EditorRestore)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_McopyThenSync)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the restore's texts are Qt strings
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
