// The 32-bit value of a password text as images of the older format store it.
#pragma once

#include <cstdint>

namespace kw::partstore {

// A text made only of digits (decimal, octal with a leading 0, or hex after
// "0x") gives its number (saturated at 0xFFFFFFFF); any other text gives the
// sum, modulo 2^32, of its upper-cased bytes read as little-endian words.
// Null and the empty text give 0.
uint32_t PasswordValue(const char* text);

} // namespace kw::partstore
