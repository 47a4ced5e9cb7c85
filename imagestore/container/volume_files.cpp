#include "imagestore/container/volume_files.h"

#include "platform/vfs/vfs.h"

#include <algorithm>
#include <atomic>

namespace kwv::volfiles {

namespace vfs = kw::vfs;

namespace {

FileFilter& Filter() {
    static FileFilter filter;
    return filter;
}

FolderSync& SyncForTests() {
    static FolderSync sync;
    return sync;
}

std::atomic<uint64_t> gWrites{0};

void NoteWrite() {
    gWrites.fetch_add(1, std::memory_order_acq_rel);
}

// A volume file over a handle of the file layer; owns one reference to it.
class LayerVolumeFile final : public VolumeFile {
public:
    explicit LayerVolumeFile(vfs::FILEHANDLE* handle) : handle_(handle) {}
    ~LayerVolumeFile() override { handle_->Release(); }

    bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
        *done = 0;
        size_t n = 0;
        if (!handle_->SetPosition(offset)) {
            return false;
        }
        const bool ok = handle_->Read(buffer, length, &n);
        *done = uint32_t(n);
        return ok;
    }
    bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) override {
        *done = 0;
        NoteWrite();
        size_t n = 0;
        if (!handle_->SetPosition(offset)) {
            return false;
        }
        const bool ok = handle_->Write(data, length, &n);
        *done = uint32_t(n);
        return ok;
    }
    bool GetSize(uint64_t* size) override { return handle_->GetSize(size); }
    bool SetSize(uint64_t size) override {
        NoteWrite();
        return handle_->SetSize(size);
    }
    bool Flush() override { return handle_->Flush(); }
    void StartWriteback(uint64_t offset, uint64_t length) override {
        handle_->StartWriteback(offset, length);
    }
    bool TryLock() override { return handle_->TryLock(); }

private:
    vfs::FILEHANDLE* handle_;
};

std::unique_ptr<VolumeFile> Wrap(vfs::FILEHANDLE* handle, const std::string& path) {
    if (handle == nullptr) {
        return nullptr;
    }
    std::unique_ptr<VolumeFile> f(new (std::nothrow) LayerVolumeFile(handle));
    if (!f) {
        handle->Release();
        return nullptr;
    }
    return Filter() ? Filter()(std::move(f), path) : std::move(f);
}

OpenFailure WhyNotOpened(const std::string& path) {
    uint32_t attributes = 0;
    if (!vfs::vfsGetAttributes(path, &attributes) || (attributes & vfs::ATTR_DIRECTORY)) {
        return OpenFailure::Absent;
    }
    return OpenFailure::Other;
}

// The folder of a path without its trailing separator ("" for none).
std::string FolderPart(const std::string& path) {
    const size_t sep = path.find_last_of("\\/");
    if (sep == std::string::npos) {
        return "";
    }
    return path.substr(0, sep == 0 ? 1 : sep);
}

} // namespace

std::unique_ptr<VolumeFile> OpenRead(const std::string& path, OpenFailure* why) {
    std::unique_ptr<VolumeFile> f = Wrap(vfs::vfsOpenFileReadOnly(path), path);
    *why = f ? OpenFailure::None : WhyNotOpened(path);
    return f;
}

std::unique_ptr<VolumeFile> OpenUpdate(const std::string& path, OpenFailure* why) {
    std::unique_ptr<VolumeFile> f = Wrap(vfs::vfsOpenFile(path), path);
    *why = f ? OpenFailure::None : WhyNotOpened(path);
    return f;
}

uint64_t WriteGeneration() {
    return gWrites.load(std::memory_order_acquire);
}

std::unique_ptr<VolumeFile> CreateNew(const std::string& path) {
    NoteWrite();
    return Wrap(vfs::vfsCreateFile(path), path);
}

bool Exists(const std::string& path) {
    return vfs::vfsFileExists(path);
}

bool FileSize(const std::string& path, uint64_t* size) {
    vfs::VFS_ENTRY info;
    if (!vfs::vfsGetFileInfo(path, &info) || (info.attributes & vfs::ATTR_DIRECTORY)) {
        return false;
    }
    *size = info.size;
    return true;
}

bool Delete(const std::string& path) {
    NoteWrite();
    return vfs::vfsDeleteFile(path);
}

bool SyncFolderOf(const std::string& path) {
    std::string folder = FolderPart(path);
    if (folder.empty() && !vfs::vfsGetCurrentDirectory(&folder)) {
        return false;
    }
    return SyncForTests() ? SyncForTests()(folder) : vfs::vfsSyncFolder(folder);
}

void SetFolderSyncForTests(FolderSync sync) {
    SyncForTests() = std::move(sync);
}

bool CreateFolderOf(const std::string& path) {
    const std::string folder = FolderPart(path);
    return folder.empty() || vfs::vfsCreateDirectoryTree(folder);
}

std::vector<std::string> ListFiles(const std::string& folder) {
    std::vector<std::string> names;
    std::string where = folder;
    // Drop trailing separators, but keep the separator of a drive root.
    while (where.size() > 1 && (where.back() == '\\' || where.back() == '/') &&
           !(where.size() == 3 && where[1] == ':')) {
        where.pop_back();
    }
    vfs::VFS_ENTRY entry;
    vfs::FILEITERATOR* it = vfs::vfsFindFirst(where, &entry);
    if (it == nullptr) {
        return names;
    }
    do {
        if ((entry.attributes & vfs::ATTR_DIRECTORY) == 0) {
            names.push_back(entry.name);
        }
    } while (it->FindNext(&entry));
    it->Release();
    std::sort(names.begin(), names.end());
    return names;
}

uint32_t DriveFlags(const std::string& path) {
    uint32_t flags = 0;
    return vfs::vfsGetDriveFlags(path, &flags) ? flags : 0;
}

uint32_t MediaState(const std::string& path) {
    uint32_t state = 0;
    return vfs::vfsGetMediaState(path, &state) ? state : vfs::MEDIA_READY;
}

bool FreeSpace(const std::string& path, uint64_t* freeBytes) {
    const std::string folder = FolderPart(path);
    return vfs::vfsGetDiskSpace(folder.empty() ? std::string(".") : folder, nullptr, freeBytes);
}

void SetFileFilterForTests(FileFilter filter) {
    Filter() = std::move(filter);
}

} // namespace kwv::volfiles
