#include "tests/engine/netware/nw_fixture.h"

#include "tests/support/mbr_writer.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace kwtest::nw {

namespace {

constexpr uint32_t kEnd = 0xFFFFFFFF;

void Put32(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

void Put16(std::string& b, uint64_t at, uint16_t v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
}

void PutText(std::string& b, uint64_t at, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), text.size());
}

uint32_t AreaSectors(const PartitionSpec& p) {
    return p.hotfix ? p.areaBlocks * 8 : 0;
}

// The volume's layout: segment origins, FAT, directory and file chains.
struct Layout {
    uint32_t blocks = 0;
    uint32_t spb = 0;
    std::vector<uint32_t> firstBlock; // per segment
    std::vector<uint32_t> fat, mirrorFat, dir, mirrorDir;
    std::vector<std::vector<uint32_t>> files;
    std::vector<uint32_t> suballoc;
    std::vector<uint32_t> value, link; // the FAT
};

std::vector<uint32_t> Take(std::vector<bool>& used, uint32_t count) {
    std::vector<uint32_t> out;
    for (uint32_t b = 0; b < used.size() && out.size() < count; ++b)
        if (!used[b]) {
            used[b] = true;
            out.push_back(b);
        }
    if (out.size() != count)
        throw std::runtime_error("fixture volume too small");
    return out;
}

void Chain(Layout& l, const std::vector<uint32_t>& blocks) {
    for (size_t i = 0; i < blocks.size(); ++i) {
        l.value[blocks[i]] = uint32_t(i);
        l.link[blocks[i]] = i + 1 < blocks.size() ? blocks[i + 1] : kEnd;
    }
}

Layout Plan(const VolumeSpec& v) {
    Layout l;
    l.spb = 1u << v.shift;
    const uint32_t g = 512u >> v.shift;
    const uint32_t perBlock = 64u << v.shift;
    uint64_t covered = 0;
    for (const SegmentSpec& s : v.segments) {
        l.firstBlock.push_back(l.blocks);
        uint32_t first = l.blocks;
        l.blocks += s.blocks;
        for (uint32_t k = 0; covered < l.blocks; ++k, covered += perBlock) {
            uint32_t p = first + (k / g) * 2 * g + k % g;
            l.fat.push_back(p);
            l.mirrorFat.push_back(p + g);
        }
    }
    l.value.assign(l.blocks, 0);
    l.link.assign(l.blocks, 0);
    std::vector<bool> used(l.blocks, false);
    for (uint32_t b : l.fat)
        used.at(b) = true;
    for (uint32_t b : l.mirrorFat)
        used.at(b) = true;
    l.dir = Take(used, v.dirBlocks);
    l.mirrorDir = Take(used, v.dirBlocks);
    for (const FileSpec& f : v.files)
        l.files.push_back(Take(used, f.directory ? 0 : f.blocks));
    if (v.suballoc)
        l.suballoc = Take(used, l.spb);
    Chain(l, l.fat);
    Chain(l, l.mirrorFat);
    Chain(l, l.dir);
    Chain(l, l.mirrorDir);
    for (const auto& f : l.files)
        Chain(l, f);
    for (uint32_t b : l.suballoc)
        Chain(l, {b});
    return l;
}

std::string DirectoryBytes(const VolumeSpec& v, const Layout& l) {
    std::string d(size_t{v.dirBlocks} * l.spb * kSector, '\0');
    const size_t entries = d.size() / 128;
    for (size_t e = 0; e < entries; ++e)
        Put32(d, e * 128, 0xFFFFFFFF);
    Put32(d, 0, 0xFFFFFFFD);
    d[4] = 0x10;
    d[9] = 0x04;
    size_t e = 1;
    for (size_t i = 0; i < v.files.size(); ++i, ++e) {
        const FileSpec& f = v.files[i];
        size_t at = e * 128;
        Put32(d, at, 0);
        d[at + 9] = f.directory ? 0x04 : 0;
        d[at + 10] = 0;
        d[at + 11] = static_cast<char>(f.name.size());
        PutText(d, at + 12, f.name);
        Put32(d, at + 52, l.files[i].empty() ? 0x80000000 : l.files[i][0]);
    }
    if (!l.suballoc.empty()) {
        size_t at = e * 128;
        Put32(d, 120, uint32_t(e));
        Put32(d, at, 0xFFFFFFFB);
        Put32(d, at + 12, 0);
        for (size_t k = 0; k < l.suballoc.size(); ++k)
            Put32(d, at + 16 + 4 * k, l.suballoc[k]);
    }
    return d;
}

void WriteHeaders(std::string& disk, const PartitionSpec& p) {
    const uint64_t base = uint64_t{p.start} * kSector;
    const uint32_t area = AreaSectors(p);
    std::string h(kSector, '\0');
    PutText(h, 0, "HOTFIX00");
    Put32(h, 8, p.id);
    h[16] = 8;
    h[17] = static_cast<char>(256 - 8);
    h[18] = 3;
    h[19] = 7;
    Put32(h, 20, (p.sectors & ~7u) - area);
    Put32(h, 24, area);
    const uint32_t descriptor[4] = {160, 224, 288, 352};
    for (int f = 0; f < 4; ++f)
        Put32(h, 28 + 4 * f, descriptor[f]);
    std::string m(kSector, '\0');
    PutText(m, 0, "MIRROR00");
    Put32(m, 8, p.id);
    Put16(m, 14, 1);
    m[16] = 8;
    m[17] = static_cast<char>(256 - 8);
    m[18] = 3;
    m[19] = 7;
    Put16(m, 22, 1);
    Put32(m, 24, 8144);
    Put32(m, 28, p.id + 9);
    std::vector<uint32_t> members =
        p.mirrorMembers.empty() ? std::vector<uint32_t>{p.id} : p.mirrorMembers;
    for (size_t k = 0; k < members.size(); ++k)
        Put32(m, 32 + 4 * k, members[k]);
    for (int i = 0; i < 4; ++i) {
        Put16(h, 14, p.counters[i]);
        std::memcpy(disk.data() + base + (0x20 + 0x20 * i) * kSector, h.data(), kSector);
        std::memcpy(disk.data() + base + (0x21 + 0x20 * i) * kSector, m.data(), kSector);
    }
    // Redirection and error tables: system blocks, then the redirected ones.
    std::string table(4096, '\0');
    std::string errors(4096, '\0');
    std::set<uint32_t> system;
    for (uint32_t b = 0; b < 20; ++b)
        system.insert(b);
    for (uint32_t s : descriptor)
        system.insert(s / 8);
    for (uint32_t b : system)
        if (b < p.areaBlocks)
            Put32(table, 4 * b, 0xFFFFFFFF);
    for (const Redirect& r : p.redirects) {
        Put32(table, 4 * r.areaBlock, r.dataSector);
        Put32(errors, 4 * r.areaBlock, r.dataSector);
    }
    for (uint32_t s : {descriptor[0], descriptor[2]})
        std::memcpy(disk.data() + base + uint64_t{s} * kSector, table.data(), table.size());
    for (uint32_t s : {descriptor[1], descriptor[3]})
        std::memcpy(disk.data() + base + uint64_t{s} * kSector, errors.data(), errors.size());
}

void WriteSignature(std::string& disk, const PartitionSpec& p) {
    const uint64_t base = uint64_t{p.start} * kSector;
    std::memcpy(disk.data() + base + 1, "Nw_PaRtItIoN\0\0\0", 15);
    Put32(disk, base + 20, p.sectors);
    Put32(disk, base + 24, p.id);
}

std::string Entry(const VolumeSpec& v, const Layout& l, size_t segment) {
    std::string e(60, '\0');
    e[0] = static_cast<char>(v.name.size());
    PutText(e, 1, v.name);
    Put32(e, 16, v.sync);
    e[20] = static_cast<char>(v.shift);
    e[21] = static_cast<char>(v.segments.size());
    e[22] = static_cast<char>(segment);
    Put32(e, 24, v.segments[segment].start);
    Put32(e, 28, v.segments[segment].blocks << v.shift);
    Put32(e, 32, l.blocks);
    Put32(e, 36, l.firstBlock[segment]);
    Put32(e, 40, l.fat[0]);
    Put32(e, 44, l.mirrorFat[0]);
    Put32(e, 48, l.dir[0]);
    Put32(e, 52, l.mirrorDir[0]);
    return e;
}

void WriteVolume(std::string& disk, const DiskSpec& spec, const VolumeSpec& v) {
    const Layout l = Plan(v);
    const uint32_t bpb = l.spb * kSector;
    for (uint32_t b = 0; b < l.blocks; ++b) {
        std::string block(bpb, 'f');
        std::string tag = l.link[b] != 0 ? BlockTag(v.name, b) : "FREE:" + std::to_string(b);
        PutText(block, 0, tag);
        std::memcpy(disk.data() + BlockOffset(spec, v, b), block.data(), bpb);
    }
    std::string fat(l.fat.size() * bpb, '\0');
    for (uint32_t b = 0; b < l.blocks; ++b) {
        Put32(fat, uint64_t{b} * 8, l.value[b]);
        Put32(fat, uint64_t{b} * 8 + 4, l.link[b]);
    }
    for (size_t i = 0; i < l.fat.size(); ++i) {
        std::memcpy(disk.data() + BlockOffset(spec, v, l.fat[i]), fat.data() + i * bpb, bpb);
        std::memcpy(disk.data() + BlockOffset(spec, v, l.mirrorFat[i]), fat.data() + i * bpb, bpb);
    }
    const std::string dir = DirectoryBytes(v, l);
    for (size_t i = 0; i < l.dir.size(); ++i) {
        std::memcpy(disk.data() + BlockOffset(spec, v, l.dir[i]), dir.data() + i * bpb, bpb);
        std::memcpy(disk.data() + BlockOffset(spec, v, l.mirrorDir[i]), dir.data() + i * bpb, bpb);
    }
}

void WriteTables(std::string& disk, const DiskSpec& spec) {
    for (size_t pi = 0; pi < spec.partitions.size(); ++pi) {
        const PartitionSpec& p = spec.partitions[pi];
        std::string sector(kSector, '\0');
        PutText(sector, 0, std::string("NetWare Volumes\0", 16));
        uint32_t count = 0;
        for (const VolumeSpec& v : spec.volumes) {
            const Layout l = Plan(v);
            for (size_t s = 0; s < v.segments.size(); ++s)
                if (v.segments[s].partition == int(pi) && count < 8)
                    PutText(sector, 32 + 60 * count++, Entry(v, l, s));
        }
        Put32(sector, 16, count);
        for (uint32_t k = 0; k < 4; ++k)
            std::memcpy(disk.data() + VolumeTableOffset(p, k), sector.data(), kSector);
    }
}

// The home of each redirected block moves into its area block; the home
// itself then reads as damage.
void ApplyRedirects(std::string& disk, const PartitionSpec& p) {
    const uint64_t base = uint64_t{p.start} * kSector;
    for (const Redirect& r : p.redirects) {
        uint64_t home = base + (uint64_t{AreaSectors(p)} + r.dataSector) * kSector;
        uint64_t area = base + uint64_t{r.areaBlock} * 8 * kSector;
        std::memcpy(disk.data() + area, disk.data() + home, 8 * kSector);
        std::memset(disk.data() + home, 'B', 8 * kSector);
    }
}

} // namespace

std::string BlockTag(const std::string& volume, uint32_t block) {
    return volume + ":" + std::to_string(block) + ";";
}

uint32_t OriginOf(const PartitionSpec& p) {
    return p.hotfix ? AreaSectors(p) : 32;
}

uint64_t VolumeTableOffset(const PartitionSpec& p, uint32_t copy) {
    return (uint64_t{p.start} + OriginOf(p) + 32 * (copy + 1)) * kSector;
}

uint64_t BlockOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t block) {
    uint32_t first = 0;
    for (const SegmentSpec& s : v.segments) {
        if (block < first + s.blocks) {
            const PartitionSpec& p = spec.partitions.at(size_t(s.partition));
            uint64_t sector = uint64_t{p.start} + OriginOf(p) + s.start +
                              uint64_t{block - first} * (1u << v.shift);
            return sector * kSector;
        }
        first += s.blocks;
    }
    throw std::runtime_error("block outside the volume");
}

uint64_t FatEntryOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t block) {
    const Layout l = Plan(v);
    const uint32_t perBlock = 64u << v.shift;
    return BlockOffset(spec, v, l.fat.at(block / perBlock)) + uint64_t{block % perBlock} * 8;
}

uint64_t DirEntryOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t entry) {
    const Layout l = Plan(v);
    const uint32_t perBlock = (kSector << v.shift) / 128;
    return BlockOffset(spec, v, l.dir.at(entry / perBlock)) + uint64_t{entry % perBlock} * 128;
}

std::string BuildDisk(const DiskSpec& spec) {
    std::string disk(size_t{spec.sectors} * kSector, '\0');
    for (size_t i = 0; i < spec.partitions.size(); ++i) {
        const PartitionSpec& p = spec.partitions[i];
        std::vector<uint8_t> e = MakeEntry(p.type, p.start, p.sectors, p.start);
        std::memcpy(disk.data() + 446 + 16 * i, e.data(), e.size());
        if (p.hotfix)
            WriteHeaders(disk, p);
        else
            WriteSignature(disk, p);
    }
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    for (const VolumeSpec& v : spec.volumes)
        WriteVolume(disk, spec, v);
    WriteTables(disk, spec);
    for (const PartitionSpec& p : spec.partitions)
        ApplyRedirects(disk, p);
    return disk;
}

} // namespace kwtest::nw
