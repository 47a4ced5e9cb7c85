// The start of the one part a part-store benchmark writes: the part, its
// geometry, its block map and the opening of its data.
#pragma once

#include "kwvaults.h"

#include <cstdint>
#include <vector>

// Adds the part and writes everything before its data; the first failure.
inline int32_t BeginPart(PART_STORE* store, uint32_t sectorBytes, uint32_t sectorsPerBlock,
                         uint32_t blocks, uint32_t used, const std::vector<uint8_t>& bitmap) {
    uint32_t index = 0;
    int32_t error = store->AddPart(&index);
    error = error != 0 ? error : store->SetBytesPerSector(sectorBytes);
    error = error != 0 ? error : store->SetSectorsPerBlock(sectorsPerBlock);
    error = error != 0 ? error : store->SetBlockCount(blocks);
    error = error != 0 ? error : store->SetUsedBlockCount(used);
    error = error != 0 ? error : store->CreateUbmap();
    error = error != 0 ? error : store->Write(bitmap.data(), uint32_t(bitmap.size()));
    return error != 0 ? error : store->CreateUdata();
}
