// The disk "driver": finds the disks the engine may see and opens them as
// sector sources. The disk-image files listed in KW_DISKS when that variable
// is set, else the machine's whole disks from /sys/block, read-only.
#pragma once

#include "platform/disk/disk_source.h"
#include "platform/disk/file_disk_source.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kw::plat {

// What a scan found: the opened disks in unit order, and one line for each
// disk that was skipped.
struct DiskScan {
    std::vector<std::unique_ptr<SectorSource>> disks;
    std::vector<std::string> skipped;
};

// The disks of this process: KW_DISKS, or /sys/block, or what a test
// installed with SetDiskProviderForTests.
DiskScan ScanDisks();

// The disks of a ":"-separated list (empty entries are ignored): disk-image
// files, which open read-write when writable, and block devices, which open
// as the machine's disks do (read-only unless writes are allowed). Anything
// else (a folder, a file shorter than one sector, a missing path) is skipped
// with a line that names it.
DiskScan ScanDiskImages(std::string_view list);

// How a path of that list opens, from what stat gives for it: false with the
// reason (for a skipped line) when it cannot be a disk.
bool DiskPathKind(mode_t mode, uint64_t bytes, DiskFileKind* kind, std::string* reason);

// The whole disks named in sysBlockDir, opened as devDir/<name>.
DiskScan ScanBlockDevices(const std::string& sysBlockDir, const std::string& devDir);

// True for names of whole disks: sd*, vd*, xvd*, nvme<n>n<m>, mmcblk<n>;
// false for partitions, loop, ram, optical and other devices.
bool IsWholeDiskName(std::string_view name);

// The settings key that lets the machine's disks open read-write:
// [Disks] AllowWrites=1. Anything else keeps them read-only.
inline constexpr const char* kDiskSettingsSection = "Disks";
inline constexpr const char* kAllowWritesKey = "AllowWrites";

// Whether block devices may be opened for writing: the installed policy, or
// else the settings file.
void SetBlockDeviceWritePolicy(std::function<bool()> policy);
bool BlockDeviceWritesAllowed();

// Replaces what ScanDisks finds; an empty function restores the default.
void SetDiskProviderForTests(std::function<DiskScan()> provider);

} // namespace kw::plat
