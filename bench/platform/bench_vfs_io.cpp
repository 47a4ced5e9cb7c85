// Sequential writing and reading of a 64 MiB file through the path layer's
// file handles, against plain write/read calls on the same folder.
#include "platform/vfs/vfs.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kFileSize = 64u << 20;
constexpr size_t kPiece = 0x40000; // one stored chunk of the container

std::string Folder() {
    static std::string folder = [] {
        std::string t = "/tmp/kwbench.XXXXXX";
        return std::string(::mkdtemp(t.data()));
    }();
    return folder;
}

std::vector<char> Data() {
    std::vector<char> d(kPiece);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<char>(i * 131 + (i >> 9));
    return d;
}

void BM_PlainWrite(benchmark::State& state) {
    std::vector<char> d = Data();
    std::string path = Folder() + "/plain.bin";
    for (auto _ : state) {
        ::unlink(path.c_str());
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        for (size_t done = 0; done < kFileSize; done += kPiece)
            benchmark::DoNotOptimize(::write(fd, d.data(), kPiece));
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_VfsWrite(benchmark::State& state) {
    std::vector<char> d = Data();
    std::string path = Folder() + "/vfs.bin";
    for (auto _ : state) {
        ::unlink(path.c_str());
        kw::vfs::FILEHANDLE* h = kw::vfs::vfsCreateFile(path);
        size_t put = 0;
        for (size_t done = 0; h && done < kFileSize; done += kPiece)
            h->Write(d.data(), kPiece, &put);
        if (h)
            h->Release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_PlainRead(benchmark::State& state) {
    std::vector<char> d(kPiece);
    std::string path = Folder() + "/plain.bin";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY);
        while (::read(fd, d.data(), kPiece) > 0) {
        }
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_VfsRead(benchmark::State& state) {
    std::vector<char> d(kPiece);
    std::string path = Folder() + "/vfs.bin";
    for (auto _ : state) {
        kw::vfs::FILEHANDLE* h = kw::vfs::vfsOpenFileReadOnly(path);
        size_t got = kPiece;
        while (h && got == kPiece && h->Read(d.data(), kPiece, &got)) {
        }
        if (h)
            h->Release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_OpenClose(benchmark::State& state) {
    std::string path = Folder() + "/vfs.bin";
    for (auto _ : state) {
        kw::vfs::FILEHANDLE* h = kw::vfs::vfsOpenFileReadOnly(path);
        if (h)
            h->Release();
    }
}

void BM_PlainOpenClose(benchmark::State& state) {
    std::string path = Folder() + "/vfs.bin";
    for (auto _ : state)
        ::close(::open(path.c_str(), O_RDONLY));
}

} // namespace

BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VfsWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VfsRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainOpenClose);
BENCHMARK(BM_OpenClose);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::string cmd = "rm -rf " + Folder();
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
