// The engine's global flag word: 0 at set-up, the start flags ORed in at
// engine start. Flag 1 switches NetWare support on.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

inline constexpr std::uint32_t KW_GLOBAL_NETWARE = 0x1;
inline constexpr std::uint32_t GLOBAL_NETWARE_SUPPORT = KW_GLOBAL_NETWARE;

// Owns the flag word; one instance from engine set-up to tear-down.
class GLOBALS_MANAGER : public KwEngineAlloc {
public:
    explicit GLOBALS_MANAGER(std::uint32_t flags) : flags_(flags) {}
    virtual ~GLOBALS_MANAGER() = default;

    bool TestFlag(std::uint32_t bits) const { return (flags_ & bits) != 0; }
    kwRet SetFlag(std::uint32_t bits) {
        flags_ |= bits;
        return KW_OK;
    }
    std::uint32_t Flags() const { return flags_; }

private:
    std::uint32_t flags_;
};

// The global instance (null outside set-up .. tear-down).
extern GLOBALS_MANAGER* gGlobalsManager;

// The global object (null when the engine is not set up); tests may install one.
inline GLOBALS_MANAGER* kwGlobals() {
    return gGlobalsManager;
}
inline void kwSetGlobals(GLOBALS_MANAGER* globals) {
    gGlobalsManager = globals;
}

// True when the engine is set up with NetWare support on.
inline bool kwNetWareSupport() {
    return gGlobalsManager != nullptr && gGlobalsManager->TestFlag(KW_GLOBAL_NETWARE);
}
