// JSON string literals for the machine-readable listings of the engine and
// the test tools. Owns no data: one free function that quotes a text.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kwjson {

// The text as a JSON string, quotes included: '"' and '\' are escaped, every
// control byte below 20h becomes \u00XX. Other bytes pass unchanged, so a
// UTF-8 text stays UTF-8.
inline std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

} // namespace kwjson
