// The row of Linux swap areas.
#include "engine/disk/part_limits.h"
#include "engine/fs/fs_module.h"
#include "engine/lswap/lswap_filesystem.h"

namespace {

std::uint32_t SwapMinimum(const PARTITION_INFO* pi) {
    return enGetCylinderBoundary(pi, pi->ulUsedSects, EN_ALIGN_UP);
}

} // namespace

extern const FS_MODULE kSwapModule = {
    .kind = FS_KIND_LINUX_SWAP,
    .disk = {.logName = "Linux Swap",
             .legalGroup = FS_LEGAL_GROUP::SWAP,
             .neverActive = true,
             .minimumSize = SwapMinimum,
             .maximumSize = 4194288},
    .createFs = FsMake<LSWAP_FILESYSTEM>,
    .estimateFree = lswapEstimateFreeSects,
};
