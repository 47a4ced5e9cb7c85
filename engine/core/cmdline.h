// Command-line switches: the table of the engine's 68 switches and the set of
// switches given on the command line (or implied by the program) that every
// layer tests with IsSet. Switches look like /NAME, /NAME=value or /NAME:value.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A switch mask: group in bits 28-31, one switch bit in bits 0-27.
constexpr std::uint32_t KwSwitchMask(std::uint32_t group, std::uint32_t bit) {
    return (group << 28) | bit;
}

inline constexpr std::uint32_t SW_800 = KwSwitchMask(0, 0x4000000);
inline constexpr std::uint32_t SW_ACC = KwSwitchMask(1, 0x80);
inline constexpr std::uint32_t SW_AME = KwSwitchMask(1, 0x1000000);
inline constexpr std::uint32_t SW_AMW = KwSwitchMask(0, 0x1);
inline constexpr std::uint32_t SW_API_ONLY = KwSwitchMask(1, 0x200000);
inline constexpr std::uint32_t SW_AUTORMV = KwSwitchMask(2, 0x4);
inline constexpr std::uint32_t SW_BAT = KwSwitchMask(1, 0x800);
inline constexpr std::uint32_t SW_BBR = KwSwitchMask(1, 0x20000);
inline constexpr std::uint32_t SW_BOOT = KwSwitchMask(1, 0x80000);
inline constexpr std::uint32_t SW_CAS = KwSwitchMask(0, 0x2);
inline constexpr std::uint32_t SW_CBS = KwSwitchMask(0, 0x4);
inline constexpr std::uint32_t SW_CEC = KwSwitchMask(2, 0x1);
inline constexpr std::uint32_t SW_CMD = KwSwitchMask(0, 0x8);
inline constexpr std::uint32_t SW_CMP = KwSwitchMask(2, 0x200);
inline constexpr std::uint32_t SW_DAP = KwSwitchMask(1, 0x200);
inline constexpr std::uint32_t SW_DBG = KwSwitchMask(0, 0x10);
inline constexpr std::uint32_t SW_DCS = KwSwitchMask(1, 0x1000);
inline constexpr std::uint32_t SW_DIS = KwSwitchMask(1, 0x8);
inline constexpr std::uint32_t SW_DSK = KwSwitchMask(0, 0x20);
inline constexpr std::uint32_t SW_EPC = KwSwitchMask(1, 0x8000);
inline constexpr std::uint32_t SW_EPF = KwSwitchMask(1, 0x10000);
inline constexpr std::uint32_t SW_ERR = KwSwitchMask(0, 0x40);
inline constexpr std::uint32_t SW_HPC = KwSwitchMask(1, 0x100);
inline constexpr std::uint32_t SW_I24 = KwSwitchMask(1, 0x4000);
inline constexpr std::uint32_t SW_IEB = KwSwitchMask(0, 0x80);
inline constexpr std::uint32_t SW_IFC = KwSwitchMask(0, 0x100);
inline constexpr std::uint32_t SW_IPE = KwSwitchMask(0, 0x200);
inline constexpr std::uint32_t SW_IRE = KwSwitchMask(0, 0x400);
inline constexpr std::uint32_t SW_IMG = KwSwitchMask(0, 0x800);
inline constexpr std::uint32_t SW_IUI = KwSwitchMask(0, 0x8000000);
inline constexpr std::uint32_t SW_LVL = KwSwitchMask(1, 0x2000);
inline constexpr std::uint32_t SW_LOG = KwSwitchMask(0, 0x1000);
inline constexpr std::uint32_t SW_MBI = KwSwitchMask(2, 0x20);
inline constexpr std::uint32_t SW_MBR = KwSwitchMask(2, 0x40);
inline constexpr std::uint32_t SW_MEMTRACE = KwSwitchMask(1, 0x400000);
inline constexpr std::uint32_t SW_MFS = KwSwitchMask(0, 0x2000);
inline constexpr std::uint32_t SW_MUP = KwSwitchMask(0, 0x4000);
inline constexpr std::uint32_t SW_MSN = KwSwitchMask(1, 0x4);
inline constexpr std::uint32_t SW_NBS = KwSwitchMask(0, 0x8000);
inline constexpr std::uint32_t SW_NDBG = KwSwitchMask(2, 0x10);
inline constexpr std::uint32_t SW_NOCIH = KwSwitchMask(1, 0x2000000);
inline constexpr std::uint32_t SW_NRB = KwSwitchMask(0, 0x10000);
inline constexpr std::uint32_t SW_NRF = KwSwitchMask(1, 0x400);
inline constexpr std::uint32_t SW_NSO = KwSwitchMask(1, 0x800000);
inline constexpr std::uint32_t SW_NSS = KwSwitchMask(1, 0x1);
inline constexpr std::uint32_t SW_NUI = KwSwitchMask(1, 0x4000000);
inline constexpr std::uint32_t SW_NWB = KwSwitchMask(1, 0x40000);
inline constexpr std::uint32_t SW_NWD = KwSwitchMask(1, 0x2);
inline constexpr std::uint32_t SW_PAM = KwSwitchMask(0, 0x20000);
inline constexpr std::uint32_t SW_KWB = KwSwitchMask(1, 0x40);
inline constexpr std::uint32_t SW_PWD = KwSwitchMask(0, 0x40000);
inline constexpr std::uint32_t SW_RAV = KwSwitchMask(0, 0x80000);
inline constexpr std::uint32_t SW_RDBG = KwSwitchMask(2, 0x2);
inline constexpr std::uint32_t SW_RIS = KwSwitchMask(1, 0x8000000);
inline constexpr std::uint32_t SW_RPP = KwSwitchMask(1, 0x10);
inline constexpr std::uint32_t SW_SCO = KwSwitchMask(0, 0x100000);
inline constexpr std::uint32_t SW_SNC = KwSwitchMask(2, 0x80);
inline constexpr std::uint32_t SW_SSO = KwSwitchMask(0, 0x200000);
inline constexpr std::uint32_t SW_TTL = KwSwitchMask(2, 0x400);
inline constexpr std::uint32_t SW_UEB = KwSwitchMask(0, 0x400000);
inline constexpr std::uint32_t SW_USG = KwSwitchMask(0, 0x800000);
inline constexpr std::uint32_t SW_UVM = KwSwitchMask(1, 0x20);
inline constexpr std::uint32_t SW_VER = KwSwitchMask(2, 0x100);
inline constexpr std::uint32_t SW_VIP = KwSwitchMask(2, 0x8);
inline constexpr std::uint32_t SW_WFS = KwSwitchMask(0, 0x1000000);
inline constexpr std::uint32_t SW_WRB = KwSwitchMask(1, 0x100000);
inline constexpr std::uint32_t SW_ZLB = KwSwitchMask(0, 0x2000000);
inline constexpr std::uint32_t SW_DSS = KwSwitchMask(2, 0x800);

// Switch value: none, required or optional.
inline constexpr std::uint32_t SWV_NONE = 0;
inline constexpr std::uint32_t SWV_REQUIRED = 1;
inline constexpr std::uint32_t SWV_OPTIONAL = 2;

// Value kinds.
inline constexpr std::uint32_t SWK_NONE = 0;
inline constexpr std::uint32_t SWK_TEXT = 1;
inline constexpr std::uint32_t SWK_NUMBER = 2;
inline constexpr std::uint32_t SWK_FILE = 3;

inline constexpr std::uint32_t SW_NO_HELP = 0xFFFFFFFFu;

// One row of the switch table as the program defines it.
struct SWITCH_ENTRY {
    std::uint32_t mask;
    const char* name;
    bool listed;
    std::uint32_t value;
    bool mayRepeat;
    std::uint32_t kind;
    std::uint32_t helpId;
    std::uint32_t minimum; // 0: no limit (numbers: value, text: length)
    std::uint32_t maximum;
};

inline constexpr std::size_t KW_SWITCH_COUNT = 68;
extern const SWITCH_ENTRY SwitchTable[KW_SWITCH_COUNT];

// Parse result codes.
inline constexpr std::uint32_t CL_RESULT_USAGE = 1;
inline constexpr std::uint32_t CL_RESULT_ERROR = 2;

// The switch set of one program run: which switches the host accepts, which
// were given (and at which argument), and which the engine implied.
class COMMAND_LINE : public KwEngineAlloc {
public:
    COMMAND_LINE();

    void SetAccepted(std::uint32_t mask, bool accepted);
    void Accept(std::uint32_t mask) { SetAccepted(mask, true); }

    // Null when every argument was accepted; otherwise the usage text
    // (result code 1) or the first error message (result code 2), allocated
    // with kwGetMemory; the caller frees it with kwFreeMemory. The arguments
    // are copied. Parsing opens no log: engine set-up does that from the
    // switches, then calls LogArguments.
    char* Parse(int argc, const char* const* argv, std::uint32_t* resultCode = nullptr);
    // Writes the program name and the arguments to the debug log.
    void LogArguments() const;

    bool IsSet(std::uint32_t mask) const;
    void Imply(std::uint32_t mask);

    // Copies the switch's value into buffer (size bytes with the NUL). A value
    // that does not fit is refused with 4 and an empty buffer.
    kwRet GetValue(std::uint32_t mask, char* buffer, std::size_t size) const;
    kwRet GetValue(std::uint32_t mask, std::string* value) const;
    kwRet GetNumber(std::uint32_t mask, std::uint32_t* value) const;

    const char* GetProgramName() const;
    char GetProgramDrive() const;

    // True when text is a whole number: decimal digits, or 0x/0X and hex
    // digits; a leading 0 reads octal. Values over 32 bits are not numbers.
    static bool ParseNumber(const char* text, std::uint32_t* value);

    // Null, or message 474 naming a forbidden pair (kwGetMemory allocation).
    char* CheckConflicts() const;
    // The usage text: listed accepted switches, or all accepted ones.
    std::string UsageText(bool all) const;

private:
    struct State {
        bool accepted = false;
        int argIndex = 0;
    };
    int IndexOf(std::uint32_t mask) const;
    kwRet ValueText(std::uint32_t mask, const char** text) const;
    std::string CheckArgument(int argIndex, const char* text);
    std::string CheckValue(std::size_t entry, const char* rest);

    int argc_ = 0;
    const char* const* argv_ = nullptr; // into args_
    std::vector<std::string> args_;
    std::vector<const char*> argPointers_;
    std::uint32_t given_[16] = {};
    std::uint32_t implied_[16] = {};
    State state_[KW_SWITCH_COUNT];
};

// The global instance, created at engine set-up (null before).
extern COMMAND_LINE* gCommandLine;

// True when the global switch set exists and has the switch.
bool kwSwitchSet(std::uint32_t mask);
