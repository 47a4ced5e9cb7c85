#include "platform/disk/disk_driver.h"

#include "platform/disk/file_disk_source.h"
#include "platform/files/sysfile.h"
#include "platform/settings/settings_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace kw::plat {

namespace {

std::function<bool()>& WritePolicy() {
    static std::function<bool()> policy;
    return policy;
}

std::function<DiskScan()>& Provider() {
    static std::function<DiskScan()> provider;
    return provider;
}

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllLower(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// "nvme<ctrl>n<ns>" without a partition or path suffix.
bool IsNvmeNamespace(std::string_view name) {
    if (!name.starts_with("nvme"))
        return false;
    std::string_view rest = name.substr(4);
    size_t n = rest.find('n');
    return n != std::string_view::npos && AllDigits(rest.substr(0, n)) &&
           AllDigits(rest.substr(n + 1));
}

// The names in a folder, sorted; false when it cannot be listed whole.
bool SortedEntries(const std::string& dir, std::vector<std::string>* names) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        return false;
    bool complete = sys::sysForEachEntry(d, [&](const struct dirent& e) {
        if (e.d_name[0] != '.')
            names->emplace_back(e.d_name);
    });
    int err = errno;
    closedir(d);
    std::sort(names->begin(), names->end());
    errno = err;
    return complete;
}

} // namespace

bool IsWholeDiskName(std::string_view name) {
    if (name.starts_with("xvd"))
        return AllLower(name.substr(3));
    if (name.starts_with("sd") || name.starts_with("vd"))
        return AllLower(name.substr(2));
    if (name.starts_with("mmcblk"))
        return AllDigits(name.substr(6));
    return IsNvmeNamespace(name);
}

bool DiskPathKind(mode_t mode, uint64_t bytes, DiskFileKind* kind, std::string* reason) {
    if (S_ISBLK(mode)) {
        *kind = DiskFileKind::BlockDevice;
        return true;
    }
    if (S_ISDIR(mode))
        *reason = "is a folder, not a disk-image file";
    else if (!S_ISREG(mode))
        *reason = "is not a disk-image file or a block device";
    else if (bytes < kSectorBytes)
        *reason = "holds less than one 512-byte sector";
    else {
        *kind = DiskFileKind::ImageFile;
        return true;
    }
    return false;
}

DiskScan ScanDiskImages(std::string_view list) {
    DiskScan scan;
    while (!list.empty()) {
        size_t colon = list.find(':');
        std::string path(list.substr(0, colon));
        list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
        if (path.empty())
            continue;
        struct stat st {};
        DiskFileKind kind = DiskFileKind::ImageFile;
        std::string reason;
        if (::stat(path.c_str(), &st) != 0) {
            reason = std::strerror(errno);
        } else if (DiskPathKind(st.st_mode, static_cast<uint64_t>(st.st_size), &kind, &reason)) {
            bool allowWrite = kind == DiskFileKind::ImageFile || BlockDeviceWritesAllowed();
            int err = 0;
            if (auto source = FileSectorSource::Open(path, kind, allowWrite, &err)) {
                scan.disks.push_back(std::move(source));
                continue;
            }
            reason = std::strerror(err);
        }
        scan.skipped.push_back(path + ": " + reason);
    }
    return scan;
}

DiskScan ScanBlockDevices(const std::string& sysBlockDir, const std::string& devDir) {
    DiskScan scan;
    bool allowWrite = BlockDeviceWritesAllowed();
    std::vector<std::string> names;
    if (!SortedEntries(sysBlockDir, &names))
        scan.skipped.push_back(sysBlockDir + ": " + std::strerror(errno) +
                               " (the list of disks may be incomplete)");
    for (const std::string& name : names) {
        if (!IsWholeDiskName(name))
            continue;
        std::string path = devDir + "/" + name;
        int err = 0;
        auto source = FileSectorSource::Open(path, DiskFileKind::BlockDevice, allowWrite, &err);
        if (source)
            scan.disks.push_back(std::move(source));
        else
            scan.skipped.push_back(path + ": " + std::strerror(err));
    }
    return scan;
}

DiskScan ScanDisks() {
    if (Provider())
        return Provider()();
    if (const char* list = std::getenv("KW_DISKS"))
        return ScanDiskImages(list);
    return ScanBlockDevices("/sys/block", "/dev");
}

void SetBlockDeviceWritePolicy(std::function<bool()> policy) {
    WritePolicy() = std::move(policy);
}

bool BlockDeviceWritesAllowed() {
    if (WritePolicy())
        return WritePolicy()();
    kw::settings::SettingsFile settings = kw::settings::SettingsFile::OpenDefault();
    return settings.GetInt(kDiskSettingsSection, kAllowWritesKey, 0) == 1;
}

void SetDiskProviderForTests(std::function<DiskScan()> provider) {
    Provider() = std::move(provider);
}

} // namespace kw::plat
