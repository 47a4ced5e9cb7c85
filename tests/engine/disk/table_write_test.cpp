// Rewriting partition-table entries, checked with sfdisk.
#include "engine/core/rebootmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pt_write.h"
#include "include/kwbytes.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using kwtest::kCyl;

namespace {

class TableWrite : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{8} * kCyl * 512);
        // The logical starts 2048 sectors after its extended boot record, as
        // current tools place it, not one track after.
        ASSERT_TRUE(kwtest::Run("printf 'label: dos\\nstart=2048, size=40000, type=6\\n"
                                "start=42048, size=60000, type=5\\nstart=44096, size=30000, "
                                "type=83\\n' | sfdisk -q '" +
                                image_.string() + "' >/dev/null 2>&1"));
        setenv("KW_DISKS", image_.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }
    void TearDown() override {
        kwLibClose();
        unsetenv("KW_DISKS");
    }
    static PARTITION_INFO* At(uint32_t start, uint8_t type) {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == start && pi->ucPartType == type)
                return pi;
        return nullptr;
    }
    std::string Dump() const { return kwtest::Capture("sfdisk --dump '" + image_.string() + "'"); }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
};

} // namespace

TEST_F(TableWrite, ALogicalKeepsItsStartWhenItsEntryIsRewritten) {
    PARTITION_INFO* logical = At(44096, 0x83);
    ASSERT_NE(logical, nullptr);
    ASSERT_EQ(RewriteEntry(logical, 44096, 44096 + 20000), KW_OK);
    EXPECT_NE(Dump().find("start=       44096, size=       20000, type=83"), std::string::npos)
        << Dump();
    EXPECT_EQ(logical->NumSects, 20000u);
    PARTITION_INFO* primary = At(2048, 0x06);
    ASSERT_EQ(RewriteEntry(primary, 2048, 2048 + 30000), KW_OK);
    EXPECT_NE(Dump().find("start=        2048, size=       30000, type=6"), std::string::npos)
        << Dump();
    EXPECT_EQ(RewriteEntry(primary, 100, 50), ERR_BAD_ARGUMENT);
}

TEST_F(TableWrite, TypeChangesAndTheInterruptedOperationMark) {
    PARTITION_INFO* primary = At(2048, 0x06);
    ASSERT_NE(primary, nullptr);
    ASSERT_EQ(SetPartitionType(primary, 0x16, FS_KIND_FAT), KW_OK);
    EXPECT_NE(Dump().find("size=       40000, type=16"), std::string::npos) << Dump();
    EXPECT_EQ(primary->ucPartType, 0x16);
    uint8_t kind = primary->ucFsKind;
    ASSERT_EQ(SetPartitionType(primary, 0x3C, FS_KIND_NONE), KW_OK);
    EXPECT_NE(Dump().find("size=       40000, type=3c"), std::string::npos) << Dump();
    EXPECT_EQ(primary->ucPartType, 0x16);
    EXPECT_EQ(primary->ucFsKind, kind);
    EXPECT_TRUE(primary->ulFlags & PI_TYPE_3C);
}

TEST_F(TableWrite, TypeChangesReachTheRebootManager) {
    REBOOT_MANAGER manager;
    gRebootManager = &manager;
    PARTITION_INFO* primary = At(2048, 0x06);
    ASSERT_NE(primary, nullptr);
    ASSERT_EQ(SetPartitionType(primary, 0x06, FS_KIND_FAT), KW_OK); // no change
    EXPECT_FALSE(manager.HasChanges());
    ASSERT_EQ(SetPartitionType(primary, 0x16, FS_KIND_FAT), KW_OK);
    ASSERT_EQ(SetPartitionType(primary, 0x06, FS_KIND_FAT), KW_OK);
    EXPECT_TRUE(manager.HasChanges());
    gRebootManager = nullptr;
}

TEST_F(TableWrite, ResizingALogicalMovesItsLinkAndGrowsTheExtendedPartition) {
    PARTITION_INFO* logical = At(44096, 0x83);
    ASSERT_NE(logical, nullptr);
    logical->ulRoom = 0; // no maximum
    // Grow past the end of the extended partition (42048 + 60000).
    ASSERT_EQ(ResizePartition(logical, 70000), KW_OK);
    std::string dump = Dump();
    EXPECT_NE(dump.find("start=       42048, size=       72048, type=5"), std::string::npos)
        << dump;
    EXPECT_NE(dump.find("start=       44096, size=       70000, type=83"), std::string::npos)
        << dump;
    ASSERT_EQ(ResizePartition(logical, 10000), KW_OK); // and shrink again
    EXPECT_NE(Dump().find("start=       44096, size=       10000, type=83"), std::string::npos)
        << Dump();
    // Nothing may grow past the disk's end, even without a room.
    std::string before = Dump();
    EXPECT_EQ(ResizePartition(logical, 8 * kCyl), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(Dump(), before);
}

// A logical's room reaches to the next extended boot record, the last one's
// to the extended partition's end: growing into it works without any room
// set by hand, one sector more is refused and changes nothing.
TEST_F(TableWrite, ALogicalGrowsUpToTheNextBootRecordOrTheExtendedEnd) {
    ASSERT_TRUE(kwtest::Run("printf 'label: dos\nstart=2048, size=40000, type=6\n"
                            "start=42048, size=60000, type=5\nstart=44096, size=20000, "
                            "type=83\nstart=70000, size=10000, type=83\n' | sfdisk -q '" +
                            image_.string() + "' >/dev/null 2>&1"));
    kwLibClose();
    ASSERT_EQ(kwLibOpen(), KW_OK);
    PARTITION_INFO* first = At(44096, 0x83);
    PARTITION_INFO* last = At(70000, 0x83);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(last, nullptr);
    uint32_t nextBootRecord = last->ulTableSect;
    EXPECT_EQ(first->ulRoom, nextBootRecord - 44096);
    EXPECT_EQ(last->ulRoom, 42048u + 60000 - 70000);
    std::string before = Dump();
    EXPECT_EQ(ResizePartition(first, first->ulRoom + 1), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(ResizePartition(last, last->ulRoom + 1), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(Dump(), before);
    uint32_t firstRoom = first->ulRoom, lastRoom = last->ulRoom;
    ASSERT_EQ(ResizePartition(first, firstRoom), KW_OK);
    ASSERT_EQ(ResizePartition(last, lastRoom), KW_OK);
    std::string dump = Dump();
    for (const auto& [start, size] : {std::pair{44096u, firstRoom}, std::pair{70000u, lastRoom}})
        EXPECT_NE(dump.find("start=" + std::string(12 - std::to_string(start).size(), ' ') +
                            std::to_string(start) +
                            ", size=" + std::string(12 - std::to_string(size).size(), ' ') +
                            std::to_string(size) + ", type=83"),
                  std::string::npos)
            << dump;
    EXPECT_NE(dump.find("start=       42048, size=       60000, type=5"), std::string::npos)
        << dump;
}

TEST_F(TableWrite, ResizeRefusals) {
    PARTITION_INFO* primary = At(2048, 0x06);
    ASSERT_NE(primary, nullptr);
    primary->ulRoom = 40000;
    EXPECT_EQ(ResizePartition(primary, 40001), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(ResizePartition(primary, 0), ERR_BAD_ARGUMENT);
    EXPECT_EQ(ResizePartition(primary, 30000), ERR_NOT_CYLINDER_ALIGNED); // a checked type
    primary->ulRoom = 0; // no maximum given: the extended partition still bounds it
    EXPECT_EQ(ResizePartition(primary, 3 * kCyl - 2048), ERR_RESIZE_TOO_LARGE);
    EXPECT_EQ(ResizePartition(primary, kCyl - 2048), KW_OK);
    EXPECT_NE(Dump().find("start=        2048, size=       14017, type=6"), std::string::npos)
        << Dump();
    PARTITION_INFO* ext = At(42048, 0x05);
    ASSERT_NE(ext, nullptr);
    ext->ulRoom = 0;
    EXPECT_EQ(ResizePartition(ext, 10000), ERR_BAD_ARGUMENT); // would cut the logical
}

TEST_F(TableWrite, AnExtendedBootRecordWithAndWithoutItsLogical) {
    PARTITION_INFO* logical = At(44096, 0x83);
    ASSERT_NE(logical, nullptr);
    std::strcpy(logical->name, "ABC");
    logical->ucStatus = 0x42;
    PARTITION_INFO* link = nullptr;
    for (PARTITION_INFO* pi = logical->disk->firstPi; pi != nullptr; pi = pi->next)
        if (pi->ucFsKind == FS_KIND_EXTENDED_LINK && pi->next == logical)
            link = pi;
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(WriteEpbr(link, 80000, 90000), KW_OK);
    std::vector<uint8_t> ebr = kwtest::ReadAt(image_, uint64_t{42048} * 512, 512);
    EXPECT_EQ(std::string(ebr.begin() + 395, ebr.begin() + 403), "ABC     ");
    EXPECT_EQ(ebr[394], 0x42);
    EXPECT_EQ(ebr[446 + 4], 0x83);
    EXPECT_EQ(kwbytes::LoadLe32(ebr.data() + 446 + 8), 44096u - 42048u);
    EXPECT_EQ(ebr[462 + 4], 0x05);
    EXPECT_EQ(kwbytes::LoadLe32(ebr.data() + 462 + 8), 80000u - 42048u);
    EXPECT_EQ(kwbytes::LoadLe32(ebr.data() + 462 + 12), 10000u);
}
