// The row of HPFS.
#include "engine/disk/part_limits.h"
#include "engine/fs/fs_module.h"
#include "engine/hpfs/hpfs_bitmaps.h"
#include "engine/hpfs/hpfs_filesystem.h"

namespace {

kwRet EstimateHpfs(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    kwRet rc = kw::hpfs::EstimateHpfsFree(pi, freeSects);
    kw::hpfs::HpfsReleaseBitmaps();
    return rc;
}

// A reserve of at least 500 sectors, at most twice the limit base.
std::uint32_t HpfsMinimum(const PARTITION_INFO* pi) {
    return enMinimumWithReserve(pi, 500, 2 * pi->ulLimitBase);
}

} // namespace

extern const FS_MODULE kHpfsModule = {
    .kind = FS_KIND_HPFS,
    .disk = {.logName = "HPFS",
             .legalGroup = FS_LEGAL_GROUP::FS,
             .movableWhenUnreadable = true,
             .minimumSize = HpfsMinimum},
    .createFs = FsMake<HPFS_FILESYSTEM>,
    .estimateFree = EstimateHpfs,
};
