// FAT_LIMITS: choosing a size, cluster size, FAT kind and root-entry count
// within the measured tables.
#include "engine/fat/fat_limits.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/fs_kinds.h"
#include "engine/disk/partition_info.h"

#include <algorithm>
#include <iterator>

namespace kw::fat {

namespace {

constexpr uint8_t kFat1216 = 2;
constexpr uint8_t kFat32 = 3;

} // namespace

kwRet FAT_LIMITS::Init(const FAT_LIMIT_TABLES* tables, const FAT_LIMITS_VOLUME& v,
                       PARTITION_INFO* pi) {
    if (tables == nullptr || pi == nullptr || v.bytesPerSector < 32)
        return ERR_BAD_ARGUMENT;
    tables_ = *tables;
    bytesPerSector_ = v.bytesPerSector;
    rootEntriesInUse_ = v.rootEntriesInUse;
    oldClusterBytes_ = v.sectorsPerCluster * v.bytesPerSector;
    if (!v.largeClusters && oldClusterBytes_ < 65536) {
        tables_.fatMin[7] = tables_.fatMax[7] = 0;
        tables_.fat32Min[7] = tables_.fat32Max[7] = 0;
    }
    bool fat32 = pi->ucFsKind == FS_KIND_FAT32;
    const uint32_t* mins = fat32 ? tables_.fat32Min : tables_.fatMin;
    const uint32_t* maxs = fat32 ? tables_.fat32Max : tables_.fatMax;
    uint32_t minimum = 0, maximum = 0;
    for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
        if (mins[i] != 0 && (minimum == 0 || mins[i] < minimum))
            minimum = mins[i];
        maximum = std::max(maximum, maxs[i]);
    }
    uint32_t room = pi->ulRoom != 0 ? pi->ulRoom : pi->NumSects;
    if (v.cap && room < maximum)
        maximum = room;
    PARTITION_LIMITS::Init(pi, minimum, maximum, v.size);
    uint8_t type = fat32                                                ? kFat32
                   : (pi->ucPartType == 0x01 || pi->ucPartType == 0x11) ? 1
                                                                        : kFat1216;
    oldFatType_ = fatType_ = requestedFatType_ = type;
    ApplyClusterSize(oldClusterBytes_);
    oldRootEntries_ = rootEntries_ = v.rootEntries;
    requestedSize_ = v.size;
    preferredClusterBytes_ = GetSmallestClusterSize();
    requestedRootEntries_ = GetMinRootEntries();
    firstDataSector_ = v.firstDataSector;
    reservedSectors_ = type == kFat32 ? 1 : v.reservedSectors;
    return KW_OK;
}

uint32_t FAT_LIMITS::ClusterSizeIndex(uint32_t bytes) const {
    for (uint32_t i = 0; i <= kClusterSizeSlots; ++i)
        if (uint64_t{bytesPerSector_} << i == bytes)
            return i;
    return kNoClusterSlot;
}

bool FAT_LIMITS::RangeAt(uint8_t type, uint32_t bytes, uint32_t* minimum, uint32_t* maximum) const {
    uint32_t i = ClusterSizeIndex(bytes);
    if (i >= kClusterSizeSlots)
        return false;
    bool fat32 = type == kFat32;
    *minimum = fat32 ? tables_.fat32Min[i] : tables_.fatMin[i];
    *maximum = fat32 ? tables_.fat32Max[i] : tables_.fatMax[i];
    return *minimum != 0 && *maximum != 0;
}

bool FAT_LIMITS::Holds(uint8_t type, uint32_t bytes, uint32_t size) const {
    uint32_t lo = 0, hi = 0;
    return RangeAt(type, bytes, &lo, &hi) && size >= lo && size <= hi && size >= minimum_ &&
           size <= maximum_;
}

uint32_t FAT_LIMITS::RootEntriesAtLeast(uint32_t floor) const {
    if (rootEntriesInUse_ <= floor)
        return floor;
    uint32_t step = bytesPerSector_ / 32;
    return (rootEntriesInUse_ + step - 1) / step * step;
}

uint32_t FAT_LIMITS::GetRootEntryStep() const {
    bool same = clusterBytes_ == oldClusterBytes_ && newSize_ == oldSize_;
    return same ? clusterBytes_ / 32 : bytesPerSector_ / 32;
}

void FAT_LIMITS::SetRootEntries(uint32_t n) {
    if (GetRootEntryStep() < 512 && n >= GetMinRootEntries() && n <= GetMaxRootEntries())
        rootEntries_ = n;
    uint32_t step = bytesPerSector_ / 32;
    rootEntries_ = (rootEntries_ + step - 1) / step * step;
    requestedRootEntries_ = n;
}

uint32_t FAT_LIMITS::AlignInside(uint32_t size, uint32_t low, uint32_t high) const {
    for (uint32_t mode : {EN_ALIGN_NEAREST, EN_ALIGN_DOWN, EN_ALIGN_UP}) {
        uint32_t v = enGetCylinderBoundary(partition_, size, mode);
        if (v >= low && v <= high)
            return v;
    }
    return size;
}

void FAT_LIMITS::ApplySize(uint32_t size) {
    PARTITION_LIMITS::SetSize(size, true);
    SetRootEntries(GetMinRootEntries());
}

void FAT_LIMITS::ApplyClusterSize(uint32_t bytes) {
    clusterBytes_ = bytes;
    clusterIndex_ = ClusterSizeIndex(bytes);
    SetRootEntries(GetMinRootEntries());
}

bool FAT_LIMITS::TypeRange(uint8_t type, uint32_t* minimum, uint32_t* maximum) const {
    const uint32_t* mins = type == kFat32 ? tables_.fat32Min : tables_.fatMin;
    const uint32_t* maxs = type == kFat32 ? tables_.fat32Max : tables_.fatMax;
    *minimum = *maximum = 0;
    for (uint32_t i = 0; i < kClusterSizeSlots; ++i) {
        if (mins[i] != 0 && (*minimum == 0 || mins[i] < *minimum))
            *minimum = mins[i];
        *maximum = std::max(*maximum, maxs[i]);
    }
    return *minimum != 0 && *maximum != 0;
}

// The first cluster size of the list whose range holds the new size becomes
// the cluster size; false when none does.
bool FAT_LIMITS::FirstHolding(uint8_t type, const uint32_t* sizes, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t bytes = sizes[k] / 512 * bytesPerSector_;
        if (Holds(type, bytes, newSize_)) {
            ApplyClusterSize(bytes);
            return true;
        }
    }
    return false;
}

void FAT_LIMITS::SetSize(uint32_t size, bool align) {
    if (partition_ == nullptr) {
        DbgPrintf("FAT_LIMITS::SetSize - NULL pi pointer.\n");
        return;
    }
    size = ClampSize(size, align);
    ApplySize(size);
    requestedSize_ = newSize_;
    ApplyClusterSize(preferredClusterBytes_);
    fatType_ = requestedFatType_;
    SetRootEntries(GetMinRootEntries());
    if (Holds(fatType_, clusterBytes_, newSize_)) {
        ApplySize(newSize_);
        return;
    }
    if (fatType_ == kFat32) {
        static const uint32_t kOrder[] = {4096, 8192, 16384, 32768};
        FirstHolding(kFat32, kOrder, std::size(kOrder));
        return;
    }
    static const uint32_t kOrder[] = {2048, 4096, 8192, 16384, 32768, 65536, 512, 1024};
    if (FirstHolding(kFat1216, kOrder, std::size(kOrder)))
        fatType_ = kFat1216;
}

void FAT_LIMITS::SetClusterSize(uint32_t bytes) {
    uint32_t before = clusterBytes_;
    ApplyClusterSize(bytes);
    preferredClusterBytes_ = bytes;
    ApplySize(requestedSize_);
    fatType_ = requestedFatType_;
    SetRootEntries(GetMinRootEntries());
    uint32_t lo = 0, hi = 0;
    if (Holds(fatType_, bytes, newSize_))
        return;
    if (RangeAt(fatType_, bytes, &lo, &hi)) {
        // Into this cluster size's range, and inside the overall limits.
        lo = std::max(lo, minimum_);
        hi = std::min(hi, maximum_);
        if (lo <= hi) {
            uint32_t size = std::clamp(newSize_, lo, hi);
            StoreSize(AlignInside(size, lo, hi));
            SetRootEntries(GetMinRootEntries());
            return;
        }
    }
    ApplyClusterSize(before);
    preferredClusterBytes_ = before;
}

void FAT_LIMITS::SetFatType(uint8_t type) {
    uint8_t before = fatType_;
    uint32_t lo = 0, hi = 0;
    if (!TypeRange(type, &lo, &hi)) {
        // No layout of that kind at any cluster size: nothing changes.
        return;
    }
    fatType_ = requestedFatType_ = type;
    ApplySize(requestedSize_);
    ApplyClusterSize(preferredClusterBytes_);
    lo = std::max(lo, minimum_);
    hi = std::min(hi, maximum_);
    if (lo <= hi && (newSize_ < lo || newSize_ > hi))
        StoreSize(AlignInside(std::clamp(newSize_, lo, hi), lo, hi));
    if (Holds(type, clusterBytes_, newSize_))
        return;
    static const uint32_t k1216[] = {2048, 4096, 8192, 16384, 32768, 65536};
    static const uint32_t k32[] = {4096, 8192, 16384, 32768, 2048};
    bool found = type == kFat32 ? FirstHolding(type, k32, std::size(k32))
                                : FirstHolding(type, k1216, std::size(k1216));
    if (!found)
        fatType_ = requestedFatType_ = before;
}

uint32_t FAT_LIMITS::GetSmallestClusterSize() const {
    for (uint32_t c = 512; c <= 16384; c *= 2) {
        uint32_t bytes = c / 512 * bytesPerSector_;
        uint32_t lo = 0, hi = 0;
        if (bytes == clusterBytes_ || RangeAt(fatType_, bytes, &lo, &hi))
            return bytes;
    }
    return clusterBytes_;
}

bool FAT_LIMITS::IsChanged() const {
    return newSize_ != oldSize_ || fatType_ != oldFatType_ || rootEntries_ != oldRootEntries_ ||
           clusterBytes_ != oldClusterBytes_;
}

} // namespace kw::fat
