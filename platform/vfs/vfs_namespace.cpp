// Dispatch of path calls to the provider that claims the path.
#include "platform/vfs/vfs.h"

namespace kw::vfs {

VFS_NAMESPACE::VFS_NAMESPACE(const VFS_OPTIONS& options) : root_(options) {}

void VFS_NAMESPACE::SetOptions(const VFS_OPTIONS& options) {
    root_.SetOptions(options);
}

void VFS_NAMESPACE::AddExtender(FILESYSEXTENDER* extender) {
    if (!extender || extender == &root_)
        return;
    FILESYSEXTENDER* tail = &root_;
    for (FILESYSEXTENDER* e = root_.next; e; e = e->next) {
        if (e == extender)
            return;
        tail = e;
    }
    extender->next = nullptr;
    tail->next = extender;
}

void VFS_NAMESPACE::RemoveExtender(FILESYSEXTENDER* extender) {
    for (FILESYSEXTENDER* prev = &root_; prev->next; prev = prev->next) {
        if (prev->next == extender) {
            prev->next = extender->next;
            extender->next = nullptr;
            return;
        }
    }
}

FILESYSEXTENDER* VFS_NAMESPACE::FindExtender(std::string* path) {
    // A POSIX absolute path entering here is first put into drive form.
    // A host path that has no drive form (a name with "\\" in it) goes to the
    // root provider as it is, never read as a drive path.
    if (path->size() >= 1 && (*path)[0] == '/' && (path->size() == 1 || (*path)[1] != '/')) {
        std::string drive;
        if (!root_.Table().FromHost(*path, &drive))
            return &root_;
        *path = std::move(drive);
    }
    std::string work;
    if (!vfsNormalizePath(*path, &work, root_.Options().normaliseLimit))
        return &root_;
    *path = std::move(work);
    root_.ClaimsPath(*path);
    for (FILESYSEXTENDER* e = root_.next; e; e = e->next)
        if (e->ClaimsPath(*path))
            return e;
    return &root_;
}

FILEHANDLE* VFS_NAMESPACE::OpenFile(std::string path) {
    return FindExtender(&path)->OpenFile(path);
}
FILEHANDLE* VFS_NAMESPACE::OpenFileReadOnly(std::string path) {
    return FindExtender(&path)->OpenFileReadOnly(path);
}
FILEHANDLE* VFS_NAMESPACE::CreateFile(std::string path) {
    return FindExtender(&path)->CreateFile(path);
}
bool VFS_NAMESPACE::GetFileInfo(std::string path, VFS_ENTRY* info) {
    return FindExtender(&path)->GetFileInfo(path, info);
}
bool VFS_NAMESPACE::GetAttributes(std::string path, uint32_t* attributes) {
    return FindExtender(&path)->GetAttributes(path, attributes);
}
bool VFS_NAMESPACE::SetAttributes(std::string path, uint32_t attributes) {
    return FindExtender(&path)->SetAttributes(path, attributes);
}
bool VFS_NAMESPACE::MoveFile(std::string from, std::string to) {
    FILESYSEXTENDER* e = FindExtender(&from);
    FindExtender(&to); // puts the destination into the same form
    return e->MoveFile(from, to);
}
bool VFS_NAMESPACE::ReplaceFile(std::string from, std::string to) {
    FILESYSEXTENDER* e = FindExtender(&from);
    FindExtender(&to);
    return e->ReplaceFile(from, to);
}
bool VFS_NAMESPACE::DeleteFile(std::string path) {
    return FindExtender(&path)->DeleteFile(path);
}
FILEITERATOR* VFS_NAMESPACE::FindFirst(std::string path, VFS_ENTRY* first) {
    return FindExtender(&path)->FindFirst(path, first);
}
bool VFS_NAMESPACE::CreateDirectory(std::string path) {
    return FindExtender(&path)->CreateDirectory(path);
}
bool VFS_NAMESPACE::RemoveDirectory(std::string path) {
    return FindExtender(&path)->RemoveDirectory(path);
}
bool VFS_NAMESPACE::GetFullPath(std::string path, std::string* full) {
    return FindExtender(&path)->GetFullPath(path, full);
}
bool VFS_NAMESPACE::GetVolumeLabel(std::string path, std::string* label) {
    return FindExtender(&path)->GetVolumeLabel(path, label);
}
bool VFS_NAMESPACE::SetVolumeLabel(std::string path, const char* label) {
    return FindExtender(&path)->SetVolumeLabel(path, label);
}
bool VFS_NAMESPACE::GetDriveFlags(std::string path, uint32_t* flags) {
    return FindExtender(&path)->GetDriveFlags(path, flags);
}
bool VFS_NAMESPACE::GetNetworkName(std::string path, std::string* name) {
    return FindExtender(&path)->GetNetworkName(path, name);
}
bool VFS_NAMESPACE::GetMediaState(std::string path, uint32_t* state) {
    return FindExtender(&path)->GetMediaState(path, state);
}
bool VFS_NAMESPACE::GetDiskSpace(std::string path, uint64_t* total, uint64_t* free) {
    return FindExtender(&path)->GetDiskSpace(path, total, free);
}
bool VFS_NAMESPACE::SyncFolder(std::string path) {
    return FindExtender(&path)->SyncFolder(path);
}
int VFS_NAMESPACE::TouchDrive(std::string path) {
    return FindExtender(&path)->TouchDrive(path);
}
void* VFS_NAMESPACE::QueryObject(std::string path, const char* name) {
    return FindExtender(&path)->Reserved1(path, name);
}

bool VFS_NAMESPACE::GetVolumeName(uint32_t index, std::string* name) {
    for (FILESYSEXTENDER* e = &root_; e; e = e->next) {
        uint32_t count = e->GetVolumeCount();
        if (index < count)
            return e->GetVolumeName(index, name);
        index -= count;
    }
    return false;
}

VFS_NAMESPACE& vfsInstance() {
    static VFS_NAMESPACE instance;
    return instance;
}

FILEHANDLE* vfsOpenFile(const std::string& path) {
    return vfsInstance().OpenFile(path);
}
FILEHANDLE* vfsOpenFileReadOnly(const std::string& path) {
    return vfsInstance().OpenFileReadOnly(path);
}
FILEHANDLE* vfsCreateFile(const std::string& path) {
    return vfsInstance().CreateFile(path);
}
bool vfsGetFileInfo(const std::string& path, VFS_ENTRY* info) {
    return vfsInstance().GetFileInfo(path, info);
}
bool vfsGetAttributes(const std::string& path, uint32_t* attributes) {
    return vfsInstance().GetAttributes(path, attributes);
}
bool vfsFileExists(const std::string& path) {
    return vfsInstance().FileExists(path);
}
bool vfsSetAttributes(const std::string& path, uint32_t attributes) {
    return vfsInstance().SetAttributes(path, attributes);
}
bool vfsMoveFile(const std::string& from, const std::string& to) {
    return vfsInstance().MoveFile(from, to);
}
bool vfsDeleteFile(const std::string& path) {
    return vfsInstance().DeleteFile(path);
}
bool vfsSyncFolder(const std::string& folder) {
    return vfsInstance().SyncFolder(folder);
}
FILEITERATOR* vfsFindFirst(const std::string& path, VFS_ENTRY* first) {
    return vfsInstance().FindFirst(path, first);
}
bool vfsCreateDirectory(const std::string& path) {
    return vfsInstance().CreateDirectory(path);
}
bool vfsRemoveDirectory(const std::string& path) {
    return vfsInstance().RemoveDirectory(path);
}
bool vfsGetFullPath(const std::string& path, std::string* full) {
    return vfsInstance().GetFullPath(path, full);
}
bool vfsGetVolumeLabel(const std::string& path, std::string* label) {
    return vfsInstance().GetVolumeLabel(path, label);
}
bool vfsGetDriveFlags(const std::string& path, uint32_t* flags) {
    return vfsInstance().GetDriveFlags(path, flags);
}
bool vfsGetNetworkName(const std::string& path, std::string* name) {
    return vfsInstance().GetNetworkName(path, name);
}
bool vfsGetMediaState(const std::string& path, uint32_t* state) {
    return vfsInstance().GetMediaState(path, state);
}
bool vfsGetDiskSpace(const std::string& path, uint64_t* total, uint64_t* free) {
    return vfsInstance().GetDiskSpace(path, total, free);
}
void* vfsQueryObject(const std::string& path, const char* name) {
    return vfsInstance().QueryObject(path, name);
}
bool vfsGetVolumeName(uint32_t index, std::string* name) {
    return vfsInstance().GetVolumeName(index, name);
}
bool vfsGetVolumeRoot(const std::string& path, std::string* root) {
    return vfsInstance().GetVolumeRoot(path, root);
}
bool vfsCopyFile(const std::string& from, const std::string& to) {
    return vfsInstance().CopyFile(from, to);
}
bool vfsCreateDirectoryTree(const std::string& path) {
    return vfsInstance().CreateDirectoryTree(path);
}
bool vfsDeleteTree(const std::string& path) {
    return vfsInstance().DeleteTree(path);
}
bool vfsGetCurrentDirectory(std::string* path) {
    return vfsInstance().GetCurrentDirectory(path);
}
bool vfsSetCurrentDirectory(const std::string& path) {
    return vfsInstance().SetCurrentDirectory(path);
}
void vfsAddExtender(FILESYSEXTENDER* extender) {
    vfsInstance().AddExtender(extender);
}
void vfsRemoveExtender(FILESYSEXTENDER* extender) {
    vfsInstance().RemoveExtender(extender);
}

} // namespace kw::vfs
