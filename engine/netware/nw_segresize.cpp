#include "engine/netware/nw_segresize.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/kwmemory.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_reloc.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"

#include <algorithm>
#include <cstring>

namespace kw::netware {

namespace {

constexpr uint32_t kAreaFirstSector = 160; // past the four volume-table copies

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

// What a grow or shrink step checks first: whole blocks, the start kept,
// the volume open with its FAT free for the step.
kwRet BeginStep(NetW_Segment* s, bool sizeOk, uint32_t newStart, HeldVolume* held) {
    if (!sizeOk)
        return ERR_NW_SEGMENT_LIMITS;
    if (newStart != s->getStartingDiskSector())
        return ERR_NOT_SUPPORTED;
    if (kwRet rc = held->Open(s); rc != KW_OK)
        return rc;
    return held->volume->FatInUse() ? ERR_NW_FAT_IN_USE : KW_OK;
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
    if (kwRet rc = BeginStep(s, newSize > size && (newSize - size) % spb == 0, newStart, &held);
        rc != KW_OK)
        return rc;
    NWVolume* v = held.volume;
    const uint32_t newBlocks = newSize / spb;
    const uint32_t added = newBlocks - s->getBlocksInSegment();
    NWFat* fat = nullptr;
    kwRet rc = v->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    if (!KeepsFatShape(v, fat, s, newBlocks)) {
        v->ReleaseFat(&fat);
        return ERR_NOT_SUPPORTED;
    }
    // The new blocks' entries must read free once they count; the old state
    // reads nothing past its block count, so this write changes nothing it
    // sees.
    if (!fat->TailIsFree(v->BlocksInVolume() + added)) {
        fat->ClearTail(v->BlocksInVolume() + added);
        rc = fat->Write();
    }
    v->ReleaseFat(&fat);
    if (rc == KW_OK)
        rc = CommitSize(v, s, newSize, v->BlocksInVolume() + added);
    return rc;
}

kwRet ShrinkSegment(NetW_Segment* s, uint32_t newSize, uint32_t newStart) {
    const uint32_t spb = s->GetSectorsPerBlock();
    HeldVolume held;
    if (kwRet rc =
            BeginStep(s, newSize < s->getSectorsInSegment() && newSize % spb == 0, newStart, &held);
        rc != KW_OK)
        return rc;
    NWVolume* v = held.volume;
    const uint32_t newBlocks = newSize / spb;
    if (newSize < GetSegmentKeepSectors(s))
        return ERR_NO_ROOM_TO_RESIZE;
    NWFat* fat = nullptr;
    kwRet rc = v->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    const uint32_t first = s->getFirstBlockInSegment();
    const uint32_t last = uint32_t(s->getLastBlockInSegment());
    uint32_t* remap = nullptr;
    if (!KeepsFatShape(v, fat, s, newBlocks))
        rc = ERR_NOT_SUPPORTED;
    else if (kwGetMemory(fat->getNumEntries() * 4, &remap) != KW_OK)
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

kwRet ResizeSegment(NetW_Segment* s, uint32_t newStart, uint32_t newSize, uint32_t mode,
                    uint32_t messageId, bool testNewSectors) {
    (void)messageId;
    (void)testNewSectors;
    const uint32_t start = s->getStartingDiskSector();
    const uint32_t size = s->getSectorsInSegment();
    const uint32_t spb = s->GetSectorsPerBlock();
    if (newStart == start && newSize == size)
        return KW_OK;
    if (newStart != start)
        return ERR_NOT_SUPPORTED;
    if (newSize > size)
        return (newSize - size) % spb != 0 ? ERR_NW_SEGMENT_LIMITS : GrowSegment(s, newSize, start);
    // As small as asked, or as the used blocks allow (the start stays, so
    // a request that would move it to keep the end is not built).
    uint32_t target = RoundDown(newSize, spb);
    const uint32_t keep = GetSegmentKeepSectors(s);
    if (target < keep)
        target = std::min(size, keep + (spb - keep % spb) % spb);
    if (target != RoundDown(newSize, spb) && mode == kSegmentEndStays)
        return ERR_NOT_SUPPORTED;
    return target == size ? KW_OK : ShrinkSegment(s, target, start);
}

} // namespace kw::netware
