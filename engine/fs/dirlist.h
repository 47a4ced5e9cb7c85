// DIRLIST: a growable list of directory entries (name, attributes, date,
// time, 64-bit size and a caller's value) that a file system's directory
// listing or a host search fills. The list owns copies of the names.
//
// Attributes are the FAT/Win32 bits below for listings of FAT and NTFS
// volumes; callers test the named constants.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"

#include <cstdint>

inline constexpr uint32_t DIR_ATTR_READONLY = 0x01;
inline constexpr uint32_t DIR_ATTR_HIDDEN = 0x02;
inline constexpr uint32_t DIR_ATTR_SYSTEM = 0x04;
inline constexpr uint32_t DIR_ATTR_VOLUME = 0x08;
inline constexpr uint32_t DIR_ATTR_DIRECTORY = 0x10;
inline constexpr uint32_t DIR_ATTR_ARCHIVE = 0x20;

// The extra value of an entry that carries none.
inline constexpr uint32_t DIRLIST_NO_EXTRA = 0xFFFFFFFF;

struct DIRLIST_ENTRY {
    char* name = nullptr;
    uint32_t attributes = 0;
    KW_TIME time{};
    KW_DATE date{1, 1, 0, 0};
    uint32_t sizeLow = 0;
    uint32_t sizeHigh = 0;
    uint32_t extra = DIRLIST_NO_EXTRA;
    // The 8.3 name when the entry also has a long name that differs (FAT).
    char shortName[40] = {};

    uint64_t Size() const { return (uint64_t{sizeHigh} << 32) | sizeLow; }
};

class DIRLIST : public KwEngineAlloc {
public:
    DIRLIST() = default;
    ~DIRLIST();
    DIRLIST(const DIRLIST&) = delete;
    DIRLIST& operator=(const DIRLIST&) = delete;

    // Copies the name; a null date or time leaves the "not given" values.
    kwRet AddEntry(const char* name, uint32_t attributes, uint32_t sizeLow, uint32_t sizeHigh,
                   const KW_DATE* date, const KW_TIME* time, uint32_t extra,
                   const char* shortName = nullptr);
    // 2 when the index is not below the count. The name is cut to nameSize
    // bytes (terminator included); every out may be null.
    kwRet GetEntry(uint32_t index, char* name, uint32_t nameSize, uint32_t* attributes,
                   uint64_t* size, KW_DATE* date, KW_TIME* time, uint32_t* extra) const;
    // The entry itself (null past the end); valid until the list changes.
    const DIRLIST_ENTRY* Entry(uint32_t index) const;
    uint32_t GetCount() const { return count_; }
    void SetWantTimes(bool on) { wantTimes_ = on; }
    bool GetWantTimes() const { return wantTimes_; }
    void Clear();

private:
    kwRet grow();

    DIRLIST_ENTRY* entries_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
    bool wantTimes_ = false;
};
