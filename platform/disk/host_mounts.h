// What Linux itself holds of a machine disk: the block devices of its
// partitions (by start sector, as sysfs gives them) and where each is
// mounted (mountinfo, by device number). The disk driver consults it so that
// no write ever lands under a live file system, and the engine takes drive
// letters from it.
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
// The installed test view, else the system's.
HostView CurrentHostView();
// Replaces the system view; an empty function restores it.
void SetHostViewForTests(std::function<HostView()> view);

// The whole disk of device major:minor and every partition sysfs lists for
// it, each with its mounts. Empty when sysfs does not know the device.
std::vector<HostPartition> HostPartitionsOf(unsigned major, unsigned minor, const HostView& view);

// Why a run of a disk may not be written or held: nothing, a mounted file
// system lies in it, or it holds the program's own files (which are mounted
// too, but get their own answer).
enum class HostUse { Free, Mounted, ProgramVolume };
HostUse HostUseOf(const std::vector<HostPartition>& parts, bool mountsKnown, uint64_t first,
                  uint64_t count);

} // namespace kw::plat
