#include "imagestore/partstore/password_value.h"

#include <cstring>
#include <string_view>

namespace kw::partstore {

namespace {

bool IsHexCandidate(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The value of a digit of any base up to 16, -1 for other characters.
int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool AllDigits(std::string_view text, bool hex) {
    for (const char c : text) {
        const int digit = DigitValue(c);
        if (digit < 0 || digit >= (hex ? 16 : 10)) {
            return false;
        }
    }
    return true;
}

// The C rules for base detection; reading stops at the first digit that does
// not belong to the base ("08" reads as 0).
uint32_t NumberValue(std::string_view text) {
    unsigned base = 10;
    if (IsHexCandidate(text)) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    for (const char c : text) {
        const int digit = DigitValue(c);
        if (digit < 0 || unsigned(digit) >= base) {
            break;
        }
        value = value * base + unsigned(digit);
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return uint32_t(value);
}

uint32_t WordSum(std::string_view text) {
    uint32_t sum = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        auto upper = uint32_t(static_cast<unsigned char>(text[i]));
        if (upper >= 'a' && upper <= 'z') {
            upper -= 'a' - 'A'; // ASCII only, whatever the process locale
        }
        sum += upper << (8 * (i % 4));
    }
    return sum;
}

} // namespace

uint32_t PasswordValue(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const std::string_view view(text, std::strlen(text));
    const bool hex = IsHexCandidate(view);
    if (AllDigits(hex ? view.substr(2) : view, hex)) {
        return NumberValue(view);
    }
    return WordSum(view);
}

} // namespace kw::partstore
