// Thin wrappers over the POSIX file calls, on host paths and file
// descriptors. Win32 conventions the namespace relies on are kept: opening
// refuses anything but a regular file (FIFOs, devices, sockets, folders),
// creating fails when the file exists, end of file and a full disk are
// success with fewer bytes done. Every position or size result is reported
// apart from the success flag.
#pragma once

#include "platform/vfs/vfs_types.h"

#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace kw::sys {

int sysOpenFile(const std::string& host);         // read and write; -1 on failure
int sysOpenFileReadOnly(const std::string& host); // read only; -1 on failure
int sysCreateFile(const std::string& host);       // new file, read and write; -1 when it exists
bool sysCloseFile(int fd);
bool sysGetPosition(int fd, uint64_t* position);
bool sysSetPosition(int fd, uint64_t position);
bool sysGetSize(int fd, uint64_t* size);
bool sysSetSize(int fd, uint64_t size); // sets the end of file; the position is left alone
bool sysRead(int fd, void* buffer, size_t count, size_t* done);
bool sysWrite(int fd, const void* buffer, size_t count, size_t* done);
// Reads fd to its end into *text. False, with *text empty, when a read fails
// or the file holds more than limit bytes: a text is never returned cut short
// as if it were whole. readFn stands in for read(2) in tests.
using ReadFn = ssize_t (*)(int fd, void* buffer, size_t count);
bool sysReadAll(int fd, std::string* text, size_t limit, ReadFn readFn = ::read);
// The same over a host path (opened read-only); false when it cannot be opened.
bool sysReadFile(const std::string& host, std::string* text, size_t limit);
uint64_t sysGetTime(int fd); // last write FILETIME; 0 when unreadable
bool sysSetTime(int fd, uint64_t filetime);
// Makes the file's data written so far durable (fdatasync).
bool sysFlush(int fd);
// Makes the file's data and its metadata (time, mode) durable (fsync).
bool sysSync(int fd);
// Starts the write-out of a range of the file's dirty pages without waiting
// (sync_file_range); a hint that may do nothing.
void sysStartWriteback(int fd, uint64_t offset, uint64_t length);
// Makes a folder's entries durable (fsync of the folder): files created,
// renamed or removed in it survive a power loss.
bool sysSyncFolder(const std::string& host);
// Takes an advisory exclusive lock (flock) on the open file without
// waiting; false when another open of the file holds one. It lasts until the
// descriptor is closed.
bool sysTryLock(int fd);

// Attributes of a host path (following links): directory 0x10, read-only
// 0x01 when no write permission bit is set, archive 0x20 for other files,
// hidden 0x02 for names beginning with '.'.
bool sysGetAttributes(const std::string& host, uint32_t* attributes);
// Only the read-only bit is carried over (the write permission bits).
bool sysSetAttributes(const std::string& host, uint32_t attributes);
bool sysGetFileInfo(const std::string& host, vfs::VFS_ENTRY* info);
bool sysMoveFile(const std::string& from, const std::string& to); // fails when `to` exists
// Renames `from` over `to` in one step (rename(2)): a reader sees the old file
// or the new one, never a mix. Both must lie on the same file system; fails
// when `to` is a folder.
bool sysReplaceFile(const std::string& from, const std::string& to);
bool sysDeleteFile(const std::string& host); // files and links, not folders
bool sysCreateDirectory(const std::string& host);
bool sysRemoveDirectory(const std::string& host);
bool sysDiskSpace(const std::string& host, uint64_t* total, uint64_t* free);

// Calls fn for each entry of an open folder, "." and ".." included. False when
// the listing fails partway: a failed readdir is not the end of the folder.
// next stands in for readdir(3) in tests.
using ReadDirFn = struct dirent* (*)(DIR* dir);
bool sysForEachEntry(DIR* dir, const std::function<void(const struct dirent&)>& fn,
                     ReadDirFn next = ::readdir);

// A folder's entries sorted by name (byte order), without exactly "." and
// "..", without names that contain "\". Symbolic links carry
// ATTR_REPARSE_POINT besides the attributes of what they point to.
bool sysListDirectory(const std::string& host, std::vector<vfs::VFS_ENTRY>* entries);

// FILETIME <-> POSIX seconds and nanoseconds.
uint64_t sysToFileTime(int64_t seconds, long nanoseconds);
void sysFromFileTime(uint64_t filetime, int64_t* seconds, long* nanoseconds);
// FILETIME of the present moment.
uint64_t sysNow();

// The date and time parts of a FILETIME (UTC, as the host's system time).
struct FILETIME_PARTS {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};
// FILETIME of the parts; 0 for parts that name no time (month 13, 30 February, ...).
uint64_t sysMakeFileTime(const FILETIME_PARTS& parts);
// False (and all parts 0) when the time lies past the year 30827.
bool sysFileTimeToParts(uint64_t filetime, FILETIME_PARTS* parts);

// The current directory as a host path; setting it takes a host path.
std::string sysGetCurrentDirectory();
bool sysSetCurrentDirectory(const std::string& host);

// The user's home folder: $HOME when set and not empty, else the password
// database's entry; "" when neither names one.
std::string sysHomeFolder();

} // namespace kw::sys
