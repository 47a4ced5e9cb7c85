// Legal operations of the partition records of disk-image files.
#include "engine/disk/legal_ops.h"
#include "engine/disk/pi_checks.h"

#include "engine/disk/kwlib.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

using kwtest::kCyl;

namespace {

// Two disks: the first with an active FAT16 primary, a utility partition
// (12h), a dynamic-disk entry (42h) and an extended partition holding a
// hidden NTFS logical (17h); the second with a FAT16 primary that is not
// active and an empty extended partition.
class LegalOps : public ::testing::Test {
protected:
    void SetUp() override {
        first_ = dir_ / "first.img";
        second_ = dir_ / "second.img";
        kwtest::MakeSparse(first_, uint64_t{8} * kCyl * 512);
        kwtest::MakeSparse(second_, uint64_t{4} * kCyl * 512);
        kwtest::WriteLayout(first_,
                            {{0x06, 63, kCyl - 63, false, true},
                             {0x12, kCyl, kCyl},
                             {0x42, 2 * kCyl, kCyl},
                             {0x17, 3 * kCyl + 63, 2 * kCyl - 63, true}},
                            3 * kCyl, 8 * kCyl);
        kwtest::WriteLayout(second_, {{0x06, 63, kCyl - 63}, {0x05, 2 * kCyl, 2 * kCyl}}, 0, 0);
        kwtest::WriteAt(second_, uint64_t{2} * kCyl * 512 + 510, {0x55, 0xAA});
        ASSERT_TRUE(kwtest::Run("mkfs.fat --offset 63 -F 16 -s 2 -n ONE '" + first_.string() +
                                "' " + std::to_string((kCyl - 63) / 2) + " >/dev/null"));
        ASSERT_TRUE(kwtest::Run("mkfs.fat --offset 63 -F 16 -s 2 -n TWO '" + second_.string() +
                                "' " + std::to_string((kCyl - 63) / 2) + " >/dev/null"));
        setenv("KW_DISKS", (first_.string() + ":" + second_.string()).c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        ASSERT_EQ(ResetLegalOps(), KW_OK);
    }
    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
    }
    static PARTITION_INFO* Find(int disk, uint8_t type) {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (int i = 1; d != nullptr && i < disk; ++i)
            d = d->next;
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi; pi = pi->next)
            if (pi->ucPartType == type && pi->ucFsKind != FS_KIND_EXTENDED_LINK &&
                pi->ulTableSect != PI_NO_TABLE_SECTOR)
                return pi;
        return nullptr;
    }

    kwtest::TempDir dir_;
    std::filesystem::path first_, second_;
};

TEST_F(LegalOps, TableOfRecords) {
    struct Case {
        const char* what;
        int disk;
        uint8_t type;
        uint32_t set;   // bits that must be set
        uint32_t clear; // bits that must be clear
    };
    const Case cases[] = {
        {"active FAT16 primary of the first disk", 1, 0x06,
         LOP_FAT_OPS | LOP_FAT_CONVERT | LOP_DELETE | LOP_MODIFY | LOP_INFO,
         LOP_HIDE | LOP_UNHIDE | LOP_SET_ACTIVE},
        {"FAT16 primary of the second disk", 2, 0x06,
         LOP_HIDE | LOP_SET_ACTIVE | LOP_FAT_OPS | LOP_FAT16_SMALL_CLUSTERS, LOP_UNHIDE},
        {"utility partition", 1, 0x12, LOP_DELETE | LOP_INFO,
         LOP_SET_ACTIVE | LOP_FAT_CONVERT | LOP_MOVE | LOP_MODIFY | LOP_RESIZE},
        {"hidden NTFS logical", 1, 0x17, LOP_UNHIDE | LOP_DELETE, LOP_HIDE | LOP_SET_ACTIVE},
        {"extended partition holding a logical", 1, 0x05, LOP_INFO, LOP_DELETE | LOP_SET_ACTIVE},
        {"empty extended partition", 2, 0x05, LOP_DELETE | LOP_INFO, LOP_SET_ACTIVE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PARTITION_INFO* pi = Find(c.disk, c.type);
        ASSERT_NE(pi, nullptr);
        EXPECT_EQ(pi->ulFlags & c.set, c.set) << std::hex << pi->ulFlags;
        EXPECT_EQ(pi->ulFlags & c.clear, 0u) << std::hex << pi->ulFlags;
    }
}

// A dynamic-disk entry carries only the bits of the table position.
TEST_F(LegalOps, DynamicDiskEntryGetsOnlyTheFirstSteps) {
    PARTITION_INFO* pi = Find(1, 0x42);
    ASSERT_NE(pi, nullptr);
    ASSERT_EQ(pi->ucFsKind, FS_KIND_DYNAMIC);
    EXPECT_EQ(pi->ulFlags & LOP_ALL, LOP_DELETE);
}

// With a copy partner in reach, records get the copy bit; a disk with the
// preference flag offers none.
TEST_F(LegalOps, CopyPartnersNeedFreeSpaceThatFits) {
    PARTITION_INFO* fat = Find(2, 0x06);
    ASSERT_NE(fat, nullptr);
    RemoveFreeSpace(fat->disk); // the gaps enumeration found
    ASSERT_EQ(ResetLegalOps(), KW_OK);
    uint32_t before = fat->ulFlags & LOP_COPY;
    ASSERT_EQ(CreateFreeSpacePi(kCyl, kCyl, fat->disk, 0), KW_OK);
    ASSERT_EQ(ResetLegalOps(), KW_OK);
    EXPECT_EQ(before, 0u);
    EXPECT_NE(fat->ulFlags & LOP_COPY, 0u);
    fat->disk->ulFlags |= DISK_PREFERENCE;
    ASSERT_EQ(ResetLegalOps(), KW_OK);
    EXPECT_EQ(fat->ulFlags & LOP_COPY, 0u);
}

TEST(LegalOpsTypes, HiddenTypesAndHiding) {
    for (uint8_t t : {0x11, 0x14, 0x16, 0x17, 0x1B, 0x1C, 0x1E, 0x3D, 0x84})
        EXPECT_TRUE(IsHiddenType(t)) << int{t};
    for (uint8_t t : {0x01, 0x06, 0x07, 0x0B, 0x12, 0x83, 0x00})
        EXPECT_FALSE(IsHiddenType(t)) << int{t};
    struct Case {
        uint8_t type, hidden;
    };
    const Case cases[] = {{0x01, 0x11}, {0x04, 0x14}, {0x06, 0x16}, {0x07, 0x17}, {0x0B, 0x1B},
                          {0x0C, 0x1C}, {0x0E, 0x1E}, {0x65, 0x3D}, {0x83, 0x83}, {0x05, 0x05}};
    for (const Case& c : cases) {
        EXPECT_EQ(HideType(c.type, true), c.hidden) << int{c.type};
        EXPECT_EQ(HideType(c.type, false), c.type);
    }
}

} // namespace
