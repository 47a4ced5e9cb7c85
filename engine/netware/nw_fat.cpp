#include "engine/netware/nw_fat.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_check.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

// PlanFatPlaces over the volume's segments as they are; one segment's block
// count may be replaced by a planned one.
template <class Fn>
void PlanFatBlocks(const NWVolume* v, const NetW_Segment* replace, uint32_t replaceBlocks, Fn fn) {
    uint32_t firsts[kMaxVolumeSegments];
    uint32_t blocks[kMaxVolumeSegments];
    const NetW_Segment* segments[kMaxVolumeSegments];
    uint32_t n = 0;
    for (const NetW_Segment* s = v->FirstSegment(); s != nullptr && n < kMaxVolumeSegments;
         s = s->nextInVolume, ++n) {
        segments[n] = s;
        firsts[n] = s->getFirstBlockInSegment();
        blocks[n] = s == replace ? replaceBlocks : s->getBlocksInSegment();
    }
    PlanFatPlaces(
        v->BlockShift(), firsts, blocks, n,
        [&](uint32_t i, uint32_t k, uint64_t p, uint64_t m) { fn(segments[i], k, p, m); });
}

} // namespace

NWFat::NWFat(NWVolume* volume) : volume_(volume) {}

NWFat::~NWFat() {
    if (table_ != nullptr)
        kwFreeMemory(&table_);
}

uint32_t NWFat::EntriesPerBlock() const {
    return 64u << volume_->BlockShift();
}

kwRet NWFat::Initialise() {
    return InitialiseFor(volume_->BlocksInVolume());
}

kwRet NWFat::InitialiseFor(uint32_t capacity) {
    uint64_t segmentBlocks = 0;
    for (NetW_Segment* s = volume_->FirstSegment(); s != nullptr; s = s->nextInVolume)
        segmentBlocks += s->getBlocksInSegment();
    const uint32_t blocks = volume_->BlocksInVolume();
    if (blocks > segmentBlocks || capacity < blocks)
        return ERR_NW_FAT_SIZE; // the table would describe blocks no segment holds
    const uint64_t n = (uint64_t{capacity} + EntriesPerBlock() - 1) / EntriesPerBlock();
    const uint64_t bytes = n * volume_->BytesPerBlock();
    if (bytes > 0x7FFFFFFF)
        return ERR_NO_MEMORY;
    fatBlocks_ =
        static_cast<uint32_t>((uint64_t{blocks} + EntriesPerBlock() - 1) / EntriesPerBlock());
    tableBytes_ = static_cast<uint32_t>(std::max<uint64_t>(bytes, kFatEntryBytes));
    if (kwGetMemory(tableBytes_, &table_) != KW_OK)
        return ERR_NO_MEMORY;
    std::memset(table_, 0, tableBytes_);
    entries_ = blocks;
    return KW_OK;
}

uint32_t NWFat::Value(uint32_t index) const {
    return index < entries_ ? LoadLe32(table_ + uint64_t{index} * kFatEntryBytes) : 0;
}

uint32_t NWFat::Link(uint32_t index) const {
    return index < entries_ ? LoadLe32(table_ + uint64_t{index} * kFatEntryBytes + 4) : 0;
}

void NWFat::SetEntry(uint32_t index, uint32_t value, uint32_t link) {
    if (index >= entries_)
        return;
    StoreLe32(table_ + uint64_t{index} * kFatEntryBytes, value);
    StoreLe32(table_ + uint64_t{index} * kFatEntryBytes + 4, link);
}

kwRet NWFat::Read() {
    const uint32_t blocks = volume_->BlocksInVolume();
    const uint32_t bpb = volume_->BytesPerBlock();
    if (table_ == nullptr || uint64_t{fatBlocks_} * bpb > tableBytes_)
        return ERR_NW_FAT_SIZE;
    const bool usePrimary = copies_ != FatCopies::Mirror;
    const bool useMirror = copies_ != FatCopies::Primary;
    if (usePrimary && volume_->FirstFatBlock() >= blocks)
        return ERR_NW_FIRST_FAT;
    if (useMirror && volume_->FirstMirrorFatBlock() >= blocks)
        return ERR_NW_FIRST_MIRROR_FAT;
    uint32_t current[2] = {volume_->FirstFatBlock(), volume_->FirstMirrorFatBlock()};
    const int followed = usePrimary ? 0 : 1;
    uint32_t i = 0;
    for (; i < fatBlocks_ && current[followed] != kChainEnd; ++i) {
        DbgPrintf("Reading FAT block %d\r\n", int(current[0]));
        uint8_t* at = table_ + uint64_t{i} * bpb;
        kwRet rc = usePrimary ? volume_->ReadBlock(current[0], at) : ERR_READ_FAULT;
        if ((!usePrimary || rc != KW_OK) && useMirror)
            rc = volume_->ReadBlock(current[1], at);
        if (rc == ERR_NW_INVALID_BLOCK)
            return ERR_FAT_INVALID_ENTRIES;
        if (rc != KW_OK)
            return rc;
        for (int c = 0; c < 2; ++c) {
            if ((c == 0 && !usePrimary) || (c == 1 && !useMirror))
                continue;
            if (current[c] >= blocks || Value(current[c]) != i)
                return ERR_NW_FAT_CHAIN;
            current[c] = Link(current[c]);
        }
    }
    if (i != fatBlocks_ || current[followed] != kChainEnd)
        return ERR_FAT_INVALID_ENTRIES;
    firstIndex_ = 0;
    lastIndex_ = entries_ != 0 ? entries_ - 1 : 0;
    return KW_OK;
}

kwRet NWFat::Write() {
    const bool usePrimary = copies_ != FatCopies::Mirror;
    const bool useMirror = copies_ != FatCopies::Primary;
    uint32_t current[2] = {volume_->FirstFatBlock(), volume_->FirstMirrorFatBlock()};
    kwRet failed[2] = {usePrimary ? KW_OK : ERR_NOT_SUPPORTED,
                       useMirror ? KW_OK : ERR_NOT_SUPPORTED};
    const int followed = usePrimary ? 0 : 1;
    uint32_t i = 0;
    for (; i < fatBlocks_ && current[followed] != kChainEnd; ++i) {
        DbgPrintf("Writing FAT block %d\r\n", int(current[0]));
        for (int c = 0; c < 2; ++c) {
            if (failed[c] != KW_OK)
                continue;
            kwRet rc = WriteTableBlock(i, current[c]);
            failed[c] = rc == ERR_NW_INVALID_BLOCK ? ERR_FAT_INVALID_ENTRIES : rc;
        }
        if (failed[0] != KW_OK && failed[1] != KW_OK)
            return usePrimary ? failed[0] : failed[1];
        for (uint32_t& b : current)
            b = b < entries_ ? Link(b) : kChainEnd;
    }
    if (i != fatBlocks_ || current[followed] != kChainEnd)
        return ERR_FAT_INVALID_ENTRIES;
    return KW_OK;
}

kwRet NWFat::CheckChains(KWERRORMGR* errors, STATE_MAP* given) {
    CheckReport report(errors);
    STATE_MAP own;
    STATE_MAP* map = given;
    if (map == nullptr) {
        if (own.Create(entries_, false) != KW_OK)
            return ERR_NO_MEMORY;
        map = &own;
    }
    for (uint32_t e = 0; e < entries_; ++e) {
        if (!IsChainHead(e))
            continue;
        uint32_t previous = e;
        uint32_t b = e;
        for (uint32_t steps = 0; steps <= entries_; ++steps) {
            if (b >= entries_) {
                DbgPrintf("FAT link out of range: FAT[0x%08x].Link = 0x%08x\t", previous,
                          Link(previous));
                DbgPrintf("Blocks in volume = 0x%08x\r\n", entries_);
                if (!report.Add(ERR_FAT_INVALID_ENTRIES, kClassStructure))
                    return report.Result();
                break;
            }
            if (given != nullptr && Value(b) == 0) {
                if (map->IsClear(b)) {
                    DbgPrintf("A lost FAT chain was found, starting with #%ld\r\n", long(b));
                    if (!report.Add(ERR_FAT_LOST_CLUSTERS, kClassLostData))
                        return report.Result();
                }
            } else if (map->IsSet(b)) {
                DbgPrintf("Block #%ld is cross-linked in chain starting at %ld \r\n", long(b),
                          long(e));
                if (!report.Add(ERR_CROSS_LINKED, kClassCrossLink))
                    return report.Result();
                break; // the rest of the walk is the other chain's
            }
            const uint32_t link = Link(b);
            const bool ends = link == kChainEnd || (link & kSuballocBit) != 0;
            if (!ends && link < entries_ && Value(link) <= Value(b)) {
                DbgPrintf("FAT value out of sequence: FAT[0x%08x].Value = 0x%08x\t", b, Value(b));
                DbgPrintf("FAT[0x%08x].Value = 0x%08x\t", link, Value(link));
                if (!report.Add(ERR_FAT_INVALID_ENTRIES, kClassStructure))
                    return report.Result();
                map->SetBit(b);
                break;
            }
            map->SetBit(b);
            if (ends)
                break;
            previous = b;
            b = link;
        }
    }
    return report.Result();
}

uint32_t NWFat::PlannedFatBlocks(const NetW_Segment* segment) const {
    uint32_t count = 0;
    PlanFatBlocks(volume_, nullptr, 0, [&](const NetW_Segment* s, uint32_t, uint64_t, uint64_t) {
        count += s == segment;
    });
    return count;
}

uint32_t NWFat::HighestPlannedFatBlock(const NetW_Segment* segment, uint32_t blocks) const {
    uint64_t highest = 0;
    PlanFatBlocks(volume_, segment, blocks,
                  [&](const NetW_Segment*, uint32_t, uint64_t p, uint64_t m) {
                      highest = std::max({highest, p, m});
                  });
    return static_cast<uint32_t>(std::min<uint64_t>(highest, 0xFFFFFFFF));
}

kwRet NWFat::CheckSegments(KWERRORMGR* errors) {
    CheckReport report(errors);
    for (NetW_Segment* s = volume_->FirstSegment(); s != nullptr; s = s->nextInVolume) {
        uint32_t count = 0;
        uint32_t b = volume_->FirstFatBlock();
        for (uint32_t steps = 0; b < entries_ && steps < entries_; ++steps, b = Link(b))
            count += b >= s->getFirstBlockInSegment() && int64_t{b} <= s->getLastBlockInSegment();
        if (count != PlannedFatBlocks(s) && !report.Add(ERR_NW_FAT_BLOCKS, kClassStructure))
            break;
    }
    return report.Result();
}

kwRet NWFat::CompareMirror(KWERRORMGR* errors) {
    CheckReport report(errors);
    const uint32_t bpb = volume_->BytesPerBlock();
    uint8_t* block = nullptr;
    if (kwGetMemory(bpb, &block) != KW_OK) {
        DbgPrintf("Error allocating memory for FAT mirror\r\n");
        return ERR_NO_MEMORY;
    }
    uint32_t b = volume_->FirstMirrorFatBlock();
    for (uint32_t i = 0; i < fatBlocks_; ++i) {
        if (b >= entries_ || volume_->ReadBlock(b, block) != KW_OK) {
            report.Add(ERR_FAT_COPIES_DIFFER, kClassStructure);
            break;
        }
        if (std::memcmp(block, table_ + uint64_t{i} * bpb, bpb) != 0 &&
            !report.Add(ERR_FAT_COPIES_DIFFER, kClassStructure))
            break;
        b = Link(b);
    }
    kwFreeMemory(&block);
    return report.Result();
}

kwRet NWFat::Check(KWERRORMGR* errors, STATE_MAP* map) {
    kwRet first = CheckChains(errors, map);
    kwRet rc = CheckSegments(errors);
    if (first == KW_OK)
        first = rc;
    rc = CompareMirror(errors);
    return first != KW_OK ? first : rc;
}

kwRet NWFat::MarkFatChains(STATE_MAP* map, PARTITION_INFO* pi) {
    kwRet rc = volume_->MarkChain(map, volume_->FirstFatBlock(), pi);
    return rc != KW_OK ? rc : volume_->MarkChain(map, volume_->FirstMirrorFatBlock(), pi);
}

} // namespace kw::netware
