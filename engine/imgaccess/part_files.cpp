// Partition access: the partition's file system, its directory listings and
// its files.
//
// File systems are opened through the engine's factory on the access's
// partition record. Each open file system holds one of the disk library's
// few partition handles, so image access keeps only a handful mounted at a
// time: the one used least recently that has no open file gives its handle
// back when another partition needs one (it is opened again on its next use).
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/fs_module.h"
#include "engine/imgaccess/part_access.h"

#include <cstring>
#include <new>

namespace kw::imgaccess {

namespace {

// Image file systems mounted at once; the rest of the handle table stays
// free for the machine's own disks.
constexpr uint32_t kMaxMounted = 4;

KWIPART_ACCESS* gMounted[KW_MAX_HANDLES] = {};
uint64_t gClock = 0;

// The kinds whose folders and files image access reads: those whose row
// makes file objects.
bool IsBrowsable(uint8_t kind) {
    const FS_MODULE* row = fsModuleOf(kind);
    return row != nullptr && row->createFile != nullptr;
}

void Forget(KWIPART_ACCESS* access) {
    for (KWIPART_ACCESS*& slot : gMounted) {
        if (slot == access)
            slot = nullptr;
    }
}

uint32_t MountedCount() {
    uint32_t n = 0;
    for (KWIPART_ACCESS* slot : gMounted)
        n += slot != nullptr;
    return n;
}

// A file of the partition through the file object of its kind's row. A read
// past the end fails whole and reads nothing.
class FS_PART_FILE final : public PART_FILE {
public:
    FS_PART_FILE(FILE_BASE* file, uint64_t size) : file_(file), size_(size) {}
    ~FS_PART_FILE() override { kwFileClose(file_, 0, nullptr); }
    uint64_t GetSize() const override { return size_; }
    kwRet Read(void* buffer, uint32_t count) override {
        uint64_t at = 0;
        kwRet rc = file_->Tell(&at);
        if (rc != KW_OK || count == 0)
            return rc;
        if (at + count > size_)
            return ERR_OUT_OF_RANGE;
        uint32_t done = 0;
        rc = file_->Read(buffer, count, &done);
        return rc == KW_OK && done != count ? ERR_FILE_READ : rc;
    }

private:
    FILE_BASE* file_; // owned
    uint64_t size_;
};

} // namespace

// Gives back the file system of the least recently used mounted access that
// has no open file (not `keep`); false when there is none.
bool ReleaseIdleFileSystem(const KWIPART_ACCESS* keep) {
    KWIPART_ACCESS* oldest = nullptr;
    for (KWIPART_ACCESS* slot : gMounted) {
        if (slot != nullptr && slot != keep && slot->IsIdle() &&
            (oldest == nullptr || slot->LastUse() < oldest->LastUse()))
            oldest = slot;
    }
    return oldest != nullptr && oldest->UnmountFileSystem();
}

void KWIPART_ACCESS::CloseAll() {
    UnmountFileSystem();
    Forget(this);
    if (fs_ != nullptr) // a file is still open on it: close it all the same
        CloseFileSystem(&fs_);
    delete list_;
    list_ = nullptr;
    listed_.clear();
    if (pi_ != nullptr)
        DeletePi(&pi_);
}

bool KWIPART_ACCESS::UnmountFileSystem() {
    if (fs_ == nullptr)
        return true;
    if (openFiles_ != 0)
        return false;
    CloseFileSystem(&fs_);
    Forget(this);
    return true;
}

kwRet KWIPART_ACCESS::OpenFileSystem() {
    const uint8_t kind = pi_ != nullptr ? pi_->ucFsKind : uint8_t{FS_KIND_NONE};
    if (!IsBrowsable(kind))
        return ERR_FS_NOT_SUPPORTED; // no file I/O for this kind (yet)
    while (MountedCount() >= kMaxMounted && ReleaseIdleFileSystem(this)) {
    }
    kwRet rc = ::OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, kind);
    // No partition handle was free: give one back and try once more.
    if (rc == KW_OK && fs_->GetHandle() == FS_NO_HANDLE) {
        CloseFileSystem(&fs_);
        rc = ReleaseIdleFileSystem(this) ? ::OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, kind)
                                         : ERR_BAD_HANDLE;
        if (rc == KW_OK && fs_->GetHandle() == FS_NO_HANDLE) {
            CloseFileSystem(&fs_);
            rc = ERR_BAD_HANDLE;
        }
    }
    if (rc != KW_OK)
        return rc;
    rc = fs_->Init();
    if (rc != KW_OK) {
        CloseFileSystem(&fs_);
        return rc;
    }
    for (KWIPART_ACCESS*& slot : gMounted) {
        if (slot == nullptr) {
            slot = this;
            break;
        }
    }
    return KW_OK;
}

kwRet KWIPART_ACCESS::MountFileSystem() {
    CURRENT_PART_SCOPE current(this);
    lastUse_ = ++gClock;
    return fs_ != nullptr ? KW_OK : OpenFileSystem();
}

kwRet KWIPART_ACCESS::ListDirectory(const std::string& path) {
    delete list_;
    list_ = new DIRLIST;
    if (list_ == nullptr)
        return ERR_NO_MEMORY;
    list_->SetWantTimes(true);
    CURRENT_PART_SCOPE current(this);
    listing_ = true;
    kwRet rc = fs_->ListDirectory(list_, path.c_str(), LIST_LONG_NAMES);
    listing_ = false;
    return rc;
}

kwRet KWIPART_ACCESS::SelectDirectory(const char* path) {
    std::string wanted(path);
    if (wanted.size() > 1 && wanted.back() == '\\')
        wanted.pop_back();
    if (!listed_.empty() && listed_ == wanted)
        return KW_OK; // the list of the last call: an image does not change
    listed_.clear();
    kwRet rc = MountFileSystem();
    if (rc != KW_OK)
        return rc;
    rc = ListDirectory(wanted);
    if (rc == KW_OK)
        listed_ = wanted;
    return rc;
}

kwRet KWIPART_ACCESS::ReadEntry(uint32_t index, IMG_ENTRY* entry) {
    const DIRLIST_ENTRY* e = list_ != nullptr ? list_->Entry(index) : nullptr;
    if (e == nullptr)
        return ERR_FILE_NOT_FOUND;
    std::strncpy(entry->name, e->name != nullptr ? e->name : "", sizeof entry->name - 1);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->attributes = e->attributes;
    entry->size = e->Size();
    entry->time = DosDateToFileTime(e->date.year, e->date.month, e->date.day, e->time.hour,
                                    e->time.minute, e->time.second);
    entry->hasTime = true;
    entry->date = e->date;
    entry->dosTime = e->time;
    std::memcpy(entry->shortName, e->shortName, sizeof entry->shortName);
    entry->shortName[sizeof entry->shortName - 1] = '\0';
    return KW_OK;
}

uint32_t KWIPART_ACCESS::Enumerate(uint32_t cookie, const char* path, IMG_ENTRY* entry,
                                   kwRet* code) {
    *code = SelectDirectory(path);
    if (*code == KW_OK)
        *code = ReadEntry(cookie, entry);
    if (*code == KW_OK)
        return cookie + 1;
    if (*code == ERR_FILE_NOT_FOUND)
        *code = KW_OK; // the end of the listing
    return 0;
}

kwRet KWIPART_ACCESS::OpenFile(const char* path, PART_FILE** file) {
    *file = nullptr;
    kwRet rc = MountFileSystem();
    if (rc != KW_OK)
        return rc;
    CURRENT_PART_SCOPE current(this);
    FILE_BASE* object = nullptr;
    rc = kwFileOpen(&object, path, FILE_MODE_READ | FILE_MODE_BINARY, pi_, nullptr, 0);
    if (rc != KW_OK)
        return rc;
    uint64_t size = 0;
    rc = object->Size(&size);
    *file = rc == KW_OK ? new (std::nothrow) FS_PART_FILE(object, size) : nullptr;
    if (*file == nullptr) {
        kwFileClose(object, 0, nullptr);
        return rc != KW_OK ? rc : ERR_NO_MEMORY;
    }
    ++openFiles_;
    return KW_OK;
}

void KWIPART_ACCESS::CloseFile(PART_FILE* file) {
    if (file == nullptr)
        return;
    delete file;
    if (openFiles_ > 0)
        --openFiles_;
}

} // namespace kw::imgaccess
