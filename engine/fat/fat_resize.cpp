// FAT_FILESYSTEM::Resize: moves the clusters of given sector runs, shortens
// swap files and changes the volume's size within its limits (the
// cluster-size change does the work, with the cluster size kept or made
// smaller).
#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/fat/fat_ccs.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_limits.h"
#include "engine/fat/fat_runmoves.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

using namespace kw::fat;

namespace {

constexpr uint32_t kMsgChangingStructures = 413;
constexpr uint32_t kSwapKeepBytes = 4096;

bool IsSwapFile(const uint8_t* e) {
    if ((e[FDE_ATTR] & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME)) != 0)
        return false;
    char ext[3];
    for (int i = 0; i < 3; ++i)
        ext[i] = static_cast<char>(std::toupper(e[8 + i]));
    return (std::memcmp(e, "PAGEFILE", 8) == 0 && std::memcmp(ext, "SYS", 3) == 0) ||
           (std::memcmp(e, "WIN386  ", 8) == 0 && std::memcmp(ext, "SWP", 3) == 0);
}

} // namespace

// Swap files keep their first 4096 bytes: the entries first, then the
// clusters behind the kept ones are freed.
static kwRet ShortenSwapFiles(FAT_FILESYSTEM* fs) {
    FAT_DIR_BLOCKS* dirs = nullptr;
    kwRet rc = fs->LoadDirBlocks(nullptr, &dirs);
    if (rc != KW_OK)
        return rc;
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    uint32_t keep = b.sectorsPerCluster >= 8 ? 1 : 8 / b.sectorsPerCluster;
    std::vector<uint32_t> cut; // the last kept cluster of each shortened file
    FAT_DIR_SLOT slot;
    for (bool more = dirs->FirstEntry(&slot); more;) {
        uint8_t* e = slot.entry;
        bool change = IsSwapFile(e) && kwbytes::LoadLe32(e + FDE_SIZE) > kSwapKeepBytes;
        if (change) {
            uint32_t c = kwbytes::LoadLe16(e + FDE_CLUSTER_LOW);
            if (b.IsFat32())
                c |= uint32_t{kwbytes::LoadLe16(e + FDE_CLUSTER_HIGH)} << 16;
            for (uint32_t k = 1; k < keep && b.IsDataCluster(c); ++k)
                c = fs->GetFat()->GetNextCluster(c);
            if (b.IsDataCluster(c))
                cut.push_back(c);
            kwbytes::StoreLe32(e + FDE_SIZE, kSwapKeepBytes);
        }
        more = dirs->NextEntry(&slot, change);
    }
    if (cut.empty())
        return KW_OK;
    if ((rc = dirs->WriteDirectory(false)) != KW_OK)
        return rc;
    FAT_BLOCKS& fat = *fs->GetFat();
    for (uint32_t last : cut) {
        uint32_t c = fat.GetNextCluster(last);
        fat.SetNextCluster(last, FAT_EOC_MARK);
        for (uint32_t steps = 0; b.IsDataCluster(c) && steps <= b.clusterCount; ++steps) {
            uint32_t next = fat.GetNextCluster(c);
            fat.SetNextCluster(c, 0);
            c = next;
        }
    }
    return fs->FlushFat();
}

kwRet FAT_FILESYSTEM::Resize(uint32_t, uint32_t newSize, void* sourceRuns, void* destRuns) {
    auto* sources = static_cast<const SECTOR_RUN*>(sourceRuns);
    auto* destinations = static_cast<const SECTOR_RUN*>(destRuns);
    if (sources != nullptr && destinations == nullptr)
        return ERR_BAD_ARGUMENT;
    Progress progress;
    progress.SetTextId(kMsgChangingStructures);
    progress.SetRange(0, 5);
    kwRet rc = ReReadState();
    if (rc == KW_OK && IsReadOnly())
        rc = ERR_WRITE_PROTECTED;
    if (rc == KW_OK) // damaged chains are refused before anything is written
        rc = PrepareChange();
    if (rc == KW_OK && sources != nullptr) {
        progress.NextRange(25);
        rc = RelinkCopiedRuns(this, sources, destinations);
    }
    if (rc == KW_OK) {
        progress.NextRange(30);
        rc = ShortenSwapFiles(this);
    }
    if (rc == KW_OK) {
        progress.NextRange(100);
        rc = resizeWithinLimits(newSize);
    }
    // Whatever happened, the volume holds what its disk says now.
    if (rc != KW_OK || !initialised_) {
        kwRet rr = ReReadState();
        DbgPrintf("Resize - ends with %lu (volume read again: %lu)\r\n",
                  static_cast<unsigned long>(rc), static_cast<unsigned long>(rr));
    }
    return rc == KW_OK ? progress.Done() : rc;
}

// The size within the volume's limits, the cluster size at most the current
// one and the FAT kind kept.
kwRet FAT_FILESYSTEM::resizeWithinLimits(uint32_t newSize) {
    FAT_LIMITS limits;
    FAT_GEOMETRY_OPTIONS opt;
    opt.align = false;
    kwRet rc = GetGeometryLimits(this, &limits, opt);
    if (rc != KW_OK)
        return rc;
    limits.SetFatType(boot_.fatKind);
    limits.SetSize(newSize, false);
    if (limits.GetClusterSize() > boot_.BytesPerCluster())
        limits.SetClusterSize(boot_.BytesPerCluster());
    // Below the minimum the data does not fit; above the maximum there is
    // no room, or no layout of the cluster size the volume may keep.
    uint32_t low = limits.GetMinSize(), high = limits.GetMaxSize();
    uint32_t lowHere = 0, highHere = 0;
    if (limits.RangeAt(limits.GetFatType(), limits.GetClusterSize(), &lowHere, &highHere)) {
        low = std::max(low, lowHere);
        high = std::min(high, highHere);
    }
    if (newSize < low || newSize > high) {
        DbgPrintf("Resize - %lu sectors is outside the volume's limits\r\n",
                  static_cast<unsigned long>(newSize));
        return newSize < low ? ERR_FAT_NO_SPACE : ERR_RESIZE_TOO_LARGE;
    }
    // The limits keep sizes on the cylinder grid where one lies in range.
    if (limits.GetSize() != newSize)
        DbgPrintf("Resize - %lu sectors taken as %lu\r\n", static_cast<unsigned long>(newSize),
                  static_cast<unsigned long>(limits.GetSize()));
    return ChangeClusterSize(this, &limits, 0);
}
