// Reading /proc/self/mountinfo lines:
//   id parent major:minor root mount-point options [optional...] - type source super-options
#include "platform/drives/drive_table.h"

#include <algorithm>
#include <array>

namespace kw::drives {
namespace {

// Fields are separated by single spaces; empty fields count as malformed.
std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos <= line.size() && fields.size() < 64) {
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos)
            end = line.size();
        fields.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return fields;
}

bool ParseUnsigned(std::string_view s, unsigned* out) {
    if (s.empty() || s.size() > 9)
        return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *out = v;
    return true;
}

// The kernel writes space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            std::string_view o = s.substr(i + 1, 3);
            if (std::all_of(o.begin(), o.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                int v = (o[0] - '0') * 64 + (o[1] - '0') * 8 + (o[2] - '0');
                if (v > 0 && v < 256) {
                    out.push_back(static_cast<char>(v));
                    i += 3;
                    continue;
                }
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

bool ParseDevice(std::string_view s, unsigned* major, unsigned* minor) {
    size_t colon = s.find(':');
    return colon != std::string_view::npos && ParseUnsigned(s.substr(0, colon), major) &&
           ParseUnsigned(s.substr(colon + 1), minor);
}

} // namespace

bool ParseMountInfoLine(std::string_view line, MountEntry* out) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::vector<std::string_view> f = SplitFields(line);
    // The separator "-" comes after the six fixed fields and any optional ones.
    auto dash = std::find(f.begin() + std::min<size_t>(6, f.size()), f.end(), "-");
    if (f.size() < 9 || dash == f.end() || f.end() - dash < 3)
        return false;
    MountEntry e;
    unsigned id = 0, parent = 0;
    if (!ParseUnsigned(f[0], &id) || !ParseUnsigned(f[1], &parent) ||
        !ParseDevice(f[2], &e.major, &e.minor))
        return false;
    if (f[3].empty() || f[4].empty() || f[3][0] != '/' || f[4][0] != '/' || dash[1].empty())
        return false;
    e.root = Unescape(f[3]);
    e.mountPoint = Unescape(f[4]);
    e.fsType = Unescape(dash[1]);
    e.source = Unescape(dash[2]);
    if (e.mountPoint.find('\0') != std::string::npos || e.root.find('\0') != std::string::npos)
        return false;
    if (out)
        *out = std::move(e);
    return true;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        MountEntry e;
        if (ParseMountInfoLine(text.substr(pos, end - pos), &e))
            entries.push_back(std::move(e));
        pos = end + 1;
    }
    return entries;
}

bool IsNetworkFileSystem(std::string_view type) {
    static const std::array<std::string_view, 10> kinds = {
        "cifs", "smb3", "smbfs", "nfs", "nfs4", "ceph", "glusterfs", "fuse.sshfs", "davfs", "afs"};
    return std::find(kinds.begin(), kinds.end(), type) != kinds.end();
}

bool IsOpticalFileSystem(std::string_view type) {
    return type == "iso9660" || type == "udf";
}

bool IsRealFileSystem(const MountEntry& entry) {
    if (IsNetworkFileSystem(entry.fsType) || IsOpticalFileSystem(entry.fsType))
        return true;
    // Block devices; package images mounted from loop devices are left out.
    return entry.source.rfind("/dev/", 0) == 0 && entry.fsType != "squashfs";
}

} // namespace kw::drives
