#include "imagestore/container/volume_files.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kwv::volfiles {

namespace {

FileFilter& Filter() {
    static FileFilter filter;
    return filter;
}

// A volume file over a POSIX descriptor.
class PosixVolumeFile final : public VolumeFile {
public:
    explicit PosixVolumeFile(int fd) : fd_(fd) {}
    ~PosixVolumeFile() override { ::close(fd_); }

    bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
        *done = 0;
        auto* p = static_cast<uint8_t*>(buffer);
        while (*done < length) {
            ssize_t n = ::pread(fd_, p + *done, length - *done, off_t(offset + *done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                break;
            }
            *done += uint32_t(n);
        }
        return true;
    }
    bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) override {
        *done = 0;
        auto* p = static_cast<const uint8_t*>(data);
        while (*done < length) {
            ssize_t n = ::pwrite(fd_, p + *done, length - *done, off_t(offset + *done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return errno == ENOSPC || errno == EFBIG;
            }
            *done += uint32_t(n);
        }
        return true;
    }
    bool GetSize(uint64_t* size) override {
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            return false;
        }
        *size = uint64_t(st.st_size);
        return true;
    }
    bool SetSize(uint64_t size) override { return ::ftruncate(fd_, off_t(size)) == 0; }

private:
    int fd_;
};

std::unique_ptr<VolumeFile> Wrap(int fd, const std::string& path) {
    std::unique_ptr<VolumeFile> f = std::make_unique<PosixVolumeFile>(fd);
    return Filter() ? Filter()(std::move(f), path) : std::move(f);
}

std::unique_ptr<VolumeFile> OpenWith(const std::string& path, int flags, OpenFailure* why) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        *why = OpenFailure::Absent;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = OpenFailure::Other;
        return nullptr;
    }
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        *why = OpenFailure::Other;
        return nullptr;
    }
    *why = OpenFailure::None;
    return Wrap(fd, path);
}

} // namespace

std::unique_ptr<VolumeFile> OpenRead(const std::string& path, OpenFailure* why) {
    return OpenWith(path, O_RDONLY, why);
}

std::unique_ptr<VolumeFile> OpenUpdate(const std::string& path, OpenFailure* why) {
    return OpenWith(path, O_RDWR, why);
}

std::unique_ptr<VolumeFile> CreateNew(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd < 0 ? nullptr : Wrap(fd, path);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool Delete(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool CreateFolderOf(const std::string& path) {
    const size_t sep = path.find_last_of('/');
    if (sep == std::string::npos || sep == 0) {
        return true;
    }
    std::string folder = path.substr(0, sep);
    for (size_t i = 1; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/') {
            std::string part = folder.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

std::vector<std::string> ListFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
    if (d == nullptr) {
        return names;
    }
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

uint32_t DriveFlags(const std::string&) {
    return 0;
}

bool FreeSpace(const std::string& path, uint64_t* freeBytes) {
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    struct statvfs sv;
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &sv) != 0) {
        return false;
    }
    *freeBytes = uint64_t(sv.f_bavail) * sv.f_frsize;
    return true;
}

void SetFileFilterForTests(FileFilter filter) {
    Filter() = std::move(filter);
}

} // namespace kwv::volfiles
