// Image access: an image file opened as a small read-only file tree.
//
// CreateImageAccess opens an image (through libkwvaults) and serves it behind
// IMGACCESS. The root "\" lists one entry per stored partition, named
// "Partition%d" by its 0-based part index (at most 12 partitions, indexes 0
// to 11); below "\PartitionN" lies the directory tree of that partition's
// file system, read by the engine's own file-system code through the disk
// library's read hook. Paths are absolute, with "\" as separator; the
// "\Partition" prefix is compared without regard to case; "\Partition"
// without digits is partition 0.
//
// Objects are reference counted: each starts with one reference held by its
// creator and is destroyed by the Release that drops the last one. An
// iterator or a file handle keeps its IMGACCESS alive. Output pointers may be
// null (not written). Times are FILETIME values (100 ns since 1601, UTC),
// sizes are 64-bit byte counts, attributes are the FAT attribute bits. Name
// outputs are cut to the caller's buffer and always terminated.
//
// Everything runs on the program's one thread: the partition that the read
// hook serves is process-wide, and every operation makes its own partition
// current first.
#pragma once

#include "kwvaults.h"

#include <cstdint>

inline constexpr uint32_t IMGACCESS_MAX_PARTITIONS = 12;

// FAT attribute bits as the listings report them.
inline constexpr uint32_t IMGACCESS_ATTR_READ_ONLY = 0x01;
inline constexpr uint32_t IMGACCESS_ATTR_HIDDEN = 0x02;
inline constexpr uint32_t IMGACCESS_ATTR_SYSTEM = 0x04;
inline constexpr uint32_t IMGACCESS_ATTR_DIRECTORY = 0x10;
inline constexpr uint32_t IMGACCESS_ATTR_ARCHIVE = 0x20;
// The attributes of a root entry "PartitionN".
inline constexpr uint32_t IMGACCESS_ATTR_PARTITION =
    IMGACCESS_ATTR_READ_ONLY | IMGACCESS_ATTR_SYSTEM | IMGACCESS_ATTR_DIRECTORY;

// The editor's callback: the library's media callback plus three operations
// of its own for image access (slots 32-34).
class IMGACCESS_UI_CALLBACK : public MEDIA_CHANGE_CALLBACK {
public:
    /* 32 */ virtual uint32_t Query(uint32_t code, uint32_t text) = 0;
    /* 33 */ virtual uint32_t Progress(uint32_t low, uint32_t high, uint32_t current) = 0;
    /* 34 */ virtual uint32_t EndProgress() = 0;

protected:
    ~IMGACCESS_UI_CALLBACK() = default;
};

// A directory listing in progress. First and Next return true when they
// delivered an entry into the outputs.
class IMGACCESS_ITERATOR {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual bool First(char* name, uint32_t size, uint32_t* attributes, uint64_t* time,
                       uint64_t* bytes) = 0;
    virtual bool Next(char* name, uint32_t size, uint32_t* attributes, uint64_t* time,
                      uint64_t* bytes) = 0;

protected:
    ~IMGACCESS_ITERATOR() = default;
};

// An open file inside a partition. Read reads at the handle's position and
// advances it; *done is the count read on success and 0 on failure.
class IMGACCESS_FILEHANDLE {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual uint64_t GetSize() = 0;
    virtual uint32_t Reserved3() { return 0; }
    virtual void Reserved4(uint32_t) {}
    virtual bool Read(void* buffer, uint32_t count, uint32_t* done) = 0;
    virtual uint64_t Reserved6() { return 0; }
    // The code of the last failed open or read (0 when none).
    virtual uint32_t GetLastError() = 0;

protected:
    ~IMGACCESS_FILEHANDLE() = default;
};

// An opened image as the editor browses it.
class IMGACCESS {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // The file at path, or null (the root, a partition and a directory are
    // not files).
    virtual IMGACCESS_FILEHANDLE* OpenFile(const char* path) = 0;
    // 1 when path names an entry (its stored name and properties are
    // delivered), else 0 with an empty name.
    virtual uint32_t GetFileInfo(const char* path, char* name, uint32_t size, uint32_t* attributes,
                                 uint64_t* time, uint64_t* bytes) = 0;
    virtual uint32_t Reserved4(uint32_t, uint32_t) { return 0; }
    // An iterator on the first entry of the directory at path, or null when
    // it has none or cannot be listed.
    virtual IMGACCESS_ITERATOR* FindFirst(const char* path, char* name, uint32_t size,
                                          uint32_t* attributes, uint64_t* time,
                                          uint64_t* bytes) = 0;
    // As FindFirst, directories only.
    virtual IMGACCESS_ITERATOR* FindFirstDirectory(const char* path, char* name, uint32_t size,
                                                   uint32_t* attributes, uint64_t* time) = 0;
    virtual uint32_t Reserved7(uint32_t, uint32_t, uint32_t) { return 0; }
    virtual uint32_t Reserved8() { return 0; }
    virtual void Reserved9(uint32_t, uint32_t, uint32_t) {}
    // "L: (name)" of the partition that path lies in: its drive letter ('*'
    // for none) and its part name ("No name" for none). 1 done, 0 failed
    // (with an empty text).
    virtual uint32_t GetDisplayName(const char* path, char* text, uint32_t size) = 0;
    // 0 and the part index of the partition path, 505 for a path that names
    // no partition, 504 for an index that does not fit 32 bits.
    virtual uint32_t GetPartitionIndex(const char* path, uint32_t* index) = 0;
    virtual uint32_t Reserved12(uint32_t, uint32_t) { return 0; }
    virtual uint32_t Reserved13(uint32_t, uint32_t, uint32_t) { return 0; }
    virtual uint32_t Reserved14(uint32_t, uint32_t) { return 0; }
    // The image's part store (no reference added): the one store that the
    // image access reads through, so that a part the caller selects is seen.
    virtual PART_STORE* GetPartStore() = 0;
    // Save the read-restart points and volume tables of an older-format
    // image's partition (the one path lies in) or of all its partitions into
    // a change file: the one given at the open, or `changeFile`. A record is
    // added for each partition that has none yet (1893 when it has one).
    // Images of the current format keep no change file: these answer 0.
    virtual uint32_t SaveChanges(const char* path) = 0;
    virtual uint32_t SaveAllChanges() = 0;
    virtual uint32_t SavePartitionChangesTo(const char* path, const char* changeFile) = 0;
    virtual uint32_t SaveAllChangesTo(const char* changeFile) = 0;

protected:
    ~IMGACCESS() = default;
};

// Opens the image at imagePath, as the older format first, then as the
// current one. changeFile (may be null) is read for images of the older
// format; callback (may be null) is asked for media and passwords, and
// whether to go on when the change file cannot be used. On success the
// result holds one reference and *code is 0; on failure null comes back with
// the code (1806 no memory, 7 cancelled by the user, else the code of the
// open). The first call installs and switches on the disk library's read
// hook for the rest of the run.
IMGACCESS* CreateImageAccess(const char* imagePath, const char* changeFile,
                             IMGACCESS_UI_CALLBACK* callback, uint32_t* code);
