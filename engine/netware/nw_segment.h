// NetW_Segment: one segment of a NetWare volume, a run of whole volume blocks
// inside one NetWare partition described by one 60-byte entry of that
// partition's volume table. Each NetWare partition record owns the list of
// its segments (PARTITION_INFO::si, sorted or in table order); each loaded
// volume chains the segments that make it up, in position order, and only
// refers to them.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/partition_info.h"
#include "engine/netware/nw_layout.h"
#include "engine/netware/nw_region.h"

#include <cstdint>

class KWERRORMGR;

namespace kw::netware {

class NWVolume;

class NetW_Segment : public Region {
public:
    NetW_Segment(PARTITION_INFO* pi, const uint8_t* entry, int32_t entryIndex);
    ~NetW_Segment() override;

    // Region: the start counts from the partition start.
    uint32_t GetStartSector() const override;
    void SetStartSector(uint32_t sector) override;
    uint32_t GetSectorCount() const override { return Field(SE_SECTORS); }
    void SetSectorCount(uint32_t count) override;
    uint32_t GetSectorsPerBlock() const override;
    PARTITION_INFO* SetPartition(PARTITION_INFO* pi) override;
    PARTITION_INFO* GetPartition() const override { return pi_; }
    // Bit 0 of the map is the segment's first sector.
    kwRet MarkUsed(STATE_MAP* map, uint32_t flags) override;

    uint32_t Field(size_t at) const;
    void SetField(size_t at, uint32_t value);
    uint8_t Byte(size_t at) const { return entry_[at]; }
    void SetByte(size_t at, uint8_t value) { entry_[at] = value; }
    const uint8_t* Entry() const { return entry_; }
    uint8_t* MutableEntry() { return entry_; }
    // The first word of the entry: 0 for an empty entry.
    uint32_t GetSegEntryHead() const { return Field(0); }

    uint32_t getStartingDiskSector() const { return Field(SE_START); }
    uint32_t getSectorsInSegment() const { return Field(SE_SECTORS); }
    uint32_t getBlockShift() const { return entry_[SE_BLOCK_SHIFT]; }
    uint32_t getBlocksInSegment() const;
    uint32_t getFirstBlockInSegment() const { return Field(SE_FIRST_BLOCK); }
    // first + blocks - 1, in 64 bits: a segment of no whole block ends before
    // it starts.
    int64_t getLastBlockInSegment() const;
    uint32_t getMySegmentPosition() const { return entry_[SE_POSITION]; }
    int32_t EntryIndex() const { return entryIndex_; }
    void SetEntryIndex(int32_t index) { entryIndex_ = index; }
    // The segment's start and size lie inside its partition.
    bool LiesInPartition() const;

    NWVolume* Volume() const { return volume_; }
    void SetVolume(NWVolume* volume) { volume_ = volume; }

    // Free sectors and the smallest size, recomputed when stale.
    bool usageStale = true;
    uint32_t freeSectors = 0;
    uint32_t minimumSectors = 0;

    NetW_Segment* nextInPartition = nullptr;
    NetW_Segment* previousInPartition = nullptr;
    NetW_Segment* nextInVolume = nullptr;
    NetW_Segment* previousInVolume = nullptr;

private:
    PARTITION_INFO* pi_;
    NWVolume* volume_ = nullptr;
    uint8_t entry_[kSegmentEntryBytes];
    int32_t entryIndex_;
};

// The head of a partition's list.
inline NetW_Segment* SegmentsOf(const PARTITION_INFO* pi) {
    return static_cast<NetW_Segment*>(pi->si);
}

kwRet CreateSegmentList(PARTITION_INFO* pi, NetW_Segment** head);
void DeleteSegmentList(NetW_Segment** head);
void SetSegmentListPartition(NetW_Segment* head, PARTITION_INFO* pi);
NetW_Segment* FindSegmentByIndex(NetW_Segment* head, int32_t index);
uint32_t CountSegments(const NetW_Segment* head);
// Sorted by starting sector; 1440 for an entry index of 8 or more, 1446
// when it would overlap the following segment.
kwRet InsertPartitionSegment(NetW_Segment* segment, NetW_Segment** head);
void RemovePartitionSegment(NetW_Segment* segment, NetW_Segment** head);

kwRet CollectVolumeSegments(NWVolume* volume, NetW_Segment** chain);
void InsertVolumeSegment(NetW_Segment** chain, NetW_Segment* segment, bool countIt,
                         NWVolume* volume);
void RemoveVolumeSegment(NetW_Segment* segment, NetW_Segment** chain, bool detach);
void DetachVolumeSegments(NetW_Segment** chain);
// -1 when the segment does not belong to the volume, else its score.
int32_t ScoreSegmentFit(const NetW_Segment* segment, const NetW_Segment* previous,
                        const NetW_Segment* next, const NWVolume* volume);

kwRet CheckSegmentEntry(const NetW_Segment* segment, KWERRORMGR* errors);

kwRet GetSegmentFreeSectors(NetW_Segment* segment, uint32_t* sectors);
kwRet GetSegmentMinimumSize(NetW_Segment* segment, uint32_t* sectors);
uint32_t GetSegmentUsedSectors(NetW_Segment* segment);

// The volume name with a terminating zero (at least 16 bytes).
void GetSegmentVolumeName(const NetW_Segment* segment, char* out);
void SetSegmentVolumeName(NetW_Segment* segment, const char* text);
// The name followed by "(position)" (at least 24 bytes).
void GetSegmentDisplayName(const NetW_Segment* segment, char* out);

// Moves a segment object into free space of another partition (its entry's
// start follows) or copies it there.
kwRet MoveSegmentToPartition(NetW_Segment* segment, PARTITION_INFO* destination,
                             const Region* freeRegion);
kwRet CopySegmentToPartition(const NetW_Segment* segment, PARTITION_INFO* destination,
                             const Region* freeRegion);

// The disk address text of the disk that holds a partition.
const char* DiskAddressOf(const PARTITION_INFO* pi);

} // namespace kw::netware
