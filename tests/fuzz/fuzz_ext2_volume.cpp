// Opens arbitrary bytes as an ext2 volume held in memory through the
// engine's libext2fs channel: maps its used blocks, lists its bad blocks,
// reads its label and the runs of a few files. Nothing may crash, hang or
// reach outside the volume.
//
// Input: the start of a 1 MiB partition, the rest zeros (seeds: small
// volumes made by mke2fs -d, cut after their last used block).
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/ext2/ext2_filesystem.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <cstdint>
#include <memory>

namespace {

constexpr uint32_t kSectors = 2048;

void Use(EXT2_FILESYSTEM* fs) {
    STATE_MAP* map = nullptr;
    if (fs->GenerateBitmap(&map, 0) == KW_OK && map->GetBitCount() * map->ulUnitsPerBit > kSectors)
        __builtin_trap();
    delete map;
    SECT_LIST bad;
    fs->GetBadSectors(&bad);
    for (const char* path : {"\\a", "\\d\\b", "\\sparse", "\\d"}) {
        SECTOR_RUN* runs = fs->ListClusters(path);
        for (SECTOR_RUN* r = runs; r != nullptr; r = r->next) {
            if (uint64_t{r->firstSector} + r->sectorCount > kSectors)
                __builtin_trap();
        }
        FreeSectorRuns(runs);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kSectors * 512)
        return 0;
    kw::plat::SetDiskProviderForTests([&] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::fuzz::SparseDisk>(data, size, kSectors, false));
        return scan;
    });
    DISK_RECORD* disk = nullptr;
    PARTITION_INFO* pi = nullptr;
    if (kwLibOpen() == KW_OK)
        kwGetDiskList(&disk);
    if (disk != nullptr &&
        CreatePi(disk, 0, nullptr, false, 0, kSectors, 0x83, 0, PI_NO_ENTRY, 0, &pi) == KW_OK) {
        pi->ucFsKind = FS_KIND_EXT2;
        {
            EXT2_FILESYSTEM fs(pi);
            if (fs.Init() == KW_OK)
                Use(&fs);
            char label[17];
            fs.GetVolumeLabel(label);
            fs.Uninit();
        }
        DeletePi(&pi);
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests({});
    return 0;
}
