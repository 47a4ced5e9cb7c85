#include "engine/netware/nw_partvol.h"

#include "engine/core/dbgmgr.h"
#include "engine/disk/pi_find.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"
#include "engine/netware/nw_volume.h"
#include "engine/netware/nw_vtable.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

void SetRun(STATE_MAP* map, uint64_t first, uint64_t count) {
    const uint64_t bits = map->GetBitCount();
    if (first >= bits)
        return;
    map->SetRange(static_cast<uint32_t>(first),
                  static_cast<uint32_t>(std::min(count, bits - first)));
}

} // namespace

NETWPART_VOLUME::NETWPART_VOLUME(PARTITION_INFO* pi) : FILESYSTEM(pi) {}

NETWPART_VOLUME::~NETWPART_VOLUME() {
    Uninit();
}

kwRet NETWPART_VOLUME::Uninit() {
    delete area_;
    area_ = nullptr;
    signatureForm_ = false;
    std::memset(signature_, 0, sizeof signature_);
    std::memset(tableText_, 0, sizeof tableText_);
    std::memset(tableHeader_, 0, sizeof tableHeader_);
    segmentEntries_ = 0;
    segmentsReattached_ = false;
    return KW_OK;
}

// The redirection area, else the signature sector.
kwRet NETWPART_VOLUME::InitForm() {
    area_ = new RedirectionArea(GetPI());
    if (area_ == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = area_->Initialise();
    if (rc == KW_OK)
        return KW_OK;
    delete area_;
    area_ = nullptr;
    if (rc != ERR_NW_BAD_REDIRECT_AREA)
        return rc;
    PartHandle handle;
    bool found = false;
    if ((rc = handle.Open(GetPI())) != KW_OK ||
        (rc = nwCheckPartitionSignature(handle, signature_, &found)) != KW_OK)
        return rc;
    if (!found)
        return ERR_NW_BAD_REDIRECT_AREA;
    signatureForm_ = true;
    return KW_OK;
}

kwRet NETWPART_VOLUME::Init() {
    Uninit();
    PARTITION_INFO* pi = GetPI();
    // A record made elsewhere than by enumeration (an image's partition)
    // gets its NetWare fields here.
    if (pi->si == nullptr && pi->ulLDABeginSector == 0)
        kwCompleteNetWare(pi);
    kwRet rc = InitForm();
    uint8_t table[kSectorBytes] = {};
    if (rc == KW_OK) {
        PartHandle handle;
        rc = handle.Open(pi);
        if (rc == KW_OK)
            rc = nwReadVolumeTables(handle, GetVolumeTableOrigin(), table);
        if (rc == ERR_NW_NO_VOLUME_TABLE) {
            std::memset(table, 0, sizeof table);
            rc = KW_OK;
        }
    }
    if (rc == KW_OK) {
        std::memcpy(tableText_, kVolumeTableText, sizeof tableText_);
        std::memcpy(tableHeader_, table + VT_HEADER_BYTES, sizeof tableHeader_);
        segmentEntries_ = CountSegments(SegmentsOf(pi));
        if (segmentEntries_ != 0 && segmentEntries_ != LoadLe32(table + VT_ENTRY_COUNT))
            rc = ERR_NW_SEGMENT_COUNT;
    }
    if (rc != KW_OK)
        Uninit();
    return rc;
}

uint32_t NETWPART_VOLUME::GetVolumeTableOrigin() const {
    if (signatureForm_ || area_ == nullptr)
        return kSignatureOrigin;
    return area_->GetStartSector() + area_->GetSectorCount();
}

uint32_t NETWPART_VOLUME::GetPartitionId() const {
    if (area_ != nullptr)
        return area_->PartitionId();
    return LoadLe32(signature_ + SG_PARTITION_ID);
}

void NETWPART_VOLUME::SetPartitionId(uint32_t id) {
    if (area_ != nullptr)
        area_->SetPartitionId(id);
    else
        StoreLe32(signature_ + SG_PARTITION_ID, id);
}

uint32_t NETWPART_VOLUME::GetDataAreaSectors() const {
    if (area_ != nullptr)
        return area_->DataAreaSectors();
    const uint32_t size = LoadLe32(signature_ + SG_PARTITION_SECTORS);
    return size > kSignatureOrigin ? size - kSignatureOrigin : 0;
}

kwRet NETWPART_VOLUME::WritePartitionDefinition() {
    if (area_ != nullptr)
        return area_->WriteHotfixHeader();
    PartHandle handle;
    kwRet rc = handle.Open(GetPI());
    if (rc == KW_OK)
        rc = handle.Write(0, signature_, 1);
    return rc != KW_OK ? rc : handle.Flush();
}

// One segment's sectors: every used block of its volume, or the whole
// segment when its volume cannot be read whole (missing segments, a
// damaged FAT or directory): a copy then takes every sector.
kwRet NETWPART_VOLUME::MarkSegment(STATE_MAP* map, NetW_Segment* s, uint32_t flags) {
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(s, name);
    DbgPrintf("segment %d of volume %s\r\n", int(s->getMySegmentPosition()), name);
    NWVolume* volume = nullptr;
    kwRet rc = nwOpenVolume(&volume, s, GetPI()->ulSerial, false);
    if (rc == ERR_NO_MEMORY)
        return rc;
    NWFat* fat = nullptr;
    NWDir* dir = nullptr;
    if (rc == KW_OK && volume->AllSegmentsLoaded())
        rc = volume->GetFat(&fat);
    if (rc == KW_OK && fat != nullptr && (flags & FS_MAP_FILE_DATA) == 0) {
        if ((rc = volume->GetDir(&dir)) == KW_OK && (rc = dir->MarkUsed(map, GetPI())) == KW_OK)
            rc = fat->MarkFatChains(map, GetPI());
    } else if (rc == KW_OK && fat != nullptr) {
        const uint32_t spb = s->GetSectorsPerBlock();
        DbgPrintf("Beginning Block = %d, Ending Block = %d\r\n", int(s->getFirstBlockInSegment()),
                  int(s->getLastBlockInSegment()));
        for (uint32_t i = 0; i < s->getBlocksInSegment(); ++i)
            if (fat->Link(s->getFirstBlockInSegment() + i) != 0)
                SetRun(map, s->GetStartSector() + uint64_t{i} * spb, spb);
    }
    if (rc != KW_OK || fat == nullptr)
        SetRun(map, s->GetStartSector(), s->getSectorsInSegment());
    if (volume != nullptr) {
        volume->ReleaseDir(&dir);
        volume->ReleaseFat(&fat);
        nwReleaseVolume(&volume);
    }
    return rc == ERR_NO_MEMORY ? rc : KW_OK;
}

kwRet NETWPART_VOLUME::GenerateBitmap(STATE_MAP** out, uint32_t flags) {
    if (out == nullptr)
        return ERR_BAD_ARGUMENT;
    delete *out;
    *out = nullptr;
    PARTITION_INFO* pi = GetPI();
    auto* map = new (std::nothrow) STATE_MAP;
    // One bit per sector of the partition.
    kwRet rc = map != nullptr ? map->Create(pi->NumSects, false) : ERR_NO_MEMORY;
    if (rc == KW_OK && area_ != nullptr)
        rc = area_->MarkUsed(map, 3);
    else if (rc == KW_OK)
        SetRun(map, 0, kSignatureSystemSectors);
    const uint32_t origin = GetVolumeTableOrigin();
    for (uint32_t k = 1; rc == KW_OK && k <= kVolumeTableCopies; ++k)
        SetRun(map, uint64_t{origin} + kVolumeTableStride * k, 1);
    DbgPrintf("\r\n");
    for (NetW_Segment* s = SegmentsOf(pi); rc == KW_OK && s != nullptr; s = s->nextInPartition)
        rc = MarkSegment(map, s, flags);
    // The home sectors of redirected bad blocks are never read.
    if (rc == KW_OK && area_ != nullptr && (flags & FS_MAP_FILE_DATA) != 0)
        rc = area_->ClearRedirectedHomes(map);
    if (rc != KW_OK) {
        delete map;
        return rc;
    }
    map->ulUnitsPerBit = 1;
    map->ulUnitCount = pi->NumSects;
    map->ulLastUsed = map->LastSet();
    map->ulMinEnd = map->ulLastUsed;
    *out = map;
    return KW_OK;
}

kwRet NETWPART_VOLUME::GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) {
    kwRet rc = GenerateBitmap(map1, flags);
    if (rc != KW_OK || (flags & FS_MAP_FILE_DATA) == 0)
        return rc;
    if (map2 == nullptr)
        return ERR_BAD_ARGUMENT;
    delete *map2;
    *map2 = new (std::nothrow) STATE_MAP;
    if (*map2 == nullptr || (*map2)->Create((*map1)->GetBitCount(), false) != KW_OK) {
        delete *map2;
        *map2 = nullptr;
        return ERR_NO_MEMORY;
    }
    return KW_OK;
}

uint32_t NETWPART_VOLUME::CalcFreeSectors() {
    PARTITION_INFO* pi = GetPI();
    DbgPrintf("Calculating free sectors:\n");
    uint64_t segmentFree = 0;
    uint64_t segmentSpace = 0;
    for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition) {
        uint32_t free = 0;
        if (GetSegmentFreeSectors(s, &free) != KW_OK)
            return 0;
        segmentFree += free;
        segmentSpace += s->getSectorsInSegment();
    }
    if (SegmentsOf(pi) != nullptr)
        segmentSpace += kVolumeTableZone;
    const uint64_t origin = GetVolumeTableOrigin();
    const uint64_t end = origin + GetDataAreaSectors();
    const uint64_t tail = pi->NumSects > end ? (pi->NumSects - end) % 8 : 0;
    const uint64_t taken = uint64_t{pi->ulLDABeginSector} + segmentSpace + tail;
    const uint64_t free = segmentFree + (pi->NumSects > taken ? pi->NumSects - taken : 0);
    return static_cast<uint32_t>(std::min<uint64_t>(free, pi->NumSects));
}

void NETWPART_VOLUME::RenumberSegments() {
    int32_t index = 0;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr; s = s->nextInPartition)
        s->SetEntryIndex(index++);
    segmentEntries_ = uint32_t(index);
}

void NETWPART_VOLUME::BuildTable(NetW_Segment* head, uint8_t* sector) const {
    std::memset(sector, 0, kSectorBytes);
    std::memcpy(sector + VT_TEXT, tableText_, sizeof tableText_);
    std::memcpy(sector + VT_HEADER_BYTES, tableHeader_, sizeof tableHeader_);
    uint32_t count = 0;
    for (NetW_Segment* s = head; s != nullptr; s = s->nextInPartition) {
        if (s->EntryIndex() >= 0 && s->EntryIndex() < int32_t(kMaxTableEntries))
            std::memcpy(sector + VT_ENTRIES + s->EntryIndex() * kSegmentEntryBytes, s->Entry(),
                        kSegmentEntryBytes);
        ++count;
    }
    StoreLe32(sector + VT_ENTRY_COUNT, std::min(count, kMaxTableEntries));
}

kwRet NETWPART_VOLUME::WriteMirrorMembers() {
    if (LoadLe32(mirror_ + MF_MEMBERS) == 0)
        if (kwRet rc = nwReadMirrorHeaderBytes(GetPI(), mirror_); rc != KW_OK)
            return rc;
    kwRet first = KW_OK;
    for (uint32_t k = 0; k < kMirrorMembers; ++k) {
        uint32_t id = LoadLe32(mirror_ + MF_MEMBERS + 4 * k);
        PARTITION_INFO* member = nullptr;
        if (id == 0 || !FindPiBySerial(&member, id, nullptr, nullptr) || member == nullptr)
            continue;
        // Each member's tables lie at its own origin.
        PartHandle handle;
        uint32_t origin = 0;
        kwRet rc = handle.Open(member);
        if (rc == KW_OK)
            rc = nwPartitionOrigin(member, handle, &origin);
        handle.Close();
        uint8_t sector[kSectorBytes];
        BuildTable(SegmentsOf(member), sector);
        if (rc == KW_OK)
            rc = nwWriteVolumeTables(member, origin, sector);
        if (first == KW_OK)
            first = rc;
    }
    return first;
}

kwRet NETWPART_VOLUME::WriteVolumeTables(bool includeMirrors) {
    uint8_t sector[kSectorBytes];
    BuildTable(SegmentsOf(GetPI()), sector);
    kwRet rc = nwWriteVolumeTables(GetPI(), GetVolumeTableOrigin(), sector);
    const bool mirrored = (GetPI()->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR)) != 0;
    if (!includeMirrors || !mirrored)
        return rc;
    kwRet members = WriteMirrorMembers();
    return rc != KW_OK ? rc : members;
}

kwRet NETWPART_VOLUME::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    size_t used = 0;
    const size_t budget = kLabelBytes - 1;
    for (NetW_Segment* s = SegmentsOf(GetPI()); s != nullptr && used < budget;
         s = s->nextInPartition) {
        char part[32];
        char name[kMaxNameLength + 1];
        GetSegmentVolumeName(s, name);
        std::snprintf(part, sizeof part, "%s%s(%u)", used != 0 ? ", " : "", name,
                      s->getMySegmentPosition());
        size_t n = std::min(std::strlen(part), budget - used);
        std::memcpy(buffer + used, part, n);
        used += n;
        buffer[used] = '\0';
    }
    return KW_OK;
}

} // namespace kw::netware
