#include "engine/fat/fat_ea_file.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_ea.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>

namespace kw::fat {

namespace {

constexpr uint32_t kBaseOffset = 32;
constexpr uint16_t kUnused = 0xFFFF;
constexpr uint32_t kMaxRegionBytes = 1u << 20; // far more than 239 groups of handles need

kwRet Corrupt(const char* what, uint32_t value) {
    DbgPrintf("EA file: %s (%u)\n", what, value);
    return ERR_FAT_EA_CORRUPT;
}

} // namespace

kwRet FlushVolume(FAT_FILESYSTEM* fs) {
    PARTITION_INFO* pi = fs->GetPI();
    return pi != nullptr && pi->disk != nullptr ? phyFlush(pi->disk) : KW_OK;
}

EA_FILE::EA_FILE(FAT_FILESYSTEM* fs) : fs_(fs) {}

EA_FILE::~EA_FILE() {
    delete handle_;
}

uint32_t EA_FILE::Base(uint32_t group) const {
    return kwbytes::LoadLe16(region_.data() + kBaseOffset + 2 * group);
}

kwRet EA_FILE::Read(const char* name) {
    // The folders go to the disk and out of the cache: the entry is written
    // straight to its sector at the end.
    kwRet rc = fs_->PrepareChange();
    fs_->DropDirBlocks();
    if (rc == KW_OK)
        rc = fs_->OpenFile(name, &handle_, 0);
    if (rc != KW_OK)
        return rc;
    if (!handle_->IsFile())
        return Corrupt("not a file", handle_->GetAttribute());
    rc = readChain();
    if (rc == KW_OK)
        rc = readRegion();
    return rc == KW_OK ? locate() : rc;
}

kwRet EA_FILE::readChain() {
    const FAT_BOOT_RECORD& b = *fs_->GetBootRecord();
    const FAT_BLOCKS* fat = fs_->GetFat();
    uint32_t c = handle_->FirstCluster();
    while (c != 0) {
        uint32_t v = b.IsDataCluster(c) ? fat->GetNextCluster(c) : 0;
        if (v == 0 || v == FAT_BAD || chain_.size() > b.clusterCount) {
            DbgPrintf("EA file: the chain breaks at cluster %u\n", c);
            return ERR_FAT_INVALID_ENTRIES;
        }
        chain_.push_back(c);
        c = v >= FAT_EOC ? 0 : v;
    }
    return chain_.empty() ? Corrupt("no clusters", 0) : KW_OK;
}

kwRet EA_FILE::readRegion() {
    const FAT_BOOT_RECORD& b = *fs_->GetBootRecord();
    region_.resize(FAT_SECTOR_SIZE);
    kwRet rc = fs_->ReadSectors(b.ClusterToSector(chain_[0]), region_.data(), 1);
    if (rc != KW_OK)
        return rc;
    uint32_t base0 = Base(0);
    if (base0 == 0 || base0 > chain_.size() || base0 * b.BytesPerCluster() > kMaxRegionBytes)
        return Corrupt("header and table clusters", base0);
    region_.resize(size_t{base0} * b.BytesPerCluster());
    for (uint32_t i = 0; i < base0; ++i) {
        rc =
            fs_->ReadSectors(b.ClusterToSector(chain_[i]),
                             region_.data() + size_t{i} * b.BytesPerCluster(), b.sectorsPerCluster);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet EA_FILE::locate() {
    return EaLocateHandles(region_, static_cast<uint32_t>(chain_.size()), &handles_);
}

kwRet EaLocateHandles(std::span<const uint8_t> region, uint32_t clusters,
                      std::vector<EA_HANDLE>* handles) {
    handles->clear();
    if (region.size() < FAT_SECTOR_SIZE)
        return Corrupt("header", static_cast<uint32_t>(region.size()));
    auto base = [&](uint32_t g) { return kwbytes::LoadLe16(region.data() + kBaseOffset + 2 * g); };
    uint32_t base0 = base(0), total = base(EA_TOTAL);
    if (base0 == 0 || base0 > clusters)
        return Corrupt("header and table clusters", base0);
    if (total < base0 || total > clusters)
        return Corrupt("total clusters", total);
    uint32_t entries = static_cast<uint32_t>((region.size() - FAT_SECTOR_SIZE) / 2);
    entries = std::min(entries, EA_TOTAL * EA_GROUP_HANDLES);
    const uint8_t* table = region.data() + FAT_SECTOR_SIZE;
    uint32_t previous = base0;
    for (uint32_t h = 0; h < entries; ++h) {
        uint16_t entry = kwbytes::LoadLe16(table + 2 * h);
        if (entry == kUnused)
            continue;
        uint32_t at = base(h / EA_GROUP_HANDLES) + entry;
        if (at < previous || at > total) {
            handles->clear();
            return Corrupt("handle location", at);
        }
        if (!handles->empty())
            handles->back().allotment = at - handles->back().location;
        handles->push_back(EA_HANDLE{h, at, total - at});
        previous = at;
    }
    return KW_OK;
}

kwRet EA_FILE::SetLocations(const std::vector<int64_t>& bases,
                            const std::vector<EA_HANDLE>& handles) {
    auto check = [](int64_t v, int64_t limit) {
        return v < 0 ? ERR_FAT_EA_CORRUPT : v > limit ? ERR_FAT_INVALID_PARAMETERS : KW_OK;
    };
    if (bases.size() != EA_BASES || handles.size() != handles_.size())
        return ERR_BAD_ARGUMENT;
    for (int64_t v : bases)
        if (kwRet rc = check(v, 0xFFFF); rc != KW_OK)
            return rc;
    for (const EA_HANDLE& h : handles)
        if (kwRet rc = check(int64_t{h.location} - bases[h.handle / EA_GROUP_HANDLES], 0xFFFE);
            rc != KW_OK)
            return rc;
    for (uint32_t g = 0; g < EA_BASES; ++g)
        kwbytes::StoreLe16(region_.data() + kBaseOffset + 2 * g, static_cast<uint16_t>(bases[g]));
    uint8_t* table = region_.data() + FAT_SECTOR_SIZE;
    for (const EA_HANDLE& h : handles)
        kwbytes::StoreLe16(table + 2 * h.handle,
                           static_cast<uint16_t>(h.location - bases[h.handle / EA_GROUP_HANDLES]));
    return KW_OK;
}

kwRet EA_FILE::Write(const std::vector<uint32_t>& chain) {
    const FAT_BOOT_RECORD& b = *fs_->GetBootRecord();
    size_t clusters = region_.size() / b.BytesPerCluster();
    if (chain.size() < clusters)
        return ERR_FAT_BAD_CLUSTER; // the chain ends before the table does
    uint64_t size = uint64_t{chain.size()} * b.BytesPerCluster();
    if (size > UINT32_MAX)
        return ERR_FAT_INVALID_PARAMETERS;
    for (size_t i = 0; i < clusters; ++i) {
        kwRet rc = fs_->WriteSectors(b.ClusterToSector(chain[i]),
                                     region_.data() + i * b.BytesPerCluster(), b.sectorsPerCluster);
        if (rc != KW_OK)
            return rc;
    }
    kwRet rc = FlushVolume(fs_);
    if (rc != KW_OK)
        return rc;
    chain_ = chain;
    handle_->SetSize(static_cast<uint32_t>(size));
    handle_->entryChanged = true;
    return fs_->CommitFile(handle_);
}

} // namespace kw::fat
