// The FAT's share of a segment resize: block numbers inserted and removed,
// a range emptied into reserved targets; and the directory's, its entries
// following a remap of the blocks they name.
#include "engine/core/dbgmgr.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_volume.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

// A link names a block unless bit 31 is set: the chain end (0xFFFFFFFF), a
// reservation (0xFFFFFFFE) and a suballocation link are no block numbers.
bool NamesBlock(uint32_t link) {
    return (link & kSuballocBit) == 0;
}

void Record(uint32_t* remap, STATE_MAP* map, uint32_t from, uint32_t to) {
    remap[from] = to;
    if (map != nullptr && from < map->GetBitCount())
        map->SetBit(from);
}

} // namespace

void NWFat::SetSearchRange(uint32_t first, uint32_t last) {
    firstIndex_ = std::min(first, entries_ != 0 ? entries_ - 1 : 0);
    lastIndex_ = std::min(last, entries_ != 0 ? entries_ - 1 : 0);
}

bool NWFat::HeadsChain(uint32_t index) const {
    return IsChainHead(index) && !IsReserved(index);
}

uint32_t NWFat::CountUsed(uint32_t first, uint32_t last) const {
    uint32_t used = 0;
    for (uint64_t e = first; e <= last && e < entries_; ++e)
        used += !IsFree(uint32_t(e)) && !IsReserved(uint32_t(e));
    return used;
}

kwRet NWFat::InsertEntries(uint32_t* remap, STATE_MAP* map, uint32_t begin, uint32_t count) {
    if (begin > entries_ || (uint64_t{entries_} + count) * kFatEntryBytes > tableBytes_)
        return ERR_NW_FAT_SIZE;
    for (uint32_t e = 0; e < entries_; ++e) {
        if (IsFree(e))
            continue;
        if (HeadsChain(e) && e >= begin)
            Record(remap, map, e, e + count);
        const uint32_t link = Link(e);
        if (NamesBlock(link) && link >= begin)
            SetEntry(e, Value(e), link + count);
    }
    uint8_t* at = table_ + uint64_t{begin} * kFatEntryBytes;
    std::memmove(at + uint64_t{count} * kFatEntryBytes, at,
                 uint64_t{entries_ - begin} * kFatEntryBytes);
    std::memset(at, 0, uint64_t{count} * kFatEntryBytes);
    entries_ += count;
    fatBlocks_ = (entries_ + EntriesPerBlock() - 1) / EntriesPerBlock();
    lastIndex_ = entries_ - 1;
    return KW_OK;
}

kwRet NWFat::RemoveEntries(uint32_t* remap, STATE_MAP* map, uint32_t begin, uint32_t count) {
    const uint64_t end = uint64_t{begin} + count;
    if (end > entries_)
        return ERR_BAD_ARGUMENT;
    for (uint32_t e = 0; e < entries_; ++e) {
        const uint32_t link = Link(e);
        const bool inside = e >= begin && e < end;
        if ((inside && !IsFree(e)) ||
            (!IsFree(e) && NamesBlock(link) && link >= begin && link < end))
            return ERR_BAD_ARGUMENT; // the range still holds or is named by data
    }
    for (uint32_t e = 0; e < entries_; ++e) {
        if (IsFree(e))
            continue;
        if (HeadsChain(e) && e >= end)
            Record(remap, map, e, e - count);
        const uint32_t link = Link(e);
        if (NamesBlock(link) && link >= end)
            SetEntry(e, Value(e), link - count);
    }
    uint8_t* at = table_ + uint64_t{begin} * kFatEntryBytes;
    std::memmove(at, at + uint64_t{count} * kFatEntryBytes, (entries_ - end) * kFatEntryBytes);
    entries_ -= count;
    std::memset(table_ + uint64_t{entries_} * kFatEntryBytes, 0, uint64_t{count} * kFatEntryBytes);
    fatBlocks_ = (entries_ + EntriesPerBlock() - 1) / EntriesPerBlock();
    lastIndex_ = entries_ != 0 ? entries_ - 1 : 0;
    firstIndex_ = std::min(firstIndex_, lastIndex_);
    return KW_OK;
}

kwRet NWFat::EvacuateRange(uint32_t* remap, uint32_t first, uint32_t last) {
    if (first > last)
        return ERR_NW_BAD_RANGE;
    if (firstIndex_ >= lastIndex_)
        return ERR_BAD_ARGUMENT;
    first = std::max(first, firstIndex_);
    last = std::min(last, lastIndex_);
    uint32_t toMove = 0;
    for (uint64_t e = first; e <= last; ++e)
        toMove += !IsFree(uint32_t(e)) && !IsReserved(uint32_t(e)) && remap[e] == 0;
    uint32_t free = 0;
    for (uint64_t e = firstIndex_; e <= lastIndex_; ++e)
        free += (e < first || e > last) && IsFree(uint32_t(e));
    if (free < toMove) {
        DbgPrintf("Unexpected ERR_NO_ROOM_TO_RESIZE\r\n");
        return ERR_NO_ROOM_TO_RESIZE;
    }
    uint64_t target = firstIndex_;
    auto nextFree = [&] {
        while (target <= lastIndex_ &&
               ((target >= first && target <= last) || !IsFree(uint32_t(target))))
            ++target;
        return uint32_t(target);
    };
    for (uint64_t e = first; e <= last; ++e) {
        if (IsFree(uint32_t(e)) || IsReserved(uint32_t(e)) || remap[e] != 0)
            continue;
        const uint32_t t = nextFree();
        remap[e] = t;
        SetEntry(t, 0, kReservedLink);
    }
    for (uint64_t e = first; e <= last; ++e)
        if (IsFree(uint32_t(e)))
            SetEntry(uint32_t(e), 0, kReservedLink);
    return KW_OK;
}

void NWFat::ReleaseReservations(uint32_t first, uint32_t last) {
    for (uint64_t e = first; e <= last && e < entries_; ++e)
        if (IsReserved(uint32_t(e)))
            SetEntry(uint32_t(e), 0, 0);
}

bool NWFat::TailIsFree(uint32_t upTo) const {
    if (uint64_t{upTo} * kFatEntryBytes > tableBytes_)
        return false;
    for (uint64_t at = uint64_t{entries_} * kFatEntryBytes; at < uint64_t{upTo} * kFatEntryBytes;
         ++at)
        if (table_[at] != 0)
            return false;
    return true;
}

void NWFat::ClearTail(uint32_t upTo) {
    const uint64_t end = std::min<uint64_t>(uint64_t{upTo} * kFatEntryBytes, tableBytes_);
    const uint64_t from = uint64_t{entries_} * kFatEntryBytes;
    if (end > from)
        std::memset(table_ + from, 0, end - from);
}

const uint8_t* NWFat::StoredBlock(uint32_t i, uint8_t* scratch) const {
    const uint32_t bpb = volume_->BytesPerBlock();
    const uint8_t* block = table_ + uint64_t{i} * bpb;
    bool reserved = false;
    for (uint32_t k = 0; k < bpb && !reserved; k += kFatEntryBytes)
        reserved = LoadLe32(block + k + 4) == kReservedLink;
    if (!reserved)
        return block;
    std::memcpy(scratch, block, bpb);
    for (uint32_t k = 0; k < bpb; k += kFatEntryBytes)
        if (LoadLe32(scratch + k + 4) == kReservedLink)
            std::memset(scratch + k, 0, kFatEntryBytes);
    return scratch;
}

kwRet NWFat::WriteBothCopies() {
    uint32_t chains[2] = {volume_->FirstFatBlock(), volume_->FirstMirrorFatBlock()};
    kwRet rc = KW_OK;
    for (uint32_t i = 0; i < fatBlocks_ && rc == KW_OK; ++i)
        for (uint32_t& b : chains) {
            if (rc == KW_OK)
                rc = b < entries_ ? WriteTableBlock(i, b) : ERR_FAT_INVALID_ENTRIES;
            b = b < entries_ ? Link(b) : kChainEnd;
        }
    return rc;
}

namespace {

// Writes the table's FAT blocks to their places in both copies (with others
// given, only to the places that differ from those).
kwRet WriteChainPlaces(NWFat* fat, const uint32_t* const* places, uint32_t n,
                       const uint32_t* const* others = nullptr) {
    kwRet rc = KW_OK;
    for (uint32_t copy = 0; copy < 2 && rc == KW_OK; ++copy)
        for (uint32_t k = 0; k < n && rc == KW_OK; ++k)
            if (others == nullptr || others[copy][k] != places[copy][k])
                rc = fat->WriteTableBlock(k, places[copy][k]);
    return rc;
}

// Links both copies' chains along the places given.
void LinkChains(NWFat* fat, const uint32_t* const* places, uint32_t n) {
    for (uint32_t copy = 0; copy < 2; ++copy)
        for (uint32_t k = 0; k < n; ++k)
            fat->SetEntry(places[copy][k], k, k + 1 < n ? places[copy][k + 1] : kChainEnd);
}

// The chains are on their new places from here on.
void KeepPlaces(uint32_t* const places[2], const uint32_t* const to[2], uint32_t n) {
    for (uint32_t copy = 0; copy < 2; ++copy)
        std::memcpy(places[copy], to[copy], n * 4);
}

// The table in memory with the chains on their old places again.
void PutChainsBack(NWFat* fat, const uint32_t* const places[2], const uint32_t* const to[2],
                   uint32_t n) {
    for (uint32_t copy = 0; copy < 2; ++copy)
        for (uint32_t k = 0; k < n; ++k)
            fat->SetEntry(to[copy][k], 0, 0);
    LinkChains(fat, places, n);
}

} // namespace

kwRet NWFat::MoveChains(uint32_t* const places[2], const uint32_t* const targets[2], uint32_t n) {
    uint32_t* to[2] = {nullptr, nullptr};
    kwRet rc = kwGetMemory(std::max(n, 1u) * 4, &to[0]);
    if (rc == KW_OK)
        rc = kwGetMemory(std::max(n, 1u) * 4, &to[1]);
    bool moving = false;
    for (uint32_t copy = 0; copy < 2 && rc == KW_OK; ++copy)
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t p = places[copy][k];
            to[copy][k] = p != targets[copy][k] && IsFree(targets[copy][k]) ? targets[copy][k] : p;
            moving = moving || to[copy][k] != p;
        }
    uint32_t before[4];
    volume_->GetSystemBlocks(before);
    if (rc == KW_OK && moving)
        rc = MoveChainsTo(places, to, n, before);
    for (uint32_t copy = 0; copy < 2; ++copy)
        if (to[copy] != nullptr)
            kwFreeMemory(&to[copy]);
    return rc == ERR_NO_MEMORY ? ERR_NW_RESIZE_MEMORY : rc;
}

// Every FAT block moves: the table with its chains on the new places and
// the old places free goes to the new places (which the disk's state does
// not read), then one write of the volume tables names them. A failure puts
// the table in memory and the names back.
kwRet NWFat::MoveWholeChains(uint32_t* const places[2], const uint32_t* const to[2], uint32_t n,
                             const uint32_t before[4]) {
    LinkChains(this, to, n);
    for (uint32_t copy = 0; copy < 2; ++copy)
        for (uint32_t k = 0; k < n; ++k)
            SetEntry(places[copy][k], 0, 0);
    kwRet rc = WriteChainPlaces(this, to, n);
    const uint32_t system[4] = {to[0][0], to[1][0], before[2], before[3]};
    bool named = false;
    if (rc == KW_OK) {
        named = true;
        rc = volume_->SetSystemBlocks(system);
    }
    if (rc == KW_OK) {
        KeepPlaces(places, to, n);
        return KW_OK;
    }
    PutChainsBack(this, places, to, n);
    if (named)
        volume_->SetSystemBlocks(before);
    return rc;
}

// Stand-in places for the chains: free in the table, none of the targets,
// FAT block k low enough that a read along the chain has its entry already.
kwRet NWFat::ChooseStandIns(uint32_t* const fresh[2], const uint32_t* const to[2],
                            uint32_t n) const {
    const uint64_t perBlock = EntriesPerBlock();
    auto taken = [&](uint32_t b, uint32_t copy, uint32_t k) {
        for (uint32_t c = 0; c < 2; ++c)
            for (uint32_t j = 0; j < n; ++j)
                if (to[c][j] == b || ((c < copy || (c == copy && j < k)) && fresh[c][j] == b))
                    return true;
        return false;
    };
    for (uint32_t copy = 0; copy < 2; ++copy) {
        uint32_t cursor = 1;
        for (uint32_t k = 0; k < n; ++k) {
            const uint64_t end = std::min<uint64_t>(entries_, (k + 1) * perBlock);
            while (cursor < end && (!IsFree(cursor) || volume_->FindSegment(cursor) == nullptr ||
                                    taken(cursor, copy, k)))
                ++cursor;
            if (cursor >= end)
                return ERR_NO_ROOM_TO_RESIZE;
            fresh[copy][k] = cursor++;
        }
    }
    return KW_OK;
}

// Some FAT blocks move, others stay: a block written in place would leave
// the copies differing at a cut. So the chains go whole to stand-in places
// and from there whole to the targets, each hop committed by one write of
// the volume tables. A failure in the second hop leaves the chains on the
// stand-ins (places says so), a sound state.
kwRet NWFat::MoveChainsTo(uint32_t* const places[2], const uint32_t* const to[2], uint32_t n,
                          const uint32_t before[4]) {
    bool whole = n != 0;
    for (uint32_t copy = 0; copy < 2; ++copy)
        for (uint32_t k = 0; k < n; ++k)
            whole = whole && to[copy][k] != places[copy][k];
    if (whole)
        return MoveWholeChains(places, to, n, before);
    uint32_t* both = nullptr;
    if (kwGetMemory(n * 8, &both) != KW_OK)
        return ERR_NO_MEMORY;
    uint32_t* fresh[2] = {both, both + n};
    kwRet rc = ChooseStandIns(fresh, to, n);
    if (rc == KW_OK)
        rc = MoveWholeChains(places, fresh, n, before);
    kwFreeMemory(&both);
    if (rc != KW_OK)
        return rc;
    const uint32_t between[4] = {places[0][0], places[1][0], before[2], before[3]};
    return MoveWholeChains(places, to, n, between);
}

kwRet NWFat::Snapshot(uint8_t** copy) const {
    if (kwGetMemory(tableBytes_, copy) != KW_OK)
        return ERR_NO_MEMORY;
    std::memcpy(*copy, table_, tableBytes_);
    return KW_OK;
}

void NWFat::Restore(const uint8_t* copy) {
    std::memcpy(table_, copy, tableBytes_);
}

kwRet NWFat::WriteTableBlock(uint32_t index, uint32_t block) {
    const uint32_t bpb = volume_->BytesPerBlock();
    if (uint64_t{index + 1} * bpb > tableBytes_)
        return ERR_NW_FAT_SIZE;
    uint8_t* scratch = nullptr;
    if (kwGetMemory(bpb, &scratch) != KW_OK)
        return ERR_NO_MEMORY;
    kwRet rc = volume_->WriteBlock(block, StoredBlock(index, scratch));
    kwFreeMemory(&scratch);
    return rc;
}

namespace {

// A block named in a directory entry, moved when the map marks it.
bool Moved(const uint32_t* remap, const STATE_MAP* map, uint32_t block) {
    return NamesBlock(block) && block < map->GetBitCount() && map->IsSet(block) &&
           remap[block] != 0;
}

} // namespace

bool RewriteDirEntry(uint8_t* e, const uint32_t* remap, const STATE_MAP* map) {
    const uint32_t parent = LoadLe32(e + DE_PARENT);
    bool changed = false;
    // In the root and suballocation entries 0 means none.
    auto fix = [&](size_t at, bool zeroIsNone = true) {
        const uint32_t b = LoadLe32(e + at);
        if ((b != 0 || !zeroIsNone) && Moved(remap, map, b)) {
            StoreLe32(e + at, remap[b]);
            changed = true;
        }
    };
    if (parent == kEntrySuballoc) {
        for (uint32_t k = 0; k < kSuballocSlots; ++k)
            fix(DE_SUBALLOC_HEADS + 4 * k);
    } else if (parent == kEntryRoot) {
        fix(DE_ROOT_CHAIN);
        fix(DE_ROOT_CHAIN2);
    } else if ((parent & kSuballocBit) == 0 && (e[DE_ATTRIBUTES] & kDirectoryAttribute) == 0) {
        if (e[DE_NAME_SPACE] == 0)
            fix(DE_FIRST_BLOCK, false);
        else if (e[DE_NAME_SPACE] == 1)
            fix(DE_NS1_BLOCK, false);
    }
    return changed;
}

kwRet NWDir::RewriteAfterRelocation(const uint32_t* remap, const STATE_MAP* map) {
    bool headsChanged = false;
    for (uint32_t i = 0; i < totalEntries_; ++i) {
        const uint8_t* entry = getEntry(i);
        if (loadError_ != KW_OK)
            return loadError_;
        if (entry == nullptr)
            break;
        uint8_t copy[kDirEntryBytes];
        std::memcpy(copy, entry, kDirEntryBytes);
        if (!RewriteDirEntry(copy, remap, map))
            continue;
        std::memcpy(getEntryForWrite(i), copy, kDirEntryBytes);
        headsChanged |= LoadLe32(copy + DE_PARENT) == kEntrySuballoc;
    }
    return headsChanged ? ReadSuballocHeads() : KW_OK;
}

} // namespace kw::netware
