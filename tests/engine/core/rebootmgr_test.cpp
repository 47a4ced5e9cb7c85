#include "engine/core/cmdline.h"
#include "engine/core/rebootmgr.h"
#include "engine/disk/kwlib.h"
#include "tests/engine/core/core_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class RebootManagerTest : public ::testing::Test {
protected:
    std::string Summary() const {
        char* text = rm_.GetSummary();
        std::string s = text ? text : "<null>";
        kwFreeMemory(&text);
        return s;
    }
    kwtest::EngineTexts texts_;
    REBOOT_MANAGER rm_;
};

} // namespace

TEST_F(RebootManagerTest, ChangesThatUndoEachOtherLeaveNoRecord) {
    rm_.PartitionCreated(0, 100, 0);
    rm_.PartitionDeleted(0, 100, 'E', 0);
    rm_.PartitionHidden(1, 200, 'F', 0);
    rm_.PartitionUnhidden(1, 200, 0);
    rm_.PartitionMoved(0, 300, 400, 'G', 0);
    rm_.PartitionMoved(0, 400, 300, 'G', 0);
    rm_.PartitionDeleted(0, 500, 0, 0); // no letter and no earlier record
    EXPECT_FALSE(rm_.HasChanges());
    EXPECT_EQ(Summary(), "");
}

TEST_F(RebootManagerTest, SummaryListsEachChangeOnceInTheEnginesOrder) {
    rm_.PartitionCreated(0, 100, 0);
    rm_.PartitionCreated(0, 100, 0); // redundant
    rm_.PartitionMoved(1, 300, 400, 'G', 0);
    rm_.PartitionHidden(1, 400, 'G', 0); // hidden after the move: both lines
    rm_.PartitionUnsafe(0, 900, 0);
    EXPECT_TRUE(rm_.HasChanges());
    EXPECT_EQ(rm_.IsChanged(0, 100), 1);
    EXPECT_EQ(rm_.IsChanged(1, 400), 0);
    EXPECT_EQ(Summary(), "A partition was created on disk 1 at sector 100.\n"
                         "A partition on disk 2 was moved from sector 300 to sector 400.\n"
                         "A partition was hidden on disk 2 at sector 400.\n"
                         "The partition on disk 1 at sector 900 is unsafe until reboot.\n");
}

TEST_F(RebootManagerTest, RemoteDisksAreIgnoredAndNothingRestarts) {
    rm_.SetRemoteTest([](uint32_t disk) { return disk == 3; });
    rm_.PartitionCreated(3, 100, 0);
    rm_.PartitionUnsafe(3, 1, 0);
    EXPECT_FALSE(rm_.HasChanges());
    rm_.PartitionDeleted(0, 63, 'C', 0);
    EXPECT_EQ(Summary(), "Drive C: was deleted from disk 1 at sector 63.\n");
    EXPECT_TRUE(rm_.IsRebootNeeded());
    EXPECT_FALSE(rm_.Reboot()); // no /NRB: marked, but the machine is never restarted
    EXPECT_TRUE(rm_.RebootStarted());
}

TEST_F(RebootManagerTest, TheDiskLibraryReportsPartitionOperations) {
    gRebootManager = &rm_;
    DISK_RECORD disk;
    disk.diskNumber = 1;
    PARTITION_INFO pi;
    pi.disk = &disk;
    pi.ulStartSect = 2048;
    pi.ucPartType = 0x06;
    kwPartitionChanged(KW_OP_CREATED, &pi, 0);
    EXPECT_EQ(Summary(), "A partition was created on disk 2 at sector 2048.\n");
    kwPartitionChanged(KW_OP_DELETED, &pi, 0);
    EXPECT_FALSE(rm_.HasChanges());
    pi.ucDriveLetter = 'E';
    pi.ucPartType = 0x16;
    kwPartitionChanged(KW_OP_TYPE_CHANGED, &pi, 0);
    EXPECT_EQ(Summary(), "Drive E: was hidden on disk 2 at sector 2048.\n");
    kwRequestRestart(0);
    EXPECT_NE(Summary().find("The partition on disk 2 at sector 1 is unsafe until reboot.\n"),
              std::string::npos);
    gRebootManager = nullptr;
}

// An unsafe write to a hidden partition is not recorded: the running system
// does not see it. Hidden means what the legal operations call hidden, the
// NetWare and 84h forms too.
TEST_F(RebootManagerTest, UnsafeWritesToHiddenPartitionsAreNotRecorded) {
    gRebootManager = &rm_;
    DISK_RECORD disk;
    disk.diskNumber = 1;
    PARTITION_INFO pi;
    pi.disk = &disk;
    pi.ulStartSect = 2048;
    for (uint8_t type : {0x16, 0x1B, 0x3D, 0x84}) {
        pi.ucPartType = type;
        kwPartitionChanged(KW_OP_UNSAFE, &pi, 0);
        EXPECT_FALSE(rm_.HasChanges()) << int{type};
    }
    pi.ucPartType = 0x06;
    kwPartitionChanged(KW_OP_UNSAFE, &pi, 0);
    EXPECT_TRUE(rm_.HasChanges());
    gRebootManager = nullptr;
}
