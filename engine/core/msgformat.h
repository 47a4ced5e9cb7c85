// Message formatting: engine messages by id with the markers "%1".."%4"
// replaced by caller strings, into one of three rotating 4096-byte buffers.
#pragma once

#include "engine/core/kwmemory.h"

#include <cstdint>

inline constexpr std::size_t KW_FORMAT_BUFFER = 4096;

// Owns the three result buffers; results stay valid through the next two calls.
class MESSAGE_FORMATTER : public KwEngineAlloc {
public:
    MESSAGE_FORMATTER();
    ~MESSAGE_FORMATTER();
    MESSAGE_FORMATTER(const MESSAGE_FORMATTER&) = delete;
    MESSAGE_FORMATTER& operator=(const MESSAGE_FORMATTER&) = delete;

    // False when a buffer could not be allocated.
    bool IsValid() const;
    const char* GetString(std::uint32_t id) const;
    const char* FormatById(std::uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr,
                           const char* s3 = nullptr, const char* s4 = nullptr);
    const char* Format(const char* text, const char* s1, const char* s2, const char* s3,
                       const char* s4);
    int RotationIndex() const { return next_; }

private:
    char* buffers_[3] = {};
    int next_ = 0;
};

// The global instance, created at engine set-up (null before).
extern MESSAGE_FORMATTER* gMessageFormatter;

// Formats with the global formatter; without one, returns text unchanged.
const char* FormatString(const char* text, const char* s1 = nullptr, const char* s2 = nullptr,
                         const char* s3 = nullptr, const char* s4 = nullptr);
// The text of an engine message, or "String Not Found".
const char* kwGetMessageText(std::uint32_t id);

// Prints an unsigned number in decimal into buffer (at least 11 bytes).
char* FormatNumber(char* buffer, std::uint32_t number);
// Sets "," and "." as separators (once per process) and the host's locale.
void SetNumberSeparators();
const char* kwThousandsSeparator();
const char* kwDecimalSeparator();
