// KWFAT_FILE: the engine's file object for a file inside a FAT partition. It
// holds a partition handle, the volume lock (unless someone else held it
// already) and the partition's shared FAT_FILESYSTEM from attach to the
// end, and one FAT_FILE_HANDLE while open.
#pragma once

#include "engine/disk/kwlib.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"

class KWFAT_FILE : public FILE_BASE {
public:
    ~KWFAT_FILE() override;
    kwRet AttachVolume() override;
    kwRet Open() override;
    kwRet Close(uint32_t closeFlags, void** buffer) override;
    kwRet Delete() override;
    kwRet Read(void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Write(const void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Seek(uint32_t low, uint32_t high, uint32_t origin) override;
    kwRet Tell(uint64_t* position) override;
    kwRet Size(uint64_t* size) override;
    kwRet SetSize(uint32_t low, uint32_t high) override;
    kwRet GetAttributes(uint32_t* attributes) override;
    kwRet SetAttributes(uint32_t attributes) override;
    kwRet CreateDir() override;
    kwRet Rename(const char* newPath) override;
    kwRet SetTime(uint64_t fileTime) override;

private:
    const char* volumePath() const;
    kwRet commit();

    FILESYSTEM* fs_ = nullptr;
    FAT_FILE_HANDLE* handle_ = nullptr;
    PARTITION_HOLD hold_;
};
