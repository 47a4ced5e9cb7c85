#include "engine/fat/fat_ea.h"

#include "engine/fat/fat_ea_file.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>

namespace kw::fat {

namespace {

constexpr uint32_t kLengthOffset = 26; // of an attribute record's first sector
constexpr uint32_t kNoTrimFrom = 0xFFF7;

uint32_t RoundUp(uint32_t v, uint32_t k) {
    return (v + k - 1) / k * k;
}

// Free clusters for `count` new ones, taken from the FAT's free list.
kwRet TakeFree(const FAT_FILESYSTEM* fs, uint32_t count, std::vector<uint32_t>* out) {
    const FAT_BLOCKS* fat = fs->GetFat();
    uint32_t last = fs->GetBootRecord()->LastCluster();
    for (uint32_t c = fat->FindNextFree(2); out->size() < count && c <= last;
         c = fat->FindNextFree(c + 1))
        out->push_back(c);
    return out->size() == count ? KW_OK : ERR_FAT_NO_SPACE;
}

// A run of clusters put into the chain after the cluster at `after` (an
// index into the old chain), or taken out of it.
struct Splice {
    uint32_t after = 0;
    std::vector<uint32_t> clusters;
    uint8_t fill = 0; // bytes of new clusters
};

// The chain with the runs put in (sorted by position).
std::vector<uint32_t> Inserted(const std::vector<uint32_t>& chain,
                               const std::vector<Splice>& runs) {
    std::vector<uint32_t> out;
    size_t r = 0;
    for (uint32_t i = 0; i < chain.size(); ++i) {
        out.push_back(chain[i]);
        for (; r < runs.size() && runs[r].after == i; ++r)
            out.insert(out.end(), runs[r].clusters.begin(), runs[r].clusters.end());
    }
    return out;
}

// Links new runs into the chain in three FAT writes, so that a cut leaves
// no cluster with two predecessors: each run as a chain of its own, then
// the cluster before it pointing to it, then its end pointing on.
kwRet LinkRuns(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& chain,
               const std::vector<Splice>& runs) {
    FAT_BLOCKS* fat = fs->GetFat();
    for (int step = 0; step < 3; ++step) {
        for (const Splice& s : runs) {
            const std::vector<uint32_t>& c = s.clusters;
            kwRet rc = KW_OK;
            if (step == 0)
                for (size_t i = 0; rc == KW_OK && i < c.size(); ++i)
                    rc = fat->SetNextCluster(c[i], i + 1 < c.size() ? c[i + 1] : FAT_EOC_MARK,
                                             i == 0);
            else if (step == 1)
                rc = fat->SetNextCluster(chain[s.after], c.front());
            else if (s.after + 1 < chain.size())
                rc = fat->SetNextCluster(c.back(), chain[s.after + 1]);
            if (rc != KW_OK)
                return rc;
        }
        if (kwRet rc = fs->FlushFat(); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Takes runs out of the chain in three FAT writes: each run's end ends a
// chain, then the cluster before it points past it, then it is freed.
kwRet UnlinkRuns(FAT_FILESYSTEM* fs, const std::vector<uint32_t>& chain,
                 const std::vector<Splice>& runs) {
    FAT_BLOCKS* fat = fs->GetFat();
    for (int step = 0; step < 3; ++step) {
        for (const Splice& s : runs) {
            const std::vector<uint32_t>& c = s.clusters;
            size_t beyond = s.after + 1 + c.size();
            kwRet rc = KW_OK;
            if (step == 0)
                rc = fat->SetNextCluster(c.back(), FAT_EOC_MARK);
            else if (step == 1)
                rc = fat->SetNextCluster(chain[s.after],
                                         beyond < chain.size() ? chain[beyond] : FAT_EOC_MARK);
            else
                for (size_t i = 0; rc == KW_OK && i < c.size(); ++i)
                    rc = fat->SetNextCluster(c[i], 0);
            if (rc != KW_OK)
                return rc;
        }
        if (kwRet rc = fs->FlushFat(); rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The data of new runs, before any FAT entry names them.
kwRet WriteRuns(FAT_FILESYSTEM* fs, const std::vector<Splice>& runs) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    std::vector<uint8_t> bytes(b.BytesPerCluster());
    for (const Splice& s : runs) {
        std::fill(bytes.begin(), bytes.end(), s.fill);
        for (uint32_t c : s.clusters)
            if (kwRet rc =
                    fs->WriteSectors(b.ClusterToSector(c), bytes.data(), b.sectorsPerCluster);
                rc != KW_OK)
                return rc;
    }
    return FlushVolume(fs);
}

// Larger clusters (k old ones to a new one): the header and table fill
// whole new clusters and so does every attribute. The runs that pad them
// are planned into `runs`, the new locations into `ea`.
kwRet PlanGrowth(FAT_FILESYSTEM* fs, EA_FILE& ea, uint32_t k, std::vector<Splice>* runs) {
    std::vector<EA_HANDLE> handles = ea.Handles();
    uint32_t base0 = ea.Base(0);
    uint32_t pad = RoundUp(base0, k) - base0, added = 0;
    std::vector<uint32_t> shift(EA_BASES, pad); // of each group's base
    if (pad != 0)
        runs->push_back(Splice{base0 - 1, std::vector<uint32_t>(pad), 0xFF});
    for (EA_HANDLE& h : handles) {
        h.location += pad + added;
        uint32_t grow = RoundUp(h.allotment, k) - h.allotment;
        if (grow != 0)
            runs->push_back(
                Splice{h.location - pad - added + h.allotment - 1, std::vector<uint32_t>(grow), 0});
        added += grow;
        for (uint32_t g = h.handle / EA_GROUP_HANDLES + 1; g < EA_BASES; ++g)
            shift[g] = pad + added;
    }
    std::vector<uint32_t> fresh;
    uint32_t wanted = 0;
    for (const Splice& s : *runs)
        wanted += static_cast<uint32_t>(s.clusters.size());
    if (kwRet rc = TakeFree(fs, wanted, &fresh); rc != KW_OK)
        return rc;
    auto next = fresh.begin();
    for (Splice& s : *runs)
        for (uint32_t& c : s.clusters)
            c = *next++;
    std::vector<int64_t> bases(EA_BASES);
    for (uint32_t g = 0; g < EA_BASES; ++g)
        bases[g] = (ea.Base(g) + shift[g]) / k;
    for (EA_HANDLE& h : handles)
        h.location /= k;
    return ea.SetLocations(bases, handles);
}

// Smaller clusters: every location in k times as many clusters.
kwRet PlanSplit(EA_FILE& ea, uint32_t k) {
    std::vector<EA_HANDLE> handles = ea.Handles();
    std::vector<int64_t> bases(EA_BASES);
    for (uint32_t g = 0; g < EA_BASES; ++g)
        bases[g] = int64_t{ea.Base(g)} * k;
    for (EA_HANDLE& h : handles)
        h.location *= k;
    return ea.SetLocations(bases, handles);
}

// Each attribute keeps the clusters its record needs; the rest of its
// allotment is planned out of the chain.
kwRet PlanTrim(FAT_FILESYSTEM* fs, EA_FILE& ea, std::vector<Splice>* runs) {
    const FAT_BOOT_RECORD& b = *fs->GetBootRecord();
    std::vector<EA_HANDLE> handles = ea.Handles();
    std::vector<uint32_t> shift(EA_BASES, 0);
    uint32_t removed = 0;
    std::vector<uint8_t> sector(FAT_SECTOR_SIZE);
    for (EA_HANDLE& h : handles) {
        uint32_t at = h.location;
        h.location -= removed;
        if (at >= kNoTrimFrom || h.allotment == 0)
            continue;
        kwRet rc = fs->ReadSectors(b.ClusterToSector(ea.Chain()[at]), sector.data(), 1);
        if (rc != KW_OK)
            return rc;
        uint32_t length = kwbytes::LoadLe16(sector.data() + kLengthOffset);
        uint32_t needed = (length + kLengthOffset + b.BytesPerCluster() - 1) / b.BytesPerCluster();
        if (needed >= h.allotment)
            continue;
        const std::vector<uint32_t>& chain = ea.Chain();
        runs->push_back(Splice{at + needed - 1,
                               {chain.begin() + at + needed, chain.begin() + at + h.allotment}});
        removed += h.allotment - needed;
        for (uint32_t g = h.handle / EA_GROUP_HANDLES + 1; g < EA_BASES; ++g)
            shift[g] = removed;
    }
    std::vector<int64_t> bases(EA_BASES);
    for (uint32_t g = 0; g < EA_BASES; ++g)
        bases[g] = int64_t{ea.Base(g)} - shift[g];
    return ea.SetLocations(bases, handles);
}

} // namespace

kwRet ConvertEaFile(FAT_FILESYSTEM* fs, const char* name, uint32_t newSpc) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    if (b == nullptr || name == nullptr || newSpc == 0 || newSpc > 128)
        return ERR_BAD_ARGUMENT;
    uint32_t s = b->sectorsPerCluster;
    uint32_t big = std::max(s, newSpc), small = std::min(s, newSpc);
    if (big % small != 0 || ((big / small) & (big / small - 1)) != 0)
        return ERR_BAD_ARGUMENT;
    if (newSpc == s)
        return KW_OK;
    EA_FILE ea(fs);
    kwRet rc = ea.Read(name);
    if (rc != KW_OK)
        return rc;
    if (newSpc < s) {
        rc = PlanSplit(ea, s / newSpc);
        return rc == KW_OK ? ea.Write(ea.Chain()) : rc;
    }
    std::vector<Splice> runs;
    rc = PlanGrowth(fs, ea, newSpc / s, &runs);
    std::sort(runs.begin(), runs.end(),
              [](const Splice& x, const Splice& y) { return x.after < y.after; });
    if (rc == KW_OK)
        rc = WriteRuns(fs, runs);
    if (rc == KW_OK)
        rc = LinkRuns(fs, ea.Chain(), runs);
    return rc == KW_OK ? ea.Write(Inserted(ea.Chain(), runs)) : rc;
}

kwRet TrimEaFile(FAT_FILESYSTEM* fs, const char* name) {
    if (fs == nullptr || fs->GetBootRecord() == nullptr || name == nullptr)
        return ERR_BAD_ARGUMENT;
    EA_FILE ea(fs);
    kwRet rc = ea.Read(name);
    std::vector<Splice> runs;
    if (rc == KW_OK)
        rc = PlanTrim(fs, ea, &runs);
    if (rc != KW_OK || runs.empty())
        return rc;
    // The chain and the table change together; the clusters are freed
    // only once neither names them.
    std::vector<uint32_t> kept;
    size_t r = 0;
    const std::vector<uint32_t>& chain = ea.Chain();
    for (uint32_t i = 0; i < chain.size(); ++i) {
        if (r < runs.size() && i == runs[r].after + 1) {
            i += static_cast<uint32_t>(runs[r++].clusters.size()) - 1;
            continue;
        }
        kept.push_back(chain[i]);
    }
    rc = UnlinkRuns(fs, chain, runs);
    return rc == KW_OK ? ea.Write(kept) : rc;
}

} // namespace kw::fat
