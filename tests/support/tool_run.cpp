#include "tests/support/tool_run.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kwtest {

void WriteAt(const fs::path& file, uint64_t offset, const std::vector<uint8_t>& bytes) {
    int fd = open(file.c_str(), O_WRONLY);
    bool ok = fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                             static_cast<ssize_t>(bytes.size());
    if (fd >= 0)
        close(fd);
    if (!ok)
        throw std::runtime_error("write failed: " + file.string());
}

std::vector<uint8_t> ReadAt(const fs::path& file, uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    int fd = open(file.c_str(), O_RDONLY);
    ssize_t n = fd < 0 ? -1 : pread(fd, bytes.data(), count, static_cast<off_t>(offset));
    if (fd >= 0)
        close(fd);
    if (n != static_cast<ssize_t>(count))
        throw std::runtime_error("read failed: " + file.string());
    return bytes;
}

void MakeSparse(const fs::path& file, uint64_t bytes) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    if (fd >= 0)
        close(fd);
    if (!ok)
        throw std::runtime_error("truncate failed: " + file.string());
}

void Splice(const fs::path& image, uint32_t sector, const fs::path& volume) {
    std::string cmd = "dd if='" + volume.string() + "' of='" + image.string() +
                      "' bs=512 seek=" + std::to_string(sector) +
                      " conv=notrunc,sparse status=none";
    if (!Run(cmd))
        throw std::runtime_error("splice failed");
}

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Capture(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    pclose(p);
    return out;
}

} // namespace kwtest
