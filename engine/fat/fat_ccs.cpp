// ChangeClusterSize: placement of the data, the rewrite of the critical
// area and the partition's new size, in a crash-safe order.
#include "engine/fat/fat_ccs.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/core/sectlist.h"
#include "engine/disk/disk_probes.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/disk/pt_write.h"
#include "engine/fat/fat_align.h"
#include "engine/fat/fat_bootcode.h"
#include "engine/fat/fat_ea.h"
#include "engine/fat/fat_evacuate.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_limits.h"
#include "engine/fat/fat_rewrite.h"

#include <algorithm>
#include <cstring>

namespace kw::fat {

namespace {

constexpr uint32_t kMsgAdjustingEas = 411;
constexpr uint32_t kMsgClearingTruncated = 421;
constexpr const char* kEaFile = "EA DATA. SF";
// A plain 8.3 name, so that the copy has no long name to lose when its
// entry takes the attribute file's own (which has blanks inside).
constexpr const char* kEaTemp = "EADATA.TMP";
constexpr char kEaShortName[] = "EA DATA  SF";

// The stages of a change: only the first may still be undone.
enum class Stage { NothingCommitted = 4, Critical = 3, DoneWithLetter = 2, DoneNoLetter = 1 };

// One change: owns the new layout, the bad-sector list of the added sectors
// and what must be undone or cleaned up on the way out.
class ClusterSizeChange {
public:
    ClusterSizeChange(FAT_FILESYSTEM* fs, FAT_LIMITS* limits, uint32_t mode)
        : fs_(fs), limits_(limits), mode_(mode), pi_(fs->GetPI()) {}

    kwRet Run();

private:
    kwRet plan();
    kwRet layout();
    kwRet checkNewSystemArea() const;
    kwRet growPartition();
    kwRet prepareEas();
    kwRet placeData();
    kwRet evacuateUncovered(bool* moved);
    bool covers(uint32_t cluster) const;
    kwRet finishEas();
    kwRet nameEaCopy();
    kwRet finish();
    kwRet settleType();
    kwRet cleanUp(kwRet rc);

    FAT_FILESYSTEM* fs_;
    FAT_LIMITS* limits_;
    uint32_t mode_;
    PARTITION_INFO* pi_;
    FAT_BOOT_RECORD old_;
    FAT_BOOT_RECORD new_;
    BAD_SECT_LIST bad_;
    Stage stage_ = Stage::NothingCommitted;
    uint32_t oldSize_ = 0;
    uint32_t newSize_ = 0;       // of the volume
    uint32_t partitionSize_ = 0; // at the end
    uint32_t newSpc_ = 0;
    uint32_t phase_ = 0;
    uint32_t rootEntries_ = 0;
    bool fat32_ = false;
    bool grown_ = false;
    bool eas_ = false;
};

kwRet ClusterSizeChange::plan() {
    old_ = *fs_->GetBootRecord();
    oldSize_ = pi_ != nullptr ? pi_->NumSects : old_.totalSectors;
    newSize_ = limits_->GetSize();
    // Limits measure the volume: a size they leave as it was keeps the
    // partition's (which may hold some sectors past the volume's end).
    partitionSize_ = newSize_ == old_.totalSectors ? oldSize_ : newSize_;
    newSpc_ = limits_->GetClusterSize() / old_.bytesPerSector;
    fat32_ = limits_->GetFatType() == FAT_KIND_32;
    if (newSpc_ == 0 || newSize_ == 0 || (newSpc_ & (newSpc_ - 1)) != 0 || newSpc_ > 128)
        return ERR_FAT_INVALID_PARAMETERS;
    phase_ = old_.sectorsPerCluster < newSpc_ ? ChooseAlignmentShift(fs_, newSpc_) : 0;
    rootEntries_ = fat32_ ? 0 : std::max<uint32_t>(limits_->GetRootEntries(), 512);
    return layout();
}

// The new layout (laid after the old system area and the clusters in use
// right behind it, so it is laid again once they moved).
kwRet ClusterSizeChange::layout() {
    kwRet rc = LayoutAfter(fs_, newSize_, newSpc_, fat32_, rootEntries_, &new_, phase_);
    if (rc == KW_OK && new_.IsFat32() == fat32_)
        return KW_OK;
    DbgPrintf("ChangeClusterSize - no layout of %lu sectors (%lu)\r\n",
              static_cast<unsigned long>(newSize_), static_cast<unsigned long>(rc));
    return ERR_FAT_INVALID_PARAMETERS;
}

// A bad cluster where the new system area goes cannot be moved away.
kwRet ClusterSizeChange::checkNewSystemArea() const {
    const FAT_BLOCKS& fat = *fs_->GetFat();
    for (uint32_t c = 2; c <= old_.LastCluster(); ++c) {
        if (old_.ClusterToSector(c) >= new_.FirstDataSector())
            break;
        if (fat.GetNextCluster(c) == FAT_BAD)
            return ERR_BAD_SECTOR_IN_FS;
    }
    return KW_OK;
}

kwRet ClusterSizeChange::growPartition() {
    if (pi_ == nullptr || partitionSize_ <= pi_->NumSects)
        return KW_OK;
    kwRet rc = ResizePartition(pi_, partitionSize_);
    if (rc != KW_OK)
        return rc;
    grown_ = true;
    if ((mode_ & CCS_TEST_ADDED_SECTORS) == 0)
        return KW_OK;
    uint32_t added = partitionSize_ - oldSize_;
    rc = bad_.TestSects(fs_->GetHandle(), oldSize_, added, 0, added);
    return rc;
}

// The extended-attribute file is re-laid in a copy that takes its place
// after the rewrite.
kwRet ClusterSizeChange::prepareEas() {
    if (old_.sectorsPerCluster == newSpc_ || fat32_)
        return KW_OK;
    FAT_FOUND found;
    if (fs_->FindPath(kEaFile, 0, &found) != KW_OK)
        return KW_OK;
    Progress sub;
    sub.SetTextId(kMsgAdjustingEas);
    kwRet rc = fs_->FileCopy(kEaFile, kEaTemp, 0);
    if (rc == ERR_FILE_EXISTS) {
        rc = fs_->FileDelete(kEaTemp, 0);
        if (rc == KW_OK)
            rc = fs_->FileCopy(kEaFile, kEaTemp, 0);
    }
    if (rc == ERR_FILE_NOT_FOUND)
        return KW_OK;
    if (rc != KW_OK)
        return rc;
    eas_ = true;
    return ConvertEaFile(fs_, kEaTemp, newSpc_);
}

bool ClusterSizeChange::covers(uint32_t cluster) const {
    uint64_t first = old_.ClusterToSector(cluster);
    uint64_t end = uint64_t{new_.FirstDataSector()} + uint64_t{new_.clusterCount} * newSpc_;
    return first >= new_.FirstDataSector() && first + old_.sectorsPerCluster <= end;
}

// Old clusters the new layout does not cover move into ones it does.
kwRet ClusterSizeChange::evacuateUncovered(bool* moved) {
    *moved = false;
    STATE_MAP vacate;
    if (vacate.Create(old_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    const FAT_BLOCKS& fat = *fs_->GetFat();
    for (uint32_t c = 2; c <= old_.LastCluster(); ++c) {
        if (covers(c))
            continue;
        vacate.SetBit(c);
        uint32_t v = fat.GetNextCluster(c);
        *moved = *moved || (v != 0 && v != FAT_BAD);
    }
    if (!*moved)
        return KW_OK;
    Progress progress;
    progress.SetTextId(kMsgClearingTruncated);
    return EvacuateClusters(fs_, vacate);
}

kwRet ClusterSizeChange::placeData() {
    if (old_.sectorsPerCluster < newSpc_) {
        uint32_t root = old_.rootCluster;
        uint32_t end = new_.FirstDataSector() + new_.clusterCount * newSpc_;
        kwRet rc = AlignClusters(fs_, newSpc_, phase_, new_.FirstDataSector(), end, &root);
        return rc == KW_OK ? layout() : rc;
    }
    // Each pass can only lower the new data start (fewer clusters in use
    // behind the old system area), so a few passes settle it.
    for (int pass = 0; pass < 4; ++pass) {
        bool moved = false;
        kwRet rc = evacuateUncovered(&moved);
        if (rc == KW_OK)
            rc = fs_->ReReadState();
        if (rc != KW_OK || !moved)
            return rc;
        old_ = *fs_->GetBootRecord();
        if ((rc = layout()) != KW_OK)
            return rc;
    }
    return ERR_FAT_NO_SPACE;
}

kwRet ClusterSizeChange::finishEas() {
    if (!eas_)
        return KW_OK;
    kwRet rc = TrimEaFile(fs_, kEaTemp);
    if (rc == KW_OK)
        rc = fs_->FileDelete(kEaFile, 0);
    if (rc == KW_OK)
        rc = nameEaCopy();
    if (rc == KW_OK)
        eas_ = false;
    return rc;
}

// The copy's entry takes the attribute file's short name as it is, blanks
// and all (a rename would give it a long name and another short one).
kwRet ClusterSizeChange::nameEaCopy() {
    FAT_FOUND found;
    kwRet rc = fs_->FindPath(kEaTemp, 0, &found);
    uint8_t sector[FAT_SECTOR_SIZE];
    if (rc == KW_OK)
        rc = fs_->ReadSectors(found.entrySector, sector, 1);
    if (rc != KW_OK)
        return rc;
    uint32_t at = found.entryIndex % (FAT_SECTOR_SIZE / FAT_DIR_ENTRY_SIZE) * FAT_DIR_ENTRY_SIZE;
    std::memcpy(sector + at, kEaShortName, 11);
    rc = fs_->WriteSectors(found.entrySector, sector, 1);
    if (rc == KW_OK && pi_ != nullptr && pi_->disk != nullptr)
        rc = phyFlush(pi_->disk);
    fs_->ForgetFolders();
    return rc;
}

kwRet ClusterSizeChange::finish() {
    kwRet rc = KW_OK;
    if (pi_ != nullptr && partitionSize_ < pi_->NumSects)
        rc = ResizePartition(pi_, partitionSize_);
    if (rc == KW_OK)
        rc = fs_->ReReadState();
    if (rc == KW_OK)
        rc = settleType();
    if (rc == KW_OK)
        rc = UpdateBootSectorFiles(fs_);
    if (rc != KW_OK || pi_ == nullptr)
        return rc;
    uint32_t changed = 0;
    rc = NotifyPartitionResized(KW_OP_UNSAFE, pi_, &changed, oldSize_, partitionSize_);
    stage_ = changed != 0 ? Stage::DoneWithLetter : Stage::DoneNoLetter;
    const FAT_BOOT_RECORD& b = *fs_->GetBootRecord();
    uint32_t freeSectors = fs_->GetFat()->CountFreeClusters() * b.sectorsPerCluster;
    pi_->ulFreeSects = freeSectors;
    pi_->ulUsedSects = pi_->NumSects > freeSectors ? pi_->NumSects - freeSectors : 0;
    return rc;
}

// The entry's type for the volume as it now lies in the partition (its end
// may have crossed the BIOS limit): one write of the table entry.
kwRet ClusterSizeChange::settleType() {
    if (pi_ == nullptr || pi_->ucEntryIndex == PI_NO_ENTRY || pi_->disk == nullptr)
        return KW_OK;
    const FAT_BOOT_RECORD& b = *fs_->GetBootRecord();
    uint8_t type = FatPartitionType(b, pi_->ucPartType, PastBiosLimit(pi_));
    if (type == pi_->ucPartType)
        return KW_OK;
    kwRet rc = SetPartitionType(pi_, type, b.IsFat32() ? FS_KIND_FAT32 : FS_KIND_FAT);
    return rc == KW_OK ? phyFlush(pi_->disk) : rc;
}

kwRet ClusterSizeChange::cleanUp(kwRet rc) {
    if (rc != KW_OK && stage_ == Stage::NothingCommitted && grown_) {
        if (ResizePartition(pi_, oldSize_) != KW_OK)
            DbgPrintf("ChangeClusterSize - the partition keeps its new size\r\n");
    }
    if (eas_ && fs_->FileDelete(kEaTemp, 0) != KW_OK)
        DbgPrintf("ChangeClusterSize - temporary EA copy left\r\n");
    if (fs_->GetBootRecord() == nullptr || rc != KW_OK)
        fs_->ReReadState();
    if (pi_ != nullptr && (pi_->ulFlags & (PI_ACTIVE | PI_LOGICAL)) == PI_ACTIVE)
        kwRequestRestart(0);
    fs_->SetMoveMap(nullptr);
    return rc;
}

kwRet ClusterSizeChange::Run() {
    Progress progress;
    // A volume whose chains are damaged is refused before anything moves.
    kwRet rc = fs_->PrepareChange();
    if (rc == KW_OK)
        rc = plan();
    if (rc == KW_OK)
        rc = checkNewSystemArea();
    if (rc == KW_OK)
        rc = growPartition();
    if (rc == KW_OK)
        rc = prepareEas();
    if (rc == KW_OK)
        rc = placeData();
    if (rc == KW_OK)
        rc = checkNewSystemArea();
    if (rc == KW_OK) {
        DbgPrintf("Changing the cluster size from %d to %d sectors per cluster\r\n",
                  old_.sectorsPerCluster, newSpc_);
        stage_ = Stage::Critical;
        rc = fs_->FlushState();
    }
    if (rc == KW_OK)
        rc = RewriteCriticalArea(fs_, new_, bad_.GetCount() != 0 ? &bad_ : nullptr);
    if (rc == KW_OK)
        rc = finishEas();
    if (rc == KW_OK)
        rc = finish();
    if (rc == KW_OK)
        rc = progress.Done();
    return cleanUp(rc);
}

} // namespace

kwRet ChangeClusterSize(FAT_FILESYSTEM* fs, FAT_LIMITS* limits, uint32_t mode) {
    if (fs == nullptr || limits == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    if (fs->IsReadOnly())
        return ERR_WRITE_PROTECTED;
    ClusterSizeChange change(fs, limits, mode);
    return change.Run();
}

} // namespace kw::fat
