// enGetResizeLimits: a partition's size limits from its file system's row or
// the disk layer's defaults, with the room it may move in.
#include "engine/core/dbgmgr.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/fs_module.h"
#include "engine/host/engine.h"
#include "engine/host/prefs.h"

namespace {

kwRet DefaultLimits(PARTITION_INFO* pi, PARTITION_LIMITS** out) {
    EN_SIZE_LIMITS sizes;
    if (kwRet rc = enGetDefaultLimits(pi, &sizes); rc != KW_OK)
        return rc;
    auto* limits = new PARTITION_LIMITS;
    if (limits == nullptr)
        return ERR_NO_MEMORY;
    limits->Init(pi, sizes.minimum, sizes.maximum, pi->NumSects);
    *out = limits;
    return KW_OK;
}

} // namespace

kwRet enGetResizeLimits(PARTITION_INFO* pi, PARTITION_LIMITS** limits, std::uint32_t exact) {
    DbgPrintf("\nenGetRisizeLimits ...");
    if (pi == nullptr || limits == nullptr)
        return ERR_BAD_ARGUMENT;
    *limits = nullptr;
    kwRet rc = KW_OK;
    const FS_MODULE* row = fsModuleOf(pi->ucFsKind);
    if (row != nullptr && row->getResizeLimits != nullptr) {
        FS_LIMITS_QUERY query;
        query.exact = exact != 0;
        query.largeClusters = gEnginePrefs != nullptr && gEnginePrefs->AllowLargeClusters();
        rc = row->getResizeLimits(pi, limits, query);
    } else {
        rc = DefaultLimits(pi, limits);
    }
    EN_MOVE_INFO move;
    if (rc == KW_OK && enGetMoveInfo(pi, &move) == KW_OK)
        (*limits)->SetMoveLimits(move.left, move.right);
    DbgPrintf("\nenGetResizeLimits complete (kwRet == %lu)", static_cast<unsigned long>(rc));
    return rc;
}
