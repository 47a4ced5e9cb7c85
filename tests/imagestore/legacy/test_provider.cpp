#include "tests/imagestore/legacy/test_provider.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace kw::legacy::testing {
namespace {

// A read-only host file.
class HostFile final : public kw::vfs::FILEHANDLE {
public:
    explicit HostFile(int fd) : fd_(fd) {}
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    void* Reserved2(const char*) override { return nullptr; }
    bool GetSize(uint64_t* size) override {
        struct stat st {};
        if (fstat(fd_, &st) != 0)
            return false;
        *size = uint64_t(st.st_size);
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
        size_t total = 0;
        while (total < count) {
            ssize_t n =
                pread(fd_, static_cast<char*>(buffer) + total, count - total, off_t(pos_ + total));
            if (n < 0) {
                if (done)
                    *done = total;
                return false;
            }
            if (n == 0)
                break;
            total += size_t(n);
        }
        pos_ += total;
        if (done)
            *done = total;
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
    ~HostFile() override { ::close(fd_); }
    int fd_;
    uint64_t pos_ = 0;
    std::atomic<uint32_t> refs_{1};
};

} // namespace

TestFolderProvider::TestFolderProvider(std::string hostFolder) : folder_(std::move(hostFolder)) {
    tag_ = folder_.substr(folder_.find_last_of('/') + 1);
    kw::vfs::vfsAddExtender(this);
}

TestFolderProvider::~TestFolderProvider() {
    kw::vfs::vfsRemoveExtender(this);
}

bool TestFolderProvider::toHost(const std::string& path, std::string* host) const {
    size_t at = path.find(tag_);
    if (at == std::string::npos)
        return false;
    std::string rest = path.substr(at + tag_.size());
    for (char& c : rest)
        c = c == '\\' ? '/' : c;
    *host = folder_ + rest;
    std::string name = rest.substr(rest.find_last_of('/') + 1);
    return !hidden.count(name);
}

bool TestFolderProvider::ClaimsPath(std::string& path) {
    return active && path.find(tag_) != std::string::npos;
}

kw::vfs::FILEHANDLE* TestFolderProvider::OpenFile(const std::string& path) {
    return OpenFileReadOnly(path);
}

kw::vfs::FILEHANDLE* TestFolderProvider::OpenFileReadOnly(const std::string& path) {
    std::string host;
    if (!toHost(path, &host))
        return nullptr;
    int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    ++opens;
    return new HostFile(fd);
}

bool TestFolderProvider::GetAttributes(const std::string& path, uint32_t* attributes) {
    std::string host;
    struct stat st {};
    if (!toHost(path, &host) || stat(host.c_str(), &st) != 0)
        return false;
    if (attributes)
        *attributes = S_ISDIR(st.st_mode) ? uint32_t(kw::vfs::ATTR_DIRECTORY) : 0u;
    return true;
}

bool TestFolderProvider::GetDriveFlags(const std::string&, uint32_t* flags) {
    if (flags)
        *flags = removable ? uint32_t(kw::vfs::DRIVE_REMOVABLE) : 0u;
    return true;
}

} // namespace kw::legacy::testing
