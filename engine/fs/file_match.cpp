// FILESYSTEM::FileMatch: a pattern search over one directory or a whole
// tree, through the file system's own ListDirectory. Pending directories
// wait on an explicit stack; the depth of a path is bounded so that a
// directory that names its own ancestor ends the search with an error.
#include "engine/core/dbgmgr.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/wildcard.h"

#include <cctype>
#include <cstring>
#include <new>
#include <string>

namespace {

// Deeper paths than this cannot exist on a sound volume (a path has at most
// 260 characters); a longer walk means a directory loop.
constexpr uint32_t kMaxDepth = 256;

// A heap string, freed with delete[].
char* Join(const char* directory, const char* name) {
    size_t dl = std::strlen(directory), nl = std::strlen(name);
    bool slash = dl == 0 || directory[dl - 1] != '\\';
    char* out = new (std::nothrow) char[dl + nl + 2];
    if (out == nullptr)
        return nullptr;
    std::memcpy(out, directory, dl);
    if (slash)
        out[dl++] = '\\';
    std::memcpy(out + dl, name, nl + 1);
    return out;
}

char* Copy(const char* text, size_t length) {
    char* out = new (std::nothrow) char[length + 1];
    if (out != nullptr) {
        std::memcpy(out, text, length);
        out[length] = '\0';
    }
    return out;
}

void Upper(char* text) {
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

struct Pending {
    Pending* below;
    char* path;
    uint32_t depth;
};

class MatchStack {
public:
    ~MatchStack() {
        while (top_ != nullptr) {
            DbgPrintf("\nFileMatch: Stack error, directory %s unprocessed", top_->path);
            Pending* p = top_;
            top_ = p->below;
            delete[] p->path;
            delete p;
        }
    }
    kwRet Push(char* path, uint32_t depth) {
        auto* p = new (std::nothrow) Pending{top_, path, depth};
        if (p == nullptr) {
            delete[] path;
            return ERR_NO_MEMORY;
        }
        top_ = p;
        return KW_OK;
    }
    // The top path (the caller frees it), or null when empty.
    char* Pop(uint32_t* depth) {
        if (top_ == nullptr)
            return nullptr;
        Pending* p = top_;
        top_ = p->below;
        char* path = p->path;
        *depth = p->depth;
        delete p;
        return path;
    }

private:
    Pending* top_ = nullptr;
};

bool IsDots(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

struct MatchState {
    const char* pattern;
    uint32_t flags;
    DIRLIST* out;
    bool matched = false;
};

// Matches one listed directory's entries and pushes its subdirectories.
kwRet ScanListing(const DIRLIST& list, const char* directory, uint32_t depth, MatchState& st,
                  MatchStack& stack) {
    for (uint32_t i = 0; i < list.GetCount(); ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        bool isDir = (e->attributes & DIR_ATTR_DIRECTORY) != 0;
        // "." and ".." name folders already on the way: never a result.
        if (IsDots(e->name))
            continue;
        if (isDir && (st.flags & SEARCH_SUBDIRECTORIES)) {
            if (depth + 1 >= kMaxDepth)
                return ERR_BAD_SUBDIRECTORY;
            char* sub = Join(directory, e->name);
            if (sub == nullptr || stack.Push(sub, depth + 1) != KW_OK)
                return ERR_NO_MEMORY;
            continue;
        }
        char* upper = Copy(e->name, std::strlen(e->name));
        if (upper == nullptr)
            return ERR_NO_MEMORY;
        Upper(upper);
        bool hit = WildcardMatch(st.pattern, upper) == WILDCARD_MATCH;
        delete[] upper;
        if (!hit)
            continue;
        st.matched = true;
        if (st.out == nullptr)
            continue;
        char* full = Join(directory, e->name);
        if (full == nullptr)
            return ERR_NO_MEMORY;
        kwRet rc = st.out->AddEntry(full, e->attributes, 0, 0, nullptr, nullptr, DIRLIST_NO_EXTRA);
        delete[] full;
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

} // namespace

kwRet FILESYSTEM::FileMatch(const char* patternPath, uint32_t flags, DIRLIST* out) {
    if (patternPath == nullptr)
        return ERR_BAD_ARGUMENT;
    DbgPrintf("\nFileMatch : %s   %s", patternPath,
              (flags & SEARCH_STANDARD) ? "SEARCH_STANDARD" : "SEARCH_SUBDIRECTORIES");
    if (patternPath[0] != '\\')
        return ERR_PATH_NOT_FOUND;
    const char* last = std::strrchr(patternPath, '\\');
    char* pattern = Copy(*(last + 1) != '\0' ? last + 1 : "*.*",
                         std::strlen(*(last + 1) != '\0' ? last + 1 : "*.*"));
    char* directory = Copy(patternPath, last == patternPath ? 1 : last - patternPath);
    if (pattern == nullptr || directory == nullptr) {
        delete[] pattern;
        delete[] directory;
        return ERR_NO_MEMORY;
    }
    Upper(pattern);
    MatchState st{pattern, flags, out};
    MatchStack stack;
    kwRet rc = KW_OK;
    uint32_t depth = 0;
    while (directory != nullptr && rc == KW_OK) {
        DIRLIST list;
        rc = ListDirectory(&list, directory, 0);
        if (rc != KW_OK)
            DbgPrintf("\nError %lu traversing directories at %s", static_cast<unsigned long>(rc),
                      directory);
        else
            rc = ScanListing(list, directory, depth, st, stack);
        delete[] directory;
        directory = rc == KW_OK ? stack.Pop(&depth) : nullptr;
    }
    delete[] directory;
    delete[] pattern;
    if (rc == KW_OK && out == nullptr && !st.matched)
        rc = ERR_FILE_NOT_FOUND;
    return rc;
}

kwRet FindNtInstallation(FILESYSTEM* fs, const char* windowsDir) {
    if (fs == nullptr || windowsDir == nullptr)
        return ERR_BAD_ARGUMENT;
    std::string dir(windowsDir);
    while (!dir.empty() && dir.back() == '\\')
        dir.pop_back();
    static const char* const kFiles[] = {
        "\\system32\\ntoskrnl.exe",     "\\system32\\config\\sam",
        "\\system32\\config\\software", "\\system32\\config\\security",
        "\\system32\\config\\system",   "\\system32\\config\\system.alt"};
    kwRet rc = KW_OK;
    for (const char* file : kFiles) {
        rc = fs->FileMatch((dir + file).c_str(), SEARCH_STANDARD, nullptr);
        if (rc != KW_OK)
            break;
    }
    return rc;
}
