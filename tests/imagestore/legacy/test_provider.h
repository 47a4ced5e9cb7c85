// A path provider for the older-format tests: serves the files of one test
// folder from the host, and can pretend that they lie on removable media and
// hide some of them (a medium not in the drive).
#pragma once

#include "platform/vfs/vfs.h"

#include <set>
#include <string>

namespace kw::legacy::testing {

class TestFolderProvider final : public kw::vfs::FILESYSEXTENDER {
public:
    // Registers itself with the library's namespace for paths in hostFolder.
    explicit TestFolderProvider(std::string hostFolder);
    ~TestFolderProvider() override;

    bool active = true; // claims the folder's paths only while active
    bool removable = false;
    std::set<std::string> hidden; // file names (no folder) that cannot be opened
    int opens = 0;                // successful opens

    bool ClaimsPath(std::string& path) override;
    void* Reserved1(const std::string&, const char*) override { return nullptr; }
    kw::vfs::FILEHANDLE* OpenFile(const std::string& path) override;
    kw::vfs::FILEHANDLE* OpenFileReadOnly(const std::string& path) override;
    kw::vfs::FILEHANDLE* CreateFile(const std::string&) override { return nullptr; }
    bool GetFileInfo(const std::string&, kw::vfs::VFS_ENTRY*) override { return false; }
    bool GetAttributes(const std::string& path, uint32_t* attributes) override;
    bool SetAttributes(const std::string&, uint32_t) override { return false; }
    bool MoveFile(const std::string&, const std::string&) override { return false; }
    bool DeleteFile(const std::string&) override { return false; }
    kw::vfs::FILEITERATOR* FindFirst(const std::string&, kw::vfs::VFS_ENTRY*) override {
        return nullptr;
    }
    bool CreateDirectory(const std::string&) override { return false; }
    bool RemoveDirectory(const std::string&) override { return false; }
    bool GetFullPath(const std::string&, std::string*) override { return false; }
    uint32_t GetVolumeCount() override { return 0; }
    bool GetVolumeName(uint32_t, std::string*) override { return false; }
    bool GetVolumeLabel(const std::string&, std::string*) override { return false; }
    bool SetVolumeLabel(const std::string&, const char*) override { return false; }
    bool GetDriveFlags(const std::string& path, uint32_t* flags) override;
    bool GetNetworkName(const std::string&, std::string*) override { return false; }
    bool GetMediaState(const std::string&, uint32_t*) override { return false; }
    bool GetDiskSpace(const std::string&, uint64_t*, uint64_t*) override { return false; }
    int TouchDrive(const std::string&) override { return 0; }

private:
    bool toHost(const std::string& path, std::string* host) const;
    std::string folder_;
    std::string tag_; // the folder's own name, found in every form of its paths
};

} // namespace kw::legacy::testing
