// Copies of builder-made NetWare partitions: what the used-sector map takes
// restores whole; the fix-up after a copy puts redirected blocks home and
// survives a cut at every write; damaged volumes are found and still copied
// whole.
#include "engine/core/statemap.h"
#include "engine/disk/legal_ops.h"
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_partvol.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>

using namespace kwtest::nw;
using namespace kw::netware;

namespace {

void Put32(std::string& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

// SYS's a.dat (blocks 5-9, behind the FAT and the directories) has its second
// block redirected into area block 21.
DiskSpec WithRedirect() {
    DiskSpec d = TwoPartitions();
    const uint32_t home = PartitionSectorOf(d, d.volumes[0], 6, kHotStart);
    d.partitions[0].redirects = {{21, home - 384}};
    return d;
}

// The partition's file system, opened and initialised.
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

std::vector<bool> EngineMap(PARTITION_INFO* pi, uint32_t flags = 3) {
    NwFs fs(pi);
    EXPECT_EQ(fs.Result(), KW_OK);
    STATE_MAP* map = nullptr;
    std::vector<bool> used;
    if (fs.Result() == KW_OK && fs->GenerateBitmap(&map, flags) == KW_OK)
        for (uint32_t s = 0; s < map->GetBitCount(); ++s)
            used.push_back(map->IsSet(s));
    delete map;
    return used;
}

// What a copy of the disk's NetWare partitions restores: the master boot
// record and every sector the maps name, zeros elsewhere.
std::string Restore(const std::string& original, const std::vector<uint32_t>& starts,
                    const std::vector<std::vector<bool>>& maps) {
    std::string restored(original.size(), '\0');
    std::memcpy(restored.data(), original.data(), kSector);
    for (size_t p = 0; p < starts.size(); ++p)
        for (size_t s = 0; s < maps[p].size(); ++s)
            if (maps[p][s]) {
                const uint64_t at = (uint64_t{starts[p]} + s) * kSector;
                std::memcpy(restored.data() + at, original.data() + at, kSector);
            }
    return restored;
}

TEST(NwCopies, AnImageOfTheUsedSectorsRestoresEveryVolume) {
    const std::string original = BuildDisk(WithRedirect());
    const NwWalker walker(original);
    std::vector<std::vector<bool>> maps;
    {
        NwDisk disk(original);
        ASSERT_EQ(disk.Open(), KW_OK);
        for (uint32_t start : {kHotStart, kSigStart}) {
            maps.push_back(EngineMap(disk.Part(start)));
            EXPECT_EQ(maps.back(), walker.UsedSectors(start)) << start;
        }
    }
    // The redirected block's home is not taken; its stand-in is.
    const uint32_t home =
        PartitionSectorOf(WithRedirect(), WithRedirect().volumes[0], 6, kHotStart);
    EXPECT_FALSE(maps[0][home]);
    EXPECT_TRUE(maps[0][21 * 8]);
    const std::string restored = Restore(original, {kHotStart, kSigStart}, maps);
    const NwWalker back(restored);
    for (const char* volume : {"SYS", "DATA"})
        EXPECT_EQ(back.Check(volume), std::vector<std::string>{}) << volume;
}

TEST(NwCopies, TheFixUpPutsRedirectedBlocksHomeAndGivesANewIdentity) {
    NwDisk disk(BuildDisk(WithRedirect()));
    ASSERT_EQ(disk.Open(), KW_OK);
    PARTITION_INFO* pi = disk.Part(kHotStart);
    {
        NwFs fs(pi);
        ASSERT_EQ(fs.Result(), KW_OK);
        EXPECT_EQ(fs->FixupAfterCopyEx(nullptr, nullptr, 0), KW_OK);
        EXPECT_NE(pi->ulSerial, kHotId);
        EXPECT_EQ(pi->ulLDABeginSector, 384u);
    }
    disk.Close();
    const std::string after = disk.Bytes();
    const uint32_t home =
        PartitionSectorOf(WithRedirect(), WithRedirect().volumes[0], 6, kHotStart);
    const std::string tag = BlockTag("SYS", 6);
    EXPECT_EQ(after.compare((uint64_t{kHotStart} + home) * kSector, tag.size(), tag), 0);
    const NwWalker walker(after);
    EXPECT_EQ(walker.Check("SYS"), std::vector<std::string>{});
    ASSERT_EQ(disk.Open(), KW_OK);
    RedirectionArea area(disk.Part(kHotStart));
    ASSERT_EQ(area.Initialise(), KW_OK);
    ASSERT_EQ(area.LoadTables(), KW_OK);
    EXPECT_EQ(area.Redirects()->RedirectedBlocks(), 0u);
    EXPECT_NE(area.PartitionId(), kHotId);
    EXPECT_EQ(disk.Part(kHotStart)->ulSerial, area.PartitionId()); // from the mirror header
}

TEST(NwCopies, AFixUpCutAtAnyWriteLeavesEveryVolumeWhole) {
    const std::string original = BuildDisk(WithRedirect());
    uint64_t writes = 0;
    {
        NwDisk disk(original);
        ASSERT_EQ(disk.Open(), KW_OK);
        NwFs fs(disk.Part(kHotStart));
        ASSERT_EQ(fs->FixupAfterCopyEx(nullptr, nullptr, 0), KW_OK);
        writes = disk.Faults()->WritesSeen();
    }
    ASSERT_GT(writes, 8u);
    for (uint64_t cut = 1; cut <= writes; ++cut) {
        SCOPED_TRACE(cut);
        NwDisk disk(original);
        ASSERT_EQ(disk.Open(cut), KW_OK);
        {
            // A failed home write only leaves its block redirected.
            NwFs fs(disk.Part(kHotStart));
            fs->FixupAfterCopyEx(nullptr, nullptr, 0);
        }
        disk.Close(); // what the cut left
        const NwWalker walker(disk.Bytes());
        EXPECT_EQ(walker.Check("SYS"), std::vector<std::string>{});
        EXPECT_EQ(walker.Check("DATA"), std::vector<std::string>{});
        ASSERT_EQ(disk.Open(), KW_OK);
        EXPECT_EQ(EngineMap(disk.Part(kHotStart)), walker.UsedSectors(kHotStart));
        NwFs again(disk.Part(kHotStart));
        EXPECT_EQ(again->FixupAfterCopyEx(nullptr, nullptr, 0), KW_OK); // and it completes
    }
}

// Damaged volumes: what the volume test says, what the walker finds, and
// the map still covers every sector a copy needs.
struct Damage {
    const char* what;
    std::function<void(const DiskSpec&, std::string&)> poke;
    const char* volume;
    kwRet code; // of the volume test
};

class NwDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(NwDamage, IsFoundAndTheVolumeIsStillCopiedWhole) {
    const Damage& d = GetParam();
    const DiskSpec spec = TwoPartitions();
    std::string bytes = BuildDisk(spec);
    d.poke(spec, bytes);
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK); // a damaged volume never fails the library's open
    const NwWalker walker(disk.Bytes());
    EXPECT_FALSE(walker.Check(d.volume).empty());
    NetW_Segment* s = SegmentsOf(disk.Part(kHotStart));
    while (s != nullptr && std::strncmp(reinterpret_cast<const char*>(s->Entry() + 1), d.volume,
                                        std::strlen(d.volume)) != 0)
        s = s->nextInPartition;
    ASSERT_NE(s, nullptr);
    NWVolume* volume = nullptr;
    kwRet rc = nwOpenVolume(&volume, s, kHotId, false);
    if (rc == KW_OK) {
        rc = volume->Check(nullptr);
        nwReleaseVolume(&volume);
    }
    EXPECT_EQ(rc, d.code);
    // Every sector the walker would copy is in the engine's map.
    for (uint32_t start : {kHotStart, kSigStart}) {
        const std::vector<bool> engine = EngineMap(disk.Part(start));
        const std::vector<bool> want = walker.UsedSectors(start);
        ASSERT_EQ(engine.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_TRUE(engine[i] || !want[i]) << start << " sector " << i;
    }
}

uint64_t SysEntry(const DiskSpec& spec, uint32_t entry) {
    return DirEntryOffset(spec, spec.volumes[0], entry);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, NwDamage,
    ::testing::Values(
        Damage{"a link past the volume",
               [](const DiskSpec& s, std::string& b) {
                   Put32(b, FatEntryOffset(s, s.volumes[0], 5) + 4, 0x00FFFFFF);
               },
               "SYS", ERR_FAT_INVALID_ENTRIES},
        Damage{"a chain that loops",
               [](const DiskSpec& s, std::string& b) {
                   Put32(b, FatEntryOffset(s, s.volumes[0], 9) + 4, 5); // a.dat's end to its head
               },
               "SYS", ERR_FAT_INVALID_ENTRIES},
        Damage{"a file whose parent is a file",
               [](const DiskSpec& s, std::string& b) { Put32(b, SysEntry(s, 2), 1); }, "SYS",
               ERR_NW_PARENT_NOT_DIR},
        Damage{"a parent past the directory",
               [](const DiskSpec& s, std::string& b) { Put32(b, SysEntry(s, 2), 5000); }, "SYS",
               ERR_NW_DIR_ENTRY},
        Damage{"a segment of another sync value",
               [](const DiskSpec& s, std::string& b) {
                   for (uint32_t k = 0; k < 4; ++k)
                       Put32(b, VolumeTableOffset(s.partitions[1], k) + 32 + 16, 2);
               },
               "DATA", ERR_NW_SYNC_VALUE},
        Damage{"a first FAT block past the volume",
               [](const DiskSpec& s, std::string& b) {
                   for (uint32_t k = 0; k < 4; ++k)
                       Put32(b, VolumeTableOffset(s.partitions[0], k) + 32 + 40, 5000);
               },
               "SYS", ERR_NW_FIRST_FAT},
        Damage{"a root entry without its flag",
               [](const DiskSpec& s, std::string& b) { b[SysEntry(s, 0) + 4] = 0; }, "SYS",
               ERR_NW_ROOT_ENTRY},
        Damage{"seven suballocation chains of eight",
               [](const DiskSpec& s, std::string& b) { Put32(b, SysEntry(s, 5) + 16 + 4 * 7, 0); },
               "SYS", ERR_NW_SUBALLOC_COUNT},
        Damage{"a directory chain that leaves the volume",
               [](const DiskSpec& s, std::string& b) {
                   Put32(b, FatEntryOffset(s, s.volumes[0], 1) + 4, 0x7FFFFFFF);
               },
               "SYS", ERR_NW_DIR_CHAIN}),
    [](const ::testing::TestParamInfo<Damage>& info) {
        std::string name;
        for (const char* c = info.param.what; *c != '\0'; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c)))
                name += *c;
        return name;
    });

TEST(NwCopies, AVolumeMissingASegmentIsMappedWhole) {
    DiskSpec spec = TwoPartitions();
    std::string bytes = BuildDisk(spec);
    std::memset(bytes.data() + 446 + 16, 0, 16); // the signature partition's entry goes
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    const std::vector<bool> map = EngineMap(disk.Part(kHotStart));
    EXPECT_EQ(map, NwWalker(bytes).UsedSectors(kHotStart));
    const uint32_t first = 384 + 160 + 300 * 8;
    for (uint32_t s = first; s < first + 200 * 8; ++s)
        ASSERT_TRUE(map[s]) << s;
    bool usable = true;
    NwFs fs(disk.Part(kHotStart));
    ASSERT_EQ(nwCheckPartitionVolumes(fs.operator->(), &usable), KW_OK);
    EXPECT_TRUE(usable); // SYS still passes
}

TEST(NwCopies, TailSectorsOfASegmentAreFreeAndNeverCopied) {
    DiskSpec spec = TwoPartitions();
    spec.volumes.resize(1); // SYS alone: nothing behind its segment
    std::string bytes = BuildDisk(spec);
    for (uint32_t k = 0; k < 4; ++k) // SYS: 300 blocks and 3 sectors
        Put32(bytes, VolumeTableOffset(spec.partitions[0], k) + 32 + 28, 300 * 8 + 3);
    NwDisk disk(bytes);
    ASSERT_EQ(disk.Open(), KW_OK);
    NetW_Segment* sys = SegmentsOf(disk.Part(kHotStart));
    EXPECT_EQ(sys->getBlocksInSegment(), 300u);
    uint32_t free = 0;
    ASSERT_EQ(GetSegmentFreeSectors(sys, &free), KW_OK);
    EXPECT_EQ(free, NwWalker(bytes).FreeBlocks(kHotStart, "SYS") * 8 + 3);
    uint32_t minimum = 0;
    ASSERT_EQ(GetSegmentMinimumSize(sys, &minimum), KW_OK);
    // 89 blocks in use (FAT 2, directory 4, files 75, suballocation 8): 87
    // data blocks once the FAT's own are set apart, two FAT blocks for them
    // and two more: 91 blocks, further than the mirror FAT at 64 reaches.
    EXPECT_EQ(minimum, 91u * 8);
    const std::vector<bool> map = EngineMap(disk.Part(kHotStart));
    const uint32_t tail = 384 + 160 + 300 * 8;
    for (uint32_t s = tail; s < tail + 3; ++s)
        EXPECT_FALSE(map[s]) << s;
}

TEST(NwCopies, AVolumesFatIsLoadedOnceAndFreedWithItsLastUse) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    NWVolume* volume = nullptr;
    ASSERT_EQ(nwOpenVolume(&volume, SegmentsOf(disk.Part(kHotStart)), kHotId, false), KW_OK);
    const uint64_t reads = disk.Faults()->ReadsSeen();
    NWFat* a = nullptr;
    NWFat* b = nullptr;
    ASSERT_EQ(volume->GetFat(&a), KW_OK);
    const uint64_t once = disk.Faults()->ReadsSeen();
    EXPECT_GT(once, reads);
    ASSERT_EQ(volume->GetFat(&b), KW_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(disk.Faults()->ReadsSeen(), once);
    volume->ReleaseFat(&a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b->getNumEntries(), 300u); // still there for its second use
    volume->ReleaseFat(&b);
    ASSERT_EQ(volume->GetFat(&a), KW_OK);
    EXPECT_GT(disk.Faults()->ReadsSeen(), once); // read again
    volume->ReleaseFat(&a);
    EXPECT_EQ(nwReleaseVolume(&volume), KW_OK);
}

TEST(NwCopies, BadSectorsOnATargetAreRefused) {
    NwDisk disk(BuildDisk(TwoPartitions()));
    ASSERT_EQ(disk.Open(), KW_OK);
    NwFs fs(disk.Part(kSigStart));
    SECT_LIST bad;
    ASSERT_EQ(bad.Add(kSigStart + 7), KW_OK);
    STATE_MAP* map = nullptr;
    EXPECT_EQ(fs->CheckBadSectors(&map, &bad), ERR_TOO_MANY_BAD_SECTORS);
    EXPECT_EQ(fs->PrepareBadSectors(&map, &bad, nullptr), ERR_TOO_MANY_BAD_SECTORS);
    EXPECT_EQ(map, nullptr);
    ASSERT_EQ(fs->CheckBadSectors(&map, nullptr), KW_OK);
    EXPECT_EQ(map->GetBitCount(), kwtest::kCyl);
    delete map;
}

} // namespace
