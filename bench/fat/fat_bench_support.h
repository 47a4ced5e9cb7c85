// What the FAT benchmarks share: the folder that keeps their volumes between
// runs, running a shell command, making a disk image with one empty FAT32
// partition, the mtools prefix and the engine opened on such an image.
#pragma once

#include "engine/disk/kwlib.h"

#include <cstdint>
#include <string>

namespace kwbench {

// Where partitions start in the benchmark images.
inline constexpr uint32_t kStart = 2048;

// KW_BENCH_FAT_DIR, else /tmp/kw-bench-fat.
std::string Dir();

// Runs a shell command; aborts the run when it fails.
void Must(const std::string& command);

// Makes `image`: one partition of `mib` MiB at kStart, formatted FAT32 with
// `spc` sectors per cluster.
void NewFat32Image(const std::string& image, uint32_t mib, int spc);

// The environment prefix for mtools and the image argument of the partition.
std::string Mtools();
std::string At(const std::string& image);

// The engine opened on the partition at kStart of an image.
struct Engine {
    PARTITION_INFO* pi = nullptr;
    explicit Engine(const std::string& image);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
};

} // namespace kwbench
