// Result codes the part store answers with (the library's numbering; codes of
// the container pass through unchanged).
#pragma once

#include <cstdint>

namespace kw::partstore {

constexpr int32_t kOk = 0;
constexpr int32_t kNotSupported = 2; // wrong mode, no current part or no open stream
constexpr int32_t kOutOfMemoryEngine = 3;
constexpr int32_t kCancelled = 7;
constexpr int32_t kNoSuchStream = 504; // also: part index out of range
constexpr int32_t kBadImage = 1802;    // a part record fails its check
constexpr int32_t kOutOfMemory = 1806;
constexpr int32_t kNoFreeName = 1809;
constexpr int32_t kUnsupportedVersion = 1818; // header version not supported
constexpr int32_t kBadHeader = 1852;          // header missing or inconsistent

} // namespace kw::partstore
