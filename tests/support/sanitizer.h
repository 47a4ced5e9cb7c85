// Whether the test binary is built with AddressSanitizer, and a helper that
// sizes long property and crash loops for it: the sanitized build runs a
// few times slower, so its loops take fewer steps while still covering every
// kind of step the normal build takes.
#pragma once

namespace kwtest {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The step count of a loop: `normal` in an ordinary build, `sanitized`
// under AddressSanitizer.
constexpr int SizedForBuild(int normal, int sanitized) {
    return kSanitized ? sanitized : normal;
}

} // namespace kwtest
