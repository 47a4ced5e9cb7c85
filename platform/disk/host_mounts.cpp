#include "platform/disk/host_mounts.h"

#include "platform/drives/drive_table.h"
#include "platform/files/sysfile.h"

#include <charconv>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kw::plat {

namespace {

std::function<HostView()>& TestView() {
    static std::function<HostView()> view;
    return view;
}

// A small sysfs value: "" when it cannot be read.
std::string SysValue(const std::string& path) {
    std::string text;
    sys::sysReadFile(path, &text, 4096);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool ParseU64(const std::string& s, uint64_t* v) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return ec == std::errc{} && end == s.data() + s.size() && !s.empty();
}

// "major:minor" of a sysfs dev file.
bool ParseDev(const std::string& s, unsigned* major, unsigned* minor) {
    size_t colon = s.find(':');
    uint64_t a = 0, b = 0;
    if (colon == std::string::npos || !ParseU64(s.substr(0, colon), &a) ||
        !ParseU64(s.substr(colon + 1), &b) || a > UINT32_MAX || b > UINT32_MAX)
        return false;
    *major = static_cast<unsigned>(a);
    *minor = static_cast<unsigned>(b);
    return true;
}

// The partition sysfs describes in dir (a folder with a "partition" file).
bool ReadPartition(const std::string& dir, const std::string& name, const HostView& view,
                   HostPartition* out) {
    if (SysValue(dir + "/partition").empty())
        return false;
    HostPartition p;
    if (!ParseU64(SysValue(dir + "/start"), &p.start) ||
        !ParseU64(SysValue(dir + "/size"), &p.sectors) ||
        !ParseDev(SysValue(dir + "/dev"), &p.major, &p.minor))
        return false;
    p.node = view.devRoot + "/" + name;
    *out = std::move(p);
    return true;
}

void AddMounts(std::vector<HostPartition>* parts, const HostView& view) {
    for (const drives::MountEntry& m : drives::ParseMountInfo(view.mountInfo)) {
        for (HostPartition& p : *parts) {
            if (p.major == m.major && p.minor == m.minor)
                p.mountPoints.push_back(m.mountPoint);
        }
    }
    for (HostPartition& p : *parts)
        p.holdsProgram = p.major == view.programMajor && p.minor == view.programMinor;
}

} // namespace

HostView SystemHostView() {
    HostView view;
    view.mountInfoRead = sys::sysReadFile("/proc/self/mountinfo", &view.mountInfo, 16u << 20);
    struct stat st {};
    if (::stat("/proc/self/exe", &st) == 0) {
        view.programMajor = major(st.st_dev);
        view.programMinor = minor(st.st_dev);
    }
    return view;
}

HostView CurrentHostView() {
    return TestView() ? TestView()() : SystemHostView();
}

void SetHostViewForTests(std::function<HostView()> view) {
    TestView() = std::move(view);
}

std::vector<HostPartition> HostPartitionsOf(unsigned major, unsigned minor, const HostView& view) {
    std::vector<HostPartition> parts;
    std::string dir =
        view.sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    HostPartition whole;
    if (!ParseU64(SysValue(dir + "/size"), &whole.sectors))
        return parts;
    whole.major = major;
    whole.minor = minor;
    whole.wholeDisk = true;
    parts.push_back(whole);
    if (DIR* d = ::opendir(dir.c_str())) {
        sys::sysForEachEntry(d, [&](const struct dirent& e) {
            HostPartition p;
            if (e.d_name[0] != '.' && ReadPartition(dir + "/" + e.d_name, e.d_name, view, &p))
                parts.push_back(std::move(p));
        });
        ::closedir(d);
    }
    AddMounts(&parts, view);
    return parts;
}

HostUse HostUseOf(const std::vector<HostPartition>& parts, bool mountsKnown, uint64_t first,
                  uint64_t count) {
    if (count == 0)
        return HostUse::Free;
    if (!mountsKnown)
        return HostUse::Mounted; // nothing can be ruled out
    HostUse use = HostUse::Free;
    for (const HostPartition& p : parts) {
        if (!p.Overlaps(first, count))
            continue;
        if (p.holdsProgram)
            return HostUse::ProgramVolume;
        if (p.Mounted())
            use = HostUse::Mounted;
    }
    return use;
}

} // namespace kw::plat
