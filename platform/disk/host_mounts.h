// What Linux itself holds of a disk: the block devices of a machine disk's
// partitions (by start sector, as sysfs gives them), the loop devices that an
// image file backs, and where each is mounted (mountinfo, by device number or
// by the device node the mount names as its source). The disk driver consults
// it so that no write ever lands under a live file system, and the engine
// takes drive letters from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kw::plat {

// One block device of a disk: the whole disk (start 0) or one partition.
struct HostPartition {
    uint64_t start = 0; // first 512-byte sector on the disk
    uint64_t sectors = 0;
    unsigned major = 0;
    unsigned minor = 0;
    bool wholeDisk = false;
    std::string node;                     // the device node ("/dev/sda1"); "" for the whole disk
    bool loop = false;                    // a loop device over an image file, or one's partition
    std::vector<std::string> mountPoints; // empty when Linux has not mounted it
    bool holdsProgram = false;            // the running program's own files live on it

    bool Mounted() const { return !mountPoints.empty(); }
    bool Overlaps(uint64_t first, uint64_t count) const {
        return count > 0 && first < start + sectors && start < first + count;
    }
};

// Where the host's state is read from. The system view reads /proc and /sys;
// tests hand in a fake mountinfo text and a fake sysfs folder.
struct HostView {
    std::string mountInfo;     // text of /proc/self/mountinfo
    bool mountInfoRead = true; // false: the mounts are unknown
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    unsigned programMajor = 0; // device that holds the running program
    unsigned programMinor = 0;
};

HostView SystemHostView();
// A number that changes whenever the host's mount table may have changed
// (Linux marks every mount and unmount on an open mountinfo file), so that
// what was found for a disk can be kept until then. 0 when it cannot be
// told (a test view is installed, or mountinfo cannot be watched).
uint64_t MountTableGeneration();
// The installed test view, else the system's.
HostView CurrentHostView();
// Replaces the system view; an empty function restores it.
void SetHostViewForTests(std::function<HostView()> view);

// The whole disk of device major:minor and every partition sysfs lists for
// it, each with its mounts. Empty when sysfs does not know the device.
std::vector<HostPartition> HostPartitionsOf(unsigned major, unsigned minor, const HostView& view);

// An image file as stat gives it: the device it lies on and its inode.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
};

// What Linux holds of an image file of sectorCount sectors: each loop device
// it backs (sysfs block/loop*/loop/backing_file) and the loop's partitions,
// placed on the image by the loop's offset, and a run over the whole image
// for a mount whose source is the file itself (a FUSE file system over it).
// Each with its mounts; empty when no loop device or mount uses the file.
std::vector<HostPartition> ImagePartitionsOf(const FileIdentity& image, uint64_t sectorCount,
                                             const HostView& view);

// Why a run of a disk may not be written or held: nothing, a mounted file
// system lies in it, or it holds the program's own files (which are mounted
// too, but get their own answer).
enum class HostUse { Free, Mounted, ProgramVolume };
HostUse HostUseOf(const std::vector<HostPartition>& parts, bool mountsKnown, uint64_t first,
                  uint64_t count);

} // namespace kw::plat
