// The engine's questions about partitions: names, cylinder alignment, default
// size limits and used-sector estimates, on records made by hand.
#include "engine/disk/kwlib.h"
#include "engine/fs/fs_module.h"
#include "engine/host/engine.h"
#include "engine/host/estimate.h"
#include "engine/host/fs_modules.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr std::uint32_t kCyl = 255 * 63;

// A record on a 255/63 disk of 100 cylinders.
class Record : public ::testing::Test {
protected:
    Record() {
        enInstallFsModules();
        disk_.heads = 255;
        disk_.sectorsPerTrack = 63;
        disk_.cylinders = 100;
        disk_.chsSectors = 100 * kCyl;
        pi_.disk = &disk_;
        pi_.ulFlags = PI_OPENABLE;
        Place(10 * kCyl, 5 * kCyl);
    }
    void Place(std::uint32_t start, std::uint32_t size) {
        pi_.ulStartSect = start;
        pi_.NumSects = pi_.ulRoom = size;
        pi_.ulCylSize = kCyl;
        pi_.ulSectsToNextCyl = kCyl - start % kCyl;
    }
    DISK_RECORD disk_;
    PARTITION_INFO pi_;
};

TEST_F(Record, PartitionNames) {
    pi_.ucDriveLetter = 'C';
    std::strcpy(pi_.volumeLabel, "DATA");
    EXPECT_STREQ(enGetPartitionName(&pi_), "C:DATA");
    pi_.ucDriveLetter = '*';
    EXPECT_STREQ(enGetPartitionName(&pi_), "*:DATA");
    pi_.volumeLabel[0] = '\0';
    EXPECT_STREQ(enGetPartitionName(&pi_), "partition at 160650");
}

TEST_F(Record, CylinderBoundaries) {
    Place(63, kCyl - 63); // origin: the sectors to the next cylinder
    struct Case {
        std::uint32_t sector, mode, expected;
    };
    const Case cases[] = {
        {kCyl - 63, EN_ALIGN_UP, kCyl - 63},        {kCyl - 62, EN_ALIGN_UP, 2 * kCyl - 63},
        {kCyl - 62, EN_ALIGN_DOWN, kCyl - 63},      {kCyl + 8000, EN_ALIGN_NEAREST, 2 * kCyl - 63},
        {kCyl + 7000, EN_ALIGN_NEAREST, kCyl - 63}, {10, EN_ALIGN_UP, kCyl - 63},
    };
    for (const Case& c : cases)
        EXPECT_EQ(enGetCylinderBoundary(&pi_, c.sector, c.mode), c.expected)
            << c.sector << " mode " << c.mode;
}

TEST_F(Record, DefaultLimits) {
    EN_SIZE_LIMITS limits;
    pi_.ucFsKind = FS_KIND_NTFS;
    pi_.ulUsedSects = 1000;
    pi_.ulFreeSects = pi_.NumSects - 1000;
    ASSERT_EQ(enGetDefaultLimits(&pi_, &limits), KW_OK);
    EXPECT_GE(limits.minimum, 1000u + 2048u); // few used sectors: at least 2048 more
    EXPECT_LE(limits.minimum, pi_.NumSects);
    EXPECT_EQ(enGetCylinderBoundary(&pi_, limits.minimum, EN_ALIGN_UP), limits.minimum);
    EXPECT_EQ(limits.maximum, pi_.ulRoom);

    pi_.ulUsedSects = pi_.NumSects; // full: the minimum is the size itself
    ASSERT_EQ(enGetDefaultLimits(&pi_, &limits), KW_OK);
    EXPECT_EQ(limits.minimum, pi_.NumSects);

    pi_.ulRoom = 200 * kCyl; // room beyond what CHS addresses is cut
    ASSERT_EQ(enGetDefaultLimits(&pi_, &limits), KW_OK);
    EXPECT_EQ(limits.maximum, 100 * kCyl - pi_.ulStartSect);

    pi_.ucFsKind = FS_KIND_FAT; // its file system gives its limits
    EXPECT_EQ(enGetDefaultLimits(&pi_, &limits), 1u);
    EXPECT_EQ(enGetDefaultLimits(nullptr, &limits), ERR_BAD_ARGUMENT);
}

// A disk chain of hand-made records: a free run of two cylinders, then the
// partition, then free space up to the room.
TEST_F(Record, MoveInformation) {
    PARTITION_INFO before;
    before.disk = &disk_;
    before.ucFsKind = FS_KIND_FREE;
    before.ulStartSect = 8 * kCyl + 100;
    before.NumSects = 2 * kCyl - 100;
    before.ulCylSize = kCyl;
    before.ulSectsToNextCyl = kCyl - 100;
    disk_.firstPi = &before;
    before.next = &pi_;
    pi_.ucFsKind = FS_KIND_NTFS;
    pi_.ulRoom = 7 * kCyl;
    EN_MOVE_INFO info;
    ASSERT_EQ(enGetMoveInfo(&pi_, &info), KW_OK);
    EXPECT_EQ(info.size, pi_.NumSects);
    // The run's grid counts from its sectors to the next cylinder.
    EXPECT_EQ(info.left, 10 * kCyl - (8 * kCyl + (kCyl - 100)));
    EXPECT_EQ(info.right, 2 * kCyl);
    pi_.ulRoom = 90 * kCyl + 1; // cut at what CHS addresses
    ASSERT_EQ(enGetMoveInfo(&pi_, &info), KW_OK);
    EXPECT_EQ(info.right, 100 * kCyl - pi_.EndSect());
    PARTITION_INFO used;
    used.disk = &disk_;
    used.ucFsKind = FS_KIND_FAT;
    before.next = &used;
    used.next = &pi_;
    ASSERT_EQ(enGetMoveInfo(&pi_, &info), KW_OK);
    EXPECT_EQ(info.left, 0u); // a partition between: no run before it
    disk_.firstPi = nullptr;
    EXPECT_EQ(enGetMoveInfo(nullptr, &info), ERR_BAD_ARGUMENT);
}

// Estimates of rows made for the test.
kwRet FailingEstimate(PARTITION_INFO*, std::uint32_t*) {
    return ERR_READ_FAULT + 500; // a read failure of the file system
}
kwRet HalfFree(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    *freeSects = pi->NumSects / 2;
    return KW_OK;
}

TEST_F(Record, UsedSectorEstimates) {
    pi_.disk = kwGetImageDisk();
    pi_.ulUsedSects = 123;
    pi_.ulFreeSects = 456;
    pi_.ucFsKind = FS_KIND_NONE;
    EXPECT_EQ(EstimateUsedSectors(&pi_), ERR_UNKNOWN_FS);
    EXPECT_EQ(pi_.ulUsedSects, 123u); // counts kept
    EXPECT_EQ(pi_.ulFreeSects, 456u);

    pi_.ucFsKind = FS_KIND_RAW;
    EXPECT_EQ(EstimateUsedSectors(&pi_), KW_OK);
    EXPECT_EQ(pi_.ulFreeSects, pi_.NumSects);
    EXPECT_EQ(pi_.ulUsedSects, 0u);

    const FS_MODULE half{.kind = FS_KIND_FAT, .estimateFree = HalfFree};
    const FS_MODULE failing{.kind = FS_KIND_FAT, .estimateFree = FailingEstimate};
    const FS_MODULE without{.kind = FS_KIND_NTFS};
    const FS_MODULE* rows[] = {&half, &without};
    fsInstallModules(rows, 2);

    pi_.ucFsKind = FS_KIND_NTFS; // a row without an estimate: counts kept, not unreadable
    EXPECT_EQ(EstimateUsedSectors(&pi_), ERR_FS_NOT_SUPPORTED);
    EXPECT_EQ(pi_.ulUsedSects, 0u);
    EXPECT_EQ(pi_.ulFlags & PI_READ_ERROR, 0u);

    pi_.ucFsKind = FS_KIND_FAT;
    pi_.ulBootTotal = pi_.NumSects - 100;
    EXPECT_EQ(EstimateUsedSectors(&pi_), KW_OK);
    EXPECT_EQ(pi_.ulFreeSects, pi_.NumSects / 2);
    EXPECT_EQ(pi_.ulUsedSects, pi_.NumSects - 100 - pi_.NumSects / 2);

    rows[0] = &failing;
    EXPECT_EQ(EstimateUsedSectors(&pi_), ERR_READ_FAULT + 500);
    EXPECT_NE(pi_.ulFlags & PI_READ_ERROR, 0u);
    EXPECT_EQ(pi_.ulFreeSects, 0u);
    EXPECT_EQ(pi_.ulUsedSects, pi_.NumSects);
    rows[0] = &half;

    pi_.ulFlags = 0; // not openable: the handle's failure
    EXPECT_EQ(EstimateUsedSectors(&pi_), ERR_BAD_ARGUMENT);
    enInstallFsModules();
}

TEST(EngineQueries, LogicalPartitionsAndDiskFlags) {
    PARTITION_INFO pi;
    pi.ulFlags = PI_LOGICAL;
    pi.ucFsKind = FS_KIND_FAT;
    EXPECT_TRUE(enIsUsedLogical(&pi));
    pi.ucFsKind = FS_KIND_EXTENDED_LINK;
    EXPECT_FALSE(enIsUsedLogical(&pi));
    pi.ulFlags = 0;
    pi.ucFsKind = FS_KIND_FAT;
    EXPECT_FALSE(enIsUsedLogical(&pi));
    EXPECT_EQ(enSetDiskFlag(7, true), ERR_BAD_ARGUMENT); // no disk 7
}

} // namespace
