// The root provider of a path namespace: host files and folders reached
// through the drive table, plus the pseudo-folder of drives.
#pragma once

#include "platform/drives/drive_table.h"
#include "platform/vfs/vfs_types.h"

#include <string>
#include <vector>

namespace kw::vfs {

// What differs between the image library's namespace and the editor's.
struct VFS_OPTIONS {
    // The drive list: the library lists drives for any path beginning with
    // "\\.\" and names them "\\.\C:"; the editor lists them for exactly "\\."
    // and names them "C:".
    bool deviceFormDriveList = true;
    // Media state of a removable drive whose root is missing.
    uint32_t noMediumState = MEDIA_NO_MEDIUM_LIB;
    // Paths not shorter than this are not normalised (0: no limit).
    size_t normaliseLimit = 300;

    static VFS_OPTIONS Library() { return {}; }
    static VFS_OPTIONS Program() { return {false, MEDIA_NONE, 300}; }
};

// Serves drive paths, UNC paths of mounted shares and relative paths over the
// host; always claims. Holds the options and the drive table it converts with
// (the process's table unless one is given) and the cached drive list.
class DEFAULTFILESYSEXTENDER final : public FILESYSEXTENDER {
public:
    explicit DEFAULTFILESYSEXTENDER(const VFS_OPTIONS& options = VFS_OPTIONS::Library());

    void SetOptions(const VFS_OPTIONS& options);
    const VFS_OPTIONS& Options() const { return options_; }
    // Converts with this table (not owned; null: the process's table). Clears
    // the cached drive list.
    void SetDriveTable(const drives::DriveTable* table);
    const drives::DriveTable& Table() const;
    // The host path a namespace path stands for.
    bool ToHost(const std::string& path, std::string* host) const;

    bool ClaimsPath(std::string& path) override;
    void* Reserved1(const std::string& path, const char* name) override;
    FILEHANDLE* OpenFile(const std::string& path) override;
    FILEHANDLE* OpenFileReadOnly(const std::string& path) override;
    FILEHANDLE* CreateFile(const std::string& path) override;
    bool GetFileInfo(const std::string& path, VFS_ENTRY* info) override;
    bool GetAttributes(const std::string& path, uint32_t* attributes) override;
    bool SetAttributes(const std::string& path, uint32_t attributes) override;
    bool MoveFile(const std::string& from, const std::string& to) override;
    bool ReplaceFile(const std::string& from, const std::string& to) override;
    bool DeleteFile(const std::string& path) override;
    FILEITERATOR* FindFirst(const std::string& path, VFS_ENTRY* first) override;
    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    bool GetFullPath(const std::string& path, std::string* full) override;
    uint32_t GetVolumeCount() override;
    bool GetVolumeName(uint32_t index, std::string* name) override;
    bool GetVolumeLabel(const std::string& path, std::string* label) override;
    bool SetVolumeLabel(const std::string& path, const char* label) override;
    bool GetDriveFlags(const std::string& path, uint32_t* flags) override;
    bool GetNetworkName(const std::string& path, std::string* name) override;
    bool GetMediaState(const std::string& path, uint32_t* state) override;
    bool GetDiskSpace(const std::string& path, uint64_t* total, uint64_t* free) override;
    int TouchDrive(const std::string& path) override;
    bool SyncFolder(const std::string& path) override;

private:
    bool IsDriveList(const std::string& path) const;
    uint32_t RemovableMediaState(char letter, uint32_t flags);

    VFS_OPTIONS options_;
    const drives::DriveTable* table_ = nullptr;
    bool drivesCounted_ = false;
    std::vector<char> driveLetters_;
};

} // namespace kw::vfs
