// Sequential partition reads through the disk library (kwLogRead over the
// image-file source) against plain pread on the same file.
#include "engine/disk/kwlib.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kCyl = 255 * 63;
constexpr uint32_t kDiskSectors = 16 * kCyl; // about 125 MiB
constexpr uint32_t kPartStart = kCyl;
constexpr uint32_t kPartSectors = 14 * kCyl;

// A sparse disk image with one partition, and the library opened on it.
struct BenchDisk {
    std::string path;
    kwhandle handle = 0;

    BenchDisk() {
        char tmpl[] = "/tmp/kwbenchXXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        std::vector<uint8_t> mbr(512, 0);
        uint8_t entry[16] = {0, 0, 0, 0, 0x7F};
        std::memcpy(entry + 8, &kPartStart, 4);
        std::memcpy(entry + 12, &kPartSectors, 4);
        std::memcpy(&mbr[446], entry, 16);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        if (ftruncate(fd, off_t{kDiskSectors} * 512) != 0 || pwrite(fd, mbr.data(), 512, 0) != 512)
            std::abort();
        close(fd);
        setenv("KW_DISKS", path.c_str(), 1);
        DISK_RECORD* disk = nullptr;
        if (kwLibOpen() != KW_OK || kwGetDiskList(&disk) != KW_OK || disk == nullptr ||
            kwLogOpen(disk->firstPi, &handle) != KW_OK)
            std::abort();
    }
    ~BenchDisk() {
        kwLibClose();
        unlink(path.c_str());
    }
};

BenchDisk& Disk() {
    static BenchDisk disk;
    return disk;
}

void BM_KwLogRead(benchmark::State& state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buf(size_t{chunk} * 512);
    kwhandle h = Disk().handle;
    uint32_t sector = 0;
    for (auto _ : state) {
        if (sector + chunk > kPartSectors)
            sector = 0;
        if (kwLogRead(h, sector, buf.data(), chunk) != KW_OK)
            state.SkipWithError("read failed");
        sector += chunk;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk * 512);
}

void BM_Pread(benchmark::State& state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buf(size_t{chunk} * 512);
    int fd = open(Disk().path.c_str(), O_RDONLY);
    uint32_t sector = 0;
    for (auto _ : state) {
        if (sector + chunk > kPartSectors)
            sector = 0;
        off_t at = off_t{kPartStart + sector} * 512;
        if (pread(fd, buf.data(), buf.size(), at) != static_cast<ssize_t>(buf.size()))
            state.SkipWithError("read failed");
        sector += chunk;
    }
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk * 512);
}

BENCHMARK(BM_KwLogRead)->Arg(1)->Arg(128)->Arg(20000);
BENCHMARK(BM_Pread)->Arg(1)->Arg(128)->Arg(20000);

} // namespace

BENCHMARK_MAIN();
