// KWNTFS_FILE: the engine's file object for a file inside an NTFS partition.
// It holds a partition handle, the volume lock (unless someone else held it
// already) and the partition's shared NTFS_FILESYSTEM from attach to the end,
// and one NTFS_FILE_HANDLE while open. Positions and sizes are 64-bit, so
// files of 4 GiB and more read whole. Every mode but FILE_MODE_READ opens the
// file for writing, which the volume refuses (55) unless it may be written;
// writes grow the file, SetSize grows or cuts it.
#pragma once

#include "engine/disk/kwlib.h"
#include "engine/fs/file_base.h"
#include "engine/ntfs/ntfs_filesystem.h"

class KWNTFS_FILE : public FILE_BASE {
public:
    ~KWNTFS_FILE() override;
    kwRet AttachVolume() override;
    kwRet Open() override;
    kwRet Close(uint32_t closeFlags, void** buffer) override;
    kwRet Read(void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Write(const void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Seek(uint32_t low, uint32_t high, uint32_t origin) override;
    kwRet Tell(uint64_t* position) override;
    kwRet Size(uint64_t* size) override;
    kwRet SetSize(uint32_t low, uint32_t high) override;
    kwRet GetAttributes(uint32_t* attributes) override;
    kwRet SetAttributes(uint32_t attributes) override;
    // A folder at the file's path.
    kwRet CreateDir() override;

private:
    const char* volumePath() const;
    kwRet createMissing(NTFS_FILESYSTEM* ntfs);

    FILESYSTEM* fs_ = nullptr;
    NTFS_FILE_HANDLE* handle_ = nullptr;
    PARTITION_HOLD hold_;
};
