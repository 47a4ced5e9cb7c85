// COMMAND_LINE: parsing of the switches against the table, their values and
// the usage text.
#include "engine/core/cmdline.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/msgformat.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

COMMAND_LINE* gCommandLine = nullptr;

namespace {

constexpr std::size_t kUsageLimit = 8192;

// Parser messages.
constexpr std::uint32_t MSG_BOTH_SWITCHES = 474;
constexpr std::uint32_t MSG_KIND_FILENAME = 475;
constexpr std::uint32_t MSG_KIND_NUMBER = 476;
constexpr std::uint32_t MSG_KIND_STRING = 477;
constexpr std::uint32_t MSG_TOO_SHORT = 482;
constexpr std::uint32_t MSG_TOO_LONG = 483;
constexpr std::uint32_t MSG_NO_VALUE_ALLOWED = 488;
constexpr std::uint32_t MSG_NEEDS_FILENAME = 504;
constexpr std::uint32_t MSG_BELOW_MINIMUM = 505;
constexpr std::uint32_t MSG_ABOVE_MAXIMUM = 514;
constexpr std::uint32_t MSG_NEEDS_NUMBER = 533;
constexpr std::uint32_t MSG_NEEDS_STRING = 546;
constexpr std::uint32_t MSG_UNKNOWN = 549;
constexpr std::uint32_t MSG_TWICE = 550;
constexpr std::uint32_t MSG_NEEDS_VALUE = 553;

char* DupForCaller(const std::string& text) {
    char* out = nullptr;
    if (kwGetMemory(static_cast<std::uint32_t>(text.size() + 1), &out) != KW_OK)
        return nullptr;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

std::string Message(std::uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr) {
    const char* text = FormatString(kwGetMessageText(id), s1, s2);
    return text != nullptr ? text : "";
}

std::uint32_t MissingValueMessage(std::uint32_t kind) {
    switch (kind) {
    case SWK_FILE:
        return MSG_NEEDS_FILENAME;
    case SWK_NUMBER:
        return MSG_NEEDS_NUMBER;
    case SWK_TEXT:
        return MSG_NEEDS_STRING;
    default:
        return MSG_NEEDS_VALUE;
    }
}

std::uint32_t KindMessage(std::uint32_t kind) {
    switch (kind) {
    case SWK_FILE:
        return MSG_KIND_FILENAME;
    case SWK_NUMBER:
        return MSG_KIND_NUMBER;
    default:
        return MSG_KIND_STRING;
    }
}

bool IsSeparator(char c) {
    return c == '=' || c == ':';
}

std::uint32_t Group(std::uint32_t mask) {
    return mask >> 28;
}
std::uint32_t Bit(std::uint32_t mask) {
    return mask & 0x0FFFFFFFu;
}

} // namespace

COMMAND_LINE::COMMAND_LINE() = default;

int COMMAND_LINE::IndexOf(std::uint32_t mask) const {
    for (std::size_t i = 0; i < KW_SWITCH_COUNT; ++i)
        if (SwitchTable[i].mask == mask)
            return static_cast<int>(i);
    return -1;
}

void COMMAND_LINE::SetAccepted(std::uint32_t mask, bool accepted) {
    int i = IndexOf(mask);
    if (i >= 0)
        state_[i].accepted = accepted;
}

bool COMMAND_LINE::IsSet(std::uint32_t mask) const {
    std::uint32_t g = Group(mask);
    return ((given_[g] | implied_[g]) & Bit(mask)) != 0;
}

void COMMAND_LINE::Imply(std::uint32_t mask) {
    implied_[Group(mask)] |= Bit(mask);
}

bool COMMAND_LINE::ParseNumber(const char* text, std::uint32_t* value) {
    if (text == nullptr || *text == '\0')
        return false;
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex && text[2] == '\0')
        return false;
    for (const char* p = hex ? text + 2 : text; *p != '\0'; ++p) {
        bool ok =
            hex ? std::isxdigit(static_cast<unsigned char>(*p)) != 0 : (*p >= '0' && *p <= '9');
        if (!ok)
            return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    if (value != nullptr)
        *value = static_cast<std::uint32_t>(v);
    return true;
}

std::string COMMAND_LINE::CheckValue(std::size_t entry, const char* rest) {
    const SWITCH_ENTRY& e = SwitchTable[entry];
    const char* name = e.name;
    const char* value = nullptr;
    if (e.value == SWV_NONE) {
        return *rest != '\0' ? Message(MSG_NO_VALUE_ALLOWED, name) : std::string();
    }
    if (e.value == SWV_OPTIONAL && *rest == '\0')
        return std::string();
    if (!IsSeparator(*rest) || (e.value == SWV_REQUIRED && rest[1] == '\0'))
        return Message(MissingValueMessage(e.kind), name);
    value = rest + 1;
    char limit[16];
    if (e.kind == SWK_NUMBER) {
        std::uint32_t n = 0;
        if (!ParseNumber(value, &n))
            return Message(MSG_NEEDS_NUMBER, name);
        if (e.minimum != 0 && n < e.minimum)
            return Message(MSG_BELOW_MINIMUM, name, FormatNumber(limit, e.minimum));
        if (e.maximum != 0 && n > e.maximum)
            return Message(MSG_ABOVE_MAXIMUM, name, FormatNumber(limit, e.maximum));
    } else if (e.kind == SWK_TEXT || e.kind == SWK_FILE) {
        std::size_t len = std::strlen(value);
        if (e.minimum != 0 && len < e.minimum)
            return Message(MSG_TOO_SHORT, name, FormatNumber(limit, e.minimum));
        if (e.maximum != 0 && len > e.maximum)
            return Message(MSG_TOO_LONG, name, FormatNumber(limit, e.maximum));
    }
    return std::string();
}

std::string COMMAND_LINE::CheckArgument(int argIndex, const char* text) {
    std::size_t entry = KW_SWITCH_COUNT;
    for (std::size_t i = 0; i < KW_SWITCH_COUNT; ++i) {
        const char* name = SwitchTable[i].name;
        if (state_[i].accepted && std::strncmp(text, name, std::strlen(name)) == 0) {
            entry = i;
            break;
        }
    }
    if (entry == KW_SWITCH_COUNT) {
        DbgPrintf("Error: Unknown command line argument used - %s\n", text);
        return Message(MSG_UNKNOWN, text);
    }
    const SWITCH_ENTRY& e = SwitchTable[entry];
    std::string error;
    std::uint32_t g = Group(e.mask);
    if ((given_[g] & Bit(e.mask)) != 0 && !e.mayRepeat)
        error = Message(MSG_TWICE, e.name);
    given_[g] |= Bit(e.mask);
    state_[entry].argIndex = argIndex;
    std::string valueError = CheckValue(entry, text + std::strlen(e.name));
    return error.empty() ? valueError : error;
}

char* COMMAND_LINE::Parse(int argc, const char* const* argv, std::uint32_t* resultCode) {
    // Values are read long after parsing: keep copies of the arguments.
    args_.clear();
    argPointers_.clear();
    for (int i = 0; i < argc && argv != nullptr; ++i)
        args_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    for (const std::string& a : args_)
        argPointers_.push_back(a.c_str());
    argc_ = static_cast<int>(args_.size());
    argv_ = argPointers_.data();
    argv = argv_;
    argc = argc_;
    std::string firstError;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i] != nullptr ? argv[i] : "";
        if (arg[0] != '/' || arg[1] == '?') {
            if (resultCode != nullptr)
                *resultCode = CL_RESULT_USAGE;
            return DupForCaller(UsageText(arg[0] == '/' && arg[2] == '*'));
        }
        std::string error = CheckArgument(i, arg + 1);
        if (firstError.empty())
            firstError = error;
    }
    if (firstError.empty()) {
        if (char* conflict = CheckConflicts(); conflict != nullptr) {
            firstError = conflict;
            kwFreeMemory(&conflict);
        }
    }
    if (firstError.empty())
        return nullptr;
    if (resultCode != nullptr)
        *resultCode = CL_RESULT_ERROR;
    return DupForCaller(firstError);
}

void COMMAND_LINE::LogArguments() const {
    if (gDbgMgr == nullptr)
        return;
    gDbgMgr->Print(DBG_LEVEL_TRACE, "Running Program - %s\n\n",
                   argc_ > 0 && argv_[0] != nullptr ? argv_[0] : "");
    if (argc_ > 1)
        gDbgMgr->Print(DBG_LEVEL_TRACE,
                       "Command line arguments used\n---------------------------\n");
    for (int i = 1; i < argc_; ++i)
        gDbgMgr->Print(DBG_LEVEL_TRACE, "   %s\n", argv_[i] != nullptr ? argv_[i] : "");
}

std::string COMMAND_LINE::UsageText(bool all) const {
    std::string out = "\n";
    for (std::size_t i = 0; i < KW_SWITCH_COUNT; ++i) {
        const SWITCH_ENTRY& e = SwitchTable[i];
        if (!state_[i].accepted || (!e.listed && !all))
            continue;
        std::string line = "/";
        line += e.name;
        if (e.value == SWV_REQUIRED)
            line += std::string("=") + kwGetMessageText(KindMessage(e.kind));
        else if (e.value == SWV_OPTIONAL)
            line += std::string("[=") + kwGetMessageText(KindMessage(e.kind)) + "]";
        line += "  - ";
        line += e.helpId == SW_NO_HELP ? "???" : kwGetMessageText(e.helpId);
        line += "\n";
        if (out.size() + line.size() >= kUsageLimit)
            break;
        out += line;
    }
    return out;
}

char* COMMAND_LINE::CheckConflicts() const {
    if (IsSet(SW_CBS) && IsSet(SW_NBS))
        return DupForCaller(Message(MSG_BOTH_SWITCHES, "CBS", "NBS"));
    if (IsSet(SW_IEB) && IsSet(SW_UEB))
        return DupForCaller(Message(MSG_BOTH_SWITCHES, "IEB", "UEB"));
    return nullptr;
}

kwRet COMMAND_LINE::ValueText(std::uint32_t mask, const char** text) const {
    *text = nullptr;
    std::uint32_t g = Group(mask);
    int i = IndexOf(mask);
    if ((given_[g] & Bit(mask)) == 0 || i < 0)
        return (implied_[g] & Bit(mask)) != 0 ? ERR_SWITCH_VALUE_UNUSABLE : ERR_SWITCH_NOT_GIVEN;
    const SWITCH_ENTRY& e = SwitchTable[i];
    int arg = state_[i].argIndex;
    if (arg <= 0 || arg >= argc_ || argv_ == nullptr || argv_[arg] == nullptr)
        return ERR_SWITCH_VALUE_UNUSABLE;
    const char* rest = argv_[arg] + 1 + std::strlen(e.name);
    if (e.value == SWV_NONE)
        return ERR_SWITCH_NO_VALUE;
    if (e.value == SWV_OPTIONAL && !IsSeparator(*rest))
        return ERR_SWITCH_VALUE_UNUSABLE;
    if (e.value == SWV_REQUIRED && (e.kind < SWK_TEXT || e.kind > SWK_FILE))
        return KW_OK; // no value text for this kind
    if (!IsSeparator(*rest))
        return ERR_SWITCH_VALUE_UNUSABLE;
    *text = rest + 1;
    return KW_OK;
}

kwRet COMMAND_LINE::GetValue(std::uint32_t mask, std::string* value) const {
    if (value == nullptr)
        return ERR_BAD_POINTER;
    value->clear();
    const char* text = nullptr;
    kwRet rc = ValueText(mask, &text);
    if (rc == KW_OK && text != nullptr)
        *value = text;
    return rc;
}

kwRet COMMAND_LINE::GetValue(std::uint32_t mask, char* buffer, std::size_t size) const {
    if (buffer == nullptr || size == 0)
        return ERR_BAD_POINTER;
    buffer[0] = '\0';
    const char* text = nullptr;
    kwRet rc = ValueText(mask, &text);
    if (rc != KW_OK || text == nullptr)
        return rc;
    std::size_t len = std::strlen(text);
    if (len + 1 > size)
        return ERR_BAD_ARGUMENT;
    std::memcpy(buffer, text, len + 1);
    return KW_OK;
}

kwRet COMMAND_LINE::GetNumber(std::uint32_t mask, std::uint32_t* value) const {
    if (value == nullptr)
        return ERR_BAD_POINTER;
    *value = 0;
    int i = IndexOf(mask);
    const char* text = nullptr;
    kwRet rc = ValueText(mask, &text);
    if (rc != KW_OK)
        return rc;
    if (i < 0 || SwitchTable[i].kind != SWK_NUMBER || text == nullptr || !ParseNumber(text, value))
        return ERR_SWITCH_VALUE_UNUSABLE;
    return KW_OK;
}

const char* COMMAND_LINE::GetProgramName() const {
    return argc_ > 0 && argv_ != nullptr ? argv_[0] : nullptr;
}

char COMMAND_LINE::GetProgramDrive() const {
    const char* name = GetProgramName();
    return name != nullptr ? name[0] : '\0';
}

bool kwSwitchSet(std::uint32_t mask) {
    return gCommandLine != nullptr && gCommandLine->IsSet(mask);
}
