#include "tests/engine/disk/disk_fixture.h"

#include "include/kwbytes.h"

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

namespace {

void PutChs(std::vector<uint8_t>& e, size_t at, uint32_t lba) {
    uint32_t c = lba / kCyl, h = (lba / 63) % 255, s = lba % 63 + 1;
    if (c > 1023) {
        c = 1023;
        h = 254;
        s = 63;
    }
    e[at] = static_cast<uint8_t>(h);
    e[at + 1] = static_cast<uint8_t>(s | ((c >> 2) & 0xC0));
    e[at + 2] = static_cast<uint8_t>(c);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    kwbytes::StoreLe32(b.data() + at, v);
}

// An empty table sector with the signature.
std::vector<uint8_t> TableSector() {
    std::vector<uint8_t> s(512, 0);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

void PutEntry(std::vector<uint8_t>& sector, int index, const std::vector<uint8_t>& entry) {
    std::copy(entry.begin(), entry.end(), sector.begin() + 446 + 16 * index);
}

} // namespace

std::vector<uint8_t> MakeEntry(uint8_t type, uint32_t relStart, uint32_t count, uint32_t absStart,
                               bool active) {
    std::vector<uint8_t> e(16, 0);
    e[0] = active ? 0x80 : 0x00;
    PutChs(e, 1, absStart);
    e[4] = type;
    PutChs(e, 5, absStart + count - 1);
    Put32(e, 8, relStart);
    Put32(e, 12, count);
    return e;
}

void WriteAt(const fs::path& file, uint64_t offset, const std::vector<uint8_t>& bytes) {
    int fd = open(file.c_str(), O_WRONLY);
    if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
                      static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write failed: " + file.string());
    close(fd);
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
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0)
        throw std::runtime_error("truncate failed: " + file.string());
    close(fd);
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

void WriteLayout(const fs::path& image, const std::vector<FixturePart>& parts,
                 uint32_t extendedStart, uint32_t extendedEnd) {
    std::vector<uint8_t> mbr = TableSector();
    std::vector<const FixturePart*> logicals;
    int index = 0;
    for (const FixturePart& p : parts) {
        if (p.logical)
            logicals.push_back(&p);
        else
            PutEntry(mbr, index++, MakeEntry(p.type, p.start, p.count, p.start, p.active));
    }
    if (!logicals.empty())
        PutEntry(mbr, index,
                 MakeEntry(0x05, extendedStart, extendedEnd - extendedStart, extendedStart));
    WriteAt(image, 0, mbr);
    for (size_t i = 0; i < logicals.size(); ++i) {
        const FixturePart& p = *logicals[i];
        uint32_t ebr = p.start - 63;
        std::vector<uint8_t> s = TableSector();
        PutEntry(s, 0, MakeEntry(p.type, 63, p.count, p.start));
        if (i + 1 < logicals.size()) {
            uint32_t next = logicals[i + 1]->start - 63;
            uint32_t end = logicals[i + 1]->start + logicals[i + 1]->count;
            PutEntry(s, 1, MakeEntry(0x05, next - extendedStart, end - next, next));
        }
        WriteAt(image, uint64_t{ebr} * 512, s);
    }
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
         Run("mke2fs -F -q -t ext2 -L kwext2 '" + ext2.string() + "' " + kib(d.parts[4]) + "k");
    if (!ok)
        throw std::runtime_error("making the test volumes failed");
    Splice(d.image, d.parts[1].start, ntfs);
    Splice(d.image, d.parts[3].start, swap);
    Splice(d.image, d.parts[4].start, ext2);
    return d;
}

} // namespace kwtest
