// Small helpers on host (POSIX) path strings.
#pragma once

#include <string>
#include <string_view>

namespace kw::drives {

// Folds "//", "." and ".." (never above "/") and drops a trailing "/"; a
// relative path stays relative.
std::string LexicalNormal(std::string_view path);
// True when path is folder or lies below it (component-wise).
bool PathIsUnder(std::string_view path, std::string_view folder);
// The current directory ("/" when it cannot be read).
std::string CurrentDirectory();
bool HostIsDirectory(const std::string& path);

} // namespace kw::drives
