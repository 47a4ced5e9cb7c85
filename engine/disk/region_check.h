// Runs of sectors chained to their neighbours (a file system's segments and
// free stretches inside one partition) and the check that one such run has a
// length and stays clear of the runs before and after it.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class KWERRORMGR;

// "Internal Error: the region specified cannot be found."
inline constexpr kwRet ERR_REGION_NOT_FOUND = 1459;
// The class with which a broken region is logged to an error manager.
inline constexpr std::uint32_t REGION_ERROR_CLASS = 0x80;

// One run of sectors in a chain. The neighbour pointers are not owned; both
// are null after construction. Subclasses say where the run lies and how
// long it is.
class KW_REGION {
public:
    KW_REGION() = default;
    KW_REGION(const KW_REGION&) = delete;
    KW_REGION& operator=(const KW_REGION&) = delete;
    virtual ~KW_REGION() = default;
    virtual std::uint32_t GetStartSector() const = 0;
    virtual void SetStartSector(std::uint32_t sector) = 0;
    virtual std::uint32_t GetSectorCount() const = 0;
    virtual void SetSectorCount(std::uint32_t count) = 0;

    // See the free function below.
    kwRet checkIntegrity(KWERRORMGR* errors) const;

    KW_REGION* previous = nullptr;
    KW_REGION* next = nullptr;
};

// 0 when the region is sound: it has a length, the previous region ends at
// or before its start, and the next region starts at or after its end (ends
// are taken in 64 bits, so a run that wraps past 2^32 overlaps). A broken
// region gives 1459; with an error manager the error is first logged there
// (class 0x80), and a non-zero result of logging it (the user cancelled, too
// many errors) is returned in place of 1459.
kwRet checkIntegrity(const KW_REGION* region, KWERRORMGR* errors);
