// The wildcard matcher of directory searches: '?' matches one character,
// '*' any run; after a '*', a backslash makes the next pattern character
// literal. The comparison is exact: callers upper-case both sides when they
// want it without case.
#pragma once

#include <cstdint>

inline constexpr uint32_t WILDCARD_MATCH = 1;
inline constexpr uint32_t WILDCARD_NAME_ENDED = 2;
inline constexpr uint32_t WILDCARD_TRAILING_ESCAPE = 3;
inline constexpr uint32_t WILDCARD_PATTERN_ENDED = 4;
inline constexpr uint32_t WILDCARD_MISMATCH = 5;

uint32_t WildcardMatch(const char* pattern, const char* name);
