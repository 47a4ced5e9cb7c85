#include "engine/fs/host_find.h"

#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/wildcard.h"

#include <cctype>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string Upper(const char* text) {
    std::string s(text);
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

uint32_t HostAttributes(const struct stat& st) {
    return (S_ISDIR(st.st_mode) ? FILE_ATTR_DIRECTORY : FILE_ATTR_NORMAL) |
           ((st.st_mode & 0222) == 0 ? FILE_ATTR_READONLY : 0);
}

} // namespace

kwRet kwHostFind(const char* folder, const char* pattern, uint32_t flags, DIRLIST* out) {
    if (folder == nullptr || pattern == nullptr)
        return ERR_BAD_ARGUMENT;
    std::string wanted = Upper(*pattern != '\0' ? pattern : "*");
    std::vector<std::string> pending{folder};
    bool matched = false, first = true;
    while (!pending.empty()) {
        std::string dir = pending.back();
        pending.pop_back();
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) {
            if (first)
                return ERR_PATH_NOT_FOUND;
            continue;
        }
        first = false;
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            std::string path = dir + (dir.empty() || dir.back() != '/' ? "/" : "") + e->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0)
                continue;
            bool isDir = S_ISDIR(st.st_mode);
            if (isDir && (flags & SEARCH_SUBDIRECTORIES))
                pending.push_back(path);
            if (isDir && !(flags & SEARCH_DIRECTORIES_TOO))
                continue;
            if (WildcardMatch(wanted.c_str(), Upper(e->d_name).c_str()) != WILDCARD_MATCH)
                continue;
            matched = true;
            uint64_t size = isDir ? 0 : static_cast<uint64_t>(st.st_size);
            kwRet rc = out == nullptr ? KW_OK
                                      : out->AddEntry(path.c_str(), HostAttributes(st),
                                                      static_cast<uint32_t>(size),
                                                      static_cast<uint32_t>(size >> 32), nullptr,
                                                      nullptr, DIRLIST_NO_EXTRA);
            if (rc != KW_OK) {
                closedir(d);
                return rc;
            }
        }
        closedir(d);
    }
    return out == nullptr && !matched ? ERR_FILE_NOT_FOUND : KW_OK;
}
