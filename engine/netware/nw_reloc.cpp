#include "engine/netware/nw_reloc.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/core/statemap.h"
#include "engine/fs/old_mover.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_redtab.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"

#include <algorithm>
#include <cstring>

namespace kw::netware {

uint32_t MoverBufferCount(uint32_t budget) {
    const uint64_t half = budget / 2;
    if (half < uint64_t{kMoverReserveBytes} + kMoverBufferBytes)
        return 0;
    return uint32_t(std::min((half - kMoverReserveBytes) / kMoverBufferBytes,
                             kMoverMemoryCap / kMoverBufferBytes));
}

uint32_t CountRemappedBlocks(const uint32_t* remap, uint32_t first, uint32_t last) {
    uint32_t n = 0;
    for (uint64_t b = first; b <= last; ++b)
        n += remap[b] != 0;
    return n;
}

kwRet ValidateBlockRemap(const NWFat* fat, const uint32_t* remap, uint32_t first, uint32_t last) {
    STATE_MAP targets;
    if (targets.Create(last + 1, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint64_t b = first; b <= last; ++b) {
        const uint32_t t = remap[b];
        if (t == 0)
            continue;
        // A target outside the window, taken twice, or holding data that stays.
        if (t < first || t > last || targets.IsSet(t))
            return ERR_NW_BAD_REMAP;
        targets.SetBit(t);
        if (!fat->IsFree(t) && !fat->IsReserved(t) && remap[t] == 0)
            return ERR_NW_BAD_REMAP;
    }
    return KW_OK;
}

uint32_t FindFreeBlock(const NWFat* fat, uint32_t cursor) {
    const uint32_t first = fat->getFirstEntryIndex();
    const uint32_t last = fat->getLastEntryIndex();
    for (uint64_t b = std::max(cursor, first); b <= last; ++b)
        if (fat->IsFree(uint32_t(b)))
            return uint32_t(b);
    for (uint32_t b = first; b < cursor && b <= last; ++b)
        if (fat->IsFree(b))
            return b;
    return 0;
}

kwRet FixSystemBlocks(NWVolume* volume, uint32_t* remap, STATE_MAP* map, bool clear) {
    uint32_t blocks[4];
    volume->GetSystemBlocks(blocks);
    bool changed = false;
    for (uint32_t& b : blocks) {
        if (b >= map->GetBitCount() || !map->IsSet(b) || remap[b] == 0)
            continue;
        const uint32_t from = b;
        b = remap[from];
        changed = true;
        if (clear) {
            remap[from] = 0;
            map->ClearBit(from);
        }
    }
    return changed ? volume->SetSystemBlocks(blocks) : KW_OK;
}

kwRet FixDirectoryBlocks(NWVolume* volume, uint32_t* remap, STATE_MAP* map, NWDir* dir,
                         bool fixSystem) {
    if (fixSystem)
        if (kwRet rc = FixSystemBlocks(volume, remap, map, false); rc != KW_OK)
            return rc;
    NWDir* taken = nullptr;
    if (dir == nullptr) {
        if (kwRet rc = volume->GetDir(&taken); rc != KW_OK)
            return rc;
        dir = taken;
    }
    kwRet rc = dir->RewriteAfterRelocation(remap, map);
    if (rc == KW_OK)
        rc = dir->WriteBack();
    if (taken != nullptr)
        volume->ReleaseDir(&taken);
    return rc;
}

namespace {

// The queued sector-run mover; sectors the partition's redirection area
// stands in for are read from and written to their replacements.
class RelocMover : public OLDMOVER {
public:
    RedirectionArea* area = nullptr; // not owned

    kwRet ReadJobs(kwhandle handle) override {
        return area != nullptr ? Pass(handle, false) : OLDMOVER::ReadJobs(handle);
    }
    kwRet WriteJobs(kwhandle handle) override {
        return area != nullptr ? Pass(handle, true) : OLDMOVER::WriteJobs(handle);
    }

private:
    kwRet Pass(kwhandle handle, bool write) {
        write ? SortByTarget() : SortBySource();
        for (MOVER_JOB* j = Jobs(); j != nullptr; j = j->next) {
            const uint32_t first = write ? j->target : j->source;
            for (uint32_t i = 0; first != 0 && i < j->count; ++i) {
                uint32_t sector = 0;
                kwRet rc = area->RedirectedSector(first + i, &sector);
                sector = sector != 0 ? sector : first + i;
                uint8_t* at = j->buffer + uint64_t{i} * kSectorBytes;
                if (rc == KW_OK)
                    rc = write ? kwLogWrite(handle, sector, at, 1)
                               : kwLogRead(handle, sector, at, 1);
                j->result = rc;
                if (rc != KW_OK)
                    return rc;
            }
            j->result = KW_OK;
        }
        return KW_OK;
    }
};

// One relocation run over the FAT's window; see nw_reloc.h for the order of
// its writes.
class Relocation {
public:
    Relocation(NetW_Segment* segment, NWFat* fat, uint32_t* remap)
        : seg_(segment), vol_(segment->Volume()), fat_(fat), remap_(remap),
          first_(fat->getFirstEntryIndex()), last_(fat->getLastEntryIndex()) {}
    ~Relocation();
    Relocation(const Relocation&) = delete;
    Relocation& operator=(const Relocation&) = delete;

    kwRet Run();

private:
    kwRet SetUp(uint32_t total);
    kwRet SetUpRedirection();
    kwRet Pass();
    uint32_t QueueDirect();
    uint32_t QueueChain();
    bool Queue(uint32_t from, uint32_t to);
    void MoveEntry(uint32_t from, uint32_t to);
    kwRet CopyData();
    void RecordPlaces(bool after);
    void Relink();
    kwRet ClearHandled();
    uint32_t SectorOf(uint32_t block) const {
        return (block - seg_->getFirstBlockInSegment()) * vol_->SectorsPerBlock() +
               seg_->GetStartSector();
    }
    bool Handled(uint32_t b) const { return b < handled_.GetBitCount() && handled_.IsSet(b); }

    NetW_Segment* seg_;
    NWVolume* vol_;
    NWFat* fat_;
    uint32_t* remap_;
    uint32_t first_;
    uint32_t last_;
    PartHandle handle_;
    RelocMover mover_;
    RedirectionArea* area_ = nullptr;
    STATE_MAP handled_;
    uint8_t** buffers_ = nullptr;
    uint32_t bufferCount_ = 0;
    kwRet Rollback();
    // The system chains' places: per item (FAT blocks, then directory
    // blocks) and copy (primary, mirror) the place before the pass, after
    // it and the fresh one the pass switches to first.
    enum Slot : uint32_t { kBefore, kAfter, kFresh };
    uint32_t& Place(uint32_t item, uint32_t copy, Slot slot) {
        return places_[6 * item + 3 * copy + slot];
    }
    uint32_t Items() const { return fatBlocks_ + dirBlocks_; }
    bool Shared(uint32_t item) { return Place(item, 0, kBefore) == Place(item, 1, kBefore); }
    bool Copies(uint32_t item) const { return item < fatBlocks_ || dirChanges_; }
    kwRet CountDirBlocks();
    kwRet ChooseFresh();
    void LinkPlaces(Slot slot, bool dir);
    kwRet WriteSystem(Slot slot);
    kwRet WriteDir(Slot from, Slot to, bool rewrite);
    kwRet FlushVolume() const;
    kwRet Switch(Slot slot, Slot back);
    kwRet Commit();

    uint32_t* saved_ = nullptr; // the remap before the pass
    uint8_t* table_ = nullptr;  // the table before the pass
    uint32_t* moved_ = nullptr; // where each block of the pass went
    uint32_t system_[4] = {};   // the system block numbers before the pass
    uint32_t* places_ = nullptr;
    uint32_t fatBlocks_ = 0;
    uint32_t dirBlocks_ = 0;
    bool headMoved_ = false;
    bool dirChanges_ = false; // the directory is written this pass
    bool switched_ = false;   // the disk names the pass's fresh places
};

Relocation::~Relocation() {
    mover_.Reset();
    mover_.FreeJobs();
    for (uint32_t i = 0; buffers_ != nullptr && i < bufferCount_; ++i)
        if (buffers_[i] != nullptr)
            kwFreeMemory(&buffers_[i]);
    if (buffers_ != nullptr)
        kwFreeMemory(&buffers_);
    if (saved_ != nullptr)
        kwFreeMemory(&saved_);
    if (table_ != nullptr)
        kwFreeMemory(&table_);
    if (moved_ != nullptr)
        kwFreeMemory(&moved_);
    if (places_ != nullptr)
        kwFreeMemory(&places_);
    delete area_;
}

// Whether the partition's redirection area stands in for a sector of the
// segment: then the mover goes through it.
kwRet Relocation::SetUpRedirection() {
    PARTITION_INFO* pi = seg_->GetPartition();
    auto* area = new RedirectionArea(pi);
    if (area == nullptr)
        return ERR_NO_MEMORY;
    if (area->Initialise() != KW_OK || area->LoadTables() != KW_OK) {
        delete area; // the signature form: nothing is redirected
        return KW_OK;
    }
    RedirectTable* table = area->Redirects();
    const uint64_t base = uint64_t{area->GetStartSector()} + area->GetSectorCount();
    const uint64_t start = seg_->GetStartSector();
    const uint64_t end = start + seg_->getSectorsInSegment();
    bool inside = false;
    for (uint32_t i = table->FirstRedirected(); i < table->RedirectedEnd() && !inside; ++i) {
        const uint32_t value = table->Get(i);
        inside = value != kRedirFree && value < kRedirReserved && base + value + 128 > start &&
                 base + value < end;
    }
    if (!inside) {
        delete area;
        return KW_OK;
    }
    area_ = area;
    mover_.area = area;
    return KW_OK;
}

kwRet Relocation::SetUp(uint32_t total) {
    const uint32_t entries = fat_->getNumEntries();
    if (kwRet rc = CountDirBlocks(); rc != KW_OK)
        return rc;
    fatBlocks_ = fat_->NumberOfFatBlocks();
    if (kwGetMemory(entries * 4, &saved_) != KW_OK || kwGetMemory(entries * 4, &moved_) != KW_OK ||
        kwGetMemory(std::max<uint32_t>(Items(), 1) * 24, &places_) != KW_OK ||
        handled_.Create(entries, false) != KW_OK)
        return ERR_NO_MEMORY;
    if (kwRet rc = SetUpRedirection(); rc != KW_OK)
        return rc;
    uint32_t budget = 0;
    kwQueryMemoryBudget(&budget);
    const uint32_t bpb = vol_->BytesPerBlock();
    if (MoverBufferCount(budget) == 0 || bpb > kMoverBufferBytes)
        return ERR_NO_MEMORY;
    // No more buffers than the blocks to move fill.
    const uint32_t pieces = kMoverBufferBytes / bpb;
    const uint32_t count = std::min(MoverBufferCount(budget), total / pieces + 1);
    if (mover_.AllocJobs(count * pieces) != KW_OK || kwGetMemory(count * 8, &buffers_) != KW_OK)
        return ERR_NO_MEMORY;
    std::memset(buffers_, 0, count * sizeof *buffers_);
    bufferCount_ = count;
    for (uint32_t i = 0; i < count; ++i) {
        if (kwGetMemory(kMoverBufferBytes, &buffers_[i]) != KW_OK) {
            if (i == 0)
                return ERR_NO_MEMORY;
            break; // fewer buffers do
        }
        for (uint32_t k = 0; k < pieces; ++k)
            mover_.AddBuffer(buffers_[i] + k * bpb, bpb);
    }
    mover_.SetSortMode(OLDMOVER::SORT_JOBS);
    return handle_.Open(seg_->GetPartition());
}

void Relocation::MoveEntry(uint32_t from, uint32_t to) {
    handled_.SetBit(from);
    moved_[from] = to;
    if (fat_->HeadsChain(from))
        headMoved_ = true;
    fat_->SetEntry(to, fat_->Value(from), fat_->Link(from));
}

bool Relocation::Queue(uint32_t from, uint32_t to) {
    MOVER_JOB* job = mover_.GetFreeBuffer();
    if (job == nullptr)
        return false;
    job->source = SectorOf(from);
    job->target = SectorOf(to);
    job->count = vol_->SectorsPerBlock();
    mover_.QueueJob(job);
    MoveEntry(from, to);
    return true;
}

uint32_t Relocation::QueueDirect() {
    uint32_t queued = 0;
    for (uint64_t b = first_; b <= last_; ++b) {
        const uint32_t t = remap_[b];
        if (t == 0 || !fat_->IsReserved(t) || Handled(uint32_t(b)))
            continue;
        if (!Queue(uint32_t(b), t))
            break;
        ++queued;
    }
    return queued;
}

// Blocks that sit on a target and move on themselves are parked in free
// blocks; the parked copy keeps the way on (remap) and the place it left
// takes the parked block's number in the links.
uint32_t Relocation::QueueChain() {
    uint32_t queued = 0;
    uint32_t cursor = first_;
    for (uint64_t b = first_; b <= last_; ++b) {
        uint32_t c = remap_[b];
        if (c == 0 || fat_->IsReserved(c) || Handled(c) || Handled(uint32_t(b)))
            continue;
        for (uint32_t steps = 0; steps <= last_ - first_; ++steps) {
            const uint32_t next = remap_[c];
            if (next == 0 || fat_->IsReserved(next) || Handled(next) || Handled(c))
                break;
            const uint32_t f = FindFreeBlock(fat_, cursor);
            if (f == 0 || !Queue(c, f))
                return queued;
            ++queued;
            cursor = f + 1;
            remap_[f] = next;
            remap_[c] = f;
            c = next;
        }
    }
    return queued;
}

kwRet Relocation::CopyData() {
    kwRet rc = mover_.ReadJobs(handle_.Get());
    if (rc == KW_OK)
        rc = mover_.WriteJobs(handle_.Get());
    if (rc == KW_OK)
        rc = handle_.Flush();
    mover_.Reset();
    return rc;
}

// The directory's length along its primary chain.
kwRet Relocation::CountDirBlocks() {
    uint32_t b = vol_->FirstDirBlock();
    for (dirBlocks_ = 0; b < fat_->getNumEntries() && dirBlocks_ < fat_->getNumEntries();
         ++dirBlocks_)
        b = fat_->Link(b);
    return b == kChainEnd && dirBlocks_ != 0 ? KW_OK : ERR_FAT_INVALID_ENTRIES;
}

// Before: along the chains the disk names; after: where the pass moved them.
void Relocation::RecordPlaces(bool after) {
    const uint32_t entries = fat_->getNumEntries();
    uint32_t chain[4] = {vol_->FirstFatBlock(), vol_->FirstMirrorFatBlock(), vol_->FirstDirBlock(),
                         vol_->FirstMirrorDirBlock()};
    for (uint32_t i = 0; i < Items(); ++i)
        for (uint32_t c = 0; c < 2; ++c) {
            const uint32_t before = Place(i, c, kBefore);
            if (after) {
                Place(i, c, kAfter) =
                    before < entries && moved_[before] != 0 ? moved_[before] : before;
                continue;
            }
            uint32_t& at = chain[(i < fatBlocks_ ? 0 : 2) + c];
            Place(i, c, kBefore) = at;
            at = at < entries ? fat_->Link(at) : kChainEnd;
        }
}

// Fresh places: free in the table before the pass and after it (a block
// the pass emptied is still read by the disk's state), a FAT block's low
// enough that a read along the chain has its entry already. 511 when the
// volume has too few.
kwRet Relocation::ChooseFresh() {
    const uint32_t entries = fat_->getNumEntries();
    const uint64_t perBlock = fat_->EntriesPerBlock();
    // A block reserved but no block's target is one the caller keeps free:
    // it may hold the fresh copy, which leaves again with the pass.
    STATE_MAP targets;
    if (targets.Create(entries, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t b = 0; b < entries; ++b)
        if (remap_[b] != 0 && remap_[b] < entries)
            targets.SetBit(remap_[b]);
    auto fit = [&](uint32_t b) {
        return (fat_->IsFree(b) ||
                (fat_->IsReserved(b) && fat_->Value(b) == 0 && !targets.IsSet(b))) &&
               moved_[b] == 0 && vol_->FindSegment(b) != nullptr;
    };
    uint32_t cursor = 1;
    for (uint32_t i = 0; i < Items(); ++i)
        for (uint32_t c = 0; c < 2; ++c) {
            uint32_t& fresh = Place(i, c, kFresh);
            if (!Copies(i) || (c == 1 && Shared(i))) {
                fresh = Copies(i) ? Place(i, 0, kFresh) : Place(i, c, kAfter);
                continue;
            }
            const uint64_t end =
                i < fatBlocks_ ? std::min<uint64_t>(entries, (i + 1) * perBlock) : entries;
            cursor = i == fatBlocks_ && c == 0 ? 1 : cursor; // the directory may go anywhere
            while (cursor < end && !fit(cursor))
                ++cursor;
            if (cursor >= end)
                return ERR_NO_ROOM_TO_RESIZE;
            fresh = cursor;
            fat_->SetEntry(cursor, 1, kReservedLink); // taken until linked
        }
    return KW_OK;
}

// The system chains on the slot's places (FAT, or the directory).
void Relocation::LinkPlaces(Slot slot, bool dir) {
    const uint32_t from = dir ? fatBlocks_ : 0;
    const uint32_t to = dir ? Items() : fatBlocks_;
    for (uint32_t i = from; i < to; ++i)
        for (uint32_t c = 0; c < 2; ++c)
            fat_->SetEntry(Place(i, c, slot), i - from,
                           i + 1 < to ? Place(i + 1, c, slot) : kChainEnd);
}

// The in-memory table to the FAT blocks of the slot, both copies.
kwRet Relocation::WriteSystem(Slot slot) {
    for (uint32_t i = 0; i < fatBlocks_; ++i)
        for (uint32_t c = 0; c < 2; ++c) {
            if (c == 1 && Shared(i))
                continue;
            if (kwRet rc = fat_->WriteTableBlock(i, Place(i, c, slot)); rc != KW_OK)
                return rc;
        }
    return KW_OK;
}

// The directory's blocks from one slot's places to another's (primary read
// first, the mirror when it fails), the moved blocks' numbers turned to
// their new places on the way.
kwRet Relocation::WriteDir(Slot from, Slot to, bool rewrite) {
    STATE_MAP moved;
    const uint32_t entries = fat_->getNumEntries();
    if (moved.Create(entries, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t b = 0; b < entries; ++b)
        if (moved_[b] != 0)
            moved.SetBit(b);
    const uint32_t bpb = vol_->BytesPerBlock();
    uint8_t* block = nullptr;
    if (kwGetMemory(bpb, &block) != KW_OK)
        return ERR_NO_MEMORY;
    kwRet rc = KW_OK;
    for (uint32_t i = fatBlocks_; i < Items() && rc == KW_OK; ++i) {
        rc = vol_->ReadBlock(Place(i, 0, from), block);
        if (rc != KW_OK)
            rc = vol_->ReadBlock(Place(i, 1, from), block);
        for (uint32_t at = 0; rewrite && rc == KW_OK && at + kDirEntryBytes <= bpb;
             at += kDirEntryBytes)
            RewriteDirEntry(block + at, moved_, &moved);
        for (uint32_t c = 0; c < 2 && rc == KW_OK; ++c)
            if (c == 0 || !Shared(i))
                rc = vol_->WriteBlock(Place(i, c, to), block);
    }
    kwFreeMemory(&block);
    return rc;
}

kwRet Relocation::FlushVolume() const {
    for (NetW_Segment* s = vol_->FirstSegment(); s != nullptr; s = s->nextInVolume)
        if (kwRet rc = phyFlush(s->GetPartition()->disk); rc != KW_OK)
            return rc;
    return KW_OK;
}

// One write of the volume tables names the slot's FAT and directory; when
// it fails, the names of `back` are written again (the disk may hold either
// after a failed write of the tables).
kwRet Relocation::Switch(Slot slot, Slot back) {
    auto names = [&](Slot at, uint32_t blocks[4]) {
        blocks[0] = Place(0, 0, at);
        blocks[1] = Place(0, 1, at);
        blocks[2] = Place(fatBlocks_, 0, at);
        blocks[3] = Place(fatBlocks_, 1, at);
    };
    uint32_t blocks[4];
    names(slot, blocks);
    const kwRet rc = vol_->SetSystemBlocks(blocks);
    if (rc != KW_OK) {
        names(back, blocks);
        vol_->SetSystemBlocks(blocks);
    }
    return rc;
}

// The table after the pass (targets' entries, links to the new places, old
// places empty) is written twice: first with the FAT and a directory that
// changes on fresh places, which the disk's state does not read, switched
// to at one write; then to the system chains' own places (where the pass
// left them), which the fresh state does not read, switched back to.
kwRet Relocation::Commit() {
    dirChanges_ = headMoved_;
    for (uint32_t i = fatBlocks_; i < Items(); ++i)
        dirChanges_ = dirChanges_ || Place(i, 0, kAfter) != Place(i, 0, kBefore) ||
                      Place(i, 1, kAfter) != Place(i, 1, kBefore);
    uint8_t* final = nullptr;
    if (fat_->Snapshot(&final) != KW_OK)
        return ERR_NO_MEMORY;
    kwRet rc = ChooseFresh();
    if (rc != KW_OK) {
        kwFreeMemory(&final);
        return rc;
    }
    for (uint32_t i = 0; i < Items(); ++i)
        for (uint32_t c = 0; c < 2 && Copies(i); ++c)
            fat_->SetEntry(Place(i, c, kAfter), 0, 0);
    LinkPlaces(kFresh, false);
    if (dirChanges_)
        LinkPlaces(kFresh, true);
    rc = WriteSystem(kFresh);
    if (rc == KW_OK && dirChanges_)
        rc = WriteDir(kBefore, kFresh, true);
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc == KW_OK)
        rc = Switch(kFresh, kBefore);
    switched_ = rc == KW_OK;
    fat_->Restore(final);
    kwFreeMemory(&final);
    if (rc == KW_OK)
        rc = WriteSystem(kAfter);
    if (rc == KW_OK && dirChanges_)
        rc = WriteDir(kFresh, kAfter, false);
    if (rc == KW_OK)
        rc = FlushVolume();
    return rc == KW_OK ? Switch(kAfter, kFresh) : rc;
}

void Relocation::Relink() {
    for (uint32_t e = 0; e < fat_->getNumEntries(); ++e) {
        const uint32_t link = fat_->Link(e);
        if (fat_->IsFree(e) || (link & kSuballocBit) != 0 || !Handled(link))
            continue;
        fat_->SetEntry(e, fat_->Value(e), remap_[link]);
    }
}

// The moved blocks' old places are emptied; one that another block is still
// to move onto stays reserved for it.
kwRet Relocation::ClearHandled() {
    for (uint64_t b = first_; b <= last_; ++b)
        if (Handled(uint32_t(b)))
            remap_[b] = 0;
    STATE_MAP targets;
    if (targets.Create(fat_->getNumEntries(), false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint64_t b = first_; b <= last_; ++b)
        if (remap_[b] != 0 && remap_[b] < targets.GetBitCount())
            targets.SetBit(remap_[b]);
    for (uint64_t b = first_; b <= last_; ++b) {
        if (!Handled(uint32_t(b)))
            continue;
        fat_->SetEntry(uint32_t(b), 0, targets.IsSet(uint32_t(b)) ? kReservedLink : 0);
        handled_.ClearBit(uint32_t(b));
    }
    return KW_OK;
}

kwRet Relocation::Pass() {
    std::memcpy(saved_, remap_, fat_->getNumEntries() * 4);
    std::memset(moved_, 0, fat_->getNumEntries() * 4);
    if (table_ != nullptr)
        kwFreeMemory(&table_);
    if (fat_->Snapshot(&table_) != KW_OK)
        return ERR_NO_MEMORY;
    vol_->GetSystemBlocks(system_);
    switched_ = false;
    RecordPlaces(false);
    headMoved_ = false;
    uint32_t queued = 0;
    for (uint32_t n; (n = QueueDirect()) != 0; queued += n)
        if (kwRet rc = CopyData(); rc != KW_OK)
            return rc;
    if (uint32_t n = QueueChain(); n != 0) {
        queued += n;
        if (kwRet rc = CopyData(); rc != KW_OK)
            return rc;
    }
    if (queued == 0)
        return ERR_NO_ROOM_TO_RESIZE; // nothing can move: the passes would not end
    RecordPlaces(true);
    Relink();
    if (kwRet rc = ClearHandled(); rc != KW_OK)
        return rc;
    return Commit();
}

// After a pass that failed before its switch: the table and the system
// block numbers as they were (the disk still holds that state). After the
// switch the disk holds the pass's table on the fresh places, which is
// read again.
kwRet Relocation::Rollback() {
    if (switched_ || table_ == nullptr)
        return fat_->Read();
    fat_->Restore(table_);
    uint32_t now[4];
    vol_->GetSystemBlocks(now);
    return std::memcmp(now, system_, sizeof now) != 0 ? vol_->SetSystemBlocks(system_) : KW_OK;
}

kwRet Relocation::Run() {
    const uint32_t total = CountRemappedBlocks(remap_, first_, last_);
    if (total == 0)
        return KW_OK;
    kwRet rc = ValidateBlockRemap(fat_, remap_, first_, last_);
    if (rc == KW_OK)
        rc = SetUp(total);
    // A free target is reserved for its block: no parked block takes it.
    for (uint64_t b = first_; rc == KW_OK && b <= last_; ++b)
        if (remap_[b] != 0 && fat_->IsFree(remap_[b]))
            fat_->SetEntry(remap_[b], 0, kReservedLink);
    Progress progress;
    while (rc == KW_OK && CountRemappedBlocks(remap_, first_, last_) != 0) {
        rc = Pass();
        if (rc != KW_OK) {
            // The pass's moves are dropped: the table is the disk's again and
            // the remap as it was before the pass.
            DbgPrintf("Relocation pass failed (%u); the FAT is read again\r\n", rc);
            if (!switched_)
                std::memcpy(remap_, saved_, fat_->getNumEntries() * 4);
            Rollback();
            fat_->Read();
            break;
        }
        const uint32_t left = CountRemappedBlocks(remap_, first_, last_);
        rc = progress.Update(uint32_t(uint64_t{total - std::min(left, total)} * 100 / total));
    }
    return rc;
}

} // namespace

kwRet RelocateSegmentBlocks(NetW_Segment* segment, uint32_t* remap) {
    NWVolume* volume = segment->Volume();
    if (volume == nullptr || remap == nullptr)
        return ERR_NW_BAD_REFERENCE;
    NWFat* fat = nullptr;
    kwRet rc = volume->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    {
        Relocation relocation(segment, fat, remap);
        rc = relocation.Run();
    }
    volume->ReleaseFat(&fat);
    return rc;
}

} // namespace kw::netware
