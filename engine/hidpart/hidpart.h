// The hidden-partition provider: the FAT and NTFS partitions of the disk
// library's disks that Linux has not mounted, reachable in the path namespace
// as "\\.\diskN.partM\path" (N the disk's place in the disk list, M the
// partition's place in its chain without free space and extended records,
// both from 1). Mounted partitions are never served: they are the drive
// letters'. Files are read and written through the engine's file objects;
// writes need a writable disk and fail otherwise.
#pragma once

#include "platform/vfs/vfs.h"

#include <cstdint>
#include <string>

struct PARTITION_INFO;

namespace kw::hidpart {

// The parts of a claimed path: the numbers and the path inside the
// partition ("\" for its root).
struct HIDPART_PATH {
    uint32_t disk = 0;
    uint32_t part = 0;
    std::string rest;
};

// True when the path has the form above (letters in any case, numbers from 1
// that fit in 32 bits, then the end or "\"); the disk and partition need not
// exist.
bool HidPartParsePath(const std::string& path, HIDPART_PATH* out);
// The partition the numbers name, null when there is none.
PARTITION_INFO* HidPartFindPartition(uint32_t disk, uint32_t part);
// Whether the provider serves the partition: FAT or NTFS, not mounted and
// lying on the disk.
bool HidPartServes(const PARTITION_INFO* pi);
// Whether files of a served partition may be changed: its disk is writable
// and Linux does not use it.
bool HidPartWritable(const PARTITION_INFO* pi);

// The provider (one for the program). Stateless apart from its link.
class HIDPART_FILESYSEXTENDER final : public vfs::FILESYSEXTENDER {
public:
    bool ClaimsPath(std::string& path) override;
    void* Reserved1(const std::string&, const char*) override { return nullptr; }
    vfs::FILEHANDLE* OpenFile(const std::string& path) override;
    vfs::FILEHANDLE* OpenFileReadOnly(const std::string& path) override;
    vfs::FILEHANDLE* CreateFile(const std::string& path) override;
    bool GetFileInfo(const std::string& path, vfs::VFS_ENTRY* info) override;
    bool GetAttributes(const std::string& path, uint32_t* attributes) override;
    bool SetAttributes(const std::string&, uint32_t) override { return false; }
    bool MoveFile(const std::string& from, const std::string& to) override;
    bool DeleteFile(const std::string& path) override;
    vfs::FILEITERATOR* FindFirst(const std::string& path, vfs::VFS_ENTRY* first) override;
    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string&) override { return false; }
    bool GetFullPath(const std::string& path, std::string* full) override;
    uint32_t GetVolumeCount() override;
    bool GetVolumeName(uint32_t index, std::string* name) override;
    bool GetVolumeLabel(const std::string& path, std::string* label) override;
    bool SetVolumeLabel(const std::string&, const char*) override { return false; }
    bool GetDriveFlags(const std::string& path, uint32_t* flags) override;
    bool GetNetworkName(const std::string&, std::string*) override { return false; }
    bool GetMediaState(const std::string& path, uint32_t* state) override;
    bool GetDiskSpace(const std::string& path, uint64_t* total, uint64_t* free) override;
    int TouchDrive(const std::string&) override { return 0; }
};

// Links the program's provider into the namespace (once; later calls do
// nothing) and unlinks it again.
void InstallHidPartExtender(vfs::VFS_NAMESPACE& ns);
void RemoveHidPartExtender(vfs::VFS_NAMESPACE& ns);

// The open file and the listing of the provider (hidpart_files.cpp).
vfs::FILEHANDLE* HidPartOpen(PARTITION_INFO* pi, const std::string& rest, bool create, bool write);
vfs::FILEITERATOR* HidPartList(PARTITION_INFO* pi, const std::string& rest, vfs::VFS_ENTRY* first);

} // namespace kw::hidpart
