// Findings of the NetWare consistency checks: each goes to the caller's
// error list (when one is given) with its class; the first finding's code is
// what the check returns. A list that refuses a finding ends the check.
#pragma once

#include "engine/core/kwerror.h"
#include "engine/core/kwret.h"

#include <cstdint>

namespace kw::netware {

inline constexpr uint32_t kClassStructure = 64;
inline constexpr uint32_t kClassLostData = 96;
inline constexpr uint32_t kClassCrossLink = 128;

class CheckReport {
public:
    explicit CheckReport(KWERRORMGR* errors) : errors_(errors) {}
    // False when the list refused the finding (the check ends; Result()
    // then gives the list's code).
    bool Add(kwRet code, uint32_t errorClass) {
        if (first_ == KW_OK)
            first_ = code;
        if (errors_ == nullptr)
            return true;
        kwRet rc = LogEngineError(errors_, code, errorClass);
        if (rc != KW_OK) {
            refused_ = rc;
            return false;
        }
        return true;
    }
    kwRet Result() const { return refused_ != KW_OK ? refused_ : first_; }

private:
    KWERRORMGR* errors_;
    kwRet first_ = KW_OK;
    kwRet refused_ = KW_OK;
};

} // namespace kw::netware
