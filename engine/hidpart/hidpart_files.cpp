// The hidden-partition provider's open files and listings, over the engine's
// file objects and the file system's directory listing.
#include "engine/disk/kwlib.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/hidpart/hidpart.h"
#include "engine/imgaccess/part_access.h" // DosDateToFileTime

#include <algorithm>
#include <new>

namespace kw::hidpart {

namespace {

// Largest transfer handed to a file object at once.
constexpr size_t kChunk = size_t{1} << 30;

// One open file of a partition; owns the engine's file object, which keeps
// the partition's file system from open to the last release.
class HIDPART_FILEHANDLE final : public vfs::FILEHANDLE {
public:
    explicit HIDPART_FILEHANDLE(FILE_BASE* file) : file_(file) {}

    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    void* Reserved2(const char*) override { return nullptr; }
    bool GetSize(uint64_t* size) override {
        uint64_t s = 0;
        if (file_->Size(&s) != KW_OK)
            return false;
        if (size != nullptr)
            *size = s;
        return true;
    }
    bool SetSize(uint64_t size) override {
        return file_->SetSize(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32)) ==
               KW_OK;
    }
    bool GetPosition(uint64_t* position) override {
        uint64_t at = 0;
        if (file_->Tell(&at) != KW_OK)
            return false;
        if (position != nullptr)
            *position = at;
        return true;
    }
    // The whole 64-bit position; one the file system cannot carry fails and
    // leaves the position where it was.
    bool SetPosition(uint64_t position) override {
        return file_->Seek(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32),
                           FILE_SEEK_SET) == KW_OK;
    }
    // Reads up to the end of the file; fewer bytes there is success.
    bool Read(void* buffer, size_t count, size_t* done) override {
        size_t total = 0;
        uint64_t size = 0, at = 0;
        bool ok = file_->Size(&size) == KW_OK && file_->Tell(&at) == KW_OK;
        count = ok && at < size ? static_cast<size_t>(std::min<uint64_t>(count, size - at)) : 0;
        while (ok && total < count) {
            uint32_t want = static_cast<uint32_t>(std::min(count - total, kChunk));
            uint32_t got = 0;
            ok = file_->Read(static_cast<char*>(buffer) + total, want, &got) == KW_OK;
            total += got;
            if (got < want)
                break; // the end of the file
        }
        if (done != nullptr)
            *done = total;
        return ok;
    }
    bool Write(const void* buffer, size_t count, size_t* done) override {
        size_t total = 0;
        bool ok = true;
        while (ok && total < count) {
            uint32_t want = static_cast<uint32_t>(std::min(count - total, kChunk));
            uint32_t put = 0;
            ok = file_->Write(static_cast<const char*>(buffer) + total, want, &put) == KW_OK;
            total += put;
            if (put < want)
                break; // the volume is full
        }
        if (done != nullptr)
            *done = total;
        return ok;
    }
    uint64_t GetTime() override { return 0; }
    // The time where the file system keeps one (FAT), its entry committed
    // with it; a file system without a settable time keeps the time of
    // writing.
    bool SetTime(uint64_t fileTime) override {
        const kwRet rc = file_->SetTime(fileTime);
        return rc == KW_OK || rc == ERR_NOT_SUPPORTED;
    }

private:
    ~HIDPART_FILEHANDLE() override { kwFileClose(file_, 0, nullptr); }

    FILE_BASE* file_; // owned
    uint32_t refs_ = 1;
};

// One folder's entries without "." and "..", as listed when it was opened.
class HIDPART_FILEITERATOR final : public vfs::FILEITERATOR {
public:
    explicit HIDPART_FILEITERATOR(DIRLIST* list) : list_(list) {}
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    bool FindNext(vfs::VFS_ENTRY* entry) override {
        while (const DIRLIST_ENTRY* e = list_->Entry(next_)) {
            ++next_;
            std::string name = e->name != nullptr ? e->name : "";
            if (name == "." || name == ".." || name.empty())
                continue;
            if (entry != nullptr) {
                entry->name = std::move(name);
                entry->attributes = e->attributes;
                entry->size = e->Size();
                entry->time =
                    imgaccess::DosDateToFileTime(e->date.year, e->date.month, e->date.day,
                                                 e->time.hour, e->time.minute, e->time.second);
            }
            return true;
        }
        return false;
    }

private:
    ~HIDPART_FILEITERATOR() override { delete list_; }

    DIRLIST* list_; // owned
    uint32_t next_ = 0;
    uint32_t refs_ = 1;
};

} // namespace

vfs::FILEHANDLE* HidPartOpen(PARTITION_INFO* pi, const std::string& rest, bool create, bool write) {
    uint32_t mode = create ? FILE_MODE_CREATE_NEW : write ? FILE_MODE_READWRITE : FILE_MODE_READ;
    FILE_BASE* file = nullptr;
    if (kwFileOpen(&file, rest.c_str(), mode | FILE_MODE_BINARY, pi, nullptr, 0) != KW_OK)
        return nullptr;
    auto* handle = new (std::nothrow) HIDPART_FILEHANDLE(file);
    if (handle == nullptr)
        kwFileClose(file, 0, nullptr);
    return handle;
}

vfs::FILEITERATOR* HidPartList(PARTITION_INFO* pi, const std::string& rest, vfs::VFS_ENTRY* first) {
    auto* list = new DIRLIST;
    if (list == nullptr)
        return nullptr;
    list->SetWantTimes(true);
    kwRet rc = ERR_NOT_OPEN;
    FILESYSTEM* fs = nullptr;
    if (OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0) == KW_OK) {
        if (fs->GetHandle() != FS_NO_HANDLE && fs->Init() == KW_OK)
            rc = fs->ListDirectory(list, rest.c_str(), LIST_LONG_NAMES);
        CloseFileSystem(&fs);
    }
    if (rc != KW_OK) {
        delete list;
        return nullptr;
    }
    auto* it = new (std::nothrow) HIDPART_FILEITERATOR(list);
    if (it == nullptr) {
        delete list;
        return nullptr;
    }
    if (!it->FindNext(first)) {
        it->Release();
        return nullptr;
    }
    return it;
}

} // namespace kw::hidpart
