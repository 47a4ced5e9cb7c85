#include "engine/netware/nw_segstep.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/kwmemory.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_codes.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_reloc.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"

#include <algorithm>
#include <cstring>

namespace kw::netware {

namespace {

constexpr uint32_t kNoBlock = 0xFFFFFFFF;

// An array of 32-bit words from the engine's memory, zeroed; freed with it.
class Words {
public:
    Words() = default;
    ~Words() {
        if (p_ != nullptr)
            kwFreeMemory(&p_);
    }
    Words(const Words&) = delete;
    Words& operator=(const Words&) = delete;
    kwRet Get(uint64_t n) {
        if (p_ != nullptr)
            kwFreeMemory(&p_);
        n = std::max<uint64_t>(n, 1);
        if (n > 0x3FFFFFFF || kwGetMemory(uint32_t(n * 4), &p_) != KW_OK)
            return ERR_NW_RESIZE_MEMORY;
        std::memset(p_, 0, n * 4);
        return KW_OK;
    }
    uint32_t& operator[](uint64_t i) { return p_[i]; }
    uint32_t operator[](uint64_t i) const { return p_[i]; }
    uint32_t* data() { return p_; }

private:
    uint32_t* p_ = nullptr;
};

// One segment of the volume in a layout.
struct Place {
    NetW_Segment* segment = nullptr;
    uint32_t sector = 0; // partition sector of its first block
    uint32_t first = 0;
    uint32_t blocks = 0;
    bool Holds(uint32_t b) const { return b >= first && b - first < blocks; }
};

// One renumbering step; see nw_segstep.h for the order of its writes.
class Step {
public:
    Step(NWVolume* v, NetW_Segment* s) : v_(v), s_(s), spb_(v->SectorsPerBlock()) {}
    kwRet Run(uint32_t newStart, uint32_t newSize);

private:
    kwRet Plan(uint32_t newStart, uint32_t newSize);
    kwRet PlanFat();
    kwRet Vacate();
    kwRet Prepare(const NWFat* fat);
    bool ParkDirectory(NWFat* fat, kwRet* rc);
    kwRet MarkOldSystem(const NWFat* fat);
    kwRet ChoosePlaces(const NWFat* fat);
    uint32_t StandIn(const NWFat* fat, uint32_t planned, uint32_t index, bool freeOnly,
                     bool anySegment);
    uint32_t ChoosePlace(const NWFat* fat, uint32_t plan, uint32_t index);
    kwRet CheckRoom(const NWFat* fat) const;
    kwRet VacateSegment(NWFat* fat, const Place& p);
    kwRet Build(NWFat* fat);
    kwRet Renumber(NWFat* fat);
    kwRet PlaceChains(NWFat* fat);
    kwRet WriteDirectory();
    kwRet WriteFat(const NWFat* fat);
    kwRet WriteNew(uint32_t block, const void* data) const;
    kwRet Flush() const;
    kwRet Commit();
    kwRet Settle();
    kwRet ClearPlannedPlaces(NWFat* fat, const Place& p);
    template <class Leave, class KeepOff>
    kwRet MoveOut(NWFat* fat, const Place& p, Leave leave, KeepOff keepOff);
    uint32_t NewNumber(uint32_t old) const;
    uint32_t OldNumber(uint32_t now) const;
    // A block of the new numbering that is free at the switch (the old
    // state's FAT has it free, or it is new).
    bool FreeAtSwitch(const NWFat* fat, uint32_t now) const {
        const uint32_t o = OldNumber(now);
        return o == kNoBlock || fat->IsFree(o);
    }
    // A block of the new numbering the old state never reads.
    bool Writable(uint32_t now) const {
        const uint32_t o = OldNumber(now);
        return o == kNoBlock || !oldSystem_.IsSet(o);
    }

    NWVolume* v_;
    NetW_Segment* s_;
    uint32_t spb_;
    Place old_[kMaxVolumeSegments];
    Place new_[kMaxVolumeSegments];
    uint32_t count_ = 0;
    bool grow_ = false;
    uint32_t begin_ = 0; // old numbering: where blocks come in or go
    uint32_t delta_ = 0;
    uint32_t oldBlocks_ = 0;
    uint32_t newBlocks_ = 0;
    uint32_t newStart_ = 0;
    uint32_t newSize_ = 0;
    uint32_t perBlock_ = 0;
    // Old numbering: the data blocks that must be empty before the switch;
    // the old FAT and directory blocks (read by the old state only).
    STATE_MAP needed_;
    STATE_MAP oldSystem_;
    // New numbering: the FAT's planned places, its places at the switch
    // (a planned place the old state still reads has a stand-in in the same
    // segment until the switch is done) and the directory copy's places.
    STATE_MAP planned_;
    STATE_MAP taken_;
    uint32_t standIn_[2][kMaxVolumeSegments] = {}; // where the searches go on
    Words planP_, planM_, fatP_, fatM_, dirP_, dirM_;
    uint32_t fatCount_ = 0;
    // Old numbering: the directory's blocks.
    Words oldDirP_, oldDirM_;
    uint32_t dirCount_ = 0;
};

uint32_t Step::NewNumber(uint32_t old) const {
    if (old < begin_)
        return old;
    if (grow_)
        return old + delta_;
    return old - begin_ < delta_ ? kNoBlock : old - delta_;
}

uint32_t Step::OldNumber(uint32_t now) const {
    if (now < begin_)
        return now;
    if (!grow_)
        return now + delta_;
    return now - begin_ < delta_ ? kNoBlock : now - delta_;
}

kwRet Step::Plan(uint32_t newStart, uint32_t newSize) {
    const uint32_t start = s_->getStartingDiskSector();
    const uint32_t size = s_->getSectorsInSegment();
    const uint32_t blocks = s_->getBlocksInSegment();
    const uint32_t newSegBlocks = newSize / spb_;
    if (newSize % spb_ != size % spb_ || newSegBlocks == blocks || newSegBlocks == 0)
        return ERR_NW_SEGMENT_LIMITS;
    grow_ = newSegBlocks > blocks;
    delta_ = grow_ ? newSegBlocks - blocks : blocks - newSegBlocks;
    const uint64_t moved = uint64_t{delta_} * spb_;
    const bool front = grow_ ? newStart < start : newStart > start;
    if (newStart != start && (!front || (grow_ ? start - newStart : newStart - start) != moved))
        return ERR_NW_SEGMENT_LIMITS;
    begin_ = s_->getFirstBlockInSegment() + (front ? 0 : std::min(blocks, newSegBlocks));
    uint32_t running = 0;
    uint32_t newRunning = 0;
    for (NetW_Segment* t = v_->FirstSegment(); t != nullptr; t = t->nextInVolume, ++count_) {
        if (count_ == kMaxVolumeSegments || t->getFirstBlockInSegment() != running)
            return ERR_NW_FIRST_BLOCK;
        old_[count_] = {t, t->GetStartSector(), running, t->getBlocksInSegment()};
        new_[count_] = {t, t->GetStartSector(), newRunning, t->getBlocksInSegment()};
        if (t == s_) {
            new_[count_].sector = t->GetStartSector() - start + newStart;
            new_[count_].blocks = newSegBlocks;
        }
        running += old_[count_].blocks;
        newRunning += new_[count_].blocks;
    }
    oldBlocks_ = running;
    newBlocks_ = newRunning;
    newStart_ = newStart;
    newSize_ = newSize;
    if (running != v_->BlocksInVolume())
        return ERR_NW_VOLUME_BLOCKS;
    return PlanFat();
}

// The new FAT's places by the placement rule of the new layout.
kwRet Step::PlanFat() {
    perBlock_ = 64u << v_->BlockShift();
    fatCount_ = uint32_t((uint64_t{newBlocks_} + perBlock_ - 1) / perBlock_);
    for (Words* w : {&planP_, &planM_, &fatP_, &fatM_})
        if (kwRet rc = w->Get(fatCount_); rc != KW_OK)
            return rc;
    uint32_t firsts[kMaxVolumeSegments];
    uint32_t blocks[kMaxVolumeSegments];
    for (uint32_t i = 0; i < count_; ++i) {
        firsts[i] = new_[i].first;
        blocks[i] = new_[i].blocks;
    }
    uint32_t placed = 0;
    bool fits = true;
    PlanFatPlaces(v_->BlockShift(), firsts, blocks, count_,
                  [&](uint32_t i, uint32_t, uint64_t p, uint64_t m) {
                      const uint64_t end = uint64_t{new_[i].first} + new_[i].blocks;
                      fits = fits && p < end && m < end && placed < fatCount_;
                      if (fits) {
                          planP_[placed] = uint32_t(p);
                          planM_[placed] = uint32_t(m);
                      }
                      ++placed;
                  });
    if (!fits || placed != fatCount_)
        return ERR_NO_ROOM_TO_RESIZE; // a segment too small for its FAT blocks
    if (needed_.Create(oldBlocks_, false) != KW_OK ||
        oldSystem_.Create(oldBlocks_, false) != KW_OK ||
        planned_.Create(newBlocks_, false) != KW_OK || taken_.Create(newBlocks_, false) != KW_OK)
        return ERR_NW_RESIZE_MEMORY;
    for (uint32_t i = 0; i < fatCount_; ++i) {
        planned_.SetBit(planP_[i]);
        planned_.SetBit(planM_[i]);
    }
    return KW_OK;
}

// The old FAT and directory chains, recorded and marked.
kwRet Step::MarkOldSystem(const NWFat* fat) {
    const uint32_t n = fat->getNumEntries();
    uint32_t chains[2] = {v_->FirstFatBlock(), v_->FirstMirrorFatBlock()};
    for (uint32_t i = 0; i < fat->NumberOfFatBlocks(); ++i)
        for (uint32_t& b : chains) {
            if (b >= n)
                return ERR_NW_FAT_CHAIN;
            oldSystem_.SetBit(b);
            b = fat->Link(b);
        }
    uint32_t dir[2] = {v_->FirstDirBlock(), v_->FirstMirrorDirBlock()};
    for (uint32_t b = dir[0]; b < n && dirCount_ < n; b = fat->Link(b))
        ++dirCount_;
    for (Words* w : {&oldDirP_, &oldDirM_, &dirP_, &dirM_})
        if (kwRet rc = w->Get(dirCount_); rc != KW_OK)
            return rc;
    for (uint32_t i = 0; i < dirCount_; ++i) {
        if (dir[0] >= n || dir[1] >= n)
            return ERR_NW_DIR_CHAIN;
        oldDirP_[i] = dir[0];
        oldDirM_[i] = dir[1];
        for (uint32_t& b : dir) {
            oldSystem_.SetBit(b);
            b = fat->Link(b);
        }
    }
    return KW_OK;
}

// A block for FAT block `index` while its planned place is read by the old
// state or holds data: not planned, not read by the old state, and low
// enough that a read of the FAT along its chain has its entry already (below
// (index + 1) x entries per FAT block); in the planned place's segment or
// (anySegment) in any; with freeOnly, one that is free at the switch.
// kNoBlock when there is none.
uint32_t Step::StandIn(const NWFat* fat, uint32_t planned, uint32_t index, bool freeOnly,
                       bool anySegment) {
    for (uint32_t i = 0; i < count_; ++i) {
        const Place& p = new_[i];
        if (!anySegment && !p.Holds(planned))
            continue;
        const uint64_t end =
            std::min<uint64_t>(uint64_t{p.first} + p.blocks, (uint64_t{index} + 1) * perBlock_);
        // What a search passed over stays unfit: it goes on from there.
        uint32_t& t = standIn_[freeOnly ? 0 : 1][i];
        for (t = std::max(t, p.first); t < end; ++t)
            if (!planned_.IsSet(t) && !taken_.IsSet(t) && Writable(t) &&
                (!freeOnly || FreeAtSwitch(fat, t)))
                return t;
    }
    return kNoBlock;
}

// The place of FAT block `index` at the switch: the planned place when it is
// free; else a free stand-in, in its segment first; else the planned place
// or a stand-in of its segment emptied of its data first.
uint32_t Step::ChoosePlace(const NWFat* fat, uint32_t plan, uint32_t index) {
    // Block 0 holds no data in any layout (0 names no block in the
    // directory's root and suballocation entries): a planned place 0 with
    // data is emptied before the switch.
    if (Writable(plan) && (FreeAtSwitch(fat, plan) || plan == 0))
        return plan;
    for (bool anySegment : {false, true})
        if (uint32_t t = StandIn(fat, plan, index, true, anySegment); t != kNoBlock)
            return t;
    return Writable(plan) ? plan : StandIn(fat, plan, index, false, false);
}

// The FAT's places at the switch, and the data blocks to empty for them and
// for a shrink.
kwRet Step::ChoosePlaces(const NWFat* fat) {
    for (uint32_t i = 0; i < fatCount_; ++i)
        for (int copy = 0; copy < 2; ++copy) {
            const uint32_t place = ChoosePlace(fat, copy == 0 ? planP_[i] : planM_[i], i);
            if (place == kNoBlock)
                return ERR_NO_ROOM_TO_RESIZE;
            (copy == 0 ? fatP_[i] : fatM_[i]) = place;
            taken_.SetBit(place);
            if (OldNumber(place) != kNoBlock)
                needed_.SetBit(OldNumber(place));
        }
    if (!grow_)
        needed_.SetRange(begin_, delta_);
    return KW_OK;
}

// Enough free blocks in each segment for the data that sits where it must
// not, and for the directory's copy in the whole volume, before anything is
// written.
kwRet Step::CheckRoom(const NWFat* fat) const {
    uint64_t spare = grow_ ? delta_ : 0;
    for (uint32_t i = 0; i < fatCount_; ++i)
        spare -= (OldNumber(fatP_[i]) == kNoBlock) + (OldNumber(fatM_[i]) == kNoBlock);
    for (uint32_t i = 0; i < count_; ++i) {
        uint64_t occupied = 0;
        uint64_t free = 0;
        for (uint32_t b = old_[i].first; b - old_[i].first < old_[i].blocks; ++b) {
            occupied += needed_.IsSet(b) && !fat->IsFree(b) && !oldSystem_.IsSet(b);
            free += !needed_.IsSet(b) && fat->IsFree(b);
        }
        if (free < occupied)
            return ERR_NO_ROOM_TO_RESIZE;
        spare += free - occupied;
    }
    // The old directory and FAT blocks come free only with the switch.
    return spare < 2ull * dirCount_ ? ERR_NO_ROOM_TO_RESIZE : KW_OK;
}

// Moves the used blocks of a segment that `leave` names to free blocks of
// it that `keepOff` does not name, through the relocation (each pass safe
// against a cut); free blocks `keepOff` names take no parked block
// meanwhile. 511 before anything is moved when there is no room.
template <class Leave, class KeepOff>
kwRet Step::MoveOut(NWFat* fat, const Place& p, Leave leave, KeepOff keepOff) {
    const uint32_t last = p.first + p.blocks - 1;
    Words remap;
    kwRet rc = remap.Get(fat->getNumEntries());
    if (rc != KW_OK)
        return rc;
    fat->SetSearchRange(p.first, last);
    uint32_t cursor = p.first;
    uint32_t moves = 0;
    for (uint32_t b = p.first; b <= last && rc == KW_OK; ++b) {
        if (fat->IsFree(b) || fat->IsReserved(b) || !leave(b))
            continue;
        while (cursor <= last && (keepOff(cursor) || !fat->IsFree(cursor)))
            ++cursor;
        if (cursor > last)
            rc = ERR_NO_ROOM_TO_RESIZE;
        else
            remap[b] = cursor;
        if (rc == KW_OK)
            fat->SetEntry(cursor, 0, kReservedLink);
        moves += rc == KW_OK;
    }
    for (uint32_t b = p.first; b <= last && rc == KW_OK; ++b)
        if (keepOff(b) && fat->IsFree(b))
            fat->SetEntry(b, 0, kReservedLink);
    if (rc == KW_OK && moves != 0)
        rc = RelocateSegmentBlocks(p.segment, remap.data());
    fat->ReleaseReservations(p.first, last);
    return rc;
}

// Moves the data blocks of one segment that the new layout needs empty to
// free blocks of the segment it does not need.
kwRet Step::VacateSegment(NWFat* fat, const Place& p) {
    auto data = [&](uint32_t b) {
        return needed_.IsSet(b) && !fat->IsFree(b) && !fat->IsReserved(b) && !oldSystem_.IsSet(b);
    };
    kwRet rc = MoveOut(fat, p, data, [&](uint32_t b) { return needed_.IsSet(b); });
    for (uint32_t b = p.first; b - p.first < p.blocks && rc == KW_OK; ++b)
        if (data(b))
            rc = ERR_NO_ROOM_TO_RESIZE;
    return rc;
}

// The plan before anything moves: the old FAT and directory, the new FAT's
// places and the room for both (again after the directory was parked).
kwRet Step::Prepare(const NWFat* fat) {
    for (STATE_MAP* m : {&needed_, &oldSystem_, &taken_})
        m->ClearRange(0, m->GetBitCount());
    for (auto& cursors : standIn_)
        for (uint32_t i = 0; i < count_; ++i)
            cursors[i] = new_[i].first;
    dirCount_ = 0;
    kwRet rc = MarkOldSystem(fat);
    if (rc == KW_OK)
        rc = ChoosePlaces(fat);
    return rc == KW_OK ? CheckRoom(fat) : rc;
}

// A shrink short of room for the old directory and its copy at once: the
// directory's blocks in the part of the segment that stays move to free
// blocks of the part that goes (the relocation), where the old state reads
// them until the switch and the new one never. True when any moved.
bool Step::ParkDirectory(NWFat* fat, kwRet* rc) {
    const Place* p = nullptr;
    for (uint32_t i = 0; i < count_; ++i)
        p = old_[i].segment == s_ ? &old_[i] : p;
    Words remap;
    if ((*rc = remap.Get(fat->getNumEntries())) != KW_OK)
        return false;
    uint32_t target = begin_;
    uint32_t moves = 0;
    for (uint32_t i = 0; i < 2 * dirCount_; ++i) {
        const uint32_t b = i < dirCount_ ? oldDirP_[i] : oldDirM_[i - dirCount_];
        if (!p->Holds(b) || (b >= begin_ && b - begin_ < delta_))
            continue;
        while (target - begin_ < delta_ && !fat->IsFree(target))
            ++target;
        if (target - begin_ >= delta_)
            break;
        remap[b] = target;
        fat->SetEntry(target++, 0, kReservedLink);
        ++moves;
    }
    if (moves == 0)
        return false;
    fat->SetSearchRange(p->first, p->first + p->blocks - 1);
    *rc = RelocateSegmentBlocks(s_, remap.data());
    fat->ReleaseReservations(p->first, p->first + p->blocks - 1);
    return true;
}

kwRet Step::Vacate() {
    NWFat* fat = nullptr;
    kwRet rc = v_->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    rc = Prepare(fat);
    if (rc == ERR_NO_ROOM_TO_RESIZE && !grow_ && ParkDirectory(fat, &rc) && rc == KW_OK)
        rc = Prepare(fat);
    for (uint32_t i = 0; i < count_ && rc == KW_OK; ++i)
        rc = VacateSegment(fat, old_[i]);
    if (rc != KW_OK)
        fat->Read(); // plans in memory go with the failure
    v_->ReleaseFat(&fat);
    return rc;
}

kwRet Step::Renumber(NWFat* fat) {
    Words scratch;
    kwRet rc = scratch.Get(std::max(oldBlocks_, newBlocks_));
    if (rc != KW_OK)
        return rc;
    rc = grow_ ? fat->InsertEntries(scratch.data(), nullptr, begin_, delta_)
               : fat->RemoveEntries(scratch.data(), nullptr, begin_, delta_);
    fat->ClearTail(0xFFFFFFFF);
    return rc;
}

// Links `count` blocks into a chain (positions 0, 1, ...).
void LinkChain(NWFat* fat, const Words& blocks, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        fat->SetEntry(blocks[i], i, i + 1 < count ? blocks[i + 1] : kChainEnd);
}

// The new FAT's own chains on their places, the directory copy's on free
// blocks the old state does not read.
kwRet Step::PlaceChains(NWFat* fat) {
    for (uint32_t i = 0; i < fatCount_; ++i)
        for (uint32_t b : {fatP_[i], fatM_[i]})
            if (!fat->IsFree(b) || !Writable(b))
                return ERR_NO_ROOM_TO_RESIZE; // not emptied: nothing is written
    LinkChain(fat, fatP_, fatCount_);
    LinkChain(fat, fatM_, fatCount_);
    uint32_t b = 0;
    for (uint32_t i = 0; i < 2 * dirCount_; ++i, ++b) {
        while (b < newBlocks_ && (!fat->IsFree(b) || !Writable(b) || planned_.IsSet(b)))
            ++b;
        if (b >= newBlocks_)
            return ERR_NO_ROOM_TO_RESIZE;
        (i < dirCount_ ? dirP_[i] : dirM_[i - dirCount_]) = b;
        fat->SetEntry(b, 0, kReservedLink); // taken until linked below
    }
    LinkChain(fat, dirP_, dirCount_);
    LinkChain(fat, dirM_, dirCount_);
    return KW_OK;
}

kwRet Step::Build(NWFat* fat) {
    kwRet rc = fat->InitialiseFor(std::max(oldBlocks_, newBlocks_));
    if (rc == ERR_NO_MEMORY)
        return ERR_NW_RESIZE_MEMORY;
    if (rc == KW_OK)
        rc = fat->Read();
    // The old FAT and directory are free in the new table.
    for (uint32_t b = 0; rc == KW_OK && b < oldBlocks_; ++b)
        if (oldSystem_.IsSet(b))
            fat->SetEntry(b, 0, 0);
    if (rc == KW_OK)
        rc = Renumber(fat);
    return rc == KW_OK ? PlaceChains(fat) : rc;
}

kwRet Step::WriteNew(uint32_t block, const void* data) const {
    for (uint32_t i = 0; i < count_; ++i) {
        if (!new_[i].Holds(block))
            continue;
        PartHandle handle;
        kwRet rc = handle.Open(new_[i].segment->GetPartition());
        return rc != KW_OK
                   ? rc
                   : handle.Write(new_[i].sector + (block - new_[i].first) * spb_, data, spb_);
    }
    return ERR_NW_INVALID_BLOCK;
}

kwRet Step::Flush() const {
    for (uint32_t i = 0; i < count_; ++i)
        if (kwRet rc = phyFlush(new_[i].segment->GetPartition()->disk); rc != KW_OK)
            return rc;
    return KW_OK;
}

// The directory, block by block, with the new numbers, to its copy's places.
kwRet Step::WriteDirectory() {
    Words remap;
    STATE_MAP moved;
    kwRet rc = remap.Get(oldBlocks_);
    if (rc != KW_OK || moved.Create(oldBlocks_, false) != KW_OK)
        return ERR_NW_RESIZE_MEMORY;
    for (uint32_t b = 0; b < oldBlocks_; ++b) {
        const uint32_t now = NewNumber(b);
        if (now != b && now != kNoBlock) {
            remap[b] = now;
            moved.SetBit(b);
        }
    }
    const uint32_t bpb = v_->BytesPerBlock();
    uint8_t* block = nullptr;
    if (kwGetMemory(bpb, &block) != KW_OK)
        return ERR_NW_RESIZE_MEMORY;
    for (uint32_t i = 0; i < dirCount_ && rc == KW_OK; ++i) {
        rc = v_->ReadBlock(oldDirP_[i], block);
        if (rc != KW_OK)
            rc = v_->ReadBlock(oldDirM_[i], block);
        for (uint32_t at = 0; rc == KW_OK && at + kDirEntryBytes <= bpb; at += kDirEntryBytes)
            RewriteDirEntry(block + at, remap.data(), &moved);
        if (rc == KW_OK)
            rc = WriteNew(dirP_[i], block);
        if (rc == KW_OK)
            rc = WriteNew(dirM_[i], block);
    }
    kwFreeMemory(&block);
    return rc;
}

kwRet Step::WriteFat(const NWFat* fat) {
    uint8_t* scratch = nullptr;
    if (kwGetMemory(v_->BytesPerBlock(), &scratch) != KW_OK)
        return ERR_NW_RESIZE_MEMORY;
    kwRet rc = KW_OK;
    for (uint32_t i = 0; i < fatCount_ && rc == KW_OK; ++i) {
        const uint8_t* bytes = fat->StoredBlock(i, scratch);
        rc = WriteNew(fatP_[i], bytes);
        if (rc == KW_OK)
            rc = WriteNew(fatM_[i], bytes);
    }
    kwFreeMemory(&scratch);
    return rc;
}

// Every segment entry of the volume takes the new values in one write of
// the volume tables; a failed write puts the old ones back.
kwRet Step::Commit() {
    const uint32_t oldStart = s_->getStartingDiskSector();
    const uint32_t oldSize = s_->getSectorsInSegment();
    uint32_t system[4];
    v_->GetSystemBlocks(system);
    const uint32_t next[4] = {fatP_[0], fatM_[0], dirP_[0], dirM_[0]};
    s_->SetField(SE_START, newStart_);
    s_->SetSectorCount(newSize_);
    v_->SetBlocksInVolume(newBlocks_);
    kwRet rc = v_->SetSystemBlocks(next);
    if (rc != KW_OK) {
        s_->SetField(SE_START, oldStart);
        s_->SetSectorCount(oldSize);
        v_->SetBlocksInVolume(oldBlocks_);
        v_->SetSystemBlocks(system);
    }
    return rc;
}

// After the switch, data on the planned places of FAT blocks that sit on
// stand-ins moves to free blocks of the segment. Without room it stays, and
// so do those FAT blocks.
kwRet Step::ClearPlannedPlaces(NWFat* fat, const Place& p) {
    STATE_MAP wanted;
    if (wanted.Create(newBlocks_, false) != KW_OK)
        return ERR_NW_RESIZE_MEMORY;
    for (uint32_t i = 0; i < fatCount_; ++i) {
        if (fatP_[i] != planP_[i])
            wanted.SetBit(planP_[i]);
        if (fatM_[i] != planM_[i])
            wanted.SetBit(planM_[i]);
    }
    const kwRet rc = MoveOut(
        fat, p, [&](uint32_t b) { return wanted.IsSet(b); },
        [&](uint32_t b) { return planned_.IsSet(b); });
    return rc == ERR_NO_ROOM_TO_RESIZE ? KW_OK : rc;
}

kwRet Step::Settle() {
    bool standIns = false;
    for (uint32_t i = 0; i < fatCount_; ++i)
        standIns = standIns || fatP_[i] != planP_[i] || fatM_[i] != planM_[i];
    if (!standIns)
        return KW_OK;
    NWFat* fat = nullptr;
    kwRet rc = v_->GetFat(&fat);
    for (uint32_t i = 0; i < count_ && rc == KW_OK; ++i)
        rc = ClearPlannedPlaces(fat, new_[i]);
    uint32_t* places[2] = {fatP_.data(), fatM_.data()};
    const uint32_t* planned[2] = {planP_.data(), planM_.data()};
    if (rc == KW_OK)
        rc = fat->MoveChains(places, planned, std::min(fatCount_, fat->NumberOfFatBlocks()));
    if (rc != KW_OK && fat != nullptr)
        fat->Read(); // the table is the disk's again
    v_->ReleaseFat(&fat);
    return rc;
}

kwRet Step::Run(uint32_t newStart, uint32_t newSize) {
    kwRet rc = Plan(newStart, newSize);
    if (rc == KW_OK)
        rc = Vacate();
    if (rc != KW_OK)
        return rc;
    {
        // The new table is built beside the volume's (which nobody holds).
        NWFat fat(v_);
        rc = Build(&fat);
        if (rc == KW_OK)
            rc = WriteDirectory();
        if (rc == KW_OK)
            rc = WriteFat(&fat);
    }
    if (rc == KW_OK)
        rc = Flush();
    if (rc == KW_OK)
        rc = Commit();
    return rc == KW_OK ? Settle() : rc;
}

} // namespace

kwRet RenumberSegment(NWVolume* volume, NetW_Segment* segment, uint32_t newStart,
                      uint32_t newSize) {
    if (volume == nullptr || segment == nullptr || segment->Volume() != volume)
        return ERR_NW_BAD_REFERENCE;
    if (volume->FatInUse())
        return ERR_NW_FAT_IN_USE;
    Step step(volume, segment);
    kwRet rc = step.Run(newStart, newSize);
    // Usage taken while a step held its plans in the table is stale.
    for (NetW_Segment* t = volume->FirstSegment(); t != nullptr; t = t->nextInVolume)
        t->usageStale = true;
    if (rc != KW_OK)
        DbgPrintf("Segment step to %u sectors at %u failed (%u)\r\n", newSize, newStart, rc);
    return rc;
}

} // namespace kw::netware
