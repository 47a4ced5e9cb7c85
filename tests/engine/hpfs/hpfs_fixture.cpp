// Writes an HPFS volume from its structures.
#include "tests/engine/hpfs/hpfs_fixture.h"

#include "engine/hpfs/hpfs_filesystem.h"
#include "include/kwbytes.h"

#include <cstring>

namespace kwtest {
namespace {

void Put32(std::vector<uint8_t>& v, uint32_t sector, uint32_t offset, uint32_t value) {
    kwbytes::StoreLe32(v.data() + size_t{sector} * 512 + offset, value);
}

} // namespace

std::vector<uint8_t> MakeHpfsVolume(const HpfsLayout& l) {
    std::vector<uint8_t> v(size_t{l.sectors} * 512, 0);
    const uint32_t bands = (l.sectors + 16383) / 16384;
    v[38] = 0x29;
    Put32(v, 0, 32, l.sectors);
    Put32(v, 0, 39, l.serial);
    std::memcpy(v.data() + 43, l.label, 11);
    std::memcpy(v.data() + 54, "HPFS    ", 8);
    v[510] = 0x55;
    v[511] = 0xAA;
    Put32(v, 16, 0, HPFS_SUPER_MAGIC1);
    Put32(v, 16, 4, HPFS_SUPER_MAGIC2);
    Put32(v, 16, 16, l.sectors);
    Put32(v, 16, 20, uint32_t(l.badSectors.size()));
    Put32(v, 16, 24, kHpfsListSector);
    Put32(v, 16, 32, l.badSectors.empty() ? 0 : kHpfsBadList);
    Put32(v, 16, 48, 400);
    Put32(v, 16, 60, kHpfsDirBandBitmap);
    Put32(v, 17, 0, 0xF9911849);
    Put32(v, 17, 4, 0xFA5229C5);
    for (uint32_t b = 0; b < bands; ++b)
        Put32(v, kHpfsListSector, 4 * b, kHpfsFirstBitmap + 4 * b);
    for (size_t i = 0; i < l.badSectors.size(); ++i)
        Put32(v, kHpfsBadList, uint32_t(4 * (i + 1)), l.badSectors[i]);
    // Free everywhere, then the used sectors cleared.
    uint8_t* bitmaps = v.data() + size_t{kHpfsFirstBitmap} * 512;
    std::memset(bitmaps, 0xFF, size_t{bands} * 2048);
    auto use = [&](uint32_t first, uint32_t count) {
        for (uint32_t s = first; s < first + count && s < l.sectors; ++s)
            bitmaps[s / 16384 * 2048 + s % 16384 / 8] &= uint8_t(~(1u << (s % 8)));
    };
    use(0, kHpfsFirstBitmap + 4 * bands);
    for (const auto& [first, count] : l.usedRuns)
        use(first, count);
    for (uint32_t s : l.badSectors)
        use(s, 1);
    // Bits past the volume's end: in use, as no sector stands behind them.
    for (uint32_t s = l.sectors; s < bands * 16384; ++s)
        bitmaps[s / 16384 * 2048 + s % 16384 / 8] &= uint8_t(~(1u << (s % 8)));
    return v;
}

} // namespace kwtest
