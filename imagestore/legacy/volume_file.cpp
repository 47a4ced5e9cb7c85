#include "imagestore/legacy/volume_file.h"

#include "platform/vfs/vfs.h"

namespace kw::legacy {

bool VolumeFile::open(const std::string& path) {
    close();
    handle_ = kw::vfs::vfsOpenFileReadOnly(path);
    if (handle_ == nullptr)
        return false;
    if (!handle_->GetSize(&size_)) {
        close();
        return false;
    }
    return true;
}

void VolumeFile::close() {
    if (handle_ != nullptr)
        handle_->Release();
    handle_ = nullptr;
    size_ = 0;
}

bool VolumeFile::readAt(uint64_t offset, void* buffer, size_t len, size_t* got) {
    *got = 0;
    if (handle_ == nullptr)
        return false;
    if (len == 0 || offset >= size_)
        return true;
    if (!handle_->SetPosition(offset))
        return false;
    return handle_->Read(buffer, len, got);
}

bool isRemovablePath(const std::string& path) {
    uint32_t flags = 0;
    return kw::vfs::vfsGetDriveFlags(path, &flags) && (flags & kw::vfs::DRIVE_REMOVABLE) != 0;
}

} // namespace kw::legacy
