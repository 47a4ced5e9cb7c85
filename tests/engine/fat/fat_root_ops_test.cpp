// The root folder moved between a FAT16 volume's fixed area and a cluster
// chain, packed in place or in the FAT32 chain, counted, and packed by the
// rewrite where the kinds ask for it: every live entry kept once, every file
// whole, and the same at a cut after any write followed by the next scan.
#include "tests/engine/fat/fat_rewrite_fixture.h"

using namespace fatrewrite;

namespace {

struct RootOp;

// Root files with long names, every other one deleted again: the root then
// has holes over several sectors (on FAT32, over several clusters).
class FatRootOps : public FatRewrite {
protected:
    void MakeHoledVolume(int bits = 16, int spc = 4) {
        rootFiles_ = 40;
        MakeVolume(bits, spc);
        std::string odd;
        for (int i = 1; i < rootFiles_; i += 2) {
            odd += " '::/" + RootFileName(i) + "'";
            files_.erase(RootFileName(i));
        }
        Must(Mtools("mdel -i '" + image_.string() + kAt + "'" + odd));
        rootListing_ = RootListing();
    }
    std::string RootListing() const {
        return kwtest::Capture(Mtools("mdir -a -i '" + image_.string() + kAt + "' ::/"));
    }
    // Slots up to the end mark of the fixed root, and how many of them, and
    // of those in its first sector, are deleted.
    struct Slots {
        int used = 0, deleted = 0, deletedFirst = 0;
    };
    Slots RootSlots() const {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        return CountSlots(kwtest::ReadAt(image_, (uint64_t{kStart} + b.FirstRootSector()) * 512,
                                         b.RootDirSectors() * 512));
    }
    // The FAT32 root chain as the disk holds it (FAT copy 0): its length in
    // clusters and its slots.
    struct ChainRoot {
        uint32_t clusters = 0;
        Slots slots;
    };
    ChainRoot RootChain() const {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        ChainRoot r;
        std::vector<uint8_t> root;
        for (uint32_t c = b.rootCluster; c >= 2 && c < 0x0FFFFFF7 && r.clusters < 1000;
             ++r.clusters) {
            std::vector<uint8_t> data = kwtest::ReadAt(
                image_, (uint64_t{kStart} + b.ClusterToSector(c)) * 512, b.sectorsPerCluster * 512);
            root.insert(root.end(), data.begin(), data.end());
            std::vector<uint8_t> link =
                kwtest::ReadAt(image_, (uint64_t{kStart} + b.reservedSectors) * 512 + c * 4, 4);
            c = kwbytes::LoadLe32(link.data()) & 0x0FFFFFFF;
        }
        r.slots = CountSlots(root);
        return r;
    }
    static Slots CountSlots(const std::vector<uint8_t>& root) {
        Slots n;
        for (; n.used * 32 < static_cast<int>(root.size()) && root[n.used * 32] != 0; ++n.used)
            if (root[n.used * 32] == 0xE5) {
                ++n.deleted;
                n.deletedFirst += n.used < 16;
            }
        return n;
    }
    std::string FirstRootBytes(size_t n) const {
        FAT_BOOT_RECORD b;
        EXPECT_EQ(b.Parse(kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512), kSectors), KW_OK);
        std::vector<uint8_t> s =
            kwtest::ReadAt(image_, (uint64_t{kStart} + b.FirstRootSector()) * 512, n);
        return std::string(s.begin(), s.end());
    }
    // The volume as a whole: fsck, every file, the root's listing.
    void ExpectWhole() {
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        EXPECT_EQ(RootListing(), rootListing_);
    }
    // Cut at every write of `op` on a holed volume of `bits`, whose entry
    // has type `type` (decimal) when whole.
    void CutAtEveryWrite(const RootOp& op, int bits = 16, const char* type = "6");
    std::string rootListing_;
};

struct RootOp {
    const char* name;
    std::function<kwRet(FAT_FILESYSTEM*)> run;
    bool staysInChain; // until the next scan
    bool packs;
};

const RootOp kRootOps[] = {
    {"to_chain",
     [](FAT_FILESYSTEM* fat) {
         uint32_t first = 0;
         return ConvertRootToDynamic(fat, &first);
     },
     true, false},
    {"to_chain_and_back",
     [](FAT_FILESYSTEM* fat) {
         uint32_t first = 0;
         kwRet rc = ConvertRootToDynamic(fat, &first);
         return rc == KW_OK ? ConvertRootToStatic(fat) : rc;
     },
     false, false},
    {"compact", [](FAT_FILESYSTEM* fat) { return CompactStaticRoot(fat, true); }, false, true},
};

// Each operation whole: the root in its chain until the next scan brings it
// back, or back in its fixed area (packed when asked) at once.
TEST_F(FatRootOps, KeepTheRootAndEveryFile) {
    for (const RootOp& op : kRootOps) {
        SCOPED_TRACE(op.name);
        files_.clear();
        MakeHoledVolume();
        const Slots before = RootSlots();
        ASSERT_GT(before.deleted - before.deletedFirst, 10);
        ASSERT_GT(before.used, 32); // over several sectors
        uint64_t writes = 0;
        ASSERT_EQ(RunOnVolume([&](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return op.run(fat); }, 0,
                              &writes),
                  KW_OK);
        EXPECT_EQ(FirstRootBytes(8) == "DYN_ROOT", op.staysInChain);
        EXPECT_EQ(TypeByte(), op.staysInChain ? "60" : "6");
        if (op.staysInChain)
            Rescan();
        EXPECT_EQ(TypeByte(), "6");
        ExpectWhole();
        // Packing closes every hole behind the first sector.
        const Slots after = RootSlots();
        int closed = op.packs ? before.deleted - before.deletedFirst : 0;
        EXPECT_EQ(after.deleted, before.deleted - closed);
        EXPECT_EQ(after.used, before.used - closed);
    }
}

// Cut off at each write, then scanned again: the old root or the new one,
// with every file.
void FatRootOps::CutAtEveryWrite(const RootOp& op, int bits, const char* type) {
    MakeHoledVolume(bits, bits == 32 ? 1 : 4);
    fs::path pristine = dir_ / "pristine.img";
    Must("cp --sparse=always '" + image_.string() + "' '" + pristine.string() + "'");
    auto run = [&](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return op.run(fat); };
    uint64_t writes = 0;
    ASSERT_EQ(RunOnVolume(run, 0, &writes), KW_OK);
    ASSERT_GT(writes, 5u);
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k) + " of " + std::to_string(writes));
        Must("cp --sparse=always '" + pristine.string() + "' '" + image_.string() + "'");
        EXPECT_NE(RunOnVolume(run, k, nullptr), KW_OK);
        Rescan();
        EXPECT_EQ(TypeByte(), type);
        ExpectWhole();
    }
}

TEST_F(FatRootOps, CutIntoChainLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[0]);
}

TEST_F(FatRootOps, CutIntoChainAndBackLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[1]);
}

TEST_F(FatRootOps, CutCompactionLeavesTheRootWhole) {
    CutAtEveryWrite(kRootOps[2]);
}

const RootOp kChainCompaction = {
    "compact_chain", [](FAT_FILESYSTEM* fat) { return CompactRootChain(fat, true); }, false, true};

// The FAT32 root packed: every live entry once and in its order (the mdir
// listing), no deleted slot left, the chain as long as before; packing a
// packed root writes nothing, nor does packing in the folder cache alone.
TEST_F(FatRootOps, RootChainIsPackedWithItsLength) {
    MakeHoledVolume(32, 1);
    const ChainRoot before = RootChain();
    ASSERT_GT(before.slots.deleted, 20);
    ASSERT_GT(before.clusters, 3u);
    uint64_t writes = 0;
    auto cached = [](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
        kwRet rc = CompactRootChain(fat, false);
        const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
        for (uint32_t c = b.rootCluster; rc == KW_OK && c >= 2 && c < FAT_EOC;
             c = fat->GetFat()->GetNextCluster(c))
            for (uint32_t k = 0; rc == KW_OK && k < b.sectorsPerCluster; ++k) {
                uint8_t sector[512] = {};
                fat->GetDirBlocks()->ReadBlock(b.ClusterToSector(c) + k, sector, 512);
                for (int e = 0; rc == KW_OK && e < 16; ++e)
                    rc = sector[e * 32] == 0xE5 ? ERR_BAD_ARGUMENT : KW_OK;
            }
        return rc;
    };
    EXPECT_EQ(RunOnVolume(cached, 0, &writes), KW_OK);
    EXPECT_EQ(writes, 0u);
    auto run = [](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return kChainCompaction.run(fat); };
    ASSERT_EQ(RunOnVolume(run, 0, &writes), KW_OK);
    EXPECT_GT(writes, 0u);
    EXPECT_EQ(TypeByte(), "12");
    ExpectWhole();
    const ChainRoot after = RootChain();
    EXPECT_EQ(after.clusters, before.clusters);
    EXPECT_EQ(after.slots.deleted, 0);
    EXPECT_EQ(after.slots.used, before.slots.used - before.slots.deleted);
    ASSERT_EQ(RunOnVolume(run, 0, &writes), KW_OK);
    EXPECT_EQ(writes, 0u);
}

TEST_F(FatRootOps, CutRootChainCompactionLeavesEveryEntryOnce) {
    CutAtEveryWrite(kChainCompaction, 32, "12");
}

// The root's entries are counted up to its end mark, deleted ones with the
// all flag only, in a fixed root and in a FAT32 chain alike.
TEST_F(FatRootOps, RootEntriesAreCountedUpToTheEndMark) {
    for (int bits : {16, 32}) {
        SCOPED_TRACE(bits);
        files_.clear();
        MakeHoledVolume(bits, bits == 32 ? 1 : 4);
        const Slots slots = bits == 32 ? RootChain().slots : RootSlots();
        ASSERT_GT(slots.deleted, 0);
        uint32_t all = 0, live = 0;
        ASSERT_EQ(RunOnVolume(
                      [&](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
                          kwRet rc = fat->CountRootEntries(&all, true);
                          return rc == KW_OK ? fat->CountRootEntries(&live, false) : rc;
                      },
                      0, nullptr),
                  KW_OK);
        EXPECT_EQ(all, static_cast<uint32_t>(slots.used));
        EXPECT_EQ(live, static_cast<uint32_t>(slots.used - slots.deleted));
    }
}

// A rewrite packs the root (deleted slots dropped) where the kinds ask for
// it: into FAT32 (the fixed root counts as larger than a chain) and from
// FAT32 into a fixed root; FAT32 to FAT32 keeps the slots as they are.
TEST_F(FatRootOps, RewritesPackTheRootWhereTheKindsAskForIt) {
    struct Case {
        RewriteCase rewrite;
        bool packs;
    } cases[] = {
        {{"fat16to32", 16, 2, 1, true, 0, "11"}, true},
        {{"fat32to16", 32, 1, 1, false, 65000, "4"}, true},
        {{"same32", 32, 1, 1, true, 0, "12"}, false},
    };
    // The root's listing without the free space, which the new layout changes.
    auto entries = [&] {
        std::istringstream in(RootListing());
        std::string kept;
        for (std::string line; std::getline(in, line);)
            if (line.find("bytes free") == std::string::npos)
                kept += line + "\n";
        return kept;
    };
    for (const Case& k : cases) {
        const RewriteCase& c = k.rewrite;
        SCOPED_TRACE(c.name);
        files_.clear();
        MakeHoledVolume(c.bits, c.spc);
        const Slots before = c.bits == 32 ? RootChain().slots : RootSlots();
        ASSERT_GT(before.deleted, 20);
        const std::string listing = entries();
        ASSERT_EQ(Rewrite(c, 0, nullptr), KW_OK);
        std::string report;
        EXPECT_TRUE(FsckClean(&report)) << report;
        ExpectFiles();
        EXPECT_EQ(entries(), listing);
        const Slots after = c.toFat32 ? RootChain().slots : RootSlots();
        int dropped = k.packs ? before.deleted : 0;
        EXPECT_EQ(after.deleted, before.deleted - dropped);
        EXPECT_EQ(after.used, before.used - dropped);
    }
}

// Refused before any write: the wrong kind of root, or no chain to bring
// back. Packing in the folder cache alone writes nothing either, and leaves
// no hole behind the first sector.
TEST_F(FatRootOps, RefusalsAndCachePackingWriteNothing) {
    MakeHoledVolume();
    uint64_t writes = 0;
    EXPECT_EQ(
        RunOnVolume([](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return ConvertRootToStatic(fat); },
                    0, &writes),
        ERR_BAD_ARGUMENT);
    EXPECT_EQ(writes, 0u);
    EXPECT_EQ(RunOnVolume(
                  [](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
                      kwRet rc = CompactStaticRoot(fat, false);
                      const FAT_BOOT_RECORD& b = *fat->GetBootRecord();
                      uint8_t sector[512];
                      for (uint32_t i = 1; rc == KW_OK && i < b.RootDirSectors(); ++i) {
                          rc = fat->GetDirBlocks()->ReadBlock(b.FirstRootSector() + i, sector, 512);
                          for (int e = 0; rc == KW_OK && e < 16; ++e)
                              if (sector[e * 32] == 0xE5)
                                  rc = ERR_BAD_ARGUMENT; // a hole left behind sector 0
                      }
                      return rc;
                  },
                  0, &writes),
              KW_OK);
    EXPECT_EQ(writes, 0u);
    EXPECT_EQ(RunOnVolume(
                  [](FAT_FILESYSTEM* fat, PARTITION_INFO*) { return CompactRootChain(fat, true); },
                  0, &writes),
              ERR_FAT_INVALID_PARAMETERS);
    EXPECT_EQ(writes, 0u);
    files_.clear();
    MakeVolume(32, 1);
    EXPECT_EQ(RunOnVolume(
                  [](FAT_FILESYSTEM* fat, PARTITION_INFO*) {
                      uint32_t first = 0;
                      kwRet rc = ConvertRootToDynamic(fat, &first);
                      return rc == ERR_NOT_SUPPORTED ? CompactStaticRoot(fat, true) : KW_OK;
                  },
                  0, &writes),
              ERR_FAT_INVALID_PARAMETERS);
    EXPECT_EQ(writes, 0u);
}

} // namespace
