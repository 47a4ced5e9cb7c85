// The disk library's module state, shared by its source files.
#pragma once

#include "engine/disk/kwlib.h"
#include "platform/disk/disk_source.h"

#include <memory>
#include <vector>

struct KW_HANDLE_SLOT {
    uint32_t state = 0; // KW_HANDLE_OPEN when in use
    PARTITION_INFO* pi = nullptr;
    // While the partition is locked on a machine disk: keeps Linux from
    // mounting it.
    std::unique_ptr<kw::plat::DiskClaim> claim;
};
inline constexpr uint32_t KW_HANDLE_OPEN = 5;

// Owns the open disk sources (one per driver unit) and the disk list.
struct KW_DISK_LIB {
    bool open = false;
    DISK_RECORD* diskList = nullptr;
    std::vector<std::unique_ptr<kw::plat::SectorSource>> units;
    std::vector<std::string> skipped; // the disks the last open could not open
    bool hookEnabled = false;
    KWI_PHY_READ hook = nullptr;
    KW_HANDLE_SLOT handles[KW_MAX_HANDLES];
    KW_RESTART_HOOKS restart;
    KW_FS_HOOKS fs;
    void* preallocated = nullptr;
};

KW_DISK_LIB& DiskLib();

// The source of a real disk record; null for the image disk or a stale unit.
kw::plat::SectorSource* UnitSource(const DISK_RECORD* disk);
