// NTFS volumes opened through the engine for writing, and the tools that
// judge what the engine wrote: ntfsfix -n (structure, $MFT mirror, boot
// sectors), ntfsresize -i -f (cluster accounting against $Bitmap), ntfscat
// (a file's bytes as ntfs-3g reads them).
#pragma once

#include "engine/disk/partition_info.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "tests/support/recording_disk.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kwtest {

// The volume file as the only disk, writable, its whole extent one NTFS
// partition; with a log every write and flush is recorded there.
class NtfsWriteVolume {
public:
    explicit NtfsWriteVolume(const std::filesystem::path& image,
                             std::vector<DiskEvent>* log = nullptr);
    ~NtfsWriteVolume();
    NtfsWriteVolume(const NtfsWriteVolume&) = delete;
    NtfsWriteVolume& operator=(const NtfsWriteVolume&) = delete;
    NTFS_FILESYSTEM* operator->() const { return fs_; }
    NTFS_FILESYSTEM* Fs() const { return fs_; }
    PARTITION_INFO* Pi() const { return pi_; }
    kwRet Status() const { return rc_; }

private:
    PARTITION_INFO* pi_ = nullptr;
    NTFS_FILESYSTEM* fs_ = nullptr;
    kwRet rc_ = 20;
};

// "" when ntfsfix -n accepts the volume, else what it printed.
std::string NtfsfixProblems(const std::filesystem::path& image);
// "" when ntfsresize -i -f finds the cluster accounting right.
std::string NtfsAccountingProblems(const std::filesystem::path& image);
// "" when ntfsfix -n and ntfsresize -i -f both accept the volume.
std::string NtfsToolProblems(const std::filesystem::path& image);
// A file's bytes as ntfscat reads them ("<missing>" when it fails).
std::string NtfsCat(const std::filesystem::path& image, const std::string& path);

std::string ReadWhole(const std::filesystem::path& file);
void WriteWhole(const std::filesystem::path& file, const std::string& bytes);
// Bytes that differ from file to file and from one place to the next.
std::string Pattern(size_t size, uint32_t seed);
// A test's slash path ("a/b.txt") as the engine takes it ("\\a\\b.txt").
std::string EnginePath(const std::string& path);

} // namespace kwtest
