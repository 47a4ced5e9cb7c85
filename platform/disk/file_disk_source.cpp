#include "platform/disk/file_disk_source.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

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

DiskGeometry SynthesiseGeometry(uint64_t sectorCount) {
    DiskGeometry g;
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
    if (ioctl(fd, HDIO_GETGEO, &hd) != 0 || hd.heads == 0 || hd.sectors == 0)
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
    *hostError = 0;
    return std::unique_ptr<FileSectorSource>(
        new FileSectorSource(fd, path, sectors, writable, geometry));
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

} // namespace kw::plat
