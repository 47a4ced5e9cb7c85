// NWVolume: one NetWare volume in memory. It owns the chain of its segments
// (which the partition lists own as objects), the values every segment entry
// repeats for the volume, and, loaded on demand and shared by use counts,
// the volume's FAT and directory. It turns volume blocks into partition
// sectors, reads and writes blocks, writes its values back into the volume
// tables and checks the volume's consistency. Volumes are made and shared
// only through the volume manager (nw_volmgr.h).
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/netware/nw_layout.h"

#include <cstdint>

class KWERRORMGR;
class STATE_MAP;
struct PARTITION_INFO;

namespace kw::netware {

class NetW_Segment;
class NWFat;
class NWDir;
class CheckReport;

inline constexpr uint32_t kDiskAddressBytes = 17;

class NWVolume : public KwEngineAlloc {
public:
    NWVolume(const NetW_Segment* segment, uint32_t partitionId);
    ~NWVolume();
    NWVolume(const NWVolume&) = delete;
    NWVolume& operator=(const NWVolume&) = delete;

    // Builds the segment chain from every NetWare partition (1403 when no
    // segment was attached).
    kwRet Load();

    kwRet GetFat(NWFat** fat);
    bool FatInUse() const { return fatUses_ != 0; }
    void ReleaseFat(NWFat** fat);
    kwRet GetDir(NWDir** dir);
    void ReleaseDir(NWDir** dir);

    // The segment that holds a block, or null.
    NetW_Segment* FindSegment(uint32_t block) const;
    // One block through its segment's partition (1406 outside every segment).
    kwRet ReadBlock(uint32_t block, void* buffer) const;
    kwRet WriteBlock(uint32_t block, const void* buffer) const;
    // Follows a FAT chain from a block and marks it: per block in a
    // block-sized map, or per sector of the given partition.
    kwRet MarkChain(STATE_MAP* map, uint32_t first, PARTITION_INFO* pi);
    bool SpansPartitions() const;
    // The consistency test: segments, FAT and directory (codes 1414,
    // 1441, 1445-1452 and those of the FAT and directory checks).
    kwRet Check(KWERRORMGR* errors);

    // The volume's values change: each setter passes them on to every
    // segment entry and writes the volume tables of the segments'
    // partitions. While the mirror follows the primary (the FAT rebuilt with
    // one copy), setting the first FAT block sets both and a separate
    // setting of the mirror's is ignored.
    kwRet SetFirstFatBlock(uint32_t block);
    kwRet SetFirstMirrorFatBlock(uint32_t block);
    // The four system block numbers (primary and mirror FAT, primary and
    // mirror directory) at once, with one write of the tables.
    kwRet SetSystemBlocks(const uint32_t blocks[4]);
    void GetSystemBlocks(uint32_t blocks[4]) const;
    // The count only; WriteSegmentEntries stores it.
    void SetBlocksInVolume(uint32_t blocks) { blocks_ = blocks; }
    // Every segment's entry takes the volume's values, its first block and
    // position (counted along the chain); each partition's table is written
    // once. The first failure is returned.
    kwRet WriteSegmentEntries();
    bool mirrorFollowsPrimary = false;

    // A segment of the chain goes (its destructor): the count drops and the
    // volume destroys itself with its last segment unless it is held.
    void ForgetSegment(NetW_Segment* segment);

    uint32_t SyncValue() const { return sync_; }
    uint32_t BlockShift() const { return shift_; }
    uint32_t SectorsPerBlock() const { return 1u << shift_; }
    uint32_t BytesPerBlock() const { return SectorsPerBlock() * kSectorBytes; }
    uint32_t FirstFatBlock() const { return fat_; }
    uint32_t FirstMirrorFatBlock() const { return mirrorFat_; }
    uint32_t FirstDirBlock() const { return dir_; }
    uint32_t FirstMirrorDirBlock() const { return mirrorDir_; }
    uint32_t BlocksInVolume() const { return blocks_; }
    uint32_t PartitionId() const { return partitionId_; }
    uint32_t SegmentCount() const { return segmentCount_; }
    uint32_t LoadedSegments() const { return loaded_; }
    bool AllSegmentsLoaded() const { return loaded_ == segmentCount_; }
    const char* Name() const { return name_; }
    const char* DiskAddress() const { return address_; }
    NetW_Segment* FirstSegment() const { return segments_; }
    NetW_Segment** Chain() { return &segments_; }
    void CountSegment() { ++loaded_; }
    bool mirrorChecked = false;
    bool destroying = false;

private:
    bool CheckSegments(CheckReport& report, uint64_t* sum);

    uint32_t sync_;
    uint32_t shift_;
    uint32_t fat_;
    uint32_t mirrorFat_;
    uint32_t dir_;
    uint32_t mirrorDir_;
    uint32_t blocks_;
    uint32_t partitionId_;
    uint32_t segmentCount_;
    uint32_t loaded_ = 0;
    uint8_t flags_;
    bool badShift_ = false;
    char name_[kMaxNameLength + 1] = {};
    char address_[kDiskAddressBytes] = {};
    NetW_Segment* segments_ = nullptr;
    NWFat* fatObject_ = nullptr;
    uint32_t fatUses_ = 0;
    NWDir* dirObject_ = nullptr;
    uint32_t dirUses_ = 0;
};

} // namespace kw::netware
