// Disk images for the disk tests: partition tables written by the shared MBR
// writer (cylinder-aligned, 255 heads and 63 sectors per track) and volumes
// made by the Debian tools into the partitions.
#pragma once

#include "platform/disk/fault_disk_source.h"
#include "tests/support/mbr_writer.h"
#include "tests/support/tool_run.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kwtest {

// A folder of its own per test, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One partition of a layout, by absolute start and size.
struct FixturePart {
    uint8_t type;
    uint32_t start;
    uint32_t count;
    bool logical = false;
    bool active = false;
};

// Writes the master boot record and, for logical partitions, a chain of
// extended boot records into an existing image file. The primary extended
// partition is made to cover all logical ones; each logical partition's boot
// record lies one track before it.
void WriteLayout(const std::filesystem::path& image, const std::vector<FixturePart>& parts,
                 uint32_t extendedStart, uint32_t extendedEnd);

// The standard test disk: 8 cylinders; FAT16 (06), NTFS (07), extended (05)
// with logical FAT32 (0B), swap (82), ext2 (83) and FAT12 (01).
struct StandardDisk {
    std::filesystem::path image;
    std::vector<FixturePart> parts;
    uint32_t extendedStart = 2 * kCyl;
    uint32_t totalSectors = 8 * kCyl;
};
StandardDisk BuildStandardDisk(const TempDir& dir);

// Makes the image file the one disk the library opens, behind a fault
// injector that fails write number k (0: none); *faulty is set to it at each
// open. Undo with kw::plat::SetDiskProviderForTests(nullptr).
void ProvideFailingImage(const std::filesystem::path& image, uint64_t k,
                         kw::plat::FaultySectorSource** faulty);

// The type of the image's first partition-table entry, as sfdisk dumps it.
std::string SfdiskType(const std::filesystem::path& image);

} // namespace kwtest
