// What the host tells about a drive: the process's table, drive kinds from
// sysfs, labels from /dev/disk/by-label, network names from mount sources.
#include "platform/drives/drive_table.h"

#include "platform/drives/host_path.h"
#include "platform/files/sysfile.h"
#include "platform/settings/settings_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kw::drives {
namespace {

// Reads a whole (small or pseudo) file; "" when it cannot be read whole.
std::string ReadText(const std::string& path, size_t limit = 16u << 20) {
    std::string text;
    sys::sysReadFile(path, &text, limit);
    return text;
}

std::string RealPath(const std::string& path) {
    // Freed even when the copy below runs out of memory.
    const std::unique_ptr<char, decltype(&std::free)> r(::realpath(path.c_str(), nullptr),
                                                        &std::free);
    if (!r)
        return {};
    return std::string(r.get());
}

std::shared_ptr<const DriveTable>& ProcessSlot() {
    static std::shared_ptr<const DriveTable> table;
    return table;
}

// Names in /dev/disk/by-label carry unusual bytes as \xHH.
std::string DecodeLabel(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit(s[i + 2]) &&
            std::isxdigit(s[i + 3])) {
            out.push_back(
                static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

} // namespace

DriveSources DriveTable::SystemSources() {
    DriveSources src;
    src.mountInfo = ReadText("/proc/self/mountinfo");
    src.home = sys::sysHomeFolder();
    src.directoriesOnly = true;
    settings::SettingsFile s = settings::SettingsFile::OpenDefault();
    for (const std::string& key : s.Keys("Drives")) {
        std::string value = s.GetString("Drives", key, "");
        if ((key.size() == 1 || (key.size() == 2 && key[1] == ':')) && !value.empty()) {
            if (value[0] == '~' && (value.size() == 1 || value[1] == '/'))
                value = src.home + value.substr(1);
            src.pins.emplace_back(key[0], value);
        }
    }
    return src;
}

DriveTable DriveTable::FromSystem() {
    return Build(SystemSources());
}

const DriveTable& DriveTable::Process() {
    std::shared_ptr<const DriveTable>& slot = ProcessSlot();
    if (!slot)
        slot = std::make_shared<const DriveTable>(FromSystem());
    return *slot;
}

void DriveTable::SetProcess(std::shared_ptr<const DriveTable> table) {
    ProcessSlot() = std::move(table);
}

// The sysfs folder of the drive's block device ("" when it has none).
bool DriveTable::BlockDevicePath(const DRIVE& d, std::string* sysDir) const {
    if (d.source.rfind("/dev/", 0) != 0)
        return false;
    std::string dir = RealPath(sysRoot_ + "/dev/block/" + std::to_string(d.major) + ":" +
                               std::to_string(d.minor));
    if (dir.empty())
        return false;
    *sysDir = dir;
    return true;
}

DriveKind DriveTable::Kind(char letter) const {
    const DRIVE* d = Find(letter);
    if (!d)
        return DriveKind::Fixed;
    if (IsNetworkFileSystem(d->fsType))
        return DriveKind::Remote;
    if (IsOpticalFileSystem(d->fsType))
        return DriveKind::CdRom;
    std::string dir;
    if (!BlockDevicePath(*d, &dir))
        return DriveKind::Fixed;
    std::string name = dir.substr(dir.rfind('/') + 1);
    if (name.rfind("sr", 0) == 0)
        return DriveKind::CdRom;
    // A partition's removable flag sits on its parent device.
    std::string owner =
        ReadText(dir + "/partition", 16).empty() ? dir : dir.substr(0, dir.rfind('/'));
    if (ReadText(owner + "/removable", 16).rfind('1', 0) == 0)
        return DriveKind::Removable;
    return DriveKind::Fixed;
}

bool DriveTable::DriveFlags(char letter, uint32_t* flags) const {
    const DRIVE* d = Find(letter);
    if (!d)
        return false;
    uint32_t f = 0;
    switch (Kind(letter)) {
    case DriveKind::Remote:
        f = 0x02;
        break;
    case DriveKind::CdRom:
        f = 0x0D;
        break;
    case DriveKind::Removable:
        f = d->letter <= 'C' ? 0x11 : 0x01;
        break;
    case DriveKind::Fixed:
        break;
    }
    if (flags)
        *flags = f;
    return true;
}

bool DriveTable::Label(char letter, std::string* label) const {
    const DRIVE* d = Find(letter);
    if (!d || d->source.empty())
        return false;
    std::string folder = devRoot_ + "/disk/by-label";
    // Device paths are looked up below devRoot_ (which stands for "/dev").
    std::string source =
        RealPath(d->source.rfind("/dev/", 0) == 0 ? devRoot_ + d->source.substr(4) : d->source);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    bool found = false;
    sys::sysForEachEntry(dir, [&](const struct dirent& de) {
        if (found || de.d_name[0] == '.')
            return;
        std::string entry = folder + "/" + de.d_name;
        struct stat st;
        bool sameDevice = ::stat(entry.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                          st.st_rdev == makedev(d->major, d->minor);
        if (sameDevice || (!source.empty() && RealPath(entry) == source)) {
            if (label)
                *label = DecodeLabel(de.d_name);
            found = true;
        }
    });
    ::closedir(dir);
    return found;
}

bool DriveTable::NetworkName(char letter, std::string* name) const {
    const DRIVE* d = Find(letter);
    if (!d || !IsNetworkFileSystem(d->fsType) || d->source.empty())
        return false;
    std::string s = d->source;
    if (s.rfind("//", 0) != 0) {
        // "host:/export" of NFS
        size_t colon = s.find(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        s = "//" + s.substr(0, colon) + "/" + s.substr(colon + 1);
    }
    std::string out;
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '/' && !out.empty() && out.back() == '\\' && i > 2))
            out.push_back(s[i] == '/' ? '\\' : s[i]);
    while (out.size() > 2 && out.back() == '\\')
        out.pop_back();
    if (name)
        *name = out;
    return true;
}

} // namespace kw::drives
