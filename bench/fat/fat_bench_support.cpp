#include "bench/fat/fat_bench_support.h"

#include "engine/core/codepage.h"
#include "engine/host/fs_modules.h"

#include <cstdio>
#include <cstdlib>

namespace kwbench {

std::string Dir() {
    const char* d = std::getenv("KW_BENCH_FAT_DIR");
    return d != nullptr ? d : "/tmp/kw-bench-fat";
}

void Must(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

void NewFat32Image(const std::string& image, uint32_t mib, int spc) {
    uint64_t sectors = uint64_t{mib} * 2048;
    Must("rm -f '" + image + "' && truncate -s " + std::to_string((sectors + kStart) * 512) + " '" +
         image + "'");
    Must("printf 'label: dos\\n" + std::to_string(kStart) + "," + std::to_string(sectors) +
         ",c\\n' | sfdisk -q '" + image + "'");
    Must("mkfs.fat -F 32 -s " + std::to_string(spc) + " --offset " + std::to_string(kStart) + " '" +
         image + "' " + std::to_string(sectors / 2) + " >/dev/null");
}

std::string Mtools() {
    return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";
}

std::string At(const std::string& image) {
    return "-i '" + image + "'@@" + std::to_string(kStart * 512);
}

Engine::Engine(const std::string& image) {
    cpLoadBuiltinTables(CPKIND_UTF8);
    setenv("KW_DISKS", image.c_str(), 1);
    DISK_RECORD* disk = nullptr;
    enInstallFsModules();
    if (kwLibOpen() != KW_OK || kwGetDiskList(&disk) != KW_OK || disk == nullptr)
        std::abort();
    for (pi = disk->firstPi; pi != nullptr && pi->ulStartSect != kStart; pi = pi->next) {
    }
    if (pi == nullptr)
        std::abort();
}

Engine::~Engine() {
    kwLibClose();
}

} // namespace kwbench
