// Opens arbitrary bytes as a Linux swap area held in memory: reads its
// header, maps it, lists and changes its bad pages and writes the header
// back. Nothing may crash or reach outside the area.
//
// Input: the start of the area (the header page and what follows); the area
// is four times as long, its tail zeros.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/lswap/lswap_filesystem.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <cstdint>
#include <cstring>
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
    PARTITION_INFO* pi = nullptr;
    DISK_RECORD* disk = nullptr;
    if (kwLibOpen() == KW_OK)
        kwGetDiskList(&disk);
    if (disk != nullptr &&
        CreatePi(disk, 0, nullptr, false, 0, sectors, 0x82, 0, PI_NO_ENTRY, 0, &pi) == KW_OK) {
        pi->ucFsKind = FS_KIND_LINUX_SWAP;
        {
            LSWAP_FILESYSTEM fs(pi);
            if (fs.Init() == KW_OK) {
                STATE_MAP* map = nullptr;
                if (fs.GenerateBitmap(&map, 0) == KW_OK &&
                    (map->CountSet(0, map->GetBitCount() - 1, ~0u) != 1 ||
                     fs.UsableSectors() > sectors))
                    __builtin_trap();
                delete map;
                SECT_LIST bad;
                fs.GetBadSectors(&bad);
                SECT_LIST more;
                for (size_t at = 4096; at + 4 <= size && at < 4096 + 64; at += 4) {
                    uint32_t s = 0;
                    std::memcpy(&s, data + at, 4);
                    more.Add(s % sectors);
                }
                fs.SetBadSectors(&more);
                fs.GetBadSectors(&bad);
                fs.Uninit();
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
