// The SOURCE argument of kwfs: "part:FILE" (a file holding one volume, NTFS
// when its boot sector says so, else FAT) or "disk:FILE:N" (the partition of
// a disk-image file whose "number" kwfs parts lists: counted from 1 in the
// order the engine chains them, free space and extended partitions not
// counted). Both open the file through the disk library (KW_DISKS). The whole
// disk, for a listing of its partitions, is "disk:FILE".
#pragma once

#include "engine/core/kwret.h"

#include <string>

struct DISK_RECORD;
struct PARTITION_INFO;

class KwfsSource {
public:
    KwfsSource() = default;
    ~KwfsSource();
    KwfsSource(const KwfsSource&) = delete;
    KwfsSource& operator=(const KwfsSource&) = delete;

    // ERR_BAD_ARGUMENT for a malformed SOURCE; the disk library's code when
    // the file cannot be opened; ERR_FILE_NOT_FOUND when there is no Nth
    // partition.
    kwRet Open(const std::string& source);
    PARTITION_INFO* Partition() const { return pi_; }

    // "disk:FILE": the disk as the engine enumerated it. ERR_BAD_ARGUMENT for
    // a malformed SOURCE, else the disk library's code.
    kwRet OpenDisk(const std::string& source);
    DISK_RECORD* Disk() const { return disk_; }

private:
    kwRet OpenLibrary(const std::string& file);

    DISK_RECORD* disk_ = nullptr;
    PARTITION_INFO* pi_ = nullptr;
    bool ownsPi_ = false;
    bool libOpen_ = false;
};
