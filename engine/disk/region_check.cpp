#include "engine/disk/region_check.h"

#include "engine/core/kwerror.h"

namespace {

std::uint64_t EndOf(const KW_REGION& r) {
    return std::uint64_t{r.GetStartSector()} + r.GetSectorCount();
}

// An overlap found: logged when there is a manager to log it to. The overlap
// is reported either way; only a failure to log it replaces the code.
kwRet Overlap(KWERRORMGR* errors) {
    if (errors == nullptr)
        return ERR_REGION_NOT_FOUND;
    kwRet rc = LogEngineError(errors, ERR_REGION_NOT_FOUND, REGION_ERROR_CLASS);
    return rc != KW_OK ? rc : ERR_REGION_NOT_FOUND;
}

} // namespace

kwRet checkIntegrity(const KW_REGION* region, KWERRORMGR* errors) {
    if (region == nullptr)
        return ERR_BAD_ARGUMENT;
    if (region->GetSectorCount() == 0)
        return ERR_REGION_NOT_FOUND;
    if (region->previous != nullptr && region->GetStartSector() < EndOf(*region->previous))
        return Overlap(errors);
    if (region->next != nullptr && region->next->GetStartSector() < EndOf(*region))
        return Overlap(errors);
    return KW_OK;
}

kwRet KW_REGION::checkIntegrity(KWERRORMGR* errors) const {
    return ::checkIntegrity(this, errors);
}
