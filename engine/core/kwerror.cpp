// Error objects, handles and the error manager's admission rules.
#include "engine/core/kwerror.h"

#include "engine/core/dbgmgr.h"

#include <climits>

KWERRORMGR* gErrorMgr = nullptr;

namespace {

KwErrorPresenterFn gPresenter = nullptr;

constexpr unsigned kBits = sizeof(KWERRORHANDLE) * CHAR_BIT;

// Creates the error (details given by count) and logs it.
kwRet CreateAndLog(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind, kwRet code,
                   std::uint32_t errorClass, const std::uint32_t* details, int count,
                   KWERRORHANDLE* handle) {
    KWERROR* error = nullptr;
    if (errorKind == KWERR_KIND_FIX) {
        std::uint32_t fix = fixKind == 1 ? 1 : 0;
        if (count == 0)
            error = new ENGINE_FIX_ERROR(fix, code, errorClass);
        else if (count == 1)
            error = new ENGINE_FIX_ERROR(fix, code, errorClass, details[0]);
        else
            error = new ENGINE_FIX_ERROR(fix, code, errorClass, details[0], details[1]);
    } else if (count == 0) {
        error = new KWLOGERROR(code, errorClass);
    } else if (count == 1) {
        error = new KWLOGERROR(code, errorClass, details[0]);
    } else {
        error = new KWLOGERROR(code, errorClass, details[0], details[1]);
    }
    if (error == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = LogError(manager, &error, handle);
    return rc == ERR_LIST_FULL ? ERR_TOO_MANY_ERRORS : rc;
}

kwRet Report(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind, kwRet code,
             std::uint32_t errorClass, const std::uint32_t* details, int count,
             KWERRORHANDLE* handle) {
    KWERRORHANDLE own = 0;
    KWERRORHANDLE* cell = handle != nullptr ? handle : &own;
    kwRet rc = CreateAndLog(manager, fixKind, errorKind, code, errorClass, details, count, cell);
    if (rc == KW_OK) {
        auto* handler = new KWERRORHANDLER(*cell);
        if (handler == nullptr)
            return ERR_NO_MEMORY;
        if (*ErrorStatusFromHandle(handler) == 0)
            rc = ERR_USER_CANCEL;
        delete handler;
    }
    return rc;
}

} // namespace

KWERROR::KWERROR(kwRet code, std::uint32_t errorClass, std::uint32_t value, std::uint32_t fix,
                 std::uint32_t status, std::uint32_t maxDetails)
    : status_(status), fix_(fix), details_(maxDetails), code_(code), class_(errorClass),
      value_(value) {}

std::uint32_t KWERROR::Detail(std::uint32_t index) {
    auto* item = static_cast<KWLISTULONG*>(details_.GetAt(index));
    return item != nullptr ? item->GetValue() : 0;
}

void KWERROR::AddDetails(const std::uint32_t* values, int count) {
    KWLISTULONG* items[2] = {};
    for (int i = 0; i < count; ++i)
        items[i] = new KWLISTULONG(values[i]);
    for (int i = 0; i < count; ++i) {
        if (items[i] == nullptr) {
            for (KWLISTULONG* item : items)
                delete item;
            return;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (details_.Append(items[i]) != KW_OK) {
            for (int j = i; j < count; ++j)
                delete items[j];
            return;
        }
    }
}

KWLOGERROR::KWLOGERROR(kwRet code, std::uint32_t errorClass)
    : KWERROR(code, errorClass, 0, 0, 0, KWLIST_UNLIMITED) {}

KWLOGERROR::KWLOGERROR(kwRet code, std::uint32_t errorClass, std::uint32_t detail1)
    : KWLOGERROR(code, errorClass) {
    AddDetails(&detail1, 1);
}

KWLOGERROR::KWLOGERROR(kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                       std::uint32_t detail2)
    : KWLOGERROR(code, errorClass) {
    const std::uint32_t d[2] = {detail1, detail2};
    AddDetails(d, 2);
}

std::uint32_t KWLOGERROR::ResolveError(std::uint32_t* out) {
    status_ = 0;
    if (out != nullptr)
        *out = 0;
    return 1;
}

ENGINE_FIX_ERROR::ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass)
    : KWERROR(code, errorClass, 0, fix, 0, KWLIST_UNLIMITED) {}

ENGINE_FIX_ERROR::ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass,
                                   std::uint32_t detail1)
    : ENGINE_FIX_ERROR(fix, code, errorClass) {
    AddDetails(&detail1, 1);
}

ENGINE_FIX_ERROR::ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass,
                                   std::uint32_t detail1, std::uint32_t detail2)
    : ENGINE_FIX_ERROR(fix, code, errorClass) {
    const std::uint32_t d[2] = {detail1, detail2};
    AddDetails(d, 2);
}

std::uint32_t ENGINE_FIX_ERROR::ResolveError(std::uint32_t* out) {
    if (out != nullptr)
        *out = 0;
    status_ = fix_ == 1 ? 1 : 0;
    return fix_ == 1 ? 0 : 1;
}

KWERRORHANDLE ErrorToHandle(const KWERROR* error) {
    auto p = reinterpret_cast<KWERRORHANDLE>(error);
    return (p >> 3) | (p << (kBits - 3));
}

KWERROR* HandleToError(KWERRORHANDLE handle) {
    return reinterpret_cast<KWERROR*>((handle << 3) | (handle >> (kBits - 3)));
}

std::uint32_t* ErrorStatusFromHandle(const KWERRORHANDLER* handler) {
    return HandleToError(handler->GetHandle())->Status();
}

void KWERRORMGR::Clear() {
    ClearList();
    counted_ = 0;
}

void kwSetErrorPresenter(KwErrorPresenterFn fn) {
    gPresenter = fn;
}

kwRet LogError(KWERRORMGR* manager, KWERROR** error, KWERRORHANDLE* handle) {
    KWERROR* e = error != nullptr ? *error : nullptr;
    if (error != nullptr)
        *error = nullptr;
    if (manager == nullptr || e == nullptr) {
        DbgPrintf("LogError Error: Invalid error object passed into function\n");
        delete e;
        return ERR_BAD_ARGUMENT;
    }
    bool counted = e->Class() >= manager->threshold_;
    if (manager->IsFull() || (counted && manager->counted_ >= manager->maxCount_) ||
        manager->Add(e) != KW_OK) {
        delete e;
        return ERR_TOO_MANY_ERRORS;
    }
    bool stops = e->Class() == KWERR_CLASS_STOP;
    e->manager_ = manager;
    KWERRORHANDLE h = ErrorToHandle(e);
    if (handle != nullptr)
        *handle = h;
    kwRet rc = gPresenter != nullptr ? gPresenter(h) : KW_OK;
    if (counted && *e->Status() == 0)
        ++manager->counted_;
    if (rc == KW_OK && (manager->IsFull() || manager->counted_ >= manager->maxCount_))
        rc = ERR_TOO_MANY_ERRORS;
    if (stops && *e->Status() == 0)
        rc = ERR_USER_CANCEL;
    return rc;
}

kwRet LogEngineError(KWERRORMGR* manager, kwRet code, std::uint32_t errorClass,
                     KWERRORHANDLE* handle) {
    return CreateAndLog(manager, 0, 0, code, errorClass, nullptr, 0, handle);
}

kwRet LogEngineError1(KWERRORMGR* manager, kwRet code, std::uint32_t errorClass,
                      std::uint32_t detail1, KWERRORHANDLE* handle) {
    return CreateAndLog(manager, 0, 0, code, errorClass, &detail1, 1, handle);
}

kwRet ReportEngineError(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                        kwRet code, std::uint32_t errorClass, KWERRORHANDLE* handle) {
    return Report(manager, fixKind, errorKind, code, errorClass, nullptr, 0, handle);
}

kwRet ReportEngineError1(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                         kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                         KWERRORHANDLE* handle) {
    return Report(manager, fixKind, errorKind, code, errorClass, &detail1, 1, handle);
}

kwRet ReportEngineError2(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                         kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                         std::uint32_t detail2, KWERRORHANDLE* handle) {
    const std::uint32_t d[2] = {detail1, detail2};
    return Report(manager, fixKind, errorKind, code, errorClass, d, 2, handle);
}
