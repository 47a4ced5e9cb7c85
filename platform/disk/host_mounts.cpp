#include "platform/disk/host_mounts.h"

#include "platform/drives/drive_table.h"
#include "platform/files/sysfile.h"

#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kw::plat {

namespace {

constexpr uint64_t kSectorBytesOfHost = 512;

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

// The device number of a mount's source when it names a block device node
// ("/dev/sdb1", "/dev/disk/by-uuid/..."): the node's own number, else the
// number sysfs gives a block device of that name. A FUSE file system (and
// btrfs) shows a device of its own (0:NN) in mountinfo; its source still
// names the partition it runs on.
bool SourceDevice(const std::string& source, const HostView& view, unsigned* major,
                  unsigned* minor) {
    const std::string dev = "/dev/";
    if (source.compare(0, dev.size(), dev) != 0 || source.find("/../") != std::string::npos)
        return false;
    std::string node = view.devRoot + "/" + source.substr(dev.size());
    struct stat st {};
    if (::stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        *major = ::major(st.st_rdev);
        *minor = ::minor(st.st_rdev);
        return true;
    }
    std::string name = source.substr(source.rfind('/') + 1);
    return !name.empty() &&
           ParseDev(SysValue(view.sysRoot + "/class/block/" + name + "/dev"), major, minor);
}

// Gives each block device the mount points of the mounts of its device
// number, or (for mounts without a device of their own) of their source.
void AddMounts(std::vector<HostPartition>* parts, const HostView& view) {
    for (const drives::MountEntry& m : drives::ParseMountInfo(view.mountInfo)) {
        unsigned srcMajor = 0, srcMinor = 0;
        bool bySource = m.major == 0 && SourceDevice(m.source, view, &srcMajor, &srcMinor);
        for (HostPartition& p : *parts) {
            bool byDevice = p.major == m.major && p.minor == m.minor;
            if (byDevice || (bySource && p.major == srcMajor && p.minor == srcMinor))
                p.mountPoints.push_back(m.mountPoint);
        }
    }
    for (HostPartition& p : *parts)
        p.holdsProgram = p.major == view.programMajor && p.minor == view.programMinor;
}

// The partition folders of a block device's sysfs folder.
void AddPartitionsIn(const std::string& dir, const HostView& view,
                     std::vector<HostPartition>* parts) {
    if (DIR* d = ::opendir(dir.c_str())) {
        sys::sysForEachEntry(d, [&](const struct dirent& e) {
            HostPartition p;
            if (e.d_name[0] != '.' && ReadPartition(dir + "/" + e.d_name, e.d_name, view, &p))
                parts->push_back(std::move(p));
        });
        ::closedir(d);
    }
}

bool SameFile(const std::string& path, const FileIdentity& file) {
    struct stat st {};
    return !path.empty() && path[0] == '/' && ::stat(path.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode) && st.st_dev == file.device && st.st_ino == file.inode;
}

// The loop device of the sysfs folder dir with its partitions, placed on the
// image; nothing when the loop is backed by another file.
void AddLoop(const std::string& dir, const std::string& name, const FileIdentity& image,
             uint64_t imageSectors, const HostView& view, std::vector<HostPartition>* parts) {
    if (!SameFile(SysValue(dir + "/loop/backing_file"), image))
        return;
    HostPartition loop;
    if (!ParseDev(SysValue(dir + "/dev"), &loop.major, &loop.minor))
        return;
    uint64_t offset = 0;
    ParseU64(SysValue(dir + "/loop/offset"), &offset);
    // A loop whose size cannot be read is taken to reach to the image's end;
    // one that starts inside a sector covers the sector it starts in.
    uint64_t skew = offset % kSectorBytesOfHost != 0 ? 1 : 0;
    if (!ParseU64(SysValue(dir + "/size"), &loop.sectors))
        loop.sectors = imageSectors;
    loop.start = offset / kSectorBytesOfHost;
    loop.sectors += skew;
    loop.node = view.devRoot + "/" + name;
    loop.loop = true;
    std::vector<HostPartition> inside;
    AddPartitionsIn(dir, view, &inside);
    parts->push_back(std::move(loop));
    for (HostPartition& p : inside) {
        p.start += offset / kSectorBytesOfHost;
        p.sectors += skew;
        p.loop = true;
        parts->push_back(std::move(p));
    }
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

uint64_t MountTableGeneration() {
    if (TestView())
        return 0;
    static std::mutex lock;
    static int fd = -2;
    static uint64_t generation = 1;
    std::lock_guard<std::mutex> hold(lock);
    if (fd == -2)
        fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    struct pollfd p {};
    p.fd = fd;
    p.events = POLLPRI;
    int n = fd >= 0 ? ::poll(&p, 1, 0) : -1;
    if (n < 0)
        return 0;
    if (n > 0 && (p.revents & (POLLERR | POLLPRI)) != 0)
        ++generation; // poll also marks the change as seen
    return generation;
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
    AddPartitionsIn(dir, view, &parts);
    AddMounts(&parts, view);
    return parts;
}

std::vector<HostPartition> ImagePartitionsOf(const FileIdentity& image, uint64_t sectorCount,
                                             const HostView& view) {
    std::vector<HostPartition> parts;
    std::string blockDir = view.sysRoot + "/block";
    if (DIR* d = ::opendir(blockDir.c_str())) {
        sys::sysForEachEntry(d, [&](const struct dirent& e) {
            if (std::string_view(e.d_name).starts_with("loop"))
                AddLoop(blockDir + "/" + e.d_name, e.d_name, image, sectorCount, view, &parts);
        });
        ::closedir(d);
    }
    AddMounts(&parts, view);
    for (const drives::MountEntry& m : drives::ParseMountInfo(view.mountInfo)) {
        if (m.major != 0 || !SameFile(m.source, image))
            continue;
        HostPartition whole; // a file system that runs on the image file itself
        whole.sectors = sectorCount;
        whole.major = m.major;
        whole.minor = m.minor;
        whole.holdsProgram = m.major == view.programMajor && m.minor == view.programMinor;
        whole.mountPoints.push_back(m.mountPoint);
        parts.push_back(std::move(whole));
    }
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
