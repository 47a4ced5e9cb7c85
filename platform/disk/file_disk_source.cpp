#include "platform/disk/file_disk_source.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace kw::plat {

namespace {

// Whole cylinders of the size under the geometry's heads and sectors per
// track, at least one and at most what 32 bits hold.
void SetCylinders(DiskGeometry* g, uint64_t sectorCount) {
    uint64_t cylinders = sectorCount / (uint64_t{g->heads} * g->sectorsPerTrack);
    if (cylinders == 0)
        cylinders = 1;
    if (cylinders > UINT32_MAX)
        cylinders = UINT32_MAX;
    g->cylinders = static_cast<uint32_t>(cylinders);
}

} // namespace

namespace {

// A disk smaller than one cylinder of 255 x 63: one cylinder of the heads and
// sectors per track that cover most of it, an exact fit when there is one
// (2,880 sectors of a 1.44 MB floppy image give 48 heads of 60 sectors).
DiskGeometry SmallDiskGeometry(uint64_t sectorCount) {
    DiskGeometry best{1, 1, 1};
    uint64_t covered = 0;
    for (uint32_t spt = 63; spt >= 1 && covered != sectorCount; --spt) {
        uint64_t heads = std::min<uint64_t>(255, sectorCount / spt);
        if (heads == 0 || heads * spt <= covered)
            continue;
        covered = heads * spt;
        best = {1, static_cast<uint32_t>(heads), spt};
    }
    return best;
}

} // namespace

DiskGeometry SynthesiseGeometry(uint64_t sectorCount) {
    DiskGeometry g;
    if (sectorCount < uint64_t{g.heads} * g.sectorsPerTrack)
        return SmallDiskGeometry(sectorCount);
    SetCylinders(&g, sectorCount);
    return g;
}

namespace {

// The size in bytes of an open file or block device; false on failure.
bool ByteSize(int fd, DiskFileKind kind, uint64_t* bytes) {
    if (kind == DiskFileKind::BlockDevice)
        return ioctl(fd, BLKGETSIZE64, bytes) == 0;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

// The device's own heads and sectors per track when Linux reports them;
// cylinders always follow from the size (the reported count is 16-bit).
DiskGeometry DeviceGeometry(int fd, DiskFileKind kind, uint64_t sectors) {
    DiskGeometry g = SynthesiseGeometry(sectors);
    if (kind != DiskFileKind::BlockDevice)
        return g;
    struct hd_geometry hd {};
    if (ioctl(fd, HDIO_GETGEO, &hd) != 0 || hd.heads == 0 || hd.sectors == 0 ||
        uint64_t{hd.heads} * hd.sectors > sectors)
        return g;
    g.heads = hd.heads;
    g.sectorsPerTrack = hd.sectors;
    SetCylinders(&g, sectors);
    return g;
}

} // namespace

FileSectorSource::FileSectorSource(int fd, std::string path, uint64_t sectors, bool writable,
                                   DiskGeometry geometry)
    : fd_(fd), path_(std::move(path)), sectors_(sectors), writable_(writable), geometry_(geometry) {
}

FileSectorSource::~FileSectorSource() {
    if (fd_ >= 0)
        close(fd_);
}

std::unique_ptr<FileSectorSource> FileSectorSource::Open(const std::string& path, DiskFileKind kind,
                                                         bool allowWrite, int* hostError) {
    bool writable = allowWrite && access(path.c_str(), W_OK) == 0;
    int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && writable) {
        writable = false;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        *hostError = errno;
        return nullptr;
    }
    uint64_t bytes = 0;
    if (!ByteSize(fd, kind, &bytes)) {
        *hostError = errno;
        close(fd);
        return nullptr;
    }
    uint64_t sectors = bytes / kSectorBytes;
    DiskGeometry geometry = DeviceGeometry(fd, kind, sectors);
    std::unique_ptr<FileSectorSource> source(
        new FileSectorSource(fd, path, sectors, writable, geometry));
    int logical = 0;
    if (kind == DiskFileKind::BlockDevice && ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0)
        source->logicalSectorBytes_ = static_cast<uint32_t>(logical);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode))
        source->ActAsHostDisk(major(st.st_rdev), minor(st.st_rdev));
    else
        source->file_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    *hostError = 0;
    return source;
}

DiskIoResult FileSectorSource::Read(uint64_t sector, void* buffer, uint32_t count) {
    if (!RunInside(sector, count, sectors_))
        return {DiskIoStatus::OutOfRange, 0};
    auto* out = static_cast<char*>(buffer);
    uint64_t left = uint64_t{count} * kSectorBytes;
    auto offset = static_cast<off_t>(sector * kSectorBytes);
    while (left > 0) {
        ssize_t n = pread(fd_, out, left, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {DiskIoStatus::IoError, errno};
        if (n == 0) // the file shrank under us
            return {DiskIoStatus::OutOfRange, 0};
        out += n;
        left -= static_cast<uint64_t>(n);
        offset += n;
    }
    return {};
}

DiskIoResult FileSectorSource::Write(uint64_t sector, const void* buffer, uint32_t count) {
    if (!writable_)
        return {DiskIoStatus::ReadOnly, EROFS};
    if (!RunInside(sector, count, sectors_))
        return {DiskIoStatus::OutOfRange, 0};
    bool mountsKnown = false;
    const std::vector<HostPartition>& parts = WatchedPartitions(&mountsKnown);
    if (UseOf(parts, mountsKnown, sector, count) != HostUse::Free)
        return {DiskIoStatus::Busy, EBUSY}; // never under a live file system
    const auto* in = static_cast<const char*>(buffer);
    uint64_t left = uint64_t{count} * kSectorBytes;
    auto offset = static_cast<off_t>(sector * kSectorBytes);
    while (left > 0) {
        ssize_t n = pwrite(fd_, in, left, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {DiskIoStatus::IoError, n < 0 ? errno : EIO};
        in += n;
        left -= static_cast<uint64_t>(n);
        offset += n;
    }
    return {};
}

DiskIoResult FileSectorSource::Flush() {
    if (!writable_)
        return {};
    while (fdatasync(fd_) != 0) {
        if (errno != EINTR)
            return {DiskIoStatus::IoError, errno};
    }
    return {};
}

void FileSectorSource::ActAsHostDisk(unsigned major, unsigned minor) {
    hostDisk_ = true;
    major_ = major;
    minor_ = minor;
}

std::vector<HostPartition> FileSectorSource::HostPartitionsIn(const HostView& view) const {
    if (hostDisk_)
        return HostPartitionsOf(major_, minor_, view);
    return ImagePartitionsOf(file_, sectors_, view);
}

std::vector<HostPartition> FileSectorSource::HostPartitions() const {
    return HostPartitionsIn(CurrentHostView());
}

// A machine disk is written only where the mounts are known to leave it
// free. An image file that no loop device or mount uses is the user's file
// alone; one that Linux uses is held to the same rule as a disk.
HostUse FileSectorSource::UseOf(const std::vector<HostPartition>& parts, bool mountsKnown,
                                uint64_t sector, uint64_t count) const {
    if (!hostDisk_ && parts.empty())
        return HostUse::Free;
    return HostUseOf(parts, mountsKnown, sector, count);
}

const std::vector<HostPartition>& FileSectorSource::WatchedPartitions(bool* mountsKnown) {
    uint64_t generation = MountTableGeneration();
    if (generation == 0 || generation != watchedGeneration_) {
        HostView view = CurrentHostView();
        watched_ = HostPartitionsIn(view);
        watchedMountsKnown_ = view.mountInfoRead;
        watchedGeneration_ = generation;
    }
    *mountsKnown = watchedMountsKnown_;
    return watched_;
}

namespace {

// What a lock holds: an open-file-description write lock on the run's bytes
// (another process that writes the same run through its own descriptor is
// refused until it is released, so two writers never keep two FATs of one
// volume in memory) and, on a machine disk, the partition nodes opened with
// O_EXCL (while they are open Linux refuses to mount them).
class NodeClaim : public DiskClaim {
public:
    ~NodeClaim() override {
        if (lockFd >= 0) {
            struct flock l = range;
            l.l_type = F_UNLCK;
            fcntl(lockFd, F_OFD_SETLK, &l);
        }
        for (int fd : fds)
            close(fd);
    }
    int lockFd = -1;
    struct flock range = {};
    std::vector<int> fds;
};

// The write lock on [sector, sector + count): Busy while another open file
// description holds any of it.
DiskIoResult LockRun(int fd, uint64_t sector, uint64_t count, NodeClaim* held) {
    struct flock l = {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(sector * kSectorBytes);
    l.l_len = static_cast<off_t>(count * kSectorBytes);
    if (fcntl(fd, F_OFD_SETLK, &l) != 0)
        return {errno == EAGAIN || errno == EACCES ? DiskIoStatus::Busy : DiskIoStatus::IoError,
                errno};
    held->lockFd = fd;
    held->range = l;
    return {};
}

} // namespace

DiskIoResult FileSectorSource::Claim(uint64_t sector, uint64_t count,
                                     std::unique_ptr<DiskClaim>* claim) {
    claim->reset();
    auto held = std::make_unique<NodeClaim>();
    HostView view = CurrentHostView();
    std::vector<HostPartition> parts = HostPartitionsIn(view);
    if (!hostDisk_ && parts.empty()) {
        // An image file that Linux does not use: the write lock alone.
        DiskIoResult locked = writable_ ? LockRun(fd_, sector, count, held.get()) : DiskIoResult{};
        if (locked.ok())
            *claim = std::move(held);
        return locked;
    }
    switch (UseOf(parts, view.mountInfoRead, sector, count)) {
    case HostUse::ProgramVolume:
        return {DiskIoStatus::OwnVolume, EBUSY};
    case HostUse::Mounted:
        return {DiskIoStatus::Busy, EBUSY};
    case HostUse::Free:
        break;
    }
    for (const HostPartition& p : parts) {
        if (p.wholeDisk || p.node.empty() || !p.Overlaps(sector, count))
            continue;
        int fd = open(p.node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            continue; // no node for it: nothing can mount it through one
        if (fd < 0 && p.loop && (errno == EACCES || errno == EPERM))
            continue; // a loop device this user may not open: checked as unmounted above
        if (fd < 0)
            return {errno == EBUSY ? DiskIoStatus::Busy : DiskIoStatus::IoError, errno};
        held->fds.push_back(fd);
    }
    if (writable_) {
        DiskIoResult locked = LockRun(fd_, sector, count, held.get());
        if (!locked.ok())
            return locked;
    }
    *claim = std::move(held);
    return {};
}

} // namespace kw::plat
