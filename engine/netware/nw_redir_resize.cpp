// Planning a redirection area resize: evacuation of a range, moves out of a
// new layout's system blocks, and the checks made before any write.
#include "engine/netware/nw_redir_resize.h"

#include "engine/core/dbgmgr.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_limits.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

namespace kw::netware {

namespace {

// The header copies lie in the first blocks: an area must reach past the
// last of them.
constexpr uint32_t kLeastAreaSectors = kMirrorFirstCopy + 3 * kHeaderCopyStride + 1;

// Whether entry j can take a block: free, not reserved, and not a block
// the plan already gave a role.
bool Takeable(RedirectTable* table, const uint32_t* remap, uint32_t j) {
    return table->Get(j) == kRedirFree && remap[j] == 0;
}

} // namespace

kwRet nwEvacuateRange(RedirectTable* table, uint32_t first, uint32_t last, uint32_t* remap) {
    if (first > last)
        return ERR_NW_BAD_RANGE;
    const uint32_t n = table->Entries();
    if (n == 0)
        return KW_OK;
    last = std::min(last, n - 1);
    uint32_t redirected = 0, freeOutside = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const bool inside = i >= first && i <= last;
        const uint32_t value = table->Get(i);
        redirected += inside && IsRedirected(value);
        freeOutside += !inside && value == kRedirFree;
    }
    if (redirected > freeOutside)
        return ERR_NW_NO_ROOM_TO_RESIZE_REDIR;
    uint32_t next = 0;
    for (uint32_t i = first; i <= last && i < n; ++i) {
        if (!IsRedirected(table->Get(i)))
            continue;
        while (next < n && ((next >= first && next <= last) || table->Get(next) != kRedirFree))
            ++next;
        if (next >= n) {
            DbgPrintf("Unexpected ERR_NW_NO_ROOM_TO_RESIZE_REDIR\r\n");
            return ERR_NW_NO_ROOM_TO_RESIZE_REDIR;
        }
        remap[i] = next;
        table->Set(next, kRedirReserved);
    }
    for (uint32_t i = first; i <= last && i < n; ++i)
        if (table->Get(i) == kRedirFree)
            table->Set(i, kRedirReserved);
    return KW_OK;
}

void nwReleaseRange(RedirectTable* table, uint32_t first, uint32_t last) {
    for (uint32_t i = first; i <= last && i < table->Entries(); ++i)
        if (table->Get(i) == kRedirReserved)
            table->Set(i, kRedirFree);
}

kwRet nwPlanLayoutMoves(RedirectTable* table, const uint8_t* newHeader, uint32_t* remap,
                        uint32_t entries) {
    // The system blocks of the new layout, from a table built on it.
    RedirectTable layout(nullptr, newHeader);
    if (kwRet rc = layout.Initialise(true); rc != KW_OK)
        return rc;
    layout.MarkSystemBlocks();
    const uint32_t n = std::min(entries, table->Entries());
    for (uint32_t i = 0; i < std::min(n, layout.Entries()); ++i)
        if (layout.Get(i) == kRedirSystem && remap[i] == 0)
            remap[i] = kRedirReserved;
    kwRet rc = KW_OK;
    uint32_t next = 0;
    for (uint32_t i = 0; i < n && rc == KW_OK; ++i) {
        if (!IsRedirected(table->Get(i)) || remap[i] != kRedirReserved)
            continue;
        // The first free entry from the last one taken: entries in use or
        // taken by the layout are passed over, not the end of the search.
        while (next < n && !Takeable(table, remap, next))
            ++next;
        if (next >= n) {
            DbgPrintf("Unexpected ERR_NW_NO_ROOM_TO_RESIZE_REDIR\r\n");
            rc = ERR_NW_NO_ROOM_TO_RESIZE_REDIR;
            break;
        }
        remap[i] = next;
        table->Set(next, kRedirReserved);
    }
    for (uint32_t i = 0; i < table->Entries(); ++i)
        if (remap[i] == kRedirReserved)
            remap[i] = 0;
    return rc;
}

kwRet nwCheckAreaResize(RedirectionArea* area, uint32_t newSize, const NetW_Segment* first) {
    const uint32_t spb = area->GetSectorsPerBlock();
    if (spb == 0 || newSize % spb != 0 || newSize < kLeastAreaSectors)
        return ERR_BAD_ARGUMENT;
    if (first != nullptr) {
        const uint64_t origin = uint64_t{area->GetStartSector()} + newSize;
        if (origin + kVolumeTableZone > first->GetStartSector())
            return ERR_NW_SEGMENT_LIMITS;
    }
    if (kwRet rc = area->LoadTables(); rc != KW_OK)
        return rc;
    // The new layout's system blocks and every redirected block must fit.
    uint8_t header[kSectorBytes];
    std::memcpy(header, area->Header(), kSectorBytes);
    kwbytes::StoreLe32(header + HF_AREA_SECTORS, newSize);
    if (kwRet rc = LayoutTables(header); rc != KW_OK)
        return rc;
    RedirectTable layout(nullptr, header);
    if (kwRet rc = layout.Initialise(true); rc != KW_OK)
        return rc;
    layout.MarkSystemBlocks();
    const uint64_t needed = uint64_t{layout.SystemBlocks()} + area->Redirects()->RedirectedBlocks();
    return needed > newSize / spb ? ERR_NW_NO_ROOM_TO_RESIZE_REDIR : KW_OK;
}

} // namespace kw::netware

namespace kw::netware {

namespace {

// One resize in progress: the partition, its area, both sizes and the
// in-memory state to restore when it does not commit.
class AreaResize {
public:
    AreaResize(NETWPART_VOLUME* volume, uint32_t newSize)
        : volume_(volume), pi_(volume->GetPI()), area_(volume->Area()), new_(newSize) {}
    ~AreaResize() {
        if (remap_ != nullptr)
            kwFreeMemory(&remap_);
    }
    AreaResize(const AreaResize&) = delete;
    AreaResize& operator=(const AreaResize&) = delete;

    kwRet Run();

private:
    kwRet Check();
    kwRet Evacuate();
    kwRet PlaceTables();
    kwRet MoveBlocks();
    kwRet WriteNewTables();
    kwRet Commit();
    void ShiftSegments(int64_t by);
    void Restore();

    NETWPART_VOLUME* volume_;
    PARTITION_INFO* pi_;
    RedirectionArea* area_;
    uint32_t new_;
    uint32_t old_ = 0;
    uint32_t spb_ = 0;
    int64_t delta_ = 0; // old size - new size: the data area's gain at its front
    uint32_t* remap_ = nullptr;
    bool moved_ = false;
    uint8_t oldHeader_[kSectorBytes] = {};
    uint8_t newHeader_[kSectorBytes] = {};
};

NetW_Segment* FirstSegment(PARTITION_INFO* pi) {
    NetW_Segment* first = nullptr;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition)
        if (first == nullptr || s->getStartingDiskSector() < first->getStartingDiskSector())
            first = s;
    return first;
}

kwRet AreaResize::Check() {
    old_ = area_->GetSectorCount();
    spb_ = area_->GetSectorsPerBlock();
    delta_ = int64_t{old_} - new_;
    std::memcpy(oldHeader_, area_->Header(), kSectorBytes);
    if (kwRet rc = nwCheckAreaResize(area_, new_, FirstSegment(pi_)); rc != KW_OK)
        return rc;
    // The volume tables of the two origins must lie in different sectors.
    for (uint32_t k = 1; k <= kVolumeTableCopies; ++k)
        for (uint32_t j = 1; j <= kVolumeTableCopies; ++j)
            if (uint64_t{old_} + kVolumeTableStride * k == uint64_t{new_} + kVolumeTableStride * j)
                return ERR_NW_SEGMENT_LIMITS;
    const int64_t data = int64_t{kwbytes::LoadLe32(oldHeader_ + HF_DATA_SECTORS)} + delta_;
    if (data <= 0 || data > UINT32_MAX)
        return ERR_NW_SEGMENT_LIMITS;
    const uint32_t entries = area_->Redirects()->Entries();
    if (kwGetMemory(std::max(entries, 1u) * 4, &remap_) != KW_OK)
        return ERR_NO_MEMORY;
    std::memset(remap_, 0, std::max(entries, 1u) * 4);
    return KW_OK;
}

// Replacement blocks in the blocks the area loses get free blocks below.
kwRet AreaResize::Evacuate() {
    RedirectTable* t = area_->Redirects();
    if (new_ >= old_ || new_ / spb_ >= t->Entries())
        return KW_OK;
    return nwEvacuateRange(t, new_ / spb_, t->Entries() - 1, remap_);
}

// The new table blocks go to blocks of the new area that the area as it is
// leaves free, lowest first: the old tables stay readable until the new
// header takes over.
kwRet AreaResize::PlaceTables() {
    RedirectTable* t = area_->Redirects();
    std::memcpy(newHeader_, oldHeader_, kSectorBytes);
    kwbytes::StoreLe32(newHeader_ + HF_AREA_SECTORS, new_);
    kwbytes::StoreLe32(
        newHeader_ + HF_DATA_SECTORS,
        static_cast<uint32_t>(kwbytes::LoadLe32(oldHeader_ + HF_DATA_SECTORS) + delta_));
    std::memset(newHeader_ + HF_TABLES, 0, kMaxRedirectTables * kDescriptorBytes);
    const uint32_t entries = new_ / spb_;
    const uint64_t bytesPerBlock = uint64_t{spb_} * kSectorBytes;
    const uint64_t blocks = (uint64_t{entries} * 4 + bytesPerBlock - 1) / bytesPerBlock;
    if (blocks == 0 || blocks > kMaxRedirectTables)
        return ERR_NW_NO_TABLE_ROOM;
    const uint32_t firstData = kVolumeTableZone / spb_;
    uint32_t next = firstData;
    for (uint32_t d = 0; d < blocks; ++d)
        for (uint32_t f = 0; f < 4; ++f) {
            while (next < std::min(entries, t->Entries()) && t->Get(next) != kRedirFree)
                ++next;
            if (next >= std::min(entries, t->Entries()))
                return ERR_NW_NO_TABLE_ROOM;
            t->Set(next, kRedirReserved);
            kwbytes::StoreLe32(newHeader_ + HF_TABLES + d * kDescriptorBytes + 4 * f, next * spb_);
        }
    return KW_OK;
}

// Copies the evacuated blocks to their new places and names them there too
// (the old entries stay until the new tables replace them).
kwRet AreaResize::MoveBlocks() {
    RedirectTable* t = area_->Redirects();
    ErrorTable* e = area_->Errors();
    const uint32_t offset = area_->GetStartSector();
    uint8_t* block = nullptr;
    if (kwGetMemory(spb_ * kSectorBytes, &block) != KW_OK)
        return ERR_NO_MEMORY;
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    for (uint32_t i = 0; rc == KW_OK && i < t->Entries(); ++i) {
        if (remap_[i] == 0)
            continue;
        rc = handle.Read(offset + i * spb_, block, spb_);
        if (rc == KW_OK)
            rc = handle.Write(offset + remap_[i] * spb_, block, spb_);
        moved_ = true;
    }
    kwFreeMemory(&block);
    if (rc == KW_OK && moved_)
        rc = handle.Flush();
    for (uint32_t i = 0; i < t->Entries(); ++i) {
        if (remap_[i] != 0) {
            t->Set(remap_[i], t->Get(i));
            e->Set(remap_[i], e->Get(i));
        }
        if (t->Get(i) == kRedirReserved)
            t->Set(i, kRedirFree);
    }
    if (rc == KW_OK && moved_ && (rc = t->Write(0, offset)) == KW_OK)
        rc = e->Write(0, offset);
    return rc;
}

// The tables of the new area, written to their new places: the redirected
// entries it keeps, each renumbered for the moved front of the data area.
kwRet AreaResize::WriteNewTables() {
    RedirectTable* t = area_->Redirects();
    ErrorTable* e = area_->Errors();
    RedirectTable nt(pi_, newHeader_);
    ErrorTable ne(pi_, newHeader_);
    kwRet rc = nt.Initialise(true);
    if (rc == KW_OK)
        rc = ne.Initialise(true);
    if (rc != KW_OK)
        return rc;
    nt.MarkSystemBlocks();
    for (uint32_t i = 0; i < std::min(nt.Entries(), t->Entries()); ++i) {
        const uint32_t value = t->Get(i);
        const int64_t home = int64_t{value} + delta_;
        // A home inside the grown area is no data sector any more.
        if (!IsRedirected(value) || home < 0 || home >= kRedirReserved || !nt.IsFree(i))
            continue;
        nt.Set(i, static_cast<uint32_t>(home));
        const uint32_t error = e->Get(i);
        ne.Set(i, IsRedirected(error) && int64_t{error} + delta_ >= 0
                      ? static_cast<uint32_t>(int64_t{error} + delta_)
                      : error);
    }
    const uint32_t offset = area_->GetStartSector();
    if ((rc = nt.Write(0, offset)) == KW_OK)
        rc = ne.Write(0, offset);
    return rc;
}

void AreaResize::ShiftSegments(int64_t by) {
    for (NetW_Segment* s = SegmentsOf(pi_); s != nullptr; s = s->nextInPartition)
        s->SetField(SE_START, static_cast<uint32_t>(int64_t{s->getStartingDiskSector()} + by));
}

// The volume tables at the new origin, then the hot-fix header: its first
// copy written makes the new area current.
kwRet AreaResize::Commit() {
    ShiftSegments(delta_);
    area_->ReplaceHeader(newHeader_);
    kwRet rc = volume_->WriteVolumeTables(false);
    if (rc != KW_OK)
        return rc;
    rc = area_->WriteHotfixHeader();
    // A failed header write may still have made the new area current: the
    // disk says which.
    RedirectionArea current(pi_, area_->GetStartSector());
    if (rc != KW_OK && current.Initialise() == KW_OK && current.GetSectorCount() == new_) {
        area_->ReplaceHeader(current.Header());
        rc = KW_OK;
    }
    return rc;
}

void AreaResize::Restore() {
    ShiftSegments(-delta_);
    area_->ReplaceHeader(oldHeader_);
}

kwRet AreaResize::Run() {
    if (area_ == nullptr)
        return ERR_BAD_ARGUMENT;
    if (area_->GetSectorCount() == new_)
        return KW_OK;
    kwRet rc = Check();
    if (rc == KW_OK)
        rc = Evacuate();
    if (rc == KW_OK)
        rc = PlaceTables();
    if (rc == KW_OK)
        rc = MoveBlocks();
    if (rc == KW_OK)
        rc = WriteNewTables();
    if (rc != KW_OK) {
        // Nothing current changed: reload what the disk holds.
        area_->ReplaceHeader(oldHeader_);
        return rc;
    }
    rc = Commit();
    if (rc != KW_OK) {
        Restore();
        return rc;
    }
    pi_->ulLDABeginSector = area_->GetStartSector() + new_;
    return KW_OK;
}

} // namespace

kwRet nwResizeRedirectionArea(NETWPART_VOLUME* volume, uint32_t newSize) {
    AreaResize resize(volume, newSize);
    return resize.Run();
}

} // namespace kw::netware
