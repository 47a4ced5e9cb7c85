#include "engine/disk/pi_chain.h"

namespace {

constexpr uint8_t kNoFreeEntry = 0xFF;
constexpr uint32_t kAlignUp = 0;
constexpr uint32_t kAlignDown = 1;

} // namespace

uint32_t PiClass(const PARTITION_INFO* pi) {
    if (pi->ucFsKind == FS_KIND_FREE)
        return PI_CLASS_FREE;
    if (pi->ucFsKind == FS_KIND_EXTENDED_LINK)
        return PI_CLASS_LINK;
    if (pi->ulFlags & PI_LOGICAL)
        return PI_CLASS_LOGICAL;
    return pi->ucFsKind == FS_KIND_EXTENDED ? PI_CLASS_EXTENDED : PI_CLASS_PRIMARY;
}

PARTITION_INFO* FindPiInRange(PARTITION_INFO* first, uint32_t from, uint32_t to, uint32_t mask) {
    bool anyRange = (mask & PI_CLASS_ANY_RANGE) != 0;
    if (from > to && !anyRange)
        return nullptr;
    for (PARTITION_INFO* pi = first; pi != nullptr; pi = pi->next) {
        if ((PiClass(pi) & mask) == 0)
            continue;
        bool startsInside = pi->ulStartSect >= from && pi->ulStartSect <= to;
        bool holdsFrom = pi->ulStartSect <= from && from < pi->EndSect();
        if (anyRange || startsInside || holdsFrom)
            return pi;
    }
    return nullptr;
}

uint8_t FindFreeEntryIndex(const DISK_RECORD* disk, uint8_t wanted) {
    bool used[4] = {};
    for (const PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        uint32_t c = PiClass(pi);
        if ((c == PI_CLASS_PRIMARY || c == PI_CLASS_EXTENDED) && pi->ucEntryIndex < 4)
            used[pi->ucEntryIndex] = true;
    }
    if (wanted < 4 && !used[wanted])
        return wanted;
    for (uint8_t i = 0; i < 4; ++i)
        if (!used[i])
            return i;
    return kNoFreeEntry;
}

uint32_t AlignToBoundary(uint32_t origin, uint32_t unit, uint32_t value, uint32_t mode) {
    if (value < origin || unit == 0)
        return value < origin ? origin : value;
    uint32_t r = (value - origin) % unit;
    if (r == 0)
        return value;
    bool up = mode == kAlignUp || (mode != kAlignDown && r >= unit - unit / 2);
    if (up && uint64_t{value} + (unit - r) <= UINT32_MAX)
        return value + (unit - r);
    return value - r;
}

uint32_t AlignToBoundaryEnd(uint32_t origin, uint32_t unit, uint32_t value, uint32_t mode) {
    if (unit == 0)
        return value;
    return AlignToBoundary((unit - origin % unit) % unit, unit, value, mode);
}
