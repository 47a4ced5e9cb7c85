#include "engine/fs/wildcard.h"

namespace {

// Skips a run of '*' and an escaping backslash after it; false (with code 3)
// when the pattern ends in that backslash.
bool SkipStars(const char*& p, bool& literal, uint32_t& code) {
    while (*p == '*')
        ++p;
    literal = false;
    if (*p == '\\') {
        if (p[1] == '\0') {
            code = WILDCARD_TRAILING_ESCAPE;
            return false;
        }
        ++p;
        literal = true;
    }
    return true;
}

} // namespace

// A single back-tracking point (the last '*') keeps the search linear in the
// product of the lengths.
uint32_t WildcardMatch(const char* pattern, const char* name) {
    if (pattern == nullptr || name == nullptr)
        return WILDCARD_MISMATCH;
    const char* p = pattern;
    const char* n = name;
    const char* starP = nullptr;
    const char* starN = nullptr;
    bool literal = false, starLiteral = false;
    for (;;) {
        uint32_t code = 0;
        if (!literal && *p == '*') {
            if (!SkipStars(p, literal, code))
                return code;
            if (*p == '\0')
                return WILDCARD_MATCH;
            starP = p;
            starN = n;
            starLiteral = literal;
            continue;
        }
        if (*n == '\0') {
            if (*p == '\0')
                return WILDCARD_MATCH;
            code = WILDCARD_NAME_ENDED;
        } else if (*p == '\0') {
            code = WILDCARD_PATTERN_ENDED;
        } else if ((*p == '?' && !literal) || *p == *n) {
            ++p;
            ++n;
            literal = false;
            continue;
        } else {
            code = WILDCARD_MISMATCH;
        }
        if (starP == nullptr || *starN == '\0')
            return code;
        p = starP;
        n = ++starN;
        literal = starLiteral;
    }
}
