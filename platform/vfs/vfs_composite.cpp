// Path functions built from the providers' operations: copying, folder trees,
// volume roots, and the process-wide switches.
#include "platform/vfs/vfs.h"

#include "platform/files/sysfile.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <unistd.h>
#include <vector>

namespace kw::vfs {
namespace {

constexpr size_t kMaxTreeDepth = 1024;

// Releases a FILEHANDLE or FILEITERATOR at the end of a scope.
struct Releaser {
    template <class T> void operator()(T* p) const {
        if (p)
            p->Release();
    }
};
using HandleRef = std::unique_ptr<FILEHANDLE, Releaser>;
using IteratorRef = std::unique_ptr<FILEITERATOR, Releaser>;

// The copy buffer: the largest power of two from 256 KiB down that is below
// twice the size, at least 4096 bytes; halved further while it cannot be had.
std::unique_ptr<char[]> CopyBuffer(uint64_t size, size_t* length) {
    size_t n = 256 * 1024;
    while (n > 4096 && n >= 2 * size)
        n /= 2;
    for (;; n /= 2) {
        std::unique_ptr<char[]> buf(new (std::nothrow) char[n]);
        if (buf || n <= 4096) {
            *length = n;
            return buf;
        }
    }
}

bool CopyContents(FILEHANDLE* in, FILEHANDLE* out) {
    uint64_t size = 0;
    if (!in->GetSize(&size) || !out->SetSize(size) || !in->SetPosition(0) || !out->SetPosition(0))
        return false;
    size_t length = 0;
    std::unique_ptr<char[]> buf = CopyBuffer(size, &length);
    if (!buf)
        return false;
    for (uint64_t left = size; left > 0;) {
        size_t piece = left < length ? static_cast<size_t>(left) : length;
        size_t got = 0, put = 0;
        if (!in->Read(buf.get(), piece, &got) || got != piece ||
            !out->Write(buf.get(), piece, &put) || put != piece)
            return false;
        left -= piece;
    }
    uint64_t time = in->GetTime();
    return time == 0 || out->SetTime(time);
}

std::string Child(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '\\')
        return folder + name;
    return folder + "\\" + name;
}

} // namespace

bool VFS_NAMESPACE::GetVolumeRoot(std::string path, std::string* root) {
    std::string full;
    if (!GetFullPath(std::move(path), &full))
        return false;
    std::string out;
    if (full.rfind("\\\\", 0) == 0) {
        size_t server = full.find('\\', 2);
        if (server == std::string::npos || server == 2)
            return false;
        size_t share = full.find('\\', server + 1);
        out = full.substr(0, share);
    } else if (full.size() >= 2 && full[1] == ':') {
        out = full.substr(0, 2);
    } else {
        return false;
    }
    if (root)
        *root = std::move(out);
    return true;
}

bool VFS_NAMESPACE::GetCurrentDirectory(std::string* path) {
    std::string host = sys::sysGetCurrentDirectory();
    return !host.empty() && root_.Table().FromHost(host, path);
}

bool VFS_NAMESPACE::SetCurrentDirectory(std::string path) {
    std::string host;
    FILESYSEXTENDER* e = FindExtender(&path);
    return e == &root_ && root_.ToHost(path, &host) && sys::sysSetCurrentDirectory(host);
}

bool VFS_NAMESPACE::CopyFile(const std::string& from, const std::string& to) {
    HandleRef in(OpenFileReadOnly(from));
    if (!in)
        return false;
    HandleRef out(CreateFile(to));
    if (!out)
        return false;
    if (CopyContents(in.get(), out.get()))
        return true;
    out.reset();
    DeleteFile(to);
    return false;
}

bool VFS_NAMESPACE::CreateDirectoryTree(const std::string& path) {
    if (CreateDirectory(path))
        return true;
    std::string full;
    if (!GetFullPath(path, &full))
        full = path;
    // Cut back at backslashes until an existing folder is reached...
    std::vector<std::string> missing;
    std::string cur = full;
    uint32_t attr = 0;
    while (!(GetAttributes(cur, &attr) && (attr & ATTR_DIRECTORY))) {
        size_t cut = cur.find_last_of('\\');
        if (cut == std::string::npos || missing.size() > kMaxTreeDepth)
            return false;
        missing.push_back(cur);
        if (cut == 0 || (cut == 2 && cur[1] == ':')) // keep the root's backslash
            ++cut;
        if (cut >= cur.size())
            return false;
        cur.resize(cut);
    }
    // ...then create the cut components again, one by one.
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (!CreateDirectory(*it) && !(GetAttributes(*it, &attr) && (attr & ATTR_DIRECTORY)))
            return false;
    return true;
}

// Deletes one file; a read-only file is made writable for a second try and
// keeps its attributes when that fails too.
static bool DeleteOne(VFS_NAMESPACE& ns, const std::string& path, bool folder) {
    auto remove = [&] { return folder ? ns.RemoveDirectory(path) : ns.DeleteFile(path); };
    if (remove())
        return true;
    uint32_t attr = 0;
    if (!ns.GetAttributes(path, &attr) || !ns.SetAttributes(path, 0))
        return false;
    if (remove())
        return true;
    ns.SetAttributes(path, attr);
    return false;
}

bool VFS_NAMESPACE::DeleteTree(const std::string& path) {
    uint32_t attr = 0;
    if (!GetAttributes(path, &attr) || !(attr & ATTR_DIRECTORY) || (attr & ATTR_REPARSE_POINT))
        return false;
    struct Level {
        std::string folder;
        bool listed;
    };
    std::vector<Level> stack{{path, false}};
    bool ok = true;
    while (!stack.empty()) {
        if (stack.back().listed) {
            ok = DeleteOne(*this, stack.back().folder, true) && ok;
            stack.pop_back();
            continue;
        }
        stack.back().listed = true;
        std::string folder = stack.back().folder;
        VFS_ENTRY e;
        IteratorRef it(FindFirst(folder, &e));
        for (bool more = it != nullptr; more; more = it->FindNext(&e)) {
            std::string child = Child(folder, e.name);
            bool dir = (e.attributes & ATTR_DIRECTORY) && !(e.attributes & ATTR_REPARSE_POINT);
            if (!dir)
                ok = DeleteOne(*this, child, false) && ok;
            else if (stack.size() < kMaxTreeDepth)
                stack.push_back({child, false});
            else
                ok = false;
        }
    }
    return ok;
}

void vfsAssertFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "ASSERTION FAILED: %s(%d)\r\n%s\n", file ? file : "?", line,
                 expression ? expression : "");
    std::fflush(stderr);
    ::_exit(3);
}

namespace {
volatile std::sig_atomic_t g_userBreak = 0;
void OnInterrupt(int) {
    g_userBreak = 1;
}
} // namespace

bool vfsUserBreak() {
    static bool installed = [] {
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        return ::sigaction(SIGINT, &sa, nullptr) == 0;
    }();
    (void)installed;
    return g_userBreak != 0;
}

namespace {
bool g_errorModeSet = false;
} // namespace

void vfsSetErrorMode() {
    g_errorModeSet = true;
}

} // namespace kw::vfs
