// Building the drive table and converting paths between drive form and host form.
#include "platform/drives/drive_table.h"

#include "platform/drives/host_path.h"
#include "platform/files/ascii.h"

#include <algorithm>
#include <map>

namespace kw::drives {
namespace {

bool IsSep(char c) {
    return c == '\\' || c == '/';
}

// Folders the system never offers as drives of their own.
bool IsSystemFolder(const std::string& mountPoint) {
    for (const char* top : {"/proc", "/sys", "/dev"})
        if (PathIsUnder(mountPoint, top))
            return true;
    return false;
}

// Mount points with only the last (uppermost) entry of each.
std::vector<MountEntry> VisibleMounts(const std::vector<MountEntry>& all) {
    std::map<std::string, MountEntry> last;
    for (MountEntry e : all) {
        e.mountPoint = LexicalNormal(e.mountPoint);
        last[e.mountPoint] = std::move(e);
    }
    std::vector<MountEntry> out;
    for (auto& [point, e] : last)
        out.push_back(e);
    return out; // sorted by mount point
}

// Appends a rest ("a\b" or "a/b") to a root folder; ".." in the rest never
// leaves the root.
std::string JoinHost(const std::string& root, std::string_view rest) {
    std::string r = "/";
    for (char c : rest)
        r.push_back(c == '\\' ? '/' : c);
    r = LexicalNormal(r);
    if (r == "/")
        return LexicalNormal(root);
    return LexicalNormal(root + r);
}

// C:, H: and the pinned letters.
std::map<char, std::string> FixedRoots(const DriveSources& src) {
    std::map<char, std::string> roots;
    roots['C'] = "/";
    std::string home = src.home.empty() ? "" : LexicalNormal(src.home);
    if (!home.empty() && home[0] == '/' && home != "/")
        roots['H'] = home;
    for (const auto& [letter, path] : src.pins) {
        char l = AsciiUpper(letter);
        std::string p = LexicalNormal(path);
        if (IsAsciiLetter(l) && l != 'C' && !p.empty() && p[0] == '/')
            roots[l] = p;
    }
    return roots;
}

// Real mounts without a letter take the free letters from D: on, H: excepted.
void AddMountRoots(const std::vector<MountEntry>& mounts, bool directoriesOnly,
                   std::map<char, std::string>* roots) {
    auto taken = [&](const std::string& p) {
        return std::any_of(roots->begin(), roots->end(), [&](auto& r) { return r.second == p; });
    };
    char next = 'D';
    for (const MountEntry& m : mounts) {
        if (!IsRealFileSystem(m) || IsSystemFolder(m.mountPoint) || taken(m.mountPoint))
            continue;
        if (directoriesOnly && !HostIsDirectory(m.mountPoint))
            continue;
        while (next <= 'Z' && (next == 'H' || roots->count(next)))
            ++next;
        if (next > 'Z')
            return;
        (*roots)[next] = m.mountPoint;
    }
}

} // namespace

DriveTable DriveTable::Build(const DriveSources& src) {
    DriveTable t;
    t.sysRoot_ = src.sysRoot;
    t.devRoot_ = src.devRoot;
    t.mounts_ = VisibleMounts(ParseMountInfo(src.mountInfo));
    std::map<char, std::string> roots = FixedRoots(src);
    AddMountRoots(t.mounts_, src.directoriesOnly, &roots);
    for (const auto& [letter, root] : roots) {
        DRIVE d;
        d.letter = letter;
        d.root = root;
        if (const MountEntry* m = t.MountOf(root)) {
            d.mountPoint = m->mountPoint;
            d.fsType = m->fsType;
            d.source = m->source;
            d.major = m->major;
            d.minor = m->minor;
        }
        t.drives_.push_back(std::move(d));
    }
    return t;
}

const MountEntry* DriveTable::MountOf(const std::string& hostPath) const {
    const MountEntry* best = nullptr;
    for (const MountEntry& m : mounts_)
        if (PathIsUnder(hostPath, m.mountPoint) &&
            (!best || m.mountPoint.size() > best->mountPoint.size()))
            best = &m;
    return best;
}

const DRIVE* DriveTable::Find(char letter) const {
    char l = AsciiUpper(letter);
    for (const DRIVE& d : drives_)
        if (d.letter == l)
            return &d;
    return nullptr;
}

bool DriveTable::FromHost(std::string_view hostPath, std::string* path) const {
    if (hostPath.find('\0') != std::string_view::npos)
        return false;
    std::string abs(hostPath);
    if (abs.empty() || abs[0] != '/')
        abs = CurrentDirectory() + "/" + abs;
    abs = LexicalNormal(abs);
    if (abs.find('\\') != std::string::npos)
        return false;
    const DRIVE* best = nullptr;
    for (const DRIVE& d : drives_)
        if (PathIsUnder(abs, d.root) && (!best || d.root.size() > best->root.size()))
            best = &d;
    if (!best)
        return false;
    std::string out = {best->letter, ':', '\\'};
    std::string_view rest = std::string_view(abs).substr(best->root == "/" ? 1 : best->root.size());
    if (!rest.empty() && rest[0] == '/')
        rest.remove_prefix(1);
    for (char c : rest)
        out.push_back(c == '/' ? '\\' : c);
    if (path)
        *path = std::move(out);
    return true;
}

bool DriveTable::ShareToHost(std::string_view path, std::string* host) const {
    // "\\server\share\rest"
    size_t serverEnd = 2;
    while (serverEnd < path.size() && !IsSep(path[serverEnd]))
        ++serverEnd;
    size_t shareEnd = serverEnd + 1;
    while (shareEnd < path.size() && !IsSep(path[shareEnd]))
        ++shareEnd;
    if (serverEnd == 2 || serverEnd >= path.size() || shareEnd == serverEnd + 1)
        return false;
    std::string wanted = "//" + std::string(path.substr(2, serverEnd - 2)) + "/" +
                         std::string(path.substr(serverEnd + 1, shareEnd - serverEnd - 1));
    for (const MountEntry& m : mounts_) {
        if (!IsNetworkFileSystem(m.fsType) || !EqualNoCase(m.source, wanted) || m.root != "/")
            continue;
        *host = JoinHost(m.mountPoint, path.substr(std::min(shareEnd, path.size())));
        return true;
    }
    return false;
}

bool DriveTable::ToHost(std::string_view path, std::string* host) const {
    if (path.find('\0') != std::string_view::npos || !host)
        return false;
    if (!path.empty() && path[0] == '/' && (path.size() == 1 || path[1] != '/')) {
        *host = LexicalNormal(std::string(path)); // already a host path
        return true;
    }
    if (path.size() >= 4 && path.substr(0, 4) == "\\\\.\\") {
        // Only the "\\.\X:..." device form of a drive reaches the host.
        path.remove_prefix(4);
        if (path.size() < 2 || !IsAsciiLetter(path[0]) || path[1] != ':')
            return false;
    }
    if (path.size() >= 2 && IsSep(path[0]) && IsSep(path[1]))
        return ShareToHost(path, host);
    if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':') {
        const DRIVE* d = Find(path[0]);
        if (!d)
            return false;
        std::string_view rest = path.substr(2);
        if (!rest.empty() && !IsSep(rest[0])) {
            // Drive-relative: against the current directory when it is on this drive.
            std::string cwd;
            if (FromHost(CurrentDirectory(), &cwd) && AsciiUpper(cwd[0]) == d->letter)
                return ToHost(cwd + "\\" + std::string(rest), host);
        }
        *host = JoinHost(d->root, rest);
        return true;
    }
    if (!path.empty() && IsSep(path[0])) {
        // Rooted on the current directory's drive.
        std::string cwd;
        const DRIVE* d = FromHost(CurrentDirectory(), &cwd) ? Find(cwd[0]) : nullptr;
        *host = JoinHost(d ? d->root : std::string("/"), path);
        return true;
    }
    // Relative: ".." may climb above the current directory.
    std::string rel = CurrentDirectory() + "/";
    for (char c : path)
        rel.push_back(c == '\\' ? '/' : c);
    *host = LexicalNormal(rel);
    return true;
}

} // namespace kw::drives
