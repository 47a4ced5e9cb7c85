// NETWPART_VOLUME: the file system of a NetWare partition. It owns the
// partition's redirection area object (hot-fix form) or a copy of its
// signature sector (signature form) and the header of its volume table, and
// gives the engine what every file system gives: the used-sector map of a
// copy, the free-sector count, the bad-sector steps of a copy, the fix-up of
// a copied partition and its label. The segments are listed in the partition
// record; their volumes are reached through the volume manager.
#pragma once

#include "engine/fs/filesystem.h"
#include "engine/netware/nw_layout.h"

#include <cstdint>

class KWERRORMGR;

namespace kw::netware {

class RedirectionArea;
class NetW_Segment;
class NETWPART_LIMITS;
class NWMover;
class Region;

// Copy flags of the fix-up after a copy.
inline constexpr uint32_t kCopyReplacesSource = 0x40000;
inline constexpr uint32_t kCopyJoinsMirror = 0x80000;
// The longest label (120 characters and a zero).
inline constexpr uint32_t kLabelBytes = 121;

class NETWPART_VOLUME : public FILESYSTEM {
public:
    explicit NETWPART_VOLUME(PARTITION_INFO* pi);
    ~NETWPART_VOLUME() override;

    kwRet Init() override;
    kwRet Uninit() override;
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) override;
    kwRet PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO* other) override;
    kwRet SetBadSectors(SECT_LIST* list) override;
    kwRet CheckBadSectors(STATE_MAP** map, SECT_LIST* list) override;
    kwRet FixupAfterCopy(PARTITION_INFO* source) override;
    kwRet UpdateHiddenSectors() override { return KW_OK; }
    // The segments' names and positions, "SYS(0), VOL1(0)", at most 120
    // characters: the buffer holds kLabelBytes.
    kwRet GetVolumeLabel(char* buffer) override;

    // Resize and move (nw_partresize.h): the new size in sectors, start
    // kept; 1 when either run list is given.
    kwRet Resize(uint32_t unused, uint32_t newSize, void* sourceRuns,
                 void* destinationRuns) override;
    kwRet GetResizeLimits(NETWPART_LIMITS* limits);
    kwRet ResizeWithLimits(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors);
    kwRet ResizeAnchorLeft(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors);
    kwRet ResizeAnchorRight(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors);
    kwRet PlanSegmentSizes(NETWPART_LIMITS* limits, uint32_t outside);
    kwRet ShiftSegmentStarts(int64_t change);
    kwRet MoveSegment(NetW_Segment* segment, Region* target, bool test, bool copy);
    kwRet CopySegmentData(NetW_Segment* segment, Region* target, bool test);
    kwRet MoveSegmentData(NetW_Segment* segment, Region* target, NWMover* mover, bool test);

    // The fix-up with the copy's bad sectors and copy flags.
    kwRet FixupAfterCopyEx(SECT_LIST* bad, PARTITION_INFO* source, uint32_t copyFlags);

    uint32_t GetVolumeTableOrigin() const;
    kwRet WriteVolumeTables(bool includeMirrors);
    uint32_t GetPartitionId() const;
    void SetPartitionId(uint32_t id);
    uint32_t GetDataAreaSectors() const;
    kwRet WritePartitionDefinition();
    uint32_t CalcFreeSectors();
    void RenumberSegments();
    kwRet DeleteSegmentEntry(int32_t index);
    kwRet AssignNewIdentity(PARTITION_INFO* source);
    kwRet RenameSegmentVolume(int32_t index, const char* name);
    bool HasRedirectionArea() const { return area_ != nullptr; }
    RedirectionArea* Area() const { return area_; }
    uint32_t SegmentEntries() const { return segmentEntries_; }

private:
    kwRet InitForm();
    kwRet MarkSegment(STATE_MAP* map, NetW_Segment* segment, uint32_t flags);
    void BuildTable(NetW_Segment* head, uint8_t* sector) const;
    kwRet WriteMirrorMembers();
    kwRet RegisterCopiedNames(char (*names)[kMaxNameLength + 1], uint32_t* count);
    kwRet ReplaceSource(PARTITION_INFO* source);
    kwRet ResizeMirrorMembers(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors);
    kwRet ShrinkSegments(NETWPART_LIMITS* limits, bool test, KWERRORMGR* errors);
    kwRet ApplySegmentPlan(NETWPART_LIMITS* limits, int32_t index, bool test, KWERRORMGR* errors);
    kwRet WriteDataAreaSize(NETWPART_LIMITS* limits);
    kwRet ResizeDefinition(NETWPART_LIMITS* limits);
    kwRet RoundLastSegment();
    uint32_t FrontAreaSize(const NETWPART_LIMITS* limits) const;
    kwRet CheckFrontGrowth(const NETWPART_LIMITS* limits, int64_t* change);
    kwRet CheckFrontCut(const NETWPART_LIMITS* limits, int64_t* change, NetW_Segment** moving,
                        uint32_t* targets, uint32_t* count);
    kwRet BuildFront(const NETWPART_LIMITS* limits, int64_t change, uint32_t offset,
                     const uint8_t* mirror, RedirectionArea** built);
    kwRet CommitFront(const NETWPART_LIMITS* limits, int64_t change, const uint8_t* mirror);

    RedirectionArea* area_ = nullptr;
    bool signatureForm_ = false;
    uint8_t signature_[kSectorBytes] = {};
    bool segmentsReattached_ = false;
    uint8_t mirror_[kMirrorHeadBytes] = {};
    uint8_t tableText_[16] = {};
    uint32_t segmentEntries_ = 0;
    uint8_t tableHeader_[kVolumeTableHeaderBytes] = {};
};

// Fills the record: label "NETWARE", volume-area start, partition id, free
// and used sectors; for the primary of a mirror group its members too.
kwRet nwEstimateFreeSects(NETWPART_VOLUME* volume);
// Whether any volume of the partition passes the volume test.
kwRet nwCheckPartitionVolumes(NETWPART_VOLUME* volume, bool* usable);
// Adds a partition to the mirror group of another.
kwRet nwAddMirrorMember(PARTITION_INFO* source, PARTITION_INFO* member);
// The NetWare fields of a partition record as enumeration sets them: the
// volume-area start, the id, the mirror flags and the segment list.
void nwCompletePartition(PARTITION_INFO* pi);

} // namespace kw::netware
