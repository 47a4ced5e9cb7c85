// Error objects: a record of a problem (code, severity class, detail values)
// that the engine hands to the user interface as an opaque handle, kept in
// the global error manager until it is cleared.
#pragma once

#include "engine/core/kwlist.h"
#include "engine/core/kwret.h"

#include <cstdint>

class KWERRORMGR;

// The user interface sees errors only as handles.
using KWERRORHANDLE = std::uintptr_t;

// Severity class that stops an operation unless the error is resolved.
inline constexpr std::uint32_t KWERR_CLASS_STOP = 128;
// Error kind of ReportEngineError that offers a fix.
inline constexpr std::uint32_t KWERR_KIND_FIX = 9;

// An error: owns its list of detail values.
class KWERROR : public KWLISTITEM {
public:
    KWERROR(kwRet code, std::uint32_t errorClass, std::uint32_t value, std::uint32_t fix,
            std::uint32_t status, std::uint32_t maxDetails);
    ~KWERROR() override = default;

    // Resolves the error by itself where it can: 0 when resolved, else 1;
    // *out (when given) is cleared.
    virtual std::uint32_t ResolveError(std::uint32_t* out) = 0;

    kwRet Code() const { return code_; }
    std::uint32_t Class() const { return class_; }
    std::uint32_t Value() const { return value_; }
    std::uint32_t* Status() { return &status_; }
    std::uint32_t* Answer() { return &fix_; }
    KWERRORMGR* Manager() const { return manager_; }
    KWLIST& Details() { return details_; }
    // The detail values in order (0 past the end).
    std::uint32_t Detail(std::uint32_t index);

protected:
    // Appends the details; with two, both or neither.
    void AddDetails(const std::uint32_t* values, int count);

    std::uint32_t status_;
    std::uint32_t fix_;

private:
    friend kwRet LogError(KWERRORMGR*, KWERROR**, KWERRORHANDLE*);
    KWLIST details_;
    KWERRORMGR* manager_ = nullptr;
    kwRet code_;
    std::uint32_t class_;
    std::uint32_t value_;
};

// An error that is only reported; it never resolves itself.
class KWLOGERROR : public KWERROR {
public:
    KWLOGERROR(kwRet code, std::uint32_t errorClass);
    KWLOGERROR(kwRet code, std::uint32_t errorClass, std::uint32_t detail1);
    KWLOGERROR(kwRet code, std::uint32_t errorClass, std::uint32_t detail1, std::uint32_t detail2);
    std::uint32_t ResolveError(std::uint32_t* out) override;
};

// An error the engine may fix (fix flag 1) or not.
class ENGINE_FIX_ERROR : public KWERROR {
public:
    ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass);
    ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass,
                     std::uint32_t detail1);
    ENGINE_FIX_ERROR(std::uint32_t fix, kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                     std::uint32_t detail2);
    std::uint32_t ResolveError(std::uint32_t* out) override;
};

// A list item naming one error by its handle.
class KWERRORHANDLER : public KWLISTITEM {
public:
    explicit KWERRORHANDLER(KWERRORHANDLE handle) : handle_(handle) {}
    KWERRORHANDLE GetHandle() const { return handle_; }

private:
    KWERRORHANDLE handle_;
};

KWERRORHANDLE ErrorToHandle(const KWERROR* error);
KWERROR* HandleToError(KWERRORHANDLE handle);
std::uint32_t* ErrorStatusFromHandle(const KWERRORHANDLER* handler);

// A capped list of errors; owns them.
class KWERRORLIST : public KwEngineAlloc {
public:
    explicit KWERRORLIST(std::uint32_t maxErrors) : errors_(maxErrors) {}
    virtual ~KWERRORLIST() = default;
    KWERRORLIST(const KWERRORLIST&) = delete;
    KWERRORLIST& operator=(const KWERRORLIST&) = delete;

    kwRet Add(KWERROR* error) { return errors_.Append(error); }
    std::uint32_t Count() const { return errors_.GetCount(); }
    KWERROR* At(std::uint32_t index) { return static_cast<KWERROR*>(errors_.GetAt(index)); }
    bool IsFull() const { return errors_.IsFull(); }
    void ClearList() { errors_.DeleteAll(); }

private:
    KWLIST errors_;
};

// The global error manager: counts unresolved errors of the threshold class
// or above and refuses new ones (983) when full or over its count.
class KWERRORMGR : public KWERRORLIST {
public:
    KWERRORMGR(std::uint32_t maxErrors, std::uint32_t threshold, std::uint32_t maxCount)
        : KWERRORLIST(maxErrors), threshold_(threshold), maxCount_(maxCount) {}

    void Clear();
    std::uint32_t Threshold() const { return threshold_; }
    std::uint32_t MaxCount() const { return maxCount_; }
    std::uint32_t CountedErrors() const { return counted_; }

private:
    friend kwRet LogError(KWERRORMGR*, KWERROR**, KWERRORHANDLE*);
    std::uint32_t threshold_;
    std::uint32_t maxCount_;
    std::uint32_t counted_ = 0;
};

// The limits engine set-up gives the global manager: at most 128 errors, no
// class counted, no count limit.
inline constexpr std::uint32_t KWERRMGR_MAX_ERRORS = 128;

// The global instance, created at engine set-up (null before).
extern KWERRORMGR* gErrorMgr;

// The user interface's presenter of errors: shows the error behind the handle
// and may set its status; its result becomes LogError's result.
using KwErrorPresenterFn = kwRet (*)(KWERRORHANDLE handle);
void kwSetErrorPresenter(KwErrorPresenterFn fn);

// Takes ownership of *error in every case (the caller's pointer is cleared).
kwRet LogError(KWERRORMGR* manager, KWERROR** error, KWERRORHANDLE* handle = nullptr);
kwRet LogEngineError(KWERRORMGR* manager, kwRet code, std::uint32_t errorClass,
                     KWERRORHANDLE* handle = nullptr);
kwRet LogEngineError1(KWERRORMGR* manager, kwRet code, std::uint32_t errorClass,
                      std::uint32_t detail1, KWERRORHANDLE* handle = nullptr);
kwRet ReportEngineError(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                        kwRet code, std::uint32_t errorClass, KWERRORHANDLE* handle = nullptr);
kwRet ReportEngineError1(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                         kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                         KWERRORHANDLE* handle = nullptr);
kwRet ReportEngineError2(KWERRORMGR* manager, std::uint32_t fixKind, std::uint32_t errorKind,
                         kwRet code, std::uint32_t errorClass, std::uint32_t detail1,
                         std::uint32_t detail2, KWERRORHANDLE* handle = nullptr);
