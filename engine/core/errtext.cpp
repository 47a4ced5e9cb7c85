// Error texts by code, resource strings by id, and the framed error message.
#include "engine/core/errtext.h"

#include "kwstring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr const char* kTooLong = "ERROR: The string exceeds the buffer size.";
constexpr const char* kNotFound = "ERROR: String not found";

struct RESOURCE_STRING {
    std::uint32_t id;
    const char* text;
};

// Kept in ascending id order.
constexpr RESOURCE_STRING RESOURCE_STRING_TABLE[] = {
    {RS_BOOT_MANAGER, "Boot Manager"}, {RS_EXTENDED, "Extended"},
    {RS_UNALLOCATED, "Unallocated"},   {RS_BAD, "BAD"},
    {RS_ERROR_CAPTION, "Error"},       {RS_ERROR_FRAME, "Error #%d \n%s"},
    {RS_UNFORMATTED, "Unformatted"},
};

KwErrorBoxFn gErrorBox = nullptr;

const char* RawText(kwRet code) {
    if (code > KW_LAST_TEXT_CODE)
        return "";
    std::uint32_t at = KWERR_INDEX[code];
    return at < KWERR_TEXT_COUNT ? KWERR_TEXTS[at] : "";
}

// One printf conversion of an error text: its text and the argument it takes.
struct Conversion {
    std::string spec;
    char type = 0;    // 'n' integer, 's' text
    int longness = 0; // 0 int, 1 long, 2 long long
};

// Reads the conversion at text[pos] == '%'; nullopt for one this formatter
// will not fill (star widths, floating point, %n, unknown letters).
std::optional<Conversion> ReadConversion(const char* text, std::size_t* pos) {
    Conversion c;
    std::size_t p = *pos + 1;
    while (text[p] != '\0' && std::strchr("-+ #0", text[p]) != nullptr)
        ++p;
    while (text[p] >= '0' && text[p] <= '9')
        ++p;
    if (text[p] == '.')
        for (++p; text[p] >= '0' && text[p] <= '9';)
            ++p;
    for (; text[p] == 'l' || text[p] == 'h'; ++p)
        c.longness += text[p] == 'l' ? 1 : 0;
    char t = text[p];
    if (t != '\0' && std::strchr("diuxXo", t) != nullptr)
        c.type = 'n';
    else if (t == 's')
        c.type = 's';
    else
        return std::nullopt;
    if (c.longness > 2 || (c.type == 's' && c.longness != 0))
        return std::nullopt;
    c.spec.assign(text + *pos, p + 1 - *pos);
    *pos = p + 1;
    return c;
}

std::string FormatOne(const Conversion& c, std::uintptr_t arg) {
    char buf[256];
    if (c.type == 's') {
        std::snprintf(buf, sizeof buf, c.spec.c_str(), reinterpret_cast<const char*>(arg));
        return buf;
    }
    auto value = static_cast<std::uint32_t>(arg);
    if (c.longness == 2)
        std::snprintf(buf, sizeof buf, c.spec.c_str(), static_cast<unsigned long long>(value));
    else if (c.longness == 1)
        std::snprintf(buf, sizeof buf, c.spec.c_str(), static_cast<unsigned long>(value));
    else
        std::snprintf(buf, sizeof buf, c.spec.c_str(), static_cast<unsigned>(value));
    return buf;
}

// The text with its conversions filled, when they match the argument kind.
std::optional<std::string> FillText(const char* text, std::uint32_t kind, std::uintptr_t a1,
                                    std::uintptr_t a2) {
    const std::uintptr_t args[2] = {a1, a2};
    const char wanted = kind == KW_ARG_TEXT ? 's' : 'n';
    const std::size_t count = kind == KW_ARG_TWO_NUMBERS ? 2 : 1;
    if (kind == KW_ARG_TEXT && a1 == 0)
        return std::nullopt;
    std::string out;
    std::size_t used = 0;
    for (std::size_t p = 0; text[p] != '\0';) {
        if (text[p] != '%') {
            out.push_back(text[p++]);
        } else if (text[p + 1] == '%') {
            out.push_back('%');
            p += 2;
        } else {
            std::optional<Conversion> c = ReadConversion(text, &p);
            if (!c || c->type != wanted || used == count)
                return std::nullopt;
            out += FormatOne(*c, args[used++]);
        }
    }
    if (used != count)
        return std::nullopt;
    return out;
}

} // namespace

bool kwHasErrorText(kwRet code) {
    return code <= KW_LAST_TEXT_CODE && KWERR_INDEX[code] != 0;
}

std::string kwGetErrorTextA(kwRet code) {
    const char* text = RawText(code);
    if (std::strlen(text) >= KW_TEXT_BUFFER)
        return kTooLong;
    return text;
}

KWString kwGetErrorText(kwRet code) {
    return KWString(kwGetErrorTextA(code).c_str());
}

void CopyStringChecked(char* destination, const char* source, std::size_t size) {
    if (destination == nullptr || size == 0)
        return;
    if (source == nullptr)
        source = "";
    const char* text = std::strlen(source) >= size ? kTooLong : source;
    std::size_t n = std::strlen(text);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(destination, text, n);
    destination[n] = '\0';
}

void LookupResourceString(std::uint32_t id, char* destination, std::size_t size) {
    std::size_t low = 0;
    std::size_t high = std::size(RESOURCE_STRING_TABLE);
    while (low < high) {
        std::size_t middle = low + (high - low) / 2;
        const RESOURCE_STRING& entry = RESOURCE_STRING_TABLE[middle];
        if (entry.id == id) {
            CopyStringChecked(destination, entry.text, size);
            return;
        }
        if (id > entry.id)
            low = middle + 1;
        else
            high = middle;
    }
    CopyStringChecked(destination, kNotFound, size);
}

std::string GetResourceStringA(std::uint32_t id) {
    char buffer[KW_TEXT_BUFFER];
    LookupResourceString(id, buffer, sizeof buffer);
    return buffer;
}

KWString GetResourceString(std::uint32_t id) {
    return KWString(GetResourceStringA(id).c_str());
}

char* kwFormatErrorText(kwRet code, std::uint32_t /*flags*/, std::uint32_t argKind,
                        std::uintptr_t arg1, std::uintptr_t arg2) {
    std::string text = kwGetErrorTextA(code);
    if (argKind == KW_ARG_ONE_NUMBER || argKind == KW_ARG_TWO_NUMBERS || argKind == KW_ARG_TEXT) {
        if (std::optional<std::string> filled = FillText(text.c_str(), argKind, arg1, arg2))
            text = *filled;
    }
    if (text.size() > KW_TEXT_BUFFER - 1)
        text.resize(KW_TEXT_BUFFER - 1);
    std::string frame = GetResourceStringA(RS_ERROR_FRAME);
    std::size_t room = frame.size() + text.size() + 16;
    char* out = static_cast<char*>(std::malloc(room));
    if (out == nullptr)
        return nullptr;
    std::snprintf(out, room, "Error #%u \n%s", static_cast<unsigned>(code), text.c_str());
    return out;
}

kwRet kwShowErrorMessage(kwRet code, std::uint32_t flags, std::uint32_t argKind,
                         std::uintptr_t arg1, std::uintptr_t arg2) {
    if (code == ERR_USER_CANCEL)
        return KW_OK;
    char* message = kwFormatErrorText(code, flags, argKind, arg1, arg2);
    if (message == nullptr)
        return KW_OK;
    if (gErrorBox != nullptr)
        gErrorBox(GetResourceStringA(RS_ERROR_CAPTION).c_str(), message);
    std::free(message);
    return KW_OK;
}

void kwSetErrorBoxHandler(KwErrorBoxFn fn) {
    gErrorBox = fn;
}
