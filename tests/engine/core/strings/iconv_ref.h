// Reference conversions through the C library's iconv, for checking the
// engine's own code-page tables.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>

namespace kwtest {

// Converts bytes from one iconv encoding to another; nothing when iconv
// refuses the input.
inline std::optional<std::string> iconvBytes(const std::string& in, const char* from,
                                             const char* to) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(in.size() * 4 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || srcLeft != 0)
        return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

// Bytes in an iconv encoding to UTF-16 (host order).
inline std::optional<std::u16string> iconvTo16(const std::string& in, const char* from) {
    auto bytes = iconvBytes(in, from, "UTF-16LE");
    if (!bytes)
        return std::nullopt;
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes->size(); i += 2)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>((*bytes)[i]) |
                                            (static_cast<unsigned char>((*bytes)[i + 1]) << 8)));
    return out;
}

// UTF-16 to bytes in an iconv encoding.
inline std::optional<std::string> iconvFrom16(const std::u16string& in, const char* to) {
    std::string le;
    for (char16_t c : in) {
        le.push_back(static_cast<char>(c & 0xFF));
        le.push_back(static_cast<char>(c >> 8));
    }
    return iconvBytes(le, "UTF-16LE", to);
}

} // namespace kwtest
