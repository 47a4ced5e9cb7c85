// Used-sector estimates by file-system kind.
#include "engine/host/estimate.h"

#include "engine/disk/kwlib.h"
#include "engine/fs/fs_module.h"

namespace {

// A raw partition (no file system the engine reads) counts as all free.
kwRet EstimateRaw(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    *freeSects = pi->NumSects;
    return KW_OK;
}

} // namespace

kwRet EstimateUsedSectors(PARTITION_INFO* pi) {
    if (pi == nullptr)
        return ERR_BAD_POINTER;
    const FS_MODULE* row = fsModuleOf(pi->ucFsKind);
    auto estimate = pi->ucFsKind == FS_KIND_RAW ? EstimateRaw
                    : row != nullptr            ? row->estimateFree
                                                : nullptr;
    if (estimate == nullptr)
        return row == nullptr ? ERR_UNKNOWN_FS : ERR_FS_NOT_SUPPORTED;
    kwhandle handle = 0;
    kwRet rc = kwLogOpen(pi, &handle);
    if (rc != KW_OK)
        return rc;
    std::uint32_t freeSects = 0;
    rc = estimate(pi, &freeSects);
    if (rc == KW_OK) {
        std::uint32_t total = pi->ulBootTotal != 0 ? pi->ulBootTotal : pi->NumSects;
        pi->ulFreeSects = freeSects;
        pi->ulUsedSects = total > freeSects ? total - freeSects : 0;
    }
    kwLogClose(handle);
    if (rc >= 500) {
        pi->ulFlags |= PI_READ_ERROR;
        pi->ulFreeSects = 0;
        pi->ulUsedSects = pi->NumSects;
    }
    return rc;
}
