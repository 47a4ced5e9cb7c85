// The interfaces of the path namespace: providers (FILESYSEXTENDER), open
// files (FILEHANDLE) and directory listings (FILEITERATOR).
//
// Paths inside the system use the Windows model: "X:\dir\name", "\\srv\share\x",
// "\\.\X:" device forms, relative "dir\name". Every provider call reports
// failure as false / null and never throws across this interface except for
// std::bad_alloc from string growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kw::vfs {

// Windows attribute bits as the namespace reports them.
enum : uint32_t {
    ATTR_READONLY = 0x01,
    ATTR_HIDDEN = 0x02,
    ATTR_DIRECTORY = 0x10,
    ATTR_ARCHIVE = 0x20,
    ATTR_REPARSE_POINT = 0x400, // a symbolic link on the host; never descended into
};

// Drive flags (GetDriveFlags).
enum : uint32_t {
    DRIVE_REMOVABLE = 0x01,
    DRIVE_REMOTE = 0x02,
    DRIVE_CDROM = 0x0D,        // removable | 0x04 | 0x08
    DRIVE_REMOVABLE_AC = 0x11, // removable drive with letter A, B or C
};

// Media states (GetMediaState).
enum : uint32_t {
    MEDIA_NONE = 0x00,
    MEDIA_READY = 0x07,         // present, readable, writable
    MEDIA_CDROM = 0x0B,         // CD-ROM with a disc
    MEDIA_WRITE_PROTECT = 0x13, // present, readable, not writable
    MEDIA_NO_MEDIUM_LIB = 0x10, // "no medium" as the image library reports it
};

// 1 January 1980 00:00:00 as a FILETIME (100 ns units since 1601).
inline constexpr uint64_t FILETIME_1980 = 119600064000000000ULL;

// One directory entry as a listing or GetFileInfo delivers it.
struct VFS_ENTRY {
    std::string name;
    uint32_t attributes = 0;
    uint64_t time = 0; // FILETIME of the last write
    uint64_t size = 0;
};

// A reference-counted open file. A new handle has one reference, owned by the
// receiver; the last Release closes the file and destroys the object.
class FILEHANDLE {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Named-object query (for example "PREREAD"); null when the file offers none.
    virtual void* Reserved2(const char* name) = 0;
    virtual bool GetSize(uint64_t* size) = 0;
    virtual bool SetSize(uint64_t size) = 0;
    virtual bool GetPosition(uint64_t* position) = 0;
    virtual bool SetPosition(uint64_t position) = 0;
    // Reads up to count bytes; *done (when given) always receives the count
    // transferred. End of file is success with fewer bytes.
    virtual bool Read(void* buffer, size_t count, size_t* done) = 0;
    // Writes count bytes; a full disk is success with fewer bytes done.
    virtual bool Write(const void* buffer, size_t count, size_t* done) = 0;
    virtual uint64_t GetTime() = 0; // last write FILETIME, 0 when unreadable
    virtual bool SetTime(uint64_t filetime) = 0;
    // Makes what was written durable; a file that holds nothing back answers true.
    virtual bool Flush() { return true; }
    // Makes what was written durable together with the file's time and
    // attributes (Flush keeps only the data); for the last step before a
    // finished file is renamed into place.
    virtual bool Sync() { return Flush(); }
    // Takes an advisory lock against other writers of the file, kept until
    // the handle closes; false when another writer holds it. Files that are
    // never shared answer true.
    virtual bool TryLock() { return true; }
    // Starts writing a range to the disk without waiting for it, so that a
    // later Flush has less left to wait for. A hint: files that hold nothing
    // back ignore it.
    virtual void StartWriteback(uint64_t offset, uint64_t length) {
        (void)offset;
        (void)length;
    }

protected:
    virtual ~FILEHANDLE() = default;
};

// A reference-counted directory listing, positioned after the entry that
// FindFirst delivered.
class FILEITERATOR {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Delivers the next entry into *entry (when given); false at the end.
    virtual bool FindNext(VFS_ENTRY* entry) = 0;

protected:
    virtual ~FILEITERATOR() = default;
};

// A provider of part of the path namespace. Providers are linked into a
// namespace's list (next) and are never owned by it. Paths handed to the
// operations are the normalised form the dispatcher produced (or the caller's
// text when normalisation failed). Out-pointers may be null.
class FILESYSEXTENDER {
public:
    FILESYSEXTENDER* next = nullptr;

    // True when this provider serves the path; it may rewrite the path in place.
    virtual bool ClaimsPath(std::string& path) = 0;
    // Named-object query for a path ("DUVAZORI", "RAVAROVI"): an object owned
    // by the provider, or null.
    virtual void* Reserved1(const std::string& path, const char* name) = 0;
    virtual FILEHANDLE* OpenFile(const std::string& path) = 0;
    virtual FILEHANDLE* OpenFileReadOnly(const std::string& path) = 0;
    virtual FILEHANDLE* CreateFile(const std::string& path) = 0; // fails when it exists
    virtual bool GetFileInfo(const std::string& path, VFS_ENTRY* info) = 0;
    virtual bool GetAttributes(const std::string& path, uint32_t* attributes) = 0;
    virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
    virtual bool MoveFile(const std::string& from, const std::string& to) = 0; // never replaces
    // Moves a file onto `to` in one step, replacing a file already there:
    // `to` names the old file or the new one at every moment, never neither.
    // Providers that cannot replace in one step refuse.
    virtual bool ReplaceFile(const std::string&, const std::string&) { return false; }
    virtual bool DeleteFile(const std::string& path) = 0;
    // Lists a directory: the first entry goes into *first; null when empty or missing.
    virtual FILEITERATOR* FindFirst(const std::string& path, VFS_ENTRY* first) = 0;
    virtual bool CreateDirectory(const std::string& path) = 0;
    virtual bool RemoveDirectory(const std::string& path) = 0;
    virtual bool GetFullPath(const std::string& path, std::string* full) = 0;
    virtual uint32_t GetVolumeCount() = 0;
    virtual bool GetVolumeName(uint32_t index, std::string* name) = 0;
    virtual bool GetVolumeLabel(const std::string& path, std::string* label) = 0;
    virtual bool SetVolumeLabel(const std::string& path, const char* label) = 0;
    virtual bool GetDriveFlags(const std::string& path, uint32_t* flags) = 0;
    virtual bool GetNetworkName(const std::string& path, std::string* name) = 0;
    virtual bool GetMediaState(const std::string& path, uint32_t* state) = 0;
    virtual bool GetDiskSpace(const std::string& path, uint64_t* total, uint64_t* free) = 0;
    // Returns the upper-cased drive letter of a drive path, else 0.
    virtual int TouchDrive(const std::string& path) = 0;
    // Makes the entries of a folder durable; providers without such a step
    // succeed.
    virtual bool SyncFolder(const std::string&) { return true; }

protected:
    virtual ~FILESYSEXTENDER() = default;
};

} // namespace kw::vfs
