// Sector sources: the disks that the disk driver offers to the engine's disk
// library. A source is a raw disk-image file, a whole block device of the
// machine, or a test double; all address 512-byte sectors.
#pragma once

#include "platform/disk/host_mounts.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kw::plat {

inline constexpr uint32_t kSectorBytes = 512;

enum class DiskIoStatus {
    Ok,
    OutOfRange, // the run does not lie inside the disk; nothing was transferred
    ReadOnly,   // the source refuses writes
    IoError,    // the host reported an error; hostError holds errno
    Busy,       // Linux holds the run: a mounted file system or another exclusive user
    OwnVolume,  // the run holds the program's own files
};

struct DiskIoResult {
    DiskIoStatus status = DiskIoStatus::Ok;
    int hostError = 0;
    bool ok() const { return status == DiskIoStatus::Ok; }
};

// Cylinder/head/sector geometry; no field is ever 0.
struct DiskGeometry {
    uint32_t cylinders = 1;
    uint32_t heads = 255;
    uint32_t sectorsPerTrack = 63;
};

// The usual translation of large disks (255 heads, 63 sectors per track).
// A disk smaller than one such cylinder gets one cylinder of fewer heads and
// sectors per track, so that the geometry never covers more than the disk.
DiskGeometry SynthesiseGeometry(uint64_t sectorCount);

// Holds a run of a disk for exclusive use until it is destroyed.
class DiskClaim {
public:
    virtual ~DiskClaim() = default;
};

// One disk as a run of 512-byte sectors. Owns its host resources.
class SectorSource {
public:
    virtual ~SectorSource() = default;
    virtual std::string Name() const = 0;
    virtual uint64_t SectorCount() const = 0;
    virtual bool Writable() const = 0;
    // The device's own sector size; the engine handles 512-byte sectors only.
    virtual uint32_t LogicalSectorBytes() const { return kSectorBytes; }
    virtual DiskGeometry Geometry() const { return SynthesiseGeometry(SectorCount()); }
    // Reads or writes count sectors at sector. A run that reaches past the
    // end fails with OutOfRange and transfers nothing; the disk never grows.
    virtual DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) = 0;
    virtual DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) = 0;
    // Returns once every write before it is on the medium; a source without
    // a cache of its own has nothing to do.
    virtual DiskIoResult Flush() { return {}; }
    // The block devices Linux has for this disk, with their mounts; empty for
    // anything but a machine disk.
    virtual std::vector<HostPartition> HostPartitions() const { return {}; }
    // Takes [sector, sector + count) for exclusive use: Busy when Linux has a
    // file system mounted there or another user holds it, OwnVolume when it
    // holds the program. *claim (null when there is nothing to hold) keeps
    // Linux from mounting it until released.
    virtual DiskIoResult Claim(uint64_t sector, uint64_t count, std::unique_ptr<DiskClaim>* claim) {
        (void)sector;
        (void)count;
        claim->reset();
        return {};
    }
};

// True when [sector, sector + count) lies inside a disk of sectorCount sectors.
inline bool RunInside(uint64_t sector, uint32_t count, uint64_t sectorCount) {
    return sector <= sectorCount && count <= sectorCount - sector;
}

} // namespace kw::plat
