#include "tests/engine/disk/disk_fixture.h"

#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/fs_modules_env.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kwtest {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kwdiskXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void WriteLayout(const fs::path& image, const std::vector<FixturePart>& parts,
                 uint32_t extendedStart, uint32_t extendedEnd) {
    MbrLayout layout;
    for (const FixturePart& p : parts) {
        if (p.logical)
            layout.logicals.push_back({p.type, p.start, p.count, 0});
        else
            layout.primaries.push_back({p.type, p.start, p.count, p.active, -1});
    }
    layout.extendedStart = extendedStart;
    layout.extendedCount = extendedEnd - extendedStart;
    WriteMbrLayout(image, layout);
}

StandardDisk BuildStandardDisk(const TempDir& dir) {
    StandardDisk d;
    d.image = dir / "disk.img";
    uint32_t e = d.extendedStart;
    d.parts = {
        {0x06, 63, kCyl - 63, false, true},         {0x07, kCyl, kCyl},
        {0x0B, e + 63, 2 * kCyl - 63, true},        {0x82, e + 2 * kCyl + 63, kCyl - 63, true},
        {0x83, e + 3 * kCyl + 63, kCyl - 63, true}, {0x01, e + 4 * kCyl + 63, 2 * kCyl - 63, true},
    };
    MakeSparse(d.image, uint64_t{d.totalSectors} * 512);
    WriteLayout(d.image, d.parts, e, d.totalSectors);
    std::string img = "'" + d.image.string() + "'";
    auto kib = [](const FixturePart& p) { return std::to_string(p.count / 2); };
    bool ok = Run("mkfs.fat --offset 63 -F 16 -s 2 -n KWFAT16 -i 1234ABCD " + img + " " +
                  kib(d.parts[0])) &&
              Run("mkfs.fat --offset " + std::to_string(d.parts[2].start) +
                  " -F 32 -n KWFAT32 -i 0BADF00D " + img + " " + kib(d.parts[2])) &&
              Run("mkfs.fat --offset " + std::to_string(d.parts[5].start) +
                  " -F 12 -n KWFAT12 -i 00C0FFEE " + img + " " + kib(d.parts[5]));
    fs::path ntfs = dir / "ntfs.vol", swap = dir / "swap.vol", ext2 = dir / "ext2.vol";
    MakeSparse(ntfs, uint64_t{d.parts[1].count} * 512);
    MakeSparse(swap, uint64_t{d.parts[3].count} * 512);
    ok = ok &&
         Run("mkntfs -F -Q -q -L KWNTFS -p " + std::to_string(d.parts[1].start) +
             " -H 255 -S 63 '" + ntfs.string() + "'") &&
         Run("mkswap -L kwswap '" + swap.string() + "'") &&
         // The ext2 features the engine reads (no extended attributes,
         // resize inode or hashed folders).
         Run("mke2fs -F -q -t ext2 -O ^ext_attr,^resize_inode,^dir_index -L kwext2 '" +
             ext2.string() + "' " + kib(d.parts[4]) + "k");
    if (!ok)
        throw std::runtime_error("making the test volumes failed");
    Splice(d.image, d.parts[1].start, ntfs);
    Splice(d.image, d.parts[3].start, swap);
    Splice(d.image, d.parts[4].start, ext2);
    return d;
}

void ProvideFailingImage(const fs::path& image, uint64_t k, kw::plat::FaultySectorSource** faulty) {
    kw::plat::SetDiskProviderForTests([image, k, faulty] {
        int err = 0;
        auto file = kw::plat::FileSectorSource::Open(image.string(),
                                                     kw::plat::DiskFileKind::ImageFile, true, &err);
        auto f = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
        f->FailWriteNumber(k);
        *faulty = f.get();
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::move(f));
        return scan;
    });
}

std::string SfdiskType(const fs::path& image) {
    std::string dump = Capture("sfdisk --dump '" + image.string() + "'");
    size_t at = dump.find("type=");
    return at == std::string::npos ? ""
                                   : dump.substr(at + 5, dump.find_first_of(",\n", at) - at - 5);
}

} // namespace kwtest
