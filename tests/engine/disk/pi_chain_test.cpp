// Chain helpers and CHS conversions on hand-made records: no disk needed.
#include "engine/disk/pi_chain.h"
#include "engine/disk/pi_checks.h"

#include <gtest/gtest.h>

namespace {

// A disk with a primary at 63 (slot 1), an extended partition at 16065
// (slot 0) holding a link and a logical, and free space at the end.
struct SmallChain {
    DISK_RECORD disk;
    PARTITION_INFO primary, extended, link, logical, free;
    SmallChain() {
        disk.heads = disk.chsHeads = 255;
        disk.sectorsPerTrack = disk.chsSectorsPerTrack = 63;
        auto set = [this](PARTITION_INFO& pi, uint32_t start, uint32_t count, uint8_t kind,
                          uint32_t flags, uint8_t index) {
            pi.disk = &disk;
            pi.ulStartSect = start;
            pi.NumSects = count;
            pi.ucFsKind = kind;
            pi.ulFlags = flags;
            pi.ucEntryIndex = index;
        };
        set(primary, 63, 16002, FS_KIND_FAT, 0, 1);
        set(extended, 16065, 32130, FS_KIND_EXTENDED, 0, 0);
        set(link, 16065, 16065, FS_KIND_EXTENDED_LINK, PI_LOGICAL, 0xFF);
        set(logical, 16128, 16002, FS_KIND_FAT, PI_LOGICAL, 0);
        set(free, 48195, 16065, FS_KIND_FREE, 0, 0xFF);
        disk.firstPi = &primary;
        primary.next = &extended;
        extended.next = &link;
        link.next = &logical;
        logical.next = &free;
    }
    ~SmallChain() {
        for (PARTITION_INFO* pi : {&primary, &extended, &link, &logical, &free})
            pi->next = nullptr;
    }
};

} // namespace

TEST(PiChain, FindInRangeByClass) {
    SmallChain c;
    PARTITION_INFO* first = c.disk.firstPi;
    EXPECT_EQ(FindPiInRange(first, 0, 100, PI_CLASS_PRIMARY), &c.primary);
    EXPECT_EQ(FindPiInRange(first, 20000, 20001, PI_CLASS_LOGICAL), &c.logical); // holds 20000
    EXPECT_EQ(FindPiInRange(first, 20000, 20001, PI_CLASS_PRIMARY), nullptr);
    EXPECT_EQ(FindPiInRange(first, 40000, 60000, PI_CLASS_FREE | PI_CLASS_LINK), &c.free);
    EXPECT_EQ(FindPiInRange(first, 9, 1, PI_CLASS_EXTENDED), nullptr);
    EXPECT_EQ(FindPiInRange(first, 9, 1, PI_CLASS_EXTENDED | PI_CLASS_ANY_RANGE), &c.extended);
}

TEST(PiChain, FreeEntryIndex) {
    SmallChain c;
    EXPECT_EQ(FindFreeEntryIndex(&c.disk, 2), 2);
    EXPECT_EQ(FindFreeEntryIndex(&c.disk, 1), 2); // taken by the primary
    EXPECT_EQ(FindFreeEntryIndex(&c.disk, 9), 2);
    c.free.ucFsKind = FS_KIND_NTFS; // two more primaries in slots 2 and 3
    c.free.ucEntryIndex = 2;
    c.logical.ulFlags = 0;
    c.logical.ucEntryIndex = 3;
    EXPECT_EQ(FindFreeEntryIndex(&c.disk, 0), 0xFF);
}

TEST(PiChain, AlignToTheGrid) {
    const struct {
        uint32_t origin, unit, value, mode, want;
    } cases[] = {
        {63, 100, 10, 0, 63},   {63, 100, 163, 0, 163}, {63, 100, 164, 0, 263},
        {63, 100, 164, 1, 163}, {63, 100, 212, 2, 163}, {63, 100, 213, 2, 263},
        {0, 5, 7, 2, 5},        {0, 5, 8, 2, 10},       {0, 100, 0xFFFFFFFF, 0, 0xFFFFFFA0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AlignToBoundary(c.origin, c.unit, c.value, c.mode), c.want)
            << c.origin << " " << c.unit << " " << c.value << " " << c.mode;
}

TEST(Chs, AGeometryOfZerosNeverDivides) {
    DISK_RECORD zero; // heads and sectors per track 0
    CHS_TRIPLE t = ChsOf(zero, 12345);
    EXPECT_EQ(t.sector, 1);
    (void)IsChsPlaceholder(t, zero, 0x06, 0);
    DISK_RECORD d;
    d.chsHeads = 255;
    d.chsSectorsPerTrack = 63;
    d.chsLimit = 1024 * 16065;
    EXPECT_EQ(ChsOf(d, 0).sector, 1);
    EXPECT_EQ(ChsOf(d, 16065 + 63 + 5).head, 1);
    CHS_TRIPLE far = ChsOf(d, 2000 * 16065);
    EXPECT_EQ(far.cylinder, 2000u);
    CHS_TRIPLE placeholder{1023, 254, 63};
    EXPECT_TRUE(IsChsPlaceholder(placeholder, d, 0x06, 2000 * 16065));
    CHS_TRIPLE wrapped{2000 % 1024, far.head, far.sector};
    EXPECT_TRUE(IsChsPlaceholder(wrapped, d, 0x06, 2000 * 16065));
    EXPECT_FALSE(IsChsPlaceholder(CHS_TRIPLE{5, 0, 1}, d, 0x06, 63)); // must match below the limit
    EXPECT_TRUE(IsChsPlaceholder(CHS_TRIPLE{5, 0, 1}, d, 0x0C, 63));  // an LBA type
}
