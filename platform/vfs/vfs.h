// The path namespace: one root provider over the host's files (through the
// drive table) plus a list of further providers that may claim paths first.
//
// Each binary (the image library and the editor) has its own namespace
// instance, vfsInstance(); the two differ only in VFS_OPTIONS. Tests may make
// namespaces of their own.
#pragma once

#include "platform/vfs/default_extender.h"
#include "platform/vfs/vfs_types.h"

#include <memory>
#include <string>
#include <string_view>

namespace kw::vfs {

// Normalises a path: "/" counts as "\", separators fold, drive letters are
// upper-cased, "." and ".." are resolved in rooted paths (never above the
// head), a component of dots followed by other characters fails. A POSIX
// absolute path ("/x", not "//") stays rooted: it normalises to "\x".
// Fails when the path is not shorter than limit bytes (0: no limit).
bool vfsNormalizePath(std::string_view path, std::string* out, size_t limit = 300);

// Pattern match: '*' any run, '?' one UTF-8 character, ASCII letters without
// regard to case.
bool vfsMatchPattern(std::string_view pattern, std::string_view name);
// The match used for volume sets, with the dot rule of names without an extension.
bool vfsMatchSetPattern(std::string_view pattern, std::string_view name);

// Owns the root provider and the list of further providers of one namespace;
// dispatches every path call to the provider that claims the path.
class VFS_NAMESPACE {
public:
    explicit VFS_NAMESPACE(const VFS_OPTIONS& options = VFS_OPTIONS::Library());
    VFS_NAMESPACE(const VFS_NAMESPACE&) = delete;
    VFS_NAMESPACE& operator=(const VFS_NAMESPACE&) = delete;

    void SetOptions(const VFS_OPTIONS& options);
    const VFS_OPTIONS& Options() const { return root_.Options(); }
    DEFAULTFILESYSEXTENDER& Root() { return root_; }

    // Appends a provider to the list (not owned); does nothing when it is
    // already linked. RemoveExtender unlinks it where found.
    void AddExtender(FILESYSEXTENDER* extender);
    void RemoveExtender(FILESYSEXTENDER* extender);

    // Normalises *path (replacing it when that succeeds) and returns the
    // provider that serves it.
    FILESYSEXTENDER* FindExtender(std::string* path);

    FILEHANDLE* OpenFile(std::string path);
    FILEHANDLE* OpenFileReadOnly(std::string path);
    FILEHANDLE* CreateFile(std::string path);
    bool GetFileInfo(std::string path, VFS_ENTRY* info);
    bool GetAttributes(std::string path, uint32_t* attributes);
    bool FileExists(std::string path) { return GetAttributes(std::move(path), nullptr); }
    bool SetAttributes(std::string path, uint32_t attributes);
    bool MoveFile(std::string from, std::string to); // fails when `to` exists
    // Moves a file onto `to`, replacing a file there in one step (see
    // FILESYSEXTENDER::ReplaceFile).
    bool ReplaceFile(std::string from, std::string to);
    bool DeleteFile(std::string path);
    FILEITERATOR* FindFirst(std::string path, VFS_ENTRY* first);
    bool CreateDirectory(std::string path);
    bool RemoveDirectory(std::string path);
    bool GetFullPath(std::string path, std::string* full);
    bool GetVolumeLabel(std::string path, std::string* label);
    bool SetVolumeLabel(std::string path, const char* label);
    bool GetDriveFlags(std::string path, uint32_t* flags);
    bool GetNetworkName(std::string path, std::string* name);
    bool GetMediaState(std::string path, uint32_t* state);
    bool GetDiskSpace(std::string path, uint64_t* total, uint64_t* free);
    int TouchDrive(std::string path);
    bool SyncFolder(std::string path);
    void* QueryObject(std::string path, const char* name); // slot 1 of the provider

    // Volume by index over all providers, the root first.
    bool GetVolumeName(uint32_t index, std::string* name);
    // "\\srv\share" of a network path, else "X:" of the full path.
    bool GetVolumeRoot(std::string path, std::string* root);

    // The current directory in drive form; setting it takes any path.
    bool GetCurrentDirectory(std::string* path);
    bool SetCurrentDirectory(std::string path);

    // Copies a file; the destination must not exist. Deleted again on failure.
    bool CopyFile(const std::string& from, const std::string& to);
    // Creates a directory and any missing parents.
    bool CreateDirectoryTree(const std::string& path);
    // Deletes a directory with everything below it (symbolic links are
    // removed, never followed).
    bool DeleteTree(const std::string& path);

private:
    DEFAULTFILESYSEXTENDER root_;
};

// This binary's namespace.
VFS_NAMESPACE& vfsInstance();

// The path functions on this binary's namespace.
FILEHANDLE* vfsOpenFile(const std::string& path);
FILEHANDLE* vfsOpenFileReadOnly(const std::string& path);
FILEHANDLE* vfsCreateFile(const std::string& path);
bool vfsGetFileInfo(const std::string& path, VFS_ENTRY* info);
bool vfsGetAttributes(const std::string& path, uint32_t* attributes);
bool vfsFileExists(const std::string& path);
bool vfsSetAttributes(const std::string& path, uint32_t attributes);
bool vfsMoveFile(const std::string& from, const std::string& to);
bool vfsDeleteFile(const std::string& path);
// Makes the entries of a folder (files created or removed in it) durable.
bool vfsSyncFolder(const std::string& folder);
FILEITERATOR* vfsFindFirst(const std::string& path, VFS_ENTRY* first);
bool vfsCreateDirectory(const std::string& path);
bool vfsRemoveDirectory(const std::string& path);
bool vfsGetFullPath(const std::string& path, std::string* full);
bool vfsGetVolumeLabel(const std::string& path, std::string* label);
bool vfsGetDriveFlags(const std::string& path, uint32_t* flags);
bool vfsGetNetworkName(const std::string& path, std::string* name);
bool vfsGetMediaState(const std::string& path, uint32_t* state);
bool vfsGetDiskSpace(const std::string& path, uint64_t* total, uint64_t* free);
void* vfsQueryObject(const std::string& path, const char* name);
bool vfsGetVolumeName(uint32_t index, std::string* name);
bool vfsGetVolumeRoot(const std::string& path, std::string* root);
bool vfsCopyFile(const std::string& from, const std::string& to);
bool vfsCreateDirectoryTree(const std::string& path);
bool vfsDeleteTree(const std::string& path);
bool vfsGetCurrentDirectory(std::string* path);
bool vfsSetCurrentDirectory(const std::string& path);
void vfsAddExtender(FILESYSEXTENDER* extender);
void vfsRemoveExtender(FILESYSEXTENDER* extender);

// Writes "ASSERTION FAILED: file(line)" and the expression to the standard
// error stream and ends the process with exit code 3.
[[noreturn]] void vfsAssertFailed(const char* expression, const char* file, int line);
// The first call installs a SIGINT handler; returns whether Ctrl-C was pressed since.
bool vfsUserBreak();
// Kept for the callers that switch off the host's critical-error prompts
// (Linux has none): only records that it was called.
void vfsSetErrorMode();

} // namespace kw::vfs
