// Mirror groups and the partition-level changes: flags from the mirror
// headers, volume tables written to every member at its own origin, segment
// entries deleted and renamed across the group, members added, a copy that
// takes its source's place, and the legal operations of NetWare partitions.
#include "engine/disk/legal_ops.h"
#include "engine/fs/filesystem.h"
#include "engine/host/estimate.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kwtest::nw;
using namespace kw::netware;
using kwtest::kCyl;

namespace {

constexpr uint32_t kPrimaryId = 0x6000A;
constexpr uint32_t kSecondaryId = 0x6000B;

// Two hot-fix partitions of one mirror group with areas of different sizes:
// the primary's tables lie at 384, the secondary's at 512.
DiskSpec MirrorPair(bool grouped = true) {
    DiskSpec d;
    d.sectors = 4 * kCyl;
    PartitionSpec a;
    a.start = kHotStart;
    a.sectors = kCyl;
    a.id = kPrimaryId;
    PartitionSpec b = a;
    b.start = kSigStart;
    b.id = kSecondaryId;
    b.areaBlocks = 64;
    if (grouped)
        a.mirrorMembers = b.mirrorMembers = {kPrimaryId, kSecondaryId};
    d.partitions = {a, b};
    VolumeSpec sys;
    sys.name = "SYS";
    sys.segments = {{0, 160, 100}};
    sys.files = {{"a", 4}};
    VolumeSpec mir = sys;
    mir.name = "MIR";
    mir.segments = {{1, 160, 100}};
    d.volumes = {sys, mir};
    return d;
}

class NwFs {
public:
    explicit NwFs(PARTITION_INFO* pi) {
        if (OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) == KW_OK) {
            nw_ = dynamic_cast<NETWPART_VOLUME*>(fs_);
            rc_ = nw_ != nullptr ? nw_->Init() : ERR_FS_NOT_SUPPORTED;
        }
    }
    ~NwFs() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
    }
    NwFs(const NwFs&) = delete;
    NwFs& operator=(const NwFs&) = delete;
    kwRet Result() const { return fs_ == nullptr ? ERR_NO_MEMORY : rc_; }
    NETWPART_VOLUME* operator->() const { return nw_; }

private:
    FILESYSTEM* fs_ = nullptr;
    NETWPART_VOLUME* nw_ = nullptr;
    kwRet rc_ = KW_OK;
};

std::string Sectors(const std::string& disk, uint64_t first, uint64_t count) {
    return disk.substr(first * kSector, count * kSector);
}

TEST(NwMirrors, FlagsComeFromTheMirrorHeaders) {
    NwDisk disk(BuildDisk(MirrorPair()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* a = disk.Part(kHotStart);
    PARTITION_INFO* b = disk.Part(kSigStart);
    EXPECT_EQ(a->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), PI2_HAS_MIRROR);
    EXPECT_EQ(b->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), PI2_PART_MIRROR);
    EXPECT_EQ(a->ulSerial, kPrimaryId);
    EXPECT_EQ(b->ulSerial, kSecondaryId);
    EXPECT_EQ(b->ulLDABeginSector, 512u);
    // The primary's estimate fills every member's record.
    ASSERT_EQ(EstimateUsedSectors(a), KW_OK);
    EXPECT_NE(b->ulFreeSects, 0u);
    EXPECT_EQ(b->ulUsedSects + b->ulFreeSects, b->NumSects);
}

TEST(NwMirrors, EveryMembersTablesAreWrittenAtItsOwnOrigin) {
    NwDisk disk(BuildDisk(MirrorPair()));
    ASSERT_EQ(disk.Open(), KW_OK);
    const std::string before = disk.Bytes();
    SetSegmentVolumeName(SegmentsOf(disk.Part(kSigStart)), "MIR2");
    {
        NwFs fs(disk.Part(kHotStart));
        ASSERT_EQ(fs.Result(), KW_OK);
        ASSERT_EQ(fs->WriteVolumeTables(true), KW_OK);
    }
    disk.Close();
    const std::string after = disk.Bytes();
    // Where the primary's origin would put them, the secondary's area is untouched.
    EXPECT_EQ(Sectors(after, kSigStart + 384, 160), Sectors(before, kSigStart + 384, 160));
    const NwWalker walker(after);
    EXPECT_EQ(walker.Volumes(), (std::vector<std::string>{"SYS", "MIR2"}));
}

TEST(NwMirrors, ADeletedOrRenamedEntryGoesFromEveryMember) {
    NwDisk disk(BuildDisk(MirrorPair()));
    ASSERT_EQ(disk.Open(), KW_OK);
    {
        NwFs fs(disk.Part(kHotStart));
        ASSERT_EQ(fs.Result(), KW_OK);
        ASSERT_EQ(fs->RenameSegmentVolume(0, "RENAMED"), KW_OK);
        char name[16];
        GetSegmentVolumeName(SegmentsOf(disk.Part(kSigStart)), name);
        EXPECT_STREQ(name, "RENAMED");
        EXPECT_EQ(fs->RenameSegmentVolume(5, "X"), ERR_NW_NO_SEGMENT);
        ASSERT_EQ(fs->DeleteSegmentEntry(0), KW_OK);
        EXPECT_EQ(fs->DeleteSegmentEntry(0), ERR_NW_NO_SEGMENT);
    }
    EXPECT_EQ(SegmentsOf(disk.Part(kHotStart)), nullptr);
    EXPECT_EQ(SegmentsOf(disk.Part(kSigStart)), nullptr);
    disk.Close();
    EXPECT_TRUE(NwWalker(disk.Bytes()).Volumes().empty());
}

TEST(NwMirrors, AMemberJoinsTheGroupOfAnother) {
    NwDisk disk(BuildDisk(MirrorPair(false)));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* a = disk.Part(kHotStart);
    PARTITION_INFO* b = disk.Part(kSigStart);
    EXPECT_EQ(a->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), 0u);
    ASSERT_EQ(nwAddMirrorMember(a, b), KW_OK);
    for (PARTITION_INFO* pi : {a, b}) {
        uint8_t header[96];
        ASSERT_EQ(nwReadMirrorHeaderBytes(pi, header), KW_OK);
        uint32_t members[3] = {};
        std::memcpy(members, header + 32, sizeof members);
        EXPECT_EQ(members[0], kPrimaryId);
        EXPECT_EQ(members[1], kSecondaryId);
        EXPECT_EQ(members[2], 0u);
    }
    EXPECT_EQ(a->ulFlags2 & PI2_HAS_MIRROR, PI2_HAS_MIRROR);
    EXPECT_EQ(b->ulFlags2 & PI2_PART_MIRROR, PI2_PART_MIRROR);
    // A group of sixteen takes no one more.
    uint8_t header[96];
    ASSERT_EQ(nwReadMirrorHeaderBytes(a, header), KW_OK);
    for (uint32_t k = 0; k < 16; ++k)
        std::memcpy(header + 32 + 4 * k, &kPrimaryId, 4);
    ASSERT_EQ(nwWriteMirrorHeader(a, header), KW_OK);
    EXPECT_EQ(nwAddMirrorMember(a, b), 1458u);
}

TEST(NwMirrors, ACopyInTheSourcesPlaceStopsWhenASourceEntryCannotGo) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* source = disk.Part(kHotStart);
    PARTITION_INFO* copy = disk.Part(kSigStart);
    // Entry 0 of the source cannot be found: the loop ends with the code.
    for (NetW_Segment* s = SegmentsOf(source); s != nullptr; s = s->nextInPartition)
        s->SetEntryIndex(s->EntryIndex() + 3);
    {
        NwFs fs(copy);
        ASSERT_EQ(fs.Result(), KW_OK);
        EXPECT_EQ(fs->FixupAfterCopyEx(nullptr, source, kCopyReplacesSource), ERR_NW_NO_SEGMENT);
    }
    for (NetW_Segment* s = SegmentsOf(source); s != nullptr; s = s->nextInPartition)
        s->SetEntryIndex(s->EntryIndex() - 3);
    NwFs fs(copy);
    ASSERT_EQ(fs->FixupAfterCopyEx(nullptr, source, kCopyReplacesSource), KW_OK);
    EXPECT_EQ(SegmentsOf(source), nullptr);
    EXPECT_EQ(copy->ulSerial, kHotId);
    EXPECT_EQ(copy->ulLDABeginSector, 384u);
}

TEST(NwLegalOperations, NoResizeAndNoCopyOfAPartitionWhoseVolumesAllFail) {
    DiskSpec spec = TwoPartitions();
    std::string bytes = BuildDisk(spec);
    {
        NwDisk disk(bytes);
        ASSERT_EQ(disk.Open(), KW_OK);
        PARTITION_INFO* pi = disk.Part(kSigStart);
        ASSERT_EQ(ComputeLegalOps(pi), KW_OK);
        EXPECT_EQ(pi->ulFlags & LOP_RESIZE, 0u);
        EXPECT_EQ(pi->ulFlags & LOP_DELETE, LOP_DELETE);
        EXPECT_EQ(pi->ulFlags2 & 0x8, 0u);
    }
    // DATA, the signature partition's only volume, loses its FAT.
    for (uint32_t k = 0; k < 4; ++k)
        std::memset(bytes.data() + VolumeTableOffset(spec.partitions[1], k) + 32 + 40, 0x7F, 4);
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* pi = disk.Part(kSigStart);
    ASSERT_EQ(ComputeLegalOps(pi), KW_OK);
    EXPECT_EQ(pi->ulFlags & LOP_COPY, 0u);
    EXPECT_EQ(pi->ulFlags2 & 0x8, 0x8u);
}

} // namespace
