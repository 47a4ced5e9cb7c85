// Path normalisation and name patterns of the namespace.
#include "platform/vfs/vfs.h"

#include "platform/files/ascii.h"

#include <vector>

namespace kw::vfs {
namespace {

bool IsSep(char c) {
    return c == '\\' || c == '/';
}

size_t FindSep(std::string_view s, size_t from) {
    for (size_t i = from; i < s.size(); ++i)
        if (IsSep(s[i]))
            return i;
    return std::string_view::npos;
}

// Reads the head of a path into *head; *pos is where the components start.
// False for a malformed network head.
bool ReadHead(std::string_view p, std::string* head, size_t* pos, bool* rooted) {
    if (p.size() >= 2 && IsSep(p[0]) && IsSep(p[1])) {
        size_t serverEnd = FindSep(p, 2);
        if (serverEnd == std::string_view::npos || serverEnd == 2)
            return false;
        size_t shareEnd = FindSep(p, serverEnd + 1);
        size_t end = shareEnd == std::string_view::npos ? p.size() : shareEnd;
        if (end == serverEnd + 1)
            return false;
        head->assign("\\\\");
        head->append(p.substr(2, serverEnd - 2));
        head->push_back('\\');
        head->append(p.substr(serverEnd + 1, end - serverEnd - 1));
        if (end < p.size())
            head->push_back('\\');
        *pos = end;
        *rooted = true;
        return true;
    }
    if (p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == ':') {
        head->assign({AsciiUpper(p[0]), ':'});
        *rooted = p.size() > 2 && IsSep(p[2]);
        if (*rooted)
            head->push_back('\\');
        *pos = 2;
        return true;
    }
    // A leading "\" or a single leading "/" (a POSIX absolute path) stays rooted.
    *rooted = !p.empty() && IsSep(p[0]);
    head->assign(*rooted ? "\\" : "");
    *pos = 0;
    return true;
}

// A component made only of dots: "." stays, each further dot goes up a level.
bool AllDots(std::string_view c) {
    return c.find_first_not_of('.') == std::string_view::npos;
}

} // namespace

bool vfsNormalizePath(std::string_view path, std::string* out, size_t limit) {
    if (!out || (limit != 0 && path.size() >= limit))
        return false;
    std::string head;
    size_t pos = 0;
    bool rooted = false;
    if (!ReadHead(path, &head, &pos, &rooted))
        return false;
    std::vector<std::string_view> parts;
    while (pos < path.size()) {
        while (pos < path.size() && IsSep(path[pos]))
            ++pos;
        if (pos >= path.size())
            break;
        size_t end = FindSep(path, pos);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view c = path.substr(pos, end - pos);
        pos = end;
        if (rooted && AllDots(c)) {
            for (size_t up = 1; up < c.size() && !parts.empty(); ++up)
                parts.pop_back();
            continue;
        }
        parts.push_back(c);
    }
    std::string result = head;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result.push_back('\\');
        result.append(parts[i]);
    }
    *out = std::move(result);
    return true;
}

namespace {

size_t Utf8Length(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    return i + n <= s.size() ? n : s.size() - i;
}

bool SameChar(std::string_view p, size_t pi, std::string_view n, size_t ni, size_t len) {
    if (pi + len > p.size())
        return false;
    for (size_t k = 0; k < len; ++k)
        if (AsciiUpper(p[pi + k]) != AsciiUpper(n[ni + k]))
            return false;
    return true;
}

} // namespace

bool vfsMatchPattern(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        size_t len = Utf8Length(name, n);
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += len;
        } else if (p < pattern.size() && SameChar(pattern, p, name, n, len)) {
            p += len;
            n += len;
        } else if (starP != std::string_view::npos) {
            p = starP;
            starN += Utf8Length(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool vfsMatchSetPattern(std::string_view pattern, std::string_view name) {
    if (vfsMatchPattern(pattern, name))
        return true;
    bool patternDot = pattern.find('.') != std::string_view::npos;
    bool nameDot = name.find('.') != std::string_view::npos;
    if (patternDot && !nameDot)
        return vfsMatchPattern(pattern, std::string(name) + ".");
    if (!patternDot && nameDot)
        return vfsMatchPattern(name, std::string(pattern) + ".");
    return false;
}

} // namespace kw::vfs
