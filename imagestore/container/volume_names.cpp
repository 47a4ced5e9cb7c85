#include "imagestore/container/volume_names.h"

#include <cstdio>

namespace kwv {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = char(x - 32);
        }
        if (y >= 'a' && y <= 'z') {
            y = char(y - 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The name without its extension (the part before the last '.').
std::string_view StemOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

} // namespace

bool IsContinuationPath(std::string_view path) {
    const size_t n = path.size();
    return n >= 4 && path[n - 4] == '.' && IsDigit(path[n - 3]) && IsDigit(path[n - 2]) &&
           IsDigit(path[n - 1]);
}

std::string_view FolderOf(std::string_view path) {
    const size_t sep = path.find_last_of("\\/");
    return sep == std::string_view::npos ? std::string_view() : path.substr(0, sep + 1);
}

std::string_view NameOf(std::string_view path) {
    const size_t sep = path.find_last_of("\\/");
    return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string VolumePath(std::string_view path0, uint32_t n) {
    if (n == 0) {
        return std::string(path0);
    }
    char ext[16];
    std::snprintf(ext, sizeof ext, ".%03u", unsigned(n + 1) % 1000u);
    std::string out(FolderOf(path0));
    out += StemOf(NameOf(path0));
    out += ext;
    return out;
}

int VolumeIndexOfName(std::string_view name, std::string_view name0) {
    if (EqualNoCase(name, name0)) {
        return 0;
    }
    if (!IsContinuationPath(name) || !EqualNoCase(StemOf(name), StemOf(name0))) {
        return -1;
    }
    const size_t n = name.size();
    const int value = (name[n - 3] - '0') * 100 + (name[n - 2] - '0') * 10 + (name[n - 1] - '0');
    return value >= 2 ? value - 1 : -1;
}

} // namespace kwv
