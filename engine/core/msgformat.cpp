// MESSAGE_FORMATTER and FormatString: "%1".."%4" markers filled with caller
// strings, bounded by the 4096-byte result buffers.
#include "engine/core/msgformat.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/msgres.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

MESSAGE_FORMATTER* gMessageFormatter = nullptr;

namespace {

constexpr const char* kNotFound = "String Not Found";
const char* gThousands = nullptr;
const char* gDecimal = nullptr;

// Appends text to a result held to KW_FORMAT_BUFFER - 1 characters.
struct Bounded {
    char* out;
    std::size_t len = 0;
    void Put(const char* text, std::size_t n) {
        std::size_t room = KW_FORMAT_BUFFER - 1 - len;
        if (n > room)
            n = room;
        std::memcpy(out + len, text, n);
        len += n;
    }
};

} // namespace

MESSAGE_FORMATTER::MESSAGE_FORMATTER() {
    for (char*& b : buffers_) {
        b = static_cast<char*>(std::calloc(KW_FORMAT_BUFFER, 1));
    }
}

MESSAGE_FORMATTER::~MESSAGE_FORMATTER() {
    for (char* b : buffers_)
        std::free(b);
}

bool MESSAGE_FORMATTER::IsValid() const {
    return buffers_[0] != nullptr && buffers_[1] != nullptr && buffers_[2] != nullptr;
}

const char* MESSAGE_FORMATTER::GetString(std::uint32_t id) const {
    return kwGetMessageText(id);
}

const char* MESSAGE_FORMATTER::FormatById(std::uint32_t id, const char* s1, const char* s2,
                                          const char* s3, const char* s4) {
    return Format(GetString(id), s1, s2, s3, s4);
}

const char* MESSAGE_FORMATTER::Format(const char* text, const char* s1, const char* s2,
                                      const char* s3, const char* s4) {
    if (text == nullptr)
        return nullptr;
    const char* subs[4] = {s1, s2, s3, s4};
    int given = 0;
    long long estimate = static_cast<long long>(std::strlen(text));
    for (const char* s : subs) {
        if (s != nullptr) {
            ++given;
            estimate += static_cast<long long>(std::strlen(s)) - 2;
        }
    }
    if (estimate >= static_cast<long long>(KW_FORMAT_BUFFER)) {
        DbgPrintf("FormatString: String too long\n");
        return text;
    }
    if (!IsValid())
        return text;
    Bounded result{buffers_[next_]};
    next_ = (next_ + 1) % 3;
    if (*text == '\0') {
        if (given > 0)
            DbgPrintf("FormatString: Number of substitute markers do not match input strings\n");
        result.out[0] = '\0';
        return result.out;
    }
    int markers = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            result.Put(p, 1);
            continue;
        }
        char next = p[1];
        if (next == '%') {
            result.Put("%", 1);
        } else if (next >= '1' && next <= '4') {
            const char* s = subs[next - '1'];
            if (s != nullptr) {
                result.Put(s, std::strlen(s));
            } else {
                result.Put(p, 2);
                DbgPrintf("FormatString: Substitution string %%%c missing\n", next);
            }
            ++markers;
        } else {
            result.Put("%?", 2);
            DbgPrintf("FormatString: Substitution string %%? missing\n");
            ++markers;
            if (next == '\0')
                break;
        }
        ++p;
    }
    result.out[result.len] = '\0';
    if (markers >= 5)
        DbgPrintf("FormatString: Too many substitute markers in string\n");
    else if (markers != given)
        DbgPrintf("FormatString: Number of substitute markers do not match input strings\n");
    return result.out;
}

const char* FormatString(const char* text, const char* s1, const char* s2, const char* s3,
                         const char* s4) {
    if (gMessageFormatter == nullptr)
        return text;
    return gMessageFormatter->Format(text, s1, s2, s3, s4);
}

const char* kwGetMessageText(std::uint32_t id) {
    const char* text = cpGetMessage(id);
    return text != nullptr ? text : kNotFound;
}

char* FormatNumber(char* buffer, std::uint32_t number) {
    std::snprintf(buffer, 11, "%lu", static_cast<unsigned long>(number));
    return buffer;
}

void SetNumberSeparators() {
    if (gThousands == nullptr) {
        gThousands = ",";
        gDecimal = ".";
    }
    std::setlocale(LC_ALL, "");
}

const char* kwThousandsSeparator() {
    return gThousands != nullptr ? gThousands : ",";
}
const char* kwDecimalSeparator() {
    return gDecimal != nullptr ? gDecimal : ".";
}
