// Builder-made NetWare disks through the disk library and the NetWare file
// system: recognition, registration, volumes and their checks, used maps
// against the walker's, free space and bad sectors.
#include "engine/core/statemap.h"
#include "engine/fs/filesystem.h"
#include "engine/host/estimate.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kwtest::nw;
using namespace kw::netware;

namespace {

TEST(NwDisks, PartitionsAreRecognisedAndTheirVolumesRegisteredOnce) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* hot = disk.Part(kHotStart);
    PARTITION_INFO* sig = disk.Part(kSigStart);
    ASSERT_NE(hot, nullptr);
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(hot->ulLDABeginSector, 384u);
    EXPECT_EQ(hot->ulSerial, kHotId);
    EXPECT_EQ(sig->ulLDABeginSector, 32u);
    EXPECT_EQ(sig->ulSerial, kSigId);
    EXPECT_STREQ(hot->volumeLabel, "NETWARE");
    EXPECT_EQ(hot->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR), 0u);
    EXPECT_EQ(CountSegments(SegmentsOf(hot)), 2u);
    EXPECT_EQ(CountSegments(SegmentsOf(sig)), 1u);
    // DATA spans both partitions and is registered once, not loaded.
    std::vector<std::string> names;
    for (VolumeNode* n = nwFirstVolumeNode(); n != nullptr; n = n->next) {
        names.push_back(n->name);
        EXPECT_EQ(n->pVol, nullptr);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"SYS", "DATA"}));
}

TEST(NwDisks, VolumesOpenOnceFromEverySegmentAndAreCounted) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    NetW_Segment* onHot = SegmentsOf(disk.Part(kHotStart))->nextInPartition;
    NetW_Segment* onSig = SegmentsOf(disk.Part(kSigStart));
    NWVolume* a = nullptr;
    NWVolume* b = nullptr;
    ASSERT_EQ(nwOpenVolume(&a, onHot, kHotId, false), KW_OK);
    ASSERT_EQ(nwOpenVolume(&b, onSig, kHotId, false), KW_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(nwVolumeReferences(a), 2);
    EXPECT_TRUE(a->AllSegmentsLoaded());
    EXPECT_TRUE(a->SpansPartitions());
    // Block numbers at a segment's edge.
    EXPECT_EQ(a->FindSegment(199), onHot);
    EXPECT_EQ(a->FindSegment(200), onSig);
    EXPECT_EQ(a->FindSegment(400), nullptr);
    EXPECT_EQ(a->Check(nullptr), KW_OK);
    NWVolume* keep = a;
    EXPECT_EQ(nwReleaseVolume(&a), KW_OK);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(nwReleaseVolume(&b), KW_OK);
    NWVolume* again = keep;
    EXPECT_EQ(nwReleaseVolume(&again), ERR_NW_BAD_REFERENCE);
    EXPECT_TRUE(NwWalker(disk.Bytes()).Check("DATA").empty());
}

TEST(NwDisks, AVolumeHeldIsNeverDestroyedByAnotherPartitionsOpen) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    NetW_Segment* sys = SegmentsOf(disk.Part(kHotStart));
    NWVolume* held = nullptr;
    ASSERT_EQ(nwOpenVolume(&held, sys, kHotId, false), KW_OK);
    NWVolume* other = nullptr;
    EXPECT_EQ(nwOpenVolume(&other, sys, kSigId, false), ERR_NW_BAD_REFERENCE);
    EXPECT_EQ(nwDeleteVolumeNode("SYS", DiskAddressOf(disk.Part(kHotStart))), ERR_NW_BAD_REFERENCE);
    EXPECT_EQ(held->Check(nullptr), KW_OK); // still whole
    EXPECT_EQ(nwReleaseVolume(&held), KW_OK);
    // Unheld, a volume loaded for another partition is replaced.
    ASSERT_EQ(nwOpenVolume(&other, sys, kSigId, false), KW_OK);
    EXPECT_EQ(other->PartitionId(), kSigId);
    EXPECT_EQ(nwReleaseVolume(&other), KW_OK);
    // A load that fails undoes only what it made: the name stays registered.
    EXPECT_EQ(nwOpenVolume(&other, sys, 0xDEAD, false), ERR_NW_PRIMARY_NOT_FOUND);
    ASSERT_NE(nwFirstVolumeNode(), nullptr);
    EXPECT_STREQ(nwFirstVolumeNode()->name, "SYS");
    EXPECT_EQ(nwFirstVolumeNode()->pVol, nullptr);
}

TEST(NwDisks, UsedMapsAreTheWalkersAndFreeSpaceAddsUp) {
    const DiskSpec spec = TwoPartitions();
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    const NwWalker walker(disk.Bytes());
    for (uint32_t start : {kHotStart, kSigStart}) {
        SCOPED_TRACE(start);
        PARTITION_INFO* pi = disk.Part(start);
        FILESYSTEM* fs = nullptr;
        ASSERT_EQ(OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0), KW_OK);
        auto* nw = dynamic_cast<NETWPART_VOLUME*>(fs);
        ASSERT_NE(nw, nullptr);
        ASSERT_EQ(nw->Init(), KW_OK);
        STATE_MAP* map = nullptr;
        ASSERT_EQ(nw->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
        EXPECT_EQ(map->GetBitCount(), pi->NumSects);
        const std::vector<bool> want = walker.UsedSectors(start);
        // System areas, tables, FAT, directories and every file block.
        EXPECT_GT(std::count(want.begin(), want.end(), true), start == kHotStart ? 1000 : 600);
        for (uint32_t s = 0; s < pi->NumSects; ++s)
            ASSERT_EQ(map->IsSet(s), want[s]) << "sector " << s;
        delete map;
        map = nullptr;
        // Metadata only: no file block, every FAT and directory block.
        ASSERT_EQ(nw->GenerateBitmap(&map, FS_MAP_METADATA), KW_OK);
        EXPECT_LT(map->CountSet(0, pi->NumSects - 1, ~0u),
                  uint32_t(std::count(want.begin(), want.end(), true)));
        delete map;
        CloseFileSystem(&fs);
    }
    // Free: the segments' free blocks, the partition space no segment or
    // system area takes.
    ASSERT_EQ(EstimateUsedSectors(disk.Part(kHotStart)), KW_OK);
    const uint32_t hotFree =
        (walker.FreeBlocks(kHotStart, "SYS") + walker.FreeBlocks(kHotStart, "DATA")) * 8 +
        (kwtest::kCyl - (384 + 160 + 300 * 8 + 200 * 8 + 1 /*tail*/));
    EXPECT_EQ(disk.Part(kHotStart)->ulFreeSects, hotFree);
    EXPECT_EQ(disk.Part(kHotStart)->ulUsedSects, kwtest::kCyl - hotFree);
}

TEST(NwDisks, TheLabelNamesEverySegmentUpTo120Characters) {
    DiskSpec spec = TwoPartitions();
    {
        NwDisk disk(BuildDisk(spec));
        ASSERT_EQ(disk.Open(), KW_OK);
        char label[kLabelBytes];
        FILESYSTEM* fs = nullptr;
        ASSERT_EQ(OpenFileSystem(disk.Part(kHotStart), &fs, FS_OPEN_SHARED, 0), KW_OK);
        ASSERT_EQ(fs->Init(), KW_OK);
        ASSERT_EQ(fs->GetVolumeLabel(label), KW_OK);
        EXPECT_STREQ(label, "SYS(0), DATA(0)");
        CloseFileSystem(&fs);
    }
    // Eight volumes of 15-character names in one partition.
    spec.volumes.clear();
    std::string all;
    for (int i = 0; i < 8; ++i) {
        VolumeSpec v;
        v.name = std::string(14, 'A' + i) + char('0' + i);
        v.segments = {{0, 160 + uint32_t(i) * 70 * 8, 70}};
        spec.volumes.push_back(v);
        all += (i != 0 ? ", " : "") + v.name + "(0)";
    }
    NwDisk disk(BuildDisk(spec));
    ASSERT_EQ(disk.Open(), KW_OK);
    FILESYSTEM* fs = nullptr;
    ASSERT_EQ(OpenFileSystem(disk.Part(kHotStart), &fs, FS_OPEN_SHARED, 0), KW_OK);
    ASSERT_EQ(fs->Init(), KW_OK);
    char label[kLabelBytes];
    ASSERT_EQ(fs->GetVolumeLabel(label), KW_OK);
    EXPECT_EQ(std::string(label), all.substr(0, 120));
    CloseFileSystem(&fs);
}

} // namespace
