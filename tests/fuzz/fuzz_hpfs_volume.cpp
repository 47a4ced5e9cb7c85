// Opens arbitrary bytes as an HPFS volume held in memory: reads its
// superblock, maps its used sectors, lists its bad sectors and marks a run
// in its bitmaps. Nothing may crash, hang or reach outside the volume.
//
// Input: the start of the volume; the partition is four times as long, its
// tail zeros.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/hpfs/hpfs_filesystem.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512 || size > (1u << 16))
        return 0;
    const auto sectors = static_cast<uint32_t>(size / 512 * 4);
    kw::plat::SetDiskProviderForTests([&] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::fuzz::SparseDisk>(data, size, sectors, true));
        return scan;
    });
    DISK_RECORD* disk = nullptr;
    PARTITION_INFO* pi = nullptr;
    if (kwLibOpen() == KW_OK)
        kwGetDiskList(&disk);
    if (disk != nullptr &&
        CreatePi(disk, 0, nullptr, false, 0, sectors, 0x07, 0, PI_NO_ENTRY, 0, &pi) == KW_OK) {
        pi->ucFsKind = FS_KIND_HPFS;
        {
            HPFS_FILESYSTEM fs(pi);
            if (fs.Init() == KW_OK) {
                STATE_MAP* map = nullptr;
                if (fs.GenerateBitmap(&map, 0) == KW_OK && map->GetBitCount() > sectors)
                    __builtin_trap();
                delete map;
                SECT_LIST bad;
                fs.GetBadSectors(&bad);
                fs.MarkSectors(data[0] * 64u, data[1] * 64u, (data[2] & 1) != 0);
            }
            char label[12];
            fs.GetVolumeLabel(label);
        }
        DeletePi(&pi);
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests({});
    return 0;
}
