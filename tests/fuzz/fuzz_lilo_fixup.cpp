// Fuzzes the LILO fix-up after a move: the input's first eight bytes give
// the old and the new start of the disk's first partition (little-endian),
// the rest is the start of the disk, the remainder of which reads as zeros.
// Whatever the loader's sectors say, the fix-up may write only sector 0 of
// the disk or of a partition, and sectors inside ext2 partitions (the
// loader's own files). The seed is a loader in the disk's first sector
// with a descriptor table, map chains and a map sector in an ext2 partition.
#include "engine/disk/kwlib.h"
#include "engine/disk/lilo_fixup.h"
#include "engine/disk/volume_probe.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr uint64_t kDiskSectors = 8192;

struct Region {
    uint64_t first, end; // [first, end)
};

// A memory disk that traps on a write outside the allowed regions, once
// they are known.
class GuardedDisk : public kw::fuzz::SparseDisk {
public:
    GuardedDisk(const uint8_t* data, size_t size, const std::vector<Region>* allowed)
        : SparseDisk(data, size, kDiskSectors, true), allowed_(allowed) {}
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        for (uint64_t s = sector; s < sector + count; ++s) {
            bool inside = false;
            for (const Region& r : *allowed_)
                inside = inside || (s >= r.first && s < r.end);
            if (!inside)
                __builtin_trap();
        }
        return SparseDisk::Write(sector, buffer, count);
    }

private:
    const std::vector<Region>* allowed_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size > kDiskSectors * 512 + 8)
        return 0;
    const uint32_t oldStart = kwbytes::LoadLe32(data);
    const uint32_t newStart = kwbytes::LoadLe32(data + 4);
    std::vector<Region> allowed;
    kw::plat::SetDiskProviderForTests([&] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<GuardedDisk>(data + 8, size - 8, &allowed));
        return scan;
    });
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        PARTITION_INFO* moved = nullptr;
        allowed.push_back({0, 1});
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr;
             pi = pi->next) {
            allowed.push_back({pi->ulStartSect, uint64_t{pi->ulStartSect} + 1});
            if (pi->ucFsKind == FS_KIND_EXT2)
                allowed.push_back({pi->ulStartSect, uint64_t{pi->ulStartSect} + pi->NumSects});
            if (moved == nullptr && pi->ulStartSect != 0 && pi->ucFsKind != FS_KIND_FREE)
                moved = pi;
        }
        if (moved != nullptr)
            FixLiloAfterMove(LILO_OPERATION_MOVED, moved, oldStart, newStart);
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
    return 0;
}
