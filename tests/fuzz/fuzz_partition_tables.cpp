// Fuzzes the partition-table walk and the volume classifiers. The input is a
// disk of whole sectors; sector n of the walk reads input sector n modulo the
// sector count, so short inputs still hold long and cyclic chains.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "engine/disk/volume_probe.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t sectors = size / 512;
    if (sectors == 0 || sectors > 4096)
        return 0;
    SECTOR_READER read = [&](uint32_t sector, uint8_t* buffer) -> kwRet {
        if (data[0] == 0xBD && sector % sectors == sectors - 1)
            return ERR_READ_FAULT; // let some inputs meet read errors
        std::memcpy(buffer, data + (sector % sectors) * 512, 512);
        return KW_OK;
    };
    for (bool ignoreErrors : {false, true}) {
        TABLE_WALK walk = WalkPartitionTables(read, ignoreErrors);
        if (walk.entries.size() > 4 * (KW_MAX_EXTENDED_RECORDS + 1))
            __builtin_trap();
        for (const TABLE_ENTRY& e : walk.entries) {
            uint8_t sector[512] = {}; // a failed read leaves zeros, not stack bytes
            read(e.absStart, sector);
            uint8_t kind = FsKindFromType(e.entry.type, e.tableSector != 0);
            BOOT_SECTOR_INFO info = ClassifyBootSector(e.entry.type, kind, 0, sector);
            if (std::strlen(info.label) > 11)
                __builtin_trap();
            const char* line = nullptr;
            ClassifySuperBlock(sector, &line);
            char swapLabel[11];
            ClassifySwapPage(sector, swapLabel);
        }
    }
    bool boot = false;
    for (size_t i = 0; i < sectors && i < 4; ++i) {
        std::span<const uint8_t> sector(data + i * 512, 512);
        FindEzDriveSignature(sector, &boot);
        DiskManagerFlags(sector);
    }
    // The classifiers also take sectors cut short.
    size_t tail = size % 512;
    BOOT_SECTOR_INFO info = ClassifyBootSector(data[0], FsKindFromType(data[0], false), 0,
                                               std::span<const uint8_t>(data, tail));
    (void)info;
    return 0;
}
