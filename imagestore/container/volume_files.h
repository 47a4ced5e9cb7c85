// The file calls the container makes on its volume files, over the library's
// file layer. Owns nothing but the open file objects it hands out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kwv {

// One open volume file.
class VolumeFile {
public:
    virtual ~VolumeFile() = default;
    // Reads up to `length` bytes at `offset`; *done is always set.
    virtual bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) = 0;
    // Writes up to `length` bytes at `offset`; a short count means no room.
    virtual bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) = 0;
    virtual bool GetSize(uint64_t* size) = 0;
    virtual bool SetSize(uint64_t size) = 0;
    // Makes what was written durable.
    virtual bool Flush() = 0;
    // Starts writing a range out without waiting (a hint for a later Flush).
    virtual void StartWriteback(uint64_t offset, uint64_t length) {
        (void)offset;
        (void)length;
    }
    // Locks the file against other writers until it closes; false when
    // another writer holds it.
    virtual bool TryLock() = 0;
};

enum class OpenFailure { None, Absent, Other };

namespace volfiles {

std::unique_ptr<VolumeFile> OpenRead(const std::string& path, OpenFailure* why);
std::unique_ptr<VolumeFile> OpenUpdate(const std::string& path, OpenFailure* why);
std::unique_ptr<VolumeFile> CreateNew(const std::string& path);
bool Exists(const std::string& path);
// The size of a file; false when it cannot be read.
bool FileSize(const std::string& path, uint64_t* size);
bool Delete(const std::string& path);
// Makes the folder entry of `path` durable: call it after creating or
// removing a file that a later write relies on.
bool SyncFolderOf(const std::string& path);
// Creates the folder of `path` with its parents.
bool CreateFolderOf(const std::string& path);
// The names of the files in a folder ("" is the current folder), sorted.
std::vector<std::string> ListFiles(const std::string& folder);
// Drive flags of the path's drive: 0x01 removable, 0x02 remote, ...
uint32_t DriveFlags(const std::string& path);
// Media state of the path's medium: 0x04 present and writable, 0x10 none,
// 0x13 write-protected, ...; 7 (ready) when the layer cannot tell.
uint32_t MediaState(const std::string& path);
// Free bytes where the path lies; false when unknown.
bool FreeSpace(const std::string& path, uint64_t* freeBytes);

// A count of the writes to volume files in this process (data written, a
// size set, a file created or deleted): what was read from the files before
// it moved may be out of date.
uint64_t WriteGeneration();

// Tests may wrap every file the container opens (to fail reads, say).
using FileFilter =
    std::function<std::unique_ptr<VolumeFile>(std::unique_ptr<VolumeFile>, const std::string&)>;
void SetFileFilterForTests(FileFilter filter);
// Tests may stand in for the folder sync (null: the file layer's).
using FolderSync = std::function<bool(const std::string& folder)>;
void SetFolderSyncForTests(FolderSync sync);

} // namespace volfiles
} // namespace kwv
