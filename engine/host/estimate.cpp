// Used-sector estimates by file-system kind.
#include "engine/host/estimate.h"

#include "engine/core/globals_mgr.h"
#include "engine/disk/kwlib.h"
#include "engine/hpfs/hpfs_bitmaps.h"

namespace {

constexpr std::uint8_t kMaxFsKinds = 32;
KW_ESTIMATE_FN gEstimateHooks[kMaxFsKinds] = {};

} // namespace

void kwSetEstimateHook(std::uint8_t fsKind, KW_ESTIMATE_FN fn) {
    if (fsKind < kMaxFsKinds)
        gEstimateHooks[fsKind] = fn;
}

namespace {

kwRet EstimateFree(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    switch (pi->ucFsKind) {
    case FS_KIND_HPFS:
        return kw::hpfs::EstimateHpfsFree(pi, freeSects);
    case FS_KIND_RAW:
        *freeSects = pi->NumSects;
        return KW_OK;
    case FS_KIND_NETWARE:
        if (!kwNetWareSupport())
            return ERR_UNKNOWN_FS;
        break;
    default:
        break;
    }
    KW_ESTIMATE_FN fn = pi->ucFsKind < kMaxFsKinds ? gEstimateHooks[pi->ucFsKind] : nullptr;
    if (fn == nullptr)
        return ERR_UNKNOWN_FS;
    kwRet rc = fn(pi, freeSects);
    if (rc == KW_OK && (pi->ucFsKind == FS_KIND_FAT || pi->ucFsKind == FS_KIND_FAT32))
        pi->ulLimitBase = 1;
    return rc;
}

} // namespace

kwRet EstimateUsedSectors(PARTITION_INFO* pi) {
    if (pi == nullptr)
        return ERR_BAD_POINTER;
    kwhandle handle = 0;
    kwRet rc = kwLogOpen(pi, &handle);
    if (rc != KW_OK)
        return rc;
    std::uint32_t freeSects = 0;
    rc = EstimateFree(pi, &freeSects);
    // NetWare stores its own counts.
    if (rc == KW_OK && pi->ucFsKind != FS_KIND_NETWARE) {
        std::uint32_t total = pi->ulBootTotal != 0 ? pi->ulBootTotal : pi->NumSects;
        pi->ulFreeSects = freeSects;
        pi->ulUsedSects = total > freeSects ? total - freeSects : 0;
    }
    kwLogClose(handle);
    kw::hpfs::HpfsReleaseBitmaps();
    if (rc >= 500) {
        pi->ulFlags |= PI_READ_ERROR;
        pi->ulFreeSects = 0;
        pi->ulUsedSects = pi->NumSects;
    }
    return rc;
}
