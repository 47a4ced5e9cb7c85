#include "engine/netware/nw_segresize.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/kwmemory.h"
#include "engine/core/msgformat.h"
#include "engine/core/progress.h"
#include "engine/core/sectlist.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_reloc.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_segstep.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"

#include <algorithm>
#include <cstring>

namespace kw::netware {

namespace {

constexpr uint32_t kAreaFirstSector = 160; // past the four volume-table copies
constexpr uint32_t kMsgCheckingBadSectors = 414;

uint32_t RoundDown(uint32_t n, uint32_t unit) {
    return n - n % unit;
}

// The neighbours in the partition, by position.
void Neighbours(const NetW_Segment* s, const NetW_Segment** previous, const NetW_Segment** next) {
    *previous = nullptr;
    *next = nullptr;
    const uint64_t start = s->getStartingDiskSector();
    for (const NetW_Segment* t = SegmentsOf(s->GetPartition()); t != nullptr;
         t = t->nextInPartition) {
        if (t == s)
            continue;
        const uint64_t end = uint64_t{t->getStartingDiskSector()} + t->getSectorsInSegment();
        if (end <= start && (*previous == nullptr ||
                             t->getStartingDiskSector() > (*previous)->getStartingDiskSector()))
            *previous = t;
        if (t->getStartingDiskSector() >= start &&
            (*next == nullptr || t->getStartingDiskSector() < (*next)->getStartingDiskSector()))
            *next = t;
    }
}

uint32_t FatBlocksFor(const NWVolume* v, uint64_t blocks) {
    const uint32_t per = 64u << v->BlockShift();
    return uint32_t((blocks + per - 1) / per);
}

// Whether a size change keeps the shape the FAT has: the segment is the
// volume's last (no block is renumbered), the volume keeps its number of FAT
// blocks, and the segment's planned FAT blocks lie inside its new size.
bool KeepsFatShape(const NWVolume* v, const NWFat* fat, const NetW_Segment* s, uint32_t blocks) {
    const uint64_t volumeBlocks = uint64_t{v->BlocksInVolume()} - s->getBlocksInSegment() + blocks;
    return s->nextInVolume == nullptr &&
           FatBlocksFor(v, volumeBlocks) == FatBlocksFor(v, v->BlocksInVolume()) &&
           fat->HighestPlannedFatBlock(s, blocks) < uint64_t{s->getFirstBlockInSegment()} + blocks;
}

// Whether the mirror copy's FAT blocks that take the entries from the
// table's count up to `upTo` hold the table's bytes (the memory holds the
// primary's; a failed write may have left the copies apart there, where the
// volume reads nothing yet).
bool MirrorAgrees(const NWVolume* v, const NWFat* fat, uint32_t upTo) {
    const uint32_t per = fat->EntriesPerBlock();
    const uint32_t bpb = v->BytesPerBlock();
    uint8_t* disk = nullptr;
    uint8_t* scratch = nullptr;
    bool agrees = kwGetMemory(bpb, &disk) == KW_OK && kwGetMemory(bpb, &scratch) == KW_OK;
    uint32_t b = v->FirstMirrorFatBlock();
    for (uint32_t i = 0; agrees && i <= (upTo - 1) / per; ++i, b = fat->Link(b)) {
        if (b >= fat->getNumEntries())
            agrees = false;
        else if (i >= fat->getNumEntries() / per)
            agrees = v->ReadBlock(b, disk) == KW_OK &&
                     std::memcmp(disk, fat->StoredBlock(i, scratch), bpb) == 0;
    }
    if (disk != nullptr)
        kwFreeMemory(&disk);
    if (scratch != nullptr)
        kwFreeMemory(&scratch);
    return agrees;
}

// The segment takes its new size and the volume its new block count, and
// every segment entry of the volume is written: the commit point. A failed
// write puts the values back in memory.
kwRet CommitSize(NWVolume* v, NetW_Segment* s, uint32_t size, uint32_t blocks) {
    const uint32_t oldSize = s->getSectorsInSegment();
    const uint32_t oldBlocks = v->BlocksInVolume();
    s->SetSectorCount(size);
    v->SetBlocksInVolume(blocks);
    kwRet rc = v->WriteSegmentEntries();
    if (rc != KW_OK) {
        s->SetSectorCount(oldSize);
        v->SetBlocksInVolume(oldBlocks);
    }
    return rc;
}

// The volume of a segment, opened for the length of a step.
class HeldVolume {
public:
    ~HeldVolume() {
        if (volume != nullptr)
            nwReleaseVolume(&volume);
    }
    kwRet Open(NetW_Segment* s) {
        kwRet rc = nwOpenVolume(&volume, s, s->GetPartition()->ulSerial, false);
        if (rc == KW_OK && (volume == nullptr || s->Volume() != volume))
            rc = ERR_NW_BAD_REFERENCE;
        return rc;
    }
    NWVolume* volume = nullptr;
};

// What a grow or shrink step checks first: whole blocks, the volume open
// with its FAT free for the step.
kwRet BeginStep(NetW_Segment* s, bool sizeOk, HeldVolume* held) {
    if (!sizeOk)
        return ERR_NW_SEGMENT_LIMITS;
    if (kwRet rc = held->Open(s); rc != KW_OK)
        return rc;
    return held->volume->FatInUse() ? ERR_NW_FAT_IN_USE : KW_OK;
}

// Whether a step can keep every block number and the FAT's shape: the end
// of the volume's last segment moves and its FAT keeps its blocks.
bool InPlace(NWVolume* v, NetW_Segment* s, uint32_t newStart, uint32_t blocks, kwRet* rc) {
    if (newStart != s->getStartingDiskSector())
        return false;
    NWFat* fat = nullptr;
    *rc = v->GetFat(&fat);
    if (*rc != KW_OK)
        return false;
    const bool kept = KeepsFatShape(v, fat, s, blocks);
    v->ReleaseFat(&fat);
    return kept;
}

} // namespace

uint32_t GetSegmentKeepSectors(NetW_Segment* segment) {
    const uint32_t used = GetSegmentUsedSectors(segment);
    return used + (segment->getMySegmentPosition() == 0 ? segment->GetSectorsPerBlock() : 0);
}

kwRet GetSegmentLimits(NetW_Segment* s, uint32_t mode, uint32_t areaEnd, SegmentLimitValues* out) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const uint32_t start = s->getStartingDiskSector();
    const uint32_t size = s->getSectorsInSegment();
    *out = {start, size, start, start, size, size};
    const NetW_Segment* previous = nullptr;
    const NetW_Segment* next = nullptr;
    Neighbours(s, &previous, &next);
    const uint32_t lower = previous != nullptr
                               ? previous->getStartingDiskSector() + previous->getSectorsInSegment()
                               : kAreaFirstSector;
    const uint32_t upperEnd = next != nullptr ? next->getStartingDiskSector() : areaEnd;
    if (lower > start || upperEnd < start + size)
        return ERR_NW_SEGMENT_LIMITS;
    if ((mode & kSegmentStartStays) == 0) {
        out->minStart = lower + (start - lower) % spb;
        const uint32_t upper = upperEnd - size;
        out->maxStart = upper - ((upper - start) + size) % spb;
    }
    uint32_t minimum = size;
    if (kwRet rc = GetSegmentMinimumSize(s, &minimum); rc != KW_OK)
        return rc;
    out->minSize = minimum;
    if ((mode & kSegmentEndStays) == 0)
        out->maxSize += RoundDown(upperEnd - (start + size), spb);
    if ((mode & kSegmentStartStays) == 0)
        out->maxSize += RoundDown(start - lower, spb);
    return KW_OK;
}

kwRet GrowSegment(NetW_Segment* s, uint32_t newSize, uint32_t newStart) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const uint32_t size = s->getSectorsInSegment();
    HeldVolume held;
    if (kwRet rc = BeginStep(s, newSize > size && (newSize - size) % spb == 0, &held); rc != KW_OK)
        return rc;
    NWVolume* v = held.volume;
    const uint32_t newBlocks = newSize / spb;
    const uint32_t added = newBlocks - s->getBlocksInSegment();
    kwRet rc = KW_OK;
    if (!InPlace(v, s, newStart, newBlocks, &rc))
        return rc != KW_OK ? rc : RenumberSegment(v, s, newStart, newSize);
    NWFat* fat = nullptr;
    if ((rc = v->GetFat(&fat)) != KW_OK)
        return rc;
    // The new blocks' entries must read free once they count; the old state
    // reads nothing past its block count, so this write changes nothing it
    // sees.
    const uint32_t upTo = v->BlocksInVolume() + added;
    if (!fat->TailIsFree(upTo) || !MirrorAgrees(v, fat, upTo)) {
        fat->ClearTail(upTo);
        rc = fat->WriteBothCopies();
    }
    if (rc != KW_OK)
        fat->Read(); // the table in memory is the disk's again
    v->ReleaseFat(&fat);
    if (rc == KW_OK)
        rc = CommitSize(v, s, newSize, v->BlocksInVolume() + added);
    return rc;
}

kwRet ShrinkSegment(NetW_Segment* s, uint32_t newSize, uint32_t newStart) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const uint32_t size = s->getSectorsInSegment();
    HeldVolume held;
    if (kwRet rc = BeginStep(s, newSize < size && (size - newSize) % spb == 0, &held); rc != KW_OK)
        return rc;
    NWVolume* v = held.volume;
    const uint32_t newBlocks = newSize / spb;
    // A step that renumbers counts its room itself, the FAT blocks that go
    // with it included.
    kwRet rc = KW_OK;
    if (!InPlace(v, s, newStart, newBlocks, &rc))
        return rc != KW_OK ? rc : RenumberSegment(v, s, newStart, newSize);
    if (newSize < GetSegmentKeepSectors(s))
        return ERR_NO_ROOM_TO_RESIZE;
    NWFat* fat = nullptr;
    if ((rc = v->GetFat(&fat)) != KW_OK)
        return rc;
    const uint32_t first = s->getFirstBlockInSegment();
    const uint32_t last = uint32_t(s->getLastBlockInSegment());
    uint32_t* remap = nullptr;
    if (kwGetMemory(fat->getNumEntries() * 4, &remap) != KW_OK)
        rc = ERR_NW_RESIZE_MEMORY;
    if (rc == KW_OK) {
        std::memset(remap, 0, fat->getNumEntries() * 4);
        fat->SetSearchRange(first, last);
        rc = fat->EvacuateRange(remap, first + newBlocks, last);
        fat->ReleaseReservations(first + newBlocks, last);
    }
    // The blocks that go are emptied (each pass safe on its own), then the
    // new size is committed; the FAT keeps its bytes, the entries past the
    // new count being free.
    if (rc == KW_OK)
        rc = RelocateSegmentBlocks(s, remap);
    if (rc == KW_OK && fat->CountUsed(first + newBlocks, last) != 0)
        rc = ERR_NO_ROOM_TO_RESIZE;
    if (rc != KW_OK)
        fat->Read(); // plans in memory go with the failure
    v->ReleaseFat(&fat);
    if (remap != nullptr)
        kwFreeMemory(&remap);
    if (rc == KW_OK)
        rc = CommitSize(v, s, newSize, v->BlocksInVolume() - (s->getBlocksInSegment() - newBlocks));
    return rc;
}

namespace {

// A size below what the segment must keep becomes that (in whole blocks);
// with the end kept the start moves down by the difference. True when the
// size was raised.
bool ApplyKeep(NetW_Segment* s, uint32_t mode, uint32_t* newStart, uint32_t* newSize) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const uint32_t keep = GetSegmentKeepSectors(s);
    if (*newSize >= keep)
        return false;
    const uint32_t end = *newStart + *newSize;
    *newSize = std::min(s->getSectorsInSegment(), keep + (spb - keep % spb) % spb);
    if (mode == kSegmentEndStays)
        *newStart = end > *newSize ? end - *newSize : 0;
    return true;
}

// The new range lies between the neighbours (or the volume area's first
// sector and the partition's end).
bool InBounds(const NetW_Segment* s, uint32_t newStart, uint32_t newSize) {
    const NetW_Segment* previous = nullptr;
    const NetW_Segment* next = nullptr;
    Neighbours(s, &previous, &next);
    const PARTITION_INFO* pi = s->GetPartition();
    const uint64_t lower = previous != nullptr ? uint64_t{previous->getStartingDiskSector()} +
                                                     previous->getSectorsInSegment()
                                               : kAreaFirstSector;
    const uint64_t upper =
        next != nullptr ? next->getStartingDiskSector()
                        : uint64_t{pi->NumSects} - std::min(pi->NumSects, pi->ulLDABeginSector);
    return newStart >= lower && uint64_t{newStart} + newSize <= upper;
}

// Reads the sectors [from, to) of the volume area that are to take data;
// the first that cannot be read ends the resize (1035).
kwRet TestSectors(NetW_Segment* s, uint32_t from, uint32_t to) {
    if (from >= to)
        return KW_OK;
    PartHandle handle;
    kwRet rc = handle.Open(s->GetPartition());
    if (rc != KW_OK)
        return rc;
    BAD_SECT_LIST bad;
    const uint32_t origin = s->GetStartSector() - s->getStartingDiskSector();
    return bad.TestSects(handle.Get(), from + origin, to - from, kMsgCheckingBadSectors, 0);
}

// A shrink to [newStart, newStart + newSize) (its start moves or its end)
// that finds no room, as when the old FAT and directory and the new ones
// must fit at once, goes in stages: to a size a few blocks larger (8, 16,
// 32, ... blocks) that finds room, then on from there.
kwRet ShrinkInStages(NetW_Segment* s, uint32_t newSize, uint32_t newStart) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const bool front = newStart != s->getStartingDiskSector();
    kwRet rc = ShrinkSegment(s, newSize, newStart);
    bool progress = true;
    while (rc == ERR_NO_ROOM_TO_RESIZE && progress) {
        progress = false;
        const uint32_t size = s->getSectorsInSegment();
        const uint32_t start = s->getStartingDiskSector();
        for (uint64_t extra = 8ull * spb; !progress && newSize + extra < size; extra *= 2) {
            const uint32_t stage = newSize + uint32_t(extra);
            progress = ShrinkSegment(s, stage, front ? start + (size - stage) : start) == KW_OK;
        }
        if (progress)
            rc = ShrinkSegment(s, newSize, newStart);
    }
    return rc;
}

// The growth and shrink steps from the current range to [newStart, newEnd):
// growths first (the blocks to empty find room in them), each step a whole
// commit of its own.
kwRet Steps(NetW_Segment* s, uint32_t newStart, uint32_t newSize, Progress* progress) {
    const uint32_t newEnd = newStart + newSize;
    kwRet rc = KW_OK;
    for (int step = 0; step < 4 && rc == KW_OK; ++step) {
        const uint32_t start = s->getStartingDiskSector();
        const uint32_t size = s->getSectorsInSegment();
        const uint32_t end = start + size;
        if (step == 0 && newStart < start)
            rc = GrowSegment(s, size + (start - newStart), newStart);
        else if (step == 1 && newEnd > end)
            rc = GrowSegment(s, size + (newEnd - end), start);
        else if (step == 2 && newStart > start)
            rc = ShrinkInStages(s, size - (newStart - start), newStart);
        else if (step == 3 && newEnd < end)
            rc = ShrinkInStages(s, newSize, newStart);
        if (rc == KW_OK && progress != nullptr)
            rc = progress->Update(uint32_t(25 * (step + 1)));
    }
    return rc;
}

// Steps to a size that was raised to what the segment must keep: a step
// that renumbers also needs free blocks for the directory's copy, so while
// one finds no room the target grows by a block (the end kept: the start
// comes down by one) as long as it stays below the present size.
kwRet StepsAsFarAsPossible(NetW_Segment* s, uint32_t newStart, uint32_t newSize, uint32_t mode,
                           Progress* progress) {
    const uint32_t spb = s->GetSectorsPerBlock();
    kwRet rc = Steps(s, newStart, newSize, progress);
    while (rc == ERR_NO_ROOM_TO_RESIZE && newSize + spb < s->getSectorsInSegment() &&
           (mode != kSegmentEndStays || newStart >= spb)) {
        newSize += spb;
        newStart -= mode == kSegmentEndStays ? spb : 0;
        if (!InBounds(s, newStart, newSize))
            break;
        rc = Steps(s, newStart, newSize, progress);
    }
    return rc;
}

} // namespace

kwRet ResizeSegment(NetW_Segment* s, uint32_t newStart, uint32_t newSize, uint32_t mode,
                    uint32_t messageId, bool testNewSectors) {
    const uint32_t start = s->getStartingDiskSector();
    const uint32_t size = s->getSectorsInSegment();
    const uint32_t spb = s->GetSectorsPerBlock();
    if (newStart == start && newSize == size)
        return KW_OK;
    if (newSize % spb != size % spb ||
        (newStart > start ? newStart - start : start - newStart) % spb)
        return ERR_NW_SEGMENT_LIMITS;
    const bool raised = ApplyKeep(s, mode, &newStart, &newSize);
    if (newStart == start && newSize == size)
        return KW_OK;
    if (!InBounds(s, newStart, newSize))
        return ERR_NW_SEGMENT_LIMITS;
    Progress* progress = nullptr;
    if (messageId != 0) {
        progress = new Progress;
        if (progress == nullptr)
            return ERR_NO_MEMORY;
        char name[32] = {};
        GetSegmentDisplayName(s, name);
        progress->SetText(FormatString(kwGetMessageText(messageId), name));
    }
    // The sectors of the new range the old one does not cover.
    const uint32_t newEnd = newStart + newSize;
    kwRet rc = KW_OK;
    if (testNewSectors)
        rc = TestSectors(s, newStart, std::min(newEnd, start));
    if (testNewSectors && rc == KW_OK)
        rc = TestSectors(s, std::max(newStart, start + size), newEnd);
    if (rc == KW_OK)
        rc = raised ? StepsAsFarAsPossible(s, newStart, newSize, mode, progress)
                    : Steps(s, newStart, newSize, progress);
    if (progress != nullptr) {
        if (rc == KW_OK)
            rc = progress->Done();
        delete progress;
    }
    return rc;
}

} // namespace kw::netware
