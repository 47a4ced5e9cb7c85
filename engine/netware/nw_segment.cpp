#include "engine/netware/nw_segment.h"

#include "engine/core/statemap.h"
#include "engine/disk/kwlib.h"
#include "engine/netware/nw_check.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
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

constexpr const char* kLocalAddress = "000.000.000.000";
constexpr uint32_t kMaxShift = 7;
constexpr uint32_t kMinShift = 3;
constexpr uint32_t kMaxSegmentsField = 32;

bool SameIdentity(const NetW_Segment* s, const NWVolume* v) {
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(s, name);
    return std::strcmp(name, v->Name()) == 0 &&
           std::strcmp(DiskAddressOf(s->GetPartition()), v->DiskAddress()) == 0;
}

// The neighbour tests of a scored pair: +1 for the same partition type,
// -1 when the blocks do not continue or the two overlap in one partition.
int32_t PairScore(const NetW_Segment* before, const NetW_Segment* after) {
    if (before->getMySegmentPosition() + 1 == after->getMySegmentPosition() &&
        uint64_t{before->getFirstBlockInSegment()} + before->getBlocksInSegment() !=
            after->getFirstBlockInSegment())
        return -1;
    const PARTITION_INFO* a = before->GetPartition();
    const PARTITION_INFO* b = after->GetPartition();
    if (a->ulSerial == b->ulSerial && before->EntryIndex() < after->EntryIndex() &&
        after->getStartingDiskSector() <
            uint64_t{before->getStartingDiskSector()} + before->getSectorsInSegment())
        return -1;
    return a->ucPartType == b->ucPartType ? 1 : 0;
}

} // namespace

const char* DiskAddressOf(const PARTITION_INFO*) {
    // The engine's disks are all local: their address text is the local one.
    return kLocalAddress;
}

NetW_Segment::NetW_Segment(PARTITION_INFO* pi, const uint8_t* entry, int32_t entryIndex)
    : pi_(pi), entryIndex_(entryIndex) {
    std::memcpy(entry_, entry, kSegmentEntryBytes);
    minimumSectors = Field(SE_SECTORS);
}

NetW_Segment::~NetW_Segment() {
    if (volume_ != nullptr) {
        NWVolume* volume = volume_;
        RemoveVolumeSegment(this, volume->Chain(), false);
        volume->ForgetSegment(this);
    }
    if (pi_ != nullptr && pi_->si != nullptr) {
        auto* head = static_cast<NetW_Segment*>(pi_->si);
        RemovePartitionSegment(this, &head);
        pi_->si = head;
    }
}

uint32_t NetW_Segment::Field(size_t at) const {
    return LoadLe32(entry_ + at);
}

void NetW_Segment::SetField(size_t at, uint32_t value) {
    StoreLe32(entry_ + at, value);
}

uint32_t NetW_Segment::GetStartSector() const {
    return getStartingDiskSector() + pi_->ulLDABeginSector;
}

void NetW_Segment::SetStartSector(uint32_t sector) {
    SetField(SE_START, sector > pi_->ulLDABeginSector ? sector - pi_->ulLDABeginSector : 0);
}

void NetW_Segment::SetSectorCount(uint32_t count) {
    SetField(SE_SECTORS, count);
    usageStale = true;
}

uint32_t NetW_Segment::GetSectorsPerBlock() const {
    return 1u << std::min<uint32_t>(getBlockShift(), 31);
}

uint32_t NetW_Segment::getBlocksInSegment() const {
    return getBlockShift() > 31 ? 0 : getSectorsInSegment() >> getBlockShift();
}

int64_t NetW_Segment::getLastBlockInSegment() const {
    return int64_t{getFirstBlockInSegment()} + getBlocksInSegment() - 1;
}

bool NetW_Segment::LiesInPartition() const {
    return uint64_t{GetStartSector()} + getSectorsInSegment() <= pi_->NumSects &&
           getStartingDiskSector() + uint64_t{pi_->ulLDABeginSector} < pi_->NumSects;
}

PARTITION_INFO* NetW_Segment::SetPartition(PARTITION_INFO* pi) {
    PARTITION_INFO* old = pi_;
    pi_ = pi;
    return old;
}

kwRet NetW_Segment::MarkUsed(STATE_MAP* map, uint32_t /*flags*/) {
    NWVolume* volume = nullptr;
    kwRet rc = nwOpenVolume(&volume, this, pi_->ulSerial, false);
    if (rc != KW_OK)
        return rc;
    const uint32_t spb = GetSectorsPerBlock();
    const uint32_t bits = map->GetBitCount();
    if (!volume->AllSegmentsLoaded()) {
        map->SetRange(0, std::min(getSectorsInSegment(), bits));
    } else {
        NWFat* fat = nullptr;
        if ((rc = volume->GetFat(&fat)) == KW_OK) {
            for (uint32_t i = 0; i < getBlocksInSegment(); ++i) {
                uint64_t at = uint64_t{i} * spb;
                if (fat->Link(getFirstBlockInSegment() + i) != 0 && at < bits)
                    map->SetRange(static_cast<uint32_t>(at),
                                  static_cast<uint32_t>(std::min<uint64_t>(spb, bits - at)));
            }
            volume->ReleaseFat(&fat);
        }
    }
    kwRet released = nwReleaseVolume(&volume);
    return rc != KW_OK ? rc : released;
}

kwRet CreateSegmentList(PARTITION_INFO* pi, NetW_Segment** head) {
    if (*head != nullptr)
        return ERR_BAD_ARGUMENT;
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    uint8_t table[kSectorBytes];
    if ((rc = nwReadPartitionVolumeTable(pi, handle, table)) != KW_OK)
        return rc;
    // A sector holds 8 entries: a table that names more is refused whole.
    const uint32_t count = LoadLe32(table + VT_ENTRY_COUNT);
    if (count > kMaxTableEntries)
        return ERR_NW_SEGMENT_COUNT;
    NetW_Segment* tail = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        auto* s = new NetW_Segment(pi, table + VT_ENTRIES + i * kSegmentEntryBytes, int32_t(i));
        if (s == nullptr) {
            DeleteSegmentList(head);
            return ERR_NO_MEMORY;
        }
        s->previousInPartition = tail;
        (tail != nullptr ? tail->nextInPartition : *head) = s;
        tail = s;
    }
    return KW_OK;
}

void DeleteSegmentList(NetW_Segment** head) {
    while (*head != nullptr) {
        NetW_Segment* s = *head;
        *head = s->nextInPartition;
        s->nextInPartition = s->previousInPartition = nullptr;
        if (*head != nullptr)
            (*head)->previousInPartition = nullptr;
        // The record no longer lists it: its destructor leaves the list alone.
        PARTITION_INFO* pi = s->SetPartition(nullptr);
        delete s;
        (void)pi;
    }
}

void SetSegmentListPartition(NetW_Segment* head, PARTITION_INFO* pi) {
    for (NetW_Segment* s = head; s != nullptr; s = s->nextInPartition)
        s->SetPartition(pi);
}

NetW_Segment* FindSegmentByIndex(NetW_Segment* head, int32_t index) {
    for (NetW_Segment* s = head; s != nullptr; s = s->nextInPartition)
        if (s->EntryIndex() == index)
            return s;
    return nullptr;
}

uint32_t CountSegments(const NetW_Segment* head) {
    uint32_t n = 0;
    for (; head != nullptr; head = head->nextInPartition)
        ++n;
    return n;
}

kwRet InsertPartitionSegment(NetW_Segment* segment, NetW_Segment** head) {
    if (segment->EntryIndex() < 0 || segment->EntryIndex() >= int32_t(kMaxTableEntries))
        return ERR_NW_SEGMENT_COUNT;
    segment->nextInPartition = segment->previousInPartition = nullptr;
    if (*head == nullptr) {
        *head = segment;
        return KW_OK;
    }
    NetW_Segment* at = *head;
    NetW_Segment* last = nullptr;
    while (at != nullptr && at->getStartingDiskSector() <= segment->getStartingDiskSector()) {
        last = at;
        at = at->nextInPartition;
    }
    if (at == nullptr) {
        last->nextInPartition = segment;
        segment->previousInPartition = last;
        return KW_OK;
    }
    if (at->getStartingDiskSector() <
        uint64_t{segment->getStartingDiskSector()} + segment->getSectorsInSegment())
        return ERR_NW_SEGMENT_START;
    segment->nextInPartition = at;
    segment->previousInPartition = at->previousInPartition;
    (at->previousInPartition != nullptr ? at->previousInPartition->nextInPartition : *head) =
        segment;
    at->previousInPartition = segment;
    return KW_OK;
}

void RemovePartitionSegment(NetW_Segment* segment, NetW_Segment** head) {
    bool listed = false;
    for (NetW_Segment* s = *head; s != nullptr && !listed; s = s->nextInPartition)
        listed = s == segment;
    if (!listed)
        return;
    if (segment->previousInPartition != nullptr)
        segment->previousInPartition->nextInPartition = segment->nextInPartition;
    else
        *head = segment->nextInPartition;
    if (segment->nextInPartition != nullptr)
        segment->nextInPartition->previousInPartition = segment->previousInPartition;
    segment->nextInPartition = segment->previousInPartition = nullptr;
}

int32_t ScoreSegmentFit(const NetW_Segment* s, const NetW_Segment* previous,
                        const NetW_Segment* next, const NWVolume* v) {
    // A segment that reaches outside its partition belongs to nothing.
    if (!s->LiesInPartition())
        return -1;
    int32_t score = 0;
    for (auto [before, after] : {std::pair{previous, s}, std::pair{s, next}}) {
        if (before == nullptr || after == nullptr)
            continue;
        int32_t pair = PairScore(before, after);
        if (pair < 0)
            return -1;
        score += pair;
    }
    if (s->Field(SE_SYNC) == v->SyncValue())
        ++score;
    if (s->Byte(SE_SEGMENT_COUNT) == v->SegmentCount())
        ++score;
    if (s->getMySegmentPosition() >= v->SegmentCount() ||
        s->Field(SE_VOLUME_BLOCKS) != v->BlocksInVolume() ||
        uint64_t{s->getFirstBlockInSegment()} + s->getBlocksInSegment() >
            v->BlocksInVolume() + 1ull)
        return -1;
    score += s->Field(SE_FAT) == v->FirstFatBlock();
    score += s->Field(SE_MIRROR_FAT) == v->FirstMirrorFatBlock();
    score += s->Field(SE_DIRECTORY) == v->FirstDirBlock();
    score += s->Field(SE_MIRROR_DIRECTORY) == v->FirstMirrorDirBlock();
    if (s->GetPartition()->ulSerial == v->PartitionId())
        score += 10;
    if ((s->GetPartition()->ulFlags2 & PI2_PART_MIRROR) && v->mirrorChecked)
        score -= 1;
    return score;
}

void RemoveVolumeSegment(NetW_Segment* segment, NetW_Segment** chain, bool detach) {
    if (*chain == segment)
        *chain = segment->nextInVolume;
    if (segment->previousInVolume != nullptr)
        segment->previousInVolume->nextInVolume = segment->nextInVolume;
    if (segment->nextInVolume != nullptr)
        segment->nextInVolume->previousInVolume = segment->previousInVolume;
    segment->nextInVolume = segment->previousInVolume = nullptr;
    NWVolume* volume = segment->Volume();
    segment->SetVolume(nullptr);
    if (detach && volume != nullptr)
        volume->ForgetSegment(segment);
}

void DetachVolumeSegments(NetW_Segment** chain) {
    while (*chain != nullptr)
        RemoveVolumeSegment(*chain, chain, true);
}

namespace {

void LinkBefore(NetW_Segment* segment, NetW_Segment* at, NetW_Segment** chain) {
    segment->nextInVolume = at;
    segment->previousInVolume = at->previousInVolume;
    (at->previousInVolume != nullptr ? at->previousInVolume->nextInVolume : *chain) = segment;
    at->previousInVolume = segment;
}

void Attach(NetW_Segment* segment, bool countIt, NWVolume* volume) {
    segment->SetVolume(volume);
    if (countIt)
        volume->CountSegment();
}

} // namespace

void InsertVolumeSegment(NetW_Segment** chain, NetW_Segment* s, bool countIt, NWVolume* v) {
    if (s->Volume() != nullptr)
        return; // already in a chain
    if (*chain == nullptr) {
        if (ScoreSegmentFit(s, nullptr, nullptr, v) >= 0) {
            *chain = s;
            Attach(s, countIt, v);
        }
        return;
    }
    NetW_Segment* at = *chain;
    for (; at != nullptr; at = at->nextInVolume) {
        if (at->getMySegmentPosition() == s->getMySegmentPosition()) {
            int32_t present = ScoreSegmentFit(at, at->previousInVolume, at->nextInVolume, v);
            int32_t newcomer = ScoreSegmentFit(s, at->previousInVolume, at->nextInVolume, v);
            if (newcomer <= present)
                return;
            RemoveVolumeSegment(at, chain, false);
            InsertVolumeSegment(chain, s, false, v);
            return;
        }
        if (at->getMySegmentPosition() > s->getMySegmentPosition()) {
            if (ScoreSegmentFit(s, at->previousInVolume, at, v) >= 0) {
                LinkBefore(s, at, chain);
                Attach(s, countIt, v);
            }
            return;
        }
        if (at->nextInVolume == nullptr)
            break;
    }
    if (ScoreSegmentFit(s, at, nullptr, v) >= 0) {
        at->nextInVolume = s;
        s->previousInVolume = at;
        Attach(s, countIt, v);
    }
}

kwRet CollectVolumeSegments(NWVolume* volume, NetW_Segment** chain) {
    if (*chain != nullptr)
        return ERR_BAD_ARGUMENT;
    DISK_RECORD* first = nullptr;
    kwRet rc = kwGetDiskList(&first);
    if (rc != KW_OK)
        return rc;
    PARTITION_INFO* home = nullptr;
    for (DISK_RECORD* d = first; d != nullptr && home == nullptr; d = d->next)
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr && home == nullptr; pi = pi->next)
            if (pi->ucFsKind == FS_KIND_NETWARE && pi->ulSerial == volume->PartitionId() &&
                std::strcmp(DiskAddressOf(pi), volume->DiskAddress()) == 0)
                home = pi;
    if (home == nullptr)
        return ERR_NW_PRIMARY_NOT_FOUND;
    for (NetW_Segment* s = SegmentsOf(home); s != nullptr; s = s->nextInPartition)
        if (SameIdentity(s, volume))
            InsertVolumeSegment(chain, s, true, volume);
    for (DISK_RECORD* d = first; d != nullptr; d = d->next)
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind == FS_KIND_NETWARE && pi != home)
                for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition)
                    if (SameIdentity(s, volume))
                        InsertVolumeSegment(chain, s, true, volume);
    return KW_OK;
}

kwRet CheckSegmentEntry(const NetW_Segment* s, KWERRORMGR* errors) {
    kwRet code = KW_OK;
    if (s->getBlockShift() < kMinShift || s->getBlockShift() > kMaxShift)
        code = ERR_NW_BLOCK_SHIFT;
    else if (s->Byte(SE_SEGMENT_COUNT) > kMaxSegmentsField)
        code = ERR_NW_SEGMENTS_COUNT;
    else if (s->getMySegmentPosition() >= kMaxSegmentsField)
        code = ERR_NW_SEGMENT_POSITION;
    if (code == KW_OK)
        return KW_OK;
    return errors != nullptr ? LogEngineError(errors, code, kClassStructure) : code;
}

namespace {

uint32_t CeilDiv(uint64_t a, uint64_t b) {
    return static_cast<uint32_t>((a + b - 1) / b);
}

// Free blocks and the smallest size from the volume's FAT.
void ComputeUsage(NetW_Segment* s, NWVolume* volume, NWFat* fat) {
    const uint32_t spb = s->GetSectorsPerBlock();
    const uint32_t first = s->getFirstBlockInSegment();
    const uint32_t blocks = s->getBlocksInSegment();
    uint32_t freeBlocks = 0;
    for (uint32_t i = 0; i < blocks; ++i)
        freeBlocks += fat->Link(first + i) == 0;
    uint32_t fatBlocks = 0;
    uint32_t b = volume->FirstFatBlock();
    for (uint32_t steps = 0;
         b != kChainEnd && b < fat->getNumEntries() && int64_t{b} <= s->getLastBlockInSegment() &&
         steps < fat->getNumEntries();
         ++steps, b = fat->Link(b))
        fatBlocks += b >= first;
    fatBlocks *= 2;
    uint64_t freeSectors = uint64_t{freeBlocks} * spb + s->getSectorsInSegment() % spb;
    uint64_t taken = uint64_t{fatBlocks} * spb + freeSectors;
    uint64_t size = s->getSectorsInSegment();
    uint32_t dataBlocks = size > taken ? CeilDiv(size - taken, spb) : 0;
    uint64_t needed = uint64_t{dataBlocks} + 2ull * CeilDiv(dataBlocks, fat->EntriesPerBlock()) + 2;
    needed = std::min<uint64_t>(needed, blocks);
    uint64_t reach = 0;
    if (needed != 0) {
        uint64_t highest = fat->HighestPlannedFatBlock(s, static_cast<uint32_t>(needed));
        if (highest < first)
            highest = first + (512u >> s->getBlockShift());
        reach = highest - first + 1;
    }
    s->freeSectors = static_cast<uint32_t>(std::min<uint64_t>(freeSectors, size));
    s->minimumSectors = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{spb} * std::max(needed, reach), 0xFFFFFFFFull));
}

kwRet RefreshUsage(NetW_Segment* s) {
    if (!s->usageStale)
        return KW_OK;
    NWVolume* volume = nullptr;
    kwRet rc = nwOpenVolume(&volume, s, s->GetPartition()->ulSerial, false);
    if (rc == KW_OK) {
        NWFat* fat = nullptr;
        rc = volume->GetFat(&fat);
        if (rc == KW_OK) {
            ComputeUsage(s, volume, fat);
            volume->ReleaseFat(&fat);
        }
        kwRet released = nwReleaseVolume(&volume);
        if (rc == KW_OK)
            rc = released;
    }
    s->usageStale = false;
    return rc;
}

} // namespace

kwRet GetSegmentFreeSectors(NetW_Segment* s, uint32_t* sectors) {
    *sectors = 0;
    kwRet rc = RefreshUsage(s);
    if (rc == KW_OK)
        *sectors = s->freeSectors;
    return rc;
}

kwRet GetSegmentMinimumSize(NetW_Segment* s, uint32_t* sectors) {
    *sectors = s->getSectorsInSegment();
    kwRet rc = RefreshUsage(s);
    if (rc == KW_OK)
        *sectors = s->minimumSectors;
    return rc;
}

uint32_t GetSegmentUsedSectors(NetW_Segment* s) {
    uint32_t free = 0;
    if (GetSegmentFreeSectors(s, &free) != KW_OK)
        return s->getSectorsInSegment();
    return s->getSectorsInSegment() - std::min(free, s->getSectorsInSegment());
}

void GetSegmentVolumeName(const NetW_Segment* s, char* out) {
    uint32_t n = std::min<uint32_t>(s->Byte(SE_NAME_LENGTH), kMaxNameLength);
    std::memcpy(out, s->Entry() + SE_NAME, n);
    out[n] = '\0';
}

void SetSegmentVolumeName(NetW_Segment* s, const char* text) {
    size_t n = std::min<size_t>(std::strlen(text), kMaxNameLength);
    std::memset(s->MutableEntry() + SE_NAME, 0, kMaxNameLength);
    std::memcpy(s->MutableEntry() + SE_NAME, text, n);
    s->SetByte(SE_NAME_LENGTH, static_cast<uint8_t>(n));
}

void GetSegmentDisplayName(const NetW_Segment* s, char* out) {
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(s, name);
    std::snprintf(out, 24, "%s(%u)", name, s->getMySegmentPosition());
}

kwRet MoveSegmentToPartition(NetW_Segment* s, PARTITION_INFO* destination,
                             const Region* freeRegion) {
    if (kwRet rc = freeRegion->checkIntegrity(nullptr); rc != KW_OK)
        return rc;
    PARTITION_INFO* source = s->GetPartition();
    if (source != nullptr) {
        NetW_Segment* head = SegmentsOf(source);
        RemovePartitionSegment(s, &head);
        source->si = head;
    }
    s->SetPartition(destination);
    uint32_t start = freeRegion->GetStartSector();
    s->SetField(SE_START,
                start > destination->ulLDABeginSector ? start - destination->ulLDABeginSector : 0);
    NetW_Segment* head = SegmentsOf(destination);
    kwRet rc = InsertPartitionSegment(s, &head);
    destination->si = head;
    return rc;
}

kwRet CopySegmentToPartition(const NetW_Segment* s, PARTITION_INFO* destination,
                             const Region* freeRegion) {
    if (kwRet rc = freeRegion->checkIntegrity(nullptr); rc != KW_OK)
        return rc;
    int32_t index = 0;
    for (NetW_Segment* at = SegmentsOf(destination);
         at != nullptr && at->GetStartSector() <= freeRegion->GetStartSector();
         at = at->nextInPartition)
        ++index;
    auto* copy = new NetW_Segment(destination, s->Entry(), index);
    if (copy == nullptr)
        return ERR_NO_MEMORY;
    copy->SetStartSector(freeRegion->GetStartSector());
    NetW_Segment* head = SegmentsOf(destination);
    kwRet rc = InsertPartitionSegment(copy, &head);
    destination->si = head;
    if (rc != KW_OK) {
        copy->SetPartition(nullptr);
        delete copy;
    }
    return rc;
}

} // namespace kw::netware
