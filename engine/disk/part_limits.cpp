// Default size limits of partitions and alignment to a partition's cylinder grid.
#include "engine/disk/part_limits.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/fs_kinds.h"
#include "engine/disk/kwlib.h"

namespace {

constexpr std::uint32_t kNoChsLimit = 0xFFFFFFFF;

// A value aligned to a multiple of unit counted from origin: mode 0 up, 1
// down, 2 to the nearest (down below half a unit). Below the origin: the origin.
std::uint32_t Align(std::uint32_t origin, std::uint32_t unit, std::uint32_t value,
                    std::uint32_t mode) {
    if (value < origin || unit == 0)
        return value < origin ? origin : value;
    std::uint64_t offset = value - origin;
    std::uint64_t rest = offset % unit;
    if (rest == 0)
        return value;
    std::uint64_t down = std::uint64_t{value} - rest;
    std::uint64_t up = down + unit;
    bool goUp = mode == EN_ALIGN_UP || (mode == EN_ALIGN_NEAREST && rest * 2 >= unit);
    std::uint64_t out = goUp ? up : down;
    return out > 0xFFFFFFFFull ? static_cast<std::uint32_t>(down) : static_cast<std::uint32_t>(out);
}

std::uint32_t AlignUp(const PARTITION_INFO* pi, std::uint32_t sectors) {
    return enGetCylinderBoundary(pi, sectors, EN_ALIGN_UP);
}

std::uint32_t AtMost(std::uint32_t v, std::uint32_t limit) {
    return v < limit ? v : limit;
}

// The smallest size that still holds the logical partitions of an extended one.
std::uint32_t ExtendedMinimum(const PARTITION_INFO* ext) {
    std::uint32_t end = ext->ulStartSect;
    for (const PARTITION_INFO* p = ext->disk->firstPi; p != nullptr; p = p->next)
        if ((p->ulFlags & PI_LOGICAL) && p->ucFsKind != FS_KIND_FREE &&
            p->ulStartSect >= ext->ulStartSect && p->EndSect() <= ext->EndSect() &&
            p->EndSect() > end)
            end = p->EndSect();
    return end - ext->ulStartSect;
}

bool Minimum(const PARTITION_INFO* pi, std::uint32_t* minimum) {
    std::uint32_t used = pi->ulUsedSects, size = pi->NumSects;
    if (auto rule = kwKindRules(pi->ucFsKind).minimumSize; rule != nullptr) {
        *minimum = rule(pi);
        return true;
    }
    switch (pi->ucFsKind) {
    case FS_KIND_EXTENDED:
        *minimum = pi->ulFreeSects == size ? AlignUp(pi, 1024)
                   : used == size          ? size
                                           : ExtendedMinimum(pi);
        return true;
    case FS_KIND_RAW:
        *minimum = (pi->ucPartType == 0x07 || pi->ucPartType == 0x17) ? AlignUp(pi, 1000)
                                                                      : pi->ulSectsToNextCyl;
        return true;
    default:
        return false;
    }
}

} // namespace

std::uint32_t enGetCylinderBoundary(const PARTITION_INFO* pi, std::uint32_t sector,
                                    std::uint32_t mode) {
    if (pi == nullptr)
        return sector;
    return Align(pi->ulSectsToNextCyl, pi->ulCylSize, sector, mode);
}

std::uint32_t enMinimumWithReserve(const PARTITION_INFO* pi, std::uint32_t reserve,
                                   std::uint32_t cap) {
    std::uint32_t used = pi->ulUsedSects;
    std::uint32_t m = AtMost(AtMost(used / 16, pi->ulFreeSects), cap);
    m = m < reserve ? reserve : m;
    return AlignUp(pi, AtMost(used + m, pi->NumSects));
}

std::uint32_t enMinimumWithCommonReserve(const PARTITION_INFO* pi) {
    return enMinimumWithReserve(pi, 2048, 0xFFFFFFFF);
}

kwRet enGetDefaultLimits(const PARTITION_INFO* pi, EN_SIZE_LIMITS* limits) {
    if (pi == nullptr || limits == nullptr || pi->disk == nullptr)
        return ERR_BAD_ARGUMENT;
    std::uint32_t maximum = pi->ulRoom;
    std::uint32_t chs = pi->disk->chsSectors;
    if (maximum > pi->NumSects && chs != kNoChsLimit && chs != 0 && chs >= pi->ulStartSect)
        maximum = AtMost(maximum, chs - pi->ulStartSect);
    std::uint32_t minimum = 0;
    if (!Minimum(pi, &minimum))
        return 1;
    if (std::uint32_t most = kwKindRules(pi->ucFsKind).maximumSize; most != 0)
        maximum = AtMost(maximum, enGetCylinderBoundary(pi, most, EN_ALIGN_UP));
    limits->minimum = minimum;
    limits->maximum = maximum;
    return KW_OK;
}

namespace {

bool IsFreeRecord(const PARTITION_INFO* p) {
    return p->ucFsKind == FS_KIND_FREE;
}

bool IsLogicalRecord(const PARTITION_INFO* p) {
    return (p->ulFlags & PI_LOGICAL) != 0;
}

bool Inside(const PARTITION_INFO* outer, std::uint32_t sector) {
    return sector >= outer->ulStartSect && sector < outer->EndSect();
}

// How far the start may move towards the disk's start: the free run directly
// before the partition (only free space and extended records between).
std::uint32_t MoveLeft(const PARTITION_INFO* pi) {
    const PARTITION_INFO* lastFree = nullptr;
    const PARTITION_INFO* lastPrimaryFree = nullptr;
    for (const PARTITION_INFO* p = pi->disk->firstPi; p != nullptr && p != pi; p = p->next) {
        if (IsFreeRecord(p)) {
            lastFree = p;
            if (!IsLogicalRecord(p))
                lastPrimaryFree = p;
        } else if (p->ucFsKind != FS_KIND_EXTENDED && p->ucFsKind != FS_KIND_EXTENDED_LINK) {
            lastFree = lastPrimaryFree = nullptr;
        }
    }
    const PARTITION_INFO* run = IsLogicalRecord(pi) ? lastFree : lastPrimaryFree;
    if (run == nullptr)
        return 0;
    std::uint32_t unit = run->ulCylSize;
    std::uint32_t origin = IsLogicalRecord(run) ? run->ulCylSize : run->ulSectsToNextCyl;
    std::uint32_t value = run->ulStartSect;
    const PARTITION_INFO* ext = pi->disk->extendedPi;
    if (IsLogicalRecord(pi) && IsLogicalRecord(run) && ext != nullptr &&
        !Inside(ext, run->ulStartSect)) {
        value = ext->ulStartSect;
        if (lastPrimaryFree != nullptr && lastPrimaryFree->EndSect() == ext->ulStartSect)
            value = lastPrimaryFree->ulStartSect;
    }
    std::uint32_t aligned = Align(origin, unit, value, EN_ALIGN_UP);
    std::uint32_t left = run->EndSect() > aligned ? run->EndSect() - aligned : 0;
    if (pi->ucFsKind == FS_KIND_EXTENDED && pi->ulCylSize != 0)
        left -= left % pi->ulCylSize;
    return left;
}

// How far the end may grow.
std::uint32_t MoveRight(const PARTITION_INFO* pi) {
    const DISK_RECORD* disk = pi->disk;
    if (pi->ucFsKind != FS_KIND_EXTENDED) {
        std::uint32_t right = pi->ulRoom > pi->NumSects ? pi->ulRoom - pi->NumSects : 0;
        std::uint64_t end = std::uint64_t{pi->ulStartSect} + pi->NumSects;
        std::uint32_t chs = disk->chsSectors;
        if (chs != 0 && chs != kNoChsLimit && end + right > chs)
            right = end < chs ? static_cast<std::uint32_t>(chs - end) : 0;
        return right;
    }
    const PARTITION_INFO* next = pi->next;
    if (next != nullptr && next->ucFsKind == FS_KIND_EXTENDED_LINK)
        next = next->next;
    if (next == nullptr)
        return pi->ulRoom > disk->sectorsPerTrack ? pi->ulRoom - disk->sectorsPerTrack : 0;
    if (!IsFreeRecord(next))
        return 0;
    std::uint32_t right = next->EndSect() > pi->ulStartSect ? next->EndSect() - pi->ulStartSect : 0;
    bool logicalAfter = next->next != nullptr && IsLogicalRecord(next->next);
    if (!logicalAfter)
        right = right > pi->ulCylSize ? right - pi->ulCylSize : 0;
    return right;
}

} // namespace

kwRet enGetMoveInfo(const PARTITION_INFO* pi, EN_MOVE_INFO* info) {
    if (pi == nullptr || info == nullptr || pi->disk == nullptr)
        return ERR_BAD_ARGUMENT;
    DbgPrintf("\nenGetMoveInfo (%c:)  ...", pi->ucDriveLetter);
    info->size = pi->NumSects;
    info->left = MoveLeft(pi);
    info->right = MoveRight(pi);
    DbgPrintf("\nenGetMoveInfo complete");
    return KW_OK;
}

void PARTITION_LIMITS::Init(PARTITION_INFO* pi, std::uint32_t minimum, std::uint32_t maximum,
                            std::uint32_t size) {
    minimum_ = minimum;
    maximum_ = maximum;
    oldSize_ = size;
    newSize_ = size;
    partition_ = pi;
    start_ = newStart_ = pi != nullptr ? pi->ulStartSect : 0;
}

void PARTITION_LIMITS::AnchorEnd() {
    mode_ = ANCHOR_END;
    std::uint64_t end = std::uint64_t{oldSize_} + start_;
    minimum_ = end > highestStart_ ? static_cast<std::uint32_t>(end - highestStart_) : 0;
    std::uint32_t play = highestStart_ > lowestStart_ ? highestStart_ - lowestStart_ : 0;
    maximum_ = play + minimum_;
}

void PARTITION_LIMITS::SetMoveLimits(std::uint32_t left, std::uint32_t right) {
    oldEnd_ = start_ + oldSize_;
    lowestStart_ = newStart_ > left ? newStart_ - left : 0;
    highestStart_ = newStart_ + right;
}

std::uint32_t PARTITION_LIMITS::ClampSize(std::uint32_t size, bool align) const {
    if (size > maximum_)
        size = maximum_;
    else if (size < minimum_)
        size = minimum_;
    if (!align)
        return size;
    // The nearest cylinder boundary when it lies inside the range, else the
    // one on the inner side; a range without a boundary keeps the size.
    auto inside = [this](std::uint32_t v) { return v >= minimum_ && v <= maximum_; };
    for (std::uint32_t mode : {EN_ALIGN_NEAREST, EN_ALIGN_DOWN, EN_ALIGN_UP}) {
        std::uint32_t v = enGetCylinderBoundary(partition_, size, mode);
        if (inside(v))
            return v;
    }
    return size;
}

void PARTITION_LIMITS::StoreSize(std::uint32_t size) {
    newSize_ = size;
    if (mode_ == ANCHOR_END)
        newStart_ = oldEnd_ - size;
}

void PARTITION_LIMITS::SetSize(std::uint32_t size, bool align) {
    if (partition_ == nullptr) {
        DbgPrintf("PARTITION_LIMITS::SetSize - NULL pi pointer.\n");
        return;
    }
    StoreSize(ClampSize(size, align));
}
