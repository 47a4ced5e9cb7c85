// Conversion of texts between kinds (8-bit code pages, UTF-8, UTF-16) and
// case-insensitive comparison.
#include "engine/core/codepage.h"

#include <cstring>

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr std::uint32_t kQuestion = 0x3F;

bool isByteKind(std::uint32_t kind) {
    return kind <= CPKIND_MAC || kind == CPKIND_UTF8;
}

bool isSurrogate(std::uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Decodes one UTF-8 sequence at p; an invalid or cut sequence yields U+FFFD
// for its first byte.
std::uint32_t decodeUtf8(const std::uint8_t*& p) {
    const std::uint8_t b = *p++;
    if (b < 0x80)
        return b;
    int extra = 0;
    std::uint32_t cp = 0, min = 0;
    if ((b & 0xE0) == 0xC0) {
        extra = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3, cp = b & 0x07, min = 0x10000;
    } else {
        return kReplacement;
    }
    const std::uint8_t* q = p;
    for (int i = 0; i < extra; ++i, ++q) {
        if ((*q & 0xC0) != 0x80)
            return kReplacement;
        cp = (cp << 6) | (*q & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || isSurrogate(cp))
        return kReplacement;
    p = q;
    return cp;
}

// Reads characters of one kind as code points.
struct Source {
    std::uint32_t kind;
    const cpInfo* table;
    const std::uint8_t* bytes;
    const char16_t* wide;

    bool atEnd() const { return kind == CPKIND_UTF16 ? *wide == 0 : *bytes == 0; }

    std::uint32_t next() {
        if (kind == CPKIND_UTF16) {
            const std::uint32_t u = *wide++;
            if (u >= 0xD800 && u <= 0xDBFF && *wide >= 0xDC00 && *wide <= 0xDFFF)
                return 0x10000 + ((u - 0xD800) << 10) + (*wide++ - 0xDC00);
            return u;
        }
        if (kind == CPKIND_UTF8)
            return decodeUtf8(bytes);
        const std::uint32_t u = table->ToUnicode(bytes);
        bytes = table->NextChar(bytes);
        return u;
    }
};

// Appends code points in one kind; the output stays terminated and never
// passes size bytes.
struct Target {
    std::uint32_t kind;
    const cpInfo* table;
    void* out;
    std::uint32_t size;
    std::uint32_t len = 0; // bytes, or UTF-16 units

    bool put(std::uint32_t cp) {
        if (kind == CPKIND_UTF16)
            return putWide(cp);
        if (kind == CPKIND_UTF8)
            return putUtf8(cp);
        const auto c = static_cast<std::uint16_t>(cp > 0xFFFF ? kQuestion : cp);
        return table->FromUnicode(c, static_cast<std::uint8_t*>(out), &len, size);
    }

    bool putWide(std::uint32_t cp) {
        auto* w = static_cast<char16_t*>(out);
        const std::uint32_t n = cp > 0xFFFF ? 2 : 1;
        if (len + n + 1 > size / 2)
            return false;
        if (n == 2) {
            w[len++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            w[len++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            w[len++] = static_cast<char16_t>(cp);
        }
        w[len] = 0;
        return true;
    }

    bool putUtf8(std::uint32_t cp) {
        if (isSurrogate(cp)) // a lone surrogate has no UTF-8 form
            cp = kQuestion;
        std::uint8_t buf[4];
        std::uint32_t n = 0;
        if (cp < 0x80) {
            buf[n++] = static_cast<std::uint8_t>(cp);
        } else if (cp < 0x800) {
            buf[n++] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
        } else if (cp < 0x10000) {
            buf[n++] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
        } else {
            buf[n++] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
            buf[n++] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        }
        if (cp >= 0x800)
            buf[n++] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        if (cp >= 0x80)
            buf[n++] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        if (len + n + 1 > size)
            return false;
        auto* b = static_cast<std::uint8_t*>(out);
        std::memcpy(b + len, buf, n);
        len += n;
        b[len] = 0;
        return true;
    }
};

// Copies whole characters of a byte text (never half a double-byte character
// or half a UTF-8 sequence) while they and a terminator fit.
void copyBytes(std::uint8_t* out, const std::uint8_t* src, std::uint32_t size, const cpInfo* table,
               bool utf8) {
    std::uint32_t len = 0;
    while (*src != 0) {
        const std::uint8_t* next = src + 1;
        if (utf8) {
            while ((*next & 0xC0) == 0x80 && next - src < 4)
                ++next;
        } else if (table != nullptr) {
            next = table->NextChar(src);
        }
        const auto n = static_cast<std::uint32_t>(next - src);
        if (len + n + 1 > size)
            break;
        std::memcpy(out + len, src, n);
        len += n;
        src = next;
    }
    out[len] = 0;
}

void copyWide(char16_t* out, const char16_t* src, std::uint32_t units) {
    std::uint32_t len = 0;
    while (src[len] != 0 && len + 1 < units) {
        out[len] = src[len];
        ++len;
    }
    // Never end on the first half of a surrogate pair that was cut.
    if (len > 0 && src[len] != 0 && out[len - 1] >= 0xD800 && out[len - 1] <= 0xDBFF)
        --len;
    out[len] = 0;
}

bool clearOutput(std::uint32_t kind, void* target, std::uint32_t size) {
    if (kind == CPKIND_UTF16) {
        if (size < 2)
            return false;
        *static_cast<char16_t*>(target) = 0;
    } else {
        *static_cast<std::uint8_t*>(target) = 0;
    }
    return true;
}

} // namespace

void* cpConvertString(std::uint32_t targetKind, void* target, std::uint32_t sourceKind,
                      const void* source, std::uint32_t size) {
    if (target == nullptr || size == 0 || !clearOutput(targetKind, target, size))
        return target;
    const bool targetOk = isByteKind(targetKind) || targetKind == CPKIND_UTF16;
    const bool sourceOk = isByteKind(sourceKind) || sourceKind == CPKIND_UTF16;
    if (source == nullptr || !targetOk || !sourceOk)
        return target;
    const cpInfo* tt = cpGetTable(targetKind);
    const cpInfo* st = cpGetTable(sourceKind);
    if (targetKind == CPKIND_UTF16 && sourceKind == CPKIND_UTF16) {
        copyWide(static_cast<char16_t*>(target), static_cast<const char16_t*>(source), size / 2);
        return target;
    }
    if (targetKind == sourceKind || (tt != nullptr && tt == st)) {
        copyBytes(static_cast<std::uint8_t*>(target), static_cast<const std::uint8_t*>(source),
                  size, st, sourceKind == CPKIND_UTF8);
        return target;
    }
    // Every other pair goes through Unicode and needs the tables of its 8-bit kinds.
    if ((targetKind <= CPKIND_MAC && tt == nullptr) || (sourceKind <= CPKIND_MAC && st == nullptr))
        return target;
    Source in{sourceKind, st, static_cast<const std::uint8_t*>(source),
              static_cast<const char16_t*>(source)};
    Target out{targetKind, tt, target, size};
    while (!in.atEnd() && out.put(in.next())) {
    }
    return target;
}

namespace {

std::uint32_t foldPoint(std::uint32_t cp) {
    return cp <= 0xFFFF ? cpFoldCase(static_cast<std::uint16_t>(cp), 2) : cp;
}

int compareWide(const char16_t* a, const char16_t* b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i, ++a, ++b) {
        if (*a == 0)
            return -static_cast<int>(*b);
        if (*b == 0)
            return static_cast<int>(*a);
        const int d = static_cast<int>(cpFoldCase(*a, 2)) - static_cast<int>(cpFoldCase(*b, 2));
        if (d != 0)
            return d;
    }
    return 0;
}

int compareBytes(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i, ++a, ++b) {
        if (*a != *b || *a == 0)
            return static_cast<int>(*a) - static_cast<int>(*b);
    }
    return 0;
}

int compareDecoded(Source a, Source b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (*a.bytes == 0)
            return -static_cast<int>(*b.bytes);
        if (*b.bytes == 0)
            return static_cast<int>(*a.bytes);
        const auto d = static_cast<std::int64_t>(foldPoint(a.next())) -
                       static_cast<std::int64_t>(foldPoint(b.next()));
        if (d != 0)
            return static_cast<int>(d);
    }
    return 0;
}

} // namespace

int cpCompareStrings(std::uint32_t kind, const void* s1, const void* s2, std::uint32_t n) {
    if (s1 == nullptr || s2 == nullptr)
        return s1 == s2 ? 0 : (s1 == nullptr ? -1 : 1);
    if (kind == CPKIND_UTF16)
        return compareWide(static_cast<const char16_t*>(s1), static_cast<const char16_t*>(s2), n);
    const auto* a = static_cast<const std::uint8_t*>(s1);
    const auto* b = static_cast<const std::uint8_t*>(s2);
    const cpInfo* table = cpGetTable(kind);
    if (table == nullptr && kind != CPKIND_UTF8)
        return compareBytes(a, b, n);
    return compareDecoded(Source{kind, table, a, nullptr}, Source{kind, table, b, nullptr}, n);
}
