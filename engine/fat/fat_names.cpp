#include "engine/fat/fat_names.h"

#include "engine/core/codepage.h"
#include "include/kwbytes.h"

#include <cstdio>
#include <cstring>

namespace {

// The UTF-16 offsets of a piece's 13 characters.
constexpr uint8_t kPieceOffsets[LFN_CHARS_PER_PIECE] = {1,  3,  5,  7,  9,  14, 16,
                                                        18, 20, 22, 24, 28, 30};

// Stored bytes of base and extension, trailing blanks cut, 0x05 as 0xE5.
void RawShortName(const uint8_t* entry, char* out) {
    size_t n = 0;
    int base = 8, ext = 3;
    while (base > 0 && entry[base - 1] == ' ')
        --base;
    while (ext > 0 && entry[8 + ext - 1] == ' ')
        --ext;
    for (int i = 0; i < base; ++i) {
        uint8_t c = i == 0 && entry[0] == 0x05 ? FAT_DELETED : entry[i];
        out[n++] = static_cast<char>(c);
    }
    if (ext > 0)
        out[n++] = '.';
    for (int i = 0; i < ext; ++i) {
        uint8_t c = entry[8 + i];
        out[n++] = static_cast<char>(c);
    }
    out[n] = '\0';
}

// OEM bytes to UTF-8 through the DOS code page; without a table, bytes
// above 0x7F show as '?'.
void OemToUtf8(const char* oem, char* out, size_t size) {
    if (size == 0)
        return;
    if (cpGetTable(CPKIND_DOS) != nullptr) {
        cpConvertString(CPKIND_UTF8, out, CPKIND_DOS, oem, static_cast<uint32_t>(size));
        return;
    }
    size_t n = 0;
    for (; oem[n] != '\0' && n + 1 < size; ++n)
        out[n] = static_cast<unsigned char>(oem[n]) < 0x80 ? oem[n] : '?';
    out[n] = '\0';
}

} // namespace

uint8_t LfnChecksum(const uint8_t* name) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

namespace {

// The lower-case form of an upper-case character: the character that the
// code page's case folding takes to it (Latin, Greek and Cyrillic letters
// lie 1, 32 or 80 places above their capitals).
char16_t LowerOf(char16_t c) {
    for (char16_t step : {char16_t{32}, char16_t{1}, char16_t{80}}) {
        char16_t lower = static_cast<char16_t>(c + step);
        if (lower > c && cpFoldCase(lower, 2) == c && cpFoldCase(c, 2) == c)
            return lower;
    }
    return c;
}

// OEM bytes to UTF-8, lower-cased when `lower`.
void PartToUtf8(const char* oem, bool lower, char* out, size_t size) {
    OemToUtf8(oem, out, size);
    if (!lower)
        return;
    char16_t wide[16];
    Utf8ToUtf16(out, wide, 16);
    for (char16_t* c = wide; *c != 0; ++c)
        *c = LowerOf(*c);
    Utf16ToUtf8(wide, out, size);
}

} // namespace

// Base and extension are shown lower-case (through the code page, so "ÉTAT"
// shows as "état") when the entry's flags say so.
void ShortNameDisplay(const uint8_t* name11, uint8_t caseFlags, char* out, size_t size) {
    char raw[16];
    RawShortName(name11, raw);
    char* dot = std::strchr(raw, '.');
    if (dot != nullptr)
        *dot = '\0';
    char base[40], ext[40] = "";
    PartToUtf8(raw, (caseFlags & FAT_CASE_LOWER_BASE) != 0, base, sizeof base);
    if (dot != nullptr)
        PartToUtf8(dot + 1, (caseFlags & FAT_CASE_LOWER_EXT) != 0, ext, sizeof ext);
    std::snprintf(out, size, "%s%s%s", base, dot != nullptr ? "." : "", ext);
}

void ShortNameStored(const uint8_t* name11, char* out, size_t size) {
    char raw[16];
    RawShortName(name11, raw);
    OemToUtf8(raw, out, size);
}

void LFN_COLLECTOR::Piece(const uint8_t* e, uint32_t index) {
    uint32_t number = e[0] & 0x3F;
    if (e[0] & 0x40) {
        state_ = State::Broken;
        if (number == 0 || number > LFN_MAX_PIECES)
            return;
        state_ = State::Collecting;
        pieces_ = expected_ = number;
        checksum_ = e[13];
        firstIndex_ = index;
        chars_[number * LFN_CHARS_PER_PIECE] = 0;
    } else if (state_ != State::Collecting || number != expected_ || e[13] != checksum_) {
        state_ = State::Broken;
        return;
    }
    char16_t* at = chars_ + (number - 1) * LFN_CHARS_PER_PIECE;
    for (uint32_t k = 0; k < LFN_CHARS_PER_PIECE; ++k)
        at[k] = static_cast<char16_t>(kwbytes::LoadLe16(e + kPieceOffsets[k]));
    --expected_;
}

bool LFN_COLLECTOR::Finish(const uint8_t* shortEntry, char16_t* name, uint32_t* firstIndex) {
    bool ok = state_ == State::Collecting && expected_ == 0 && checksum_ == LfnChecksum(shortEntry);
    state_ = State::None;
    if (!ok)
        return false;
    uint32_t n = 0, limit = pieces_ * LFN_CHARS_PER_PIECE;
    while (n < limit && n < LFN_MAX_CHARS && chars_[n] != 0 && chars_[n] != 0xFFFF) {
        name[n] = chars_[n];
        ++n;
    }
    name[n] = 0;
    *firstIndex = firstIndex_;
    return n > 0;
}

void Utf16ToUtf8(const char16_t* in, char* out, size_t size) {
    cpConvertString(CPKIND_UTF8, out, CPKIND_UTF16, in, static_cast<uint32_t>(size));
}

void Utf8ToUtf16(const char* in, char16_t* out, size_t size) {
    cpConvertString(CPKIND_UTF16, out, CPKIND_UTF8, in, static_cast<uint32_t>(size * 2));
}

bool NamesEqual(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        if (cpFoldCase(*a, 2) != cpFoldCase(*b, 2))
            return false;
        if (*a == 0)
            return true;
    }
}

namespace {

bool IsShortChar(char16_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80)
        return c < 0x80;
    return std::strchr("!#$%&'()-@^_`{}~", static_cast<char>(c)) != nullptr && c != 0;
}

} // namespace

bool FatNameValid(const char16_t* name) {
    size_t n = 0;
    for (; name[n] != 0; ++n) {
        char16_t c = name[n];
        if (c < 0x20 || (c < 0x80 && std::strchr("\"*/:<>?\\|", static_cast<char>(c)) != nullptr))
            return false;
    }
    if (n == 0 || n > LFN_MAX_CHARS || name[n - 1] == '.' || name[n - 1] == ' ')
        return false;
    return !(name[0] == '.' && (n == 1 || (n == 2 && name[1] == '.')));
}

bool FatShortForm(const char16_t* name, uint8_t* out11) {
    std::memset(out11, ' ', 11);
    size_t at = 0, base = 0, ext = 0;
    bool inExt = false;
    for (; name[at] != 0; ++at) {
        char16_t c = name[at];
        if (c == '.' && !inExt && base > 0) {
            inExt = true;
            continue;
        }
        if (!IsShortChar(c) || (inExt ? ext >= 3 : base >= 8))
            return false;
        out11[inExt ? 8 + ext++ : base++] = static_cast<uint8_t>(c);
    }
    return base > 0 && (!inExt || ext > 0);
}

bool FatShortFormWithCase(const char16_t* name, uint8_t* out11, uint8_t* caseFlags) {
    *caseFlags = 0;
    if (FatShortForm(name, out11))
        return true;
    char16_t upper[13];
    bool lower[2] = {}, capital[2] = {};
    int part = 0;
    size_t n = 0;
    for (; name[n] != 0; ++n) {
        if (n + 1 >= sizeof upper / sizeof upper[0])
            return false;
        char16_t c = name[n];
        part = c == '.' ? 1 : part;
        if (c >= 'a' && c <= 'z') {
            lower[part] = true;
            c = static_cast<char16_t>(c - 32);
        } else if (c >= 'A' && c <= 'Z') {
            capital[part] = true;
        }
        upper[n] = c;
    }
    upper[n] = 0;
    if ((lower[0] && capital[0]) || (lower[1] && capital[1]) || !FatShortForm(upper, out11))
        return false;
    *caseFlags = static_cast<uint8_t>((lower[0] ? FAT_CASE_LOWER_BASE : 0) |
                                      (lower[1] ? FAT_CASE_LOWER_EXT : 0));
    return true;
}

void FatAliasBasis(const char16_t* name, uint8_t* out11) {
    std::memset(out11, ' ', 11);
    size_t length = 0;
    while (name[length] != 0)
        ++length;
    size_t dot = length;
    for (size_t i = length; i > 1; --i) {
        if (name[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    auto put = [](char16_t c) -> uint8_t {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char16_t>(c - 32);
        return IsShortChar(c) ? static_cast<uint8_t>(c) : '_';
    };
    size_t base = 0;
    for (size_t i = 0; i < dot && base < 8; ++i) {
        if (name[i] != ' ' && name[i] != '.')
            out11[base++] = put(name[i]);
    }
    if (base == 0)
        out11[base++] = '_';
    for (size_t i = dot + 1, ext = 0; i < length && ext < 3; ++i) {
        if (name[i] != ' ' && name[i] != '.')
            out11[8 + ext++] = put(name[i]);
    }
}

void FatAliasWithTail(const uint8_t* basis11, uint32_t n, uint8_t* out11) {
    std::memcpy(out11, basis11, 11);
    char tail[12];
    int tl = std::snprintf(tail, sizeof tail, "~%u", n);
    int base = 0;
    while (base < 8 && basis11[base] != ' ')
        ++base;
    int keep = base < 8 - tl ? base : 8 - tl;
    std::memset(out11 + keep, ' ', 8 - keep);
    std::memcpy(out11 + keep, tail, tl);
}

void FatLongNamePiece(const char16_t* name, uint32_t number, bool last, uint8_t checksum,
                      uint8_t* entry) {
    std::memset(entry, 0, 32);
    entry[0] = static_cast<uint8_t>(number | (last ? 0x40 : 0));
    entry[11] = FAT_ATTR_LFN;
    entry[13] = checksum;
    size_t length = 0;
    while (name[length] != 0)
        ++length;
    for (uint32_t k = 0; k < LFN_CHARS_PER_PIECE; ++k) {
        size_t i = (number - 1) * LFN_CHARS_PER_PIECE + k;
        uint16_t c = i < length ? name[i] : i == length ? 0 : 0xFFFF;
        kwbytes::StoreLe16(entry + kPieceOffsets[k], c);
    }
}
