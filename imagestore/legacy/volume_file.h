// One open volume file of an older-format image, reached through the path
// layer. Owns the file handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kw::vfs {
class FILEHANDLE;
}

namespace kw::legacy {

class VolumeFile {
public:
    VolumeFile() = default;
    ~VolumeFile() { close(); }
    VolumeFile(const VolumeFile&) = delete;
    VolumeFile& operator=(const VolumeFile&) = delete;

    // Opens an existing file read-only; false when it cannot be had.
    bool open(const std::string& path);
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    uint64_t size() const { return size_; }
    // Reads up to len bytes at offset; false when the read fails. Fewer bytes
    // than asked (the end of the file) is success.
    bool readAt(uint64_t offset, void* buffer, size_t len, size_t* got);

private:
    kw::vfs::FILEHANDLE* handle_ = nullptr;
    uint64_t size_ = 0;
};

// True when the path lies on removable media.
bool isRemovablePath(const std::string& path);

} // namespace kw::legacy
