// Opens arbitrary bytes as a NetWare partition: the disk library enumerates
// it (hot-fix and mirror headers, signature, volume tables, segment list)
// and registers its volumes; its file system then initialises, maps its used
// sectors, counts its free space, checks its volumes, names its label and
// runs the fix-up after a copy. Nothing may crash, hang or reach outside the
// partition, and the map covers exactly the partition.
//
// Input: the start of the partition (the rest of its 2048 sectors reads as
// zeros); the disk holds a master boot record and the partition at sector 63.
#include "engine/core/globals_mgr.h"
#include "engine/core/statemap.h"
#include "engine/disk/kwlib.h"
#include "engine/host/fs_modules.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_volmgr.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kStart = 63;
constexpr uint32_t kSectors = 2048;

std::string Disk(const uint8_t* data, size_t size) {
    std::string disk(size_t{kStart + kSectors} * 512, '\0');
    const uint8_t entry[16] = {
        0, 1, 1, 0, 0x65, 0xFE, 0xFF, 0xFF, kStart, 0, 0, 0, kSectors & 0xFF, kSectors >> 8, 0, 0};
    std::memcpy(disk.data() + 446, entry, sizeof entry);
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    std::memcpy(disk.data() + size_t{kStart} * 512, data, size);
    return disk;
}

void Exercise(PARTITION_INFO* pi) {
    kw::netware::NETWPART_VOLUME fs(pi);
    if (fs.Init() != KW_OK)
        return;
    for (uint32_t flags : {1u, 3u}) {
        STATE_MAP* map = nullptr;
        if (fs.GenerateBitmap(&map, flags) == KW_OK && map->GetBitCount() != pi->NumSects)
            __builtin_trap();
        delete map;
    }
    fs.CalcFreeSectors();
    char label[kw::netware::kLabelBytes];
    fs.GetVolumeLabel(label);
    if (std::strlen(label) >= kw::netware::kLabelBytes)
        __builtin_trap();
    bool usable = false;
    kw::netware::nwCheckPartitionVolumes(&fs, &usable);
    fs.FixupAfterCopyEx(nullptr, nullptr, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512 || size > size_t{kSectors} * 512)
        return 0;
    static GLOBALS_MANAGER globals(KW_GLOBAL_NETWARE);
    kwSetGlobals(&globals);
    enInstallFsModules();
    const std::string disk = Disk(data, size);
    kw::plat::SetDiskProviderForTests([&disk] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::plat::MemorySectorSource>("fuzz", disk));
        return scan;
    });
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* first = nullptr;
        kwGetDiskList(&first);
        for (PARTITION_INFO* pi = first ? first->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind == FS_KIND_NETWARE)
                Exercise(pi);
    }
    kwLibClose();
    kw::netware::nwClearVolumes();
    kw::plat::SetDiskProviderForTests(nullptr);
    return 0;
}
