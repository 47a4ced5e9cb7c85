#include "tests/support/mbr_writer.h"

#include "include/kwbytes.h"
#include "tests/support/tool_run.h"

#include <stdexcept>

namespace kwtest {

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

std::vector<uint8_t> TableSector() {
    std::vector<uint8_t> s(512, 0);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

void PutEntry(std::vector<uint8_t>& sector, int slot, const std::vector<uint8_t>& entry) {
    if (slot < 0 || slot > 3)
        throw std::runtime_error("a table has four entries");
    std::copy(entry.begin(), entry.end(), sector.begin() + 446 + 16 * slot);
}

uint32_t EbrOf(const LogicalEntry& l) {
    return l.ebr != 0 ? l.ebr : l.start - 63;
}

} // namespace

std::vector<uint8_t> MakeEntry(uint8_t type, uint32_t relStart, uint32_t count, uint32_t absStart,
                               bool active) {
    std::vector<uint8_t> e(16, 0);
    e[0] = active ? 0x80 : 0x00;
    PutChs(e, 1, absStart);
    e[4] = type;
    PutChs(e, 5, absStart + (count ? count - 1 : 0));
    kwbytes::StoreLe32(e.data() + 8, relStart);
    kwbytes::StoreLe32(e.data() + 12, count);
    return e;
}

void WriteMbrLayout(const std::filesystem::path& image, const MbrLayout& layout) {
    std::vector<uint8_t> mbr = TableSector();
    std::vector<MbrEntry> primaries = layout.primaries;
    if (!layout.logicals.empty())
        primaries.push_back({0x05, layout.extendedStart, layout.extendedCount, false, -1});
    bool used[4] = {};
    for (const MbrEntry& p : primaries)
        if (p.slot >= 0 && p.slot < 4)
            used[p.slot] = true;
    int next = 0;
    for (const MbrEntry& p : primaries) {
        int slot = p.slot;
        while (slot < 0 && next < 4)
            slot = used[next] ? (++next, -1) : next++;
        PutEntry(mbr, slot, MakeEntry(p.type, p.start, p.count, p.start, p.active));
    }
    WriteAt(image, 0, mbr);
    const std::vector<LogicalEntry>& ls = layout.logicals;
    for (size_t i = 0; i < ls.size(); ++i) {
        uint32_t ebr = EbrOf(ls[i]);
        std::vector<uint8_t> s = TableSector();
        PutEntry(s, 0, MakeEntry(ls[i].type, ls[i].start - ebr, ls[i].count, ls[i].start));
        if (i + 1 < ls.size()) {
            uint32_t nextEbr = EbrOf(ls[i + 1]);
            uint32_t end = ls[i + 1].start + ls[i + 1].count;
            PutEntry(s, 1, MakeEntry(0x05, nextEbr - layout.extendedStart, end - nextEbr, nextEbr));
        }
        WriteAt(image, uint64_t{ebr} * 512, s);
    }
}

} // namespace kwtest
