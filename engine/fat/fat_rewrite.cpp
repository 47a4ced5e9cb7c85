// RewriteCriticalArea: writes a rewrite plan in an order that leaves the old
// or the new volume whole at every write.
#include "engine/fat/fat_rewrite.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"
#include "engine/disk/partition_info.h"
#include "engine/disk/pt_write.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "include/kwbytes.h"

#include <cstring>
#include <memory>
#include <new>

namespace kw::fat {

namespace {

constexpr uint32_t kBatchSectors = 64;
constexpr uint32_t kMsgChangingStructures = 413;

// The normal first bytes of a FAT of a kind: media byte and end marks.
void PutNormalHead(uint8_t kind, uint8_t media, uint8_t* sector) {
    uint32_t n = kind == FAT_KIND_32 ? 8 : kind == FAT_KIND_16 ? 4 : 3;
    std::memset(sector, 0xFF, n);
    sector[0] = media;
    if (kind == FAT_KIND_32) {
        sector[3] = 0x0F;
        sector[7] = 0x0F;
    }
}

// The marks and the partition's saved type where the recovery looks for them.
void PutMarkedHead(uint8_t kind, uint8_t marks, uint8_t type, uint8_t* sector) {
    PutNormalHead(kind, 0xF8, sector);
    sector[0] = marks;
    if (kind == FAT_KIND_32) {
        sector[4] = type;
    } else if (kind == FAT_KIND_16) {
        sector[2] = type;
    } else {
        sector[1] = static_cast<uint8_t>((sector[1] & 0x0F) | (type & 0x0F) << 4);
        sector[2] = static_cast<uint8_t>(type >> 4);
    }
}

// Writes the plan's FAT: whole copies, or the span from the first sector of
// copy 0 to the first sector of the last copy in one write, so that every
// copy's first bytes change together.
class FatWriter {
public:
    FatWriter(FAT_FILESYSTEM* fs, const REWRITE_PLAN& plan, uint8_t marks, uint8_t type)
        : fs_(fs), plan_(plan), marks_(marks), type_(type) {}

    kwRet WriteCopy(uint32_t copy) {
        const FAT_BOOT_RECORD& b = plan_.layout;
        auto buffer =
            std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kBatchSectors * FAT_SECTOR_SIZE]);
        if (!buffer)
            return ERR_NO_MEMORY;
        uint32_t first = b.reservedSectors + copy * b.sectorsPerFat;
        for (uint32_t i = 0; i < b.sectorsPerFat; i += kBatchSectors) {
            uint32_t n = std::min(kBatchSectors, b.sectorsPerFat - i);
            for (uint32_t k = 0; k < n; ++k)
                encode(i + k, buffer.get() + k * FAT_SECTOR_SIZE);
            if (kwRet rc = fs_->WriteSectors(first + i, buffer.get(), n); rc != KW_OK)
                return rc;
        }
        return KW_OK;
    }

    // The first sectors of every copy with normal bytes, in one write.
    kwRet UnmarkAll() {
        const FAT_BOOT_RECORD& b = plan_.layout;
        marks_ = 0;
        uint32_t span = (b.fatCount - 1u) * b.sectorsPerFat + 1;
        auto buffer =
            std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size_t{span} * FAT_SECTOR_SIZE]);
        if (!buffer)
            return ERR_NO_MEMORY;
        for (uint32_t i = 0; i < span; ++i)
            encode(i % b.sectorsPerFat, buffer.get() + size_t{i} * FAT_SECTOR_SIZE);
        return fs_->WriteSectors(b.reservedSectors, buffer.get(), span);
    }

private:
    void encode(uint32_t index, uint8_t* out) const {
        const FAT_BOOT_RECORD& b = plan_.layout;
        EncodeFatSector(b.fatKind, plan_.chains->Entries(), plan_.chains->EntryCount(), index, out);
        if (index != 0)
            return;
        if (marks_ != 0)
            PutMarkedHead(b.fatKind, marks_, type_, out);
        else
            PutNormalHead(b.fatKind, b.media != 0 ? b.media : 0xF8, out);
    }

    FAT_FILESYSTEM* fs_;
    const REWRITE_PLAN& plan_;
    uint8_t marks_;
    uint8_t type_;
};

// Directory copies and the new root, in runs of neighbouring sectors.
kwRet WritePlanSectors(FAT_FILESYSTEM* fs, const REWRITE_PLAN& plan) {
    auto buffer =
        std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kBatchSectors * FAT_SECTOR_SIZE]);
    if (!buffer)
        return ERR_NO_MEMORY;
    auto it = plan.sectors.begin();
    while (it != plan.sectors.end()) {
        uint32_t first = it->first, n = 0;
        while (it != plan.sectors.end() && it->first == first + n && n < kBatchSectors) {
            std::memcpy(buffer.get() + n * FAT_SECTOR_SIZE, it->second.data(), FAT_SECTOR_SIZE);
            ++n;
            ++it;
        }
        if (kwRet rc = fs->WriteSectors(first, buffer.get(), n); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// FAT32: FSInfo, the backup boot sector and the backup FSInfo.
kwRet WriteFat32Records(FAT_FILESYSTEM* fs, const REWRITE_PLAN& plan, const uint8_t* boot) {
    const FAT_BOOT_RECORD& b = plan.layout;
    uint8_t info[FAT_SECTOR_SIZE] = {};
    uint32_t free = 0;
    for (uint32_t c = 2; c <= b.LastCluster(); ++c)
        free += plan.chains->Entries()[c] == 0 ? 1 : 0;
    kwbytes::StoreLe32(info + FSI_LEAD_SIGNATURE, FSI_LEAD_VALUE);
    kwbytes::StoreLe32(info + FSI_STRUCT_SIGNATURE, FSI_STRUCT_VALUE);
    kwbytes::StoreLe32(info + FSI_FREE_COUNT, free);
    kwbytes::StoreLe32(info + FSI_NEXT_FREE, 0xFFFFFFFF);
    kwbytes::StoreLe32(info + FSI_TRAIL_SIGNATURE, 0xAA550000);
    kwRet rc = fs->WriteSectors(b.fsInfoSector, info, 1);
    if (rc == KW_OK)
        rc = fs->WriteSectors(b.backupBootSector, boot, 1);
    if (rc == KW_OK)
        rc = fs->WriteSectors(b.backupBootSector + 1u, info, 1);
    return rc;
}

kwRet Flush(FAT_FILESYSTEM* fs) {
    PARTITION_INFO* pi = fs->GetPI();
    return pi != nullptr && pi->disk != nullptr ? phyFlush(pi->disk) : KW_OK;
}

bool HasTableEntry(const PARTITION_INFO* pi) {
    return pi != nullptr && pi->ucEntryIndex != PI_NO_ENTRY;
}

} // namespace

bool PastBiosLimit(const PARTITION_INFO* pi) {
    const DISK_RECORD* disk = pi != nullptr ? pi->disk : nullptr;
    return disk != nullptr && disk->chsLimit != 0 && pi->EndSect() > disk->chsLimit &&
           (pi->ulFlags & PI_LOGICAL) == 0;
}

kwRet RewriteCriticalArea(FAT_FILESYSTEM* fs, const FAT_BOOT_RECORD& newLayout,
                          const SECT_LIST* badSectors) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    if (fs->IsReadOnly())
        return ERR_WRITE_PROTECTED;
    // No cancel once it runs: a half-done rewrite is for the recovery only.
    auto progress = std::unique_ptr<Progress>(new Progress);
    auto plan = std::make_unique<REWRITE_PLAN>();
    if (progress == nullptr || plan == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = progress->DisallowCancel();
    if (rc != KW_OK)
        return rc;
    progress->SetTextId(kMsgChangingStructures);
    rc = PlanRewrite(fs, newLayout, plan.get(), badSectors);
    if (rc != KW_OK)
        return rc;
    progress->Update(50);
    PARTITION_INFO* pi = fs->GetPI();
    uint8_t type = pi != nullptr ? pi->ucPartType : 0;
    uint8_t newType = FatPartitionType(plan->layout, type, PastBiosLimit(pi));
    uint8_t boot[FAT_SECTOR_SIZE];
    rc = fs->ReadSectors(0, boot, 1);
    if (rc != KW_OK)
        return rc;
    StoreBootRecord(plan->layout, boot);
    // New structures, where the old volume keeps nothing; then the boot
    // sector switches to them in one write. When the partition's type must
    // change as well, the new FATs carry the marks from the start and the
    // entry has type 3Ch from before the switch until after the marks are
    // off, so that the recovery of the next scan gives the entry its type.
    bool protect = HasTableEntry(pi) && newType != type;
    FatWriter fats(fs, *plan, protect ? FAT_MARK_COPIES_OUT_OF_STEP : 0, newType);
    for (uint32_t copy = 0; rc == KW_OK && copy < plan->layout.fatCount; ++copy)
        rc = fats.WriteCopy(copy);
    if (rc == KW_OK)
        rc = WritePlanSectors(fs, *plan);
    if (rc == KW_OK && plan->layout.IsFat32())
        rc = WriteFat32Records(fs, *plan, boot);
    if (rc == KW_OK)
        rc = Flush(fs);
    if (rc == KW_OK && protect) {
        rc = SetPartitionType(pi, 0x3C, FS_KIND_TYPE_3C);
        if (rc == KW_OK)
            rc = Flush(fs);
    }
    // The switch.
    if (rc == KW_OK)
        rc = fs->WriteSectors(0, boot, 1);
    if (rc == KW_OK)
        rc = Flush(fs);
    // The new volume is live: the marks off, then its type.
    if (rc == KW_OK && protect) {
        rc = fats.UnmarkAll();
        if (rc == KW_OK)
            rc = Flush(fs);
        if (rc == KW_OK)
            rc =
                SetPartitionType(pi, newType, plan->layout.IsFat32() ? FS_KIND_FAT32 : FS_KIND_FAT);
        if (rc == KW_OK)
            rc = Flush(fs);
    }
    if (rc != KW_OK) {
        DbgPrintf("Write error in critical area\r\n");
        return rc;
    }
    rc = fs->Init();
    return rc != KW_OK ? rc : progress->Done();
}

} // namespace kw::fat
