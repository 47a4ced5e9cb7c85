// A builder-made NetWare disk copied partition by partition into images the
// way the editor copies a partition of the machine's disks, then restored
// from the images alone: each image holds exactly the blocks the walker
// finds in use, every one of them restores byte for byte, and the restored
// volumes walk sound.
#include "engine/imgaccess/partition_copy.h"
#include "kwvaults.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kwtest::nw;

namespace {

constexpr uint32_t kBlockSectors = 8; // the copy stores blocks of 8 sectors

// A part of an image as the image gives it back: its used-block bitmap and
// the partition rebuilt from its blocks (zeros where no block is stored).
struct StoredPart {
    std::vector<bool> used;
    std::string sectors;
};

StoredPart ReadImage(const std::string& image) {
    StoredPart part;
    int32_t error = 0;
    PART_STORE* s = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    if (s == nullptr || s->SelectPart(0) != 0) {
        ADD_FAILURE() << "cannot open " << image << ": " << error;
        return part;
    }
    EXPECT_EQ(s->GetSectorsPerBlock(), kBlockSectors);
    const uint32_t blocks = s->GetBlockCount();
    std::string bitmap((blocks + 7) / 8, '\0');
    part.sectors.assign(uint64_t{blocks} * kBlockSectors * kSector, '\0');
    uint64_t size = 0;
    uint32_t got = 0;
    s->OpenUbmap(&size);
    s->Read(bitmap.data(), uint32_t(bitmap.size()), &got);
    s->ClosePartStream();
    s->OpenUdata(&size);
    for (uint32_t b = 0; b < blocks; ++b) {
        part.used.push_back((bitmap[b / 8] >> (b % 8) & 1) != 0);
        if (part.used.back()) {
            EXPECT_EQ(s->Read(part.sectors.data() + uint64_t{b} * kBlockSectors * kSector,
                              kBlockSectors * kSector, &got),
                      0);
        }
    }
    s->ClosePartStream();
    part.sectors.resize(uint64_t{s->GetTotalSectors()} * kSector);
    s->Release();
    return part;
}

// The walker's used sectors gathered into the copy's blocks.
std::vector<bool> UsedBlocks(const std::vector<bool>& sectors) {
    std::vector<bool> blocks((sectors.size() + kBlockSectors - 1) / kBlockSectors, false);
    for (size_t s = 0; s < sectors.size(); ++s)
        if (sectors[s])
            blocks[s / kBlockSectors] = true;
    return blocks;
}

// SYS's a.dat has a block redirected into the area, so the copy must take
// the stand-in and not the home.
DiskSpec Disk() {
    DiskSpec d = TwoPartitions();
    const uint32_t home = PartitionSectorOf(d, d.volumes[0], 6, kHotStart);
    d.partitions[0].redirects = {{21, home - 384}};
    return d;
}

TEST(NwImages, ACopyStoresTheWalkersBlocksAndRestoresThePartition) {
    const DiskSpec spec = Disk();
    const std::string original = BuildDisk(spec);
    const NwWalker walker(original);
    kw::test::TempDir dir;
    std::string restored = original;
    NwDisk disk(original);
    ASSERT_EQ(disk.Open(), KW_OK);
    for (const PartitionSpec& p : spec.partitions) {
        SCOPED_TRACE(p.start);
        const std::string image = dir / ("part" + std::to_string(p.start) + ".kwi");
        int32_t error = 0;
        PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
        ASSERT_NE(store, nullptr) << error;
        ASSERT_EQ(CopyLivePartition(store, disk.Part(p.start)), KW_OK);
        ASSERT_EQ(store->Commit(), 0);
        store->Release();

        const StoredPart part = ReadImage(image);
        const std::vector<bool> expected = UsedBlocks(walker.UsedSectors(p.start));
        ASSERT_EQ(part.used.size(), expected.size());
        EXPECT_TRUE(part.used == expected);
        ASSERT_EQ(part.sectors.size(), uint64_t{p.sectors} * kSector);
        const uint64_t at = uint64_t{p.start} * kSector;
        for (size_t b = 0; b < part.used.size(); ++b) {
            const uint64_t offset = b * kBlockSectors * kSector;
            const uint64_t length =
                std::min<uint64_t>(kBlockSectors * kSector, part.sectors.size() - offset);
            if (part.used[b]) {
                EXPECT_EQ(part.sectors.compare(offset, length, original, at + offset, length), 0)
                    << "block " << b;
            }
        }
        // The partition restored over a disk whose copy of it is wiped.
        restored.replace(at, part.sectors.size(), part.sectors);
    }
    disk.Close();
    const NwWalker back(restored);
    EXPECT_EQ(back.Volumes(), walker.Volumes());
    for (const char* volume : {"SYS", "DATA"})
        EXPECT_EQ(back.Check(volume), std::vector<std::string>{}) << volume;
}

} // namespace
