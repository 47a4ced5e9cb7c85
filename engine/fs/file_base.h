// The engine's file objects: FILE_BASE is one file, either on the host
// (DOS_FILE: a file object without a partition record, a host path) or
// inside a partition (the file system's own class, chosen by the factory
// from the partition's kind). They are made only by kwFileOpen and destroyed
// by kwFileClose; callers never see which class serves them.
//
// Positions and sizes are 64-bit; files inside FAT partitions are 32-bit by
// design, and nothing larger is ever cut silently: it fails with a code.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Open modes (exactly one in the low 7 bits) and flags.
inline constexpr uint32_t FILE_MODE_NO_OPEN = 0x01;
inline constexpr uint32_t FILE_MODE_READ = 0x02;
inline constexpr uint32_t FILE_MODE_READWRITE = 0x04;
inline constexpr uint32_t FILE_MODE_APPEND = 0x08;
inline constexpr uint32_t FILE_MODE_OPEN_APPEND = 0x10;
inline constexpr uint32_t FILE_MODE_CREATE_NEW = 0x20;
inline constexpr uint32_t FILE_MODE_CREATE_ALWAYS = 0x40;
inline constexpr uint32_t FILE_MODE_NO_HOST_IO = 0x80;
inline constexpr uint32_t FILE_MODE_BINARY = 0x1000;
inline constexpr uint32_t FILE_MODE_TEXT = 0x2000;
inline constexpr uint32_t FILE_MODE_MASK = 0x7F;

// Seek origins.
inline constexpr uint32_t FILE_SEEK_CUR = 0x10000;
inline constexpr uint32_t FILE_SEEK_SET = 0x20000;
inline constexpr uint32_t FILE_SEEK_END = 0x40000;

// Attributes of host files (GetAttributes / SetAttributes of DOS_FILE).
inline constexpr uint32_t FILE_ATTR_NORMAL = 0x01;
inline constexpr uint32_t FILE_ATTR_READONLY = 0x02;
inline constexpr uint32_t FILE_ATTR_HIDDEN = 0x04;
inline constexpr uint32_t FILE_ATTR_SYSTEM = 0x10;
inline constexpr uint32_t FILE_ATTR_DIRECTORY = 0x20;
inline constexpr uint32_t FILE_ATTR_ARCHIVE = 0x40;

// State bits.
inline constexpr uint32_t FILE_STATE_BINARY = 0x1000;
inline constexpr uint32_t FILE_STATE_TEXT = 0x2000;
inline constexpr uint32_t FILE_STATE_READ = 0x100000;
inline constexpr uint32_t FILE_STATE_WRITE = 0x200000;
inline constexpr uint32_t FILE_STATE_MODIFIED = 0x400000;

class FILE_BASE : public KwEngineAlloc {
public:
    FILE_BASE() = default;
    virtual ~FILE_BASE();
    FILE_BASE(const FILE_BASE&) = delete;
    FILE_BASE& operator=(const FILE_BASE&) = delete;

    virtual kwRet Init(const char* path, uint32_t flags, PARTITION_INFO* pi,
                       const char* streamName);
    virtual kwRet Open() = 0;
    virtual kwRet AttachVolume() { return KW_OK; }
    virtual kwRet Close(uint32_t closeFlags, void** buffer) = 0;
    virtual kwRet Delete() { return ERR_NOT_SUPPORTED_BY_FILE; }
    virtual kwRet Read(void* buffer, uint32_t count, uint32_t* done) = 0;
    virtual kwRet Write(const void* buffer, uint32_t count, uint32_t* done) = 0;
    virtual kwRet Seek(uint32_t low, uint32_t high, uint32_t origin) = 0;
    virtual kwRet Tell(uint64_t* position) = 0;
    virtual kwRet Size(uint64_t* size) = 0;
    virtual kwRet SetSize(uint32_t low, uint32_t high) = 0;
    virtual kwRet GetAttributes(uint32_t* attributes) = 0;
    virtual kwRet SetAttributes(uint32_t attributes) = 0;
    virtual kwRet CreateDir() { return ERR_NOT_SUPPORTED_BY_FILE; }
    // Gives the (not open) file another path on the same volume; fails when
    // a file has that path.
    virtual kwRet Rename(const char* /*newPath*/) { return ERR_NOT_SUPPORTED_BY_FILE; }
    virtual kwRet Reserved() { return ERR_NOT_SUPPORTED_BY_FILE; }
    // Gives the open file its last-write time (a Windows file time) and makes
    // its entry durable; a file system that keeps no such time, or cannot
    // hold this one, refuses.
    virtual kwRet SetTime(uint64_t /*fileTime*/) { return ERR_NOT_SUPPORTED_BY_FILE; }

    const char* GetPath() const { return fullPath_; }
    uint32_t GetFlags() const { return flags_; }
    PARTITION_INFO* GetPI() const { return pi_; }

    // An operation the class does not support (no text).
    static constexpr kwRet ERR_NOT_SUPPORTED_BY_FILE = ERR_NOT_SUPPORTED;

protected:
    char* path_ = nullptr;
    char* fullPath_ = nullptr;
    uint32_t flags_ = 0;
    PARTITION_INFO* pi_ = nullptr;
    uint64_t position_ = 0;
    uint32_t state_ = 0;
};

// A host file through the C runtime's streams; its path is a host path.
class DOS_FILE : public FILE_BASE {
public:
    ~DOS_FILE() override;
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

private:
    void* stream_ = nullptr;
};

// A whole file held in memory in front of another file object: Open reads
// the file into a buffer of `capacity` bytes (a larger file is refused),
// reads and writes work on the buffer, and Close writes the file back whole
// when it changed and the caller asks for it (close flags other than 0x100;
// FILE_CLOSE_WRITE_BACK). No inner file is held between Open and Close.
class KWCACHE_FILE : public FILE_BASE {
public:
    explicit KWCACHE_FILE(uint32_t capacity) : capacity_(capacity) {}
    ~KWCACHE_FILE() override;
    kwRet Init(const char* path, uint32_t flags, PARTITION_INFO* pi,
               const char* streamName) override;
    kwRet Open() override;
    // A failed write-back hands the buffer to the caller when `buffer` is
    // given (the caller then frees it with delete[]).
    kwRet Close(uint32_t closeFlags, void** buffer) override;
    kwRet Read(void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Write(const void* buffer, uint32_t count, uint32_t* done) override;
    kwRet Seek(uint32_t low, uint32_t high, uint32_t origin) override;
    kwRet Tell(uint64_t* position) override;
    kwRet Size(uint64_t* size) override;
    kwRet SetSize(uint32_t low, uint32_t high) override;
    kwRet GetAttributes(uint32_t* /*attributes*/) override { return KW_OK; }
    kwRet SetAttributes(uint32_t /*attributes*/) override { return KW_OK; }

private:
    kwRet load(uint32_t mode);
    kwRet writeBack();

    uint8_t* buffer_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_;
};

// The close flag that asks a cache file to write its changes back.
inline constexpr uint32_t FILE_CLOSE_WRITE_BACK = 0x400000;
// The close flag that never does.
inline constexpr uint32_t FILE_CLOSE_KEEP = 0x100;

// Makes, initialises, attaches and (unless FILE_MODE_NO_OPEN) opens the
// file object for path: a host file without a partition record, else the
// file class of the partition's kind (ERR_NO_FILE_IO when it has none);
// with a cache capacity, a KWCACHE_FILE in front of that file. On failure
// *file is null and nothing is held.
kwRet kwFileOpen(FILE_BASE** file, const char* path, uint32_t flags, PARTITION_INFO* pi,
                 const char* streamName, uint32_t cacheCapacity);
kwRet kwFileClose(FILE_BASE* file, uint32_t closeFlags, void** buffer);
kwRet kwFileRead(FILE_BASE* file, void* buffer, uint32_t count, uint32_t* done);
kwRet kwFileWrite(FILE_BASE* file, const void* buffer, uint32_t count, uint32_t* done);
kwRet kwFileSeek(FILE_BASE* file, uint32_t low, uint32_t high, uint32_t origin);
kwRet kwFileGetSize(FILE_BASE* file, uint64_t* size);
kwRet kwFileSetSize(FILE_BASE* file, uint32_t low, uint32_t high);

// The file class of a partition kind (the factory's table); null when the
// kind has no file I/O.
FILE_BASE* CreatePartitionFile(uint8_t kind);
