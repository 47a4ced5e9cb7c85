#include "engine/netware/nw_volume.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_check.h"
#include "engine/netware/nw_dir.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volmgr.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kw::netware {

namespace {

constexpr uint32_t kMinShift = 3;
constexpr uint32_t kMaxShift = 7;

} // namespace

NWVolume::NWVolume(const NetW_Segment* s, uint32_t partitionId)
    : sync_(s->Field(SE_SYNC)), shift_(s->getBlockShift()), fat_(s->Field(SE_FAT)),
      mirrorFat_(s->Field(SE_MIRROR_FAT)), dir_(s->Field(SE_DIRECTORY)),
      mirrorDir_(s->Field(SE_MIRROR_DIRECTORY)), blocks_(s->Field(SE_VOLUME_BLOCKS)),
      partitionId_(partitionId), segmentCount_(s->Byte(SE_SEGMENT_COUNT)),
      flags_(s->Byte(SE_FLAGS)) {
    GetSegmentVolumeName(s, name_);
    std::strncpy(address_, DiskAddressOf(s->GetPartition()), sizeof address_ - 1);
    // Block arithmetic uses the shift only once Load has checked it.
    if (shift_ < kMinShift || shift_ > kMaxShift) {
        shift_ = kMinShift;
        blocks_ = 0;
        badShift_ = true;
    }
}

NWVolume::~NWVolume() {
    destroying = true;
    DetachVolumeSegments(&segments_);
    delete fatObject_;
    delete dirObject_;
    nwForgetVolume(this);
}

kwRet NWVolume::Load() {
    if (badShift_)
        return ERR_NW_BLOCK_SHIFT;
    kwRet rc = CollectVolumeSegments(this, &segments_);
    if (rc != KW_OK)
        return rc;
    return loaded_ == 0 ? ERR_NW_SEGMENT_NOT_FOUND : KW_OK;
}

void NWVolume::ForgetSegment(NetW_Segment* segment) {
    if (segments_ == segment)
        segments_ = segment->nextInVolume;
    if (loaded_ != 0)
        --loaded_;
    if (loaded_ == 0 && !destroying && nwVolumeReferences(this) == 0)
        delete this;
}

kwRet NWVolume::GetFat(NWFat** fat) {
    *fat = nullptr;
    if (fatObject_ == nullptr) {
        auto* made = new NWFat(this);
        kwRet rc = made != nullptr ? made->Initialise() : ERR_NO_MEMORY;
        if (rc == ERR_NO_MEMORY) {
            DbgPrintf("Error allocating memory for FAT\r\n");
            rc = ERR_NW_FAT_MEMORY;
        }
        if (rc == KW_OK)
            rc = made->Read();
        if (rc != KW_OK) {
            delete made;
            return rc;
        }
        fatObject_ = made;
        fatUses_ = 0;
    }
    ++fatUses_;
    *fat = fatObject_;
    return KW_OK;
}

void NWVolume::ReleaseFat(NWFat** fat) {
    if (*fat == nullptr || *fat != fatObject_ || fatUses_ == 0)
        return;
    *fat = nullptr;
    if (--fatUses_ == 0) {
        delete fatObject_;
        fatObject_ = nullptr;
    }
}

kwRet NWVolume::GetDir(NWDir** dir) {
    *dir = nullptr;
    if (dirObject_ == nullptr) {
        auto* made = new NWDir(this);
        kwRet rc = made != nullptr ? made->Read(0, 0) : ERR_NO_MEMORY;
        if (rc != KW_OK) {
            delete made;
            return rc;
        }
        dirObject_ = made;
        dirUses_ = 0;
    }
    ++dirUses_;
    *dir = dirObject_;
    return KW_OK;
}

void NWVolume::ReleaseDir(NWDir** dir) {
    if (*dir == nullptr || *dir != dirObject_ || dirUses_ == 0)
        return;
    *dir = nullptr;
    if (--dirUses_ == 0) {
        delete dirObject_;
        dirObject_ = nullptr;
    }
}

NetW_Segment* NWVolume::FindSegment(uint32_t block) const {
    for (NetW_Segment* s = segments_; s != nullptr; s = s->nextInVolume)
        if (block >= s->getFirstBlockInSegment() && int64_t{block} <= s->getLastBlockInSegment())
            return s;
    return nullptr;
}

namespace {

kwRet TransferBlock(const NWVolume* v, uint32_t block, void* in, const void* out) {
    NetW_Segment* s = v->FindSegment(block);
    if (s == nullptr)
        return ERR_NW_INVALID_BLOCK;
    PartHandle handle;
    kwRet rc = handle.Open(s->GetPartition());
    if (rc != KW_OK)
        return rc;
    const uint32_t spb = v->SectorsPerBlock();
    const uint32_t sector = (block - s->getFirstBlockInSegment()) * spb + s->GetStartSector();
    if (in != nullptr)
        return handle.Read(sector, in, spb);
    rc = handle.Write(sector, out, spb);
    return rc != KW_OK ? rc : handle.Flush();
}

} // namespace

kwRet NWVolume::ReadBlock(uint32_t block, void* buffer) const {
    return TransferBlock(this, block, buffer, nullptr);
}

kwRet NWVolume::WriteBlock(uint32_t block, const void* buffer) const {
    return TransferBlock(this, block, nullptr, buffer);
}

kwRet NWVolume::MarkChain(STATE_MAP* map, uint32_t first, PARTITION_INFO* pi) {
    NWFat* fat = nullptr;
    kwRet rc = GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    const uint32_t bits = map->GetBitCount();
    const uint32_t spb = SectorsPerBlock();
    uint32_t b = first;
    for (uint32_t steps = 0; rc == KW_OK && steps < fat->getNumEntries() &&
                             b < fat->getNumEntries() && (b & kSuballocBit) == 0;
         ++steps) {
        if (pi == nullptr) {
            map->SetBit(b);
        } else if (NetW_Segment* s = FindSegment(b); s == nullptr) {
            rc = ERR_NW_INVALID_BLOCK;
        } else if (s->GetPartition() == pi) {
            uint64_t at = uint64_t{b - s->getFirstBlockInSegment()} * spb + s->GetStartSector();
            if (at < bits)
                map->SetRange(static_cast<uint32_t>(at),
                              static_cast<uint32_t>(std::min<uint64_t>(spb, bits - at)));
        }
        b = fat->Link(b);
    }
    ReleaseFat(&fat);
    return rc;
}

kwRet NWVolume::SetFirstFatBlock(uint32_t block) {
    fat_ = block;
    if (mirrorFollowsPrimary)
        mirrorFat_ = block;
    return WriteSegmentEntries();
}

kwRet NWVolume::SetFirstMirrorFatBlock(uint32_t block) {
    if (mirrorFollowsPrimary)
        return KW_OK;
    mirrorFat_ = block;
    return WriteSegmentEntries();
}

kwRet NWVolume::SetSystemBlocks(const uint32_t blocks[4]) {
    fat_ = blocks[0];
    mirrorFat_ = mirrorFollowsPrimary ? blocks[0] : blocks[1];
    dir_ = blocks[2];
    mirrorDir_ = blocks[3];
    return WriteSegmentEntries();
}

void NWVolume::GetSystemBlocks(uint32_t blocks[4]) const {
    blocks[0] = fat_;
    blocks[1] = mirrorFat_;
    blocks[2] = dir_;
    blocks[3] = mirrorDir_;
}

kwRet NWVolume::WriteSegmentEntries() {
    uint32_t first = 0;
    uint8_t position = 0;
    for (NetW_Segment* s = segments_; s != nullptr; s = s->nextInVolume, ++position) {
        s->SetByte(SE_SEGMENT_COUNT, static_cast<uint8_t>(loaded_));
        s->SetField(SE_VOLUME_BLOCKS, blocks_);
        s->SetField(SE_FAT, fat_);
        s->SetField(SE_MIRROR_FAT, mirrorFat_);
        s->SetField(SE_DIRECTORY, dir_);
        s->SetField(SE_MIRROR_DIRECTORY, mirrorDir_);
        s->SetField(SE_FIRST_BLOCK, first);
        s->SetByte(SE_POSITION, position);
        first += s->getBlocksInSegment();
    }
    for (NetW_Segment* s = segments_; s != nullptr; s = s->nextInVolume) {
        bool written = false;
        for (NetW_Segment* t = segments_; t != s && !written; t = t->nextInVolume)
            written = t->GetPartition() == s->GetPartition();
        if (written)
            continue;
        NETWPART_VOLUME fs(s->GetPartition());
        kwRet rc = fs.Init();
        if (rc == KW_OK)
            rc = fs.WriteVolumeTables(false);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

bool NWVolume::SpansPartitions() const {
    for (NetW_Segment* s = segments_; s != nullptr; s = s->nextInVolume)
        if (s->GetPartition() != segments_->GetPartition())
            return true;
    return false;
}

namespace {

// The values every segment repeats for the volume; the first that differs.
kwRet SegmentMismatch(const NWVolume* v, const NetW_Segment* s) {
    if (s->Field(SE_SYNC) != v->SyncValue())
        return ERR_NW_SYNC_VALUE;
    if (s->Field(SE_VOLUME_BLOCKS) != v->BlocksInVolume())
        return ERR_NW_BLOCK_COUNT;
    return KW_OK;
}

kwRet SystemBlockMismatch(const NWVolume* v, const NetW_Segment* s) {
    if (s->Field(SE_FAT) != v->FirstFatBlock())
        return ERR_NW_FIRST_FAT;
    if (s->Field(SE_MIRROR_FAT) != v->FirstMirrorFatBlock())
        return ERR_NW_FIRST_MIRROR_FAT;
    if (s->Field(SE_DIRECTORY) != v->FirstDirBlock())
        return ERR_NW_FIRST_DIR;
    if (s->Field(SE_MIRROR_DIRECTORY) != v->FirstMirrorDirBlock())
        return ERR_NW_FIRST_MIRROR_DIR;
    return KW_OK;
}

} // namespace

// The segment steps of the check; false when it ends.
bool NWVolume::CheckSegments(CheckReport& report, uint64_t* sum) {
    uint64_t expectedFirst = 0;
    for (NetW_Segment* s = segments_; s != nullptr; s = s->nextInVolume) {
        if (kwRet code = SegmentMismatch(this, s); code != KW_OK) {
            report.Add(code, kClassLostData);
            return false;
        }
        const uint64_t next = uint64_t{s->getFirstBlockInSegment()} + s->getBlocksInSegment();
        bool joins =
            s->getFirstBlockInSegment() == expectedFirst &&
            (s->nextInVolume == nullptr || s->nextInVolume->getFirstBlockInSegment() == next);
        if (!joins && !report.Add(ERR_NW_FIRST_BLOCK, kClassLostData))
            return false;
        if (kwRet code = SystemBlockMismatch(this, s); code != KW_OK) {
            report.Add(code, kClassLostData);
            return false;
        }
        if (kwRet code = CheckSegmentEntry(s, nullptr); code != KW_OK) {
            report.Add(code, kClassStructure);
            return false;
        }
        expectedFirst = next;
        *sum += s->getBlocksInSegment();
    }
    return true;
}

kwRet NWVolume::Check(KWERRORMGR* errors) {
    CheckReport report(errors);
    if (!AllSegmentsLoaded()) {
        report.Add(ERR_NW_MISSING_SEGMENTS, kClassLostData);
        return report.Result();
    }
    uint64_t sum = 0;
    if (!CheckSegments(report, &sum))
        return report.Result();
    if (sum != blocks_ && !report.Add(ERR_NW_VOLUME_BLOCKS, kClassLostData))
        return report.Result();
    STATE_MAP map;
    if (map.Create(blocks_, false) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t b : {fat_, mirrorFat_, dir_, mirrorDir_})
        map.SetBit(b);
    NWFat* fat = nullptr;
    NWDir* dir = nullptr;
    kwRet rc = GetFat(&fat);
    if (rc == KW_OK)
        rc = GetDir(&dir);
    if (rc == KW_OK)
        rc = dir->Check(errors, &map, fat);
    if (rc == KW_OK)
        rc = fat->Check(errors, &map);
    ReleaseDir(&dir);
    ReleaseFat(&fat);
    kwRet found = report.Result();
    return found != KW_OK ? found : rc;
}

} // namespace kw::netware
