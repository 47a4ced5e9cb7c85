// NETWPART_VOLUME::ResizeAnchorRight: the partition keeps its end and grows
// to the front. The segments keep their sectors on the disk; the partition's
// system structures (the redirection area with its headers, tables and
// replacement blocks, or the signature sector, and the volume tables at the
// new origin) are built whole in the free run before the partition, where
// nothing live lies, and flushed; the partition-table entry that names the
// new start is the commit point. A cut before it leaves the partition as it
// was, a cut after it the new one; the old system structures become free
// space at the front of the new data area.
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
// redirected (old area at `oldOffset` sectors into the partition as it is
// addressed now), each named by its data sector of the new data area.
kwRet CarryRedirections(RedirectionArea* oldArea, uint32_t oldOffset, RedirectionArea* newArea,
                        int64_t change) {
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
        if (!IsRedirected(value))
            continue;
        while (next < to->Entries() && !to->IsFree(next))
            ++next;
        if (next >= to->Entries())
            return ERR_NW_NO_ROOM_TO_RESIZE_REDIR;
        rc = handle.Read(oldOffset + i * spb, block.get(), spb);
        if (rc == KW_OK)
            rc = handle.Write(next * spb, block.get(), spb);
        const uint32_t error = oldArea->Errors()->Get(i);
        to->Set(next, static_cast<uint32_t>(value + change));
        newArea->Errors()->Set(next, IsRedirected(error) ? uint32_t(error + change) : error);
        moved = true;
    }
    if (rc == KW_OK && moved && (rc = to->Write(0, 0)) == KW_OK)
        rc = newArea->Errors()->Write(0, 0);
    return rc;
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
// start that moves up, a planned segment, a mirror group, a hot-fix area
// dropped: not built, 1).
kwRet NETWPART_VOLUME::CheckFrontGrowth(const NETWPART_LIMITS* limits, int64_t* change) {
    const PARTITION_INFO* pi = GetPI();
    const uint32_t newStart = limits->GetNewStart();
    const uint32_t newArea = FrontAreaSize(limits);
    if (newStart >= pi->ulStartSect || IsMirrored(pi) || (area_ != nullptr && newArea == 0))
        return ERR_NOT_SUPPORTED;
    for (int32_t i = 0; i < NW_MAX_VOL_SEGMENTS; ++i)
        if (limits->GetSegmentLimits(i) != nullptr)
            return ERR_NOT_SUPPORTED;
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

// The new system structures at the front, written while the record already
// addresses the new start (the old area lies `growth` sectors in).
kwRet NETWPART_VOLUME::BuildFront(const NETWPART_LIMITS* limits, int64_t change, uint32_t growth,
                                  RedirectionArea** built) {
    PARTITION_INFO* pi = GetPI();
    const uint32_t newArea = FrontAreaSize(limits);
    kwRet rc = KW_OK;
    if (newArea == 0) {
        uint8_t sector[kSectorBytes];
        std::memcpy(sector, signature_, kSectorBytes);
        kwbytes::StoreLe32(sector + SG_PARTITION_SECTORS, limits->GetSize());
        PartHandle handle;
        if ((rc = handle.Open(pi)) == KW_OK)
            rc = handle.Write(0, sector, 1);
    } else {
        const uint32_t spb = area_ != nullptr ? area_->GetSectorsPerBlock() : 8;
        if (area_ != nullptr)
            area_->SetStartSector(growth);
        rc = RedirectionArea::Create(pi, spb, newArea, 0);
        auto* fresh = new RedirectionArea(pi);
        *built = fresh;
        if (rc == KW_OK && fresh == nullptr)
            rc = ERR_NO_MEMORY;
        if (rc == KW_OK)
            rc = fresh->Initialise();
        if (rc == KW_OK && area_ != nullptr)
            rc = CarryRedirections(area_, growth, fresh, change);
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
    rc = nwWriteVolumeTables(pi, newArea != 0 ? newArea : kSignatureOrigin, table);
    return rc != KW_OK ? rc : phyFlush(pi->disk);
}

kwRet NETWPART_VOLUME::ResizeAnchorRight(NETWPART_LIMITS* limits, bool, KWERRORMGR*) {
    PARTITION_INFO* pi = GetPI();
    if (limits->GetNewStart() == pi->ulStartSect && limits->GetSize() == pi->NumSects)
        return KW_OK;
    int64_t change = 0;
    if (kwRet rc = CheckFrontGrowth(limits, &change); rc != KW_OK)
        return rc;
    std::unique_ptr<Progress> progress(new Progress);
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    const uint32_t growth = pi->ulStartSect - limits->GetNewStart();
    const SavedRecord saved(pi);
    pi->ulStartSect = limits->GetNewStart();
    pi->NumSects = limits->GetSize();
    pi->ulRoom = std::max(pi->ulRoom, limits->GetMaxSize());
    ShiftSegmentStarts(change);
    RedirectionArea* built = nullptr;
    kwRet rc = BuildFront(limits, change, growth, &built);
    // The commit: the partition-table entry names the new start.
    if (rc == KW_OK)
        rc = ResizePartition(pi, limits->GetSize());
    if (rc == KW_OK)
        rc = phyFlush(pi->disk);
    if (rc != KW_OK) {
        ShiftSegmentStarts(-change);
        saved.Restore();
        if (area_ != nullptr)
            area_->SetStartSector(0);
        delete built;
        return rc;
    }
    delete area_;
    area_ = built;
    signatureForm_ = area_ == nullptr;
    if (signatureForm_)
        kwbytes::StoreLe32(signature_ + SG_PARTITION_SECTORS, limits->GetSize());
    pi->ulLDABeginSector = GetVolumeTableOrigin();
    progress->Done();
    return KW_OK;
}

} // namespace kw::netware
