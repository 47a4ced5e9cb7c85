// Read-only files held in memory for fuzz targets of the image library: a
// provider of the path namespace that serves the folder "\fuzzmem"
// (on whatever drive the namespace puts it) from byte views the target sets
// before each run, so opening an image costs
// no file-system call. A file may be declared longer than its bytes; the rest
// reads as zeros, so an input need not carry a volume's empty tail.
#pragma once

#include "platform/vfs/default_handles.h"
#include "platform/vfs/vfs.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kw::fuzz {

struct MemoryFileBytes {
    std::string_view bytes;
    uint64_t size = 0; // at least bytes.size()
};

class MemoryFile final : public kw::vfs::REFCOUNTED<kw::vfs::FILEHANDLE> {
public:
    explicit MemoryFile(MemoryFileBytes file) : file_(file) {}
    void* Reserved2(const char*) override { return nullptr; }
    bool GetSize(uint64_t* size) override {
        *size = file_.size;
        return true;
    }
    bool SetSize(uint64_t) override { return false; }
    bool GetPosition(uint64_t* p) override {
        *p = pos_;
        return true;
    }
    bool SetPosition(uint64_t p) override {
        pos_ = p;
        return true;
    }
    bool Read(void* buffer, size_t count, size_t* done) override {
        const uint64_t n = pos_ >= file_.size ? 0 : std::min<uint64_t>(count, file_.size - pos_);
        const uint64_t held =
            pos_ >= file_.bytes.size() ? 0 : std::min<uint64_t>(n, file_.bytes.size() - pos_);
        if (held != 0)
            std::memcpy(buffer, file_.bytes.data() + pos_, held);
        std::memset(static_cast<uint8_t*>(buffer) + held, 0, n - held);
        pos_ += n;
        if (done)
            *done = n;
        return true;
    }
    bool Write(const void*, size_t, size_t* done) override {
        if (done)
            *done = 0;
        return false;
    }
    uint64_t GetTime() override { return 0; }
    bool SetTime(uint64_t) override { return false; }

private:
    ~MemoryFile() override = default;
    MemoryFileBytes file_;
    uint64_t pos_ = 0;
};

// Lists the files of the folder whose names match a pattern.
class MemoryListing final : public kw::vfs::REFCOUNTED<kw::vfs::FILEITERATOR> {
public:
    explicit MemoryListing(std::vector<kw::vfs::VFS_ENTRY> entries)
        : entries_(std::move(entries)) {}
    bool FindNext(kw::vfs::VFS_ENTRY* entry) override {
        if (next_ >= entries_.size())
            return false;
        if (entry != nullptr)
            *entry = entries_[next_];
        ++next_;
        return true;
    }

private:
    ~MemoryListing() override = default;
    std::vector<kw::vfs::VFS_ENTRY> entries_;
    size_t next_ = 1;
};

// The provider; one per process (see Instance), linked into the namespace once.
class MemoryFiles final : public kw::vfs::FILESYSEXTENDER {
public:
    static constexpr std::string_view kFolder = "\\fuzzmem";

    static MemoryFiles& Instance() {
        static MemoryFiles* files = [] {
            auto* m = new MemoryFiles;
            kw::vfs::vfsAddExtender(m);
            return m;
        }();
        return *files;
    }
    // Files by name (upper case) in the folder; cleared by the target per run.
    std::map<std::string, MemoryFileBytes> files;

    bool ClaimsPath(std::string& path) override { return NameAt(path) != std::string::npos; }
    void* Reserved1(const std::string&, const char*) override { return nullptr; }
    kw::vfs::FILEHANDLE* OpenFile(const std::string& path) override {
        return OpenFileReadOnly(path);
    }
    kw::vfs::FILEHANDLE* OpenFileReadOnly(const std::string& path) override {
        const MemoryFileBytes* file = Find(path);
        return file == nullptr ? nullptr : new MemoryFile(*file);
    }
    kw::vfs::FILEHANDLE* CreateFile(const std::string&) override { return nullptr; }
    bool GetFileInfo(const std::string& path, kw::vfs::VFS_ENTRY* info) override {
        const MemoryFileBytes* file = Find(path);
        if (file != nullptr && info != nullptr)
            *info = {path.substr(NameAt(path)), 0, 0, file->size};
        return file != nullptr;
    }
    bool GetAttributes(const std::string& path, uint32_t* attributes) override {
        if (attributes != nullptr)
            *attributes = 0;
        return Find(path) != nullptr;
    }
    bool SetAttributes(const std::string&, uint32_t) override { return false; }
    bool MoveFile(const std::string&, const std::string&) override { return false; }
    bool DeleteFile(const std::string&) override { return false; }
    kw::vfs::FILEITERATOR* FindFirst(const std::string& pattern,
                                     kw::vfs::VFS_ENTRY* first) override {
        std::vector<kw::vfs::VFS_ENTRY> entries;
        const std::string_view name = std::string_view(pattern).substr(NameAt(pattern));
        for (const auto& [file, bytes] : files)
            if (name.empty() || kw::vfs::vfsMatchPattern(name, file))
                entries.push_back({file, 0, 0, bytes.size});
        if (entries.empty())
            return nullptr;
        if (first != nullptr)
            *first = entries[0];
        return new MemoryListing(std::move(entries));
    }
    bool CreateDirectory(const std::string&) override { return false; }
    bool RemoveDirectory(const std::string&) override { return false; }
    bool GetFullPath(const std::string& path, std::string* full) override {
        *full = path;
        return true;
    }
    uint32_t GetVolumeCount() override { return 0; }
    bool GetVolumeName(uint32_t, std::string*) override { return false; }
    bool GetVolumeLabel(const std::string&, std::string*) override { return false; }
    bool SetVolumeLabel(const std::string&, const char*) override { return false; }
    bool GetDriveFlags(const std::string&, uint32_t* flags) override {
        *flags = 0;
        return true;
    }
    bool GetNetworkName(const std::string&, std::string*) override { return false; }
    bool GetMediaState(const std::string&, uint32_t*) override { return false; }
    bool GetDiskSpace(const std::string&, uint64_t*, uint64_t*) override { return false; }
    int TouchDrive(const std::string&) override { return 0; }

private:
    // Where the name after the folder starts (the end for the folder itself),
    // npos when the path is elsewhere.
    static size_t NameAt(const std::string& path) {
        const size_t at = path.find(kFolder);
        if (at == std::string::npos)
            return at;
        const size_t end = at + kFolder.size();
        if (end == path.size())
            return end;
        return path[end] == '\\' ? end + 1 : std::string::npos;
    }
    const MemoryFileBytes* Find(const std::string& path) const {
        const size_t at = NameAt(path);
        if (at == std::string::npos)
            return nullptr;
        std::string name = path.substr(at);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        auto it = files.find(name);
        return it == files.end() ? nullptr : &it->second;
    }
};

} // namespace kw::fuzz
