// A sector source over a host file descriptor: a disk-image file or a whole
// block device.
#pragma once

#include "platform/disk/disk_source.h"

#include <memory>

namespace kw::plat {

enum class DiskFileKind { ImageFile, BlockDevice };

// Owns one open descriptor. Image files open read-write when the file is
// writable; block devices open read-only unless the caller allows writing.
class FileSectorSource : public SectorSource {
public:
    ~FileSectorSource() override;
    FileSectorSource(const FileSectorSource&) = delete;
    FileSectorSource& operator=(const FileSectorSource&) = delete;

    // Opens path; null with errno-like *hostError on failure.
    static std::unique_ptr<FileSectorSource> Open(const std::string& path, DiskFileKind kind,
                                                  bool allowWrite, int* hostError);

    std::string Name() const override { return path_; }
    uint64_t SectorCount() const override { return sectors_; }
    bool Writable() const override { return writable_; }
    DiskGeometry Geometry() const override { return geometry_; }
    uint32_t LogicalSectorBytes() const override { return logicalSectorBytes_; }
    DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override;
    DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override;
    DiskIoResult Flush() override;
    std::vector<HostPartition> HostPartitions() const override;
    DiskIoResult Claim(uint64_t sector, uint64_t count, std::unique_ptr<DiskClaim>* claim) override;

    // Makes the source answer for the machine disk major:minor: its writes
    // and claims then respect that disk's mounted partitions. Block devices
    // are set up so when opened; tests stand an image file in for one. An
    // image file otherwise answers for the loop devices it backs.
    void ActAsHostDisk(unsigned major, unsigned minor);

private:
    FileSectorSource(int fd, std::string path, uint64_t sectors, bool writable,
                     DiskGeometry geometry);
    std::vector<HostPartition> HostPartitionsIn(const HostView& view) const;
    // Free, or why [sector, sector + count) may not be written or held.
    HostUse UseOf(const std::vector<HostPartition>& parts, bool mountsKnown, uint64_t sector,
                  uint64_t count) const;
    // The host's partitions as last found, found again once the mount table
    // may have changed (mounted partitions cannot move or appear without it).
    const std::vector<HostPartition>& WatchedPartitions(bool* mountsKnown);

    int fd_;
    std::string path_;
    uint64_t sectors_;
    bool writable_;
    DiskGeometry geometry_;
    uint32_t logicalSectorBytes_ = kSectorBytes;
    bool hostDisk_ = false;
    unsigned major_ = 0;
    unsigned minor_ = 0;
    FileIdentity file_; // an image file's, for finding its loop devices
    uint64_t watchedGeneration_ = 0;
    std::vector<HostPartition> watched_;
    bool watchedMountsKnown_ = false;
};

} // namespace kw::plat
