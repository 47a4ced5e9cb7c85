// A volume file as the disk library's only disk (KW_DISKS), its whole
// extent one partition of the given kind, read by the file system the
// factory makes for that kind.
#pragma once

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/filesystem.h"

#include <cstdlib>
#include <filesystem>

namespace kwtest {

template <class FS> class VolumeFile {
public:
    VolumeFile(const std::filesystem::path& image, uint8_t kind, uint8_t type) {
        setenv("KW_DISKS", image.c_str(), 1);
        if (kwLibOpen() != KW_OK)
            return;
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        auto sectors = static_cast<uint32_t>(std::filesystem::file_size(image) / 512);
        if (disk == nullptr ||
            CreatePi(disk, 0, nullptr, false, 0, sectors, type, 0, PI_NO_ENTRY, 0, &pi_) != KW_OK)
            return;
        pi_->ucFsKind = kind;
        FILESYSTEM* made = nullptr;
        if (OpenFileSystem(pi_, &made, FS_OPEN_SHARED, kind) == KW_OK)
            fs_ = dynamic_cast<FS*>(made);
    }
    ~VolumeFile() {
        if (fs_ != nullptr) {
            FILESYSTEM* made = fs_;
            CloseFileSystem(&made);
        }
        DeletePi(&pi_);
        kwLibClose();
    }
    VolumeFile(const VolumeFile&) = delete;
    VolumeFile& operator=(const VolumeFile&) = delete;
    FS* operator->() const { return fs_; }
    FS* get() const { return fs_; }
    PARTITION_INFO* Pi() const { return pi_; }

private:
    PARTITION_INFO* pi_ = nullptr;
    FS* fs_ = nullptr;
};

} // namespace kwtest
