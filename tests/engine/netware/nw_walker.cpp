// The walker of nw_fixture.h: reads NetWare partitions of a disk image with
// its own code, from the same byte tables the builder writes.
#include "tests/engine/netware/nw_fixture.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kwtest::nw {

namespace {

constexpr uint32_t kEnd = 0xFFFFFFFF;

bool IsNetWareType(uint8_t t) {
    return t == 0x65 || t == 0x64 || t == 0x51 || t == 0x3D;
}

} // namespace

uint32_t NwWalker::Le32(uint64_t at) const {
    if (at + 4 > disk_.size())
        return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(disk_[at + i]);
    return v;
}

NwWalker::NwWalker(const std::string& disk) : disk_(disk) {
    for (int i = 0; i < 4; ++i) {
        uint64_t e = 446 + 16 * i;
        if (IsNetWareType(static_cast<uint8_t>(disk_[e + 4])))
            ReadPartition(Le32(e + 8), Le32(e + 12));
    }
}

void NwWalker::ReadPartition(uint32_t start, uint32_t sectors) {
    Partition p;
    p.start = start;
    p.sectors = sectors;
    const uint64_t base = uint64_t{start} * kSector;
    uint32_t best = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t h = base + (0x20 + 0x20 * i) * kSector;
        uint32_t counter = Le32(h + 14) & 0xFFFF;
        if (disk_.compare(h, 8, "HOTFIX00") == 0 && counter > best) {
            best = counter;
            p.area = Le32(h + 24);
            p.spb = static_cast<uint8_t>(disk_[h + 16]);
            uint32_t tableSector = Le32(h + 28);
            p.redirect.clear();
            for (uint32_t j = 0; j < p.area / p.spb; ++j)
                p.redirect.push_back(Le32(base + uint64_t{tableSector} * kSector + 4 * j));
        }
    }
    p.origin = p.area != 0 ? p.area : 32;
    std::string table;
    for (uint32_t k = 0; k < 4; ++k) {
        uint64_t at = base + (uint64_t{p.origin} + 32 * (k + 1)) * kSector;
        if (disk_.compare(at, 16, std::string("NetWare Volumes\0", 16)) != 0)
            continue;
        std::string copy = disk_.substr(at, kSector);
        if (table.empty()) {
            table = copy;
            continue;
        }
        for (uint32_t j = 0; j < 8; ++j) {
            uint32_t have = 0;
            std::memcpy(&have, table.data() + 32 + 60 * j + 16, 4);
            if (Le32(at + 32 + 60 * j + 16) > have)
                table.replace(32 + 60 * j, 60, copy, 32 + 60 * j, 60);
        }
    }
    partitions_.push_back(p);
    if (table.empty())
        return;
    uint32_t count = 0;
    std::memcpy(&count, table.data() + 16, 4);
    for (uint32_t j = 0; j < std::min<uint32_t>(count, 8); ++j) {
        const char* e = table.data() + 32 + 60 * j;
        Segment s;
        s.partitionStart = start;
        s.partitionSectors = sectors;
        std::memcpy(s.entry, e, 60);
        s.name.assign(e + 1, std::min<size_t>(static_cast<uint8_t>(e[0]), 15));
        s.shift = static_cast<uint8_t>(e[20]);
        s.count = static_cast<uint8_t>(e[21]);
        s.position = static_cast<uint8_t>(e[22]);
        s.start = p.origin + s.entry[6];
        s.sectors = s.entry[7];
        s.firstBlock = s.entry[9];
        segments_.push_back(s);
    }
}

std::vector<std::string> NwWalker::Volumes() const {
    std::vector<std::string> names;
    for (const Segment& s : segments_)
        if (std::find(names.begin(), names.end(), s.name) == names.end())
            names.push_back(s.name);
    return names;
}

std::vector<const NwWalker::Segment*> NwWalker::SegmentsOf(const std::string& volume) const {
    std::vector<const Segment*> out;
    for (const Segment& s : segments_)
        if (s.name == volume)
            out.push_back(&s);
    std::stable_sort(out.begin(), out.end(),
                     [](const Segment* a, const Segment* b) { return a->position < b->position; });
    // A segment named by two partitions (a move between them cut after the
    // new table was written and before the old one let it go) counts once,
    // by its first name, as the engine keeps the one it found first; the
    // entries must agree but for the run.
    auto same = [](const Segment* a, const Segment* b) {
        if (a->position != b->position)
            return false;
        for (int f = 0; f < 15; ++f)
            if (f != 6 && f != 7 && a->entry[f] != b->entry[f])
                return false;
        return true;
    };
    out.erase(std::unique(out.begin(), out.end(), same), out.end());
    return out;
}

// One block through its segment, each sector from its redirection-area
// replacement when it has one.
bool NwWalker::ReadBlock(const std::string& volume, uint32_t block, std::string* out) const {
    for (const Segment* s : SegmentsOf(volume)) {
        const uint32_t spb = 1u << s->shift;
        if (block < s->firstBlock || block >= s->firstBlock + s->sectors / spb)
            continue;
        const Partition* p = nullptr;
        for (const Partition& q : partitions_)
            if (q.start == s->partitionStart)
                p = &q;
        out->clear();
        for (uint32_t i = 0; i < spb; ++i) {
            uint64_t sector = s->start + uint64_t{block - s->firstBlock} * spb + i;
            for (uint32_t j = 0; p->area != 0 && j < p->redirect.size(); ++j) {
                uint32_t d = p->redirect[j];
                if (d != 0 && d < 0xFFFFFFFE && sector >= p->area + uint64_t{d} &&
                    sector < p->area + uint64_t{d} + p->spb)
                    sector = uint64_t{j} * p->spb + (sector - p->area - d);
            }
            uint64_t at = (uint64_t{s->partitionStart} + sector) * kSector;
            if (at + kSector > disk_.size())
                return false;
            out->append(disk_, at, kSector);
        }
        return true;
    }
    return false;
}

std::vector<bool> NwWalker::UsedSectors(uint32_t partitionStart) const {
    const Partition* p = nullptr;
    for (const Partition& q : partitions_)
        if (q.start == partitionStart)
            p = &q;
    std::vector<bool> used(p->sectors, false);
    auto mark = [&](uint64_t first, uint64_t count, bool on) {
        for (uint64_t s = first; s < first + count && s < used.size(); ++s)
            used[s] = on;
    };
    if (p->area != 0) {
        for (uint32_t j = 0; j < p->redirect.size(); ++j)
            if (p->redirect[j] != 0)
                mark(uint64_t{j} * p->spb, p->spb, true);
    } else {
        mark(0, 161, true);
    }
    for (uint32_t k = 1; k <= 4; ++k)
        mark(p->origin + 32 * k, 1, true);
    for (const Segment& s : segments_) {
        if (s.partitionStart != partitionStart)
            continue;
        const auto all = SegmentsOf(s.name);
        std::set<int> positions;
        for (const Segment* t : all)
            positions.insert(t->position);
        if (positions.size() != s.count) {
            mark(s.start, s.sectors, true);
            continue;
        }
        const uint32_t spb = 1u << s.shift;
        const std::vector<FatEntry> fat = Fat(s.name, nullptr);
        for (uint32_t i = 0; i < s.sectors / spb; ++i) {
            uint32_t b = s.firstBlock + i;
            if (b < fat.size() && fat[b].link != 0)
                mark(s.start + uint64_t{i} * spb, spb, true);
        }
    }
    for (uint32_t j = 0; p->area != 0 && j < p->redirect.size(); ++j)
        if (p->redirect[j] != 0 && p->redirect[j] < 0xFFFFFFFE)
            mark(uint64_t{p->area} + p->redirect[j], p->spb, false);
    return used;
}

uint32_t NwWalker::FreeBlocks(uint32_t partitionStart, const std::string& volume) const {
    const std::vector<FatEntry> fat = Fat(volume, nullptr);
    uint32_t free = 0;
    for (const Segment* s : SegmentsOf(volume)) {
        if (s->partitionStart != partitionStart)
            continue;
        for (uint32_t i = 0; i < s->sectors >> s->shift; ++i)
            free += s->firstBlock + i < fat.size() && fat[s->firstBlock + i].link == 0;
    }
    return free;
}

// The FAT read along its own chain; findings on the way.
std::vector<NwWalker::FatEntry> NwWalker::Fat(const std::string& volume,
                                              std::vector<std::string>* findings) const {
    const auto segs = SegmentsOf(volume);
    std::vector<FatEntry> fat;
    if (segs.empty())
        return fat;
    const Segment& s0 = *segs[0];
    const uint32_t blocks = s0.entry[8];
    const uint32_t perBlock = 64u << s0.shift;
    const uint32_t n = (blocks + perBlock - 1) / perBlock;
    std::string table;
    std::string block;
    uint32_t at = s0.entry[10];
    for (uint32_t k = 0; k < n; ++k) {
        if (at >= blocks || !ReadBlock(volume, at, &block)) {
            if (findings != nullptr)
                findings->push_back("FAT chain leaves the volume at FAT block " +
                                    std::to_string(k));
            break;
        }
        table += block;
        if (uint64_t{at} * 8 + 8 > table.size()) {
            if (findings != nullptr)
                findings->push_back("FAT block " + std::to_string(k) + " lies ahead of its entry");
            break;
        }
        uint32_t value = 0;
        std::memcpy(&value, table.data() + uint64_t{at} * 8, 4);
        if (value != k && findings != nullptr)
            findings->push_back("FAT block " + std::to_string(k) + " out of sequence");
        std::memcpy(&at, table.data() + uint64_t{at} * 8 + 4, 4);
    }
    for (uint32_t b = 0; b < blocks && uint64_t{b} * 8 + 8 <= table.size(); ++b) {
        FatEntry e;
        std::memcpy(&e.value, table.data() + uint64_t{b} * 8, 4);
        std::memcpy(&e.link, table.data() + uint64_t{b} * 8 + 4, 4);
        fat.push_back(e);
    }
    if (findings != nullptr && fat.size() != blocks)
        findings->push_back("FAT holds " + std::to_string(fat.size()) + " entries");
    return fat;
}

std::vector<std::string> NwWalker::Check(const std::string& volume) const {
    std::vector<std::string> findings;
    const auto segs = SegmentsOf(volume);
    if (segs.empty() || segs.size() != segs[0]->count)
        return {"segments missing"};
    for (const Segment* s : segs)
        for (int f : {4, 8, 10, 11, 12, 13}) // sync, blocks, FAT and directory blocks
            if (s->entry[f] != segs[0]->entry[f])
                findings.push_back("segment " + std::to_string(s->position) + " disagrees");
    const std::vector<FatEntry> fat = Fat(volume, &findings);
    const uint32_t blocks = uint32_t(fat.size());
    // The mirror FAT holds the same bytes.
    const uint32_t perBlock = 64u << segs[0]->shift;
    std::string primary;
    std::string mirror;
    for (uint32_t p = segs[0]->entry[10], m = segs[0]->entry[11], k = 0;
         k < (blocks + perBlock - 1) / perBlock && p < blocks && m < blocks;
         ++k, p = fat[p].link, m = fat[m].link) {
        if (!ReadBlock(volume, p, &primary) || !ReadBlock(volume, m, &mirror) || primary != mirror)
            findings.push_back("FAT copies differ at FAT block " + std::to_string(k));
    }
    // Every chain: links in range, positions in sequence, no block twice.
    std::vector<bool> seen(blocks, false);
    for (uint32_t head = 0; head < blocks; ++head) {
        if (fat[head].value != 0 || fat[head].link == 0)
            continue;
        for (uint32_t b = head, k = 0;; ++k) {
            if (b >= blocks || seen[b] || fat[b].value != k) {
                findings.push_back("chain at " + std::to_string(head) + " broken at " +
                                   std::to_string(b));
                break;
            }
            seen[b] = true;
            uint32_t link = fat[b].link;
            if (link == kEnd || (link & 0x80000000) != 0)
                break;
            b = link;
        }
    }
    for (uint32_t b = 0; b < blocks; ++b)
        if (fat[b].link != 0 && !seen[b])
            findings.push_back("block " + std::to_string(b) + " is in no chain");
    // The directory: its root, and every file's chain carries its tags.
    const std::string dir = Directory(volume, fat);
    std::string block;
    uint32_t root = 0;
    std::memcpy(&root, dir.data(), 4);
    if (dir.size() < 128 || root != 0xFFFFFFFD || (dir[4] & 0x10) == 0)
        findings.push_back("root entry");
    // One suballocation chain per sector of a block, when the root names any.
    uint32_t sub = 0;
    if (dir.size() >= 128)
        std::memcpy(&sub, dir.data() + 120, 4);
    if (sub != 0 && uint64_t{sub} * 128 + 128 <= dir.size()) {
        uint32_t heads = 0;
        for (uint32_t k = 0; k < 28; ++k) {
            uint32_t head = 0;
            std::memcpy(&head, dir.data() + sub * 128 + 16 + 4 * k, 4);
            heads += head != 0;
        }
        if (heads != (1u << segs[0]->shift))
            findings.push_back("suballocation chains: " + std::to_string(heads));
    }
    for (size_t e = 1; e * 128 + 128 <= dir.size(); ++e) {
        uint32_t parent = 0;
        uint32_t first = 0;
        std::memcpy(&parent, dir.data() + e * 128, 4);
        std::memcpy(&first, dir.data() + e * 128 + 52, 4);
        if (parent >= 0x80000000)
            continue;
        if (parent * 128 + 128 > dir.size() || (dir[parent * 128 + 9] & 0x04) == 0)
            findings.push_back("entry " + std::to_string(e) + " has no folder for a parent");
        if ((dir[e * 128 + 9] & 0x04) != 0 || (first & 0x80000000))
            continue;
        if (first >= blocks || fat[first].value != 0) {
            findings.push_back("entry " + std::to_string(e) + " does not head a chain");
            continue;
        }
        for (uint32_t b = first, k = 0; b < blocks && k < blocks; b = fat[b].link, ++k) {
            // A block that moved keeps the tag of the number it had.
            if (!ReadBlock(volume, b, &block) ||
                block.compare(0, volume.size() + 1, volume + ":") != 0)
                findings.push_back("block " + std::to_string(b) + " lost its bytes");
            if (fat[b].link == kEnd || (fat[b].link & 0x80000000))
                break;
        }
    }
    return findings;
}

// The primary directory's bytes along its chain.
std::string NwWalker::Directory(const std::string& volume, const std::vector<FatEntry>& fat) const {
    const auto segs = SegmentsOf(volume);
    const uint32_t blocks = uint32_t(fat.size());
    std::string dir;
    std::string block;
    for (uint32_t b = segs[0]->entry[12], k = 0; b < blocks && k < blocks; b = fat[b].link, ++k) {
        if (!ReadBlock(volume, b, &block))
            break;
        dir += block;
        if (fat[b].link == kEnd)
            break;
    }
    return dir;
}

std::map<std::string, std::vector<std::string>> NwWalker::Files(const std::string& volume) const {
    std::map<std::string, std::vector<std::string>> files;
    const auto segs = SegmentsOf(volume);
    if (segs.empty())
        return files;
    const std::vector<FatEntry> fat = Fat(volume, nullptr);
    const uint32_t blocks = uint32_t(fat.size());
    const std::string dir = Directory(volume, fat);
    std::string block;
    for (size_t e = 1; e * 128 + 128 <= dir.size(); ++e) {
        uint32_t parent = 0;
        uint32_t first = 0;
        std::memcpy(&parent, dir.data() + e * 128, 4);
        std::memcpy(&first, dir.data() + e * 128 + 52, 4);
        if (parent >= 0x80000000 || (dir[e * 128 + 9] & 0x04) != 0)
            continue;
        std::string name = dir.substr(e * 128 + 12, static_cast<uint8_t>(dir[e * 128 + 11]));
        std::vector<std::string>& tags = files[name];
        for (uint32_t b = first, k = 0; (b & 0x80000000) == 0 && k < blocks; b = fat[b].link, ++k) {
            if (b >= blocks || !ReadBlock(volume, b, &block)) {
                tags.push_back("?");
                break;
            }
            tags.push_back(block.substr(0, block.find(';') + 1));
            if (fat[b].link == kEnd)
                break;
        }
    }
    return files;
}

} // namespace kwtest::nw
