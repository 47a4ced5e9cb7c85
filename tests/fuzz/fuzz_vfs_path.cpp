// Arbitrary text as a path: normalising, pattern matching and converting to a
// host path and back must not fail in bounds and must agree with themselves.
#include "platform/drives/drive_table.h"
#include "platform/vfs/vfs.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const kw::drives::DriveTable& Table() {
    static const kw::drives::DriveTable table = [] {
        kw::drives::DriveSources src;
        src.mountInfo = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                        "2 1 0:40 / /mnt/share rw - cifs //srv/share rw\n";
        src.home = "/home/u";
        src.pins = {{'T', "/tmp/t"}};
        src.sysRoot = "/nonexistent-sys";
        return kw::drives::DriveTable::Build(src);
    }();
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    std::string once, twice;
    if (kw::vfs::vfsNormalizePath(path, &once, 0)) {
        if (!kw::vfs::vfsNormalizePath(once, &twice, 0) || twice != once)
            __builtin_trap(); // normalising is idempotent
    }
    if (path.find_first_of("*?") == std::string::npos && !kw::vfs::vfsMatchPattern(path, path))
        __builtin_trap(); // a name without wildcards matches itself
    kw::vfs::vfsMatchSetPattern(path, "IMG.002");
    std::string host, drive, again;
    if (Table().ToHost(path, &host) && host[0] == '/' && Table().FromHost(host, &drive)) {
        if (!Table().ToHost(drive, &again) || again != host)
            __builtin_trap(); // host -> drive -> host is stable
    }
    return 0;
}
