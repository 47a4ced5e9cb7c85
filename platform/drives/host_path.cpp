#include "platform/drives/host_path.h"

#include "platform/files/sysfile.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kw::drives {

std::string LexicalNormal(std::string_view path) {
    bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view c = path.substr(pos, end - pos);
        pos = end + 1;
        if (c.empty() || c == ".")
            continue;
        if (c == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
            continue;
        }
        if (c == ".." && absolute)
            continue;
        parts.push_back(c);
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out.push_back('/');
        out.append(parts[i]);
    }
    return out.empty() ? "." : out;
}

bool PathIsUnder(std::string_view path, std::string_view folder) {
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    if (path.size() < folder.size() || path.substr(0, folder.size()) != folder)
        return false;
    return path.size() == folder.size() || path[folder.size()] == '/';
}

std::string CurrentDirectory() {
    std::string cwd = sys::sysGetCurrentDirectory();
    return cwd.empty() ? "/" : cwd;
}

bool HostIsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace kw::drives
