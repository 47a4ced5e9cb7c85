// PlanRewrite: the new FAT, the directory copies and the new root of a
// rewrite, built in memory from the volume's tree.
#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_rewrite.h"
#include "engine/fat/fat_root_ops.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kw::fat {

namespace {

constexpr uint8_t kLongNameAttr = 0x0F;

// One directory of the old tree and where its copy goes.
struct DirCopy {
    uint32_t oldCluster = 0; // 0: the root
    size_t parent = 0;       // index of the parent (the root: itself)
    std::unique_ptr<FAT_DIRECTORY> dir;
    uint32_t newStart = 0; // 0: the new fixed root
};

uint32_t StartOf(const uint8_t* e, bool fat32) {
    uint32_t low = kwbytes::LoadLe16(e + FDE_CLUSTER_LOW);
    return fat32 ? low | uint32_t{kwbytes::LoadLe16(e + FDE_CLUSTER_HIGH)} << 16 : low;
}

void SetStart(uint8_t* e, uint32_t cluster, bool fat32) {
    kwbytes::StoreLe16(e + FDE_CLUSTER_LOW, static_cast<uint16_t>(cluster));
    kwbytes::StoreLe16(e + FDE_CLUSTER_HIGH, fat32 ? static_cast<uint16_t>(cluster >> 16) : 0);
}

bool IsFree(const uint8_t* e) {
    return e[0] == 0 || e[0] == FAT_DELETED;
}

bool IsLongPiece(const uint8_t* e) {
    return e[FDE_ATTR] == kLongNameAttr;
}

// Whether the root is packed on its way into the new layout (deleted
// entries dropped): always when the new fixed root is smaller, and when a
// FAT32 root goes into a fixed area. A FAT32 root chain counts as 0 root
// entries.
bool RootCompacted(const FAT_BOOT_RECORD& oldLayout, const FAT_BOOT_RECORD& newLayout) {
    uint32_t was = oldLayout.IsFat32() ? 0 : oldLayout.rootEntries;
    uint32_t now = newLayout.IsFat32() ? 0 : newLayout.rootEntries;
    return now < was || (oldLayout.IsFat32() && !newLayout.IsFat32());
}

// Entries up to the directory's end mark.
uint32_t UsedSlots(const FAT_DIRECTORY& d) {
    uint32_t n = 0;
    while (n < d.EntryCount() && d.Entry(n)[0] != 0)
        ++n;
    return n;
}

// Everything the rewrite needs while it plans.
class Planner {
public:
    Planner(FAT_FILESYSTEM* fs, REWRITE_PLAN* plan, const SECT_LIST* bad)
        : fs_(fs), old_(*fs->GetBootRecord()), plan_(plan), nw_(plan->layout), bad_(bad) {}

    kwRet Run();

private:
    kwRet checkLayouts() const;
    kwRet loadTree();
    kwRet migrateFiles();
    kwRet markBadSectors();
    kwRet reserveOldDirectories();
    bool WrittenBeforeSwitch(uint32_t sector) const;
    kwRet placeCopies();
    void fixDirectoryEntries();
    kwRet emitSectors();
    kwRet emitFixedRoot(const FAT_DIRECTORY& root);

    FAT_FILESYSTEM* fs_;
    const FAT_BOOT_RECORD& old_;
    REWRITE_PLAN* plan_;
    FAT_BOOT_RECORD& nw_;
    const SECT_LIST* bad_;
    std::vector<DirCopy> dirs_;
};

kwRet Planner::checkLayouts() const {
    uint32_t oldEnd = old_.FirstDataSector();
    if (nw_.bytesPerSector != old_.bytesPerSector || nw_.reservedSectors < oldEnd ||
        nw_.sectorsPerCluster == 0)
        return ERR_FAT_INVALID_PARAMETERS;
    if (nw_.IsFat32()) {
        uint32_t lowest = std::min<uint32_t>(nw_.fsInfoSector, nw_.backupBootSector);
        uint32_t highest = std::max<uint32_t>(nw_.fsInfoSector, nw_.backupBootSector + 1u);
        if (lowest < oldEnd || highest >= nw_.reservedSectors ||
            nw_.fsInfoSector == nw_.backupBootSector ||
            nw_.fsInfoSector == nw_.backupBootSector + 1u)
            return ERR_FAT_INVALID_PARAMETERS;
    }
    return KW_OK;
}

// Every directory once, root first; bounded by the clusters a directory
// may start at.
kwRet Planner::loadTree() {
    STATE_MAP seen;
    if (seen.Create(old_.LastCluster() + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    dirs_.push_back(DirCopy{0, 0, std::make_unique<FAT_DIRECTORY>(), 0});
    if (old_.IsFat32())
        seen.SetBit(old_.rootCluster);
    for (size_t i = 0; i < dirs_.size(); ++i) {
        kwRet rc = fs_->LoadDirectory(dirs_[i].oldCluster, dirs_[i].dir.get(), true);
        if (rc != KW_OK)
            return rc;
        const FAT_DIRECTORY& d = *dirs_[i].dir;
        for (uint32_t k = 0, n = UsedSlots(d); k < n; ++k) {
            const uint8_t* e = d.Entry(k);
            if (IsFree(e) || IsLongPiece(e) || (e[FDE_ATTR] & FAT_ATTR_DIRECTORY) == 0 ||
                e[0] == '.')
                continue;
            uint32_t c = StartOf(e, old_.IsFat32());
            if (!old_.IsDataCluster(c) || seen.IsSet(c))
                return ERR_FAT_INVALID_ENTRIES; // a folder without clusters, or met twice
            seen.SetBit(c);
            dirs_.push_back(DirCopy{c, i, std::make_unique<FAT_DIRECTORY>(), 0});
        }
    }
    return KW_OK;
}

kwRet Planner::migrateFiles() {
    std::vector<FAT_DIRECTORY*> dirs;
    for (DirCopy& copy : dirs_)
        dirs.push_back(copy.dir.get());
    return MigrateDirs(*plan_->chains, dirs);
}

// After the files' chains and before the folder copies are placed: a listed
// sector under a file refuses the rewrite, the copies keep clear of the rest.
kwRet Planner::markBadSectors() {
    for (uint32_t i = 0; bad_ != nullptr && i < bad_->GetCount(); ++i)
        if (kwRet rc = plan_->chains->MarkBadSector(bad_->GetAt(i)); rc != KW_OK) {
            DbgPrintf("Bad sector %lu cannot be marked in the new layout (%lu)\n",
                      static_cast<unsigned long>(bad_->GetAt(i)), static_cast<unsigned long>(rc));
            return rc;
        }
    return KW_OK;
}

bool Planner::WrittenBeforeSwitch(uint32_t sector) const {
    if (sector >= nw_.reservedSectors)
        return true; // FATs and the fixed root
    return nw_.IsFat32() && (sector == nw_.fsInfoSector || sector == nw_.backupBootSector ||
                             sector == nw_.backupBootSector + 1u);
}

// The clusters that hold the old directories stay untouched (the old volume
// needs them until the switch); in the new FAT they are free.
kwRet Planner::reserveOldDirectories() {
    CHAIN_MIGRATION& chains = *plan_->chains;
    for (const DirCopy& copy : dirs_) {
        if (copy.oldCluster == 0 && !old_.IsFat32())
            continue; // the fixed root lies in the new reserved area
        const FAT_DIRECTORY& d = *copy.dir;
        for (uint32_t i = 0; i < d.SectorCount(); ++i) {
            uint32_t sector = d.SectorOf(i * 16);
            if (sector < nw_.FirstDataSector()) {
                // Left behind in the new reserved area, unless a new
                // structure is written over it before the switch.
                if (WrittenBeforeSwitch(sector))
                    return ERR_FAT_INVALID_ENTRIES;
                continue;
            }
            uint32_t c = (sector - nw_.FirstDataSector()) / nw_.sectorsPerCluster + 2;
            if (c <= nw_.LastCluster() && chains.Entries()[c] == 0)
                chains.SetEntry(c, 0);
        }
    }
    return KW_OK;
}

kwRet Planner::placeCopies() {
    CHAIN_MIGRATION& chains = *plan_->chains;
    uint32_t from = 2;
    for (DirCopy& copy : dirs_) {
        if (copy.oldCluster == 0 && !nw_.IsFat32())
            continue; // goes to the new fixed root
        uint32_t clusters = std::max<uint32_t>(
            1, (copy.dir->SectorCount() + nw_.sectorsPerCluster - 1) / nw_.sectorsPerCluster);
        uint32_t prev = 0;
        for (uint32_t k = 0; k < clusters; ++k) {
            uint32_t c = chains.FindUnclaimed(from);
            if (c == 0)
                return ERR_FAT_NO_SPACE;
            from = c + 1;
            chains.SetEntry(c, FAT_EOC_MARK);
            if (prev != 0)
                chains.SetEntry(prev, c);
            else
                copy.newStart = c;
            prev = c;
        }
    }
    return KW_OK;
}

void Planner::fixDirectoryEntries() {
    bool fat32 = nw_.IsFat32();
    std::map<uint32_t, uint32_t> moved; // old first cluster -> the copy's
    for (const DirCopy& copy : dirs_)
        if (copy.oldCluster != 0)
            moved[copy.oldCluster] = copy.newStart;
    for (DirCopy& copy : dirs_) {
        FAT_DIRECTORY& d = *copy.dir;
        // ".." of a folder in the root names the root as 0.
        uint32_t own = copy.newStart, parent = copy.parent == 0 ? 0 : dirs_[copy.parent].newStart;
        for (uint32_t k = 0, n = UsedSlots(d); k < n; ++k) {
            uint8_t* e = d.Entry(k);
            if (IsFree(e) || IsLongPiece(e) || (e[FDE_ATTR] & FAT_ATTR_DIRECTORY) == 0)
                continue;
            if (std::memcmp(e, ".          ", 11) == 0) {
                SetStart(e, own, fat32);
            } else if (std::memcmp(e, "..         ", 11) == 0) {
                SetStart(e, parent, fat32);
            } else if (auto it = moved.find(StartOf(e, old_.IsFat32())); it != moved.end()) {
                SetStart(e, it->second, fat32);
            }
        }
    }
}

// The root's entries packed into the new fixed area; deleted entries are
// dropped only when all would not fit.
kwRet Planner::emitFixedRoot(const FAT_DIRECTORY& root) {
    uint32_t capacity = nw_.rootEntries, used = UsedSlots(root);
    bool pack = used > capacity;
    std::vector<uint8_t> area(size_t{nw_.RootDirSectors()} * FAT_SECTOR_SIZE, 0);
    uint32_t out = 0;
    for (uint32_t k = 0; k < used; ++k) {
        const uint8_t* e = root.Entry(k);
        if (pack && e[0] == FAT_DELETED)
            continue;
        if (out == capacity) {
            DbgPrintf("Static root is too small\r\n");
            return ERR_FAT_STATIC_ROOT_TOO_SMALL;
        }
        std::memcpy(area.data() + size_t{out++} * FAT_DIR_ENTRY_SIZE, e, FAT_DIR_ENTRY_SIZE);
    }
    for (uint32_t i = 0; i < nw_.RootDirSectors(); ++i)
        plan_->sectors[nw_.FirstRootSector() + i].assign(area.begin() + size_t{i} * FAT_SECTOR_SIZE,
                                                         area.begin() +
                                                             size_t{i + 1} * FAT_SECTOR_SIZE);
    return KW_OK;
}

kwRet Planner::emitSectors() {
    const uint32_t* fat = plan_->chains->Entries();
    for (const DirCopy& copy : dirs_) {
        const FAT_DIRECTORY& d = *copy.dir;
        if (copy.oldCluster == 0 && !nw_.IsFat32()) {
            if (kwRet rc = emitFixedRoot(d); rc != KW_OK)
                return rc;
            continue;
        }
        uint32_t i = 0, n = nw_.sectorsPerCluster;
        for (uint32_t c = copy.newStart; c >= 2 && c < FAT_BAD; c = fat[c]) {
            uint32_t first = nw_.ClusterToSector(c);
            for (uint32_t k = 0; k < n; ++k, ++i) {
                std::vector<uint8_t>& bytes = plan_->sectors[first + k];
                bytes.assign(FAT_SECTOR_SIZE, 0);
                if (i < d.SectorCount())
                    std::memcpy(bytes.data(), d.Entry(i * 16), FAT_SECTOR_SIZE);
            }
        }
    }
    if (nw_.IsFat32())
        nw_.rootCluster = dirs_[0].newStart;
    return KW_OK;
}

} // namespace

kwRet MigrateDirs(CHAIN_MIGRATION& chains, const std::vector<FAT_DIRECTORY*>& dirs) {
    auto progress = std::unique_ptr<Progress>(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    uint64_t total = 0, done = 0;
    for (const FAT_DIRECTORY* d : dirs)
        total += UsedSlots(*d);
    bool oldFat32 = chains.OldLayout().IsFat32(), newFat32 = chains.NewLayout().IsFat32();
    for (FAT_DIRECTORY* d : dirs) {
        for (uint32_t k = 0, n = UsedSlots(*d); k < n; ++k, ++done) {
            if (done % 100 == 0)
                if (kwRet rc = progress->UpdateCount(done, total); rc != KW_OK)
                    return rc;
            uint8_t* e = d->Entry(k);
            if (IsFree(e) || IsLongPiece(e) ||
                (e[FDE_ATTR] & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME)))
                continue;
            uint32_t start = StartOf(e, oldFat32), m = 0;
            if (start == 0)
                continue;
            uint32_t size = kwbytes::LoadLe32(e + FDE_SIZE);
            if (kwRet rc = chains.MigrateChain(start, chains.FileTailSectors(size), &m);
                rc != KW_OK) {
                DbgPrintf("MigrateDirs: Unable to migrate file %.11s\n",
                          reinterpret_cast<const char*>(e));
                return rc;
            }
            SetStart(e, m, newFat32);
        }
    }
    return progress->Done();
}

kwRet Planner::Run() {
    if (kwRet rc = checkLayouts(); rc != KW_OK)
        return rc;
    plan_->chains = std::make_unique<CHAIN_MIGRATION>(old_, *fs_->GetFat(), nw_);
    kwRet rc = plan_->chains->Start();
    if (rc == KW_OK)
        rc = loadTree();
    if (rc == KW_OK && RootCompacted(old_, nw_)) {
        FAT_DIRECTORY& root = *dirs_[0].dir;
        PackDirEntries(root.Entry(0), root.EntryCount(), 0);
    }
    if (rc == KW_OK)
        rc = migrateFiles();
    if (rc == KW_OK)
        rc = markBadSectors();
    if (rc == KW_OK)
        rc = reserveOldDirectories();
    if (rc == KW_OK)
        rc = placeCopies();
    if (rc == KW_OK) {
        fixDirectoryEntries();
        rc = emitSectors();
    }
    return rc;
}

kwRet LayoutAfter(FAT_FILESYSTEM* fs, uint32_t totalSectors, uint32_t sectorsPerCluster, bool fat32,
                  uint32_t rootEntries, FAT_BOOT_RECORD* out, uint32_t alignShift) {
    if (fs == nullptr || out == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    const FAT_BOOT_RECORD& old = *fs->GetBootRecord();
    // Past the old system area and the folders right behind it (the plan
    // copies folders; file data there would be in the way, and the caller
    // empties the clusters the new system area covers).
    FAT_DIR_BLOCKS* dirs = nullptr;
    kwRet rc = fs->LoadDirBlocks(nullptr, &dirs);
    if (rc != KW_OK)
        return rc;
    uint32_t used = 0;
    while (old.IsDataCluster(2 + used) && fs->GetFat()->GetNextCluster(2 + used) != 0 &&
           dirs->DirClusters().IsSet(2 + used))
        ++used;
    uint64_t oldEnd = old.FirstDataSector() + uint64_t{used} * old.sectorsPerCluster;
    // A run in use too long for the reserved-sector field to reach past it:
    // the new system area goes right after the old one, and the caller
    // empties the clusters it covers.
    if (oldEnd + 3 > 0xFFFF)
        oldEnd = old.FirstDataSector();
    FAT_LAYOUT_PLAN plan;
    plan.reservedSectors = static_cast<uint32_t>(fat32 ? oldEnd + 3 : oldEnd);
    if (oldEnd + 3 > 0xFFFF)
        return ERR_FAT_INVALID_PARAMETERS;
    plan.bytesPerSector = old.bytesPerSector;
    plan.totalSectors = totalSectors;
    plan.sectorsPerCluster = sectorsPerCluster;
    plan.alignTarget = old.FirstDataSector() + alignShift * old.sectorsPerCluster;
    plan.fatCount = old.fatCount;
    plan.rootEntries = rootEntries;
    plan.fat32 = fat32;
    FAT_BOOT_RECORD b = old;
    rc = BuildBootRecord(&b, plan);
    if (fat32) {
        b.fsInfoSector = static_cast<uint16_t>(oldEnd);
        b.backupBootSector = static_cast<uint16_t>(oldEnd + 1);
    }
    *out = b;
    return rc;
}

kwRet PlanRewrite(FAT_FILESYSTEM* fs, const FAT_BOOT_RECORD& newLayout, REWRITE_PLAN* plan,
                  const SECT_LIST* badSectors) {
    if (fs == nullptr || plan == nullptr || fs->GetBootRecord() == nullptr)
        return ERR_BAD_ARGUMENT;
    plan->layout = newLayout;
    plan->sectors.clear();
    Planner planner(fs, plan, badSectors);
    return planner.Run();
}

} // namespace kw::fat
