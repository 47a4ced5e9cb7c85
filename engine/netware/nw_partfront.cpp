// NETWPART_VOLUME::ResizeAnchorRight: the partition keeps its end and its
// start moves. The segments keep their sectors on the disk (those in the
// way of a start that moves up are first moved whole to free runs behind
// the new system zone); the partition's new system structures (the
// redirection area with its headers, tables and the old one's replacement
// blocks, or the signature sector, and the volume tables at the new origin)
// are built whole in sectors the partition as it is does not use: the free
// run before it, or the front it gives up. They are flushed, and the
// partition-table entry that names the new start is the commit point: a cut
// before it leaves the partition as it was, a cut after it the new one.
#include "engine/core/progress.h"
#include "engine/disk/pt_write.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_partopen.h"
#include "engine/netware/nw_partresize.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_vtable.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kw::netware {

namespace {

// The partition record as it was, put back when the move does not commit.
struct SavedRecord {
    explicit SavedRecord(PARTITION_INFO* pi)
        : pi(pi), start(pi->ulStartSect), sectors(pi->NumSects), room(pi->ulRoom),
          origin(pi->ulLDABeginSector) {}
    void Restore() const {
        pi->ulStartSect = start;
        pi->NumSects = sectors;
        pi->ulRoom = room;
        pi->ulLDABeginSector = origin;
    }
    PARTITION_INFO* pi;
    uint32_t start, sectors, room, origin;
};

// The new area's replacement blocks for every block the old one had
// redirected, each named by its data sector of the new data area (`change`
// sectors on); both areas are read and written at their start offsets into
// the partition as it is addressed now. A home before the new data area is
// dropped (the checks keep live data out of it).
kwRet CarryRedirections(RedirectionArea* oldArea, RedirectionArea* newArea, int64_t change) {
    if (kwRet rc = oldArea->LoadTables(); rc != KW_OK)
        return rc;
    if (kwRet rc = newArea->LoadTables(); rc != KW_OK)
        return rc;
    RedirectTable* from = oldArea->Redirects();
    RedirectTable* to = newArea->Redirects();
    const uint32_t spb = oldArea->GetSectorsPerBlock();
    if (spb != newArea->GetSectorsPerBlock())
        return ERR_BAD_ARGUMENT;
    std::unique_ptr<uint8_t[]> block(new uint8_t[size_t{spb} * kSectorBytes]);
    PartHandle handle;
    kwRet rc = handle.Open(oldArea->GetPartition());
    uint32_t next = 0;
    bool moved = false;
    for (uint32_t i = 0; rc == KW_OK && i < from->Entries(); ++i) {
        const uint32_t value = from->Get(i);
        if (!IsRedirected(value) || int64_t{value} + change < 0)
            continue;
        while (next < to->Entries() && !to->IsFree(next))
            ++next;
        if (next >= to->Entries())
            return ERR_NW_NO_ROOM_TO_RESIZE_REDIR;
        rc = handle.Read(oldArea->GetStartSector() + i * spb, block.get(), spb);
        if (rc == KW_OK)
            rc = handle.Write(newArea->GetStartSector() + next * spb, block.get(), spb);
        const uint32_t error = oldArea->Errors()->Get(i);
        to->Set(next, static_cast<uint32_t>(value + change));
        newArea->Errors()->Set(next, IsRedirected(error) && int64_t{error} + change >= 0
                                         ? uint32_t(error + change)
                                         : error);
        moved = true;
    }
    const uint32_t offset = newArea->GetStartSector();
    if (rc == KW_OK && moved && (rc = to->Write(0, offset)) == KW_OK)
        rc = newArea->Errors()->Write(0, offset);
    return rc;
}

// A mirror group's header of the old area (its member list) in the new area
// `offset` sectors in, newer than the one its creation wrote.
kwRet CarryMirrorHeader(PARTITION_INFO* pi, const uint8_t* old, uint32_t offset) {
    uint8_t header[kSectorBytes] = {};
    std::memcpy(header, old, kMirrorHeadBytes);
    kwbytes::StoreLe16(header + MF_COUNTER, NextCounter(1));
    kwbytes::StoreLe16(header + MF_FAILED_COPIES, 0);
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    for (uint32_t i = 0; rc == KW_OK && i < kHeaderCopies; ++i)
        rc = handle.Write(offset + kMirrorFirstCopy + kHeaderCopyStride * i, header, 1);
    return rc;
}

// A run of partition sectors [start, end).
struct Run {
    uint64_t start, end;
};

bool IsFree(const Run* runs, uint32_t count, uint64_t start, uint64_t end) {
    for (uint32_t i = 0; i < count; ++i)
        if (start < runs[i].end && runs[i].start < end)
            return false;
    return true;
}

// Free runs at or behind zoneEnd, before ldaEnd, for every segment that
// starts before zoneEnd: the lowest that touches no segment where it lies
// now (its own run included: it stays live until its copy is done) and no
// run given out before. 511 when one does not fit.
kwRet PlaceSegments(const PARTITION_INFO* pi, uint64_t zoneEnd, uint64_t ldaEnd,
                    NetW_Segment** moving, uint32_t* targets, uint32_t* count) {
    Run runs[2 * kMaxTableEntries];
    uint32_t n = 0;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr && n < kMaxTableEntries;
         s = s->nextInPartition)
        runs[n++] = {s->GetStartSector(), uint64_t{s->GetStartSector()} + s->getSectorsInSegment()};
    *count = 0;
    uint32_t guard = 0;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition) {
        if (s->GetStartSector() >= zoneEnd)
            continue;
        const uint64_t size = s->getSectorsInSegment();
        uint64_t best = UINT64_MAX;
        for (uint32_t i = 0; i <= n; ++i) {
            const uint64_t at = i < n ? std::max(runs[i].end, zoneEnd) : zoneEnd;
            if (at < best && at + size <= ldaEnd && IsFree(runs, n, at, at + size))
                best = at;
        }
        if (best == UINT64_MAX)
            return ERR_NO_ROOM_TO_RESIZE;
        moving[*count] = s;
        targets[(*count)++] = static_cast<uint32_t>(best);
        runs[n++] = {best, best + size};
    }
    return KW_OK;
}

} // namespace

// The new area's size: the limits' split, on the area's block grid (the
// split may carry the low bits that keep the data area in whole 8-sector
// units; the data area then starts those sectors earlier).
uint32_t NETWPART_VOLUME::FrontAreaSize(const NETWPART_LIMITS* limits) const {
    const uint32_t spb = area_ != nullptr ? area_->GetSectorsPerBlock() : 8;
    const uint32_t h = limits->GetRedirectionSize();
    return spb != 0 ? h - h % spb : h;
}

// The checks of a move to the front, before anything is written: the new
// system zone lies in the free run before the partition, the segments keep
// their sectors inside the new data area, and nothing else is asked (a
// planned segment or a hot-fix area dropped: not built, 1).
kwRet NETWPART_VOLUME::CheckFrontGrowth(const NETWPART_LIMITS* limits, int64_t* change) {
    const PARTITION_INFO* pi = GetPI();
    const uint32_t newStart = limits->GetNewStart();
    const uint32_t newArea = FrontAreaSize(limits);
    if (area_ != nullptr && newArea == 0)
        return ERR_NOT_SUPPORTED;
    for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i)
        if (limits->GetSegmentLimits(i) != nullptr)
            return ERR_NOT_SUPPORTED;
    if (newStart >= pi->ulStartSect)
        return KW_OK;
    const uint32_t growth = pi->ulStartSect - newStart;
    const uint64_t newOrigin = newArea != 0 ? newArea : kSignatureOrigin;
    if (newOrigin + kVolumeTableZone > growth)
        return ERR_NW_SEGMENT_LIMITS;
    *change = int64_t{growth} + GetVolumeTableOrigin() - int64_t(newOrigin);
    uint32_t guard = 0;
    for (const NetW_Segment* s = SegmentsOf(pi); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition)
        if (s->getStartingDiskSector() + *change + s->getSectorsInSegment() > limits->getLDASize())
            return ERR_NW_SEGMENT_LIMITS;
    return KW_OK;
}

// The checks of a start that moves up, before anything is written: the
// front given up holds the old system zone whole (the new one is built
// behind it while the old one is live), no redirected home lies in the new
// zone, the segments in the new zone have free runs behind it (511), and
// every segment ends inside the new data area.
kwRet NETWPART_VOLUME::CheckFrontCut(const NETWPART_LIMITS* limits, int64_t* change,
                                     NetW_Segment** moving, uint32_t* targets, uint32_t* count) {
    const PARTITION_INFO* pi = GetPI();
    const uint64_t cut = limits->GetNewStart() - pi->ulStartSect;
    const uint64_t oldOrigin = GetVolumeTableOrigin();
    const uint32_t newArea = FrontAreaSize(limits);
    const uint64_t newOrigin = cut + (newArea != 0 ? newArea : kSignatureOrigin);
    const uint64_t zoneEnd = newOrigin + kVolumeTableZone;
    if (cut < oldOrigin + kVolumeTableZone)
        return ERR_NW_SEGMENT_LIMITS;
    const uint64_t ldaEnd =
        std::min(oldOrigin + GetDataAreaSectors(), newOrigin + limits->getLDASize());
    if (area_ != nullptr) {
        if (kwRet rc = area_->LoadTables(); rc != KW_OK)
            return rc;
        const RedirectTable* table = area_->Redirects();
        for (uint32_t i = 0; i < table->Entries(); ++i) {
            const uint64_t home = oldOrigin + table->Get(i);
            if (IsRedirected(table->Get(i)) && home + area_->GetSectorsPerBlock() > cut &&
                home < zoneEnd)
                return ERR_NW_SEGMENT_LIMITS;
        }
    }
    uint32_t guard = 0;
    for (const NetW_Segment* s = SegmentsOf(pi); s != nullptr && guard++ < kMaxTableEntries;
         s = s->nextInPartition)
        if (uint64_t{s->GetStartSector()} + s->getSectorsInSegment() > ldaEnd)
            return ERR_NW_SEGMENT_LIMITS;
    *change = int64_t(oldOrigin) - int64_t(newOrigin);
    return PlaceSegments(pi, zoneEnd, ldaEnd, moving, targets, count);
}

// The new system structures, `offset` sectors into the partition as it is
// addressed now (the old area at its own start offset).
kwRet NETWPART_VOLUME::BuildFront(const NETWPART_LIMITS* limits, int64_t change, uint32_t offset,
                                  const uint8_t* mirror, RedirectionArea** built) {
    PARTITION_INFO* pi = GetPI();
    const uint32_t newArea = FrontAreaSize(limits);
    kwRet rc = KW_OK;
    if (newArea == 0) {
        uint8_t sector[kSectorBytes];
        std::memcpy(sector, signature_, kSectorBytes);
        kwbytes::StoreLe32(sector + SG_PARTITION_SECTORS, limits->GetSize());
        PartHandle handle;
        if ((rc = handle.Open(pi)) == KW_OK)
            rc = handle.Write(offset, sector, 1);
    } else {
        const uint32_t spb = area_ != nullptr ? area_->GetSectorsPerBlock() : 8;
        rc = RedirectionArea::Create(pi, spb, newArea, offset);
        auto* fresh = new RedirectionArea(pi, offset);
        *built = fresh;
        if (rc == KW_OK && fresh == nullptr)
            rc = ERR_NO_MEMORY;
        if (rc == KW_OK)
            rc = fresh->Initialise();
        if (rc == KW_OK && mirror != nullptr)
            rc = CarryMirrorHeader(pi, mirror, offset);
        if (rc == KW_OK && area_ != nullptr)
            rc = CarryRedirections(area_, fresh, change);
        if (rc == KW_OK) {
            uint8_t header[kSectorBytes];
            std::memcpy(header, fresh->Header(), kSectorBytes);
            kwbytes::StoreLe32(header + HF_DATA_SECTORS, limits->getLDASize());
            fresh->ReplaceHeader(header);
            rc = fresh->WriteHotfixHeader();
        }
    }
    if (rc != KW_OK)
        return rc;
    uint8_t table[kSectorBytes];
    BuildTable(SegmentsOf(pi), table);
    rc = nwWriteVolumeTables(pi, offset + (newArea != 0 ? newArea : kSignatureOrigin), table);
    return rc != KW_OK ? rc : phyFlush(pi->disk);
}

// Switches the record to the new start and size, builds the new system
// structures and writes the partition-table entry (the commit); on any
// failure the record, the segments and the area object are as before.
kwRet NETWPART_VOLUME::CommitFront(const NETWPART_LIMITS* limits, int64_t change,
                                   const uint8_t* mirror) {
    PARTITION_INFO* pi = GetPI();
    const bool grows = limits->GetNewStart() < pi->ulStartSect;
    const uint32_t offset = grows ? 0 : limits->GetNewStart() - pi->ulStartSect;
    const SavedRecord saved(pi);
    auto takeNewRecord = [&] {
        pi->ulStartSect = limits->GetNewStart();
        pi->NumSects = limits->GetSize();
        pi->ulRoom = std::max(pi->ulRoom, limits->GetMaxSize());
    };
    // Growing, the old area lies behind the new start from now on.
    if (grows) {
        takeNewRecord();
        if (area_ != nullptr)
            area_->SetStartSector(saved.start - pi->ulStartSect);
    }
    // The tables at the new origin name the segments' sectors from there.
    kwRet rc = ShiftSegmentStarts(change);
    const bool shifted = rc == KW_OK;
    RedirectionArea* built = nullptr;
    if (rc == KW_OK)
        rc = BuildFront(limits, change, offset, mirror, &built);
    if (rc == KW_OK) {
        takeNewRecord();
        rc = ResizePartition(pi, limits->GetSize());
    }
    if (rc == KW_OK)
        rc = phyFlush(pi->disk);
    if (rc != KW_OK) {
        if (shifted)
            ShiftSegmentStarts(-change);
        saved.Restore();
        if (area_ != nullptr)
            area_->SetStartSector(0);
        delete built;
        return rc;
    }
    delete area_;
    area_ = built;
    if (area_ != nullptr)
        area_->SetStartSector(0);
    signatureForm_ = area_ == nullptr;
    if (signatureForm_)
        kwbytes::StoreLe32(signature_ + SG_PARTITION_SECTORS, limits->GetSize());
    pi->ulLDABeginSector = GetVolumeTableOrigin();
    return KW_OK;
}

kwRet NETWPART_VOLUME::ResizeAnchorRight(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors) {
    PARTITION_INFO* pi = GetPI();
    if (limits->GetNewStart() == pi->ulStartSect && limits->GetSize() == pi->NumSects)
        return KW_OK;
    int64_t change = 0;
    NetW_Segment* moving[kMaxTableEntries];
    uint32_t targets[kMaxTableEntries];
    uint32_t count = 0;
    kwRet rc = CheckFrontGrowth(limits, &change);
    if (rc == KW_OK && limits->GetNewStart() > pi->ulStartSect)
        rc = CheckFrontCut(limits, &change, moving, targets, &count);
    if (rc != KW_OK)
        return rc;
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    // Segments in the way of the new system zone go first, each move whole.
    for (uint32_t i = 0; i < count; ++i) {
        FreeSpace target(pi, targets[i], moving[i]->getSectorsInSegment());
        if ((rc = MoveSegment(moving[i], &target, test, false)) != KW_OK ||
            (rc = nwCheckSegmentVolume(moving[i], errors)) != KW_OK)
            return rc;
    }
    // A mirror group's member list goes with the area.
    uint8_t mirror[kMirrorHeadBytes] = {};
    const bool mirrored = area_ != nullptr && IsMirrored(pi);
    if (mirrored && (rc = nwReadMirrorHeaderBytes(pi, mirror)) != KW_OK)
        return rc;
    if ((rc = CommitFront(limits, change, mirrored ? mirror : nullptr)) != KW_OK)
        return rc;
    return progress->Done();
}

} // namespace kw::netware
