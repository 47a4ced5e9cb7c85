// Rewriting a FAT volume's critical area (boot sector, FATs, root) for a new
// layout: another cluster size, FAT kind or data start, with the data left
// where it is. The chains are translated (CHAIN_MIGRATION) and every
// directory is written afresh, with its entries in the new numbering, into
// clusters that are free in the old layout; the root moves between the fixed
// FAT12/16 area and a FAT32 cluster chain as the new kind needs, packed
// (deleted entries dropped) when the new fixed root is smaller than the old
// one or a FAT32 root goes into a fixed area (a chain counts as 0 root
// entries, so a root going into FAT32 is packed too).
//
// Crash safety: the new layout's system area (reserved sectors, FATs, fixed
// root, FSInfo and backup boot sector) must lie past the old one, and every
// other new structure lies in clusters the old layout does not use, so
// nothing the old volume needs is touched until the boot sector is written:
// an interruption before it leaves the old volume whole, one after it the
// new one. When the partition's type changes with the kind, the entry has
// type 3Ch and the new FATs carry the recovery's marks from before that
// write until after it, and the recovery at the next disk scan gives the
// type back. (An interruption right after the 3Ch write, or right after
// the marks are taken off, leaves a whole volume under an entry of type 3Ch
// without marks, to which that recovery gives the type of its kind.)
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/sectlist.h"
#include "engine/fat/fat_boot.h"
#include "engine/fat/fat_dir.h"
#include "engine/fat/fat_migrate.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class FAT_FILESYSTEM;
struct PARTITION_INFO;

namespace kw::fat {

// Everything a rewrite writes, built in memory first.
struct REWRITE_PLAN {
    FAT_BOOT_RECORD layout; // the new boot record (FAT32: with its root cluster)
    std::unique_ptr<CHAIN_MIGRATION> chains;
    // Partition sector -> its new 512 bytes: directory copies, the new fixed
    // root area, FSInfo and the backup boot sector.
    std::map<uint32_t, std::vector<uint8_t>> sectors;
};

// A new layout for an initialised volume whose system area lies past the
// old one and the folders right behind it (right after the old one when
// the reserved-sector field cannot reach past those): `totalSectors` sectors,
// `sectorsPerCluster`, FAT32 or not, and (FAT12/16) at least `rootEntries`
// root entries; the data start keeps old clusters on new cluster
// boundaries (with `alignShift` old clusters, the new grid starts that many
// old clusters later). Codes as BuildBootRecord; ERR_FAT_INVALID_PARAMETERS
// when the reserved area would not fit its 16-bit field.
kwRet LayoutAfter(FAT_FILESYSTEM* fs, uint32_t totalSectors, uint32_t sectorsPerCluster, bool fat32,
                  uint32_t rootEntries, FAT_BOOT_RECORD* out, uint32_t alignShift = 0);

// Gives every file entry of `dirs` (the volume's directories held in
// memory) its new starting cluster, in the new kind's form, and translates
// the file's chain into the new FAT; empty files and entries that are no
// files are left. Folders are not translated here: the rewrite copies them
// into clusters of their own. The first chain that cannot be translated
// ends it with its code (see CHAIN_MIGRATION::MigrateChain) and the log
// line "MigrateDirs: Unable to migrate file" with the entry's name; the
// user's cancel (checked every 100 files) ends it with 7.
kwRet MigrateDirs(CHAIN_MIGRATION& chains, const std::vector<FAT_DIRECTORY*>& dirs);

// Builds the plan for rewriting an initialised volume with `newLayout`,
// with the partition-relative sectors of `badSectors` (may be null) marked
// bad in the new FAT. Nothing is written. ERR_FAT_INVALID_PARAMETERS when the new system area
// reaches into the old one or the sector sizes differ; ERR_FAT_INVALID_ENTRIES
// when a chain cannot be translated (see CHAIN_MIGRATION), the tree is
// damaged, or a live cluster lies in the new system area; for a listed bad
// sector ERR_BAD_SECTOR_IN_FS in the new system area, ERR_BAD_ARGUMENT past
// the new last cluster, ERR_FAT_BAD_CLUSTER_IN_USE under data or a folder;
// ERR_FAT_STATIC_ROOT_TOO_SMALL when the root's entries do not fit a new
// fixed root; ERR_FAT_NO_SPACE when no free clusters are left for the
// directory copies; ERR_FAT_BAD_CLUSTER_IN_USE as CHAIN_MIGRATION::Start.
kwRet PlanRewrite(FAT_FILESYSTEM* fs, const FAT_BOOT_RECORD& newLayout, REWRITE_PLAN* plan,
                  const SECT_LIST* badSectors = nullptr);

// Whether a partition ends past its disk's BIOS-addressable limit and is
// no logical partition (its FAT type then takes the LBA form).
bool PastBiosLimit(const PARTITION_INFO* pi);

// Rewrites an initialised, writable volume for `newLayout` (see above), with
// the sectors of `badSectors` (may be null) marked bad, and reads it again. Codes as PlanRewrite
// (nothing written then); a read or write failure is returned at once, and what was written so far
// leaves the old or the new volume, with marks the recovery clears.
kwRet RewriteCriticalArea(FAT_FILESYSTEM* fs, const FAT_BOOT_RECORD& newLayout,
                          const SECT_LIST* badSectors = nullptr);

} // namespace kw::fat
