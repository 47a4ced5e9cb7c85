#include "tests/tools/kwfs/kwfs_source.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/disk/pi_report.h"
#include "engine/host/fs_modules.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The file's first sector names NTFS; anything else is taken as FAT.
bool IsNtfsVolume(const std::string& file) {
    char head[11] = {};
    std::ifstream(file, std::ios::binary).read(head, sizeof head);
    return std::string(head + 3, 8) == "NTFS    ";
}

} // namespace

KwfsSource::~KwfsSource() {
    if (ownsPi_)
        DeletePi(&pi_);
    if (libOpen_)
        kwLibClose();
}

kwRet KwfsSource::Open(const std::string& source) {
    std::string file;
    long index = 0;
    bool whole = source.rfind("part:", 0) == 0;
    if (whole) {
        file = source.substr(5);
    } else if (source.rfind("disk:", 0) == 0) {
        size_t colon = source.rfind(':');
        if (colon <= 5)
            return ERR_BAD_ARGUMENT;
        file = source.substr(5, colon - 5);
        char* end = nullptr;
        index = std::strtol(source.c_str() + colon + 1, &end, 10);
        if (end == nullptr || *end != '\0' || index < 1)
            return ERR_BAD_ARGUMENT;
    } else {
        return ERR_BAD_ARGUMENT;
    }
    kwRet rc = OpenLibrary(file);
    if (rc != KW_OK)
        return rc;
    DISK_RECORD* disk = disk_;
    if (whole) {
        // The volume is the file: the disk's size may be rounded up to whole cylinders.
        std::error_code ec;
        uint64_t bytes = std::filesystem::file_size(file, ec);
        uint32_t sectors = ec ? disk->totalSectors : static_cast<uint32_t>(bytes / 512);
        rc = CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_);
        if (rc != KW_OK)
            return rc;
        ownsPi_ = true;
        pi_->ucFsKind = IsNtfsVolume(file) ? FS_KIND_NTFS : FS_KIND_FAT;
        return KW_OK;
    }
    for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
        if (IsNumberedPartition(pi) && --index == 0) {
            pi_ = pi;
            return KW_OK;
        }
    }
    return ERR_FILE_NOT_FOUND;
}

kwRet KwfsSource::OpenDisk(const std::string& source) {
    if (source.rfind("disk:", 0) != 0)
        return ERR_BAD_ARGUMENT;
    return OpenLibrary(source.substr(5));
}

// The file as the disk library's only disk.
kwRet KwfsSource::OpenLibrary(const std::string& file) {
    if (file.empty() || file.find(':') != std::string::npos)
        return ERR_BAD_ARGUMENT;
    setenv("KW_DISKS", file.c_str(), 1);
    enInstallFsModules();
    kwRet rc = kwLibOpen();
    if (rc != KW_OK)
        return rc;
    libOpen_ = true;
    kwGetDiskList(&disk_);
    if (disk_ != nullptr)
        return KW_OK;
    for (const std::string& line : kwSkippedDisks()) // what is wrong with the file
        std::fprintf(stderr, "kwfs: %s\n", line.c_str());
    return ERR_NO_DISKS;
}
