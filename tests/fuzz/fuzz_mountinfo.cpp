// Arbitrary text as /proc/self/mountinfo: parsing, building the drive table
// from it and converting the mount points both ways.
#include "platform/drives/drive_table.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kw::drives::DriveSources src;
    src.mountInfo = std::string(text);
    src.home = "/home/u";
    src.sysRoot = "/nonexistent-sys";
    src.devRoot = "/nonexistent-dev";
    kw::drives::DriveTable table = kw::drives::DriveTable::Build(src);
    std::string drive, host;
    for (const kw::drives::DRIVE& d : table.Drives()) {
        bool addressable = d.root.find('\\') == std::string::npos;
        if (addressable &&
            (!table.FromHost(d.root + "/x/../y", &drive) || !table.ToHost(drive, &host) ||
             host != (d.root == "/" ? "" : d.root) + "/y"))
            __builtin_trap(); // every drive root converts both ways
        uint32_t flags;
        table.DriveFlags(d.letter, &flags);
        table.NetworkName(d.letter, &drive);
    }
    for (const kw::drives::MountEntry& m : kw::drives::ParseMountInfo(text)) {
        table.ToHost(m.source, &host);
        table.FromHost(m.mountPoint, &drive);
    }
    return 0;
}
