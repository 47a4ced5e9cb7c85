// Texts of return codes and the engine's few built-in resource strings, and
// the framed error message ("Error #<code> \n<text>") shown to the user.
#pragma once

#include "engine/core/kwret.h"

#include <cstddef>
#include <cstdint>
#include <string>

class KWString;

// The error-text table, generated at build time: KWERR_INDEX[code] is the
// position of the code's text in KWERR_TEXTS (0: the empty text).
extern const std::uint32_t KWERR_INDEX[KW_LAST_TEXT_CODE + 1];
extern const char* const KWERR_TEXTS[];
extern const std::uint32_t KWERR_TEXT_COUNT;

inline constexpr std::size_t KW_TEXT_BUFFER = 1000;

// The text of a code as plain ASCII: empty for codes without text and above
// 4000; a text of 1000 bytes or more is replaced by the overlong-text notice.
std::string kwGetErrorTextA(kwRet code);
// The same text as a KWString of the default kind.
KWString kwGetErrorText(kwRet code);
// True when the code has a text of its own in the table.
bool kwHasErrorText(kwRet code);

// Copies source into a buffer of size bytes; a source that does not fit gives
// "ERROR: The string exceeds the buffer size." cut to size - 1 characters.
void CopyStringChecked(char* destination, const char* source, std::size_t size);

// Resource strings by id.
inline constexpr std::uint32_t RS_BOOT_MANAGER = 6;
inline constexpr std::uint32_t RS_EXTENDED = 15;
inline constexpr std::uint32_t RS_UNALLOCATED = 17;
inline constexpr std::uint32_t RS_BAD = 66;
inline constexpr std::uint32_t RS_ERROR_CAPTION = 97;
inline constexpr std::uint32_t RS_ERROR_FRAME = 98;
inline constexpr std::uint32_t RS_UNFORMATTED = 105;

void LookupResourceString(std::uint32_t id, char* destination, std::size_t size);
std::string GetResourceStringA(std::uint32_t id);
KWString GetResourceString(std::uint32_t id);

// Argument kinds of kwFormatErrorText.
inline constexpr std::uint32_t KW_ARG_NONE = 0;
inline constexpr std::uint32_t KW_ARG_ONE_NUMBER = 1;
inline constexpr std::uint32_t KW_ARG_TWO_NUMBERS = 2;
inline constexpr std::uint32_t KW_ARG_TEXT = 3;

// The framed message of a code, allocated with malloc (the caller frees it
// with free), or null without memory. A text's printf conversions are filled
// only when they match the argument kind; otherwise the text shows as it is.
char* kwFormatErrorText(kwRet code, std::uint32_t flags, std::uint32_t argKind, std::uintptr_t arg1,
                        std::uintptr_t arg2);

// Shows the framed message through the installed error-box handler; code 7
// shows nothing. Always 0.
kwRet kwShowErrorMessage(kwRet code, std::uint32_t flags, std::uint32_t argKind,
                         std::uintptr_t arg1, std::uintptr_t arg2);

// The user interface installs the box that shows error messages (one
// acknowledgement button); without one, nothing is shown.
using KwErrorBoxFn = void (*)(const char* caption, const char* text);
void kwSetErrorBoxHandler(KwErrorBoxFn fn);
