// Fuzzes disk discovery end to end: the input is a whole disk (whole sectors),
// opened by the disk library and enumerated into partition records with their
// checks and free space. The chain of every disk must stay sound.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512 || size > 512 * 4096)
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size / 512 * 512);
    kw::plat::SetDiskProviderForTests([&bytes] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::plat::MemorySectorSource>("fuzz", bytes, false));
        return scan;
    });
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        size_t records = 0;
        for (PARTITION_INFO* pi = disk ? disk->firstPi : nullptr; pi != nullptr; pi = pi->next) {
            if (++records > 4 * (KW_MAX_EXTENDED_RECORDS + 2) + 64 || pi->disk != disk)
                __builtin_trap();
            if (pi->next != nullptr && pi->next->ulStartSect < pi->ulStartSect)
                __builtin_trap(); // the chain is kept in start order
        }
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
    return 0;
}
